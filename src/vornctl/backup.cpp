// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/support.h"
#include "base/util.h"

namespace vorn {

namespace {

[[noreturn]] void _backup_fail(const char* what, const std::string& path, int error) {
    support_errormsg("cannot %s %s: %s", what, path.c_str(), std::strerror(error));
}

// Makes `dir` and the folders above it that are missing, as mkdir -p does
// (mode 0755 less the umask).
void _backup_makedirs(const std::string& dir) {
    for (std::size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
        const std::string part = dir.substr(0, end);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) _backup_fail("create the backup directory", part, errno);
        if (end == std::string::npos) break;
    }
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
        if (!util_safename(name)) continue;
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
    counters_require(*counter);
    _backup_makedirs(dir);
    const std::string target = backup_file(dir, name);
    // Written under a name no one can guess and renamed when whole: the
    // directory may be one another user can write.
    std::string temp;
    UniqueFd fd = util_mktemp(dir, ".vornctl-backup-", temp);
    if (!fd) _backup_fail("create a file in", dir, errno);
    try {
        const mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd.get(), 0644 & ~mask) != 0) _backup_fail("write", temp, errno);
        FilePtr out(fdopen(fd.get(), "w"));
        if (!out) _backup_fail("write", temp, errno);
        fd.release();
        counter->dump(out.get());
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
    counter->restore(in.get(), source);
    return counter->where();
}

}  // namespace vorn
