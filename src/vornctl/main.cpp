// SPDX-License-Identifier: GPL-3.0-or-later
// vornctl: the operator's scriptable tool for the counters of a site.
//
//     vornctl [-C DIR] COMMAND [ARGS] [--json]
//
// Results go to standard output, messages to standard error ("vornctl:
// ..."). Exit status 0 on success, 1 when the action failed, 2 on a usage
// error.
#include <nss.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/support.h"
#include "base/zone.h"
#include "vornctl/cli.h"
#include "vornctl/commands.h"
#include "vornctl/output.h"

namespace {

using namespace vorn;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Options every command takes.
constexpr CliOption kCommon[] = {{"json", '\0', false}, {"help", 'h', false}};

int run(const std::vector<std::string>& argv) {
    std::size_t i = 0;
    std::string dir;
    bool json = false;
    // Options before the command.
    for (; i < argv.size() && argv[i].size() > 1 && argv[i][0] == '-'; ++i) {
        const std::string& arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            output_write(commands_help());
            return 0;
        }
        if (arg == "--version") {
            output_write(std::string("vornctl (") + kProgramName + ") " + kProgramVersion + "\n");
            return 0;
        }
        if (arg == "--json") {
            json = true;
        } else if (arg == "-C") {
            if (++i == argv.size()) cli_usage("option '-C' needs a directory");
            dir = argv[i];
        } else if (arg.rfind("-C", 0) == 0) {
            dir = arg.substr(2);
        } else {
            cli_usage("unknown option '%s'", arg.c_str());
        }
    }
    if (i == argv.size()) cli_usage("no command given");
    const Command* command = commands_find(argv[i]);
    if (!command) cli_usage("unknown command '%s'", argv[i].c_str());

    std::vector<CliOption> accepted(std::begin(kCommon), std::end(kCommon));
    accepted.insert(accepted.end(), command->options.begin(), command->options.end());
    CommandContext context;
    context.args = cli_parse(std::span(argv).subspan(i + 1), accepted);
    if (context.args.has("help")) {
        output_write(std::string("Usage: vornctl [-C DIR] ") + command->name + (*command->synopsis ? " " : "") +
                     command->synopsis + " [--json]\n" + command->summary + "\n" +
                     (*command->details ? std::string("\n") + command->details : std::string()));
        return 0;
    }
    const std::size_t n = context.args.positional.size();
    if (n < command->min_args) cli_usage("%s: missing argument (%s %s)", command->name, command->name, command->synopsis);
    if (n > command->max_args) {
        cli_usage("%s: unexpected argument '%s'", command->name, context.args.positional[command->max_args].c_str());
    }
    context.json = json || context.args.has("json");
    if (!dir.empty()) {
        if (chdir(dir.c_str()) != 0) {
            support_errormsg("cannot change to the directory %s: %s", dir.c_str(), std::strerror(errno));
        }
        std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
        context.dir = cwd ? cwd.get() : dir;
    }
    context.site = counters_site();
    LocalZone zone;
    context.zone = &zone;
    return command->run(context);
}

}  // namespace

int main(int argc, char** argv) {
    // Users and groups (check's web server user, the owner names in a dump)
    // are looked up in /etc/passwd and /etc/group only: a statically linked
    // program cannot load the other lookup modules safely (systemd's crashes
    // it).
    for (const char* db : {"passwd", "group", "initgroups"}) __nss_configure_lookup(db, "files");
    int status;
    try {
        status = run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        commands_warn(e.message());
        std::fputs("Try 'vornctl --help' for more information.\n", stderr);
        return kUsage;
    } catch (const ErrorAnswer& e) {
        std::fflush(stdout);
        commands_warn(e.message());
        status = kFailed;
    } catch (const std::bad_alloc&) {
        commands_warn("out of memory");
        status = kFailed;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        commands_warn(std::string("cannot write the results: ") + std::strerror(errno));
        return kFailed;
    }
    return status;
}
