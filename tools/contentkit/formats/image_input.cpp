// Source pictures for the writers: stb_image decodes what content authors
// paint in (PNG, TGA, BMP).
#include "tools/contentkit/formats/image.h"

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

namespace {

bool refused(std::string* error) {
    *error = std::string("cannot decode picture: ") + stbi_failure_reason();
    return false;
}

bool checkPicture(const std::uint8_t* data, std::size_t len, int* w, int* h, std::string* error) {
    int channels = 0;
    if (len == 0 || len > static_cast<std::size_t>(INT_MAX)) {
        *error = "not a picture (empty or too large)";
        return false;
    }
    // Refuse oversized pictures before stb allocates for them.
    if (!stbi_info_from_memory(data, static_cast<int>(len), w, h, &channels)) return refused(error);
    if (*w <= 0 || *h <= 0 || *w > kMaxImageEdge || *h > kMaxImageEdge) {
        *error = "picture is " + std::to_string(*w) + "x" + std::to_string(*h) + ", each side must be 1.." +
                 std::to_string(kMaxImageEdge);
        return false;
    }
    return true;
}

}  // namespace

bool decodeGrey16(const std::uint8_t* data, std::size_t len, GreyImage* out, std::string* error) {
    int w = 0, h = 0, channels = 0;
    if (!checkPicture(data, len, &w, &h, error)) return false;
    stbi_us* pixels = stbi_load_16_from_memory(data, static_cast<int>(len), &w, &h, &channels, 1);
    if (!pixels) return refused(error);
    out->width = w;
    out->height = h;
    out->values.assign(pixels, pixels + static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    stbi_image_free(pixels);
    return true;
}

bool decodeImage(const std::uint8_t* data, std::size_t len, Image* out, std::string* error) {
    int w = 0, h = 0, channels = 0;
    if (!checkPicture(data, len, &w, &h, error)) return false;
    stbi_uc* pixels = stbi_load_from_memory(data, static_cast<int>(len), &w, &h, &channels, 4);
    if (!pixels) return refused(error);
    *out = Image(w, h);
    std::memcpy(out->rgba.data(), pixels, out->rgba.size());
    stbi_image_free(pixels);
    return true;
}

}  // namespace contentkit
