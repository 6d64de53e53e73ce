// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/errorimage.h"

#include <gdfonts.h>

#include "base/support.h"

namespace vorn {

namespace {

// Geometry of the error image: gdFontSmall is 6 pixels wide per character,
// the text stands 6 pixels in and 4 down inside a 21-pixel strip.
constexpr int kErrorCharWidth = 6;
constexpr int kErrorMargin = 12;
constexpr int kErrorHeight = 21;
constexpr int kErrorTextX = 6;
constexpr int kErrorTextY = 4;

struct Rgb {
    int r, g, b;
};
// Allocated in this order, so the background is palette index 0 and the
// GIF carries the four colours in this order.
constexpr Rgb kErrorBackground{0, 0, 0};
constexpr Rgb kErrorReflection{207, 207, 255};
constexpr Rgb kErrorShadow{79, 79, 255};
constexpr Rgb kErrorText{0, 255, 0};

int allocate(gdImagePtr im, Rgb c) { return gdImageColorAllocate(im, c.r, c.g, c.b); }

}  // namespace

GdImage errorimage_draw(const std::string& message) {
    const std::string text = message.substr(0, kMaxErrorMessage);
    const int w = kErrorCharWidth * static_cast<int>(text.size()) + kErrorMargin;
    GdImage im(gdImageCreate(w, kErrorHeight));
    if (!im) return im;
    gdImagePtr p = im.get();
    const int background = allocate(p, kErrorBackground);
    const int reflection = allocate(p, kErrorReflection);
    const int shadow = allocate(p, kErrorShadow);
    const int textcolor = allocate(p, kErrorText);

    // Raised outer frame, sunken inner frame; where two lines share a
    // corner the later one colours it.
    const int b = kErrorHeight - 1;
    gdImageLine(p, 0, 0, w - 1, 0, reflection);
    gdImageLine(p, 2, 2, w - 3, 2, shadow);
    gdImageLine(p, 0, 0, 0, b, reflection);
    gdImageLine(p, 2, 2, 2, b - 2, shadow);
    gdImageLine(p, 0, b, w - 1, b, shadow);
    gdImageLine(p, 2, b - 2, w - 3, b - 2, reflection);
    gdImageLine(p, w - 1, 0, w - 1, b, shadow);
    gdImageLine(p, w - 3, 2, w - 3, b - 2, reflection);

    std::string drawn = text;  // gdImageString takes a mutable text
    gdImageString(p, gdFontGetSmall(), kErrorTextX, kErrorTextY,
                  reinterpret_cast<unsigned char*>(drawn.data()), textcolor);

    // Only marks the entries free; the pixels and the four palette entries
    // the GIF carries stay as drawn.
    gdImageColorDeallocate(p, reflection);
    gdImageColorDeallocate(p, shadow);
    gdImageColorDeallocate(p, background);
    gdImageColorDeallocate(p, textcolor);
    return im;
}

}  // namespace vorn
