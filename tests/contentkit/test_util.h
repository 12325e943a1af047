// Helpers shared by the contentkit tests: a per-test temporary directory,
// whole-file I/O, picture comparisons and a runner for the real program.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/contentkit/image.h"
#include "tests/support/temp_dir_test.h"

extern char** environ;

namespace cktest {

using Bytes = std::vector<std::uint8_t>;

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline Bytes readBytes(const std::string& path) {
    const std::string text = slurp(path);
    return Bytes(text.begin(), text.end());
}

inline void writeBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

using quask_test::TempDirTest;

struct RunResult {
    int code = -1;  // exit status, -1 when the program did not exit normally
    std::string out, err;
};

// Runs `program` with `args`, stdout and stderr captured in files of `dir`.
inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& dir) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string outPath = dir + "/stdout.txt", errPath = dir + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    RunResult result;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << program;
    if (spawned != 0) return result;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
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
