// SPDX-License-Identifier: GPL-3.0-or-later
#include "vorncounter/vc.h"

int main(int argc, char** argv) { return vorn::vc_main(argc, argv); }
