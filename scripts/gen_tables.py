#!/usr/bin/env python3
"""Generates codec/celp_tables.cpp, the constant tables of the speech codec.

Each table entry is written as the rounded decimal the codec defines; the compiler turns each
literal into the double nearest to it. Decimal rounding is exact, ties away from zero.
Run from the repository root: python3 scripts/gen_tables.py > codec/celp_tables.cpp

With --java it writes instead the decoder's tables for the pure-Java decoder, from the same
definitions and the same literals (javac, like the C++ compiler, takes the nearest double):
python3 scripts/gen_tables.py --java > java/src/main/java/org/brimvox/CelpTables.java
"""
import csv
import math
import os
import re
import sys
from decimal import Decimal, ROUND_HALF_UP, getcontext

getcontext().prec = 60
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def places(value, n):
    """value (Decimal, exact) rounded to n decimal places, as a C++ literal."""
    r = value.quantize(Decimal(1).scaleb(-n), rounding=ROUND_HALF_UP)
    return literal(r)


def significant(value, n):
    """value (Decimal, exact) rounded to n significant digits, as a C++ literal."""
    if value == 0:
        return "0.0"
    exp = value.adjusted() - (n - 1)
    r = value.quantize(Decimal(1).scaleb(exp), rounding=ROUND_HALF_UP)
    return literal(r)


def literal(d):
    if d == 0:
        return "0.0"
    s = format(d.normalize(), "f")
    if "." not in s:
        s += ".0"
    return s


def rows(name, values, per_line):
    out = []
    for i in range(0, len(values), per_line):
        out.append("    " + ", ".join(values[i:i + per_line]) + ",")
    return "\n".join(out)


ACB_Q = [
    (0, 0, 0, 0, 0), (-735, -487, -5, 2948, 468), (2425, 1267, 3439, -91, -1166),
    (-208, -1102, 463, -448, 5653), (-844, 3358, 6106, -1059, -537),
    (-4398, -2011, 3912, -2407, 2258), (1552, 8778, -935, 354, -1424),
    (-1349, 1091, 1659, 8891, 313), (4377, -132, -2588, 1701, 4865),
    (-2518, 3791, 8623, 315, 2465), (42, 9706, 3164, -952, 907),
    (-5902, -3458, -2465, -1886, 4334), (3143, 3483, 3546, -793, 4489),
    (2965, -3013, 7912, 7076, -1997), (-2597, 438, -1839, 6229, 7266),
    (1193, -2697, 11259, 5373, -763), (-2546, 9502, 5969, -2440, 1928),
    (7535, 2422, 1926, 1405, 1599), (3220, 5978, 5923, 2430, -2689),
    (5557, 1509, 5407, -125, -7386), (3063, 1539, 2000, -542, 9576),
    (4889, -6878, 612, 6109, 4753), (-1371, 535, 1417, 14604, -997),
    (856, 2294, -627, 6930, 6929), (-3017, 3852, 1725, 8440, 5257),
    (6409, 1722, 1764, -4191, 6015), (5121, 11835, -477, -1749, 2298),
    (2151, -3586, 6949, 12131, -1224), (12628, 5448, -2630, 3011, -2695),
    (1079, 16099, 242, -881, 1690), (3184, 14368, -3336, 2255, -1801),
    (-4332, -4399, -1657, 4880, 7375), (1243, -2634, 16772, 1871, 332),
    (7053, 5847, 2929, 8378, -4794), (-2463, 8168, 14551, -3908, 1828),
    (5567, 17853, -3754, 1166, -519), (8052, 2285, -6193, 5138, 6003),
    (1052, 4495, 15519, 1467, -4032), (12929, -1219, 2448, 1757, 6303),
    (1859, 2634, 9228, 996, 9464), (-9631, 60, 3501, 5359, 10150),
    (5659, 11535, 2203, -452, 7169),
]
# Order of the ten cross-product columns.
ACB_PAIRS = [(0, 1), (0, 2), (1, 2), (0, 3), (1, 3), (2, 3), (0, 4), (1, 4), (2, 4), (3, 4)]

PITCH_REPEAT = [
    (60, 0), (1, 6171), (-1, 8843), (2, 11606), (0, 14440), (0, 14471), (-1, 18375),
    (1, 18836), (60, 0), (1, 20875), (-1, 21321), (-1, 0), (0, 15900), (1, 24395),
    (2, 22604), (0, 26423), (-1, 25572), (-1, 19049), (-1, 25093), (-1, 25659), (1, 22521),
    (-1, 0), (1, 30917), (1, 26821), (1, 31389), (0, 26936), (-1, 30429), (1, 31611),
    (60, 0), (-1, 31587), (-1, 30742), (60, 0), (0, 31756), (60, 0), (0, 29274),
    (-1, 28147), (60, 0), (0, 28257), (60, 0), (60, 0), (60, 0), (60, 0),
]

# Encoder tables.
HAMMING_EXCEPTIONS = {51: "0.640109", 102: "0.956427", 141: "0.432027", 156: "0.221945"}
LAG_WINDOW = ["0.999443", "0.997775", "0.995002", "0.991132", "0.986178", "0.980157",
              "0.973088", "0.964995", "0.955905", "0.945847"]
VAD_THRESHOLDS = [9170, 9170, 9170, 9170, 10289, 11544, 12953, 14533, 16306, 18296, 20529]


def hamming_values():
    out = []
    for n in range(180):
        if n in HAMMING_EXCEPTIONS:
            out.append(literal(Decimal(HAMMING_EXCEPTIONS[n])))
            continue
        w = 0.54 - 0.46 * math.cos(2.0 * math.pi * n / 179.0)
        scaled = w * 1e6
        assert abs(abs(scaled - math.floor(scaled)) - 0.5) > 1e-4, "Hamming value near a tie"
        out.append(places(Decimal(repr(w)), 6))
    return out


def bandwidth_values():
    # 0.994^k, exact in decimal, rounded to seven places.
    return [places(Decimal("0.994") ** k, 7) for k in range(1, 11)]


def print_encoder_tables():
    print("const double HammingWindow[180] = {")
    print(rows("", hamming_values(), 8))
    print("};")
    print()
    print("const double LagWindow[LpcOrder] = {")
    print(rows("", [literal(Decimal(v)) for v in LAG_WINDOW], 5))
    print("};")
    print()
    print("const double BandwidthExpansion[LpcOrder] = {")
    print(rows("", bandwidth_values(), 5))
    print("};")
    print()
    print("const double VadThresholdTable[11] = {")
    print(rows("", [literal(Decimal(v)) for v in VAD_THRESHOLDS], 6))
    print("};")
    print()


def lsp_codebook_rows():
    """Per band, the rows as lists of literals, exactly the decimal values of the data file."""
    bands = {0: [], 1: [], 2: []}
    with open(os.path.join(ROOT, "codec", "data", "lsp_codebook.csv")) as f:
        lines = [l for l in f if not l.startswith("#")]
    for rec in csv.DictReader(lines):
        band = int(rec["band"])
        width = 4 if band == 2 else 3
        bands[band].append([literal(Decimal(rec["value%d" % i])) for i in range(width)])
    return bands


def cosine_values():
    """Cosine grid: round(16384 cos(2 pi n / 512)) / 16384 to six significant digits."""
    cos_vals = []
    for n in range(512):
        c = 16384.0 * math.cos(2.0 * math.pi * n / 512.0)
        frac = abs(c - math.floor(c))
        assert abs(frac - 0.5) > 1e-6, "cosine grid value too close to a rounding tie"
        q = int(math.floor(c + 0.5))
        cos_vals.append(significant(Decimal(q) / Decimal(16384), 6))
    return cos_vals


def acb_gain_rows():
    """Adaptive codebook gains: 5 taps, 5 negated squares, 10 negated cross products."""
    acb = []
    two14 = Decimal(16384)
    for q in ACB_Q:
        taps = [places(Decimal(qi) / two14, 6) for qi in q]
        squares = [places(-Decimal(qi * qi) / (two14 * two14), 6) for qi in q]
        cross = [places(-Decimal(q[i] * q[j]) / (two14 * two14), 6) for i, j in ACB_PAIRS]
        acb.append(taps + squares + cross)
    return acb


def pitch_repeat_gains():
    return [places(Decimal(k) / Decimal(32768), 6) for _, k in PITCH_REPEAT]


def header_table(name):
    """The literals of a table that codec/celp_tables.h defines inline (LspMeanTable and
    FcbGainTable), so the Java tables take them from the same place as the C++ code."""
    with open(os.path.join(ROOT, "codec", "celp_tables.h")) as f:
        text = f.read()
    m = re.search(r"\b%s\[[^\]]*\]\s*=\s*\{([^}]*)\}" % name, text)
    assert m, "table %s not found in celp_tables.h" % name
    return [literal(Decimal(v.strip())) for v in m.group(1).split(",") if v.strip()]


def main():
    print("// Generated by scripts/gen_tables.py from codec/data/lsp_codebook.csv and the codec's")
    print("// table definitions. Do not edit by hand; run the script instead.")
    print('#include "celp_tables.h"')
    print()
    print("namespace brimvox {")
    print()

    # LSP codebook: stored exactly as the decimal values of the data file.
    bands = lsp_codebook_rows()
    print("const LspCodebookBands LspCodebook = {")
    for b in range(3):
        cells = ["{" + ", ".join(row) + "}" for row in bands[b]]
        print("    {")
        print(rows("", cells, 3).replace("\n    ", "\n        ").replace("    {", "        {", 1))
        print("    },")
    print("};")
    print()

    print("const double CosineTable[512] = {")
    print(rows("", cosine_values(), 8))
    print("};")
    print()

    acb = ["{" + ", ".join(row) + "}" for row in acb_gain_rows()]
    print("const double AcbGainTable[AcbGainRows][20] = {")
    print(rows("", acb, 1))
    print("};")
    print()

    print("const PitchRepeatEntry PitchRepeatTable[AcbGainRows] = {")
    entries = ["{%d, %s}" % (off, g) for (off, _), g in zip(PITCH_REPEAT, pitch_repeat_gains())]
    print(rows("", entries, 6))
    print("};")
    print()
    print_encoder_tables()
    print("}  // namespace brimvox")


def java_array(kind, name, comment, values, per_line):
    out = ["    /** %s */" % comment, "    static final %s[] %s = {" % (kind, name)]
    for i in range(0, len(values), per_line):
        out.append("        " + ", ".join(values[i:i + per_line]) + ",")
    out.append("    };")
    return "\n".join(out)


def main_java():
    """The decoder's tables as one Java class. Two-dimensional tables are flattened row by row
    (row r, column c at r * width + c) so the decoder indexes one array without indirection."""
    bands = lsp_codebook_rows()
    parts = [
        java_array("double", "LspMeanTable", "Mean LSP vector in grid units (256 = 4000 Hz).",
                   header_table("LspMeanTable"), 5),
        java_array("double", "LspBand0", "LSP codebook band 0 (positions 0..2): 256 rows of 3.",
                   [v for row in bands[0] for v in row], 6),
        java_array("double", "LspBand1", "LSP codebook band 1 (positions 3..5): 256 rows of 3.",
                   [v for row in bands[1] for v in row], 6),
        java_array("double", "LspBand2", "LSP codebook band 2 (positions 6..9): 256 rows of 4.",
                   [v for row in bands[2] for v in row], 8),
        java_array("double", "CosineTable",
                   "cos(2 pi n / 512) on the 16384 grid, to six significant digits.",
                   cosine_values(), 7),
        java_array("double", "AcbGainTable",
                   "Per gain row, 20 columns: taps g0..g4, -g0^2..-g4^2, then -gi*gj for\n"
                   "     * ij = 01, 02, 12, 03, 13, 23, 04, 14, 24, 34 (the decoder reads the taps).",
                   [v for row in acb_gain_rows() for v in row], 5),
        java_array("int", "PitchRepeatOffset",
                   "Pulse repetition per gain row: delay offset (60 = none).",
                   [str(off) for off, _ in PITCH_REPEAT], 14),
        java_array("double", "PitchRepeatGain", "Pulse repetition per gain row: gain.",
                   pitch_repeat_gains(), 7),
        java_array("double", "FcbGainTable", "Pulse amplitude per fixed-codebook gain index.",
                   header_table("FcbGainTable"), 12),
    ]
    print("// Generated by scripts/gen_tables.py from codec/data/lsp_codebook.csv and the codec's")
    print("// table definitions. Do not edit by hand; run the script instead.")
    print("// clang-format off")
    print("package org.brimvox;")
    print()
    print("/** The constant tables of the speech decoder, the same values as the native codec's. */")
    print("final class CelpTables {")
    print("    private CelpTables() {}")
    print()
    print("\n\n".join(parts))
    print("}")


if __name__ == "__main__":
    if sys.argv[1:] == ["--java"]:
        main_java()
    else:
        main()
