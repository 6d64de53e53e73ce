#include "count.h"

#include <algorithm>
#include <climits>
#include <map>
#include <utility>
#include <vector>

#include "compute.h"
#include "support.h"
#include "util.h"

namespace vorn {

void count_makeimage(const VDB& vdb, const CGICONFIG& cgiconfig) {
    // Refused requests must record no hit, so both checks come before
    // compute_count. A set name with "/" or ".." would reach pictures
    // outside dir_digit.
    if (!util_safename(vdb.digit)) {
        support_errormsg("Invalid digit set ('%s'): a name may not hold '/' or '..'", vdb.digit.c_str());
    }

    CNT cnt;
    if (vdb.mode == "counter") {
        // Cell 0 fixes the height, so at least one cell; the upper bound
        // keeps one request from reading pictures without limit.
        const long cntlen = util_tolong(vdb.cntlen);
        if (cntlen < 1 || cntlen > kMaxCntlen) {
            support_errormsg("Invalid cntlen ('%s'): use 1 to %ld", vdb.cntlen.c_str(), kMaxCntlen);
        }
        compute_count(vdb, cnt, cgiconfig);
    } else if (vdb.mode == "date") {
        compute_date(vdb, cnt);
    } else if (vdb.mode == "time") {
        compute_time(vdb, cnt);
    } else {
        support_errormsg("Unknown mode ('%s')", vdb.mode.c_str());
    }

    // Cell 0 gives the height. The text operations always fill at least one
    // cell; this guard only keeps a future one from reaching an empty array.
    if (cnt.stylelen < 1) support_errormsg("No cell to show in mode ('%s')", vdb.mode.c_str());

    // Each picture file is read and decoded once, however many cells show
    // its character: decoding is most of the work of a date or counter
    // answer. The widths add up to the width of the answer.
    std::map<std::string, GdImage> decoded;
    std::vector<gdImagePtr> im_digit;
    im_digit.reserve(static_cast<std::size_t>(cnt.stylelen));
    int im_digit_size_x = 0;
    for (int i = 0; i < cnt.stylelen; ++i) {
        const std::string path = _count_getimagefilename(vdb, cgiconfig, cnt.outstr, i);
        GdImage& im = decoded[path];
        if (!im) {
            FilePtr in = util_fopen(path, "rb");
            if (!in) support_errormsg("Image file open error. ('%s')", path.c_str());
            im = support_readgif(in.get());
            if (!im) support_errormsg("Image file decode error. ('%s')", path.c_str());
        }
        im_digit_size_x += gdImageSX(im.get());
        im_digit.push_back(im.get());
    }

    // A fresh palette image: its colours come only from the cells copied in,
    // and it carries no transparency or interlacing of theirs. gd cannot
    // hold more than INT_MAX pixels (and would complain on standard error),
    // so such a composition is refused here.
    const int height = gdImageSY(im_digit.front());
    GdImage im_out;
    if (im_digit_size_x <= INT_MAX / height) im_out.reset(gdImageCreate(im_digit_size_x, height));
    if (!im_out) support_errormsg("Image create error. (%dx%d)", im_digit_size_x, height);

    // Edge to edge, top-aligned; a cell taller than cell 0 is cut at the
    // bottom edge.
    im_digit_size_x = 0;
    CellColors colors;
    for (gdImagePtr cell : im_digit) {
        _count_copycell(im_out.get(), cell, im_digit_size_x, colors);
        im_digit_size_x += gdImageSX(cell);
    }

    support_writeimage(im_out.get());
}

void _count_copycell(gdImagePtr im_out, gdImagePtr cell, int x, CellColors& colors) {
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
    const int transparent = gdImageGetTransparent(cell);
    const int height = gdImageSY(im_out), width = gdImageSX(im_out);
    for (int y = 0; y < gdImageSY(cell); ++y) {
        for (int cx = 0; cx < gdImageSX(cell); ++cx) {
            const int c = cell->pixels[y][cx];
            if (c == transparent) continue;
            const std::uint32_t rgba = (static_cast<std::uint32_t>(gdImageRed(cell, c)) << 24) |
                                       (static_cast<std::uint32_t>(gdImageGreen(cell, c)) << 16) |
                                       (static_cast<std::uint32_t>(gdImageBlue(cell, c)) << 8) |
                                       static_cast<std::uint32_t>(gdImageAlpha(cell, c));
            auto [it, fresh] = colors.try_emplace(rgba, 0);
            if (fresh) {
                it->second = gdImageColorResolveAlpha(im_out, gdImageRed(cell, c), gdImageGreen(cell, c),
                                                      gdImageBlue(cell, c), gdImageAlpha(cell, c));
            }
            if (y < height && x + cx < width) im_out->pixels[y][x + cx] = static_cast<unsigned char>(it->second);
        }
    }
}

std::string _count_getimagefilename(const VDB& vdb, const CGICONFIG& cgiconfig,
                                    const std::string& outstr, int num) {
    const std::string dir = cgiconfig.dir_digit + "/" + vdb.digit + "/";
    long index = num;
    if (vdb.mode == "counter") {
        // The count stands right-aligned in cntlen cells: cells before it
        // show 0, and a longer count loses its leading digits.
        // count_makeimage refuses widths beyond these bounds; the clamp only
        // keeps the subtraction in range.
        const long cells = std::clamp(util_tolong(vdb.cntlen), 0L, kMaxCntlen);
        const long pad = cells - static_cast<long>(outstr.size());
        if (num < pad) return dir + "0.gif";
        index = num - pad;
    }
    return dir + outstr.at(static_cast<std::size_t>(index)) + ".gif";
}

}  // namespace vorn
