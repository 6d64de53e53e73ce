// SPDX-License-Identifier: GPL-3.0-or-later
#include "vorncounter/vc.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/text.h"
#include "base/util.h"
#include "counting/rules.h"
#include "metrics/timedstore.h"
#include "picture/badge.h"
#include "picture/errorimage.h"
#include "picture/gif.h"
#include "vorncounter/count.h"
#include "vorncounter/formats.h"
#include "vorncounter/statistics.h"
#include "vorncounter/watch.h"
#include "web/fastcgi.h"
#include "web/query.h"

namespace vorn {

namespace {

// "본 프로그램은 CGI 프로그램으로 웹 브라우저 상에서만 실행됩니다." in EUC-KR
// (this program is a CGI program and runs only from a web browser). Kept as
// bytes so the console shows it whatever encoding this source is read in.
constexpr char kConsoleNotice[] =
    "\xba\xbb\x20\xc7\xc1\xb7\xce\xb1\xd7\xb7\xa5\xc0\xba\x20\x43\x47"
    "\x49\x20\xc7\xc1\xb7\xce\xb1\xd7\xb7\xa5\xc0\xb8\xb7\xce\x20\xc0"
    "\xa5\x20\xba\xea\xb6\xf3\xbf\xec\xc0\xfa\x20\xbb\xf3\xbf\xa1\xbc"
    "\xad\xb8\xb8\x20\xbd\xc7\xc7\xe0\xb5\xcb\xb4\xcf\xb4\xd9\x2e\x0a";

// Parameter defaults; the digit set and cell count come from the
// configuration, the date from the clock.
constexpr char kDefaultMode[] = "counter";
constexpr char kDefaultStyle[] = "a";
constexpr char kAgoTotal[] = "total";
constexpr char kDefaultWhen[] = "month";
constexpr char kDefaultFormat[] = "gif";
constexpr char kDefaultScale[] = "1";
constexpr char kDefaultCount[] = "yes";
constexpr char kDefaultColor[] = "blue";
constexpr char kDefaultLabelColor[] = "grey";
constexpr char kDefaultBadge[] = "flat";
constexpr char kDefaultAbbr[] = "no";
constexpr char kDefaultDarkmode[] = "no";
// A badge's label when the request names none, by mode; "error" for the
// error badge of a request whose mode is not known.
constexpr char kCounterLabel[] = "visitors";
constexpr char kDateLabel[] = "date";
constexpr char kTimeLabel[] = "time";
constexpr char kStatLabel[] = "statistics";
constexpr char kErrorLabel[] = "error";
// The operator's modes (vorncounter/watch.h).
constexpr char kModeMetrics[] = "metrics";
constexpr char kModeHealth[] = "health";

// What a persistent worker keeps at most: 32 MiB in all.
constexpr std::size_t kConfigBudget = 2 * 1024 * 1024;
constexpr std::size_t kBotsBudget = 2 * 1024 * 1024;
constexpr std::size_t kPictureBudget = 27 * 1024 * 1024;
constexpr std::size_t kCountersBudget = 1024 * 1024;

// The request parameter `name`, or `fallback` when the request lacks it. A
// parameter present with an empty value keeps the empty value.
std::string _vc_parameter(const EntryList& params, const char* name, const std::string& fallback) {
    return util_getvalue(params, name).value_or(fallback);
}

// The parameter `name` (or `fallback`) and what `parse` reads in it.
template <typename Parse>
auto _vc_parsed(const EntryList& params, const char* name, const char* fallback, Parse parse) {
    std::string text = _vc_parameter(params, name, fallback);
    auto value = parse(text);
    return Parsed<typename decltype(value)::value_type>{std::move(text), std::move(value)};
}

std::optional<Mode> _vc_mode(const std::string& text) {
    if (text == "counter") return Mode::kCounter;
    if (text == "date") return Mode::kDate;
    if (text == "time") return Mode::kTime;
    if (text == "stat") return Mode::kStat;
    return std::nullopt;
}

std::optional<Format> _vc_format(const std::string& text) {
    if (text == "gif") return Format::kGif;
    if (text == "svg") return Format::kSvg;
    if (text == "json") return Format::kJson;
    if (text == "badge") return Format::kBadge;
    if (text == "shields") return Format::kShields;
    return std::nullopt;
}

// A whole number from 1 to kMaxScale, digits only.
std::optional<long> _vc_scale(const std::string& text) {
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const long scale = util_tolong(text);
    if (scale < 1 || scale > kMaxScale) return std::nullopt;
    return scale;
}

std::optional<bool> _vc_yesno(const std::string& text) {
    if (text == "yes") return true;
    if (text == "no") return false;
    return std::nullopt;
}

std::optional<bool> _vc_darkmode(const std::string& text) {
    if (text == "auto") return true;
    if (text == "no") return false;
    return std::nullopt;
}

// The metrics' name of a mode; none is "other".
MetricsMode _vc_metricsmode(std::optional<Mode> mode) {
    if (!mode) return MetricsMode::kOther;
    switch (*mode) {
        case Mode::kCounter: return MetricsMode::kCounter;
        case Mode::kDate: return MetricsMode::kDate;
        case Mode::kTime: return MetricsMode::kTime;
        case Mode::kStat: return MetricsMode::kStat;
        case Mode::kMetrics: return MetricsMode::kMetrics;
        case Mode::kHealth: return MetricsMode::kHealth;
    }
    return MetricsMode::kOther;
}

std::optional<When> _vc_when(const std::string& text) {
    if (text == "year") return When::kYear;
    if (text == "month") return When::kMonth;
    if (text == "day") return When::kDay;
    return std::nullopt;
}

}  // namespace

VDB vc_parse(const EntryList& params, const CGICONFIG& config, const Clock& clock) {
    VDB vdb;
    vdb.vdb = util_getvalue(params, "vdb");
    vdb.digit = _vc_parameter(params, "digit", config.default_digit);
    vdb.mode.text = _vc_parameter(params, "mode", kDefaultMode);
    vdb.mode.value = _vc_mode(vdb.mode.text);
    vdb.style.text = _vc_parameter(params, "style", kDefaultStyle);
    if (!vdb.style.text.empty() && vdb.mode.value == Mode::kDate) vdb.style.value = compute_datestyle(vdb.style.text[0]);
    if (!vdb.style.text.empty() && vdb.mode.value == Mode::kTime) vdb.style.value = compute_timestyle(vdb.style.text[0]);
    vdb.ago.text = _vc_parameter(params, "ago", kAgoTotal);
    vdb.ago_total = vdb.ago.text == kAgoTotal;
    if (const long days = util_tolong(vdb.ago.text); !vdb.ago_total && days >= -kMaxAgoDays && days <= kMaxAgoDays) {
        vdb.ago.value = days;
    }
    vdb.when.text = _vc_parameter(params, "when", kDefaultWhen);
    vdb.when.value = _vc_when(vdb.when.text);
    vdb.date = util_getvalue(params, "date").value_or(support_returntime(clock, TimeStyle::kDay, 0));
    vdb.cntlen.text = _vc_parameter(params, "cntlen", config.default_cntlen);
    if (const long cells = util_tolong(vdb.cntlen.text); cells >= 1 && cells <= kMaxCntlen) vdb.cntlen.value = cells;
    vdb.format.text = _vc_parameter(params, "format", kDefaultFormat);
    vdb.format.value = _vc_format(vdb.format.text);
    vdb.scale.text = _vc_parameter(params, "scale", kDefaultScale);
    vdb.scale.value = _vc_scale(vdb.scale.text);
    vdb.count.text = _vc_parameter(params, "count", kDefaultCount);
    vdb.count.value = _vc_yesno(vdb.count.text);
    vdb.label = util_getvalue(params, "label");
    vdb.color = _vc_parsed(params, "color", kDefaultColor, badge_color);
    vdb.label_color = _vc_parsed(params, "labelColor", kDefaultLabelColor, badge_color);
    vdb.badge = _vc_parsed(params, "badge", kDefaultBadge, badge_style);
    vdb.abbr = _vc_parsed(params, "abbr", kDefaultAbbr, _vc_yesno);
    vdb.darkmode = _vc_parsed(params, "darkmode", kDefaultDarkmode, _vc_darkmode);
    return vdb;
}

namespace {

void _vc_write(RequestChannel& channel, const std::string& bytes) { channel.write(bytes.data(), bytes.size()); }

// The answer of `im` in `format` (a picture format), named `label` where
// the format names what it shows. When gd cannot encode the picture (no
// memory) only the header is written.
void _vc_writeimage(RequestChannel& channel, gdImagePtr im, Format format = Format::kGif, long scale = 1,
                    const std::string& label = "") {
    const std::string gif = im ? gif_encode(im) : "";
    if (format == Format::kSvg && !gif.empty()) {
        _vc_write(channel, kSvgHeader);
        _vc_write(channel, format_svg(gif, gdImageSX(im), gdImageSY(im), scale, label));
        return;
    }
    _vc_write(channel, kImageHeader);
    _vc_write(channel, gif);
}

// What an error answer is given as: the request's format and, for a
// badge, the look it asked for as far as its parameters could be read.
struct Asked {
    Format format = Format::kGif;
    std::string label = kErrorLabel;
    BadgeLook look;
    std::string label_color = kDefaultLabelColor;  // as named, for shields
    std::string style = kDefaultBadge;
};

// The label a badge of `vdb` has when it names none.
const char* _vc_modelabel(const VDB& vdb) {
    switch (vdb.mode.value.value_or(Mode::kCounter)) {
        case Mode::kDate: return kDateLabel;
        case Mode::kTime: return kTimeLabel;
        case Mode::kStat: return kStatLabel;
        default: return kCounterLabel;
    }
}

Asked _vc_asked(const VDB& vdb) {
    Asked asked;
    asked.format = vdb.format.value.value_or(Format::kGif);
    asked.label = vdb.label && text_utf8count(*vdb.label) <= kMaxLabel ? *vdb.label : _vc_modelabel(vdb);
    asked.look.color = kBadgeErrorColor;
    if (vdb.label_color.value) {
        asked.look.label_color = *vdb.label_color.value;
        asked.label_color = vdb.label_color.text;
    }
    if (vdb.badge.value) {
        asked.look.style = *vdb.badge.value;
        asked.style = vdb.badge.text;
    }
    asked.look.dark_auto = vdb.darkmode.value.value_or(false);
    return asked;
}

// How to answer a request that failed before its parameters were read (the
// configuration, the body): by the parameters of its query string alone.
Asked _vc_queryasked(RequestChannel& channel) {
    EntryList pairs;
    if (const char* query = channel.variable("QUERY_STRING")) util_decodepairs(query, pairs);
    Asked asked = _vc_asked(vc_parse(pairs, CGICONFIG{}, Clock::system()));
    asked.label = util_getvalue(pairs, "label").value_or(kErrorLabel);
    if (text_utf8count(asked.label) > kMaxLabel) asked.label = kErrorLabel;
    return asked;
}

// Refuses a badge whose look is not one it can have, and abbr or darkmode
// not known where they mean something (a badge, its shields answer, SVG).
void _vc_checklook(const VDB& vdb, Format format) {
    const bool badge = format == Format::kBadge || format == Format::kShields;
    if (badge) {
        if (const std::size_t n = vdb.label ? text_utf8count(*vdb.label) : 0; n > kMaxLabel) {
            support_errormsg("Label too long (%zu characters): use at most %zu", n, kMaxLabel);
        }
        if (!vdb.color.value) {
            support_errormsg("Invalid color ('%s'): use %s or a hex colour RGB or RRGGBB", vdb.color.text.c_str(),
                             kBadgeColorNames);
        }
        if (!vdb.label_color.value) {
            support_errormsg("Invalid labelColor ('%s'): use %s or a hex colour RGB or RRGGBB",
                             vdb.label_color.text.c_str(), kBadgeColorNames);
        }
        if (!vdb.badge.value) {
            support_errormsg("Unknown badge style ('%s'): use flat, flat-square, plastic or for-the-badge",
                             vdb.badge.text.c_str());
        }
    }
    if (badge || format == Format::kSvg) {
        if (!vdb.abbr.value) support_errormsg("Invalid abbr ('%s'): use yes or no", vdb.abbr.text.c_str());
        if (!vdb.darkmode.value) support_errormsg("Invalid darkmode ('%s'): use auto or no", vdb.darkmode.text.c_str());
    }
}

// Reads the request: configuration, parameters, the checks of the modes
// that need a counter. `asked` is set as soon as the parameters are read.
// Throws ErrorAnswer for the first failure.
Request _vc_request(RequestChannel& channel, Worker& worker, std::optional<Asked>& asked, Watched& watched) {
    Request request{channel, worker, worker.clock(), config_read(worker.config), {}, nullptr};
    watched.metrics = request.config.metrics;
    watched.answer.store = request.config.store == "redis" ? MetricsStore::kRedis : MetricsStore::kGdbm;
    // The zone is looked up only when it or its file changes; one that is
    // none is named.
    config_usezone(request.config, worker.zone);
    // The body of a POST request is read after the configuration.
    request.vdb = vc_parse(query_read(channel), request.config, request.clock);
    VDB& vdb = request.vdb;
    watched.answer.mode = _vc_metricsmode(vdb.mode.value);
    watched.answer.format = watch_format(vdb.format.text);
    asked = _vc_asked(vdb);
    // The operator's modes, for the addresses of METRICS_ADDR alone.
    if ((vdb.mode.text == kModeMetrics || vdb.mode.text == kModeHealth) && watch_allowed(channel, request.config)) {
        vdb.mode.value = vdb.mode.text == kModeMetrics ? Mode::kMetrics : Mode::kHealth;
        watched.answer.mode = _vc_metricsmode(vdb.mode.value);
        return request;
    }
    // Nothing is counted for a request whose answer cannot be given.
    if (!vdb.format.value) support_errormsg("Unknown format ('%s')", vdb.format.text.c_str());
    if (*vdb.format.value == Format::kSvg && !vdb.scale.value) {
        support_errormsg("Invalid scale ('%s'): use 1 to %ld", vdb.scale.text.c_str(), kMaxScale);
    }
    _vc_checklook(vdb, *vdb.format.value);
    if (vdb.mode.value != Mode::kDate && vdb.mode.value != Mode::kTime) {
        if (!vdb.vdb) support_errormsg("%s-%s (%s)", kProgramName, kProgramVersion, kProgramDate);
        // The store is chosen here, once: every count below is read from
        // it and the visit recorded in it. It refuses a name that could
        // leave it before any path is built.
        request.counter = store_open(request.config, worker.keeps ? &worker.store : nullptr)->counter(*vdb.vdb);
        // With METRICS, the store's operations are timed.
        if (!watched.metrics.empty()) {
            request.counter = timedstore_counter(std::move(request.counter), watched.answer.operations);
        }
        request.counter->require();
    }
    return request;
}

// A count as a badge shows it: in short with abbr, else grouped.
std::string _vc_badgecount(const VDB& vdb, const std::string& count) {
    return *vdb.abbr.value ? format_abbr(format_number(count)) : format_grouped(format_number(count));
}

// The badge of the request, or its shields answer: `value` under the
// request's label, or `label` where it names none.
void _vc_writebadge(Request& request, const std::string& label, const std::string& value) {
    const VDB& vdb = request.vdb;
    const std::string shown = vdb.label.value_or(label);
    if (*vdb.format.value == Format::kShields) {
        _vc_write(request.channel, kJsonHeader);
        _vc_write(request.channel, format_shields({shown, value, vdb.color.text, vdb.label_color.text, vdb.badge.text}));
        return;
    }
    _vc_write(request.channel, kSvgHeader);
    _vc_write(request.channel,
              badge_svg(shown, value, {*vdb.badge.value, *vdb.label_color.value, *vdb.color.value, *vdb.darkmode.value}));
}

// Answers the request in its format: the picture of its mode, that picture
// in an SVG document named by what it shows, or the figures as JSON (which
// draw no picture); or the operator's answer of mode=metrics or
// mode=health. Returns how it was answered, for the metrics.
MetricsOutcome _vc_answer(Request& request) {
    const VDB& vdb = request.vdb;
    if (!vdb.mode.value) support_errormsg("Unknown mode ('%s')", vdb.mode.text.c_str());
    if (*vdb.mode.value == Mode::kMetrics) {
        return watch_metrics(request.channel, request.config, request.worker) ? MetricsOutcome::kShown
                                                                                : MetricsOutcome::kError503;
    }
    if (*vdb.mode.value == Mode::kHealth) {
        return watch_health(request.channel, request.config, request.worker) ? MetricsOutcome::kShown
                                                                               : MetricsOutcome::kError503;
    }
    const Format format = *vdb.format.value;
    const bool badge = format == Format::kBadge || format == Format::kShields;
    const long scale = vdb.scale.value.value_or(1);
    if (*vdb.mode.value == Mode::kStat) {
        if (badge) {
            const ChartFigures chart = statistics_figures(request, false);
            _vc_writebadge(request, chart.title, _vc_badgecount(vdb, chart.this_));
            return MetricsOutcome::kShown;
        }
        if (format == Format::kJson) {
            const ChartFigures chart = statistics_figures(request);
            _vc_write(request.channel, kJsonHeader);
            _vc_write(request.channel, format_jsonchart(*vdb.vdb, vdb.when.text, chart));
            return MetricsOutcome::kShown;
        }
        ChartFigures chart;
        GdImage im = statistics_makeimage(request, &chart);
        _vc_writeimage(request.channel, im.get(), format, scale, format_chartlabel(chart, *vdb.abbr.value));
        return MetricsOutcome::kShown;
    }
    const CNT cnt = count_text(request);
    const bool counter = *vdb.mode.value == Mode::kCounter;
    const MetricsOutcome outcome = counter ? watch_outcome(request.uncounted) : MetricsOutcome::kShown;
    if (badge) {
        _vc_writebadge(request, _vc_modelabel(vdb), counter ? _vc_badgecount(vdb, cnt.outstr) : format_shown(cnt.outstr));
        return outcome;
    }
    const std::string number = format_number(cnt.outstr);
    const std::string shown = !counter ? format_shown(cnt.outstr) : *vdb.abbr.value ? format_abbr(number) : number;
    if (format == Format::kJson) {
        // The figures stand for the picture: refused where it would be.
        count_check(request, cnt);
        _vc_write(request.channel, kJsonHeader);
        _vc_write(request.channel,
                  counter ? format_jsoncount(*vdb.vdb, cnt.outstr, request.uncounted) : format_jsontext(shown));
        return outcome;
    }
    GdImage im = count_draw(request, cnt);
    if (format == Format::kSvg) {
        // A digit set's twin for high-density screens, where it has one,
        // takes the picture's place in the document; with darkmode=auto
        // its twin for dark pages, where it has one, comes along.
        const GdImage twin = count_drawtwin(request, cnt, im.get(), "-2x", 2);
        const std::string gif = gif_encode(twin ? twin.get() : im.get());
        std::string dark;
        if (*vdb.darkmode.value) {
            const GdImage night = count_drawtwin(request, cnt, im.get(), twin ? "-dark-2x" : "-dark", twin ? 2 : 1);
            if (night) dark = gif_encode(night.get());
        }
        if (!gif.empty()) {
            const int w = gdImageSX(im.get()), h = gdImageSY(im.get());
            _vc_write(request.channel, kSvgHeader);
            _vc_write(request.channel, twin ? format_svgtwin(gif, w, h, scale, shown, dark)
                                            : format_svg(gif, w, h, scale, shown, dark));
            return outcome;
        }
    }
    _vc_writeimage(request.channel, im.get(), format, scale, shown);
    return outcome;
}

// Answers a failed request with the error of `message`: the error image,
// as a picture or in an SVG document named by the message, the message as
// JSON with the status of its kind, or a red badge of it (given as an
// answer, as pictures are, so the page shows it).
int _vc_answererror(RequestChannel& channel, const Asked& asked, const std::string& message, Watched& watched) {
    const std::string status = format_status(message);
    if (asked.format == Format::kJson) {
        _vc_write(channel, status + kJsonHeader);
        _vc_write(channel, format_jsonerror(message));
    } else if (asked.format == Format::kBadge) {
        _vc_write(channel, kSvgHeader);
        _vc_write(channel, badge_svg(asked.label, message, asked.look));
    } else if (asked.format == Format::kShields) {
        _vc_write(channel, kJsonHeader);
        _vc_write(channel, format_shields({asked.label, message, "red", asked.label_color, asked.style, true}));
    } else {
        GdImage im = errorimage_draw(message);
        _vc_writeimage(channel, im.get(), asked.format, 1, message);
    }
    // "Status: 404 Not Found\n": the status a JSON answer carries.
    watch_answered(watched, metrics_erroroutcome(std::atoi(status.c_str() + std::strlen("Status: "))));
    return 1;
}

}  // namespace

Worker::Worker(bool keep)
    : keeps(keep),
      config(keep ? kConfigBudget : 0, kMaxConfigFile),
      bots(keep ? kBotsBudget : 0, kMaxBotsFile),
      pictures(keep ? kPictureBudget : 0, kMaxPictureFile),
      counters(keep ? kCountersBudget : 0, kMaxCounterConfigFile) {}

FileCache<gdImage>::Found vc_picture(Worker& worker, const std::string& path) {
    return worker.pictures.get(path, [](const FileRead& read, std::size_t& cost) {
        GdImage im = read.error == 0 ? gif_decode(read.bytes) : nullptr;
        if (!im) return std::shared_ptr<const gdImage>();
        cost = gif_cost(im.get());
        return std::shared_ptr<const gdImage>(im.release(),
                                              [](const gdImage* p) { gdImageDestroy(const_cast<gdImagePtr>(p)); });
    });
}

OwnPicture vc_ownpicture(Worker& worker, const std::string& path) {
    if (!worker.pictures.keeps()) {
        const std::optional<FileRead> read = filecache_read(path, kMaxPictureFile);
        if (!read) return {nullptr, errno};
        return {read->error == 0 ? gif_decode(read->bytes) : nullptr, 0};
    }
    const auto found = vc_picture(worker, path);
    if (!found.value) return {nullptr, found.error};
    GdImage copy(gdImageClone(const_cast<gdImagePtr>(found.value.get())));
    if (!copy) throw std::bad_alloc();
    return {std::move(copy), 0};
}

namespace {

// The program file to start again on SIGHUP: the path it was started by,
// which after an upgrade names the new program (the running one may be
// gone), or where that is no path, the file running now.
std::string _vc_programpath(const char* argv0) {
    if (argv0 && std::strchr(argv0, '/')) return argv0;
    std::string self(PATH_MAX, '\0');
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size());
    return n > 0 ? self.substr(0, static_cast<std::size_t>(n)) : std::string();
}

// Serves FastCGI requests until the process is asked to end. On SIGHUP
// the worker, once it has answered the requests it was reading, starts
// its program file anew with the same arguments and environment on the
// same listening socket, so that an upgrade or a restart drops no
// connection: those not yet accepted wait in the socket's queue. If the
// program cannot be started, this one serves on.
int _vc_serve(char** argv) {
    const std::string program = _vc_programpath(argv[0]);
    for (;;) {
        FastcgiEnd end;
        {
            Worker worker(true);
            watch_workerstart(worker);
            end = fastcgi_serve([&worker](RequestChannel& channel) { return vc_answer(channel, worker); });
            watch_workerend(worker);
        }
        if (end != FastcgiEnd::kRestart) return end == FastcgiEnd::kEnded ? 0 : 1;
        if (!program.empty()) execv(program.c_str(), argv);
        const std::string why = std::string(kProgramName) + ": cannot start " + program + " again: " +
                                std::strerror(errno) + "; serving on\n";
        if (::write(STDERR_FILENO, why.data(), why.size()) < 0) {
            // Nowhere to tell it; the worker serves on all the same.
        }
    }
}

}  // namespace

int vc_main(int, char** argv) {
    // A FastCGI process manager starts the program on a listening socket:
    // then it answers request after request, and what does not change
    // between them is kept by the worker the loop owns. Otherwise it is a
    // CGI run, the same answer for the one request in its environment.
    if (fastcgi_listening(STDIN_FILENO)) return _vc_serve(argv);
    Worker worker(false);
    CgiChannel channel;
    return vc_answer(channel, worker);
}

int vc_answer(RequestChannel& channel, Worker& worker) {
    if (!channel.variable("REMOTE_ADDR")) {
        _vc_write(channel, std::string(kProgramName) + " " + kProgramVersion + "\n");
        _vc_write(channel, kConsoleNotice);
        return 0;
    }
    // The answer is made whole before a byte of it is written. The
    // request's counter has let go of its file and lock by then; what it
    // still owes (a visit's sync of the file to disk) is done when the
    // request ends, after the answer has gone out.
    // With METRICS, what the request was and how it was answered is added
    // to the site's figures once the request has ended.
    Watched watched;
    std::optional<Asked> asked;
    int status = 0;
    try {
        Request request = _vc_request(channel, worker, asked, watched);
        const MetricsOutcome outcome = _vc_answer(request);
        channel.end();
        watch_answered(watched, outcome);
    } catch (const ErrorAnswer& e) {
        status = _vc_answererror(channel, asked ? *asked : _vc_queryasked(channel), e.message(), watched);
    } catch (const std::bad_alloc&) {
        status = _vc_answererror(channel, asked ? *asked : _vc_queryasked(channel), "Out of memory", watched);
    }
    watch_add(worker, watched);
    return status;
}

}  // namespace vorn
