#include "client/gl/gl_text.h"

#include <cstring>

namespace velmar {

namespace {

// Reads the digits at `*p` and steps past them; stops short of overflow.
int readNumber(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value <= (0x7FFFFFFF - 9) / 10) value = value * 10 + (*p - '0');
        ++p;
    }
    return value;
}

}  // namespace

GLVersion parseGLVersion(const char* versionText) {
    GLVersion v{0, 0, 0};
    if (!versionText) return v;
    const char* p = versionText;
    v.major = readNumber(p);
    if (*p != '.') return v;
    v.minor = readNumber(++p);
    if (*p != '.') return v;
    v.revision = readNumber(++p);
    return v;
}

bool extensionListed(const char* list, const char* name) {
    if (!list || !name || !*name || std::strchr(name, ' ')) return false;
    const std::size_t length = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += length) {
        const bool startsWord = p == list || p[-1] == ' ';
        const bool endsWord = p[length] == ' ' || p[length] == '\0';
        if (startsWord && endsWord) return true;
    }
    return false;
}

bool isSoftwareRenderer(const char* rendererName) {
    if (!rendererName) return false;
    static const char* const kSoftware[] = {"llvmpipe", "softpipe", "swrast", "Software Rasterizer"};
    for (const char* software : kSoftware) {
        if (std::strstr(rendererName, software)) return true;
    }
    return false;
}

}  // namespace velmar
