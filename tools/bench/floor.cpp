// SPDX-License-Identifier: GPL-3.0-or-later
// The floor of the benchmark: a statically linked program that does
// nothing. Starting it costs what any CGI process costs before it does
// any work of its own (fork, exec, exit, wait).
int main() { return 0; }
