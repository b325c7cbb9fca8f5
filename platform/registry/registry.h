// A registry tree of keys and typed values, loaded from and saved to REGEDIT4 text.
// Key paths are backslash-separated and compared without regard to case, as on the
// real system; the names keep the case they were first written with.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat::reg {

enum class Type { Dword, Sz, MultiSz, Binary };

struct Value {
    Type type = Type::Dword;
    uint32_t dword = 0;                 // Type::Dword
    std::string sz;                     // Type::Sz (8-bit text)
    std::vector<std::string> multi;     // Type::MultiSz
    std::vector<uint8_t> binary;        // Type::Binary

    static Value Dword(uint32_t v);
    static Value Sz(std::string s);
    static Value MultiSz(std::vector<std::string> v);
    static Value Binary(std::vector<uint8_t> b);
    bool operator==(const Value&) const = default;
};

// Outcome of loading a .reg text. On failure nothing of the text was applied.
struct LoadResult {
    bool ok = true;
    int line = 0;          // 1-based line of the first error
    std::string message;   // what is wrong there
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Keys. Root names such as HKEY_LOCAL_MACHINE are part of the path
    // ("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters").
    // A path without a known root is taken relative to HKEY_LOCAL_MACHINE.
    void create_key(const std::string& path);
    bool key_exists(const std::string& path) const;
    bool delete_key(const std::string& path);                       // with its subkeys
    std::vector<std::string> subkeys(const std::string& path) const;  // names, in insertion order

    // Values; the empty name is the key's default value. set_value creates the key.
    void set_value(const std::string& path, const std::string& name, Value v);
    std::optional<Value> get_value(const std::string& path, const std::string& name) const;
    bool delete_value(const std::string& path, const std::string& name);
    std::vector<std::string> value_names(const std::string& path) const;  // insertion order

    // Conveniences.
    void set_dword(const std::string& path, const std::string& name, uint32_t v) { set_value(path, name, Value::Dword(v)); }
    void set_sz(const std::string& path, const std::string& name, std::string s) { set_value(path, name, Value::Sz(std::move(s))); }
    std::optional<uint32_t> get_dword(const std::string& path, const std::string& name) const;
    std::optional<std::string> get_sz(const std::string& path, const std::string& name) const;

    // REGEDIT4 text. load_reg applies every key and value of the text (a key written
    // "[-path]" is deleted, a value written "name"=- is deleted) or, on the first
    // malformed line, nothing at all.
    LoadResult load_reg(const std::string& text);
    LoadResult load_reg_file(const std::string& file_path);
    std::string save_reg() const;                                  // every key below the roots
    std::string save_reg(const std::string& path) const;           // that key and its subkeys
    // save_reg() as a hive file: a comment after the header announces an end line,
    // written last. load_reg refuses a text that announces it and lacks it (a file cut
    // short); lines added after it are read as usual.
    std::string save_hive() const;

    void clear();

private:
    struct Node;
    std::unique_ptr<Node> root_;
    Node* find(const std::string& path) const;
    Node* find_or_create(const std::string& path);
};

}  // namespace plat::reg
