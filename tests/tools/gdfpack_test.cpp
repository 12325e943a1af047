// gdfpack end to end: the real program on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/storage/gdf.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* kGdfpack = QUASK_BIN_DIR "/tools/gdfpack/gdfpack";

using quask_test::RunResult;
using quask_test::readFile;

using quask_test::readBytes;
using quask_test::writeBytes;

class GdfpackTest : public quask_test::TempDirTest {
protected:
    // Runs gdfpack with `args`, capturing both streams; code is the exit
    // status, or -1 when it did not exit normally (a crash).
    RunResult run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{kGdfpack};
        argv.insert(argv.end(), args.begin(), args.end());
        return quask_test::runToEnd(argv, m_dir);
    }
};

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng() % 7);  // compressible
    return out;
}

TEST_F(GdfpackTest, PackListUnpackRoundTrip) {
    const Bytes content = randomBytes(3000, 5);
    writeBytes(at("in.bin"), content);

    RunResult r = run({"pack", "-z", "--key-factor", "0x4D", at("in.bin"), at("z.gdf")});
    ASSERT_EQ(r.code, 0) << r.err;
    r = run({"pack", at("in.bin"), "--key-factor", "9", at("s.gdf")});
    ASSERT_EQ(r.code, 0) << r.err;

    // The containers carry what was asked for, independent of unpack.
    for (const char* name : {"z.gdf", "s.gdf"}) {
        const Bytes packed = readBytes(at(name));
        velmar::GdfHeader header;
        ASSERT_EQ(velmar::gdfReadHeader(packed.data(), packed.size(), &header), velmar::GdfStatus::Ok);
        EXPECT_EQ(header.contentSize(), 3000u);
        EXPECT_EQ(header.compressed(), std::string(name) == "z.gdf");
        EXPECT_EQ(header.keyFactor, std::string(name) == "z.gdf" ? 0x4Du : 9u);
        Bytes decoded;
        EXPECT_EQ(velmar::gdfDecode(packed.data(), packed.size(), &decoded), velmar::GdfStatus::Ok);
        EXPECT_EQ(decoded, content);
    }
    EXPECT_LT(readBytes(at("z.gdf")).size(), content.size());

    r = run({"list", at("z.gdf"), at("s.gdf")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("z.gdf: magic GDF1, flags 0x1, size field 3000, payload "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("key factor 77, inflates to the size field"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("s.gdf: magic GDF1, flags 0x0, size field 3000, payload 3000 bytes, "
                         "key factor 9, stored"),
              std::string::npos)
        << r.out;

    for (const char* name : {"z.gdf", "s.gdf"}) {
        r = run({"unpack", at(name), at("out.bin")});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(readBytes(at("out.bin")), content) << name;
    }

    // An output through a link: one to a device (/dev/null, /dev/stdout) is
    // written through, one to a file replaces that file; both stay links.
    std::filesystem::create_symlink("/dev/null", at("null-link"));
    writeBytes(at("target.bin"), Bytes{'o', 'l', 'd'});
    std::filesystem::create_symlink(at("target.bin"), at("file-link"));
    for (const char* link : {"null-link", "file-link"}) {
        r = run({"unpack", at("s.gdf"), at(link)});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(std::filesystem::is_symlink(at(link))) << link;
    }
    EXPECT_EQ(readBytes(at("target.bin")), content);
    // A file replaced keeps its permissions.
    ::chmod(at("target.bin").c_str(), 0600);
    r = run({"unpack", at("z.gdf"), at("target.bin")});
    EXPECT_EQ(r.code, 0) << r.err;
    struct stat st;
    ASSERT_EQ(::stat(at("target.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // /dev/stdout redirected to a file: the content follows what stood there.
    r = quask_test::runToEnd({"/bin/sh", "-c", "{ echo head; \"$0\" unpack \"$1\" /dev/stdout; } > \"$2\"",
                              kGdfpack, at("s.gdf"), at("shell.out")},
                             m_dir);
    EXPECT_EQ(r.code, 0) << r.err;
    Bytes headed{'h', 'e', 'a', 'd', '\n'};
    headed.insert(headed.end(), content.begin(), content.end());
    EXPECT_EQ(readBytes(at("shell.out")), headed);
    // Standard output closed: the content has nowhere to go, which is no success.
    r = quask_test::runToEnd({"/bin/sh", "-c", "exec \"$0\" unpack \"$1\" /proc/self/fd/1 >&-", kGdfpack, at("s.gdf")},
                             m_dir);
    EXPECT_EQ(r.code, 1) << r.err;

    // A backslash is part of a name, not a separator: what pack wrote, list reads.
    r = run({"pack", at("in.bin"), at("back\\slash.gdf")});
    EXPECT_EQ(r.code, 0) << r.err;
    r = run({"list", at("back\\slash.gdf")});
    EXPECT_EQ(r.code, 0) << r.err;

    // Content from a pipe, which has no size to ask for, is read to its end.
    r = quask_test::runToEnd({"/bin/sh", "-c", "cat \"$0\" | \"$1\" pack -z /dev/stdin \"$2\"",
                              at("in.bin"), kGdfpack, at("piped.gdf")},
                             m_dir);
    EXPECT_EQ(r.code, 0) << r.err;
    r = run({"unpack", at("piped.gdf"), at("piped.bin")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readBytes(at("piped.bin")), content);
}

TEST_F(GdfpackTest, BrokenContainersFailWithAMessage) {
    writeBytes(at("in.bin"), randomBytes(5000, 6));
    ASSERT_EQ(run({"pack", "-z", at("in.bin"), at("z.gdf")}).code, 0);
    const Bytes packed = readBytes(at("z.gdf"));
    writeBytes(at("cut.gdf"), Bytes(packed.begin(), packed.begin() + packed.size() / 2));
    writeBytes(at("header.gdf"), Bytes(packed.begin(), packed.begin() + 10));
    // Stored: the client would take what is left, so only list can tell.
    ASSERT_EQ(run({"pack", at("in.bin"), at("s.gdf")}).code, 0);
    const Bytes stored = readBytes(at("s.gdf"));
    writeBytes(at("short.gdf"), Bytes(stored.begin(), stored.end() - 1));

    RunResult r = run({"list", at("cut.gdf")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cut.gdf: decompression error"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("BROKEN"), std::string::npos) << r.out;

    r = run({"list", at("short.gdf")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("size field 5000, payload 4999 bytes, key factor 1, CUT SHORT"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("short.gdf: cut short"), std::string::npos) << r.err;

    // A bad file among good ones: the good one is still listed.
    r = run({"list", at("header.gdf"), at("z.gdf"), at("in.bin"), at("missing.gdf")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("header.gdf: GDF signature but no content"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("in.bin: not a GDF container"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing.gdf: cannot open file: No such file or directory"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("z.gdf: magic GDF1"), std::string::npos) << r.out;

    r = run({"unpack", at("cut.gdf"), at("out.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("decompression error"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(at("out.bin"))) << "no output from a broken container";
    // The client would take the shortened payload: unpack must not report it as the content.
    r = run({"unpack", at("short.gdf"), at("out.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("short.gdf: cut short"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(at("out.bin"))) << "no output from a container cut short";

    writeBytes(at("empty.bin"), {});
    r = run({"pack", at("empty.bin"), at("e.gdf")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("empty content needs -z"), std::string::npos) << r.err;

    // One byte past what the game reads, sparse: refused with the limit named.
    { std::ofstream(at("huge.bin")); }
    std::filesystem::resize_file(at("huge.bin"), std::uintmax_t{1} << 31);
    r = run({"pack", "-z", at("huge.bin"), at("h.gdf")});
    std::filesystem::remove(at("huge.bin"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("huge.bin: file too large: the game reads files of at most 2147483647 bytes"),
              std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(at("h.gdf")));

    // Too little memory for the content (a small machine): a message and
    // status 1, not an abort, and the file the output would replace stays.
    { std::ofstream(at("big.bin")); }
    std::filesystem::resize_file(at("big.bin"), std::uintmax_t{96} << 20);
    writeBytes(at("kept.gdf"), packed);
    r = quask_test::runToEnd({"/usr/bin/prlimit", "--as=" + std::to_string(64 << 20), kGdfpack, "pack", "-z",
                              at("big.bin"), at("kept.gdf")},
                             m_dir);
    std::filesystem::remove(at("big.bin"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("gdfpack: out of memory\n"), std::string::npos) << r.err;
    EXPECT_EQ(readBytes(at("kept.gdf")), packed);
}

// A full disk: every write fails with ENOSPC (injected by strace), and each
// command fails. The file an output would replace stays as it was, and
// nothing is left beside it, not even by a run that was killed.
TEST_F(GdfpackTest, FullDiskKeepsTheFileAnOutputWouldReplace) {
    const std::string strace = "/usr/bin/strace";
    if (quask_test::runToEnd({strace, "-f", "-qq", "-o", "/dev/null", "/bin/true"}, m_dir, 30000).code != 0)
        GTEST_SKIP() << "strace cannot trace here";
    writeBytes(at("in.bin"), randomBytes(3000, 7));
    ASSERT_EQ(run({"pack", at("in.bin"), at("old.gdf")}).code, 0);
    const Bytes container = readBytes(at("old.gdf"));
    writeBytes(at("kept.gdf"), container);
    writeBytes(at("kept.bin"), Bytes{'o', 'l', 'd'});
    const std::vector<std::vector<std::string>> writes{
        {"pack", "-z", at("in.bin"), at("kept.gdf")},
        {"unpack", at("old.gdf"), at("kept.bin")},
        // What list prints is its result: a report that never reached the disk is no success.
        {"list", at("old.gdf")},
    };
    for (const auto& args : writes) {
        std::vector<std::string> argv{strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=write",
                                      "-e", "inject=write:error=ENOSPC", kGdfpack};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(quask_test::runToEnd(argv, m_dir).code, 1) << args[0];
    }
    // Where the message can still be written, it says why (the disk fills at the sync).
    const auto told = quask_test::runToEnd({strace, "-f", "-qq", "-o", "/dev/null", "-e", "inject=fsync:error=ENOSPC",
                                            kGdfpack, "pack", at("in.bin"), at("kept.gdf")},
                                           m_dir);
    EXPECT_EQ(told.code, 1);
    EXPECT_NE(told.err.find("kept.gdf: cannot write file: No space left on device\n"), std::string::npos) << told.err;
    EXPECT_EQ(readBytes(at("kept.gdf")), container);
    EXPECT_EQ(readBytes(at("kept.bin")), (Bytes{'o', 'l', 'd'}));
    // Killed before its rename, a run leaves its temporary; the next one
    // into the same folder removes it (each kill's has a name of its own).
    EXPECT_NE(quask_test::runToEnd({strace, "-f", "-qq", "-o", "/dev/null", "-e", "inject=fsync:signal=KILL",
                                    kGdfpack, "pack", at("in.bin"), at("kept.gdf")},
                                   m_dir)
                  .code,
              0);
    EXPECT_EQ(readBytes(at("kept.gdf")), container);
    ASSERT_EQ(run({"pack", "-z", at("in.bin"), at("kept.gdf")}).code, 0);
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(GdfpackTest, MalformedCommandLinePrintsUsage) {
    writeBytes(at("in.bin"), Bytes{1, 2, 3});
    // Each with the line that says what is wrong (a script's log shows no
    // more), before the usage.
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad{
        {{}, ""},
        {{"squash", at("in.bin")}, "gdfpack: unknown command 'squash'\n"},
        {{"pack", at("in.bin")}, "gdfpack: pack takes IN and OUT\n"},
        {{"pack", "--key-factor", "x", at("in.bin"), at("o.gdf")},
         "gdfpack: --key-factor takes a number from 0 to 4294967295, not 'x'\n"},
        {{"pack", "--key-factor", "4294967296", at("in.bin"), at("o.gdf")},
         "gdfpack: --key-factor takes a number from 0 to 4294967295, not '4294967296'\n"},
        {{"pack", "--key-factor", "-1", at("in.bin"), at("o.gdf")},
         "gdfpack: --key-factor takes a number from 0 to 4294967295, not '-1'\n"},
        {{"pack", at("in.bin"), at("o.gdf"), "--key-factor"}, "gdfpack: --key-factor takes a number\n"},
        {{"pack", "-q", at("in.bin"), at("o.gdf")}, "gdfpack: unknown option '-q'\n"},
        {{"unpack", at("in.bin")}, "gdfpack: unpack takes IN and OUT\n"},
        {{"list"}, "gdfpack: list takes one FILE or more\n"},
    };
    for (const auto& [args, why] : bad) {
        const RunResult r = run(args);
        EXPECT_EQ(r.code, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_EQ(r.err.rfind(why + "Usage: gdfpack pack", 0), 0u) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(at("o.gdf")));
}

}  // namespace
