#include "vc.h"

namespace vorn {
// Placeholder until request handling lands.
int vc_main(int, char**) { return 0; }
void _vc_getconfiguration(CGICONFIG&) {}
CGICONFIG _vc_fillconfiguration(const EntryList&) { return {}; }
}  // namespace vorn
