// Compressed patch files: our encoder, our decoder and the LZMA SDK against
// each other, hostile headers, and UnpackFile on real files.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shared/patch_file.h"
#ifndef QUASK_NO_LZMA_SDK
#include "tests/shared/lzma_sdk_interop.h"
#endif
#include "tests/shared/patch_test_util.h"

namespace {

using namespace patch_test;
using quask::PatchStatus;

const Bytes kProps = {0x5D, 0x00, 0x00, 0x00, 0x04};

Bytes compressOk(const Bytes& content, char saved) {
    Bytes image;
    EXPECT_EQ(quask::patchCompress(content.data(), content.size(), saved, &image), PatchStatus::Ok);
    return image;
}

PatchStatus decodeStatus(const Bytes& image) {
    Bytes out;
    return quask::patchDecode(image.data(), image.size(), &out);
}

// --- Format ---

TEST(PatchFile, CompressWritesTheHeaderAndRoundTrips) {
    // Larger than the encoder's internal blocks, with runs it must not split.
    Bytes mixed = textContent(400000, 3);
    const Bytes noise = randomContent(100000, 4);
    mixed.insert(mixed.begin() + 200000, noise.begin(), noise.end());
    mixed.insert(mixed.end(), 70000, 0);
    const std::vector<std::pair<Bytes, char>> cases = {
        {textContent(65536, 1), 't'}, {binaryContent(50001, 2), 'n'}, {mixed, 'x'}};
    for (const auto& [content, saved] : cases) {
        SCOPED_TRACE(content.size());
        const Bytes image = compressOk(content, saved);
        ASSERT_GT(image.size(), quask::kPatchPrefixSize);
        EXPECT_EQ(image[0], 'K');
        EXPECT_EQ(image[1], 'X');
        EXPECT_EQ(image[2], static_cast<std::uint8_t>(saved));
        EXPECT_EQ(le32(image, 3), content.size());
        EXPECT_EQ(le32(image, 7), image.size() - 20);
        EXPECT_EQ(le32(image, 11), 5u);
        EXPECT_EQ(Bytes(image.begin() + 15, image.begin() + 20), kProps);
        EXPECT_LE(le32(image, 7), content.size());

        Bytes decoded;
        quask::PatchHeader header;
        ASSERT_EQ(quask::patchDecode(image.data(), image.size(), &decoded, &header),
                  PatchStatus::Ok);
        EXPECT_EQ(decoded, content);
        EXPECT_EQ(header.savedChar, saved);
    }
}

TEST(PatchFile, StreamLargerThanContentFailsWithOutputEof) {
    for (const Bytes& content : {Bytes{'x'}, randomContent(4096, 7)}) {
        Bytes image{1, 2, 3};
        EXPECT_EQ(quask::patchCompress(content.data(), content.size(), 't', &image),
                  PatchStatus::OutputEof);
        EXPECT_TRUE(image.empty());
    }
    // A caller's buffer that cannot hold the stream is the same failure.
    const Bytes text = textContent(4096, 8);
    Bytes small(quask::kPatchPrefixSize + 16);
    std::size_t used = 99;
    EXPECT_EQ(
        quask::patchCompress(text.data(), text.size(), 't', small.data(), small.size(), &used),
        PatchStatus::OutputEof);
    EXPECT_EQ(used, 0u);
}

TEST(PatchFile, EmptyContentAndUnrestorableNamesAreRefused) {
    const Bytes text = textContent(1000, 9);
    Bytes image;
    EXPECT_EQ(quask::patchCompress(text.data(), 0, 't', &image), PatchStatus::Empty);
    for (char bad : {'/', '\\', '\0'}) {
        EXPECT_EQ(quask::patchCompress(text.data(), text.size(), bad, &image), PatchStatus::Param)
            << static_cast<int>(static_cast<unsigned char>(bad));
    }
    for (char fine : {'\x01', '\x7F', '\x80', '\xA9'}) {
        EXPECT_EQ(quask::patchCompress(text.data(), text.size(), fine, &image), PatchStatus::Ok)
            << static_cast<int>(static_cast<unsigned char>(fine));
    }
    EXPECT_EQ(quask::patchPackedPath("maps/map.gdf"), "maps/map.gd_");
    EXPECT_EQ(quask::patchUnpackedPath("maps/map.gd_", 'f'), "maps/map.gdf");
}

TEST(PatchFile, HeaderFieldsAreCheckedAgainstTheFile) {
    const Bytes good = compressOk(textContent(8000, 10), 't');
    auto withField = [&](std::size_t at, std::uint32_t value) {
        Bytes b = good;
        putLe32(&b, at, value);
        return b;
    };
    Bytes badMagic = good;
    badMagic[1] = 'Y';
    EXPECT_EQ(decodeStatus(badMagic), PatchStatus::BadMagic);
    EXPECT_EQ(decodeStatus(Bytes(good.begin(), good.begin() + 14)), PatchStatus::Truncated);
    EXPECT_EQ(decodeStatus(Bytes(good.begin(), good.begin() + 17)), PatchStatus::Truncated);
    EXPECT_EQ(decodeStatus(withField(11, 4)), PatchStatus::BadHeader);
    EXPECT_EQ(decodeStatus(withField(11, 6)), PatchStatus::BadHeader);
    EXPECT_EQ(decodeStatus(withField(7, le32(good, 7) + 1)), PatchStatus::BadHeader);
    EXPECT_EQ(decodeStatus(withField(7, le32(good, 7) - 1)), PatchStatus::BadHeader);
    EXPECT_EQ(decodeStatus(withField(3, 0)), PatchStatus::BadHeader);
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(decodeStatus(trailing), PatchStatus::BadHeader);
    for (int bad : {'/', '\\', '\0'}) {
        Bytes b = good;
        b[2] = static_cast<std::uint8_t>(bad);
        EXPECT_EQ(decodeStatus(b), PatchStatus::BadHeader) << bad;
    }
    // Any other byte ends a name: a tab, the last byte of UTF-8 "é", DEL.
    for (int fine : {'\t', '\xA9', '\x7F'}) {
        Bytes b = good;
        b[2] = static_cast<std::uint8_t>(fine);
        EXPECT_EQ(decodeStatus(b), PatchStatus::Ok) << fine;
    }
}

TEST(PatchFile, HostilePropertiesAreRefusedBeforeDecoding) {
    const Bytes good = compressOk(textContent(8000, 11), 't');
    auto withProps = [&](std::uint8_t byte, std::uint32_t dict) {
        Bytes b = good;
        b[15] = byte;
        putLe32(&b, 16, dict);
        return b;
    };
    EXPECT_EQ(decodeStatus(withProps(225, 1u << 20)), PatchStatus::BadProperties);
    EXPECT_EQ(decodeStatus(withProps((0 * 5 + 1) * 9 + 4, 1u << 20)), PatchStatus::BadProperties);
    EXPECT_EQ(decodeStatus(withProps(0x5D, (256u << 20) + 1)), PatchStatus::BadProperties);
    EXPECT_EQ(decodeStatus(withProps(0x5D, 0xFFFFFFFFu)), PatchStatus::BadProperties);
    // The largest accepted dictionary is still decoded.
    EXPECT_EQ(decodeStatus(withProps(0x5D, 256u << 20)), PatchStatus::Ok);

    quask::PatchProperties props;
    const std::uint8_t lc4[5] = {(2 * 5 + 0) * 9 + 4, 0, 0, 0, 1};
    ASSERT_EQ(quask::patchReadProperties(lc4, 5, &props), PatchStatus::Ok);
    EXPECT_EQ(props.lc, 4u);
    EXPECT_EQ(props.lp, 0u);
    EXPECT_EQ(props.pb, 2u);
    EXPECT_EQ(props.dictSize, 1u << 24);
}

TEST(PatchFile, DecodeDemandsExactSizesAndTheWholeStream) {
    const Bytes content = binaryContent(20000, 12);
    const Bytes good = compressOk(content, 'n');
    Bytes longer = good, shorter = good;
    putLe32(&longer, 3, static_cast<std::uint32_t>(content.size() + 1));
    putLe32(&shorter, 3, static_cast<std::uint32_t>(content.size() - 1));
    EXPECT_EQ(decodeStatus(longer), PatchStatus::DataError);
    EXPECT_EQ(decodeStatus(shorter), PatchStatus::DataError);

    // Bytes after the end marker, counted in the packed size.
    Bytes padded = good;
    padded.insert(padded.end(), {0, 0, 0});
    putLe32(&padded, 7, le32(good, 7) + 3);
    EXPECT_EQ(decodeStatus(padded), PatchStatus::DataError);

    Bytes cut(good.begin(), good.end() - 1);
    putLe32(&cut, 7, le32(good, 7) - 1);
    EXPECT_EQ(decodeStatus(cut), PatchStatus::DataError);
}

// --- The LZMA SDK ---
#ifndef QUASK_NO_LZMA_SDK

TEST(PatchFile, SdkEncodedStreamsDecode) {
    for (const Bytes& content :
         {textContent(70000, 13), binaryContent(30000, 14), Bytes{'q', 'q'}}) {
        Bytes stream(content.size() + 64);
        std::size_t streamLen = stream.size();
        unsigned char props[5] = {};
        ASSERT_EQ(
            sdkEncodePatchStream(content.data(), content.size(), stream.data(), &streamLen, props),
            0);
        EXPECT_EQ(Bytes(props, props + 5), kProps);

        Bytes image = {'K', 'X', 'z', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        putLe32(&image, 3, static_cast<std::uint32_t>(content.size()));
        putLe32(&image, 7, static_cast<std::uint32_t>(streamLen));
        putLe32(&image, 11, 5);
        image.insert(image.end(), props, props + 5);
        image.insert(image.end(), stream.begin(),
                     stream.begin() + static_cast<std::ptrdiff_t>(streamLen));
        Bytes decoded;
        ASSERT_EQ(quask::patchDecode(image.data(), image.size(), &decoded), PatchStatus::Ok);
        EXPECT_EQ(decoded, content);
    }
}

TEST(PatchFile, SdkDecoderConsumesOurStreamsExactly) {
    for (const Bytes& content : {textContent(70000, 15), binaryContent(30000, 16)}) {
        const Bytes image = compressOk(content, 't');
        const std::size_t packed = image.size() - quask::kPatchPrefixSize;
        Bytes out(content.size());
        std::size_t inLen = packed, outLen = out.size();
        int withMark = 0;
        ASSERT_EQ(
            sdkDecode(image.data() + 20, &inLen, out.data(), &outLen, image.data() + 15, &withMark),
            0);
        EXPECT_EQ(inLen, packed);
        EXPECT_EQ(outLen, content.size());
        EXPECT_EQ(withMark, 1);
        EXPECT_EQ(out, content);
    }
}

#endif  // QUASK_NO_LZMA_SDK

// --- UnpackFile ---

using UnpackFileTest = PatchDirTest;

TEST_F(UnpackFileTest, RestoresTheNameAndReplacesAnExistingFile) {
    const Bytes content = textContent(30000, 17);
    writeBytes(at("map.gd_"), compressOk(content, 'f'));
    writeBytes(at("map.gdf"), Bytes{'o', 'l', 'd'});
    ASSERT_TRUE(quask::UnpackFile(at("map.gd_")));
    EXPECT_EQ(readBytes(at("map.gdf")), content);
    EXPECT_EQ(listing(), (std::set<std::string>{"map.gd_", "map.gdf"}));
}

TEST_F(UnpackFileTest, FailuresLeaveTheTargetUntouched) {
    const Bytes content = textContent(30000, 18);
    const Bytes good = compressOk(content, 'f');
    const Bytes old = {'o', 'l', 'd'};
    writeBytes(at("map.gdf"), old);

    Bytes hugeDict = good, wrongSize = good, zeroSize = good;
    putLe32(&hugeDict, 16, 0x80000000u);
    putLe32(&wrongSize, 3, static_cast<std::uint32_t>(content.size() + 1));
    putLe32(&zeroSize, 3, 0);
    for (const Bytes& bad : {Bytes(good.begin(), good.begin() + 10),
                             Bytes(good.begin(), good.end() - 1), hugeDict, wrongSize, zeroSize}) {
        writeBytes(at("map.gd_"), bad);
        EXPECT_FALSE(quask::UnpackFile(at("map.gd_")));
        EXPECT_EQ(readBytes(at("map.gdf")), old);
        EXPECT_EQ(listing(), (std::set<std::string>{"map.gd_", "map.gdf"}));
    }
    EXPECT_FALSE(quask::UnpackFile(at("missing.gd_")));
    EXPECT_FALSE(quask::UnpackFile(m_dir));
}

}  // namespace
