#include "client/assets/font.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "client/core/frame_stats.h"
#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/core/runtime.h"
#include "client/gl/gl_ext.h"
#include "client/storage/byte_reader.h"
#include "client/storage/load_file_data.h"

namespace velmar {

namespace {

[[noreturn]] void refuseFont(const char* path, const char* why, std::uint8_t* data) {
    release(data);
    Message(kLogCrit, "rFont::rFont => Cant load font '%s' - %s", path, why);
    exitProcess(1);
}

bool compressFont() {
    CRConf* conf = CRConf::instance();
    return conf ? conf->GetBool(RCONF_COMPRESSFONT) : true;
}

}  // namespace

// --- Parsing ---

RfntStatus parseRfnt(const std::uint8_t* bytes, std::size_t length, RfntData* out) {
    if (bytes == nullptr || length < 4) return RfntStatus::TooShort;
    const ByteReader file(bytes, length);
    if (file.u32At(0) != kRfntMagic) return RfntStatus::WrongType;
    if (length < kRfntHeaderSize) return RfntStatus::TooShort;
    const std::uint32_t height = file.u32At(kRfntHeightOffset);
    const std::uint32_t width = file.u32At(kRfntWidthOffset);
    // GL takes signed sizes; a product of two 32-bit values fits 64 bits.
    if (width > static_cast<std::uint32_t>(INT_MAX) || height > static_cast<std::uint32_t>(INT_MAX))
        return RfntStatus::TooShort;
    const std::uint64_t texels = static_cast<std::uint64_t>(width) * height;
    if (texels > length - kRfntHeaderSize) return RfntStatus::TooShort;

    out->size = bytes[kRfntSizeOffset];
    std::memcpy(out->advances, bytes + kRfntAdvanceOffset, kFontGlyphs);
    for (int i = 0; i < kFontGlyphs; ++i) {
        const std::size_t rect = kRfntRectOffset + static_cast<std::size_t>(i) * kRfntRectBytes;
        out->rects[i] = RfntRect{file.f64At(rect), file.f64At(rect + 8), file.f64At(rect + 16),
                                 file.f64At(rect + 24)};
    }
    out->width = width;
    out->height = height;
    out->texels = bytes + kRfntHeaderSize;
    return RfntStatus::Ok;
}

std::size_t formatFontText(char (&buffer)[kFontTextBuffer], const char* format, va_list args) {
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    const std::size_t written = static_cast<std::size_t>(n);
    return written < sizeof buffer ? written : sizeof buffer - 1;
}

// --- Loading ---

rFont::rFont(const char* path) {
    const double started = PerfClock::isCreated() ? PerfClock::seconds() : 0.0;
    std::uint32_t length = 0;
    std::uint8_t* file = LoadFileData(path, &length);
    if (file == nullptr) {
        Message(kLogCrit, "rFont::rFont => Cant load font '%s' - fs error.", path);
        exitProcess(1);
    }
    // Parsed in full before any GL object exists, so a refusal leaks nothing.
    RfntData data;
    switch (parseRfnt(file, length, &data)) {
    case RfntStatus::TooShort: refuseFont(path, "wrong filesize / Corrupted?", file);
    case RfntStatus::WrongType: refuseFont(path, "Wrong File Type", file);
    case RfntStatus::Ok: break;
    }
    m_size = data.size;
    std::memcpy(m_advances, data.advances, sizeof m_advances);
    buildLists(data);
    buildTexture(data, path);
    release(file);
    const double elapsed = PerfClock::isCreated() ? PerfClock::seconds() - started : 0.0;
    Message(kLogInfo, "rFont::rFont => Font '%s' (Size: %d) loaded, in %f seconds", path,
            static_cast<int>(m_size), elapsed);
}

void rFont::buildLists(const RfntData& data) {
    m_listBase = glGenLists(kFontGlyphs);
    const float size = static_cast<float>(data.size);
    for (int i = 0; i < kFontGlyphs; ++i) {
        const float w = static_cast<float>(data.advances[i]);
        const RfntRect& r = data.rects[i];
        glNewList(m_listBase + static_cast<GLuint>(i), GL_COMPILE);
        glBegin(GL_QUADS);
        glTexCoord2d(r.s0, r.t0);
        glVertex2f(0.0f, 0.0f);
        glTexCoord2d(r.s1, r.t0);
        glVertex2f(w, 0.0f);
        glTexCoord2d(r.s1, r.t1);
        glVertex2f(w, size);
        glTexCoord2d(r.s0, r.t1);
        glVertex2f(0.0f, size);
        glEnd();
        glTranslatef(w, 0.0f, 0.0f);
        glEndList();
    }
}

void rFont::buildTexture(const RfntData& data, const char* path) {
    GLuint name = 0;
    glGenTextures(1, &name);
    m_texture = name;
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    (void)glGetError();  // only the upload's own error is reported
    // Rows are byte-packed in the file: the default 4-byte row alignment
    // would read past the texel block of an odd width.
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    const GLint format = compressFont() ? GL_COMPRESSED_ALPHA_ARB : GL_ALPHA;
    glTexImage2D(GL_TEXTURE_2D, 0, format, static_cast<GLsizei>(data.width),
                 static_cast<GLsizei>(data.height), 0, GL_ALPHA, GL_UNSIGNED_BYTE, data.texels);
    const GLenum error = glGetError();
    glPopClientAttrib();
    if (error != GL_NO_ERROR) {
        Message(kLogCrit, "rFont::rFont => Font '%s' Texture Creation Error (%u)", path,
                static_cast<unsigned>(error));
    }
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
}

rFont::~rFont() {
    glDeleteLists(m_listBase, kFontGlyphs);
    const GLuint name = m_texture;
    glDeleteTextures(1, &name);
}

// --- Drawing ---

void rFont::drawText(float x, float y, const char* text, std::size_t length) const {
    if (length == 0) length = std::strlen(text);
    // glCallLists takes a signed count; no engine text comes near it.
    if (length > static_cast<std::size_t>(INT_MAX)) length = static_cast<std::size_t>(INT_MAX);
    glBindTexture(GL_TEXTURE_2D, m_texture);
    glPushMatrix();
    glTranslatef(x, y, 0.0f);
    glPushAttrib(GL_LIST_BIT);
    glListBase(m_listBase);
    frameStats().countDrawCall();
    glCallLists(static_cast<GLsizei>(length), GL_UNSIGNED_BYTE, text);
    glPopAttrib();
    glPopMatrix();
}

void rFont::drawTextF(float x, float y, const char* format, ...) const {
    char buffer[kFontTextBuffer];
    va_list args;
    va_start(args, format);
    const std::size_t length = formatFontText(buffer, format, args);
    va_end(args);
    // An empty result leaves an empty buffer, so the NUL search finds nothing.
    drawText(x, y, buffer, length);
}

}  // namespace velmar
