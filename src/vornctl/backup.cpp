#include "backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "support.h"
#include "util.h"

namespace vorn {

namespace {

[[noreturn]] void _backup_fail(const char* what, const std::string& path, int error) {
    support_errormsg("cannot %s %s: %s", what, path.c_str(), std::strerror(error));
}

}  // namespace

std::string backup_file(const std::string& dir, const std::string& name) { return dir + "/" + name + kDumpSuffix; }

std::vector<std::string> backup_names(const Site& site, const std::string& dir) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) _backup_fail("read the backup directory", dir, errno);
    const std::string suffix = kDumpSuffix;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(d.get())) {
        const std::string file = entry->d_name;
        if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        const std::string name = file.substr(0, file.size() - suffix.size());
        if (name[0] == '.' || !util_safename(name)) continue;
        try {
            counters_counter(site, name);
        } catch (const ErrorAnswer&) {
            continue;  // not a name a counter of this site can have
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string backup_write(const Site& site, const std::string& dir, const std::string& name) {
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    counters_require(site, *counter);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) _backup_fail("create the backup directory", dir, errno);
    const std::string target = backup_file(dir, name);
    const std::string temp = dir + "/.vornctl-backup-" + std::to_string(getpid());
    FilePtr out = util_fopen(temp, "w");
    if (!out) _backup_fail("write", temp, errno);
    try {
        counters_dump(site, *counter, out.get());
        if (std::fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0) _backup_fail("write", temp, errno);
        if (std::fclose(out.release()) != 0) _backup_fail("write", temp, errno);
        if (rename(temp.c_str(), target.c_str()) != 0) _backup_fail("write", target, errno);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    return target;
}

std::string backup_restore(const Site& site, const std::string& dir, const std::string& name) {
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    const std::string source = backup_file(dir, name);
    FilePtr in = util_fopen(source, "r");
    if (!in) _backup_fail("read", source, errno);
    struct stat st {};
    if (fstat(fileno(in.get()), &st) != 0) _backup_fail("read", source, errno);
    if (!S_ISREG(st.st_mode)) support_errormsg("%s is not a regular file", source.c_str());
    counters_restore(site, *counter, in.get(), source);
    return counter->where();
}

}  // namespace vorn
