// RenderCaps: the render settings fixed during start-up (window size, texture
// detail, lighting, multitexturing, multisampling, cell cursor detection,
// shader support). The start-up sequence and the GL capability check write
// them on the main thread before any drawing; afterwards they never change and
// every rendering module reads them from any thread without a lock.
#pragma once

#include <cstdint>

namespace velmar {

struct RenderCaps {
    std::int32_t width = 0;   // window size in pixels
    std::int32_t height = 0;
    float widthF = 0.0f;
    float heightF = 0.0f;
    double widthD = 0.0;
    double heightD = 0.0;
    std::int32_t textureDetail = 3;    // 0 lowest .. 3 high
    std::int32_t staticLighting = 0;   // lightmaps on
    std::int32_t multitexture = 0;     // multitexturing on
    std::int32_t textureUnits = 1;     // units in use; 1 while multitexturing is off
    std::int32_t multisample = 0;
    std::int32_t altCellCursor = 0;    // alternate cell cursor detection
    std::uint8_t shaderSupport = 0;    // every GL 2.0 shader entry point present
};

// The process-wide record.
inline RenderCaps& renderCaps() {
    static RenderCaps caps;
    return caps;
}

// Stores the window size together with its floating-point copies.
inline void setRenderSize(RenderCaps& caps, std::int32_t width, std::int32_t height) {
    caps.width = width;
    caps.height = height;
    caps.widthF = static_cast<float>(width);
    caps.heightF = static_cast<float>(height);
    caps.widthD = width;
    caps.heightD = height;
}

}  // namespace velmar
