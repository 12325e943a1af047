#include "client/gl/gl_ext.h"

#include <cstring>

#include "client/core/log.h"
#include "client/gl/gl_text.h"
#include "shared/message_box.h"

namespace velmar {

namespace {

// Looked up only when the driver says it knows the name.
template <typename Fn>
bool lookUp(const GLDriverQueries& driver, bool known, const char* name, Fn& slot) {
    void* address = known ? driver.procAddress(name) : nullptr;
    slot = reinterpret_cast<Fn>(address);
    return slot != nullptr;
}

bool lookUpMultitexture(const GLDriverQueries& driver, GLEntryPoints& t) {
    const bool known = driver.extensionSupported("GL_ARB_multitexture");
    bool all = true;
#define VELMAR_LOOK_UP(type, name) all = lookUp(driver, known, #name, t.name) && all;
    VELMAR_GL_MULTITEXTURE_ENTRY_POINTS(VELMAR_LOOK_UP)
#undef VELMAR_LOOK_UP
    return known && all;
}

bool lookUpCompression(const GLDriverQueries& driver, GLEntryPoints& t) {
    bool all = true;
#define VELMAR_LOOK_UP(type, name) all = lookUp(driver, true, #name, t.name) && all;
    VELMAR_GL_COMPRESSION_ENTRY_POINTS(VELMAR_LOOK_UP)
#undef VELMAR_LOOK_UP
    return all;
}

// GL 2.0 brings every name but the info-log query, which comes with the ARB
// shader objects.
bool shaderNameKnown(const char* name, bool shaderObjects) {
    return std::strcmp(name, "glGetInfoLogARB") != 0 || shaderObjects;
}

bool lookUpShaders(const GLDriverQueries& driver, GLEntryPoints& t) {
    const bool shaderObjects = driver.extensionSupported("GL_ARB_shader_objects");
    bool all = true;
#define VELMAR_LOOK_UP(type, name)                                              \
    if (!lookUp(driver, shaderNameKnown(#name, shaderObjects), #name, t.name)) { \
        Message(kLogInfo, "GetGLExt: %s", #name);                               \
        all = false;                                                            \
    }
    VELMAR_GL_SHADER_ENTRY_POINTS(VELMAR_LOOK_UP)
#undef VELMAR_LOOK_UP
    return all;
}

void showVideoError(const char* text, const char* caption) {
    quask::showMessageBox(text, caption, quask::BoxIcon::Error, quask::BoxButtons::Ok);
}

}  // namespace

GLEntryPoints& glEntryPoints() {
    static GLEntryPoints table;
    return table;
}

bool GetGLExt(const GLDriverQueries& driver, GLEntryPoints& table, RenderCaps& caps) {
    table = GLEntryPoints{};
    caps.multitexture = 0;
    caps.textureUnits = 1;
    caps.shaderSupport = 0;
    const GLVersion version = parseGLVersion(driver.versionText);
    if (version.major <= 0 || (version.major == 1 && version.minor <= 1)) {
        showVideoError(
            "Your Video Hardware does not support OpenGL 1.2 or later, please ensure that you have "
            "installed the latest Driver for your Video Card, and that it is configured Properly.",
            "Video: OpenGL Support Error");
        return false;
    }
    const bool compression = driver.extensionSupported("GL_ARB_texture_compression");
    if (compression) {
        if (lookUpMultitexture(driver, table)) {
            caps.multitexture = 1;
            caps.textureUnits = driver.maxTextureUnits();
        }
        if (lookUpCompression(driver, table)) {
            if (version.major >= 2) caps.shaderSupport = lookUpShaders(driver, table) ? 1 : 0;
            return true;
        }
    }
    showVideoError("Your Graphics Adapter lacks support for Texture Compression!\n\nPlease contact support!",
                   "Video: Error");
    return false;
}

}  // namespace velmar
