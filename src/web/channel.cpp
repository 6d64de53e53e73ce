// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/channel.h"

#include <cstdio>
#include <cstdlib>

namespace vorn {

const char* CgiChannel::variable(const char* name) { return std::getenv(name); }

std::size_t CgiChannel::read(char* data, std::size_t size) { return std::fread(data, 1, size, stdin); }

void CgiChannel::write(const char* data, std::size_t size) { std::fwrite(data, 1, size, stdout); }

void CgiChannel::end() { std::fclose(stdout); }

}  // namespace vorn
