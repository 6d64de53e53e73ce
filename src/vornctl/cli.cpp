// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/cli.h"

#include <cstdarg>
#include <cstdio>

namespace vorn {

void cli_usage(const char* fmt, ...) {
    char message[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    throw UsageError(message);
}

std::optional<std::string> CliArgs::value(const std::string& name) const {
    auto found = options.find(name);
    if (found == options.end()) return std::nullopt;
    return found->second;
}

namespace {

const CliOption* _cli_find(std::span<const CliOption> accepted, const std::string& name, char short_name) {
    for (const CliOption& option : accepted) {
        if (short_name ? option.short_name == short_name : name == option.name) return &option;
    }
    return nullptr;
}

}  // namespace

CliArgs cli_parse(std::span<const std::string> args, std::span<const CliOption> accepted) {
    CliArgs parsed;
    bool options_end = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        const bool is_long = arg[1] == '-';
        std::string name = is_long ? arg.substr(2) : std::string();
        std::optional<std::string> inline_value;
        if (is_long) {
            if (std::size_t eq = name.find('='); eq != std::string::npos) {
                inline_value = name.substr(eq + 1);
                name.resize(eq);
            }
        } else if (arg.size() != 2) {
            cli_usage("unknown option '%s'", arg.c_str());
        }
        const CliOption* option = _cli_find(accepted, name, is_long ? '\0' : arg[1]);
        if (!option) cli_usage("unknown option '%s'", arg.c_str());
        std::string value;
        if (option->takes_value) {
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                cli_usage("option '--%s' needs a value", option->name);
            }
        } else if (inline_value) {
            cli_usage("option '--%s' takes no value", option->name);
        }
        parsed.options[option->name] = value;
    }
    return parsed;
}

long long cli_count(const std::string& text, const char* what) {
    if (text.empty() || text.size() > kMaxCountDigits || text.find_first_not_of("0123456789") != std::string::npos) {
        cli_usage("%s must be a number of at most %zu digits, not '%s'", what, kMaxCountDigits, text.c_str());
    }
    return std::stoll(text);
}

}  // namespace vorn
