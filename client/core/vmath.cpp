#include "client/core/vmath.h"

#include <xmmintrin.h>

#include <cmath>
#include <cstring>

namespace velmar {

// --- Trigonometric tables ---

namespace {
alignas(16) float g_sin[kTrigTableSize];
alignas(16) float g_tan[kTrigTableSize];
}  // namespace

void initTrigTables() {
    const double step = 2.0 * M_PI / kTrigTableSize;
    for (int i = 0; i < kTrigTableSize; ++i) {
        g_sin[i] = static_cast<float>(std::sin(step * i));
        g_tan[i] = static_cast<float>(std::tan(step * i));
    }
}

const float* sineTable() { return g_sin; }
const float* tangentTable() { return g_tan; }

int trigIndex(float radians) {
    // Adding 1.5 * 2^23 leaves the rounded integer in the low mantissa bits
    // (current rounding mode: nearest, ties to even); negative values wrap
    // correctly because only the low 14 bits are kept.
    volatile float shifted = radians * kRadToTableIndex + 12582912.0f;
    float value = shifted;
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return static_cast<int>(bits & (kTrigTableSize - 1));
}

float tableSin(float radians) { return g_sin[trigIndex(radians)]; }
float tableCos(float radians) {
    return g_sin[(trigIndex(radians) + kTrigTableSize / 4) & (kTrigTableSize - 1)];
}
float tableTan(float radians) { return g_tan[trigIndex(radians)]; }

// --- Matrices ---

Matrix4 matIdentity() {
    Matrix4 r{};
    r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0f;
    return r;
}

void matMultiplyScalar(const Matrix4& a, const Matrix4& b, Matrix4& out) {
    Matrix4 r;
    for (int c = 0; c < 4; ++c) {
        const float* bc = &b.m[c * 4];
        for (int row = 0; row < 4; ++row) {
            float acc = a.m[row] * bc[0];
            acc = acc + a.m[4 + row] * bc[1];
            acc = acc + a.m[8 + row] * bc[2];
            acc = acc + a.m[12 + row] * bc[3];
            r.m[c * 4 + row] = acc;
        }
    }
    out = r;
}

void matMultiplySse(const Matrix4& a, const Matrix4& b, Matrix4& out) {
    const __m128 a0 = _mm_load_ps(&a.m[0]), a1 = _mm_load_ps(&a.m[4]);
    const __m128 a2 = _mm_load_ps(&a.m[8]), a3 = _mm_load_ps(&a.m[12]);
    __m128 cols[4];
    for (int c = 0; c < 4; ++c) {
        const float* bc = &b.m[c * 4];
        __m128 acc = _mm_mul_ps(a0, _mm_set1_ps(bc[0]));
        acc = _mm_add_ps(acc, _mm_mul_ps(a1, _mm_set1_ps(bc[1])));
        acc = _mm_add_ps(acc, _mm_mul_ps(a2, _mm_set1_ps(bc[2])));
        acc = _mm_add_ps(acc, _mm_mul_ps(a3, _mm_set1_ps(bc[3])));
        cols[c] = acc;
    }
    for (int c = 0; c < 4; ++c) _mm_store_ps(&out.m[c * 4], cols[c]);
}

namespace {

// Four lanes of plain floats with the same lane-wise operations as __m128.
struct Lanes4 {
    float v[4];
    static Lanes4 make(float a, float b, float c, float d) { return Lanes4{{a, b, c, d}}; }
    friend Lanes4 operator+(Lanes4 x, Lanes4 y) {
        return make(x.v[0] + y.v[0], x.v[1] + y.v[1], x.v[2] + y.v[2], x.v[3] + y.v[3]);
    }
    friend Lanes4 operator-(Lanes4 x, Lanes4 y) {
        return make(x.v[0] - y.v[0], x.v[1] - y.v[1], x.v[2] - y.v[2], x.v[3] - y.v[3]);
    }
    friend Lanes4 operator*(Lanes4 x, Lanes4 y) {
        return make(x.v[0] * y.v[0], x.v[1] * y.v[1], x.v[2] * y.v[2], x.v[3] * y.v[3]);
    }
    void store(float* out) const { std::memcpy(out, v, sizeof v); }
};

struct SseLanes4 {
    __m128 v;
    static SseLanes4 make(float a, float b, float c, float d) {
        return SseLanes4{_mm_setr_ps(a, b, c, d)};
    }
    friend SseLanes4 operator+(SseLanes4 x, SseLanes4 y) { return {_mm_add_ps(x.v, y.v)}; }
    friend SseLanes4 operator-(SseLanes4 x, SseLanes4 y) { return {_mm_sub_ps(x.v, y.v)}; }
    friend SseLanes4 operator*(SseLanes4 x, SseLanes4 y) { return {_mm_mul_ps(x.v, y.v)}; }
    void store(float* out) const { _mm_storeu_ps(out, v); }
};

// Inverse by 2x2 sub-determinants (Laplace expansion). Each output row is one
// four-lane expression; the lane type decides whether it runs packed.
template <class V>
bool invert(const Matrix4& in, Matrix4& out) {
    auto a = [&in](int row, int col) { return in.m[col * 4 + row]; };
    float s[8], c[8];
    (V::make(a(0, 0), a(0, 0), a(0, 0), a(0, 1)) * V::make(a(1, 1), a(1, 2), a(1, 3), a(1, 2)) -
     V::make(a(1, 0), a(1, 0), a(1, 0), a(1, 1)) * V::make(a(0, 1), a(0, 2), a(0, 3), a(0, 2)))
        .store(s);
    (V::make(a(0, 1), a(0, 2), 0, 0) * V::make(a(1, 3), a(1, 3), 0, 0) -
     V::make(a(1, 1), a(1, 2), 0, 0) * V::make(a(0, 3), a(0, 3), 0, 0))
        .store(s + 4);
    (V::make(a(2, 0), a(2, 0), a(2, 0), a(2, 1)) * V::make(a(3, 1), a(3, 2), a(3, 3), a(3, 2)) -
     V::make(a(3, 0), a(3, 0), a(3, 0), a(3, 1)) * V::make(a(2, 1), a(2, 2), a(2, 3), a(2, 2)))
        .store(c);
    (V::make(a(2, 1), a(2, 2), 0, 0) * V::make(a(3, 3), a(3, 3), 0, 0) -
     V::make(a(3, 1), a(3, 2), 0, 0) * V::make(a(2, 3), a(2, 3), 0, 0))
        .store(c + 4);
    // s0..s5 from rows 0-1, k0..k5 from rows 2-3, in the usual pairing.
    const float s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3], s4 = s[4], s5 = s[5];
    const float k0 = c[0], k1 = c[1], k2 = c[2], k3 = c[3], k4 = c[4], k5 = c[5];

    const float det = s0 * k5 - s1 * k4 + s2 * k3 + s3 * k2 - s4 * k1 + s5 * k0;
    if (det == 0.0f || !std::isfinite(det)) return false;
    const V inv = V::make(1.0f / det, 1.0f / det, 1.0f / det, 1.0f / det);
    const V sign = V::make(1.0f, -1.0f, 1.0f, -1.0f);

    // Row r of the inverse, lane j = column j.
    auto row = [&](V x, V p, V y, V q, V z, V r) { return sign * ((x * p - y * q) + z * r) * inv; };
    const V r0 = row(V::make(a(1, 1), a(0, 1), a(3, 1), a(2, 1)), V::make(k5, k5, s5, s5),
                     V::make(a(1, 2), a(0, 2), a(3, 2), a(2, 2)), V::make(k4, k4, s4, s4),
                     V::make(a(1, 3), a(0, 3), a(3, 3), a(2, 3)), V::make(k3, k3, s3, s3));
    const V r1 = row(V::make(a(1, 0), a(0, 0), a(3, 0), a(2, 0)), V::make(k5, k5, s5, s5),
                     V::make(a(1, 2), a(0, 2), a(3, 2), a(2, 2)), V::make(k2, k2, s2, s2),
                     V::make(a(1, 3), a(0, 3), a(3, 3), a(2, 3)), V::make(k1, k1, s1, s1));
    const V r2 = row(V::make(a(1, 0), a(0, 0), a(3, 0), a(2, 0)), V::make(k4, k4, s4, s4),
                     V::make(a(1, 1), a(0, 1), a(3, 1), a(2, 1)), V::make(k2, k2, s2, s2),
                     V::make(a(1, 3), a(0, 3), a(3, 3), a(2, 3)), V::make(k0, k0, s0, s0));
    const V r3 = row(V::make(a(1, 0), a(0, 0), a(3, 0), a(2, 0)), V::make(k3, k3, s3, s3),
                     V::make(a(1, 1), a(0, 1), a(3, 1), a(2, 1)), V::make(k1, k1, s1, s1),
                     V::make(a(1, 2), a(0, 2), a(3, 2), a(2, 2)), V::make(k0, k0, s0, s0));
    // Rows 1 and 3 start with the opposite sign.
    const V neg = V::make(-1.0f, -1.0f, -1.0f, -1.0f);
    float rows[4][4];
    r0.store(rows[0]);
    (r1 * neg).store(rows[1]);
    r2.store(rows[2]);
    (r3 * neg).store(rows[3]);
    for (int r = 0; r < 4; ++r)
        for (int col = 0; col < 4; ++col) out.m[col * 4 + r] = rows[r][col];
    return true;
}

}  // namespace

bool matInverseScalar(const Matrix4& in, Matrix4& out) { return invert<Lanes4>(in, out); }
bool matInverseSse(const Matrix4& in, Matrix4& out) { return invert<SseLanes4>(in, out); }

void (*matMultiply)(const Matrix4&, const Matrix4&, Matrix4&) = matMultiplyScalar;
bool (*matInverse)(const Matrix4&, Matrix4&) = matInverseScalar;

void selectMathRoutines(bool haveSse) {
    matMultiply = haveSse ? matMultiplySse : matMultiplyScalar;
    matInverse = haveSse ? matInverseSse : matInverseScalar;
}

// --- Reciprocal square root ---

float rsqrtFast(float x) {
    const float e = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x)));
    return 0.5f * e * (3.0f - x * e * e);
}

}  // namespace velmar
