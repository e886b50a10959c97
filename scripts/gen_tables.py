#!/usr/bin/env python3
"""Generates codec/celp_tables.cpp, the constant tables of the speech codec.

Each table entry is written as the rounded decimal the codec defines; the compiler turns each
literal into the double nearest to it. Decimal rounding is exact, ties away from zero.
Run from the repository root: python3 scripts/gen_tables.py > codec/celp_tables.cpp
"""
import csv
import math
import os
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


def main():
    print("// Generated by scripts/gen_tables.py from codec/data/lsp_codebook.csv and the codec's")
    print("// table definitions. Do not edit by hand; run the script instead.")
    print('#include "celp_tables.h"')
    print()
    print("namespace brimvox {")
    print()

    # LSP codebook: stored exactly as the decimal values of the data file.
    bands = {0: [], 1: [], 2: []}
    with open(os.path.join(ROOT, "codec", "data", "lsp_codebook.csv")) as f:
        lines = [l for l in f if not l.startswith("#")]
    for rec in csv.DictReader(lines):
        band = int(rec["band"])
        width = 4 if band == 2 else 3
        vals = [rec["value%d" % i] for i in range(width)]
        bands[band].append("{" + ", ".join(literal(Decimal(v)) for v in vals) + "}")
    print("const LspCodebookBands LspCodebook = {")
    for b in range(3):
        print("    {")
        print(rows("", bands[b], 3).replace("\n    ", "\n        ").replace("    {", "        {", 1))
        print("    },")
    print("};")
    print()

    # Cosine grid: round(16384 cos(2 pi n / 512)) / 16384 to six significant digits.
    cos_vals = []
    for n in range(512):
        c = 16384.0 * math.cos(2.0 * math.pi * n / 512.0)
        frac = abs(c - math.floor(c))
        assert abs(frac - 0.5) > 1e-6, "cosine grid value too close to a rounding tie"
        q = int(math.floor(c + 0.5))
        cos_vals.append(significant(Decimal(q) / Decimal(16384), 6))
    print("const double CosineTable[512] = {")
    print(rows("", cos_vals, 8))
    print("};")
    print()

    # Adaptive codebook gains: 5 taps, 5 negated squares, 10 negated cross products.
    acb = []
    for q in ACB_Q:
        two14 = Decimal(16384)
        taps = [places(Decimal(qi) / two14, 6) for qi in q]
        squares = [places(-Decimal(qi * qi) / (two14 * two14), 6) for qi in q]
        cross = [places(-Decimal(q[i] * q[j]) / (two14 * two14), 6) for i, j in ACB_PAIRS]
        acb.append("{" + ", ".join(taps + squares + cross) + "}")
    print("const double AcbGainTable[AcbGainRows][20] = {")
    print(rows("", acb, 1))
    print("};")
    print()

    print("const PitchRepeatEntry PitchRepeatTable[AcbGainRows] = {")
    entries = ["{%d, %s}" % (off, places(Decimal(k) / Decimal(32768), 6)) for off, k in PITCH_REPEAT]
    print(rows("", entries, 6))
    print("};")
    print()
    print_encoder_tables()
    print("}  // namespace brimvox")


if __name__ == "__main__":
    main()
