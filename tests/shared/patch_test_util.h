// Content generators and file helpers shared by the patch file tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>
#include "tests/support/temp_dir_test.h"

namespace patch_test {

using Bytes = std::vector<std::uint8_t>;

// Word salad: compresses well, but not to nothing.
inline Bytes textContent(std::size_t n, unsigned seed) {
    static const char* const kWords[] = {"quill", "map",   "sector", "the",  "of",      "patch",
                                         "cell",  "light", "render", "and",  "stone",   "door",
                                         "north", "river", "a",      "lamp", "tower\n", "gate,"};
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < n) {
        text += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
        text += ' ';
    }
    return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}

// Records of counters, small noise and every byte value: a typical binary.
inline Bytes binaryContent(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(n + 16);
    for (std::uint32_t i = 0; out.size() < n; ++i) {
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(i >> (8 * b)));
        out.push_back(static_cast<std::uint8_t>(rng() % 4));
        out.push_back(static_cast<std::uint8_t>(i & 0xFF));
        out.push_back(0);
        out.push_back(0xFF);
    }
    out.resize(n);
    return out;
}

inline Bytes randomContent(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

using quask_test::readBytes;

inline void writeBytes(const std::string& path, const Bytes& data) {
    ASSERT_TRUE(quask_test::writeBytes(path, data)) << path;
}

inline std::uint32_t le32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}

inline void putLe32(Bytes* b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A fresh directory per test that can list what is left in it.
class PatchDirTest : public quask_test::TempDirTest {
protected:
    // The names in the directory: shows leftover temporary files.
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
};

}  // namespace patch_test
