#include "support.h"

#include <gdfonts.h>

#include <cstdarg>
#include <cstring>
#include <limits>

namespace vorn {

namespace {

// Configuration list handed over by support_moveentry; the error path
// empties it before the process ends.
EntryList* fentry = nullptr;

// Clock behind every time text; null reads the system clock.
SupportClock clock_source = nullptr;

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

// Size of the buffer every time text is formed in, terminating zero included.
constexpr std::size_t kTimeBuffer = 255;
constexpr long kSecondsPerDay = 86400;

// `now` minus `ago` days, saturated at the ends of time_t instead of
// overflowing: a huge `ago` then gives a moment that cannot be broken down.
std::time_t days_back(std::time_t now, long ago) {
    constexpr std::time_t kMax = std::numeric_limits<std::time_t>::max();
    constexpr std::time_t kMin = std::numeric_limits<std::time_t>::min();
    std::time_t secs = 0;
    if (__builtin_mul_overflow(static_cast<std::time_t>(ago), kSecondsPerDay, &secs)) {
        return ago > 0 ? kMin : kMax;
    }
    std::time_t moment = 0;
    if (__builtin_sub_overflow(now, secs, &moment)) return secs > 0 ? kMin : kMax;
    return moment;
}

std::string format_time(const char* format, const std::tm& tm) {
    char buff[kTimeBuffer];
    std::size_t n = std::strftime(buff, sizeof buff, format, &tm);
    return std::string(buff, n);
}

bool is_morning(const std::tm& tm) { return format_time("%p", tm) == "AM"; }

// strftime formats of the styles that are plain formats; null where the
// style has none.
const char* style_format(int style) {
    switch (style) {
        case 0: return "%B %d, %Y (%I:%M %p)";
        case 1: return "%I:%M %p";
        case 2: return "%H:%M";
        case 3: return "%B %d, %Y";
        case 4: return "%Y/%m/%d";
        case 5: return "%Y/%m/%d/%H";
        case 6: return "%Y/%m";
        case 11: return "%mh%dh%Y";
        case 12: return "%Yh%mh%d";
        case 13: return "%mh%dm%Y";
        case 14: return "%Ym%mh%d";
        case 15: return "%Y";
        case 16: return "%m";
        case 17: return "%d";
        case 22: return "%Hr%M";
        case 23: return "%I";
        case 24: return "%H";
        case 25: return "%M";
        default: return nullptr;
    }
}

constexpr int kStyleTimeA = 21;
constexpr int kStyleTimeF = 26;
constexpr int kStyleEpoch = 31;
constexpr char kUnknownStyle[] = "Unknown style";

}  // namespace

GdImage _support_drawerror(const std::string& message) {
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

void support_errormsg(const char* msg, ...) {
    // vsnprintf cuts a longer message to 1019 bytes, so the width formula
    // holds for every message.
    char buff[kMaxErrorMessage + 1];
    va_list args;
    va_start(args, msg);
    int n = std::vsnprintf(buff, sizeof buff, msg, args);
    va_end(args);
    if (n < 0) buff[0] = '\0';
    throw ErrorAnswer(buff);
}

void support_answererror(const std::string& message) {
    GdImage im = _support_drawerror(message);
    if (im) {
        support_writeimage(im.get());
    } else {
        util_channel().write(kImageHeader, sizeof kImageHeader - 1);
    }
    im.reset();

    if (fentry) util_fentryfree(*fentry);
    util_entryfree();
}

void support_moveentry(EntryList* entry) {
    if (entry) fentry = entry;
}

void support_forgetentry() { fentry = nullptr; }

void support_setclock(SupportClock clock) { clock_source = clock; }

std::time_t support_now() { return clock_source ? clock_source() : std::time(nullptr); }

std::string support_returntime(int style, long ago) {
    const std::time_t the_time = days_back(support_now(), ago);
    const char* format = style_format(style);
    if (!format && style != kStyleTimeA && style != kStyleTimeF && style != kStyleEpoch) {
        return kUnknownStyle;
    }
    if (style == kStyleEpoch) {
        char buff[kTimeBuffer];
        std::snprintf(buff, sizeof buff, "%ld", static_cast<long>(the_time));
        return buff;
    }

    std::tm tm{};
    if (!localtime_r(&the_time, &tm)) return "";
    if (style == kStyleTimeA) return format_time(is_morning(tm) ? "%Ir%Ma" : "%Ir%Mp", tm);
    if (style == kStyleTimeF) return is_morning(tm) ? "a" : "p";
    return format_time(format, tm);
}

std::string support_counterupdate(const std::string& count) {
    bool all_nines = true;
    for (char c : count) {
        if (c != '9') {
            all_nines = false;
            break;
        }
    }
    // A leading "0" before all nines gives the carry a place to end.
    std::string tmp = all_nines ? "0" + count : count;
    for (std::size_t i = tmp.size(); i-- > 0;) {
        if (tmp[i] == '9') {
            tmp[i] = '0';
            continue;
        }
        ++tmp[i];
        break;
    }
    return tmp;
}

GdImage support_readgif(std::FILE* in) {
    // gd returns whatever part of a cut-off picture it managed to decode; a
    // damaged file would then show as a half-drawn counter or chart. Only a
    // stream that ends with the GIF trailer is handed to the decoder.
    constexpr unsigned char kGifTrailer = 0x3B;
    std::string data;
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
        data.append(buf, n);
        if (data.size() > kMaxPictureFile) return nullptr;
    }
    if (data.empty() || static_cast<unsigned char>(data.back()) != kGifTrailer) return nullptr;
    return GdImage(gdImageCreateFromGifPtr(static_cast<int>(data.size()), data.data()));
}

void support_writeimage(gdImagePtr im) {
    // Encoded in memory: the same bytes gdImageGif writes on a stream, for
    // a channel that is no stream. Nothing here throws, so the error path
    // can use it too.
    RequestChannel& out = util_channel();
    out.write(kImageHeader, sizeof kImageHeader - 1);
    int size = 0;
    if (void* gif = gdImageGifPtr(im, &size)) {
        out.write(static_cast<const char*>(gif), static_cast<std::size_t>(size));
        gdFree(gif);
    }
}

}  // namespace vorn
