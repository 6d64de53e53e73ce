// SPDX-License-Identifier: GPL-3.0-or-later
// The floor of the load test: a statically linked CGI program that answers
// with the header lines alone. Served by the same web server as the
// counter, it costs what any CGI request costs before the program does any
// work of its own (the server's fork and exec, the process start, the
// server reading the answer).
#include <cstdio>

int main() {
    std::fputs("Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/gif\n\n", stdout);
    return 0;
}
