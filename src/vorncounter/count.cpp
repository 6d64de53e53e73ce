#include "count.h"

#include "support.h"

namespace vorn {
// Placeholder until the counter image lands.
void count_makeimage(const VDB&, const CGICONFIG&) { support_errormsg("counter image not built yet"); }
std::string _count_getimagefilename(const VDB&, const CGICONFIG&, const std::string&, int) { return {}; }
}  // namespace vorn
