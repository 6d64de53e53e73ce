// The error image, the time texts, the count increment and the
// registration of the configuration list with the error path.
#pragma once

#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

#include <gd.h>

#include "util.h"

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
GdImage support_readgif(std::FILE* in);

// Writes the image header and then `im` as GIF to the request's channel
// (util_channel: standard output in a CGI run): the whole of a picture
// answer. When gd cannot encode the picture (no memory) only the
// header is written.
void support_writeimage(gdImagePtr im);

// The header that precedes every GIF answer, byte for byte. HTTP/1.1
// caches and image proxies ignore Pragma in an answer and keep an answer
// without Cache-Control for as long as they like, which freezes a counter:
// Cache-Control tells them to ask again every time.
inline constexpr char kImageHeader[] =
    "Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/gif\n\n";

// Longest error message drawn; longer messages are cut to this many bytes.
inline constexpr std::size_t kMaxErrorMessage = 1019;

// The failure a request ends in: the message its error image shows. It
// unwinds to the program's entry, so everything the request opened is
// closed by its owner on the way, and the entry answers it.
class ErrorAnswer : public std::exception {
public:
    explicit ErrorAnswer(std::string message) : message_(std::move(message)) {}
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Ends the request with the error image of the formatted message (cut to
// kMaxErrorMessage bytes): throws ErrorAnswer and never returns. Request
// values must only ever be arguments, never `msg`.
[[noreturn]] void support_errormsg(const char* msg, ...) __attribute__((format(printf, 1, 2)));

// The answer to an ErrorAnswer: writes the image header and the error image
// of `message` to the request's channel, then releases the registered
// configuration list and the request list. The entry then ends the request
// with exit status 1.
void support_answererror(const std::string& message);

// The error image of `message` (at most kMaxErrorMessage bytes of it are
// drawn): a 6n+12 by 21 strip, black, with a raised outer and a sunken inner
// frame and the text in green at (6, 4). Empty when gd cannot allocate the
// image. Shared by support_errormsg and the tests that check which error
// was answered.
GdImage _support_drawerror(const std::string& message);

// Hands the configuration list to the error path, which empties it before
// the process ends. A null pointer keeps the earlier registration.
void support_moveentry(EntryList* entry);

// Forgets the registered configuration list, at the end of a request, so a
// persistent process carries no registration into the next one.
void support_forgetentry();

// The present moment (or the same clock time `ago` days of 86,400 s
// earlier) as text in the numbered style; "Unknown style" for a style
// number without a format. Never fails.
std::string support_returntime(int style, long ago);

// `count` plus one, as decimal text of any length ("999" gives "1000",
// "007" gives "008", "" gives "1").
std::string support_counterupdate(const std::string& count);

// The clock every time text reads. Tests set a fixed moment through it;
// nullptr restores the system clock.
using SupportClock = std::time_t (*)();
void support_setclock(SupportClock clock);
std::time_t support_now();

}  // namespace vorn
