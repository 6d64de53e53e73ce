// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/increment.h"

namespace vorn {

const char kIncrementScript[] = R"lua(
local function up(v)
  if not v then return '1' end
  local t = v
  if not string.find(v, '[^9]') then t = '0' .. v end
  local i = #t
  while i > 0 do
    local b = string.byte(t, i)
    if b == 57 then
      t = string.sub(t, 1, i - 1) .. '0' .. string.sub(t, i + 1)
      i = i - 1
    else
      t = string.sub(t, 1, i - 1) .. string.char((b + 1) % 256) .. string.sub(t, i + 1)
      break
    end
  end
  return t
end
)lua";

std::string support_counterupdate(const std::string& count) {
    bool all_nines = true;
    for (char c : count) {
        if (c != '9') {
            all_nines = false;
            break;
        }
    }
    // A leading "0" before all nines gives the carry a place to end.
    std::string tmp = all_nines ? "0" + count : count;
    for (std::size_t i = tmp.size(); i-- > 0;) {
        if (tmp[i] == '9') {
            tmp[i] = '0';
            continue;
        }
        ++tmp[i];
        break;
    }
    return tmp;
}

}  // namespace vorn
