// The registry API over the run's hive. Every call reads the hive afresh (and every
// write goes back to it at once), so processes see each other's values; a text this
// process has parsed before is not parsed again.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/registry/hive_file.h"
#include "platform/win32/hive.h"
#include "platform/win32/objects.h"

namespace fs = std::filesystem;

namespace plat::win32 {

namespace {

using reg::HiveLock;

bool read_text(const fs::path& root, std::string* text, std::string* error)
{
    return reg::read_hive_text(root, text, error);
}

bool parse(const fs::path& root, const std::string& text, reg::Registry& into, std::string* error)
{
    auto r = into.load_reg(text);
    if (!r.ok && error) *error = hive_file(root).string() + ":" + std::to_string(r.line) + ": " + r.message;
    return r.ok;
}

// The last hive this process parsed or wrote, with its text: a call that finds the same
// text in the file takes it instead of parsing again.
struct ParsedHive {
    fs::path root;
    std::string text;
    std::shared_ptr<const reg::Registry> registry;
};
std::mutex parsed_lock;
ParsedHive& parsed()
{
    static auto* p = new ParsedHive;
    return *p;
}

std::shared_ptr<const reg::Registry> cached(const fs::path& root, const std::string& text)
{
    std::lock_guard<std::mutex> g(parsed_lock);
    return parsed().registry && parsed().root == root && parsed().text == text ? parsed().registry : nullptr;
}

// Takes the kept hive out for a change when it holds `text` and no reader holds it.
std::shared_ptr<reg::Registry> take(const fs::path& root, const std::string& text)
{
    std::lock_guard<std::mutex> g(parsed_lock);
    ParsedHive& p = parsed();
    if (!p.registry || p.root != root || p.text != text || p.registry.use_count() != 1) return nullptr;
    auto r = std::const_pointer_cast<reg::Registry>(std::move(p.registry));
    p = ParsedHive{};
    return r;
}

void keep(const fs::path& root, std::string text, std::shared_ptr<const reg::Registry> registry)
{
    std::lock_guard<std::mutex> g(parsed_lock);
    parsed() = ParsedHive{root, std::move(text), std::move(registry)};
}

}  // namespace

fs::path hive_file(const fs::path& root) { return reg::hive_path(root); }

std::shared_ptr<const reg::Registry> read_hive(const fs::path& root, std::string* error)
{
    HiveLock lock(root, false);
    if (!lock.held()) {
        if (error) *error = "cannot lock the hive in " + root.string();
        return nullptr;
    }
    std::string text;
    if (!read_text(root, &text, error)) return nullptr;
    if (auto r = cached(root, text)) return r;
    auto r = std::make_shared<reg::Registry>();
    if (!parse(root, text, *r, error)) return nullptr;
    keep(root, std::move(text), r);
    return r;
}

bool read_hive(const fs::path& root, reg::Registry& into, std::string* error)
{
    HiveLock lock(root, false);
    if (!lock.held()) {
        if (error) *error = "cannot lock the hive in " + root.string();
        return false;
    }
    std::string text;
    return read_text(root, &text, error) && parse(root, text, into, error);
}

bool update_hive(const fs::path& root, const std::function<bool(reg::Registry&)>& change, std::string* error)
{
    HiveLock lock(root, true);
    if (!lock.held()) {
        if (error) *error = "cannot lock the hive in " + root.string();
        return false;
    }
    std::string text;
    if (!read_text(root, &text, error)) return false;
    auto r = take(root, text);
    if (!r) {
        r = std::make_shared<reg::Registry>();
        if (!parse(root, text, *r, error)) return false;
    }
    if (!change(*r)) return true;
    text = r->save_hive();
    if (!reg::write_hive_text(root, text, error)) return false;
    keep(root, std::move(text), std::move(r));
    return true;
}

std::string canonical_key(const reg::Registry& r, const std::string& path)
{
    static const std::string kPrefix = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet";
    if (path.size() < kPrefix.size() + 3 || !same_text(path.substr(0, kPrefix.size()), kPrefix)) return path;
    std::string digits = path.substr(kPrefix.size(), 3);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return path;
    std::string rest = path.substr(kPrefix.size() + 3);
    if (!rest.empty() && rest[0] != '\\') return path;
    auto current = r.get_dword("HKEY_LOCAL_MACHINE\\SYSTEM\\Select", "Current");
    if (!current || *current != static_cast<uint32_t>(std::stoul(digits))) return path;
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet" + rest;
}

namespace {

struct Key {
    std::string path;  // with its root's name, as opened (before the alias)
    bool writable;
};

std::mutex keys_lock;
std::set<Key*>& keys()
{
    static auto* k = new std::set<Key*>;
    return *k;
}

const char* root_name(HKEY k)
{
    if (k == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (k == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (k == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    if (k == HKEY_USERS) return "HKEY_USERS";
    return nullptr;
}

// The key a handle stands for: its path and whether values may be set through it.
bool key_of(HKEY k, std::string* path, bool* writable)
{
    if (const char* r = root_name(k)) {
        *path = r;
        *writable = true;
        return true;
    }
    std::lock_guard<std::mutex> l(keys_lock);
    auto* key = reinterpret_cast<Key*>(k);
    if (keys().count(key) == 0) return false;
    *path = key->path;
    *writable = key->writable;
    return true;
}

std::string join(const std::string& base, LPCSTR sub)
{
    std::string s = sub != nullptr ? sub : "";
    while (!s.empty() && s.front() == '\\') s.erase(s.begin());
    while (!s.empty() && s.back() == '\\') s.pop_back();
    return s.empty() ? base : base + "\\" + s;
}

HKEY new_key(const std::string& path, REGSAM sam)
{
    auto* k = new Key{path, (sam & KEY_SET_VALUE) != 0};
    std::lock_guard<std::mutex> l(keys_lock);
    keys().insert(k);
    return reinterpret_cast<HKEY>(k);
}

std::vector<uint8_t> bytes_of(const reg::Value& v, DWORD* type)
{
    std::vector<uint8_t> b;
    switch (v.type) {
    case reg::Type::Dword:
        *type = REG_DWORD;
        b.resize(4);
        std::memcpy(b.data(), &v.dword, 4);
        break;
    case reg::Type::Sz:
        *type = REG_SZ;
        b.assign(v.sz.begin(), v.sz.end());
        b.push_back(0);
        break;
    case reg::Type::MultiSz:
        *type = REG_MULTI_SZ;
        for (auto& s : v.multi) {
            b.insert(b.end(), s.begin(), s.end());
            b.push_back(0);
        }
        b.push_back(0);
        break;
    case reg::Type::Binary:
        *type = REG_BINARY;
        b = v.binary;
        break;
    }
    return b;
}

std::optional<reg::Value> value_of(DWORD type, const BYTE* data, DWORD size)
{
    const char* text = reinterpret_cast<const char*>(data);
    switch (type) {
    case REG_DWORD: {
        if (size != 4 || data == nullptr) return std::nullopt;
        uint32_t d;
        std::memcpy(&d, data, 4);
        return reg::Value::Dword(d);
    }
    case REG_SZ: return reg::Value::Sz(size == 0 ? "" : std::string(text, strnlen(text, size)));
    case REG_MULTI_SZ: {
        std::vector<std::string> all;
        for (DWORD at = 0; at < size;) {
            size_t n = strnlen(text + at, size - at);
            if (n == 0) break;
            all.emplace_back(text + at, n);
            at += static_cast<DWORD>(n) + 1;
        }
        return reg::Value::MultiSz(std::move(all));
    }
    case REG_BINARY: return reg::Value::Binary(std::vector<uint8_t>(data, data + size));
    default: return std::nullopt;  // the hive holds these four kinds
    }
}

// Reads the hive for one call; an error code when it cannot.
LONG read_current(std::shared_ptr<const reg::Registry>& r)
{
    auto root_dir = root();
    if (!root_dir) return ERROR_CANTREAD;
    r = read_hive(*root_dir, nullptr);
    return r ? ERROR_SUCCESS : ERROR_CANTREAD;
}

LONG open_key(HKEY Key, LPCSTR SubKey, REGSAM Desired, PHKEY Result)
{
    if (Result == nullptr) return ERROR_INVALID_PARAMETER;
    std::string base;
    bool writable;
    if (!key_of(Key, &base, &writable)) return ERROR_INVALID_HANDLE;
    std::string path = join(base, SubKey);
    std::shared_ptr<const reg::Registry> hive;
    if (LONG e = read_current(hive)) return e;
    const reg::Registry& r = *hive;
    bool predefined = root_name(Key) != nullptr && path == base;
    if (!predefined && !r.key_exists(canonical_key(r, path))) return ERROR_FILE_NOT_FOUND;
    *Result = new_key(path, Desired);
    return ERROR_SUCCESS;
}

}  // namespace

}  // namespace plat::win32

using namespace plat::win32;

LONG RegOpenKeyExA(HKEY Key, LPCSTR SubKey, DWORD, REGSAM Desired, PHKEY Result)
{
    return open_key(Key, SubKey, Desired, Result);
}

LONG RegOpenKeyA(HKEY Key, LPCSTR SubKey, PHKEY Result) { return open_key(Key, SubKey, KEY_ALL_ACCESS, Result); }

LONG RegCreateKeyExA(HKEY Key, LPCSTR SubKey, DWORD, LPSTR, DWORD, REGSAM Desired, LPSECURITY_ATTRIBUTES,
                     PHKEY Result, LPDWORD Disposition)
{
    if (Result == nullptr) return ERROR_INVALID_PARAMETER;
    std::string base;
    bool writable;
    if (!key_of(Key, &base, &writable)) return ERROR_INVALID_HANDLE;
    auto root_dir = root();
    if (!root_dir) return ERROR_CANTWRITE;
    std::string path = join(base, SubKey);
    bool created = false;
    if (!update_hive(*root_dir,
                     [&](plat::reg::Registry& r) {
                         std::string c = canonical_key(r, path);
                         if (r.key_exists(c)) return false;
                         r.create_key(c);
                         created = true;
                         return true;
                     },
                     nullptr))
        return ERROR_CANTWRITE;
    if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *Result = new_key(path, Desired);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY Key)
{
    if (root_name(Key) != nullptr) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> l(keys_lock);
    auto* k = reinterpret_cast<plat::win32::Key*>(Key);
    if (keys().erase(k) == 0) return ERROR_INVALID_HANDLE;
    delete k;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY Key, LPCSTR ValueName, LPDWORD, LPDWORD Type, LPBYTE Data, LPDWORD DataSize)
{
    std::string path;
    bool writable;
    if (!key_of(Key, &path, &writable)) return ERROR_INVALID_HANDLE;
    if (Data != nullptr && DataSize == nullptr) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const plat::reg::Registry> hive;
    if (LONG e = read_current(hive)) return e;
    const plat::reg::Registry& r = *hive;
    auto v = r.get_value(canonical_key(r, path), ValueName != nullptr ? ValueName : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes = bytes_of(*v, &type);
    if (Type != nullptr) *Type = type;
    if (DataSize == nullptr) return ERROR_SUCCESS;
    DWORD room = *DataSize;
    *DataSize = static_cast<DWORD>(bytes.size());
    if (Data == nullptr) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(Data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

namespace {
std::atomic<unsigned> value_writes_to_failure{0};
}

void plat::win32::fail_value_write(unsigned n) { value_writes_to_failure = n; }

LONG RegSetValueExA(HKEY Key, LPCSTR ValueName, DWORD, DWORD Type, const BYTE* Data, DWORD DataSize)
{
    std::string path;
    bool writable;
    if (!key_of(Key, &path, &writable)) return ERROR_INVALID_HANDLE;
    if (!writable) return ERROR_ACCESS_DENIED;
    if (Data == nullptr && DataSize > 0) return ERROR_INVALID_PARAMETER;
    auto v = value_of(Type, Data, DataSize);
    if (!v) return ERROR_INVALID_PARAMETER;
    for (unsigned left = value_writes_to_failure.load(); left != 0;)
        if (value_writes_to_failure.compare_exchange_weak(left, left - 1)) {
            if (left == 1) return ERROR_CANTWRITE;
            break;
        }
    auto root_dir = root();
    if (!root_dir) return ERROR_CANTWRITE;
    LONG result = ERROR_SUCCESS;
    if (!update_hive(*root_dir,
                     [&](plat::reg::Registry& r) {
                         std::string c = canonical_key(r, path);
                         if (!r.key_exists(c)) {
                             result = ERROR_FILE_NOT_FOUND;  // the key went away meanwhile
                             return false;
                         }
                         r.set_value(c, ValueName != nullptr ? ValueName : "", *v);
                         return true;
                     },
                     nullptr))
        return ERROR_CANTWRITE;
    return result;
}

LONG RegDeleteValueA(HKEY Key, LPCSTR ValueName)
{
    std::string path;
    bool writable;
    if (!key_of(Key, &path, &writable)) return ERROR_INVALID_HANDLE;
    if (!writable) return ERROR_ACCESS_DENIED;
    auto root_dir = root();
    if (!root_dir) return ERROR_CANTWRITE;
    LONG result = ERROR_SUCCESS;
    if (!update_hive(*root_dir,
                     [&](plat::reg::Registry& r) {
                         if (!r.delete_value(canonical_key(r, path), ValueName != nullptr ? ValueName : "")) {
                             result = ERROR_FILE_NOT_FOUND;
                             return false;
                         }
                         return true;
                     },
                     nullptr))
        return ERROR_CANTWRITE;
    return result;
}

LONG RegEnumValueA(HKEY Key, DWORD Index, LPSTR ValueName, LPDWORD ValueNameSize, LPDWORD, LPDWORD Type, LPBYTE Data,
                   LPDWORD DataSize)
{
    std::string path;
    bool writable;
    if (!key_of(Key, &path, &writable)) return ERROR_INVALID_HANDLE;
    if (ValueName == nullptr || ValueNameSize == nullptr || (Data != nullptr && DataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const plat::reg::Registry> hive;
    if (LONG e = read_current(hive)) return e;
    const plat::reg::Registry& r = *hive;
    std::string c = canonical_key(r, path);
    if (!r.key_exists(c)) return ERROR_FILE_NOT_FOUND;
    auto names = r.value_names(c);
    if (Index >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& name = names[Index];
    if (*ValueNameSize <= name.size()) return ERROR_MORE_DATA;
    std::memcpy(ValueName, name.c_str(), name.size() + 1);
    *ValueNameSize = static_cast<DWORD>(name.size());
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes = bytes_of(*r.get_value(c, name), &type);
    if (Type != nullptr) *Type = type;
    if (DataSize == nullptr) return ERROR_SUCCESS;
    DWORD room = *DataSize;
    *DataSize = static_cast<DWORD>(bytes.size());
    if (Data == nullptr) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(Data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}
