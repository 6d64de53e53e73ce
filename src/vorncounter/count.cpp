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

// Path of the picture for cell `num` of `cnt` in the digit set `set`: a
// counter's count stands right-aligned in its cells with 0.gif before it,
// and a longer count loses its leading digits; a date or time has a cell
// per character.
std::string _count_getimagefilename(const Request& request, const std::string& set, const CNT& cnt, int num) {
    const std::string dir = request.config.dir_digit + "/" + set + "/";
    long index = num;
    if (request.vdb.mode.value == Mode::kCounter) {
        const long pad = cnt.stylelen - static_cast<long>(cnt.outstr.size());
        if (num < pad) return dir + "0.gif";
        index = num - pad;
    }
    return dir + cnt.outstr.at(static_cast<std::size_t>(index)) + ".gif";
}

// The decoded pictures of the cells of a composition, each file read and
// decoded once however many cells show its character (decoding is most of
// the work of a date or counter answer), and the size they make up side
// by side.
struct CountCells {
    std::map<std::string, std::shared_ptr<const gdImage>> decoded;  // owns the pictures
    std::vector<gdImagePtr> cells;
    int width = 0;
    int height = 0;  // of cell 0
};

// Reads the pictures of the cells of `cnt` in the digit set `set` into
// `out`. Returns the message of the first picture that cannot be opened or
// decoded, or of a composition gd cannot hold; empty when all is well.
std::string _count_cells(Request& request, const std::string& set, const CNT& cnt, CountCells& out) {
    out.cells.reserve(static_cast<std::size_t>(cnt.stylelen));
    for (int i = 0; i < cnt.stylelen; ++i) {
        const std::string path = _count_getimagefilename(request, set, cnt, i);
        std::shared_ptr<const gdImage>& im = out.decoded[path];
        if (!im) {
            const auto found = vc_picture(request.worker, path);
            if (found.error != 0) return "Image file open error. ('" + path + "')";
            if (!found.value) return "Image file decode error. ('" + path + "')";
            im = found.value;
        }
        // gd reads a picture through a pointer it does not promise to keep
        // from changing; cells_copy only reads the cell.
        gdImagePtr cell = const_cast<gdImagePtr>(im.get());
        out.width += gdImageSX(cell);
        out.cells.push_back(cell);
    }
    out.height = gdImageSY(out.cells.front());
    // gd cannot hold more than INT_MAX pixels (and would complain on
    // standard error), so such a composition is refused here.
    if (out.width > INT_MAX / out.height) {
        return "Image create error. (" + std::to_string(out.width) + "x" + std::to_string(out.height) + ")";
    }
    return "";
}

// The cells of `cnt` in the request's digit set; throws ErrorAnswer with
// the message of _count_cells.
CountCells _count_requirecells(Request& request, const CNT& cnt) {
    CountCells cells;
    const std::string failure = _count_cells(request, request.vdb.digit, cnt, cells);
    if (!failure.empty()) support_errormsg("%s", failure.c_str());
    return cells;
}

// The cells side by side in a fresh palette image: its colours come only
// from the cells copied in, and it carries no transparency or interlacing
// of theirs. Edge to edge, top-aligned; a cell taller than cell 0 is cut at
// the bottom edge. None when gd cannot create the image.
GdImage _count_compose(const CountCells& cells) {
    GdImage im_out(gdImageCreate(cells.width, cells.height));
    if (!im_out) return im_out;
    int x = 0;
    CellColors colors;
    for (gdImagePtr cell : cells.cells) {
        cells_copy(im_out.get(), cell, x, colors);
        x += gdImageSX(cell);
    }
    return im_out;
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
        if (!vdb.count.value) {
            support_errormsg("Invalid count ('%s'): use yes or no", vdb.count.text.c_str());
        }
        const std::optional<long> days_back = vdb.ago_total ? std::nullopt : vdb.ago.value;
        const bool peek = !*vdb.count.value;
        // The counter's own rules, where it has a file of them, replace
        // the site's; they are read only for a visit that may count.
        const CGICONFIG config = days_back || peek
                                     ? request.config
                                     : config_readcounter(request.config, *vdb.vdb, request.worker.counters);
        COUNTED counted = compute_count(*request.counter, days_back, peek, config,
                                        rules_visitor(request.channel, config), request.clock, &request.worker.bots);
        request.uncounted = counted.uncounted;
        CNT cnt;
        cnt.outstr = std::move(counted.count);
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

void count_check(Request& request, const CNT& cnt) { _count_requirecells(request, cnt); }

GdImage count_draw(Request& request, const CNT& cnt) {
    const CountCells cells = _count_requirecells(request, cnt);
    GdImage im_out = _count_compose(cells);
    if (!im_out) support_errormsg("Image create error. (%dx%d)", cells.width, cells.height);
    return im_out;
}

GdImage count_drawtwin(Request& request, const CNT& cnt, gdImagePtr shown, const char* suffix, int factor) {
    CountCells cells;
    if (!_count_cells(request, request.vdb.digit + suffix, cnt, cells).empty()) return nullptr;
    // Only a twin of exactly the size asked for takes the picture's place
    // without stretching it.
    if (cells.width != factor * gdImageSX(shown) || cells.height != factor * gdImageSY(shown)) return nullptr;
    return _count_compose(cells);
}

}  // namespace vorn
