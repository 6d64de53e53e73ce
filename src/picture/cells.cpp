// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/cells.h"

#include <algorithm>
#include <iterator>

namespace vorn {

void cells_copy(gdImagePtr im_out, gdImagePtr cell, int x, CellColors& colors) {
    if (gdImageTrueColor(cell) || gdImageTrueColor(im_out)) {
        gdImageCopy(im_out, cell, x, 0, 0, 0, gdImageSX(cell), gdImageSY(cell));
        return;
    }
    // What gdImageCopy does for two palette images, pixel for pixel: the
    // colours are resolved in the picture's scan order (also in rows cut
    // off below the answer, whose colours gdImageCopy allocates all the
    // same), transparent pixels are skipped, and each colour is resolved by
    // gd itself. A colour is resolved once per answer instead of once per
    // cell, which gives the same index: the palette only grows.
    // The answer's index of each of the cell's palette indices, found the
    // first time the index is met in scan order (-1: not met yet).
    int index[gdMaxColors];
    std::fill(std::begin(index), std::end(index), -1);
    const int transparent = gdImageGetTransparent(cell);
    const int height = gdImageSY(im_out), width = gdImageSX(im_out);
    for (int y = 0; y < gdImageSY(cell); ++y) {
        const unsigned char* row = cell->pixels[y];
        for (int cx = 0; cx < gdImageSX(cell); ++cx) {
            const int c = row[cx];
            if (c == transparent) continue;
            if (index[c] < 0) {
                const std::uint32_t rgba = (static_cast<std::uint32_t>(gdImageRed(cell, c)) << 24) |
                                           (static_cast<std::uint32_t>(gdImageGreen(cell, c)) << 16) |
                                           (static_cast<std::uint32_t>(gdImageBlue(cell, c)) << 8) |
                                           static_cast<std::uint32_t>(gdImageAlpha(cell, c));
                auto [it, fresh] = colors.try_emplace(rgba, 0);
                if (fresh) {
                    it->second = gdImageColorResolveAlpha(im_out, gdImageRed(cell, c), gdImageGreen(cell, c),
                                                          gdImageBlue(cell, c), gdImageAlpha(cell, c));
                }
                index[c] = it->second;
            }
            if (y < height && x + cx < width) im_out->pixels[y][x + cx] = static_cast<unsigned char>(index[c]);
        }
    }
}

}  // namespace vorn
