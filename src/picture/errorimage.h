// SPDX-License-Identifier: GPL-3.0-or-later
// The error image: how every failure is answered, where the picture would
// stand.
#pragma once

#include <string>

#include "picture/gif.h"

namespace vorn {

// The error image of `message` (at most kMaxErrorMessage bytes of it are
// drawn): a 6n+12 by 21 strip, black, with a raised outer and a sunken inner
// frame and the text in green at (6, 4), in gd's small font. Empty when gd
// cannot allocate the image.
GdImage errorimage_draw(const std::string& message);

}  // namespace vorn
