#include "tests/encoder/reference_encoder.h"

#include <cmath>
#include <cstring>

#include "codec/audio_packet.h"
#include "codec/decoder_steps.h"
#include "codec/float_math.h"

namespace clipvane::reference {

namespace {

int32_t Mul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
int32_t Add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t Sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

float RoundSixDecimals(double x) { return static_cast<float>(std::round(x * 1e6) / 1e6); }

int Weight(int i) {
  int w = i + 1;
  if (8 < w) w = 8;
  if (128 - i < w) w = 128 - i;
  return w;
}

void Weighting(const int32_t* in, const float* p, const float* q, float* m, float* out) {
  for (int n = 0; n < 128; ++n) {
    float x = static_cast<float>(in[n]);
    float o = p[0] * x + m[0];
    for (int k = 1; k <= 7; ++k) m[k - 1] = m[k] + p[k] * x - q[k] * o;
    m[7] = p[8] * x - q[8] * o;
    out[n] = o;
  }
}

}  // namespace

void AnalysisWindow(float* window) {
  const double pi = 3.14159265358979323846;
  for (int n = 0; n < 224; ++n) window[n] = RoundSixDecimals(0.54 - 0.46 * std::cos(2.0 * pi * n / 224.0));
  window[13] = window[211] = 0.110246f;
}

void QuantiseReflection(const ChannelCodebook& codebook, const int32_t* base, const float* reflection,
                        float limit, int* indices) {
  float weight[8];
  for (int j = 0; j < 8; ++j) weight[j] = static_cast<float>(std::exp(std::log(2.0) * (-2.0 * j * 0.25)));
  float t[8], acc[8], rem[8];
  for (int j = 0; j < 8; ++j) {
    t[j] = reflection[j] * 32768.0f;
    acc[j] = static_cast<float>(base[j]);
    rem[j] = t[j] - acc[j];
  }
  for (int s = 0; s < 3; ++s) {
    float best = 3.4028235e38f;
    int bestE = 0;
    for (int e = 0; e < 64; ++e) {
      const int16_t* v = codebook.spectrumCodewords[s][e];
      float err = 0.0f;
      for (int j = 0; j < 8; ++j) {
        float q = (static_cast<float>(v[j]) + acc[j]) * 0.000030517578125f;
        if (q > limit || q < -limit) {
          err = 1.7014117e38f;
          break;
        }
        float u = (rem[j] + acc[j]) * 0.000030517578125f;
        float d = FloatAsin(u) - FloatAsin(q);
        float d2 = d * d;
        err = err + weight[j] * d2;
      }
      if (err < best) {
        best = err;
        bestE = e;
      }
    }
    indices[s] = bestE;
    for (int j = 0; j < 8; ++j) {
      acc[j] = acc[j] + static_cast<float>(codebook.spectrumCodewords[s][bestE][j]);
      rem[j] = t[j] - acc[j];
    }
  }
}

LagChoice SearchLongTermLag(const int32_t* r, const int32_t* h) {
  float best = 3.4028235e38f;
  int bestLag = 0;
  for (int L = 0; L < 126; ++L) {
    float err = 0.0f;
    for (int i = 0; i < 128; ++i) {
      int32_t p = Mul(h[127 - L + i] >> 1, Weight(i)) >> 3;
      if (Weight(i) == 8) p = h[127 - L + i] >> 1;
      float d = static_cast<float>(Sub(r[i], p));
      err = err + d * d;
    }
    if (err < best) {
      best = err;
      bestLag = L;
    }
  }
  float energy = 0.0f;
  for (int i = 0; i < 128; ++i) energy = energy + static_cast<float>(r[i]) * static_cast<float>(r[i]);
  return {bestLag, best < energy};
}

int EncodeBlock(AudioEncoderState& st, const int16_t* samples, uint8_t* packet, bool key, bool collect,
                float quality) {
  AudioDecoderState& d = st.decoder;
  const ChannelCodebook& cb = d.codebook;
  // 1-2: widen and remove DC
  int32_t x[256], y[256];
  for (int n = 0; n < 256; ++n) x[n] = samples[n];
  int32_t xp = st.highPassInput, yp = st.highPassOutput;
  for (int n = 0; n < 256; ++n) {
    y[n] = Add(Add(Mul(yp, 32735), 16384) >> 15, Sub(x[n], xp));
    xp = x[n];
    yp = y[n];
  }
  st.highPassInput = x[127];
  st.highPassOutput = y[127];
  // 3: window
  float window[224], xw[224];
  AnalysisWindow(window);
  for (int n = 0; n < 224; ++n) xw[n] = static_cast<float>(y[n]) * window[n];
  // 5.2 step 1-2
  float R[9];
  for (int k = 0; k <= 8; ++k) {
    // The encoder's extended precision is double: each float product is exact there.
    double s = 0;
    for (int n = k; n < 224; ++n) s += static_cast<double>(xw[n]) * xw[n - k];
    R[k] = static_cast<float>(s);
  }
  R[0] = R[0] + 10.0f;
  R[0] = R[0] * 1.008f;
  for (int k = 1; k <= 8; ++k) {
    const double arg = 2.0 * 3.14159265358979323846 * 0.01 * k;
    R[k] = R[k] * RoundSixDecimals(std::exp(-0.5 * arg * arg));
  }
  // 3: Levinson-Durbin
  float a[9] = {0};
  float E = R[0];
  for (int m = 1; m <= 8; ++m) {
    float num = R[m];
    for (int i = 1; i < m; ++i) num = num + a[i] * R[m - i];
    float k = -num / E;
    float old[9];
    std::memcpy(old, a, sizeof(a));
    for (int i = 1; i < m; ++i) a[i] = old[i] + k * old[m - i];
    a[m] = k;
    E = E * (1.0f - k * k);
  }
  a[0] = 1.0f;
  // 4: step-down
  float kk[8], b[9];
  std::memcpy(b, a, sizeof(b));
  for (int m = 8; m >= 1; --m) {
    kk[m - 1] = b[m];
    float old[9];
    std::memcpy(old, b, sizeof(b));
    for (int i = 1; i < m; ++i) b[i] = (old[i] - kk[m - 1] * old[m - i]) / (1.0f - kk[m - 1] * kk[m - 1]);
  }
  const int32_t* base = key ? cb.keyBase : d.previousReflection;
  if (collect) {
    ReflectionRecord rec;
    for (int i = 0; i < 8; ++i)
      rec[i] = key ? kk[i] : kk[i] - static_cast<float>(base[i]) * 0.000030517578125f;
    if (key)
      st.keyReflectionVectors.push_back(rec);
    else
      st.deltaReflectionVectors.push_back(rec);
  }
  int idx[3];
  QuantiseReflection(cb, base, kk, 0.999f, idx);
  int32_t sets[4][9];
  DecodeSpectrum(d, idx[0], idx[1], idx[2], sets, key);
  int32_t r[128];
  for (int n = 0; n < 128; ++n) {
    const int32_t* c = sets[n / 32];
    int32_t sum = Mul(y[n], 16384);
    for (int i = 1; i <= 8; ++i) sum = Sub(sum, Mul(c[i], st.analysisMemory[i - 1]));
    r[n] = Add(sum, 8192) >> 14;
    for (int i = 7; i > 0; --i) st.analysisMemory[i] = st.analysisMemory[i - 1];
    st.analysisMemory[0] = y[n];
  }
  // 5.1 step 5-7
  if (key) {
    st.blocksSinceKey = 0;
    d.gainState = cb.initialGain;
    for (int i = 0; i < 8; ++i) d.synthesisMemory[i] = 0;
  } else {
    st.blocksSinceKey++;
  }
  int lag = 126;
  if (key) {
    lag = 127;
  } else if (st.blocksSinceKey >= 2) {
    LagChoice c = SearchLongTermLag(r, d.excitationHistory);
    if (c.usable) {
      lag = c.lagCode;
      for (int i = 0; i < 128; ++i) {
        int32_t hv = d.excitationHistory[127 - lag + i];
        int32_t p = Weight(i) == 8 ? hv >> 1 : Mul(hv >> 1, Weight(i)) >> 3;
        r[i] = Sub(r[i], p);
      }
    }
  }
  // 5.4
  float P[9], Q[9], p1 = 1.0f, p2 = 1.0f;
  P[0] = Q[0] = 1.0f;
  for (int i = 1; i <= 8; ++i) {
    p1 = p1 * 0.9f;
    p2 = p2 * 0.5f;
    P[i] = a[i] * p1;
    Q[i] = a[i] * p2;
  }
  float ws[128];
  Weighting(y, P, Q, st.speechWeightingMemory, ws);
  float Ew = 1.0f;
  for (int n = 0; n < 128; ++n) Ew = Ew + ws[n] * ws[n];
  const float penalty = 1.0f / quality;
  static const int taps3[] = {-134, -374, 0, 2054, 5741, 8192, 5741, 2054, 0, -374, -134};
  static const int taps4[] = {-132, -435, -553, 0, 1537, 3911, 6453, 8192,
                              6453, 3911, 1537, 0, -553, -435, -132};
  static const int taps5[] = {-85,  -310, -531, -511, 0, 1150, 2893, 4960, 6897, 8192,
                              6897, 4960, 2893, 1150, 0, -511, -531, -310, -85};
  const int g = d.gainState;
  float bestScore = 0.0f;
  int bestMode = 0, bestPhase = 0, bestGainIndex = 0;
  int32_t bestG = 0, bestEx[128], bestMem[8];
  float bestEwm[8], bestScale = 0.0f, bestLog = 0.0f;
  uint8_t bestV[42] = {};
  for (int mode = 0; mode < 4; ++mode) {
    const int s = kPacketModeTable[mode].spacing, bits = kPacketModeTable[mode].pulseBits,
              n = kPacketModeTable[mode].pulses;
    const int* h = s == 3 ? taps3 : (s == 4 ? taps4 : taps5);
    float f[128];
    for (int k = 0; k < 128; ++k) {
      float sum = 0.0f;
      for (int l = 0; l <= 4 * s - 2; ++l) {
        int at = k + l - (2 * s - 1);
        if (at < 0 || at > 127) continue;
        sum = sum + static_cast<float>(h[l]) * static_cast<float>(r[at]);
      }
      f[k] = sum * 0.0001220703125f;
    }
    float bestEnergy = 0.0f;
    int phase = 0;
    for (int ph = 0; ph < 4; ++ph) {
      float e = 0.0f;
      for (int pos = ph; pos <= 127; pos += s) e = e + f[pos] * f[pos];
      if (e >= bestEnergy) {
        bestEnergy = e;
        phase = ph;
      }
    }
    float xs[42], m = 0.0f;
    for (int i = 0; i < n; ++i) {
      xs[i] = f[phase + s * i];
      if (std::fabs(xs[i]) > m) m = std::fabs(xs[i]);
    }
    float scale = bits == 3 ? m / 7.0f : (m / 3.0f) * 0.75f;
    if (scale < 4.0f) scale = 4.0f;
    float ratio = scale / static_cast<float>(g);
    float target = FloatLog(ratio);
    // Gain index; entries that would drop the gain below 1 only when nothing else is left.
    int gi = -1;
    float bestErr = 0.0f;
    for (int pass = 0; pass < 2 && gi < 0; ++pass) {
      for (int i = 0; i < 8; ++i) {
        if (pass == 0 && (Mul(g, cb.gainRatio[i]) >> 13) < 1) continue;
        float di = FloatLog(static_cast<float>(cb.gainRatio[i]) * 0.0001220703125f) - target;
        float err = di * di;
        if (gi < 0 || err < bestErr) {
          gi = i;
          bestErr = err;
        }
      }
    }
    int32_t G = Mul(g, cb.gainRatio[gi]) >> 13;
    float inv = 1.0f / (2.0f * static_cast<float>(G));
    uint8_t v[42];
    for (int i = 0; i < n; ++i) {
      float c = static_cast<float>(1 << (bits - 1)) + xs[i] * inv - 0.5f;
      if (i % 2 == 1) c = c + 0.05f;
      long long vi;
      if (std::isnan(c))
        vi = 1 << (bits - 1);
      else if (c > 0)
        vi = c + 0.5f > 1e9f ? 1000000000LL : static_cast<long long>(c + 0.5f);
      else
        vi = c - 0.5f < -1e9f ? -1000000000LL : static_cast<long long>(c - 0.5f);
      if (vi < 0) vi = 0;
      if (vi > (1 << bits) - 1) vi = (1 << bits) - 1;
      v[i] = static_cast<uint8_t>(vi);
    }
    int32_t ex[128] = {0};
    for (int i = 0; i < n; ++i) ex[phase + s * i] = Mul(2 * v[i] + 1 - (1 << bits), G);
    if (lag < 126) {
      int32_t ltp[128];
      LongTermPrediction(d.excitationHistory, lag, ltp);
      for (int i = 0; i < 128; ++i) ex[i] = Add(ex[i], ltp[i]);
    }
    int32_t syn[128], mem[8];
    std::memcpy(syn, ex, sizeof(syn));
    std::memcpy(mem, d.synthesisMemory, sizeof(mem));
    for (int k = 0; k < 4; ++k) SynthesisFilter(syn + 32 * k, 32, sets[k], mem);
    int32_t e[128];
    for (int i = 0; i < 128; ++i) e[i] = Sub(syn[i], y[i]);
    float ewm[8], ew[128];
    std::memcpy(ewm, st.errorWeightingMemory, sizeof(ewm));
    Weighting(e, P, Q, ewm, ew);
    float sum = 0.0f;
    for (int i = 0; i < 128; ++i) sum = sum + ew[i] * ew[i];
    float score = sum / Ew + static_cast<float>(kPacketModeTable[mode].bytes) * penalty;
    if (mode == 0 || score < bestScore) {
      bestScore = score;
      bestMode = mode;
      bestPhase = phase;
      bestGainIndex = gi;
      bestG = G;
      std::memcpy(bestEx, ex, sizeof(ex));
      std::memcpy(bestMem, mem, sizeof(mem));
      std::memcpy(bestEwm, ewm, sizeof(ewm));
      std::memcpy(bestV, v, static_cast<size_t>(n));
      bestScale = scale;
      bestLog = target;
    }
  }
  d.gainState = bestG;
  std::memcpy(d.synthesisMemory, bestMem, sizeof(bestMem));
  std::memcpy(st.errorWeightingMemory, bestEwm, sizeof(bestEwm));
  if (collect) {
    if (key) {
      if (std::isfinite(bestScale)) st.keyGainValues.push_back(bestScale);
    } else if (std::isfinite(bestLog)) {
      st.gainLogRatios.push_back(bestLog);
    }
  }
  // 5.1 step 9-11
  for (int i = 0; i < 128; ++i) d.excitationHistory[i] = d.excitationHistory[128 + i];
  for (int i = 0; i < 128; ++i) d.excitationHistory[128 + i] = bestEx[i];
  AudioPacketFields fields;
  fields.lagCode = lag;
  fields.gainIndex = bestGainIndex;
  fields.spectrumIndex[0] = idx[0];
  fields.spectrumIndex[1] = idx[1];
  fields.spectrumIndex[2] = idx[2];
  fields.gridPhase = bestPhase;
  fields.packetMode = bestMode;
  std::memcpy(fields.pulses, bestV, sizeof(bestV));
  return WriteAudioPacket(fields, packet);
}

}  // namespace clipvane::reference
