#!/usr/bin/env python3
"""Rate against quality for each encoder effort.

Converts one movie (or a 16-bit PCM WAV, wrapped into a movie on the fly) at
every effort over a range of -quality values and prints, per run, the audio
bit rate and each channel's segmental SNR and frequency-weighted segmental
SNR against the source, as `clipvane-probe compare` measures them. It then
compares the efforts at equal rate: each higher effort's curve is
interpolated to the rate the default run (effort 0, -quality 128) gives.
With gnuplot installed it also draws the curves into a PNG.

    python3 tools/rate_quality.py tests/data/quality/speech8k.wav --png speech8k.png
    python3 tools/rate_quality.py movie.avi --efforts 0,1 --qualities 64,128,256

The side file is trained once, by a first run, and every measured run reuses
it, so all runs share one codebook, as they do for a user.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import wave

DEFAULT_QUALITIES = "32,48,64,96,128,192,256,384,512"
FRAME_RATE = 25
KEY_FRAME_EVERY = 50  # a key frame every 2 seconds, as real movies have
VIDEO_FRAME_BYTES = 600


def write_movie(path, samples, channels, sample_rate):
    """Writes a 'qks1' AVI at 25 frames per second holding `samples`
    (interleaved little-endian 16-bit bytes), with an idx1 index."""
    frame_bytes = channels * 2
    sample_frames = len(samples) // frame_bytes
    frames = sample_frames * FRAME_RATE // sample_rate + 1
    handler = b"qks1"

    def chunk(tag, payload):
        return tag + struct.pack("<I", len(payload)) + payload + (b"\0" if len(payload) % 2 else b"")

    avih = struct.pack("<14I", 1000000 // FRAME_RATE, 0, 0, 0x10, frames, 0, 2, 0, 160, 120, 0, 0, 0, 0)
    vids = struct.pack("<4s4sIHHIIIIIIII4H", b"vids", handler, 0, 0, 0, 0, 1, FRAME_RATE, 0, frames, 0,
                       0xFFFFFFFF, 0, 0, 0, 0, 0)
    bih = struct.pack("<IiiHH4sI4I", 40, 160, 120, 1, 24, handler, 160 * 120 * 3, 0, 0, 0, 0)
    auds = struct.pack("<4sIIHHIIIIIIII4H", b"auds", 1, 0, 0, 0, 0, 1, sample_rate, 0, sample_frames, 0,
                       0xFFFFFFFF, frame_bytes, 0, 0, 0, 0)
    wfx = struct.pack("<HHIIHH", 1, channels, sample_rate, sample_rate * frame_bytes, frame_bytes, 16)
    hdrl = (b"hdrl" + chunk(b"avih", avih) + chunk(b"LIST", b"strl" + chunk(b"strh", vids) + chunk(b"strf", bih)) +
            chunk(b"LIST", b"strl" + chunk(b"strh", auds) + chunk(b"strf", wfx)))
    movi = bytearray(b"movi")
    index = bytearray()
    cursor = 0
    for i in range(frames):
        video = bytes([i % 256]) * VIDEO_FRAME_BYTES
        index += struct.pack("<4sIII", b"00dc", 0x10 if i % KEY_FRAME_EVERY == 0 else 0, len(movi), len(video))
        movi += chunk(b"00dc", video)
        end = sample_frames if i + 1 == frames else (i + 1) * sample_frames // frames
        if end > cursor:
            audio = samples[cursor * frame_bytes:end * frame_bytes]
            index += struct.pack("<4sIII", b"01wb", 0x10, len(movi), len(audio))
            movi += chunk(b"01wb", audio)
            cursor = end
    body = b"AVI " + chunk(b"LIST", hdrl) + chunk(b"LIST", bytes(movi)) + chunk(b"idx1", bytes(index))
    with open(path, "wb") as f:
        f.write(chunk(b"RIFF", body))


def movie_from_wav(wav_path, movie_path):
    with wave.open(wav_path) as w:
        if w.getsampwidth() != 2:
            sys.exit(f"Error: {wav_path} is not 16-bit PCM")
        write_movie(movie_path, w.readframes(w.getnframes()), w.getnchannels(), w.getframerate())


def run(command):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"Error: {' '.join(command)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def measure(args, movie, effort, quality, workdir):
    """One conversion; returns (kbit/s, [(segSNR, fwSegSNR) per channel])."""
    output = os.path.join(workdir, f"e{effort}_q{quality}.qkds")
    run([args.clipvane, "-in", movie, "-out", output, "-quality", str(quality), "-effort", str(effort)])
    text = run([args.probe, "compare", movie, output])
    os.remove(output)
    segmental = {int(c): float(v) for c, v in re.findall(r"channel (\d+): SNR \S+ dB, segmental SNR (\S+) dB", text)}
    weighted = {int(c): float(v) for c, v in re.findall(r"channel (\d+): frequency-weighted segmental SNR (\S+) dB",
                                                        text)}
    rate = float(re.search(r"audio bit rate: (\S+) kbit/s", text).group(1))
    return rate, [(segmental[c], weighted[c]) for c in sorted(segmental)]


def interpolate(points, rate):
    """Linear interpolation of (rate, seg, fw) points at `rate`; None when the
    curve does not reach it."""
    points = sorted(points)
    for (r0, s0, w0), (r1, s1, w1) in zip(points, points[1:]):
        if r0 <= rate <= r1 and r1 > r0:
            t = (rate - r0) / (r1 - r0)
            return s0 + t * (s1 - s0), w0 + t * (w1 - w0)
    for r, s, w in points:
        if r == rate:
            return s, w
    return None


def plot(png, curves, title):
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        print("(gnuplot not found: no plot; apt-get install gnuplot-nox)")
        return
    with tempfile.TemporaryDirectory() as d:
        files = []
        for effort, points in sorted(curves.items()):
            path = os.path.join(d, f"effort{effort}.dat")
            with open(path, "w") as f:
                for r, s, w in sorted(points):
                    f.write(f"{r} {s} {w}\n")
            files.append((effort, path))
        seg = ", ".join(f"'{p}' using 1:2 with linespoints title 'effort {e}'" for e, p in files)
        fw = ", ".join(f"'{p}' using 1:3 with linespoints title 'effort {e}'" for e, p in files)
        script = f"""set terminal pngcairo size 1100,450 noenhanced
set output '{png}'
set multiplot layout 1,2 title '{title}'
set grid
set key bottom right
set xlabel 'audio bit rate (kbit/s)'
set ylabel 'segmental SNR (dB, mean over channels)'
plot {seg}
set ylabel 'frequency-weighted segmental SNR (dB)'
plot {fw}
unset multiplot
"""
        script_path = os.path.join(d, "plot.gp")
        with open(script_path, "w") as f:
            f.write(script)
        subprocess.run([gnuplot, script_path], check=True)
    print(f"plot: {png}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="a movie (.avi) or a 16-bit PCM .wav")
    parser.add_argument("--clipvane", default="build/release/app/clipvane")
    parser.add_argument("--probe", default="build/release/probe/clipvane-probe")
    parser.add_argument("--efforts", default="0,1,2")
    parser.add_argument("--qualities", default=DEFAULT_QUALITIES)
    parser.add_argument("--png", help="write the curves here (needs gnuplot)")
    args = parser.parse_args()
    efforts = [int(e) for e in args.efforts.split(",")]
    qualities = [int(q) for q in args.qualities.split(",")]
    if 0 not in efforts:
        efforts.insert(0, 0)
    if 128 not in qualities:
        qualities = sorted(qualities + [128])

    with tempfile.TemporaryDirectory(prefix="rate_quality.") as workdir:
        movie = os.path.join(workdir, "movie.avi")
        if args.input.lower().endswith(".wav"):
            movie_from_wav(args.input, movie)
        else:
            shutil.copyfile(args.input, movie)
        # Trains the side file once; every measured run below reuses it.
        run([args.clipvane, "-in", movie, "-out", os.path.join(workdir, "first.qkds")])

        curves = {}
        print(f"{os.path.basename(args.input)}")
        print(f"{'effort':>6} {'quality':>7} {'kbit/s':>8}  per channel: segmental / frequency-weighted SNR (dB)")
        default = None
        for effort in efforts:
            curves[effort] = []
            for quality in qualities:
                rate, channels = measure(args, movie, effort, quality, workdir)
                seg = sum(s for s, _ in channels) / len(channels)
                fw = sum(w for _, w in channels) / len(channels)
                curves[effort].append((rate, seg, fw))
                if effort == 0 and quality == 128:
                    default = (rate, seg, fw)
                cells = "  ".join(f"ch{c} {s:6.2f} / {w:6.2f}" for c, (s, w) in enumerate(channels))
                print(f"{effort:>6} {quality:>7} {rate:8.2f}  {cells}", flush=True)

        rate, seg, fw = default
        print(f"\nAt the default run's rate ({rate:.2f} kbit/s, effort 0 -quality 128: {seg:.2f} / {fw:.2f} dB):")
        for effort in efforts[1:]:
            at = interpolate(curves[effort], rate)
            if at is None:
                near = min(curves[effort], key=lambda point: abs(point[0] - rate))
                print(f"  effort {effort}: does not reach {rate:.2f} kbit/s in this -quality range; nearest, at "
                      f"{near[0]:.2f} kbit/s: {near[1] - seg:+.2f} dB segmental, {near[2] - fw:+.2f} dB "
                      f"frequency-weighted")
            else:
                print(f"  effort {effort}: {at[0] - seg:+.2f} dB segmental, {at[1] - fw:+.2f} dB frequency-weighted")
        if args.png:
            plot(args.png, curves, os.path.basename(args.input))


if __name__ == "__main__":
    main()
