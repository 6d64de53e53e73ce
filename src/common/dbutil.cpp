#include "dbutil.h"

#include "support.h"

namespace vorn {
// Placeholder until the counter store lands.
int dbutil_create(const std::string&) { return 0; }
void dbutil_open(const std::string&, int) { support_errormsg("DB open error. Time out. Please, try again."); }
void dbutil_close() {}
std::optional<std::string> dbutil_fetch(const char*, ...) { return std::nullopt; }
void dbutil_store(const std::string&, const std::string&, int) {}
int dbutil_delete(const char*, ...) { return -1; }
void _dbutil_error(const char*) { support_errormsg("DB Error!! (%s)", "unknown"); }
}  // namespace vorn
