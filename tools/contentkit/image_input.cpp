// Source pictures for the writers: stb_image decodes what content authors
// paint in (PNG, TGA, BMP).
#include "tools/contentkit/image.h"

#include <climits>
#include <cstring>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_TGA
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#include <stb/stb_image.h>

namespace contentkit {

bool decodeImage(const std::uint8_t* data, std::size_t len, Image* out, std::string* error) {
    if (len == 0 || len > static_cast<std::size_t>(INT_MAX)) {
        *error = "not a picture (empty or too large)";
        return false;
    }
    int w = 0, h = 0, channels = 0;
    // Refuse oversized pictures before stb allocates for them.
    if (!stbi_info_from_memory(data, static_cast<int>(len), &w, &h, &channels)) {
        *error = std::string("cannot decode picture: ") + stbi_failure_reason();
        return false;
    }
    if (w <= 0 || h <= 0 || w > kMaxImageEdge || h > kMaxImageEdge) {
        *error = "picture is " + std::to_string(w) + "x" + std::to_string(h) +
                 ", each side must be 1.." + std::to_string(kMaxImageEdge);
        return false;
    }
    stbi_uc* pixels = stbi_load_from_memory(data, static_cast<int>(len), &w, &h, &channels, 4);
    if (!pixels) {
        *error = std::string("cannot decode picture: ") + stbi_failure_reason();
        return false;
    }
    *out = Image(w, h);
    std::memcpy(out->rgba.data(), pixels, out->rgba.size());
    stbi_image_free(pixels);
    return true;
}

}  // namespace contentkit
