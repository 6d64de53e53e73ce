// SPDX-License-Identifier: GPL-3.0-or-later
// What a persistent worker keeps of files between requests: the values it
// made of them (decoded pictures, the parsed configuration, the robot
// list), each checked against its file at every use.
//
// A value is used again only while its file is the file it was made of: the
// same identity (device and inode, so a replacement by rename is seen),
// size, modification and change time. A file modified within the
// resolution a file system may give its times (two seconds here) of being
// read is "racy": a later edit in place could leave all of these the same,
// so such an entry is also compared byte for byte until its file is older
// than that. A file that is gone or cannot be read is never answered from
// the cache. The values are bounded by their cost in bytes, the least
// recently used going first.
//
// With a budget of 0 (the CGI mode, where the worker ends with its one
// request) nothing is kept and no file is looked at twice: each use reads
// the file and makes the value.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/util.h"

namespace vorn {

// A file as it was read: its bytes and what identifies that version of it.
struct FileRead {
    std::string bytes;
    struct stat st {};
    int error = 0;  // a read that failed after the open: its errno (EFBIG: longer than the limit)
};

// Reads the whole file `path`, at most `limit` bytes. nullopt, with errno
// set, when it cannot be opened.
std::optional<FileRead> filecache_read(const std::string& path, std::size_t limit);

// True when `a` and `b` are the same version of a file: identity, size,
// modification and change time.
bool filecache_samefile(const struct stat& a, const struct stat& b);

// True when a file of `st`, read now, may be changed again without its
// times showing it.
bool filecache_racy(const struct stat& st);

template <typename T>
class FileCache {
public:
    // What a use of the cache found: the value, or none with `error` the
    // errno of a file that cannot be opened (0: it was opened, but `make`
    // gave no value of it).
    struct Found {
        std::shared_ptr<const T> value;
        int error = 0;
    };
    // Makes the value of a file as read (a read that failed included) and
    // tells its cost in bytes (what it holds in memory); an empty pointer
    // for a file it cannot use. Only values of whole reads are kept.
    using Make = std::function<std::shared_ptr<const T>(const FileRead& read, std::size_t& cost)>;

    FileCache(std::size_t budget, std::size_t limit) : budget_(budget), limit_(limit) {}
    FileCache(const FileCache&) = delete;
    FileCache& operator=(const FileCache&) = delete;

    // The value of the file `path` as it is now.
    Found get(const std::string& path, const Make& make) {
        if (budget_ == 0) return _made(filecache_read(path, limit_), make);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            const int error = errno;
            ++misses_;
            _erase(path);
            return {nullptr, error};
        }
        auto it = entries_.find(path);
        if (it != entries_.end() && filecache_samefile(it->second.st, st)) {
            Entry& e = it->second;
            if (!e.racy) return _use(it);
            std::optional<FileRead> now = filecache_read(path, limit_);
            if (now && now->error == 0 && now->bytes == e.bytes && filecache_samefile(now->st, e.st)) {
                if (!filecache_racy(now->st)) {
                    // Older now than any edit its times could hide: the
                    // bytes kept to compare go, and their cost with them.
                    used_ -= e.bytes.size();
                    e.cost -= e.bytes.size();
                    e.bytes = std::string();
                    e.racy = false;
                }
                return _use(it);
            }
            _erase(path);
            return _keep(path, std::move(now), make);
        }
        _erase(path);
        return _keep(path, filecache_read(path, limit_), make);
    }

    // The cost of what is kept, in bytes.
    std::size_t used() const { return used_; }
    // The values kept.
    std::size_t entries() const { return entries_.size(); }
    // The uses answered from what is kept, and the others (the file read
    // and its value made), since the cache was made; a cache that keeps
    // nothing counts neither.
    std::uint64_t hits() const { return hits_; }
    std::uint64_t misses() const { return misses_; }
    // Whether anything is ever kept (a budget above 0).
    bool keeps() const { return budget_ > 0; }

private:
    struct Entry {
        std::shared_ptr<const T> value;
        struct stat st {};
        bool racy = false;
        std::string bytes;  // while racy: what the file held
        std::size_t cost = 0;
        typename std::list<std::string>::iterator order;
    };

    Found _made(std::optional<FileRead> read, const Make& make) {
        if (!read) return {nullptr, errno};
        std::size_t cost = 0;
        return {make(*read, cost), 0};
    }

    Found _use(typename std::map<std::string, Entry>::iterator it) {
        ++hits_;
        order_.splice(order_.begin(), order_, it->second.order);
        return {it->second.value, 0};
    }

    Found _keep(const std::string& path, std::optional<FileRead> read, const Make& make) {
        ++misses_;
        if (!read) return {nullptr, errno};
        std::size_t cost = 0;
        std::shared_ptr<const T> value = make(*read, cost);
        if (!value || read->error != 0) return {value, 0};
        Entry e;
        e.value = value;
        e.st = read->st;
        e.racy = filecache_racy(read->st);
        if (e.racy) e.bytes = std::move(read->bytes);
        e.cost = cost + e.bytes.size() + path.size();
        if (e.cost > budget_) return {value, 0};
        order_.push_front(path);
        e.order = order_.begin();
        used_ += e.cost;
        entries_.emplace(path, std::move(e));
        while (used_ > budget_ && !order_.empty()) _erase(order_.back());
        return {value, 0};
    }

    void _erase(const std::string& path) {
        auto it = entries_.find(path);
        if (it == entries_.end()) return;
        used_ -= it->second.cost;
        order_.erase(it->second.order);
        entries_.erase(it);
    }

    std::size_t budget_;
    std::size_t limit_;
    std::size_t used_ = 0;
    std::uint64_t hits_ = 0;
    std::uint64_t misses_ = 0;
    std::map<std::string, Entry> entries_;
    std::list<std::string> order_;  // most recently used first
};

}  // namespace vorn
