// The client's GL header and its capability check: the GL module, below
// both the window layer that fills it and the assets and scene that draw.
//
// Every module that calls GL includes this header. It declares the GL entry
// points that exist only as extensions or newer versions (multitexturing,
// texture compression, GL 2.0 shaders) as one process-wide table, null where
// absent. The check fills the table once on the main thread, right after the
// window opens, from the driver queries the window layer answers (GetGLExt()
// in window.h); from then on the table never changes and any thread may read
// it. Nothing here opens a window or talks to a window system.
//
// The window system hands out an address for any name, known to the driver or
// not, so an entry point counts as present only when the GL version or the
// extension that brings it is reported as well.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>

#include "client/core/render_caps.h"
#include "client/gl/gl_text.h"

namespace velmar {

#define VELMAR_GL_MULTITEXTURE_ENTRY_POINTS(X)                \
    X(PFNGLMULTITEXCOORD2IARBPROC, glMultiTexCoord2iARB)       \
    X(PFNGLMULTITEXCOORD3FARBPROC, glMultiTexCoord3fARB)       \
    X(PFNGLMULTITEXCOORD3FVARBPROC, glMultiTexCoord3fvARB)     \
    X(PFNGLMULTITEXCOORD2FARBPROC, glMultiTexCoord2fARB)       \
    X(PFNGLACTIVETEXTUREARBPROC, glActiveTextureARB)

#define VELMAR_GL_COMPRESSION_ENTRY_POINTS(X)                           \
    X(PFNGLCOMPRESSEDTEXIMAGE3DARBPROC, glCompressedTexImage3DARB)       \
    X(PFNGLCOMPRESSEDTEXIMAGE2DARBPROC, glCompressedTexImage2DARB)       \
    X(PFNGLCOMPRESSEDTEXIMAGE1DARBPROC, glCompressedTexImage1DARB)       \
    X(PFNGLCOMPRESSEDTEXSUBIMAGE3DARBPROC, glCompressedTexSubImage3DARB) \
    X(PFNGLCOMPRESSEDTEXSUBIMAGE2DARBPROC, glCompressedTexSubImage2DARB) \
    X(PFNGLCOMPRESSEDTEXSUBIMAGE1DARBPROC, glCompressedTexSubImage1DARB) \
    X(PFNGLGETCOMPRESSEDTEXIMAGEARBPROC, glGetCompressedTexImageARB)

// In the order they are looked up.
#define VELMAR_GL_SHADER_ENTRY_POINTS(X)                       \
    X(PFNGLCREATEPROGRAMPROC, glCreateProgram)                 \
    X(PFNGLDELETEPROGRAMPROC, glDeleteProgram)                 \
    X(PFNGLCREATESHADERPROC, glCreateShader)                   \
    X(PFNGLDELETESHADERPROC, glDeleteShader)                   \
    X(PFNGLSHADERSOURCEPROC, glShaderSource)                   \
    X(PFNGLCOMPILESHADERPROC, glCompileShader)                 \
    X(PFNGLATTACHSHADERPROC, glAttachShader)                   \
    X(PFNGLDETACHSHADERPROC, glDetachShader)                   \
    X(PFNGLLINKPROGRAMPROC, glLinkProgram)                     \
    X(PFNGLGETINFOLOGARBPROC, glGetInfoLogARB)                 \
    X(PFNGLGETSHADERIVPROC, glGetShaderiv)                     \
    X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog)           \
    X(PFNGLGETPROGRAMIVPROC, glGetProgramiv)                   \
    X(PFNGLGETPROGRAMINFOLOGPROC, glGetProgramInfoLog)         \
    X(PFNGLUSEPROGRAMPROC, glUseProgram)                       \
    X(PFNGLUNIFORM1FPROC, glUniform1f)                         \
    X(PFNGLUNIFORM2FPROC, glUniform2f)                         \
    X(PFNGLUNIFORM3FPROC, glUniform3f)                         \
    X(PFNGLUNIFORM4FPROC, glUniform4f)                         \
    X(PFNGLUNIFORM1IPROC, glUniform1i)                         \
    X(PFNGLUNIFORM2IPROC, glUniform2i)                         \
    X(PFNGLUNIFORM3IPROC, glUniform3i)                         \
    X(PFNGLUNIFORM4IPROC, glUniform4i)                         \
    X(PFNGLUNIFORM1FVPROC, glUniform1fv)                       \
    X(PFNGLUNIFORM2FVPROC, glUniform2fv)                       \
    X(PFNGLUNIFORM3FVPROC, glUniform3fv)                       \
    X(PFNGLUNIFORM4FVPROC, glUniform4fv)                       \
    X(PFNGLUNIFORM1IVPROC, glUniform1iv)                       \
    X(PFNGLUNIFORM2IVPROC, glUniform2iv)                       \
    X(PFNGLUNIFORM3IVPROC, glUniform3iv)                       \
    X(PFNGLUNIFORM4IVPROC, glUniform4iv)                       \
    X(PFNGLUNIFORMMATRIX2FVPROC, glUniformMatrix2fv)           \
    X(PFNGLUNIFORMMATRIX3FVPROC, glUniformMatrix3fv)           \
    X(PFNGLUNIFORMMATRIX4FVPROC, glUniformMatrix4fv)           \
    X(PFNGLGETUNIFORMLOCATIONPROC, glGetUniformLocation)       \
    X(PFNGLGETACTIVEUNIFORMPROC, glGetActiveUniform)           \
    X(PFNGLGETUNIFORMFVPROC, glGetUniformfv)                   \
    X(PFNGLGETUNIFORMIVPROC, glGetUniformiv)

#define VELMAR_GL_ENTRY_POINT_MEMBER(type, name) type name = nullptr;

struct GLEntryPoints {
    VELMAR_GL_MULTITEXTURE_ENTRY_POINTS(VELMAR_GL_ENTRY_POINT_MEMBER)
    VELMAR_GL_COMPRESSION_ENTRY_POINTS(VELMAR_GL_ENTRY_POINT_MEMBER)
    VELMAR_GL_SHADER_ENTRY_POINTS(VELMAR_GL_ENTRY_POINT_MEMBER)
};

#undef VELMAR_GL_ENTRY_POINT_MEMBER

// The process-wide table.
GLEntryPoints& glEntryPoints();

// What the check asks of the driver; the window layer answers for the real one.
struct GLDriverQueries {
    const char* versionText;
    bool (*extensionSupported)(const char* name);
    void* (*procAddress)(const char* name);
    int (*maxTextureUnits)();
};

// The capability check: GL 1.2 and ARB texture compression are required
// (a missing one shows its box and fails); multitexturing and shaders are
// optional and reported in `caps` (multitexture, textureUnits, shaderSupport).
// Each missing shader entry point of a GL 2 driver logs "GetGLExt: <name>".
bool GetGLExt(const GLDriverQueries& driver, GLEntryPoints& table, RenderCaps& caps);

}  // namespace velmar
