// The run's hive on disk: registry.reg in a root directory, shared by the simulator and
// every process of the applet and setup. registry.lock guards it: readers hold it
// shared, a writer exclusive. Every write goes to a temporary file renamed over the
// hive, so a reader sees the old hive or the new one, never a part; a writer that died
// leaves only its temporary file, which the next writer removes.
#pragma once

#include <filesystem>
#include <string>

#include "platform/registry/registry.h"

namespace plat::reg {

std::filesystem::path hive_path(const std::filesystem::path& root);

// Holds registry.lock in the root, shared or exclusive, while it lives.
class HiveLock {
public:
    HiveLock(const std::filesystem::path& root, bool exclusive);
    ~HiveLock();
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// With the lock held. The hive's text, "" for a missing file; false (with the reason)
// when it cannot be read.
bool read_hive_text(const std::filesystem::path& root, std::string* text, std::string* error);
// With the lock held exclusively: text becomes the hive, whole or not at all.
bool write_hive_text(const std::filesystem::path& root, const std::string& text, std::string* error);

// Takes the lock itself: the hive becomes `hive` (written with its end line); a hive
// that already holds the same keys and values is left as it is.
bool replace_hive(const std::filesystem::path& root, const Registry& hive, std::string* error);

}  // namespace plat::reg
