// SPDX-License-Identifier: GPL-3.0-or-later
// The counter store: where a site keeps its counters, and what the counter,
// its charts, its counting rules and the operator's tool need of one.
//
// Two stores stand behind this one interface:
//   gdbm   one gdbm file per counter in DIR_SAVE (the default: the same
//          files, records, locks and messages as always);
//   redis  one hash per counter on a Redis (or Valkey) server that several
//          web servers share (STORE = redis).
// Which one is decided once, where the configuration is read (store_open);
// callers never ask which one they talk to.
//
// Every operation stands alone: it takes the counter's lock (gdbm) or is one
// atomic step on the server (redis), and keeps nothing open or locked when it
// returns. Failures are thrown as ErrorAnswer.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "gdbm/dbutil.h"

namespace vorn {

class VisitsStore;

// The records a counter holds, in either store: the total, the hour of its
// first visit, and one record per hour with visits under the hour key.
inline constexpr char kTotalKey[] = "totcnt";
inline constexpr char kStartDateKey[] = "startdate";

// The key of part `n` of a period: "2001/03" and 9 give "2001/03/09" (a
// day), "2001/03/11" and 13 give "2001/03/11/13" (an hour key), with the
// two-digit fields of the hour keys.
std::string store_subkey(const std::string& period, int n);

// True for an hour key "%Y/%m/%d/%H" of a real calendar day.
bool store_ishour(const std::string& key);

// Reads a record's value through the change being made (Counter::change).
using StoreGet = std::function<std::optional<std::string>(const std::string& key)>;
// Decides the records a change writes from what it reads.
using StoreEdit = std::function<std::vector<DbChange>(const StoreGet& get)>;

// The user the web server runs vorncounter as, for the operator's check.
struct WebUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // every group the user is in
};

// What a user may do with a file: read, write, search (a directory).
inline constexpr int kMayRead = 4, kMayWrite = 2, kMaySearch = 1;

// Whether `user` may do `want` (kMayRead | kMayWrite | kMaySearch) with
// the file `st`, by its permission bits as the kernel grants them (ACLs
// are not looked at).
bool store_may(const struct stat& st, const WebUser& user, int want);

// One thing the operator's check found wrong: a short kind for scripts and
// the line shown, with its fix.
struct Finding {
    std::string kind;
    std::string message;
};

// What a repair did.
struct Repair {
    std::optional<std::string> journal;  // the journal file, where the store keeps one
    std::optional<std::string> problem;  // what gdbm found, when it rebuilt the file
    std::optional<DbRecovery> recovery;  // what the rebuild kept and lost
    bool undid_change = false;           // an interrupted change was undone
    std::optional<std::string> removed;  // what stood in the journal's place and was removed
};

// One counter of the store.
class Counter {
public:
    virtual ~Counter() = default;

    // The counter's name.
    virtual const std::string& name() const = 0;
    // Where it is kept, for messages: "./save/home.db", or the server and
    // the key ("redis 127.0.0.1:6379 vorncounter:counter:home").
    virtual std::string where() const = 0;

    // Whether anything is at the counter's place (a file, also one this
    // user may not read, or a link; the name in the set of counters).
    virtual bool exists() = 0;
    // Refuses a counter that a request cannot use, as a request is refused:
    //   gdbm   "DB file (<path>) not found"  (no file it may open for reading)
    //   redis  "Counter (<name>) not found in redis (<address>)"
    virtual void require() = 0;

    // Records one visit in the hour key `hour` ("%Y/%m/%d/%H"): "totcnt" and
    // the hour's record each raised by one (support_counterupdate), and
    // "startdate" set to `hour` when the total becomes "1", all as one
    // change that concurrent visits never interleave with. Answers the new
    // total.
    virtual std::string visit(const std::string& hour) = 0;

    // The value of the record `key`; nullopt when there is none.
    virtual std::optional<std::string> get(const std::string& key) = 0;

    // For each day text ("2001/03/11"), the sum of its 24 hour records (each
    // read as util_tolong reads it, the sum saturating at the ends of long).
    virtual std::vector<long> daysums(const std::vector<std::string>& days) = 0;

    // The values of `keys` (nullopt for a key with no record), all read at
    // one moment: no visit or change comes between the first read and the
    // last (gdbm: one open under one shared lock; redis: one command).
    virtual std::vector<std::optional<std::string>> snapshot(const std::vector<std::string>& keys) = 0;

    // Every record as it is stored (text false for one not stored as text),
    // in no particular order, read at one moment.
    virtual std::vector<DbRecord> records() = 0;

    // Reads through `get` and writes the changes `edit` answers, as one
    // change: no visit or other change comes between its reads and its
    // writes, and it is written whole or not at all. `edit` may be run more
    // than once (redis retries when another host changed the counter
    // meanwhile) and must have no other effect. Refuses a counter that does
    // not exist (as require).
    virtual void change(const StoreEdit& edit) = 0;

    // Creates the counter, empty (no record). False when it exists already.
    // A new gdbm file made by root is given to the owner of DIR_SAVE, so the
    // web server can write it. Throws when it cannot be created.
    virtual bool create() = 0;

    // Removes the counter and everything kept for it (its journal, its
    // remembered visits), under its writer lock (gdbm) or in one step
    // (redis). Refuses a counter that does not exist.
    virtual void remove() = 0;

    // The visits of this counter counted lately (REPEAT_MINUTES), open for
    // the moment `now` until the returned store is destroyed.
    virtual std::unique_ptr<VisitsStore> visits(std::time_t now) = 0;

    // How large the counter is kept, in the store's unit (sizeunit).
    virtual long long size() = 0;

    // Writes the counter in gdbm's portable dump format, read at one moment
    // (gdbm: the file under its lock, an interrupted change undone first, as
    // the next visit would; redis: the dump of a scratch gdbm file holding
    // its records as vorncounter stores them), so either store's restore
    // reads it.
    virtual void dump(std::FILE* out) = 0;

    // Puts the records of the dump read from `dump` (named `dumpname`) in
    // place of the counter, creating it when it is missing. The whole dump is
    // checked before anything changes. gdbm: a new file in DIR_SAVE, with
    // the mode and owner of the file it replaces, takes the counter's place
    // by one rename under the writer lock. redis: the counter's records
    // become the dump's as one change; a record not stored as text is
    // refused.
    virtual void restore(std::FILE* dump, const std::string& dumpname) = 0;

    // What the store can find wrong with the counter, for the operator's
    // check: "missing", "open", "journal", "damaged-copy", "permission" (for
    // `user`, when given), "needs-recovery", "damaged". False in `readable`
    // when its records cannot be looked at. Changes nothing.
    virtual std::vector<Finding> inspect(const std::optional<WebUser>& user, bool repeat_minutes,
                                         bool& readable) = 0;

    // Mends what a crash or a damaged disk left of the existing counter:
    // rebuilds a damaged gdbm file (keeping the original), undoes an
    // interrupted change, removes what stands in the journal's place. A
    // sound counter, and any counter on a server, is left alone.
    virtual Repair repair() = 0;
};

// All counters of a site in one store.
class CounterStore {
public:
    virtual ~CounterStore() = default;

    // "gdbm" or "redis".
    virtual const char* kind() const = 0;
    // Where the store is, for messages: "./save" or "redis 127.0.0.1:6379".
    virtual std::string describe() const = 0;
    // What Counter::size counts: "size" (the bytes of a file) or
    // "records" (of a server, which keeps no file).
    virtual const char* sizeunit() const = 0;

    // The counter `name`, existing or not. A name that could reach outside
    // the store is refused:
    //   "Invalid counter name ('<name>'): a name may not hold '/' or '..'"
    // and so is one too long for the store:
    //   "DB file path too long (<n> characters, at most 254)"   (gdbm)
    //   "Counter name too long (<n> characters, at most <m>)"
    virtual std::unique_ptr<Counter> counter(const std::string& name) = 0;

    // The names of all counters, sorted.
    virtual std::vector<std::string> names() = 0;

    // What the operator's check finds of a name the store lists but
    // refuses to use ("name": a counter file made before names were
    // bounded, too long for the files kept beside it), with its fix; empty
    // for any other name.
    virtual std::vector<Finding> inspectname(const std::string& name) = 0;

    // What the store can find wrong for the site as a whole, for the
    // operator's check (gdbm: the visits directory and salt that `user` may
    // not write when `repeat_minutes`; redis: a server that evicts keys or
    // keeps nothing across a restart, a cluster that does not serve every
    // slot). Changes nothing.
    virtual std::vector<Finding> inspect(const std::optional<WebUser>& user, bool repeat_minutes) = 0;

    // Whether the store can take visits now, for a health check: the gdbm
    // store's DIR_SAVE is a folder this process may write in; a Redis
    // server answers PING (a cluster: every primary, serving every slot).
    // Throws ErrorAnswer naming what fails:
    //   "Save directory (<dir>) cannot be written: <cause>"   (gdbm)
    //   "Redis error. <cause> (<address>)"                    (redis)
    virtual void ping() = 0;

    // Brings counters kept in an earlier layout of the store into the
    // present one (redis: one hash per counter and a set of names, before
    // the keys of one counter shared a hash slot), each in one step that no
    // visit comes between; the names moved. Visits count on meanwhile,
    // wherever a counter is.
    virtual std::vector<std::string> migrate() { return {}; }
};

class RedisNodes;

// What a process that answers many requests keeps of its store between
// them, owned by it: the connections to the Redis store's nodes and the map
// of a cluster's slots (used again while REDIS_ADDR and the password stay).
struct StoreKeep {
    std::shared_ptr<RedisNodes> redis;
};

// Opens the store the configuration names. Nothing is connected or opened
// yet: the first operation does that. With `keep`, what it holds is used
// again, and what the store connects is left in it for the next request. Refused (throws):
//   "Configuration error. STORE must be gdbm or redis, not '<value>' (conf/vc.conf)"
//   "Configuration error. REDIS_ADDR: '<value>' is not HOST:PORT, [IPv6]:PORT or a socket path (conf/vc.conf)"
//   "Configuration error. REDIS_PASSWORD_FILE cannot be read (<cause>)"  (redis)
// An empty DIR_SAVE refuses every counter of the gdbm store instead
// ("Configuration error. DIR_SAVE is empty (conf/vc.conf)").
std::unique_ptr<CounterStore> store_open(const CGICONFIG& config, StoreKeep* keep = nullptr);

// Makes the records of the existing `counter` exactly `records` (keys
// unique) as one change: the ones it lacks or holds otherwise are written,
// the ones not among `records` are removed (but for records not stored as
// text, which only a gdbm file holds and no change can name: they stay, as
// the counter ignores them). The counter is read first; when a visit or
// change came between that read and the change, the change is not made and
// the counter read again (a few times, then refused: "counter 'NAME' kept
// changing; try again").
void store_replace(Counter& counter, const std::vector<DbRecord>& records);

// Refuses a record that a store of texts cannot hold as it is: one not
// stored as text, or holding a zero byte. `what` names where it is from.
void store_requiretext(const DbRecord& record, const std::string& what);

// "vornctl -C SITE COMMAND ARGS", the site being the working directory by
// its whole path: a fix the operator can paste anywhere.
std::string store_ctl(const std::string& command, const std::string& args);

}  // namespace vorn
