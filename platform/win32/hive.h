// The run's hive: registry.reg (REGEDIT4) in the root, shared by the simulator and every
// process of the applet and setup. Readers hold a shared lock on registry.lock while
// they read; a writer holds an exclusive lock, reads the file, applies its change,
// writes a temporary file and renames it over the hive, so no write is lost.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/registry/registry.h"

namespace plat::win32 {

std::filesystem::path hive_file(const std::filesystem::path& root);

// A missing hive reads as an empty registry; false (with the reason) for one that is
// not REGEDIT4 text or cannot be read.
bool read_hive(const std::filesystem::path& root, reg::Registry& into, std::string* error);
// The same, shared: the hive as this process last parsed or wrote it while the file still
// holds that text; null (with the reason) when it cannot be read.
std::shared_ptr<const reg::Registry> read_hive(const std::filesystem::path& root, std::string* error);
// change answers false to leave the hive as it was.
bool update_hive(const std::filesystem::path& root, const std::function<bool(reg::Registry&)>& change,
                 std::string* error);

// "SYSTEM\ControlSet00N\..." under HKEY_LOCAL_MACHINE is "SYSTEM\CurrentControlSet\..."
// when SYSTEM\Select\Current is N; other paths are given back as they are.
std::string canonical_key(const reg::Registry& r, const std::string& path);

// Tests: the n-th RegSetValueExA of this process from now on (1 the next) fails with
// ERROR_CANTWRITE and changes nothing; 0 fails none.
void fail_value_write(unsigned n);

}  // namespace plat::win32
