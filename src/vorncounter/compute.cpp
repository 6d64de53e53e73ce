#include "compute.h"

#include "support.h"

namespace vorn {
// Placeholder until the counter store lands.
void compute_count(const VDB&, CNT&) { support_errormsg("counter not built yet"); }
void compute_date(const VDB&, CNT&) { support_errormsg("date not built yet"); }
void compute_time(const VDB&, CNT&) { support_errormsg("time not built yet"); }
std::optional<std::string> compute_gettotalcount(const VDB&) { return std::nullopt; }
std::string compute_getyearcount(const VDB&, const std::string&) { return "0"; }
std::string compute_getmonthcount(const VDB&, const std::string&) { return "0"; }
std::string compute_getdaycount(const VDB&, const std::string&) { return "0"; }
std::string compute_gethourscount(const VDB&, const std::string&) { return "0"; }
std::string _compute_getyearcount(const VDB&, const std::string&) { return "0"; }
std::string _compute_getmonthcount(const VDB&, const std::string&) { return "0"; }
std::string _compute_getdaycount(const VDB&, const std::string&) { return "0"; }
std::string _compute_gethourscount(const VDB&, const std::string&) { return "0"; }
}  // namespace vorn
