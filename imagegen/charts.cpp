#include "charts.h"
namespace vorn::imagegen {
void write_chart_backgrounds(const std::filesystem::path&) {}
}
