// Helpers shared by the contentkit tests: a per-test temporary directory,
// whole-file I/O, picture comparisons and a runner for the real program.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"
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
