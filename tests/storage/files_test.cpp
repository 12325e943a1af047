// DiskFile, data-path resolution, the GDF codec and LoadFileData.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/storage/byte_reader.h"
#include "client/storage/disk_file.h"
#include "client/storage/gdf.h"
#include "client/storage/load_file_data.h"
#include "tests/support/log_socket.h"

namespace velmar {
namespace {

using Bytes = std::vector<std::uint8_t>;

// --- Helpers ---

std::string makeTempDir() {
    std::string pattern = ::testing::TempDir() + "files_test_XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    return pattern;
}

std::string writeBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(out.good()) << path;
    return path;
}

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

Bytes zlibCompress(const Bytes& data) {
    uLongf len = compressBound(static_cast<uLong>(data.size()));
    Bytes out(len);
    EXPECT_EQ(compress(out.data(), &len, data.data(), static_cast<uLong>(data.size())), Z_OK);
    out.resize(len);
    return out;
}

// A container with any header over `payload` (plain bytes before scrambling).
Bytes container(std::uint64_t sizeAndFlags, std::uint32_t keyFactor, const Bytes& payload) {
    GdfHeader header;
    header.sizeAndFlags = sizeAndFlags;
    header.keyFactor = keyFactor;
    Bytes out(kGdfHeaderSize + payload.size());
    gdfWriteHeader(header, out.data());
    gdfScramble(gdfInitialKey(header), payload.data(), out.data() + kGdfHeaderSize, payload.size());
    return out;
}

Bytes loadAll(const std::string& path) {
    std::uint32_t size = 0xFFFFFFFF;
    std::uint8_t* data = LoadFileData(path.c_str(), &size);
    Bytes out(data, data + size);
    release(data);
    return out;
}

std::string escapeRegex(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".[]{}()\\*+?^$|", c)) out += '\\';
        out += c;
    }
    return out;
}

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = makeTempDir(); }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string at(const std::string& name) const { return m_dir + "/" + name; }

    std::string m_dir;
};

// --- DiskFile ---

TEST_F(FilesTest, MissingFileStaysClosedAndMovesNothing) {
    DiskFile file;
    char buffer[16];
    EXPECT_FALSE(file.Open(at("missing.bin").c_str(), kFileReadOnly).isOpen());
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(file.byteCount(), 0u);

    // Opening an existing file does not create one, and no mode outside the table opens.
    EXPECT_FALSE(file.Open(at("missing.bin").c_str(), kFileReadWriteExisting).isOpen());
    EXPECT_FALSE(file.Open(at("missing.bin").c_str(), 3).isOpen());
    EXPECT_FALSE(file.Open(at("missing.bin").c_str(), 0).isOpen());
    EXPECT_FALSE(std::filesystem::exists(at("missing.bin")));
    EXPECT_FALSE(file.Open(m_dir.c_str(), kFileReadOnly).isOpen()) << "a directory is no file";
}

TEST_F(FilesTest, WriteThenReadCountsBytesAndReadLoopsToEnd) {
    const std::string path = at("data.bin");
    DiskFile file;
    ASSERT_TRUE(file.Open(path.c_str(), kFileCreateReadWrite).isOpen());
    EXPECT_EQ(file.Write("hello world", 11), 11u);
    EXPECT_EQ(file.Write("hello world", 11), 11u);
    EXPECT_EQ(file.byteCount(), 22u);
    file.Close();
    EXPECT_FALSE(file.isOpen());

    ASSERT_TRUE(file.Open(path.c_str(), kFileReadOnly).isOpen());
    EXPECT_EQ(file.byteCount(), 0u) << "Open resets the counter";
    EXPECT_EQ(file.mode(), kFileReadOnly);
    EXPECT_EQ(file.GetSize(), 22u);
    char buffer[64] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 22u) << "a short file reads to its end";
    EXPECT_EQ(std::string(buffer, 22), "hello worldhello world");
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(file.Write("x", 1), 0u) << "a read-only file refuses writes";
    EXPECT_EQ(file.byteCount(), 22u);

    // Mode 5 behaves as 4: it truncates.
    ASSERT_TRUE(file.Open(path.c_str(), kFileCreateReadWriteAlt).isOpen());
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_EQ(file.Write("abc", 3), 3u);
    file.Close();
    ASSERT_TRUE(file.Open(path.c_str(), kFileReadWriteExisting).isOpen());
    EXPECT_EQ(file.GetSize(), 3u) << "mode 2 keeps the contents";
}

TEST_F(FilesTest, WriteOfNothingReturnsZeroAndWritesNothing) {
    DiskFile file;
    ASSERT_TRUE(file.Open(at("empty.bin").c_str(), kFileCreateReadWrite).isOpen());
    EXPECT_EQ(file.Write("abc", 0), 0u);
    EXPECT_EQ(file.Write(nullptr, 3), 0u);
    EXPECT_EQ(file.byteCount(), 0u);
    EXPECT_EQ(file.GetSize(), 0u);
    char buffer[4];
    EXPECT_EQ(file.Read(buffer, 0), 0u);
    EXPECT_EQ(file.Read(nullptr, 4), 0u);
}

// "dir/././.../name" of exactly `length` characters, naming an existing file.
std::string paddedPath(const std::string& dir, std::size_t length) {
    const std::string name = (length - dir.size() - 1) % 2 == 1 ? "f" : "ff";
    writeBytes(dir + "/" + name, Bytes{1, 2, 3});
    std::string path = dir + "/";
    while (path.size() + name.size() < length) path += "./";
    return path + name;
}

TEST_F(FilesTest, PathThatDoesNotFitTheBufferIsRefusedNotCut) {
    DiskFile file;
    const std::string fits = paddedPath(m_dir, kDiskFilePathMax - 1);
    ASSERT_EQ(fits.size(), kDiskFilePathMax - 1);
    EXPECT_TRUE(file.Open(fits.c_str(), kFileReadOnly).isOpen());

    const std::string tooLong = paddedPath(m_dir, kDiskFilePathMax);
    ASSERT_EQ(tooLong.size(), kDiskFilePathMax);
    EXPECT_FALSE(file.Open(tooLong.c_str(), kFileReadOnly).isOpen());

    // Cut to the buffer, this path would name the existing file `fits`.
    const std::string cutWouldOpen = fits + "zzz";
    EXPECT_FALSE(file.Open(cutWouldOpen.c_str(), kFileReadOnly).isOpen());
    EXPECT_FALSE(file.Open(cutWouldOpen.c_str(), kFileCreateReadWrite).isOpen());
    EXPECT_FALSE(file.Open(nullptr, kFileReadOnly).isOpen());
}

// --- Data paths ---

TEST_F(FilesTest, DataPathWithBackslashesAndOtherCaseIsFound) {
    std::filesystem::create_directories(at("Data/Map"));
    writeBytes(at("Data/Map/Foo.RMAP"), Bytes{'m', 'a', 'p', '!'});

    const std::string asAuthored = m_dir + "/data\\map\\foo.rmap";
    EXPECT_EQ(resolveDataPath(asAuthored.c_str()), at("Data/Map/Foo.RMAP"));
    DiskFile file;
    ASSERT_TRUE(file.Open(asAuthored.c_str(), kFileReadOnly).isOpen());
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 4u);
    EXPECT_STREQ(buffer, "map!");
    EXPECT_EQ(loadAll(asAuthored), (Bytes{'m', 'a', 'p', '!'}));

    // An exact spelling wins over a case-folded one.
    writeBytes(at("Data/Map/foo.rmap"), Bytes{'x'});
    EXPECT_EQ(resolveDataPath(asAuthored.c_str()), at("Data/Map/foo.rmap"));

    // Blanks and dots that end a name are dropped, as Windows drops them.
    const std::string trailing = m_dir + "/data\\MAP\\foo.rmap .";
    EXPECT_EQ(resolveDataPath(trailing.c_str()), at("Data/Map/foo.rmap"));

    // A name typed with composed accents finds the file a copy from macOS
    // left decomposed, and the other way round, in any letter case.
    std::filesystem::create_directories(at("Data/Texture"));
    writeBytes(at("Data/Texture/Cafe\xCC\x81.dds"), Bytes{'d'});
    writeBytes(at("Data/Texture/\xC3\xA9t\xC3\xA9.dds"), Bytes{'e'});
    EXPECT_EQ(resolveDataPath((m_dir + "/data\\texture\\CAF\xC3\x89.dds").c_str()), at("Data/Texture/Cafe\xCC\x81.dds"));
    EXPECT_EQ(resolveDataPath((m_dir + "/data/texture/E\xCC\x81te\xCC\x81.DDS").c_str()),
              at("Data/Texture/\xC3\xA9t\xC3\xA9.dds"));
    EXPECT_EQ(loadAll(m_dir + "/data/texture/caf\xC3\xA9.dds"), Bytes{'d'});
    // A name equal but for ASCII letter case wins over one equal only
    // loosely, though that sorts first (contentkit chooses alike).
    writeBytes(at("Data/Texture/CAF\xC3\x89.DDS"), Bytes{'u'});
    writeBytes(at("Data/Texture/Caf\xC3\xA9.dds"), Bytes{'m'});
    EXPECT_EQ(resolveDataPath((m_dir + "/data/texture/caf\xC3\xA9.dds").c_str()), at("Data/Texture/Caf\xC3\xA9.dds"));
    // One letter is one letter, as Windows compares them: no "ss" for "\u00df".
    writeBytes(at("Data/Texture/Stra\xC3\x9F" "e.dds"), Bytes{'s'});
    EXPECT_EQ(resolveDataPath((m_dir + "/data/texture/strasse.dds").c_str()), m_dir + "/data/texture/strasse.dds");
    EXPECT_EQ(resolveDataPath((m_dir + "/data/texture/STRA\xC3\x9F" "E.dds").c_str()), at("Data/Texture/Stra\xC3\x9F" "e.dds"));

    // A component with no match leaves the slash form, which does not open.
    const std::string missing = m_dir + "/data\\nomap\\foo.rmap";
    EXPECT_EQ(resolveDataPath(missing.c_str()), m_dir + "/data/nomap/foo.rmap");
    EXPECT_FALSE(file.Open(missing.c_str(), kFileReadOnly).isOpen());
}

// The client's window layer takes LC_CTYPE from the player; under tr_TR the
// C library's case folding leaves "I" and "i" apart.
TEST_F(FilesTest, DataPathFoldsAsciiCaseUnderEveryLocale) {
    std::filesystem::create_directories(at("Data/Map"));
    writeBytes(at("Data/Map/LAKESIDE.INI"), Bytes{'['});
    const std::string asAuthored = m_dir + "/data\\map\\Lakeside.ini";
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    for (const char* locale : {"C", "tr_TR.UTF-8", "tr_TR.ISO-8859-9"}) {
        if (!std::setlocale(LC_CTYPE, locale)) {
            ADD_FAILURE() << locale << " is not installed (scripts/install-deps.sh)";
            continue;
        }
        EXPECT_EQ(resolveDataPath(asAuthored.c_str()), at("Data/Map/LAKESIDE.INI")) << locale;
    }
    std::setlocale(LC_CTYPE, before.c_str());
}

TEST_F(FilesTest, CreatedFileTakesTheSlashForm) {
    DiskFile file;
    const std::string path = m_dir + "\\new.txt";
    ASSERT_TRUE(file.Open(path.c_str(), kFileCreateReadWrite).isOpen());
    EXPECT_EQ(file.Write("ok", 2), 2u);
    file.Close();
    EXPECT_EQ(std::filesystem::file_size(at("new.txt")), 2u);
}

// --- Scrambler ---

// Every decoder of the game's files reads through this one reader: a field
// past the end must read zero and fail, and no count may wrap the check.
TEST(ByteReader, NeverReadsPastItsSpanAndCountsCannotWrap) {
    const std::uint8_t bytes[6] = {0x52, 0x4D, 0x41, 0x50, 0x06, 0x00};
    ByteReader in(bytes, sizeof bytes);
    EXPECT_EQ(in.u32(), 0x50414D52u);
    EXPECT_FALSE(in.failed());
    EXPECT_EQ(in.u32(), 0u);
    EXPECT_TRUE(in.failed());
    EXPECT_EQ(in.offset(), 4u);
    EXPECT_EQ(in.u16(), 6u);
    EXPECT_EQ(in.u16At(5), 0u);
    EXPECT_EQ(in.u32At(static_cast<std::size_t>(-2)), 0u);
    EXPECT_TRUE(in.record(1).failed());

    const ByteReader whole(bytes, sizeof bytes);
    EXPECT_TRUE(whole.fits(3, 2));
    EXPECT_FALSE(whole.fits(4, 2));
    EXPECT_FALSE(whole.fits(-1, 1));
    EXPECT_FALSE(whole.fits(INT64_MAX, std::uint64_t{1} << 40));
}

TEST(GdfDescramble, FirstThreeBytesShareTheInitialKeyAndFfAddsMinusOne) {
    // Key 0x12345678: bytes 0..2 XOR 0x78. After byte 2 the key gains the
    // plain byte 1 (0xFF, i.e. -1): 0x12345677, not divisible by 3, so it
    // becomes 0x01234567 and byte 3 is XORed with 0x67.
    const Bytes src{0x68, 0x87, 0x58, 0x57};
    Bytes dst(4);
    GdfDescramble(0x12345678, src.data(), dst.data(), dst.size());
    EXPECT_EQ(dst, (Bytes{0x10, 0xFF, 0x20, 0x30}));

    Bytes back(4);
    gdfScramble(0x12345678, dst.data(), back.data(), back.size());
    EXPECT_EQ(back, src);

    const Bytes three{0xAA, 0xAA, 0xAA};
    Bytes out(3);
    GdfDescramble(0x12345678, three.data(), out.data(), out.size());
    EXPECT_EQ(out, (Bytes{0xD2, 0xD2, 0xD2}));
}

TEST(GdfDescramble, KeyShiftIsLogical) {
    // Key 0x80000002 (remainder 1 by 3) over zero bytes never gains anything
    // and shifts every step: 0x08000000, 0x00800000, ... 0x80, 0x08, 0, 0.
    // An arithmetic shift would keep the top bits set and end in 0xF0, 0xFF.
    const Bytes src{0x02, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x08, 0x00, 0x00};
    Bytes dst(src.size());
    GdfDescramble(0x80000002, src.data(), dst.data(), dst.size());
    EXPECT_EQ(dst, Bytes(src.size(), 0));
}

TEST(GdfDescramble, WorksInPlaceAndInvertsTheScrambler) {
    const Bytes plain = randomBytes(4096, 7);
    Bytes buffer(plain.size());
    gdfScramble(0xCAFEF00D, plain.data(), buffer.data(), buffer.size());
    EXPECT_NE(buffer, plain);
    GdfDescramble(0xCAFEF00D, buffer.data(), buffer.data(), buffer.size());
    EXPECT_EQ(buffer, plain);
}

// --- Container decoding ---

TEST(GdfDecode, ClassifiesMalformedContainers) {
    Bytes content;
    const Bytes plain{'G', 'D', 'F'};
    EXPECT_EQ(gdfDecode(plain.data(), plain.size(), &content), GdfStatus::NotGdf);
    const Bytes headerOnly = container(5 << 4, 3, {});
    EXPECT_EQ(gdfDecode(headerOnly.data(), headerOnly.size(), &content), GdfStatus::NoContent);

    const Bytes text{'h', 'e', 'l', 'l', 'o'};
    const Bytes stream = zlibCompress(text);
    const Bytes good = container(5 << 4 | 1, 9, stream);
    ASSERT_EQ(gdfDecode(good.data(), good.size(), &content), GdfStatus::Ok);
    EXPECT_EQ(content, text);

    const Bytes hugeSize = container((std::uint64_t{1} << 32 | 5) << 4 | 1, 9, stream);
    EXPECT_EQ(gdfDecode(hugeSize.data(), hugeSize.size(), &content), GdfStatus::SizeMismatch);
    EXPECT_TRUE(content.empty());
    const Bytes truncated(good.begin(), good.end() - 3);
    EXPECT_EQ(gdfDecode(truncated.data(), truncated.size(), &content), GdfStatus::DecompressError);

    // Zeros inflate the most a stream can (over 1,000 to 1): still whole.
    const Bytes zeros(std::size_t{8} << 20, 0);
    const Bytes mostPacked = container(std::uint64_t{zeros.size()} << 4 | 1, 9, zlibCompress(zeros));
    ASSERT_EQ(gdfDecode(mostPacked.data(), mostPacked.size(), &content), GdfStatus::Ok);
    EXPECT_EQ(content, zeros);
}

TEST(GdfPack, RefusesAContainerWithoutPayload) {
    EXPECT_TRUE(gdfPack(nullptr, 0, false, 1).empty());
    const Bytes packed = gdfPack(nullptr, 0, true, 1);
    ASSERT_GT(packed.size(), kGdfHeaderSize);
    Bytes content{1};
    EXPECT_EQ(gdfDecode(packed.data(), packed.size(), &content), GdfStatus::Ok);
    EXPECT_TRUE(content.empty());
}

// --- LoadFileData ---

TEST_F(FilesTest, PackedContentRoundTripsThroughTheLoader) {
    const std::size_t sizes[] = {1, 2, 3, 4, 15, 16, 17, 1000, 70000};
    const std::uint32_t factors[] = {0, 1, 0xDEADBEEF};
    unsigned seed = 1;
    for (std::size_t size : sizes) {
        for (bool compress : {false, true}) {
            for (std::uint32_t factor : factors) {
                const Bytes content = randomBytes(size, seed++);
                const Bytes packed = gdfPack(content.data(), content.size(), compress, factor);
                ASSERT_FALSE(packed.empty());
                const std::string path = writeBytes(at("packed.gdf"), packed);
                EXPECT_EQ(loadAll(path), content)
                    << "size " << size << " compress " << compress << " factor " << factor;
            }
        }
    }
}

// The loader's path (descramble in place, inflate with libdeflate) must give
// zlib's verdicts for every kind of bad stream.
TEST(GdfDescrambleInflate, LargePayloadsGiveZlibsVerdicts) {
    Bytes content = randomBytes(3u << 20, 21);
    for (std::size_t i = 0; i < content.size(); i += 3) content[i] = 0;  // compressible
    const Bytes stream = zlibCompress(content);
    ASSERT_GT(stream.size(), std::size_t{1} << 20);
    const std::uint32_t key = 0x9E3779B9u;
    Bytes scrambled(stream.size());
    gdfScramble(key, stream.data(), scrambled.data(), stream.size());

    auto run = [&](Bytes payload, std::uint64_t expected, Bytes* out) {
        out->assign(expected, 0);
        return gdfDescrambleInflate(key, payload.data(), payload.size(), out->data(), expected);
    };
    Bytes out;
    EXPECT_EQ(run(scrambled, content.size(), &out), GdfStatus::Ok);
    EXPECT_EQ(out, content);
    // Header size too small, too large; stream cut short; damage near the end.
    EXPECT_EQ(run(scrambled, content.size() - 1, &out), GdfStatus::DecompressError);
    EXPECT_EQ(run(scrambled, content.size() + 1, &out), GdfStatus::SizeMismatch);
    Bytes cut(scrambled.begin(), scrambled.end() - 1000);
    EXPECT_EQ(run(cut, content.size(), &out), GdfStatus::DecompressError);
    Bytes damaged = stream;
    damaged[damaged.size() - 2] ^= 0x5A;
    gdfScramble(key, damaged.data(), damaged.data(), damaged.size());
    EXPECT_EQ(run(damaged, content.size(), &out), GdfStatus::DecompressError);
    // Bytes after the end of the stream are ignored, as by uncompress().
    Bytes trailing = stream;
    trailing.resize(trailing.size() + 5000, 0xAB);
    gdfScramble(key, trailing.data(), trailing.data(), trailing.size());
    EXPECT_EQ(run(trailing, content.size(), &out), GdfStatus::Ok);
    EXPECT_EQ(out, content);
    // A stream that needs a preset dictionary is one uncompress() refuses.
    z_stream zs{};
    ASSERT_EQ(deflateInit(&zs, Z_BEST_SPEED), Z_OK);
    const Bytes dictionary(content.begin(), content.begin() + 4096);
    ASSERT_EQ(deflateSetDictionary(&zs, dictionary.data(), static_cast<uInt>(dictionary.size())), Z_OK);
    Bytes withDictionary(deflateBound(&zs, 4096));
    zs.next_in = const_cast<std::uint8_t*>(content.data());
    zs.avail_in = 4096;
    zs.next_out = withDictionary.data();
    zs.avail_out = static_cast<uInt>(withDictionary.size());
    ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    withDictionary.resize(zs.total_out);
    deflateEnd(&zs);
    gdfScramble(key, withDictionary.data(), withDictionary.data(), withDictionary.size());
    EXPECT_EQ(run(withDictionary, 4096, &out), GdfStatus::DecompressError);
}

// Later parts start from a guessed key state: without a warm-up every guess
// is wrong and must be mended; with a short one some are.
TEST(GdfDescrambleInParts, GivesTheSerialResultWhateverTheGuesses) {
    const Bytes scrambled = randomBytes(300000, 23);
    for (const std::uint32_t key : {0u, 0x9E3779B9u}) {
        Bytes serial(scrambled.size());
        GdfDescramble(key, scrambled.data(), serial.data(), scrambled.size());
        for (const unsigned parts : {2u, 3u, 7u}) {
            for (const std::size_t warmUp : {std::size_t{0}, std::size_t{3}, std::size_t{16384}}) {
                Bytes inParts = scrambled;
                gdfDescrambleInParts(key, inParts.data(), inParts.size(), parts, warmUp);
                EXPECT_EQ(inParts, serial) << "key " << key << " parts " << parts << " warm-up " << warmUp;
            }
        }
    }
}

TEST_F(FilesTest, LargeCompressedContainerRoundTripsThroughTheLoader) {
    Bytes content = randomBytes(5u << 20, 22);
    for (std::size_t i = 0; i < content.size(); i += 2) content[i] = static_cast<std::uint8_t>(i);
    const Bytes packed = gdfPack(content.data(), content.size(), true, 0x1234567);
    ASSERT_GT(packed.size(), std::size_t{1} << 20);
    EXPECT_EQ(loadAll(writeBytes(at("large.gdf"), packed)), content);
}

TEST_F(FilesTest, PlainFilesPassThroughWhateverTheirLength) {
    for (const Bytes& plain : {Bytes{'G'}, Bytes{'G', 'D'}, Bytes{'G', 'D', 'F'},
                               Bytes{'G', 'D', 'F', '2', 0, 0}, Bytes{'g', 'd', 'f', '1'}}) {
        const std::string path = writeBytes(at("plain.bin"), plain);
        EXPECT_EQ(loadAll(path), plain);
        std::uint8_t* data = LoadFileData(path.c_str(), nullptr);  // size is optional
        EXPECT_EQ(data[0], plain[0]);
        release(data);
    }
}

TEST_F(FilesTest, SeventeenByteContainerGivesOneByte) {
    // Size field 0 and factor 0: the initial key is 0 - the built-in constant.
    Bytes file = container(0, 0, {});
    file.push_back(0x41);
    const std::string path = writeBytes(at("one.gdf"), file);
    const auto keyByte = static_cast<std::uint8_t>(0u - kGdfKeyConstant);
    EXPECT_EQ(loadAll(path), Bytes{static_cast<std::uint8_t>(0x41 ^ keyByte)});
}

TEST_F(FilesTest, StoredContainerIgnoresItsSizeField) {
    const Bytes payload = randomBytes(10, 3);
    for (std::uint64_t sizeField : {std::uint64_t{0}, std::uint64_t{4}, std::uint64_t{999999},
                                    std::uint64_t{1} << 40}) {
        const std::string path =
            writeBytes(at("stored.gdf"), container(sizeField << 4 | 0xE, 77, payload));
        EXPECT_EQ(loadAll(path), payload) << sizeField;
    }
}

class LoadFileDataDeath : public FilesTest {
protected:
    void SetUp() override {
        FilesTest::SetUp();
        ::setenv("QUASK_NONINTERACTIVE", "1", 1);
        CLOG::Create(m_dir, quask_test::quietLogPort());
    }
    void TearDown() override {
        CLOG::Destroy();
        FilesTest::TearDown();
    }

    // Loading m_dir/name must end the process with code 1 after the CRIT
    // box. A death test runs in a fresh process with its own directory, so
    // the directory part of the path is left open.
    void expectCrit(const std::string& name, const std::string& format, void (*before)() = nullptr) {
        const std::size_t pos = format.find("%s");
        const std::string regex = "Critical Log Message: .*" + escapeRegex(format.substr(0, pos)) +
                                  "[^']*/" + escapeRegex(name) + escapeRegex(format.substr(pos + 2));
        const std::string path = at(name);
        s_cleanup = m_dir;
        s_cleanupOwner = ::getpid();
        EXPECT_EXIT(
            {
                registerExitHandler(&removeOwnDir);
                if (before) before();
                LoadFileData(path.c_str(), nullptr);
            },
            ::testing::ExitedWithCode(1), regex);
    }

    // A re-executed child made its own directory and removes it as it ends;
    // a forked child shares the parent's, which the parent removes.
    static void removeOwnDir() {
        if (::getpid() == s_cleanupOwner) std::filesystem::remove_all(s_cleanup);
    }
    static std::string s_cleanup;
    static pid_t s_cleanupOwner;
};
std::string LoadFileDataDeath::s_cleanup;
pid_t LoadFileDataDeath::s_cleanupOwner = 0;

constexpr char kNoContent[] = "File '%s' has GDF Signature; but has no content or is corrupt!";
constexpr char kInflateError[] = "File '%s' decompression error in gdf.";
constexpr char kSizeMismatch[] =
    "File '%s' gdf error ~ uncompressed size doesnt match with header!";

// From here on every read() of this process fails with EIO, as on a failing
// disk; opening and the file's size still work.
void failEveryRead() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_read, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(4);
}

TEST_F(LoadFileDataDeath, MissingEmptyOrUnreadableFileEndsTheProcess) {
    // The message shows the path as given, backslashes included.
    expectCrit("no\\such.bin", "Can not open file '%s' - file missing?");
    writeBytes(at("empty.bin"), {});
    expectCrit("empty.bin", "File '%s' - empty file.");
    writeBytes(at("bark.dds"), randomBytes(100, 13));
    expectCrit("bark.dds", "File '%s' - read error.", failEveryRead);
}

TEST_F(LoadFileDataDeath, FileOfTwoGibibytesOrMoreCountsAsEmpty) {
    // Sparse files: 2^31 bytes is one past the largest length, and 2^32 + 5
    // would be 5 bytes if only the low 32 bits of the size were looked at.
    for (const auto& [name, size] : {std::pair<const char*, off_t>{"two.bin", off_t{1} << 31},
                                     std::pair<const char*, off_t>{"wrap.bin", (off_t{1} << 32) + 5}}) {
        writeBytes(at(name), {});
        ASSERT_EQ(::truncate(at(name).c_str(), size), 0);
        expectCrit(name, "File '%s' - empty file.");
    }
}

TEST_F(LoadFileDataDeath, ContainerWithoutPayloadEndsTheProcess) {
    writeBytes(at("sixteen.gdf"), container(4 << 4, 2, {}));
    expectCrit("sixteen.gdf", kNoContent);
    writeBytes(at("four.gdf"), Bytes{'G', 'D', 'F', '1'});
    expectCrit("four.gdf", kNoContent);
}

TEST_F(LoadFileDataDeath, HeaderSizeDisagreeingWithStreamEndsTheProcess) {
    const Bytes stream = zlibCompress(randomBytes(100, 11));
    writeBytes(at("small.gdf"), container(50 << 4 | 1, 5, stream));
    expectCrit("small.gdf", kInflateError);
    writeBytes(at("large.gdf"), container(200 << 4 | 1, 5, stream));
    expectCrit("large.gdf", kSizeMismatch);
}

TEST_F(LoadFileDataDeath, CorruptStreamEndsTheProcess) {
    const Bytes stream = zlibCompress(randomBytes(500, 12));
    Bytes corrupt = stream;
    corrupt[0] = 0x12;  // not a zlib header
    writeBytes(at("header.gdf"), container(500 << 4 | 1, 5, corrupt));
    expectCrit("header.gdf", kInflateError);
    corrupt = stream;
    corrupt[corrupt.size() - 1] ^= 0xFF;  // Adler-32 no longer matches
    writeBytes(at("adler.gdf"), container(500 << 4 | 1, 5, corrupt));
    expectCrit("adler.gdf", kInflateError);
    corrupt.assign(stream.begin(), stream.begin() + stream.size() / 2);
    writeBytes(at("cut.gdf"), container(500 << 4 | 1, 5, corrupt));
    expectCrit("cut.gdf", kInflateError);
}

void* refuseHugeAllocation(std::size_t size) {
    if (size > (std::size_t{64} << 20)) {
        std::fprintf(stderr, "allocation of %zu bytes\n", size);
        _exit(3);
    }
    return std::malloc(size);
}

TEST_F(LoadFileDataDeath, OversizedHeaderIsRefusedBeforeAllocating) {
    RawAllocator raw = defaultRawAllocator();
    raw.allocFn = &refuseHugeAllocation;
    setRawAllocator(raw);
    const Bytes stream = zlibCompress(Bytes{'h', 'e', 'l', 'l', 'o'});
    // 2^31 would need a 2 GiB block; 2^32 + 5, cut to 32 bits, would be the
    // 5 bytes the stream really holds.
    writeBytes(at("big.gdf"), container(std::uint64_t{1} << 31 << 4 | 1, 5, stream));
    expectCrit("big.gdf", kSizeMismatch);
    writeBytes(at("wrap.gdf"), container((std::uint64_t{1} << 32 | 5) << 4 | 1, 5, stream));
    expectCrit("wrap.gdf", kSizeMismatch);
    // Within the container's limit, but more than any stream of 13 bytes holds.
    writeBytes(at("claim.gdf"), container((std::uint64_t{64} << 20 | 1) << 4 | 1, 5, stream));
    expectCrit("claim.gdf", kSizeMismatch);
    setRawAllocator(defaultRawAllocator());
}

}  // namespace
}  // namespace velmar
