#include "dbdump.h"

#include <fcntl.h>
#include <gdbm.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <type_traits>

#include "dbutil.h"
#include "support.h"
#include "util.h"

namespace vorn {

namespace {

constexpr int kBlockSize = 1024;  // as dbutil_create makes counter files
constexpr int kMode = 0644;

struct GdbmCloser {
    void operator()(GDBM_FILE dbf) const { gdbm_close(dbf); }
};
using GdbmHandle = std::unique_ptr<std::remove_pointer_t<GDBM_FILE>, GdbmCloser>;

}  // namespace

void dbdump_write(std::FILE* out, const std::string& path) {
    GDBM_FILE dbf = _dbutil_gdbmfile();
    if (!dbf) support_errormsg("DB fetch error. There is no opened database.");
    if (dbutil_interrupted()) support_errormsg("DB dump error. An interrupted change is not undone yet (%s)", path.c_str());
    if (gdbm_dump_to_file(dbf, out, GDBM_DUMP_FMT_ASCII) != 0) {
        support_errormsg("DB dump error. %s (%s)", gdbm_strerror(gdbm_errno), path.c_str());
    }
}

void dbdump_load(const std::string& filename, std::FILE* dump, const std::string& dumpname) {
    UniqueFd fd(::open(filename.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, kMode));
    if (!fd) support_errormsg("DB load error. %s (%s)", std::strerror(errno), filename.c_str());
    GDBM_FILE raw = gdbm_fd_open(fd.get(), filename.c_str(), kBlockSize, GDBM_NEWDB | GDBM_NOLOCK | GDBM_NOMMAP, nullptr);
    if (!raw) {
        const int error = gdbm_errno;
        ::unlink(filename.c_str());
        support_errormsg("DB load error. %s (%s)", gdbm_strerror(error), filename.c_str());
    }
    fd.release();  // gdbm closes it with the handle
    GdbmHandle dbf(raw);
    unsigned long line = 0;
    GDBM_FILE target = dbf.get();
    const int skip_meta = GDBM_META_MASK_MODE | GDBM_META_MASK_OWNER;
    if (gdbm_load_from_file(&target, dump, GDBM_REPLACE, skip_meta, &line) != 0 || gdbm_sync(target) != 0) {
        const int error = gdbm_errno;
        dbf.reset();
        ::unlink(filename.c_str());
        support_errormsg("DB load error. %s at line %lu (%s)", gdbm_strerror(error), line, dumpname.c_str());
    }
}

}  // namespace vorn
