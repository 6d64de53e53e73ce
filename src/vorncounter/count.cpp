// SPDX-License-Identifier: GPL-3.0-or-later
#include "vorncounter/count.h"

#include <algorithm>
#include <climits>
#include <map>
#include <vector>

#include "base/util.h"
#include "counting/compute.h"
#include "counting/rules.h"
#include "picture/cells.h"

namespace vorn {

namespace {

// Path of the picture for cell `num` of `cnt`: a counter's count stands
// right-aligned in its cells with 0.gif before it, and a longer count
// loses its leading digits; a date or time has a cell per character.
std::string _count_getimagefilename(const Request& request, const CNT& cnt, int num) {
    const std::string dir = request.config.dir_digit + "/" + request.vdb.digit + "/";
    long index = num;
    if (request.vdb.mode.value == Mode::kCounter) {
        const long pad = cnt.stylelen - static_cast<long>(cnt.outstr.size());
        if (num < pad) return dir + "0.gif";
        index = num - pad;
    }
    return dir + cnt.outstr.at(static_cast<std::size_t>(index)) + ".gif";
}

// The text and cells of the request's mode.
CNT _count_text(Request& request) {
    const VDB& vdb = request.vdb;
    if (vdb.mode.value == Mode::kCounter) {
        // Cell 0 fixes the height, so at least one cell; the upper bound
        // keeps one request from reading pictures without limit.
        if (!vdb.cntlen.value) {
            support_errormsg("Invalid cntlen ('%s'): use 1 to %ld", vdb.cntlen.text.c_str(), kMaxCntlen);
        }
        if (!vdb.ago_total && !vdb.ago.value) support_errormsg("ago out of range ('%s')", vdb.ago.text.c_str());
        const std::optional<long> days_back = vdb.ago_total ? std::nullopt : vdb.ago.value;
        CNT cnt;
        cnt.outstr = compute_count(*request.counter, days_back, request.config, rules_visitor(request.channel),
                                   request.clock, &request.worker.bots);
        cnt.stylelen = static_cast<int>(*vdb.cntlen.value);
        return cnt;
    }
    if (!vdb.style.value) support_errormsg("Unknown style ('%s')", vdb.style.text.c_str());
    return compute_date(*vdb.style.value, request.clock);
}

}  // namespace

CNT count_text(Request& request) {
    // Refused requests must record no hit, so this check comes before the
    // count. A set name with "/" or ".." would reach pictures outside
    // dir_digit.
    if (!util_safename(request.vdb.digit)) {
        support_errormsg("Invalid digit set ('%s'): a name may not hold '/' or '..'", request.vdb.digit.c_str());
    }
    return _count_text(request);
}

GdImage count_makeimage(Request& request) { return count_draw(request, count_text(request)); }

GdImage count_draw(Request& request, const CNT& cnt) {
    // Each picture file is read and decoded once, however many cells show
    // its character: decoding is most of the work of a date or counter
    // answer. The widths add up to the width of the answer.
    std::map<std::string, std::shared_ptr<const gdImage>> decoded;
    std::vector<gdImagePtr> im_digit;
    im_digit.reserve(static_cast<std::size_t>(cnt.stylelen));
    int im_digit_size_x = 0;
    for (int i = 0; i < cnt.stylelen; ++i) {
        const std::string path = _count_getimagefilename(request, cnt, i);
        std::shared_ptr<const gdImage>& im = decoded[path];
        if (!im) {
            const auto found = vc_picture(request.worker, path);
            if (found.error != 0) support_errormsg("Image file open error. ('%s')", path.c_str());
            if (!found.value) support_errormsg("Image file decode error. ('%s')", path.c_str());
            im = found.value;
        }
        // gd reads a picture through a pointer it does not promise to keep
        // from changing; cells_copy only reads the cell.
        gdImagePtr cell = const_cast<gdImagePtr>(im.get());
        im_digit_size_x += gdImageSX(cell);
        im_digit.push_back(cell);
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
        cells_copy(im_out.get(), cell, im_digit_size_x, colors);
        im_digit_size_x += gdImageSX(cell);
    }
    return im_out;
}

}  // namespace vorn
