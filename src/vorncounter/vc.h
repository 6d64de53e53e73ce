// SPDX-License-Identifier: GPL-3.0-or-later
// The counter program: a request read and checked once, at the edge, and
// handed to the picture of its mode.
//
// The program answers one CGI request (a loop of one) or, started on a
// listening socket, FastCGI request after request (web/fastcgi.h). Each
// request is a value of its own, owned by the call that answers it: its
// channel, its parameters, the site's configuration read for it, and the
// moment it is answered. Nothing of it outlives the answer.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/filecache.h"
#include "base/support.h"
#include "base/zone.h"
#include "config/config.h"
#include "counting/compute.h"
#include "counting/rules.h"
#include "metrics/metrics.h"
#include "metrics/metricsfile.h"
#include "picture/badge.h"
#include "picture/gif.h"
#include "store/store.h"
#include "web/channel.h"

namespace vorn {

// The header that precedes every picture answer, byte for byte. HTTP/1.1
// caches and image proxies ignore Pragma in an answer and keep an answer
// without Cache-Control for as long as they like, which freezes a counter:
// Cache-Control tells them to ask again every time.
inline constexpr char kImageHeader[] =
    "Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/gif\n\n";

// Most cells one counter picture may have; a larger cntlen is refused.
inline constexpr long kMaxCntlen = 64;

// kMetrics and kHealth only for the addresses of METRICS_ADDR
// (vorncounter/watch.h); to any other they are unknown modes.
enum class Mode { kCounter, kDate, kTime, kStat, kMetrics, kHealth };
// What an answer is: the picture, the picture in an SVG document, the
// figures as JSON (vorncounter/formats.h), a badge (picture/badge.h) or
// shields.io's endpoint JSON of that badge.
enum class Format { kGif, kSvg, kJson, kBadge, kShields };

// Largest scale of an SVG answer.
inline constexpr long kMaxScale = 8;
// Longest label of a badge, in characters.
inline constexpr std::size_t kMaxLabel = 100;
enum class When { kYear, kMonth, kDay };

// A request parameter as it was given, and what it means where it means
// something: the text stays for the messages that name it.
template <typename T>
struct Parsed {
    std::string text;
    std::optional<T> value;
};

// The request record: each field is the request parameter of the same name
// or its default, read and parsed once.
struct VDB {
    std::optional<std::string> vdb;  // the counter; absent when not given
    std::string digit;               // the digit set
    Parsed<Mode> mode;               // none for any other text
    Parsed<ImageStyle> style;        // of the date or time style letter of mode date or time
    Parsed<long> ago;                // days back; none for "total" (or one out of range)
    bool ago_total = true;           // ago is "total": the visit counts
    Parsed<When> when;               // none for any other text
    std::string date;                // the day the chart is about
    Parsed<long> cntlen;             // the cells of a counter; none outside 1 to 64
    Parsed<Format> format;           // none for any other text
    Parsed<long> scale;              // of an SVG answer; none but for a whole number 1 to 8
    Parsed<bool> count;              // a counter's visit counts (yes) or it is only shown (no)
    // A badge's and its shields answer's look; abbr and darkmode also of an SVG answer.
    std::optional<std::string> label;  // the badge's label; absent: the mode's own
    Parsed<std::string> color;         // of the value, "#rrggbb"; none for an unknown colour
    Parsed<std::string> label_color;   // of the label
    Parsed<BadgeStyle> badge;          // the badge's style
    Parsed<bool> abbr;                 // counts in short (yes) or grouped (no)
    Parsed<bool> darkmode;             // colours for dark pages inside the SVG (auto) or not (no)
};

// What a worker keeps between requests, owned by the loop that serves
// them: copies of what does not change from one request to the next (the
// configuration, the robot list, the decoded digit pictures and chart
// backgrounds), each checked against its file at every request
// (base/filecache.h) and bounded, the least recently used going first.
// Nothing of a request of its own (parameters, counts, locks, answers) is
// kept. A CGI run, which answers one request, keeps nothing.
struct Worker {
    // `keep`: a persistent worker; otherwise each request reads its files.
    explicit Worker(bool keep);

    const bool keeps;  // a persistent worker
    FileCache<CGICONFIG> config;
    FileCache<std::vector<std::string>> bots;
    FileCache<gdImage> pictures;
    // The counters' own rules (conf/counters/NAME.conf).
    FileCache<EntryList> counters;
    // The connections to a Redis store's nodes (and a cluster's map).
    StoreKeep store;
    // The site's TIMEZONE, set for each request and read again when its
    // zone file changes.
    LocalZone zone;
    // The metrics file (METRICS) the worker adds to, and what it has added
    // of itself: its start, and the state of each of its caches (config,
    // bots, pictures, counters).
    MetricsKeep metrics;
    bool metrics_started = false;
    MetricsCacheState metrics_added[4];
    // The moment each request is answered at. The programs keep the
    // system's clock; an in-process caller (the documentation's picture
    // renderer) fixes it to draw the same answers on any day.
    std::function<Clock()> clock = &Clock::system;
};

// The picture of the file `path`, decoded, through the worker's pictures;
// none with `error` the errno of a file that cannot be opened (0: it is no
// whole GIF).
FileCache<gdImage>::Found vc_picture(Worker& worker, const std::string& path);

// A picture of the file `path` of the request's own, to draw on: a copy of
// the one `worker` keeps, or where it keeps nothing (a CGI run) the file
// decoded for this request alone. `error` as for vc_picture.
struct OwnPicture {
    GdImage image;
    int error = 0;
};
OwnPicture vc_ownpicture(Worker& worker, const std::string& path);

// One request being answered.
struct Request {
    RequestChannel& channel;
    Worker& worker;
    Clock clock;
    CGICONFIG config;
    VDB vdb;
    // The counter of the modes that read one (all but date and time).
    std::unique_ptr<Counter> counter;
    // Why a counter request counted no visit; none when it counted one.
    std::optional<Uncounted> uncounted = std::nullopt;
};

// The request record of the parameters `params`: each parameter or its
// default (the digit set and cntlen from `config`, the date from `clock`),
// parsed once. Only the first letter of a style counts; cntlen and ago are
// read as strtol reads them.
VDB vc_parse(const EntryList& params, const CGICONFIG& config, const Clock& clock);

// The program: started by a FastCGI process manager (a listening socket as
// standard input) it serves FastCGI requests until it is asked to end, and
// on SIGHUP starts itself anew (argv[0], with `argv`) on the same socket;
// otherwise it answers the one CGI request of its environment. Returns the
// exit status: for a CGI run 0 for an answer, 1 for an error image.
int vc_main(int argc, char** argv);

// Answers the request on `channel` with what `worker` keeps: the console
// lines when it has no REMOTE_ADDR, else the picture or the error image.
// Returns 0 for an answer or the console lines, 1 for an error image.
int vc_answer(RequestChannel& channel, Worker& worker);

}  // namespace vorn
