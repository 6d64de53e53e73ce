#include <gtest/gtest.h>

#include "harness.h"

namespace vorn::test {
TEST(Harness, ConsoleRunExitsZero) {
    TempSite site;
    Request req;
    req.console = true;
    RunResult r = run_cgi(site, req);
    EXPECT_EQ(r.status, 0);
}
}  // namespace vorn::test
