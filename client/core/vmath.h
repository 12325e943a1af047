// Math helpers of the engine: the sine and tangent lookup tables, 4x4
// matrices with SSE and scalar forms, and the fast reciprocal square root.
//
// The tables are filled once at start-up (initTrigTables) on the main thread
// and only read afterwards. Matrices are column-major as OpenGL takes them;
// element (row r, column c) is m[c * 4 + r]. The SSE and scalar forms perform
// the same IEEE operations in the same order, so they agree bit for bit.
#pragma once

#include <cstdint>

namespace velmar {

// --- Trigonometric tables ---
constexpr int kTrigTableSize = 16384;
constexpr float kRadToTableIndex = 2607.5945f;
constexpr float kDegToRad = 0.017453292f;

void initTrigTables();
const float* sineTable();
const float* tangentTable();

// Angle in radians to a table index: multiply, round to nearest with ties to
// even in single precision, keep the low 14 bits.
int trigIndex(float radians);
float tableSin(float radians);
float tableCos(float radians);  // the sine entry a quarter turn further
float tableTan(float radians);
inline float tableSinDeg(float degrees) { return tableSin(degrees * kDegToRad); }
inline float tableCosDeg(float degrees) { return tableCos(degrees * kDegToRad); }

// --- Matrices ---
struct alignas(16) Matrix4 {
    float m[16];
};

Matrix4 matIdentity();
// out = a * b (b applied first), as glMultMatrix composes.
void matMultiplyScalar(const Matrix4& a, const Matrix4& b, Matrix4& out);
void matMultiplySse(const Matrix4& a, const Matrix4& b, Matrix4& out);
// False (and out untouched) when the matrix is singular.
bool matInverseScalar(const Matrix4& in, Matrix4& out);
bool matInverseSse(const Matrix4& in, Matrix4& out);

// The forms chosen at start-up by the processor's features.
extern void (*matMultiply)(const Matrix4& a, const Matrix4& b, Matrix4& out);
extern bool (*matInverse)(const Matrix4& in, Matrix4& out);
void selectMathRoutines(bool haveSse);

// --- Reciprocal square root ---
// SSE estimate refined by one Newton step.
float rsqrtFast(float x);

}  // namespace velmar
