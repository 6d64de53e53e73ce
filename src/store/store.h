// The counter store: where a site keeps its counters, and what the counter,
// its charts, its counting rules and the operator's tool need of one.
//
// Two stores stand behind this one interface:
//   gdbm   one gdbm file per counter in DIR_SAVE (the default, exactly as it
//          always was: the same files, records, locks and messages);
//   redis  one hash per counter on a Redis (or Valkey) server that several
//          web servers share (STORE = redis).
// Which one is decided once, where the configuration is read (store_open);
// callers never ask which one they talk to.
//
// Every operation stands alone: it takes the counter's lock (gdbm) or is one
// atomic step on the server (redis), and keeps nothing open or locked when it
// returns. Failures are raised as error images (support_errormsg), so a
// request never goes on after one.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dbutil.h"

namespace vorn {

class VisitsStore;

// The keys of conf/vc.conf a store is opened from.
struct STORECONFIG {
    std::string store;                // STORE: "gdbm" (also when empty) or "redis"
    std::string dir_save;             // DIR_SAVE
    std::string dbfile_ext;           // DBFILE_EXT
    std::string redis_addr;           // REDIS_ADDR
    std::string redis_prefix;         // REDIS_PREFIX
    std::string redis_password_file;  // REDIS_PASSWORD_FILE, empty for none
};

// Defaults of the store keys.
inline constexpr char kDefaultStore[] = "gdbm";
inline constexpr char kDefaultRedisAddr[] = "127.0.0.1:6379";
inline constexpr char kDefaultRedisPrefix[] = "vorncounter:";

// Reads a record's value through the change being made (see Counter::change).
using StoreGet = std::function<std::optional<std::string>(const std::string& key)>;
// Decides the records a change writes from what it reads.
using StoreEdit = std::function<std::vector<DbChange>(const StoreGet& get)>;

// One counter of the store.
class Counter {
public:
    virtual ~Counter() = default;

    // The counter's name.
    virtual const std::string& name() const = 0;
    // Where it is kept, for messages: "./save/home.db", or the server and
    // the key ("redis 127.0.0.1:6379 vorncounter:counter:home").
    virtual std::string where() const = 0;

    // Whether the counter exists.
    virtual bool exists() = 0;
    // Refuses a counter that does not exist, as a request for it is refused:
    //   gdbm   "DB file (<path>) not found"
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
    // gdbm reads each day under a shared lock of its own, as always; redis
    // reads them all at once.
    virtual std::vector<long> daysums(const std::vector<std::string>& days) = 0;

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
    // Does not return when it cannot be created.
    virtual bool create() = 0;

    // Removes the counter and everything kept for it (its journal, its
    // remembered visits), under its writer lock (gdbm) or in one step
    // (redis). Refuses a counter that does not exist.
    virtual void remove() = 0;

    // The visits of this counter counted lately (REPEAT_MINUTES), open for
    // the moment `now` until the returned store is destroyed.
    virtual std::unique_ptr<VisitsStore> visits(std::time_t now) = 0;
};

// All counters of a site in one store.
class CounterStore {
public:
    virtual ~CounterStore() = default;

    // "gdbm" or "redis".
    virtual const char* kind() const = 0;
    // Where the store is, for messages: "./save" or "redis 127.0.0.1:6379".
    virtual std::string describe() const = 0;

    // The counter `name`, existing or not. A name that could reach outside
    // the store is refused:
    //   "Invalid counter name ('<name>'): a name may not hold '/' or '..'"
    // and so is one whose gdbm path would be longer than vorncounter takes
    //   "DB file path too long (<n> characters, at most 254)".
    virtual std::unique_ptr<Counter> counter(const std::string& name) = 0;

    // The names of all counters, sorted.
    virtual std::vector<std::string> names() = 0;
};

// Opens the store the configuration names. Nothing is connected or opened
// yet: the first operation does that. Refused (does not return):
//   "Configuration error. STORE must be gdbm or redis, not '<value>' (conf/vc.conf)"
//   "Configuration error. DIR_SAVE is empty (conf/vc.conf)"              (gdbm)
//   "Configuration error. REDIS_ADDR: '<value>' is not HOST:PORT, [IPv6]:PORT or a socket path (conf/vc.conf)"
//   "Configuration error. REDIS_PASSWORD_FILE cannot be read (<cause>)"  (redis)
std::unique_ptr<CounterStore> store_open(const STORECONFIG& config);

// The gdbm counter at the file `path` alone, for callers that hold a path
// (the tests of the gdbm layer, a VDB filled by hand).
std::unique_ptr<Counter> store_gdbmcounter(const std::string& path);

}  // namespace vorn
