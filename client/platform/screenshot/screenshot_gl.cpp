#include "client/platform/screenshot/screenshot_gl.h"

#include "client/gl/gl_ext.h"

namespace velmar {

void readFrameGL(int width, int height, std::uint8_t* pixels) {
    // Rows are packed 3 bytes a pixel; the default 4-byte row alignment would
    // write past the buffer for widths that are not a multiple of 4.
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
}

}  // namespace velmar
