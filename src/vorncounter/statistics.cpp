#include "statistics.h"

#include "support.h"

namespace vorn {
// Placeholder until the chart lands.
void statistics_makeimage(const VDB&, const CGICONFIG&) { support_errormsg("chart not built yet"); }
const std::string& _statistics_loadrc(const VDB& vdb, const CGICONFIG&) { return vdb.when; }
void _statistics_settime(ST_TIME&, const std::string&) {}
void _statistics_compute(const VDB&, const ST_TIME&, gdImagePtr) {}
const char* _statistics_returnmonth(const std::string&) { return "Unknown"; }
int _statistics_returnimonth(const std::string&, const std::string&) { return 30; }
void _statistics_drawtitle(gdImagePtr, const std::string&) {}
void _statistics_drawstattext(gdImagePtr, const std::string&, const std::string&, const std::string&,
                              const std::string&, const std::string&) {}
void _statistics_drawstick(gdImagePtr, int, int, long) {}
}  // namespace vorn
