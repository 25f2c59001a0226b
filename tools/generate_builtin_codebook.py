#!/usr/bin/env python3
"""Writes codebook/builtin_codebook.cpp, the codebook compiled into Clipvane.

The built-in codebook is in force while the converter collects training data
and whenever no trained codebook can be read, so it must be a sound quantiser
for any speech-like input, not a tuned one. Some of its values are fixed (the
gain-ratio table, the key-block base, the initial gain and four stage entries
that players and tests rely on); the rest of the three-stage spectrum table is
drawn here from a seeded generator, so the table is reproducible and can be
regenerated (or replaced by a table trained on real audio) without hand edits.

How the free entries are drawn
  Each component of a stage entry is a Laplace-distributed reflection delta
  (the distribution frame-to-frame reflection changes follow: mostly small,
  occasionally a large jump), rounded to Q15 and clamped to the stage's range.
  The spread falls with the component index, as the low-order reflection
  coefficients move most between blocks, and falls from stage to stage, as
  each stage refines what the previous one left.

Why every reachable vector stays a valid reflection vector
  A bound for all 64^3 combinations is impossible with the fixed values: the
  key-block base's first component is -26451 and entry 0 of stage 0 adds -7350,
  already -33801 < -32768; non-key blocks predict from the previous vector,
  which may lie anywhere in (-0.999, 0.999). What the encoder can reach is
  narrower: it accepts a stage candidate only if the running sum stays within
  +-0.999, and falls back to entry 0 (unchecked) only when all 64 candidates of
  a stage are rejected. Every stage therefore holds one all-zero entry: it keeps
  any in-range running sum in range, so no stage ever falls back, and by
  induction (the key base is in range, and every block's vector is the base of
  the next) every vector the encoder emits has all components within +-0.999.
  The zero entry is also a useful codeword: "no change" for a steady spectrum.

Usage: generate_builtin_codebook.py [--check]
  Without options the file is (re)written; with --check the script only reports
  whether the committed file matches what it would write.
"""

import math
import os
import sys

STAGES = 3
ENTRIES = 64
ORDER = 8
Q15_LIMIT = 0.999 * 32768  # the encoder's range limit on the running sum

GAIN_RATIO = [26730, 8974, 7528, 10868, 6214, 14221, 4782, 2765]
KEY_BASE = [-26451, 16065, -4700, 4621, 1464, 1429, -346, 2076]
INITIAL_GAIN = 571

# (stage, entry) -> components that the format fixes.
FIXED_ENTRIES = {
    (0, 0): [-7350, 3112, -1529, -1599, 370, -154, 345, 98],
    (0, 16): [-642, 425, 11211, -9627, 1526, 1174, -2836, 699],
    (1, 0): [308, 1637, 259, -2955, -816, 1994, -3683, 3241],
    (2, 0): [53, 347, -44, -1162, 3053, 1328, 2498, -2884],
}

# Inclusive value range of each stage.
STAGE_RANGE = [(-29639, 26741), (-10415, 11343), (-8562, 8807)]

# Laplace scale (mean absolute value, Q15) per stage and component.
STAGE_SCALE = [
    [5200, 4200, 3300, 2800, 2300, 1900, 1600, 1400],
    [2000, 1850, 1700, 1600, 1500, 1420, 1350, 1300],
    [1100, 1050, 1000, 960, 920, 880, 850, 820],
]

# Entry of each stage that holds the all-zero "no change" vector.
ZERO_ENTRY = ENTRIES - 1

SEED = 0x436C697076616E65  # fixed, so the table is reproducible


class SplitMix64:
    """Small, fully specified generator: the table must not depend on the
    Python version's own random module."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def uniform(self):
        """Uniform in the open interval (0, 1)."""
        return ((self.next() >> 11) + 0.5) / float(1 << 53)


def laplace(rng, scale):
    u = rng.uniform() - 0.5
    return -scale * math.copysign(1.0, u) * math.log(1.0 - 2.0 * abs(u))


def round_half_away(x):
    return int(math.floor(abs(x) + 0.5)) * (1 if x >= 0 else -1)


def build_table():
    rng = SplitMix64(SEED)
    table = []
    for s in range(STAGES):
        low, high = STAGE_RANGE[s]
        stage = []
        for e in range(ENTRIES):
            # Draw for every entry, fixed or not, so that changing a fixed
            # entry does not reshuffle all the others.
            drawn = [round_half_away(laplace(rng, STAGE_SCALE[s][k])) for k in range(ORDER)]
            if (s, e) in FIXED_ENTRIES:
                entry = list(FIXED_ENTRIES[(s, e)])
            elif e == ZERO_ENTRY:
                entry = [0] * ORDER
            else:
                entry = [min(high, max(low, v)) for v in drawn]
            stage.append(entry)
        table.append(stage)
    return table


def check_table(table):
    for s, stage in enumerate(table):
        low, high = STAGE_RANGE[s]
        for e, entry in enumerate(stage):
            for v in entry:
                if not low <= v <= high:
                    raise SystemExit(f"stage {s} entry {e}: {v} outside {low}..{high}")
        if not any(all(v == 0 for v in entry) for entry in stage):
            raise SystemExit(f"stage {s} has no zero entry")
    for (s, e), values in FIXED_ENTRIES.items():
        if table[s][e] != values:
            raise SystemExit(f"fixed entry {s}/{e} changed")
    if any(abs(v) > Q15_LIMIT for v in KEY_BASE):
        raise SystemExit("key base outside the encoder's range")


def render(table):
    lines = [
        "// Generated by tools/generate_builtin_codebook.py; edit the generator, not this file.",
        "// The codebook in force before a trained one exists: see the generator for how its",
        "// values are chosen and why every vector the encoder can reach stays in range.",
        "",
        '#include "codebook/channel_codebook.h"',
        "",
        "namespace clipvane {",
        "",
        "namespace {",
        "",
        "constexpr ChannelCodebook kBuiltInCodebook = {",
        "    {",
    ]
    for s, stage in enumerate(table):
        lines.append(f"        {{  // stage {s}")
        for e, entry in enumerate(stage):
            values = ", ".join(f"{v:6d}" for v in entry)
            lines.append(f"            {{{values}}},  // {e}")
        lines.append("        },")
    lines.append("    },")
    lines.append("    {" + ", ".join(str(v) for v in GAIN_RATIO) + "},")
    lines.append("    {" + ", ".join(str(v) for v in KEY_BASE) + "},")
    lines.append(f"    {INITIAL_GAIN},")
    lines += [
        "};",
        "",
        "}  // namespace",
        "",
        "const ChannelCodebook& BuiltInCodebook() { return kBuiltInCodebook; }",
        "",
        "}  // namespace clipvane",
        "",
    ]
    return "\n".join(lines)


def main():
    table = build_table()
    check_table(table)
    text = render(table)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.join(root, "codebook", "builtin_codebook.cpp")
    if "--check" in sys.argv[1:]:
        with open(path, encoding="utf-8") as f:
            same = f.read() == text
        print("up to date" if same else "differs from the generator's output")
        return 0 if same else 1
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
