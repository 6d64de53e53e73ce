#include "picture/gif.h"

#include <optional>

#include "base/util.h"

namespace vorn {

GdImage gif_read(std::FILE* in) {
    // gd returns whatever part of a cut-off picture it managed to decode; a
    // damaged file would then show as a half-drawn counter or chart. Only a
    // stream that ends with the GIF trailer is handed to the decoder.
    constexpr unsigned char kGifTrailer = 0x3B;
    std::optional<std::string> data = util_readall(in, kMaxPictureFile);
    if (!data || data->empty() || static_cast<unsigned char>(data->back()) != kGifTrailer) return nullptr;
    return GdImage(gdImageCreateFromGifPtr(static_cast<int>(data->size()), data->data()));
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
