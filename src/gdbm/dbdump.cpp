// SPDX-License-Identifier: GPL-3.0-or-later
#include "gdbm/dbdump.h"

#include <fcntl.h>
#include <gdbm.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>

#include "gdbm/dbutil.h"
#include "base/support.h"
#include "base/util.h"

namespace vorn {

namespace {

constexpr int kBlockSize = 1024;  // as dbutil_create makes counter files

constexpr char kHeading[] = "# GDBM dump file created by ";
constexpr char kVersion[] = "#:version=1.1";
constexpr char kEndOfHeader[] = "# End of header";
constexpr char kEndOfData[] = "# End of data";
constexpr char kLength[] = "#:len=";
constexpr char kCount[] = "#:count=";
constexpr std::size_t kMaxDatum = 1024 * 1024;

[[noreturn]] void _dbdump_malformed(const char* what, std::size_t line, const std::string& dumpname) {
    support_errormsg("DB load error. %s at line %zu (%s)", what, line, dumpname.c_str());
}

bool _dbdump_starts(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

// The decimal number after `prefix`, or nullopt.
std::optional<std::size_t> _dbdump_number(const std::string& line, const char* prefix) {
    const std::string digits = line.substr(std::strlen(prefix));
    if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(digits);
}

// Bytes that one base64 line of a datum stands for, or nullopt when it is
// no base64 (padding only at the end of a datum's last line).
std::optional<std::size_t> _dbdump_base64(const std::string& line) {
    if (line.empty() || line.size() % 4 != 0) return std::nullopt;
    std::size_t pad = 0;
    for (char c : line) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                            c == '/';
        if (c == '=') {
            ++pad;
        } else if (!letter || pad > 0) {
            return std::nullopt;
        }
    }
    if (pad > 2) return std::nullopt;
    return line.size() / 4 * 3 - pad;
}

// Checks `text` against the form of an ASCII dump (see dbdump_load) and
// answers it with a header of its own: gdbm's reader of header lines
// overreads its buffer on some malformed ones, and the recorded name, owner
// and mode are not used anyway, so only the checked records reach it.
std::string _dbdump_check(const std::string& text, const std::string& dumpname) {
    std::size_t number = 0, pos = 0, datums = 0, data = 0;
    bool version = false;
    enum { kHeader, kData, kDatum, kCounted, kEnd } state = kHeader;
    std::size_t want = 0, have = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) _dbdump_malformed("Dump cut short", number + 1, dumpname);
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        if (number == 1) {
            if (!_dbdump_starts(line, kHeading)) _dbdump_malformed("Not a gdbm dump", number, dumpname);
            continue;
        }
        switch (state) {
        case kHeader:
            if (line == kEndOfHeader) {
                state = kData;
                data = pos;
            } else if (line == kVersion) {
                version = true;
            } else if (!_dbdump_starts(line, "#")) {
                _dbdump_malformed("Malformed header", number, dumpname);
            }
            break;
        case kData:
            if (_dbdump_starts(line, kLength)) {
                std::optional<std::size_t> len = _dbdump_number(line, kLength);
                if (!len || *len > kMaxDatum) _dbdump_malformed("Malformed length", number, dumpname);
                want = *len;
                have = 0;
                ++datums;
                state = kDatum;
            } else if (_dbdump_starts(line, kCount)) {
                std::optional<std::size_t> count = _dbdump_number(line, kCount);
                if (datums % 2 != 0 || !count || *count != datums / 2) {
                    _dbdump_malformed("Record count does not match", number, dumpname);
                }
                state = kCounted;
            } else {
                _dbdump_malformed("Malformed data", number, dumpname);
            }
            break;
        case kDatum: {
            std::optional<std::size_t> bytes = _dbdump_base64(line);
            if (!bytes || have + *bytes > want || (*bytes % 3 != 0 && have + *bytes != want)) {
                _dbdump_malformed("Malformed data", number, dumpname);
            }
            have += *bytes;
            if (have == want) state = kData;
            break;
        }
        case kCounted:
            if (line != kEndOfData) _dbdump_malformed("Malformed data", number, dumpname);
            state = kEnd;
            break;
        case kEnd:
            _dbdump_malformed("Data after the end", number, dumpname);
        }
        if (state == kDatum && want == 0) state = kData;
        if (state == kData && !version) _dbdump_malformed("Not a dump of version 1.1", number, dumpname);
    }
    if (state != kEnd) _dbdump_malformed("Dump cut short", number + 1, dumpname);
    return std::string(kHeading) + "vornctl\n" + kVersion + "\n#:format=standard\n" + kEndOfHeader + "\n" +
           text.substr(data);
}

// The whole of `in`, at most kMaxDump bytes.
std::string _dbdump_read(std::FILE* in, const std::string& dumpname) {
    errno = 0;
    std::optional<std::string> text = util_readall(in, kMaxDump);
    if (text) return *text;
    if (errno != 0) support_errormsg("DB load error. %s (%s)", std::strerror(errno), dumpname.c_str());
    support_errormsg("DB load error. Larger than %zu bytes (%s)", kMaxDump, dumpname.c_str());
}

}  // namespace

void dbdump_write(std::FILE* out, const DbFile& file) {
    if (!file.overlay().empty()) {
        support_errormsg("DB dump error. An interrupted change is not undone yet (%s)", file.path().c_str());
    }
    if (gdbm_dump_to_file(file.handle(), out, GDBM_DUMP_FMT_ASCII) != 0) {
        support_errormsg("DB dump error. %s (%s)", gdbm_strerror(gdbm_errno), file.path().c_str());
    }
}

void dbdump_load(UniqueFd fd, const std::string& filename, std::FILE* dump, const std::string& dumpname) {
    std::string text;
    FilePtr checked;
    try {
        text = _dbdump_check(_dbdump_read(dump, dumpname), dumpname);
        checked.reset(fmemopen(text.data(), text.size(), "r"));
        if (!checked) support_errormsg("DB load error. %s (%s)", std::strerror(errno), dumpname.c_str());
    } catch (...) {
        ::unlink(filename.c_str());
        throw;
    }
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
    if (gdbm_load_from_file(&target, checked.get(), GDBM_REPLACE, skip_meta, &line) != 0 || gdbm_sync(target) != 0) {
        const int error = gdbm_errno;
        dbf.reset();
        ::unlink(filename.c_str());
        support_errormsg("DB load error. %s at line %lu (%s)", gdbm_strerror(error), line, dumpname.c_str());
    }
}

}  // namespace vorn
