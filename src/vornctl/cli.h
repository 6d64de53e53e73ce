// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of vornctl: options and arguments of one command, and
// the faults in it, which end the program with exit status 2.
#pragma once

#include <exception>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vorn {

// A fault in the command line itself (unknown command or option, missing or
// surplus argument, a malformed number or date). The entry answers it on
// standard error with exit status 2.
class UsageError : public std::exception {
public:
    explicit UsageError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Throws UsageError with the formatted message. Values given on the command
// line are only ever arguments, never `fmt`.
[[noreturn]] void cli_usage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// An option a command accepts: "--name" (and "-s" when `short_name` is set),
// with a value ("--name VALUE" or "--name=VALUE") or without.
struct CliOption {
    const char* name;
    char short_name;
    bool takes_value;
};

// The command line of one command after its name.
struct CliArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // by long name; "" for a flag

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::optional<std::string> value(const std::string& name) const;
};

// Splits `args` into options (those in `accepted`) and positional arguments.
// Options may stand anywhere; "--" ends them, and "-" alone is an argument
// (standard input). An unknown option, a missing value or a value given to
// a flag is a usage error. An option given twice keeps its last value.
CliArgs cli_parse(std::span<const std::string> args, std::span<const CliOption> accepted);

// A count given on the command line: decimal digits only, at most
// kMaxCountDigits of them; anything else is a usage error naming `what`.
inline constexpr std::size_t kMaxCountDigits = 18;
long long cli_count(const std::string& text, const char* what);

}  // namespace vorn
