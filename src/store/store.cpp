#include "store.h"

#include "gdbmstore.h"
#include "redisstore.h"
#include "support.h"
#include "vc.h"

namespace vorn {

std::unique_ptr<CounterStore> store_open(const STORECONFIG& config) {
    if (config.store.empty() || config.store == "gdbm") return gdbmstore_open(config.dir_save, config.dbfile_ext);
    if (config.store == "redis") return redisstore_open(config);
    support_errormsg("Configuration error. STORE must be gdbm or redis, not '%s' (%s)", config.store.c_str(), kConfigFile);
}

std::unique_ptr<Counter> store_gdbmcounter(const std::string& path) {
    // The name is the file's, without its directory and extension.
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
    return gdbmstore_counter(name, path);
}

}  // namespace vorn
