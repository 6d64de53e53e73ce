#include "vc.h"

#include <unistd.h>

#include <new>

#include "count.h"
#include "dbutil.h"
#include "fastcgi.h"
#include "statistics.h"
#include "support.h"

namespace vorn {

namespace {

// The configuration list; the record's fields are copies of its values, the
// error path releases it through support_moveentry.
EntryList configentry;

// "본 프로그램은 CGI 프로그램으로 웹 브라우저 상에서만 실행됩니다." in EUC-KR
// (this program is a CGI program and runs only from a web browser). Kept as
// bytes so the console shows it whatever encoding this source is read in.
constexpr char kConsoleNotice[] =
    "\xba\xbb\x20\xc7\xc1\xb7\xce\xb1\xd7\xb7\xa5\xc0\xba\x20\x43\x47"
    "\x49\x20\xc7\xc1\xb7\xce\xb1\xd7\xb7\xa5\xc0\xb8\xb7\xce\x20\xc0"
    "\xa5\x20\xba\xea\xb6\xf3\xbf\xec\xc0\xfa\x20\xbb\xf3\xbf\xa1\xbc"
    "\xad\xb8\xb8\x20\xbd\xc7\xc7\xe0\xb5\xcb\xb4\xcf\xb4\xd9\x2e\x0a";

// Parameter defaults; the digit set and cell count come from the
// configuration, the date from the clock.
constexpr char kDefaultMode[] = "counter";
constexpr char kDefaultStyle[] = "a";
constexpr char kDefaultAgo[] = "total";
constexpr char kDefaultWhen[] = "month";
constexpr int kDateStyle = 4;

// Each configuration key with its default, in the order of the record.
struct ConfigKey {
    const char* key;
    const char* fallback;
    std::string CGICONFIG::*field;
};
constexpr ConfigKey kConfigKeys[] = {
    {"CGINAME", "VornCounter.cgi", &CGICONFIG::cginame},
    {"DBFILE_EXT", "db", &CGICONFIG::dbfile_ext},
    {"DIR_SAVE", "./save", &CGICONFIG::dir_save},
    {"DIR_DIGIT", "./image/digits", &CGICONFIG::dir_digit},
    {"DEFAULT_DIGIT", "d", &CGICONFIG::default_digit},
    {"DEFAULT_CNTLEN", "6", &CGICONFIG::default_cntlen},
    {"RC_IMGYEAR", "./image/resource/imgyear.rc", &CGICONFIG::rc_imgyear},
    {"RC_IMGMONTH", "./image/resource/imgmonth.rc", &CGICONFIG::rc_imgmonth},
    {"RC_IMGDAY", "./image/resource/imgday.rc", &CGICONFIG::rc_imgday},
    // The counting rules, each off by default.
    {"IGNORE_ADDR", "", &CGICONFIG::ignore_addr},
    {"IGNORE_BOTS", "", &CGICONFIG::ignore_bots},
    {"REPEAT_MINUTES", "", &CGICONFIG::repeat_minutes},
    // The store of the counters: the gdbm files unless STORE says redis.
    {"STORE", kDefaultStore, &CGICONFIG::store},
    {"REDIS_ADDR", kDefaultRedisAddr, &CGICONFIG::redis_addr},
    {"REDIS_PREFIX", kDefaultRedisPrefix, &CGICONFIG::redis_prefix},
    {"REDIS_PASSWORD_FILE", "", &CGICONFIG::redis_password_file},
};

bool needs_database(const std::string& mode) { return mode != "date" && mode != "time"; }

// The request parameter `name`, or `fallback` when the request lacks it. A
// parameter present with an empty value keeps the empty value.
std::string parameter(const char* name, const std::string& fallback) {
    return util_getvalue(name).value_or(fallback);
}

}  // namespace

int vc_main(int, char**) {
    // A FastCGI process manager starts the program on a listening socket:
    // then it answers request after request. Otherwise it is a CGI run, the
    // same answer for the one request in its environment.
    if (fastcgi_listening(STDIN_FILENO)) return fastcgi_serve(vc_answer);
    return vc_answer();
}

int vc_answer() {
    RequestChannel& channel = util_channel();
    if (!channel.variable("REMOTE_ADDR")) {
        const std::string title = std::string(kProgramName) + " " + kProgramVersion + "\n";
        channel.write(title.data(), title.size());
        channel.write(kConsoleNotice, sizeof kConsoleNotice - 1);
        return 0;
    }

    int status = 0;
    try {
        _vc_request();
    } catch (const ErrorAnswer& e) {
        status = _vc_answererror(e.message());
    } catch (const std::bad_alloc&) {
        status = _vc_answererror("Out of memory");
    }
    _vc_release();
    return status;
}

void _vc_request() {
    CGICONFIG cgiconfig;
    _vc_getconfiguration(cgiconfig);
    support_moveentry(&configentry);

    // The first lookup decodes the request (and reads a POST body).
    VDB vdb;
    vdb.vdb = util_getvalue("vdb");
    vdb.digit = parameter("digit", cgiconfig.default_digit);
    vdb.mode = parameter("mode", kDefaultMode);
    vdb.style = parameter("style", kDefaultStyle);
    vdb.ago = parameter("ago", kDefaultAgo);
    vdb.when = parameter("when", kDefaultWhen);
    std::optional<std::string> date = util_getvalue("date");
    vdb.date = date ? *date : support_returntime(kDateStyle, 0);
    vdb.cntlen = parameter("cntlen", cgiconfig.default_cntlen);

    if (needs_database(vdb.mode)) {
        if (!vdb.vdb) support_errormsg("%s-%s (%s)", kProgramName, kProgramVersion, kProgramDate);
        // The name becomes part of a path: refused before any path is
        // built when it could leave the save directory.
        if (!util_safename(*vdb.vdb)) {
            support_errormsg("Invalid counter name ('%s'): a name may not hold '/' or '..'", vdb.vdb->c_str());
        }
        // The store is chosen here, once: every count below is read from
        // it and the visit recorded in it.
        std::shared_ptr<CounterStore> store = store_open(vc_storeconfig(cgiconfig));
        vdb.counter = store->counter(*vdb.vdb);
        vdb.counter->require();
        vdb.dbfile = vdb.counter->where();
    }

    if (vdb.mode == "counter" || vdb.mode == "date" || vdb.mode == "time") {
        count_makeimage(vdb, cgiconfig);
    } else if (vdb.mode == "stat") {
        statistics_makeimage(vdb, cgiconfig);
    } else {
        support_errormsg("Unknown mode ('%s')", vdb.mode.c_str());
    }
}

int _vc_answererror(const std::string& message) {
    // A database the request still had open is closed first, so its lock
    // is not held while the answer is written.
    dbutil_reset();
    support_answererror(message);
    return 1;
}

void _vc_release() {
    dbutil_reset();
    util_entryfree();
    util_fentryfree(configentry);
    support_forgetentry();
}

void _vc_getconfiguration(CGICONFIG& cgiconfig) {
    if (!util_filecheck(kConfigFile)) {
        support_errormsg("Configuration file('%s') not found.", kConfigFile);
    }
    configentry = util_fdecoder(kConfigFile);
    cgiconfig = _vc_fillconfiguration(configentry);
}

std::vector<std::string> vc_configkeys() {
    std::vector<std::string> keys;
    for (const ConfigKey& k : kConfigKeys) keys.push_back(k.key);
    return keys;
}

STORECONFIG vc_storeconfig(const CGICONFIG& cgiconfig) {
    return {cgiconfig.store,      cgiconfig.dir_save,     cgiconfig.dbfile_ext,
            cgiconfig.redis_addr, cgiconfig.redis_prefix, cgiconfig.redis_password_file};
}

CGICONFIG _vc_fillconfiguration(const EntryList& entries) {
    CGICONFIG cgiconfig;
    for (const ConfigKey& k : kConfigKeys) {
        cgiconfig.*k.field = util_fgetvalue(entries, k.key).value_or(k.fallback);
    }
    return cgiconfig;
}

}  // namespace vorn
