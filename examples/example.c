/* example FILE SIZES OUT.wav [FRAME]: writes the audio of a Clipvane container
   from the key frame at or before FRAME (default 0) to the end as a 16-bit PCM
   WAV file. A player's video decoder tells how long each frame's video payload
   is; here SIZES stands in for it: one payload size per frame, one per line
   (clipvane-probe video-sizes movie.avi writes such a list). */
#include <clipvane.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void put(unsigned char *p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

static int fail(const char *what, int code) {
  fprintf(stderr, "example: %s: %s\n", what, code ? clipvane_error_string(code) : "failed");
  return 1;
}

int main(int argc, char **argv) {
  if (argc < 4) return fprintf(stderr, "usage: example FILE SIZES OUT.wav [FRAME]\n"), 1;
  clipvane_container *c;
  clipvane_decoder *d;
  clipvane_header h;
  clipvane_record rec;
  int status = clipvane_open_file(argv[1], &c);
  if (status != CLIPVANE_OK) return fail(argv[1], status);
  clipvane_get_header(c, &h);
  if ((status = clipvane_decoder_create(c, &d)) != CLIPVANE_OK) return fail(argv[1], status);

  uint32_t frames = clipvane_frame_count(c), *sizes = calloc(frames + 1, sizeof *sizes);
  FILE *list = fopen(argv[2], "r");
  for (uint32_t f = 0; list && f < frames; ++f) if (fscanf(list, "%u", &sizes[f]) != 1) break;
  if (list) fclose(list);

  int64_t key = clipvane_key_frame_at_or_before(c, argc > 4 ? (uint32_t)strtoul(argv[4], NULL, 10) : 0);
  if (key < 0) return fail("key frame", (int)key);
  clipvane_rewind(c, (uint32_t)key);

  size_t capacity = (size_t)CLIPVANE_MAX_RECORD_BYTES / CLIPVANE_MIN_PACKET_BYTES * CLIPVANE_BLOCK_SAMPLES;
  int16_t *samples = malloc(capacity * sizeof *samples);
  unsigned char header[44] = {0}, bytes[2];
  FILE *out = fopen(argv[3], "wb");
  if (!out || !samples || !sizes || fwrite(header, 1, 44, out) != 44) return fail(argv[3], 0);
  uint32_t data = 0;
  while ((status = clipvane_next_record(c, &rec)) == 1) {
    int64_t n = clipvane_decode_record(d, &rec, sizes[rec.frame], samples, capacity);
    if (n < 0) return fail("decoding", (int)n);
    for (int64_t i = 0; i < n * h.audioChannels; ++i, data += 2) {
      put(bytes, (uint16_t)samples[i], 2);
      fwrite(bytes, 1, 2, out);
    }
  }
  if (status < 0) return fail("reading", status);

  memcpy(header, "RIFF", 4), memcpy(header + 8, "WAVEfmt ", 8), memcpy(header + 36, "data", 4);
  put(header + 4, data + 36, 4);
  put(header + 16, 16, 4);
  put(header + 20, 1, 2);
  put(header + 22, h.audioChannels, 2);
  put(header + 24, h.audioSampleRate, 4);
  put(header + 28, h.audioSampleRate * h.audioChannels * 2, 4);
  put(header + 32, h.audioChannels * 2, 2);
  put(header + 34, 16, 2);
  put(header + 40, data, 4);
  if (fseek(out, 0, SEEK_SET) != 0 || fwrite(header, 1, 44, out) != 44 || fclose(out) != 0) return fail(argv[3], 0);
  free(samples), free(sizes);
  clipvane_decoder_destroy(d);
  clipvane_close(c);
  return 0;
}
