// SPDX-License-Identifier: GPL-3.0-or-later
// The commands of vornctl: their table (name, arguments, options, help) and
// what each one does.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "vornctl/cli.h"
#include "vornctl/counters.h"

namespace vorn {

// What a command runs with: the site of the working directory, its command
// line, and whether results are written as JSON.
struct CommandContext {
    Site site;
    CliArgs args;
    bool json = false;
    // The site's directory when -C named one (absolute), else empty: a
    // relative FILE or DIR argument is taken from it, as git -C does.
    std::string dir;
    // The process's local time, owned by the caller of the command: a
    // command that names days sets it to the site's TIMEZONE first.
    LocalZone* zone = nullptr;
};

struct Command {
    const char* name;
    const char* synopsis;  // the arguments, as the help shows them
    const char* summary;
    std::span<const CliOption> options;  // besides --json and --help
    std::size_t min_args;
    std::size_t max_args;
    // Writes the results and answers the exit status (0, or 1 when part of
    // the action failed); a failure of the whole action is thrown.
    int (*run)(const CommandContext&);
    // More for COMMAND --help (whole lines), or "".
    const char* details;
};

// The command called `name`, or null.
const Command* commands_find(const std::string& name);

// The help text: usage, every command with its arguments, the options and
// the exit statuses.
std::string commands_help();

// Writes "vornctl: MESSAGE" and a line end to standard error.
void commands_warn(const std::string& message);

}  // namespace vorn
