// UnpackFile when a buffer cannot be had: the "OOM" box that names the
// buffer, exit code 1, and nothing written next to the packed file. The
// failures are real: a scripted nothrow allocator for each buffer in turn,
// and an address-space limit under which a header's sizes cannot be met.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "shared/patch_file.h"
#include "tests/support/child_process.h"

namespace {

// 0: every nothrow array allocation succeeds; n: the n-th from now fails.
std::atomic<int> g_failNthAllocation{0};

}  // namespace

// The unpacker allocates its buffers with nothrow new[]; failing one of them
// here is failing it for real, as the unpacker sees only a null pointer.
// Every array form comes from malloc and goes back to free, so the pairs
// match for a sanitizer too (whose own new[] would end the process instead
// of failing under the address-space limit).
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_failNthAllocation.load() > 0 && g_failNthAllocation.fetch_sub(1) == 1) return nullptr;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;

constexpr char kDirVariable[] = "QUASK_UNPACK_OOM_DIR";

// Death tests run the test again in a fresh process: the directory is made
// once by the parent and handed to the child through the environment.
class UnpackOomTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* inherited = std::getenv(kDirVariable)) {
            m_dir = inherited;
            return;
        }
        m_dir = quask_test::makeTempDir("quask-oom-");
        ASSERT_FALSE(m_dir.empty());
        ::setenv(kDirVariable, m_dir.c_str(), 1);
        m_owner = true;
    }
    void TearDown() override {
        if (!m_owner) return;
        ::unsetenv(kDirVariable);
        quask_test::removeTree(m_dir);
    }
    std::string at(const std::string& name) const { return m_dir + "/" + name; }
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir)) names.insert(e.path().filename().string());
        return names;
    }
    void writePacked(const std::string& name, const std::string& content) {
        std::vector<std::uint8_t> image;
        ASSERT_EQ(quask::patchCompress(reinterpret_cast<const std::uint8_t*>(content.data()),
                                       content.size(), 'f', &image),
                  quask::PatchStatus::Ok);
        std::ofstream(at(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    // A header that is valid against the file's size but asks for `unpacked`
    // bytes of output and `packed` bytes of stream (a sparse file).
    void writeHeaderOnly(const std::string& name, std::uint32_t unpacked, std::uint32_t packed) {
        std::uint8_t head[quask::kPatchPrefixSize] = {'K', 'X', 'f'};
        for (int i = 0; i < 4; ++i) {
            head[3 + i] = static_cast<std::uint8_t>(unpacked >> (8 * i));
            head[7 + i] = static_cast<std::uint8_t>(packed >> (8 * i));
        }
        head[11] = 5;
        const std::uint8_t props[5] = {0x5D, 0x00, 0x00, 0x00, 0x04};
        std::copy(props, props + 5, head + quask::kPatchHeaderSize);
        const int fd = ::open(at(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, head, sizeof head), static_cast<ssize_t>(sizeof head));
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(sizeof head) + packed), 0);
        ::close(fd);
    }

    std::string m_dir;
    bool m_owner = false;
};

// Caps the address space a little above what the process already maps.
void limitAddressSpace() {
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    statm >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                         (256u << 20);
    const rlimit r{limit, limit};
    ::setrlimit(RLIMIT_AS, &r);
}

}  // namespace

TEST_F(UnpackOomTest, EachBufferThatFailsShowsItsOwnBoxAndEndsWithOne) {
    writePacked("map.gd_", std::string(20000, 'm') + "tail");
    const char* expected[] = {
        "OOM: Out of Memory error while trying to unpack some file \\[0\\]\n",
        "OOM: Out of Memory error while trying to unpack some file \\[1\\]\n",
        "OOM: Out of Memory error while trying to unpack some file \\[2\\]\n"};
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        EXPECT_EXIT(
            {
                g_failNthAllocation = which + 1;
                quask::UnpackFile(at("map.gd_"));
                std::_Exit(7);  // an unpacker that went on would end here
            },
            ::testing::ExitedWithCode(1), expected[which]);
        EXPECT_EQ(listing(), (std::set<std::string>{"map.gd_"}));
    }
    // With memory to spare the same file unpacks.
    ASSERT_TRUE(quask::UnpackFile(at("map.gd_")));
    EXPECT_EQ(quask_test::readFile(at("map.gdf")), std::string(20000, 'm') + "tail");
}

TEST_F(UnpackOomTest, HeaderAskingForMoreThanTheAddressSpaceIsAnOomBoxNotACrash) {
    // 4 GiB of output from a tiny file: the output buffer fails.
    writeHeaderOnly("big.ou_", 0xFFFFFFFFu, 64);
    EXPECT_EXIT(
        {
            limitAddressSpace();
            quask::UnpackFile(at("big.ou_"));
            std::_Exit(7);
        },
        ::testing::ExitedWithCode(1),
        "OOM: Out of Memory error while trying to unpack some file \\[1\\]\n");
    // A 1 GiB stream (sparse on disk): the packed buffer fails first.
    writeHeaderOnly("big.in_", 100, 1u << 30);
    EXPECT_EXIT(
        {
            limitAddressSpace();
            quask::UnpackFile(at("big.in_"));
            std::_Exit(7);
        },
        ::testing::ExitedWithCode(1),
        "OOM: Out of Memory error while trying to unpack some file \\[0\\]\n");
    EXPECT_EQ(listing(), (std::set<std::string>{"big.ou_", "big.in_"}));
}
