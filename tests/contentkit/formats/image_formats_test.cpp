// TGA and BMP writers: read back by the client's decoding steps and by
// gdk-pixbuf (what the launcher uses), header fields, row padding, the
// run-length packets and the splash's white cut-out; and every picture the
// content tool writes as ImageMagick shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/contentkit/reference.h"
#include "tests/contentkit/test_util.h"
#include "tests/contentkit/tiled_fixture.h"
#include "tests/support/xvfb_display.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/bmp_writer.h"
#include "tools/contentkit/formats/dds_writer.h"
#include "tools/contentkit/formats/image.h"
#include "tools/contentkit/formats/tga_writer.h"

namespace {

using contentkit::Image;
using cktest::Bytes;

Image opaque(Image image) {
    for (std::size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
    return image;
}

// A cursor with long runs and single pixels, wider than one 128-pixel packet.
Image runsAndNoise() {
    Image image = contentkit::makeCursor(contentkit::CursorKind::Button, 160);
    for (int x = 0; x < 160; x += 7) image.at(x, 3)[1] = static_cast<std::uint8_t>(x);
    return image;
}

Bytes tga(const Image& image, int type, int depth, bool topLeft, const std::string& id = "") {
    contentkit::TgaOptions options;
    options.imageType = type;
    options.depth = depth;
    options.topLeftOrigin = topLeft;
    options.imageId = id;
    return cktest::written(contentkit::writeTga, image, options);
}

class ImageFormats : public cktest::TempDirTest {};

TEST_F(ImageFormats, TgaEveryTypeDepthAndOriginDecodesToTheSource) {
    const Image source = runsAndNoise();
    for (int type : {2, 10}) {
        for (int depth : {24, 32}) {
            for (bool topLeft : {false, true}) {
                SCOPED_TRACE("type " + std::to_string(type) + " depth " + std::to_string(depth) +
                             (topLeft ? " top-left" : " bottom-left"));
                const Bytes file = tga(source, type, depth, topLeft);
                const Image expected = depth == 24 ? opaque(source) : source;
                Image decoded;
                ASSERT_TRUE(reference::decodeTga(file, &decoded));
                EXPECT_TRUE(decoded.rgba == expected.rgba);
                cktest::writeBytes(at("c.tga"), file);
                Image loaded;
                std::string error;
                ASSERT_TRUE(reference::loadWithPixbuf(at("c.tga"), &loaded, &error)) << error;
                EXPECT_TRUE(opaque(loaded).rgba == opaque(expected).rgba);
            }
        }
    }
}

// Four solid 4 x 4 quarters, red at the top left: which way up a reader
// shows the picture is plain, and DXT keeps solid blocks exact.
Image quarters() {
    Image image(8, 8);
    const std::uint8_t colours[4][4] = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) std::memcpy(image.at(x, y), colours[(y / 4) * 2 + x / 4], 4);
    return image;
}

// What ImageMagick, an encoder and viewer we did not write, shows; it does
// not look at the TGA origin bit, so only top-first TGA files read upright
// in it without -auto-orient.
TEST_F(ImageFormats, EveryWrittenPictureShowsUprightInImageMagick) {
    if (quask_test::findProgram("convert").empty()) GTEST_SKIP() << "ImageMagick is not installed";
    const Image source = quarters();
    std::vector<std::pair<std::string, Bytes>> files;
    for (int type : {2, 10})
        for (int depth : {24, 32}) {
            contentkit::TgaOptions options;  // the defaults, as the demo's cursors
            options.imageType = type;
            options.depth = depth;
            Bytes out;
            std::string error;
            ASSERT_TRUE(contentkit::writeTga(source, options, &out, &error)) << error;
            files.emplace_back("t" + std::to_string(type) + "_" + std::to_string(depth) + ".tga", out);
        }
    Bytes bmp, dds;
    std::string error;
    contentkit::BmpOptions plain;
    plain.whiteKey = false;
    ASSERT_TRUE(contentkit::writeBmp(source, plain, &bmp, &error)) << error;
    files.emplace_back("splash.bmp", bmp);
    contentkit::DdsOptions dxt5;
    dxt5.format = contentkit::DxtFormat::Dxt5;
    ASSERT_TRUE(contentkit::writeDds(source, dxt5, &dds, &error)) << error;
    files.emplace_back("model.dds", dds);
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        cktest::writeBytes(at(name), bytes);
        int code = -1;
        const std::string shown =
            quask_test::runTool({"convert", at(name) + "[0]", "-depth", "8", "rgba:-"}, &code);
        ASSERT_EQ(code, 0);
        EXPECT_TRUE(Bytes(shown.begin(), shown.end()) == source.rgba);
    }
}

// Pictures as authors bring them: what ImageMagick writes and shows, and
// what it cannot write, by hand. Each is shown as ImageMagick shows it or
// refused with the reason, never filled out with black.
TEST_F(ImageFormats, AuthorsPicturesDecodeAsImageMagickShowsThemOrAreRefused) {
    if (quask_test::findProgram("convert").empty()) GTEST_SKIP() << "ImageMagick is not installed";
    Image sixteen(8, 2);  // sixteen colours: a full 4-bit palette
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t rgba[4] = {static_cast<std::uint8_t>(i * 17), static_cast<std::uint8_t>(255 - i * 13),
                                      static_cast<std::uint8_t>(i * 5 + 40), 255};
        std::memcpy(sixteen.at(i % 8, i / 8), rgba, 4);
    }
    cktest::writeBytes(at("src.rgba"), sixteen.rgba);
    auto magick = [&](const std::vector<std::string>& options, const std::string& out) {
        std::vector<std::string> argv = {"convert", "-size", "8x2", "-depth", "8", "rgba:" + at("src.rgba"), "-alpha", "off"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(out);
        int code = -1;
        quask_test::runTool(argv, &code);
        EXPECT_EQ(code, 0) << out;
        return cktest::readBytes(out.substr(out.find(':') + 1));
    };
    auto cut = [](Bytes file) {
        file.resize(file.size() * 2 / 3);
        return file;
    };
    // Stored right to left, top row first; and a colour map whose first entry is 10.
    Bytes mirrored = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 2, 0, 32, 0x38};
    for (int y = 0; y < 2; ++y)
        for (int x = 7; x >= 0; --x) {
            const std::uint8_t* p = sixteen.at(x, y);
            mirrored.insert(mirrored.end(), {p[2], p[1], p[0], p[3]});
        }
    Bytes mapped = {0, 1, 1, 10, 0, 16, 0, 24, 0, 0, 0, 0, 8, 0, 2, 0, 8, 0x20};
    for (int i = 0; i < 16; ++i) mapped.insert(mapped.end(), {sixteen.rgba[i * 4 + 2], sixteen.rgba[i * 4 + 1], sixteen.rgba[i * 4]});
    for (int i = 0; i < 16; ++i) mapped.push_back(static_cast<std::uint8_t>(10 + i));
    // A colour map of 12 entries under indices up to 15.
    Bytes shortMap = {0, 1, 1, 0, 0, 12, 0, 24, 0, 0, 0, 0, 8, 0, 2, 0, 8, 0x20};
    for (int i = 0; i < 12; ++i)
        shortMap.insert(shortMap.end(), {sixteen.rgba[i * 4 + 2], sixteen.rgba[i * 4 + 1], sixteen.rgba[i * 4]});
    for (int i = 0; i < 16; ++i) shortMap.push_back(static_cast<std::uint8_t>(i));
    // The same as a PNG, whose decoder would show stray memory past the palette.
    Bytes twelve;
    for (int i = 0; i < 12; ++i) twelve.insert(twelve.end(), sixteen.rgba.begin() + i * 4, sixteen.rgba.begin() + i * 4 + 3);
    const Bytes shortPalette = cktest::pngOf(
        8, 2, 3, [](int x, int y, Bytes* out) { out->push_back(static_cast<std::uint8_t>(y * 8 + x)); }, twelve);

    // Top row first, as a negative height says; ImageMagick writes none.
    contentkit::BmpOptions plain;
    plain.whiteKey = false;
    Bytes topDown = cktest::written(contentkit::writeBmp, sixteen, plain);
    std::swap_ranges(topDown.begin() + 54, topDown.begin() + 54 + 24, topDown.begin() + 54 + 24);
    topDown[22] = 0xFE;  // height -2
    std::fill(topDown.begin() + 23, topDown.begin() + 26, 0xFF);

    // 16-bit colour, bottom row first, whose top bit is the pixel's alpha:
    // eight colours that five bits hold exactly, every other one clear.
    Image corners(8, 2);
    Bytes alphaBit = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 2, 0, 16, 0x01};
    for (int y = 1; y >= 0; --y)
        for (int x = 0; x < 8; ++x) {
            const int r = x & 1, g = (x >> 1) & 1, b = (x >> 2) & 1, a = (x + y) & 1;
            const std::uint8_t rgba[4] = {std::uint8_t(r * 255), std::uint8_t(g * 255), std::uint8_t(b * 255),
                                          std::uint8_t(a * 255)};
            std::memcpy(corners.at(x, y), rgba, 4);
            const unsigned v = (a << 15) | (r * 31u << 10) | (g * 31u << 5) | (b * 31u);
            alphaBit.insert(alphaBit.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
        }

    struct Case {
        std::string name;
        Bytes file;
        std::string refusal;  // empty: shown as the source
        const Image* expected = nullptr;  // else the sixteen colours
    };
    const Case cases[] = {
        {"OS/2 BMP, 4-bit palette", magick({"-type", "Palette"}, "bmp2:" + at("os2.bmp")), ""},
        {"TGA stored right to left", mirrored, ""},
        {"BMP stored top row first", topDown, ""},
        {"16-bit TGA with an alpha bit", alphaBit, "", &corners},
        {"palette BMP saved with -compress RLE", magick({"-type", "Palette", "-compress", "RLE"}, "bmp3:" + at("rle.bmp")),
         "run-length compressed BMP (RLE8) is not read"},
        {"cut-off BMP", cut(magick({}, "bmp3:" + at("cut.bmp"))), "picture data truncated"},
        {"cut-off run-length TGA", cut(magick({"-compress", "RLE"}, "tga:" + at("cut.tga"))), "picture data truncated"},
        {"TGA cut off in its header", Bytes(mirrored.begin(), mirrored.begin() + 17), "picture data truncated"},
        {"cut-off PNG", cut(magick({}, "png:" + at("cut.png"))), "picture data truncated"},
        {"PNG, palette", magick({"-type", "Palette"}, "png8:" + at("palette.png")), ""},
        {"TGA colour map from entry 10", mapped, "TGA colour map starts at entry 10"},
        {"TGA index past its colour map", shortMap, "TGA pixel index 15 is past its colour map of 12 entries"},
        {"PNG index past its palette", shortPalette, "PNG palette index 12 is beyond the palette's 12 entries"},
        {"JPEG, as exporters write photos", magick({}, "jpg:" + at("photo.jpg")),
         "JPEG pictures are not read; save it as PNG, TGA or BMP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image decoded;
        std::string error;
        const bool ok = contentkit::decodeImage(c.file.data(), c.file.size(), &decoded, &error);
        if (c.refusal.empty()) {
            ASSERT_TRUE(ok) << error;
            EXPECT_TRUE(decoded.rgba == (c.expected ? *c.expected : sixteen).rgba);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        }
    }
}

TEST_F(ImageFormats, TgaHeaderFieldsAndImageId) {
    const Bytes file = tga(contentkit::makeChecker(300, 2, 4), 10, 32, true, "cursor");
    ASSERT_GE(file.size(), 24u);
    EXPECT_EQ(file[0], 6);   // ID length
    EXPECT_EQ(file[1], 0);   // no colour map
    EXPECT_EQ(file[2], 10);
    EXPECT_EQ(file[12] | (file[13] << 8), 300);
    EXPECT_EQ(file[14] | (file[15] << 8), 2);
    EXPECT_EQ(file[16], 32);
    EXPECT_EQ(file[17], 0x28);  // 8 alpha bits, top-left origin
    EXPECT_EQ(std::string(file.begin() + 18, file.begin() + 24), "cursor");
    EXPECT_EQ(tga(contentkit::makeChecker(4, 4, 1), 2, 24, false)[17], 0);
}

TEST_F(ImageFormats, TgaRunLengthPacketsNeverCrossARow) {
    const Image source = runsAndNoise();
    const Bytes file = tga(source, 10, 32, false);
    std::size_t pos = 18, pixel = 0, runs = 0;
    while (pixel < 160u * 160u) {
        ASSERT_LT(pos, file.size());
        const unsigned count = (file[pos] & 0x7Fu) + 1;
        const bool run = (file[pos] & 0x80) != 0;
        ASSERT_LE(pixel % 160 + count, 160u) << "packet at offset " << pos;
        runs += run;
        pos += 1 + (run ? 4 : 4 * count);
        pixel += count;
    }
    EXPECT_EQ(pos, file.size());
    EXPECT_GT(runs, 0u);
    // A uniform row is one 128-pixel run plus one for the rest.
    Image flat(200, 3);
    const Bytes flatFile = tga(flat, 10, 24, false);
    EXPECT_EQ(flatFile.size(), 18u + 3u * 2u * 4u);
}

TEST_F(ImageFormats, TgaWriterRefusesWhatTheClientCannotRead) {
    Bytes out;
    std::string error;
    const Image image(4, 4);
    contentkit::TgaOptions grey;
    grey.imageType = 3;
    contentkit::TgaOptions deep;
    deep.depth = 16;
    contentkit::TgaOptions longId;
    longId.imageId.assign(256, 'x');
    for (const auto& options : {grey, deep, longId}) {
        EXPECT_FALSE(contentkit::writeTga(image, options, &out, &error));
    }
    EXPECT_FALSE(contentkit::writeTga(Image(65536, 1), contentkit::TgaOptions(), &out, &error));
    EXPECT_EQ(error, "TGA sides must be at most 65535");
}

TEST_F(ImageFormats, TgaInfoReadsWrittenCursorsWithoutWarnings) {
    for (int type : {2, 10}) {
        const Bytes file = tga(runsAndNoise(), type, 32, false);
        contentkit::InfoReport report;
        EXPECT_TRUE(contentkit::inspectFile("standard.tga", file.data(), file.size(), &report)) << report.error;
        EXPECT_TRUE(report.warnings.empty());
        EXPECT_EQ(report.format, "TGA");
    }
}

TEST_F(ImageFormats, BmpSplashLoadsInPixbufWithWhiteCutOut) {
    Image source = contentkit::makeSplash(37, 21, 4);  // odd width: padded rows
    std::uint8_t* white = source.at(10, 10);
    white[0] = white[1] = white[2] = white[3] = 255;
    std::size_t transparent = 0;
    Image expected = source;
    for (std::size_t i = 0; i < expected.rgba.size(); i += 4) {
        std::uint8_t* p = &expected.rgba[i];
        if (p[3] < 128) {
            ++transparent;
            p[0] = p[1] = p[2] = 255;
        } else if (p[0] == 255 && p[1] == 255 && p[2] == 255) {
            p[0] = p[1] = p[2] = 254;
        }
        p[3] = 255;
    }
    ASSERT_GT(transparent, 0u);
    Bytes file;
    std::string error;
    ASSERT_TRUE(contentkit::writeBmp(source, contentkit::BmpOptions(), &file, &error)) << error;
    cktest::writeBytes(at("QuaskLoadingSplash.bmp"), file);

    Image loaded, decoded;
    ASSERT_TRUE(reference::loadWithPixbuf(at("QuaskLoadingSplash.bmp"), &loaded, &error)) << error;
    EXPECT_TRUE(opaque(loaded).rgba == expected.rgba);
    ASSERT_TRUE(reference::decodeBmp24(file, &decoded));
    EXPECT_TRUE(decoded.rgba == expected.rgba);

    contentkit::InfoReport report;
    ASSERT_TRUE(contentkit::inspectFile("s.bmp", file.data(), file.size(), &report)) << report.error;
    EXPECT_TRUE(report.warnings.empty());
    bool counted = false;
    for (const auto& [name, value] : report.fields) {
        if (name == "white (see-through) pixels") {
            counted = true;
            EXPECT_EQ(value, std::to_string(transparent) + " of " + std::to_string(37 * 21));
        }
    }
    EXPECT_TRUE(counted);
}

TEST_F(ImageFormats, BmpRowsPaddedAndHeaderConsistent) {
    Bytes file;
    std::string error;
    contentkit::BmpOptions plain;
    plain.whiteKey = false;
    Image source = cktest::gradient(5, 3);
    source.at(0, 0)[3] = 0;  // ignored without the key
    ASSERT_TRUE(contentkit::writeBmp(source, plain, &file, &error)) << error;
    ASSERT_EQ(file.size(), 54u + 16u * 3u);
    EXPECT_EQ(file[2] | (file[3] << 8), 54 + 48);
    EXPECT_EQ(file[10], 54);
    EXPECT_EQ(file[14], 40);
    EXPECT_EQ(file[28], 24);
    Image decoded;
    ASSERT_TRUE(reference::decodeBmp24(file, &decoded));
    EXPECT_TRUE(decoded.rgba == opaque(source).rgba);
    EXPECT_FALSE(contentkit::writeBmp(Image(), plain, &file, &error));
}

}  // namespace
