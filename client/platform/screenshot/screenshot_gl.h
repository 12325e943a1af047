// Reading the frame for a screenshot: the only GL call of the screenshot
// module, kept apart so the writer builds and tests without a GL context.
// Main thread, with the client's context current, before the buffers swap.
#pragma once

#include <cstdint>

namespace velmar {

// Reads width x height RGB pixels from the back buffer at (0, 0) into
// `pixels` (width x height x 3 bytes), rows packed, bottom row first.
// Matches FrameReader, so it can be passed to requestScreenshot().
void readFrameGL(int width, int height, std::uint8_t* pixels);

}  // namespace velmar
