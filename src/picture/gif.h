// SPDX-License-Identifier: GPL-3.0-or-later
// GIF pictures in and out: the pictures a site ships are read whole and
// decoded with gd; an answer's picture is encoded in memory.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include <gd.h>

namespace vorn {

// Owner of a gd image; destroys it when it goes out of scope.
struct GdImageDeleter {
    void operator()(gdImagePtr im) const { gdImageDestroy(im); }
};
using GdImage = std::unique_ptr<gdImage, GdImageDeleter>;

// Largest picture file read; a larger one is refused like a damaged one.
inline constexpr std::size_t kMaxPictureFile = 8 * 1024 * 1024;

// Decodes a whole GIF picture from an open stream; empty when it is no GIF,
// when it is cut short (it does not end with the GIF trailer byte), or when
// it is larger than kMaxPictureFile.
GdImage gif_read(std::FILE* in);

// Decodes the GIF picture of `bytes`; empty as for gif_read.
GdImage gif_decode(const std::string& bytes);

// Bytes a decoded picture holds in memory, about.
std::size_t gif_cost(gdImagePtr im);

// The GIF bytes of `im`, as gdImageGif writes them; empty when gd cannot
// encode the picture (no memory).
std::string gif_encode(gdImagePtr im);

}  // namespace vorn
