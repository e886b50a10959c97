// The compiled tables against their definitions: each entry must be the double nearest to the
// defined decimal, computed here independently with exact integer arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "celp_tables.h"

namespace brimvox {
namespace {

// num/den rounded to the nearest integer, ties away from zero (den > 0).
int64_t roundedQuotient(int64_t num, int64_t den) {
    const int64_t mag = (2 * std::llabs(num) + den) / (2 * den);
    return num < 0 ? -mag : mag;
}

// The double nearest to n * 10^exp10, through the C library's correctly rounded conversion.
double decimalValue(int64_t n, int exp10) {
    return std::strtod((std::to_string(n) + "e" + std::to_string(exp10)).c_str(), nullptr);
}

// q / 2^shift rounded to six decimal places.
double sixPlaces(int64_t q, int shift) {
    return decimalValue(roundedQuotient(q * 15625, int64_t(1) << (shift - 6)), -6);
}

TEST(Tables, LspCodebookEqualsTheDataFile) {
    std::ifstream in(BRIMVOX_CODEBOOK_CSV);
    ASSERT_TRUE(in) << "cannot open " << BRIMVOX_CODEBOOK_CSV;
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("band", 0) == 0) continue;
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, ',');) cells.push_back(cell);
        const int band = std::stoi(cells[0]), row = std::stoi(cells[1]);
        const int width = band == 2 ? 4 : 3;
        const double* stored = band == 0   ? LspCodebook.band0[row]
                               : band == 1 ? LspCodebook.band1[row]
                                           : LspCodebook.band2[row];
        for (int i = 0; i < width; ++i) {
            const double q = std::stod(cells[2 + i]);
            const double value = std::strtod(cells[6 + i].c_str(), nullptr);
            EXPECT_EQ(stored[i], value) << "band " << band << " row " << row << " col " << i;
            // The stored value is q/128 to six significant digits.
            EXPECT_NEAR(stored[i], q / 128.0, 5e-6 * std::fabs(q / 128.0) + 1e-12);
        }
        ++rows;
    }
    EXPECT_EQ(rows, 3 * 256);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(LspCodebook.band2[0][i], 0.0);
    EXPECT_EQ(LspCodebook.band0[255][2], 46.9688);
    EXPECT_EQ(LspCodebook.band2[1][1], 4.0);
}

TEST(Tables, CosineTableIsTheRoundedGridCosine) {
    for (int n = 0; n < 512; ++n) {
        const int64_t q =
            std::llround(16384.0 * std::cos(2.0 * 3.14159265358979323846 * n / 512.0));
        // q / 16384 = q * 5^14 / 10^14 exactly; keep six significant digits.
        const int64_t full = q * 6103515625LL;
        int64_t scale = 1;
        int e = -14;
        while (std::llabs(full) / scale >= 1000000) {
            scale *= 10;
            ++e;
        }
        const double expected = decimalValue(roundedQuotient(full, scale), e);
        EXPECT_EQ(CosineTable[n], expected) << "n = " << n;
    }
    EXPECT_EQ(CosineTable[0], 1.0);
    EXPECT_EQ(CosineTable[1], 0.999939);
    EXPECT_EQ(CosineTable[128], 0.0);
    EXPECT_EQ(CosineTable[256], -1.0);
}

TEST(Tables, AcbGainTableIsGeneratedFromItsIntegers) {
    // Spot values of row 1 as written in the table's definition.
    const double row1[20] = {-0.044861, -0.029724, -0.000305, 0.179932,  0.028564,
                             -0.002012, -0.000884, 0.0,       -0.032375, -0.000816,
                             -0.001333, -0.000014, -0.000009, 0.008072,  0.005348,
                             0.000055,  0.001281,  0.000849,  0.000009,  -0.00514};
    for (int c = 0; c < 20; ++c) EXPECT_EQ(AcbGainTable[1][c], row1[c]) << "column " << c;

    // Every row: taps from the columns themselves would be circular, so rebuild the integers
    // from the taps (q = tap * 16384 is within 0.01 of an integer) and recompute all columns.
    const int pairs[10][2] = {{0, 1}, {0, 2}, {1, 2}, {0, 3}, {1, 3},
                              {2, 3}, {0, 4}, {1, 4}, {2, 4}, {3, 4}};
    for (int r = 0; r < AcbGainRows; ++r) {
        int64_t q[5];
        for (int i = 0; i < 5; ++i) q[i] = std::llround(AcbGainTable[r][i] * 16384.0);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(AcbGainTable[r][i], sixPlaces(q[i], 14)) << r;
            EXPECT_EQ(AcbGainTable[r][5 + i], sixPlaces(-q[i] * q[i], 28)) << r;
        }
        for (int k = 0; k < 10; ++k) {
            const int64_t prod = q[pairs[k][0]] * q[pairs[k][1]];
            EXPECT_EQ(AcbGainTable[r][10 + k], sixPlaces(-prod, 28)) << r << " pair " << k;
        }
    }
    // Integers of a few rows, to catch a wrong row order.
    EXPECT_EQ(std::llround(AcbGainTable[35][1] * 16384.0), 17853);
    EXPECT_EQ(std::llround(AcbGainTable[41][4] * 16384.0), 7169);
    EXPECT_EQ(std::llround(AcbGainTable[22][3] * 16384.0), 14604);
}

TEST(Tables, PitchRepeatGainsAreSixPlaceFractions) {
    EXPECT_EQ(PitchRepeatTable[1].gain, 0.188324);
    EXPECT_EQ(PitchRepeatTable[27].gain, 0.964691);
    int none = 0;
    for (int r = 0; r < AcbGainRows; ++r) {
        const int64_t k = std::llround(PitchRepeatTable[r].gain * 32768.0);
        EXPECT_EQ(PitchRepeatTable[r].gain, sixPlaces(k, 15)) << r;
        if (PitchRepeatTable[r].offset == 60) {
            EXPECT_EQ(PitchRepeatTable[r].gain, 0.0);
            ++none;
        } else {
            EXPECT_GE(PitchRepeatTable[r].offset, -1);
            EXPECT_LE(PitchRepeatTable[r].offset, 2);
        }
    }
    EXPECT_EQ(none, 10);
}

}  // namespace
}  // namespace brimvox
