// The CGI entry: configuration, request record and dispatch.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store.h"
#include "util.h"

namespace vorn {

inline constexpr char kProgramName[] = "VornCounter";
inline constexpr char kProgramVersion[] = "2.0.0 beta1";
inline constexpr char kProgramDate[] = "March 11, 2001";
inline constexpr char kConfigFile[] = "conf/vc.conf";

// Longest database path (dir_save/vdb.dbfile_ext) a request may name.
inline constexpr std::size_t kMaxDbPath = 254;

// The request: each field is the request parameter of the same name or
// its default. `vdb` stays absent when the request names no counter;
// `dbfile` is set only for the modes that read the database, and so is
// `counter`, the counter in its store (store.h) that the counts are read
// from and the visit is recorded in. A record filled without `counter` reads
// the gdbm file `dbfile`.
struct VDB {
    std::optional<std::string> vdb;
    std::string digit;
    std::string mode;
    std::string style;
    std::string ago;
    std::string when;
    std::string date;
    std::string cntlen;
    std::optional<std::string> dbfile;
    std::shared_ptr<Counter> counter;
};

// The configuration: each field is its key's value in conf/vc.conf, or the
// key's default when the key is absent.
struct CGICONFIG {
    std::string cginame;
    std::string dbfile_ext;
    std::string dir_save;
    std::string dir_digit;
    std::string default_digit;
    std::string default_cntlen;
    std::string rc_imgyear;
    std::string rc_imgmonth;
    std::string rc_imgday;
    // Which visits are counted (rules.h); empty: every visit counts.
    std::string ignore_addr;
    std::string ignore_bots;
    std::string repeat_minutes;
    // Where the counters are kept (store.h); the gdbm files by default.
    std::string store;
    std::string redis_addr;
    std::string redis_prefix;
    std::string redis_password_file;
};

// The store settings of a configuration.
STORECONFIG vc_storeconfig(const CGICONFIG& cgiconfig);

// The program: started by a FastCGI process manager (a listening socket as
// standard input) it serves FastCGI requests until it is asked to end;
// otherwise it answers the one CGI request of its environment. Returns the
// exit status: for a CGI run 0 for an answer, 1 for an error image.
int vc_main(int argc, char** argv);

// Answers the current request on its channel (util_channel): the console
// lines when it has no REMOTE_ADDR, else the picture or the error image
// (every failure raised through support_errormsg ends there). Releases all
// the request held, also on the error path, so nothing it opened or read
// survives into the next request. Returns 0 for an answer or the console
// lines, 1 for an error image.
int vc_answer();

// The request itself: configuration, parameters, checks and dispatch. Writes
// the whole answer; a failure throws ErrorAnswer before anything is written.
void _vc_request();

// Answers a failed request with its error image after closing any database
// it still had open; returns exit status 1.
int _vc_answererror(const std::string& message);

// Releases what a request leaves in the modules: the open database, the
// request list, the configuration list and its registration.
void _vc_release();

// Every key conf/vc.conf may hold, in the order of the record.
std::vector<std::string> vc_configkeys();

// Reads conf/vc.conf into `cgiconfig` and keeps the list for the error
// path. A missing file is answered with the error image (does not return).
void _vc_getconfiguration(CGICONFIG& cgiconfig);

// Fills a configuration record from a list: each key's first value or its
// default.
CGICONFIG _vc_fillconfiguration(const EntryList& entries);

}  // namespace vorn
