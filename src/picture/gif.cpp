// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/gif.h"

#include <optional>

#include "base/util.h"

namespace vorn {

GdImage gif_read(std::FILE* in) {
    std::optional<std::string> data = util_readall(in, kMaxPictureFile);
    return data ? gif_decode(*data) : nullptr;
}

GdImage gif_decode(const std::string& bytes) {
    // gd returns whatever part of a cut-off picture it managed to decode; a
    // damaged file would then show as a half-drawn counter or chart. Only
    // bytes that end with the GIF trailer are handed to the decoder.
    constexpr unsigned char kGifTrailer = 0x3B;
    if (bytes.empty() || bytes.size() > kMaxPictureFile || static_cast<unsigned char>(bytes.back()) != kGifTrailer) {
        return nullptr;
    }
    return GdImage(gdImageCreateFromGifPtr(static_cast<int>(bytes.size()), const_cast<char*>(bytes.data())));
}

std::size_t gif_cost(gdImagePtr im) {
    const std::size_t rows = static_cast<std::size_t>(gdImageSY(im));
    const std::size_t row = static_cast<std::size_t>(gdImageSX(im)) * (gdImageTrueColor(im) ? 4 : 1);
    return sizeof(gdImage) + rows * (row + sizeof(void*) + 16);
}

std::string gif_encode(gdImagePtr im) {
    int size = 0;
    void* gif = gdImageGifPtr(im, &size);
    if (!gif) return "";
    std::string bytes(static_cast<const char*>(gif), static_cast<std::size_t>(size));
    gdFree(gif);
    return bytes;
}

}  // namespace vorn
