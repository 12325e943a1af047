// tessfold end to end: the real program on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shared/patch_file.h"
#include "tests/shared/patch_test_util.h"

namespace {

using namespace patch_test;
using quask::PatchStatus;

const char* kTessfold = QUASK_BIN_DIR "/tools/compress/tessfold";
// A run that hangs is ended by SIGALRM and counts as a failure.
constexpr unsigned kHangGuardSeconds = 120;

struct RunResult {
    int code = -1;  // -1: did not exit normally
    std::string out, err;
};

class TessfoldTest : public PatchDirTest {
protected:
    // Runs tessfold with `args`; a nonzero `fileLimit` caps the size of any
    // file it writes, as a full disk would.
    RunResult run(const std::vector<std::string>& args, rlim_t fileLimit = 0, const char* stdoutTo = nullptr) {
        std::vector<char*> argv{const_cast<char*>(kTessfold)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // Beside the directory, so that listing() shows only what tessfold left.
        const std::string outPath = m_dir + ".out", errPath = m_dir + ".err";
        RunResult result;
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(stdoutTo ? stdoutTo : outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::dup2(fd, 1) < 0 || err < 0 || ::dup2(err, 2) < 0) ::_exit(127);
            if (fileLimit != 0) {
                const struct rlimit limit = {fileLimit, fileLimit};
                ::signal(SIGXFSZ, SIG_IGN);
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
            }
            ::alarm(kHangGuardSeconds);
            ::execv(kTessfold, argv.data());
            ::_exit(127);
        }
        EXPECT_GT(pid, 0);
        if (pid <= 0) return result;
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
        const Bytes out = readBytes(outPath);
        const Bytes err = readBytes(errPath);
        result.out.assign(out.begin(), out.end());
        result.err.assign(err.begin(), err.end());
        ::unlink(outPath.c_str());
        ::unlink(errPath.c_str());
        return result;
    }

    std::string successText(const std::string& out, std::size_t size, std::size_t packed) {
        return " - Reading Source File...  done\nCompressing ..ok (" + std::to_string(size) + "=>" +
               std::to_string(packed) + ")\nWriting output file '" + out + "'...done.\n";
    }
};

const char* const kReadAndCompress = " - Reading Source File...  done\nCompressing ..";

TEST_F(TessfoldTest, CompressesTextAndBinariesWithExactReport) {
    // Names are bytes: UTF-8 "café" ends in 0xA9, "list\t" in a tab.
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"readme.txt", textContent(100000, 21)}, {"data.bin", binaryContent(60000, 22)},
        {"caf\xC3\xA9", textContent(30000, 27)}, {"list\t", textContent(20000, 28)}};
    // What a tessfold killed while writing left (its process is gone) goes;
    // one still locked by its writer stays, whose process id only looks
    // ended (a writer in another PID namespace, or on another host).
    writeBytes(at(".quask-999999999-0.tmp"), Bytes{'K', 'X'});
    const std::string inUse = ".quask-999999998-0.tmp";
    writeBytes(at(inUse), Bytes{'K', 'X'});
    const int writer = ::open(at(inUse).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
    for (const auto& [name, content] : cases) {
        writeBytes(at(name), content);
        const RunResult r = run({at(name)});
        const std::string packedName = quask::patchPackedPath(name);
        const Bytes image = readBytes(at(packedName));
        ASSERT_GT(image.size(), quask::kPatchPrefixSize) << r.out;
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, successText(at(packedName), content.size(),
                                     image.size() - quask::kPatchPrefixSize));
        Bytes decoded;
        quask::PatchHeader header;
        ASSERT_EQ(quask::patchDecode(image.data(), image.size(), &decoded, &header),
                  PatchStatus::Ok);
        EXPECT_EQ(decoded, content);
        EXPECT_EQ(header.savedChar, name.back());
        EXPECT_EQ(readBytes(at(name)), content);  // the input stays
        // Unpacking restores the name, last byte and all.
        ASSERT_TRUE(quask::UnpackFile(at(packedName)));
        EXPECT_EQ(readBytes(at(name)), content);
    }
    EXPECT_EQ(listing(), (std::set<std::string>{"readme.txt", "readme.tx_", "data.bin", "data.bi_", "caf\xC3\xA9",
                                                "caf\xC3_", "list\t", "list_", inUse}));
    ::close(writer);
}

TEST_F(TessfoldTest, OneByteAndIncompressibleFilesFailWithOutputEof) {
    const std::string eof = "fail\noutput eof ( - compression really not neccessary!)\n";
    writeBytes(at("a.txt"), Bytes{'z'});
    RunResult r = run({at("a.txt")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, kReadAndCompress + eof);

    // An earlier compressed file of that name survives the failure.
    writeBytes(at("noise.bin"), randomContent(20000, 23));
    writeBytes(at("noise.bi_"), Bytes{'o', 'l', 'd'});
    r = run({at("noise.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, kReadAndCompress + eof);
    EXPECT_EQ(readBytes(at("noise.bi_")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(listing(), (std::set<std::string>{"a.txt", "noise.bin", "noise.bi_"}));
}

TEST_F(TessfoldTest, UnusableInputsAreRefusedWithoutOutput) {
    writeBytes(at("empty.txt"), Bytes{});
    RunResult r = run({at("empty.txt")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "File '" + at("empty.txt") + "' is < 1 bytes of size - read error?\n");

    r = run({at("missing.txt")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Cannot open '" + at("missing.txt") + "'.\n");
    EXPECT_EQ(r.err, "tessfold: cannot open '" + at("missing.txt") + "': No such file or directory\n");

    // Sizes are 32-bit: a sparse 4 GiB file is refused before it is read.
    {
        const int fd = ::open(at("huge.bin").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(quask::kPatchMaxContentSize) + 1), 0);
        ::close(fd);
    }
    r = run({at("huge.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out,
              "File '" + at("huge.bin") + "' is 4 GiB or larger - too large for a patch file.\n");

    // A FIFO has no size either; opening it must not wait for a writer.
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0644), 0);
    r = run({at("pipe")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "File '" + at("pipe") + "' is < 1 bytes of size - read error?\n");
    EXPECT_EQ(listing(), (std::set<std::string>{"empty.txt", "huge.bin", "pipe"}));
}

// A file that grows after tessfold took its size (still being copied in)
// would be packed cut off and published as the whole file. Its standard
// output is a full pipe, so tessfold stops at its first progress text,
// after taking the size and before reading; the file grows right then.
TEST_F(TessfoldTest, FileThatGrowsWhileItIsReadIsRefused) {
    const Bytes content = textContent(50000, 29);
    writeBytes(at("log.txt"), content);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
    std::size_t filler = 0;
    while (::write(out[1], "f", 1) == 1) ++filler;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::dup2(out[1], 1) < 0 || ::fcntl(1, F_SETFL, 0) != 0) ::_exit(127);
        ::alarm(kHangGuardSeconds);
        ::execl(kTessfold, kTessfold, at("log.txt").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    ::close(out[1]);
    // Blocked in write(1, ...): /proc shows the call and its first argument.
    const std::string blocked = std::to_string(SYS_write) + " 0x1 ";
    const std::string syscallPath = "/proc/" + std::to_string(pid) + "/syscall";
    int status = 0;
    bool ended = false;
    while (!ended && quask_test::readFile(syscallPath).rfind(blocked, 0) != 0) {
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        ::usleep(1000);
    }
    ASSERT_FALSE(ended) << "tessfold ended before its first progress text";
    const int grow = ::open(at("log.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(grow, 0);
    EXPECT_EQ(::write(grow, content.data(), 1000), 1000);
    ::close(grow);

    std::string text;
    char block[4096];
    for (ssize_t n; (n = ::read(out[0], block, sizeof block)) != 0;) {
        if (n > 0) text.append(block, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    ASSERT_GE(text.size(), filler);
    EXPECT_EQ(text.substr(filler), " - Reading Source File... Read Error.\n");
    EXPECT_EQ(listing(), (std::set<std::string>{"log.txt"}));
}

TEST_F(TessfoldTest, WrongArgumentCountPrintsUsageAndFails) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{at("a"), at("b")}}) {
        const RunResult r = run(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out.rfind("Usage: tessfold FILE\n", 0), 0u) << r.out;
    }
}

TEST_F(TessfoldTest, NameEndingInUnderscoreIsReplacedByItsCompressedForm) {
    const Bytes content = textContent(40000, 24);
    writeBytes(at("notes_"), content);
    ASSERT_EQ(::chmod(at("notes_").c_str(), 0640), 0);
    const RunResult r = run({at("notes_")});
    EXPECT_EQ(r.code, 0);
    const Bytes image = readBytes(at("notes_"));
    ASSERT_GT(image.size(), quask::kPatchPrefixSize);
    EXPECT_EQ(r.out,
              successText(at("notes_"), content.size(), image.size() - quask::kPatchPrefixSize));
    EXPECT_EQ(image[2], '_');
    EXPECT_EQ(listing(), (std::set<std::string>{"notes_"}));
    struct stat st;
    ASSERT_EQ(::stat(at("notes_").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the permissions it was given stay

    // Unpacking restores the very same name.
    ASSERT_TRUE(quask::UnpackFile(at("notes_")));
    EXPECT_EQ(readBytes(at("notes_")), content);
}

TEST_F(TessfoldTest, FullDiskLeavesNoOutputAndNoDone) {
    const Bytes content = randomContent(30000, 25);
    Bytes mixed = textContent(30000, 26);
    mixed.insert(mixed.end(), content.begin(), content.begin() + 6000);
    writeBytes(at("big.txt"), mixed);
    const RunResult r = run({at("big.txt")}, 4096);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.find("done."), std::string::npos) << r.out;
    const std::string tail = "Writing output file '" + at("big.tx_") + "'...Write Error.\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.err, "tessfold: cannot write '" + at("big.tx_") + "': File too large\n");
    EXPECT_EQ(listing(), (std::set<std::string>{"big.txt"}));

    // The report on a full disk instead: no "done." reaches the caller, so
    // neither does a file or a success.
    const RunResult lost = run({at("big.txt")}, 0, "/dev/full");
    EXPECT_EQ(lost.code, 1);
    EXPECT_EQ(lost.err, "tessfold: cannot write to standard output: No space left on device\n");
    EXPECT_EQ(listing(), (std::set<std::string>{"big.txt"}));
}

}  // namespace
