#include "util.h"

namespace vorn {
// Placeholder until the request decoding lands.
std::optional<std::string> util_getvalue(const std::string&) { return std::nullopt; }
void util_entryfree() {}
std::string& util_deletespace(std::string& str) { return str; }
EntryList util_fdecoder(const std::string&) { return {}; }
std::optional<std::string> util_fgetvalue(const EntryList&, const std::string&) { return std::nullopt; }
void util_fentryfree(EntryList& first) { first.clear(); }
int util_filecheck(const std::string& filename) { return util_fopen(filename, "r") ? 1 : 0; }
FilePtr util_fopen(const std::string& filename, const char* mode) { return FilePtr(std::fopen(filename.c_str(), mode)); }
long util_tolong(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }
bool util_safename(const std::string&) { return false; }
}  // namespace vorn
