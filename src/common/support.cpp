#include "support.h"

#include <cstdlib>

namespace vorn {
// Placeholder until the error image lands.
void support_errormsg(const char*, ...) { std::exit(1); }
void support_moveentry(EntryList*) {}
std::string support_returntime(int, long) { return "Unknown style"; }
std::string support_counterupdate(const std::string& count) { return count; }
void support_setclock(SupportClock) {}
std::time_t support_now() { return std::time(nullptr); }
GdImage support_readgif(std::FILE* in) { return GdImage(gdImageCreateFromGif(in)); }
void support_writeimage(gdImagePtr) {}
}  // namespace vorn
