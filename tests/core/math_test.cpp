// Lookup tables, matrices and the reciprocal square root.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "client/core/vmath.h"

using namespace velmar;

namespace {

class Trig : public ::testing::Test {
protected:
    static void SetUpTestSuite() { initTrigTables(); }
};

bool sameBits(const Matrix4& a, const Matrix4& b) { return std::memcmp(a.m, b.m, sizeof a.m) == 0; }

Matrix4 randomMatrix(std::mt19937& rng, float scale) {
    std::uniform_real_distribution<float> d(-scale, scale);
    Matrix4 m;
    for (float& v : m.m) v = d(rng);
    return m;
}

}  // namespace

TEST_F(Trig, TableEntriesAreSinglePrecisionSinesOfTheFullTurn) {
    for (int i : {0, 1, 1000, 4096, 8192, 12288, 16383}) {
        EXPECT_EQ(sineTable()[i], static_cast<float>(std::sin(2.0 * M_PI * i / 16384.0))) << i;
        EXPECT_EQ(tangentTable()[i], static_cast<float>(std::tan(2.0 * M_PI * i / 16384.0))) << i;
    }
}

TEST_F(Trig, RoundingTiesGoToEvenAndNegativeAnglesWrap) {
    // Scaled values that are exact halves must round to the even neighbour,
    // as adding 12582912.0 does; a truncating or half-up lookup fails here.
    const float unit = 1.0f / kRadToTableIndex;
    EXPECT_EQ(trigIndex(0.0f), 0);
    EXPECT_EQ(trigIndex(-0.0f), 0);
    // Find angles whose product lands exactly on .5 by searching nearby floats.
    int checked = 0;
    for (int k = 0; k < 40 && checked < 6; ++k) {
        float target = static_cast<float>(k) + 0.5f;
        float r = target * unit;
        for (int step = 0; step < 64; ++step) {
            float scaled = r * kRadToTableIndex;
            if (scaled == target) {
                int even = (k % 2 == 0) ? k : k + 1;
                EXPECT_EQ(trigIndex(r), even) << "scaled " << scaled;
                EXPECT_EQ(trigIndex(-r), (-even) & (kTrigTableSize - 1)) << "scaled " << -scaled;
                ++checked;
                break;
            }
            r = std::nextafter(r, scaled < target ? 1.0f : -1.0f);
        }
    }
    EXPECT_GE(checked, 3) << "no exact half found to exercise ties";
}

TEST_F(Trig, IndexKeepsOnlyTheLowFourteenBits) {
    // One full turn later lands on the same entry.
    EXPECT_EQ(trigIndex(2.0f * static_cast<float>(M_PI)), 0);
    EXPECT_EQ(trigIndex(-static_cast<float>(M_PI) / 2.0f), 16384 - 4096);
}

TEST_F(Trig, CosineIsTheSineEntryAQuarterTurnFurther) {
    const float quarter = static_cast<float>(M_PI / 2.0);
    EXPECT_EQ(tableCos(0.0f), 1.0f);
    EXPECT_EQ(tableSin(quarter), 1.0f);
    EXPECT_EQ(tableCos(quarter), sineTable()[8192]);  // sin(pi) in single precision, not 0
    EXPECT_EQ(tableCos(-quarter), sineTable()[0]);
    EXPECT_EQ(tableSinDeg(90.0f), 1.0f);
    EXPECT_EQ(tableCosDeg(180.0f), -1.0f);
    EXPECT_EQ(tableTan(0.0f), 0.0f);
}

TEST(Matrix, SseProductEqualsScalarProductBitForBit) {
    std::mt19937 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        const float scale = (i % 3 == 0) ? 1e-3f : (i % 3 == 1) ? 1.0f : 1e4f;
        Matrix4 a = randomMatrix(rng, scale), b = randomMatrix(rng, scale), s, v;
        matMultiplyScalar(a, b, s);
        matMultiplySse(a, b, v);
        ASSERT_TRUE(sameBits(s, v)) << "iteration " << i;
    }
}

TEST(Matrix, ProductComposesLikeGlMultMatrix) {
    // Translate then scale: a point is scaled first, then moved.
    Matrix4 t = matIdentity(), s = matIdentity(), r;
    t.m[12] = 5.0f;
    t.m[13] = -2.0f;
    s.m[0] = 2.0f;
    s.m[5] = 3.0f;
    matMultiplySse(t, s, r);
    EXPECT_EQ(r.m[0], 2.0f);
    EXPECT_EQ(r.m[5], 3.0f);
    EXPECT_EQ(r.m[12], 5.0f);
    EXPECT_EQ(r.m[13], -2.0f);
    matMultiplySse(s, t, r);
    EXPECT_EQ(r.m[12], 10.0f);
    EXPECT_EQ(r.m[13], -6.0f);
}

TEST(Matrix, SseInverseEqualsScalarInverseAndInverts) {
    std::mt19937 rng(99);
    int inverted = 0;
    for (int i = 0; i < 2000; ++i) {
        Matrix4 a = randomMatrix(rng, 10.0f), s, v, prod;
        bool okS = matInverseScalar(a, s);
        bool okV = matInverseSse(a, v);
        ASSERT_EQ(okS, okV);
        if (!okS) continue;
        ASSERT_TRUE(sameBits(s, v)) << "iteration " << i;
        matMultiplyScalar(a, s, prod);
        float err = 0.0f;
        for (int k = 0; k < 16; ++k)
            err = std::fmax(err, std::fabs(prod.m[k] - ((k % 5 == 0) ? 1.0f : 0.0f)));
        // Random matrices may be badly conditioned; most are well within this.
        if (err < 1e-3f) ++inverted;
    }
    EXPECT_GT(inverted, 1900);
}

TEST(Matrix, SingularMatrixIsNotInverted) {
    Matrix4 a = matIdentity(), out = matIdentity();
    a.m[5] = 0.0f;
    out.m[3] = 42.0f;
    EXPECT_FALSE(matInverseScalar(a, out));
    EXPECT_FALSE(matInverseSse(a, out));
    EXPECT_EQ(out.m[3], 42.0f);

    Matrix4 known = matIdentity(), inv;
    known.m[0] = 4.0f;
    known.m[12] = 8.0f;
    ASSERT_TRUE(matInverseSse(known, inv));
    EXPECT_EQ(inv.m[0], 0.25f);
    EXPECT_EQ(inv.m[12], -2.0f);
}

TEST(Matrix, RoutinesFollowTheProcessorChoice) {
    selectMathRoutines(true);
    EXPECT_EQ(matMultiply, &matMultiplySse);
    EXPECT_EQ(matInverse, &matInverseSse);
    selectMathRoutines(false);
    EXPECT_EQ(matMultiply, &matMultiplyScalar);
    EXPECT_EQ(matInverse, &matInverseScalar);
}

TEST(Rsqrt, OneNewtonStepGivesNearlyFullPrecision) {
    for (float x : {1e-20f, 1e-6f, 0.25f, 1.0f, 2.0f, 3.0f, 1234.5f, 1e12f, 3e30f}) {
        const double exact = 1.0 / std::sqrt(static_cast<double>(x));
        EXPECT_NEAR(rsqrtFast(x) / exact, 1.0, 1e-6) << x;
    }
    EXPECT_EQ(rsqrtFast(4.0f), 0.5f);
}
