// Helpers shared by the contentkit tests: a per-test temporary directory,
// whole-file I/O, a writer's bytes, info readers on exact-size blocks,
// picture comparisons and a runner for the real program.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/image.h"

namespace cktest {

using Bytes = std::vector<std::uint8_t>;

inline std::string slurp(const std::string& path) { return quask_test::readFile(path); }

using quask_test::readBytes;
using quask_test::writeBytes;

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

using quask_test::TempDirTest;

using quask_test::RunResult;

// Runs `program` with `args`, stdout and stderr captured in files of `dir`.
inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& dir) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result = quask_test::runToEnd(argv, dir);
    EXPECT_NE(result.code, -2) << program << " ran past its time limit";
    return result;
}

// What a contentkit writer makes of `args` (its inputs, then the bytes and
// the error); a test failure when it refuses.
template <typename Write, typename... Args>
Bytes written(Write write, const Args&... args) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(write(args..., &out, &error)) << error;
    return out;
}

// Runs an info reader on the first `len` bytes of `file`, copied into a
// block of exactly that size so that a sanitizer build sees any read past
// the end. The verdict must agree with the report's error.
inline contentkit::InfoReport infoOnPrefix(contentkit::InfoReader reader, const Bytes& file, std::size_t len,
                                           bool* ok = nullptr) {
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[len ? len : 1]);
    if (len) std::memcpy(block.get(), file.data(), len);
    contentkit::InfoReport report;
    const bool verdict = reader(block.get(), len, &report);
    EXPECT_EQ(verdict, report.ok()) << report.error;
    if (ok) *ok = verdict;
    return report;
}

// The error of a reader that must refuse the whole file.
inline std::string infoError(contentkit::InfoReader reader, const Bytes& file) {
    bool ok = true;
    const contentkit::InfoReport report = infoOnPrefix(reader, file, file.size(), &ok);
    EXPECT_FALSE(ok);
    return report.error;
}

// A report's field by name; "<absent>" when it has none.
inline std::string fieldOf(const contentkit::InfoReport& report, const std::string& name) {
    for (const auto& [key, value] : report.fields) {
        if (key == name) return value;
    }
    return "<absent>";
}

// A little-endian 32-bit value written over the file at `at`.
inline void put32(Bytes* file, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) (*file)[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A smooth, non-uniform test picture: red grows left to right, green top to
// bottom, blue and alpha follow a diagonal.
inline contentkit::Image gradient(int w, int h) {
    contentkit::Image image(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = image.at(x, y);
            p[0] = static_cast<std::uint8_t>(x * 255 / std::max(1, w - 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / std::max(1, h - 1));
            p[2] = static_cast<std::uint8_t>((x + y) * 255 / std::max(1, w + h - 2));
            p[3] = static_cast<std::uint8_t>(255 - (x + 2 * y) * 255 / std::max(1, w + 2 * h - 3));
        }
    }
    return image;
}

struct ErrorStats {
    int maxError[4] = {0, 0, 0, 0};
    double rms[4] = {0, 0, 0, 0};
};

inline ErrorStats compare(const contentkit::Image& a, const contentkit::Image& b) {
    ErrorStats s;
    double sum[4] = {0, 0, 0, 0};
    const std::size_t n = a.rgba.size() / 4;
    for (std::size_t i = 0; i < n; ++i) {
        for (int c = 0; c < 4; ++c) {
            const int d = std::abs(int(a.rgba[i * 4 + c]) - int(b.rgba[i * 4 + c]));
            s.maxError[c] = std::max(s.maxError[c], d);
            sum[c] += double(d) * d;
        }
    }
    for (int c = 0; c < 4; ++c) s.rms[c] = std::sqrt(sum[c] / double(n));
    return s;
}

}  // namespace cktest
