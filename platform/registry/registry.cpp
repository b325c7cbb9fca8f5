#include "platform/registry/registry.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <list>
#include <string_view>
#include <utility>

namespace plat::reg {

Value Value::Dword(uint32_t v)
{
    Value r;
    r.type = Type::Dword;
    r.dword = v;
    return r;
}

Value Value::Sz(std::string s)
{
    Value r;
    r.type = Type::Sz;
    r.sz = std::move(s);
    return r;
}

Value Value::MultiSz(std::vector<std::string> v)
{
    Value r;
    r.type = Type::MultiSz;
    r.multi = std::move(v);
    return r;
}

Value Value::Binary(std::vector<uint8_t> b)
{
    Value r;
    r.type = Type::Binary;
    r.binary = std::move(b);
    return r;
}

namespace {

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s)
{
    std::string r(s);
    for (char& c : r) c = lower(c);
    return r;
}

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_left(std::string_view s)
{
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view trim_right(std::string_view s)
{
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view trim(std::string_view s) { return trim_right(trim_left(s)); }

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Names in insertion order, looked up without regard to case.
template <class T>
class Ordered {
public:
    using Item = std::pair<std::string, T>;  // name as first written, payload

    Ordered() = default;
    Ordered(const Ordered&) = delete;
    Ordered& operator=(const Ordered&) = delete;

    T* find(std::string_view name)
    {
        auto it = index_.find(lowered(name));
        return it == index_.end() ? nullptr : &it->second->second;
    }
    const T* find(std::string_view name) const { return const_cast<Ordered*>(this)->find(name); }

    // The existing entry keeps its name and position.
    T& get_or_add(std::string_view name)
    {
        std::string key = lowered(name);
        auto it = index_.find(key);
        if (it != index_.end()) return it->second->second;
        items_.emplace_back(std::string(name), T{});
        index_.emplace(std::move(key), std::prev(items_.end()));
        return items_.back().second;
    }

    bool erase(std::string_view name)
    {
        auto it = index_.find(lowered(name));
        if (it == index_.end()) return false;
        items_.erase(it->second);
        index_.erase(it);
        return true;
    }

    std::vector<std::string> names() const
    {
        std::vector<std::string> r;
        r.reserve(items_.size());
        for (const auto& item : items_) r.push_back(item.first);
        return r;
    }

    bool empty() const { return items_.empty(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::list<Item> items_;
    std::map<std::string, typename std::list<Item>::iterator> index_;
};

constexpr std::array<std::string_view, 5> kRoots = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG",
};
constexpr std::array<std::string_view, 5> kRootAliases = {"HKLM", "HKCU", "HKCR", "HKU", "HKCC"};

std::optional<std::string_view> root_name(std::string_view s)
{
    for (size_t i = 0; i < kRoots.size(); ++i)
        if (iequals(s, kRoots[i]) || iequals(s, kRootAliases[i])) return kRoots[i];
    return std::nullopt;
}

std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> parts;
    for (;;) {
        size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

// Root name first, then the key names. Empty components are skipped; without a
// known root the path is taken relative to HKEY_LOCAL_MACHINE.
std::vector<std::string_view> components(std::string_view path)
{
    std::vector<std::string_view> parts;
    for (std::string_view p : split(path, '\\'))
        if (!p.empty()) parts.push_back(p);
    if (!parts.empty()) {
        if (auto root = root_name(parts.front())) {
            parts.front() = *root;
            return parts;
        }
    }
    parts.insert(parts.begin(), kRoots[0]);
    return parts;
}

// ---- REGEDIT4 text ----

std::string quoted(std::string_view s)
{
    std::string r = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') r += '\\';
        r += c;
    }
    r += '"';
    return r;
}

// regedit style: wrap with ",\" and a two-space indent once a line passes 76 columns.
void append_hex(std::string& out, std::string_view prefix, const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    out += prefix;
    size_t col = prefix.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
        col += 2;
        if (i + 1 == bytes.size()) break;
        out += ',';
        ++col;
        if (col >= 76) {
            out += "\\\n  ";
            col = 2;
        }
    }
}

std::vector<uint8_t> multi_sz_bytes(const std::vector<std::string>& strings)
{
    std::vector<uint8_t> b;
    for (const std::string& s : strings) {
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
    }
    b.push_back(0);
    return b;
}

void append_value(std::string& out, const std::string& name, const Value& v)
{
    std::string prefix = name.empty() ? "@=" : quoted(name) + "=";
    switch (v.type) {
    case Type::Dword: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v.dword));
        out += prefix + buf;
        break;
    }
    case Type::Sz:
        // A line break cannot sit inside a quoted string; hex(1) carries the same REG_SZ.
        if (v.sz.find_first_of("\r\n") != std::string::npos) {
            std::vector<uint8_t> b(v.sz.begin(), v.sz.end());
            b.push_back(0);
            append_hex(out, prefix + "hex(1):", b);
        } else {
            out += prefix + quoted(v.sz);
        }
        break;
    case Type::MultiSz:
        append_hex(out, prefix + "hex(7):", multi_sz_bytes(v.multi));
        break;
    case Type::Binary:
        append_hex(out, prefix + "hex:", v.binary);
        break;
    }
    out += '\n';
}

// Node is private to Registry; the writer takes it as a template parameter.
template <class N>
void append_key(std::string& out, const std::string& path, const N& node, bool write_section)
{
    if (write_section) {
        out += "[" + path + "]\n";
        for (const auto& [name, value] : node.values) append_value(out, name, value);
        out += '\n';
    }
    for (const auto& [name, child] : node.children) append_key(out, path + "\\" + child->name, *child, true);
}

struct Op {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::string path;  // root name first, no empty components
    std::string name;
    Value value;
};

struct ParseError {
    int line;
    std::string message;
};

const char* const kHiveOpening = "; written whole: ends with the line \"; end of hive\"";
const char* const kHiveEnd = "; end of hive";

// Text of the input for a message: in quotes, bytes that do not print as \xNN, and a
// long line cut off, so a binary file is never echoed to a terminal as it is.
std::string shown(std::string_view text)
{
    constexpr size_t kShown = 80;
    std::string out = "'";
    for (size_t k = 0; k < text.size() && k < kShown; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > kShown) out += "...";
    return out + "'";
}

class Parser {
public:
    explicit Parser(std::string_view text)
    {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
        for (std::string_view line : split(text, '\n')) {
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back(trim(line));
        }
    }

    std::vector<Op> parse()
    {
        size_t i = 0;
        while (i < lines_.size() && lines_[i].empty()) ++i;
        if (i == lines_.size()) throw ParseError{1, "missing REGEDIT4 header"};
        if (lines_[i] != "REGEDIT4")
            fail(i, "expected REGEDIT4 as the first line, found " + shown(lines_[i]));

        // A hive that announces its end line and lacks it was cut short: taken as it is,
        // it would be a smaller configuration than the one written.
        // (Cut within that announcement, the text ends in a part of it.)
        const std::string_view opening = kHiveOpening;
        const bool announced = i + 1 < lines_.size() && lines_[i + 1] == opening;
        const bool cut_in_announcement = i + 2 == lines_.size() && !lines_[i + 1].empty() &&
                                         opening.substr(0, lines_[i + 1].size()) == lines_[i + 1];
        if (cut_in_announcement ||
            (announced && std::find(lines_.begin() + long(i) + 2, lines_.end(), std::string_view(kHiveEnd)) == lines_.end()))
            fail(lines_.size() - 1, "the hive stops before its end line: it was cut short");

        for (++i; i < lines_.size(); ++i) {
            std::string_view line = lines_[i];
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[') {
                section(i, line);
            } else if (line.front() == '"' || line.front() == '@') {
                i = value(i, line);
            } else {
                fail(i, "expected a [key] section, a value line or a ';' comment");
            }
        }
        return std::move(ops_);
    }

private:
    [[noreturn]] static void fail(size_t index, std::string message)
    {
        throw ParseError{static_cast<int>(index) + 1, std::move(message)};
    }

    void section(size_t i, std::string_view line)
    {
        if (line.back() != ']') fail(i, "section must end with ']'");
        std::string_view path = line.substr(1, line.size() - 2);
        bool remove = !path.empty() && path.front() == '-';
        if (remove) path.remove_prefix(1);
        if (path.empty()) fail(i, "section has an empty key path");
        std::vector<std::string_view> parts = split(path, '\\');
        auto root = root_name(parts.front());
        if (!root) fail(i, "unknown root key " + shown(parts.front()));
        std::string full(*root);
        for (size_t k = 1; k < parts.size(); ++k) {
            if (parts[k].empty()) fail(i, "empty key name in " + shown(path));
            if (has_control(parts[k])) fail(i, "control character in key name");
            full += '\\';
            full += parts[k];
        }
        if (remove && parts.size() == 1) fail(i, "a root key cannot be deleted");
        ops_.push_back({remove ? Op::DeleteKey : Op::CreateKey, full, {}, {}});
        key_ = remove ? std::nullopt : std::optional<std::string>(full);
        key_deleted_ = remove;
    }

    // Parses a quoted string at the front of s; leaves s after the closing quote.
    static std::string quoted_string(size_t i, std::string_view& s)
    {
        std::string r;
        for (size_t k = 1; k < s.size(); ++k) {
            char c = s[k];
            if (c == '"') {
                s.remove_prefix(k + 1);
                return r;
            }
            if (c == '\0') fail(i, "NUL character in string");
            if (c == '\\') {
                if (++k == s.size()) break;
                if (s[k] != '\\' && s[k] != '"')
                    fail(i, "bad escape " + shown(std::string("\\") + s[k]) + " in string (only \\\\ and \\\" are allowed)");
                c = s[k];
            }
            r += c;
        }
        fail(i, "unterminated string");
    }

    static bool has_control(std::string_view s)
    {
        for (unsigned char c : s)
            if (c < 0x20 || c == 0x7F) return true;
        return false;
    }

    static void expect_end(size_t i, std::string_view rest)
    {
        if (!rest.empty()) fail(i, "unexpected text after the data: " + shown(rest));
    }

    // Returns the index of the value's last line (hex lists may continue).
    size_t value(size_t i, std::string_view line)
    {
        if (key_deleted_) fail(i, "value line under a deleted key");
        if (!key_) fail(i, "value line before any [key] section");

        std::string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else {
            name = quoted_string(i, line);
            if (has_control(name)) fail(i, "control character in value name");
        }
        line = trim_left(line);
        if (line.empty() || line.front() != '=') fail(i, "expected '=' after the value name");
        line = trim_left(line.substr(1));

        Op op{Op::SetValue, *key_, std::move(name), {}};
        size_t last = i;
        if (line == "-") {
            op.kind = Op::DeleteValue;
        } else if (!line.empty() && line.front() == '"') {
            op.value = Value::Sz(quoted_string(i, line));
            expect_end(i, trim_left(line));
        } else if (istarts_with(line, "dword:")) {
            line.remove_prefix(6);
            size_t n = 0;
            uint32_t v = 0;
            while (n < line.size() && hex_digit(line[n]) >= 0) v = v * 16 + static_cast<uint32_t>(hex_digit(line[n++]));
            if (n == 0 || n > 8) fail(i, "dword value needs 1 to 8 hex digits");
            expect_end(i, trim_left(line.substr(n)));
            op.value = Value::Dword(v);
        } else if (istarts_with(line, "hex")) {
            op.value = hex_value(i, line.substr(3), last);
        } else {
            fail(i, "unknown value data " + shown(line));
        }
        ops_.push_back(std::move(op));
        return last;
    }

    // s follows "hex": ":bytes" or "(t):bytes". hex(1) and hex(2) (REG_EXPAND_SZ, for
    // which there is no type here) are kept as REG_SZ: the text before the first NUL.
    Value hex_value(size_t i, std::string_view s, size_t& last)
    {
        char kind = 0;
        if (s.size() >= 3 && s[0] == '(' && s[2] == ')') {
            kind = lower(s[1]);
            s.remove_prefix(3);
        } else if (!s.empty() && s[0] == '(') {
            size_t close = s.find(')');
            fail(i, "unsupported value type hex" + std::string(s.substr(0, close == s.npos ? s.size() : close + 1)));
        }
        if (kind != 0 && kind != '1' && kind != '2' && kind != '7')
            fail(i, std::string("unsupported value type hex(") + kind + ")");
        if (s.empty() || s.front() != ':') fail(i, "expected ':' after hex");
        std::vector<uint8_t> bytes = hex_bytes(i, s.substr(1), last);

        if (kind == 0) return Value::Binary(std::move(bytes));
        if (kind != '7') {
            auto nul = std::find(bytes.begin(), bytes.end(), uint8_t{0});
            return Value::Sz(std::string(bytes.begin(), nul));
        }
        // Each string ends with a NUL and an empty string ends the list; a missing
        // final NUL is accepted. Strings cannot be empty.
        std::vector<std::string> strings;
        size_t k = 0;
        while (k < bytes.size() && bytes[k] != 0) {
            size_t end = k;
            while (end < bytes.size() && bytes[end] != 0) ++end;
            strings.emplace_back(bytes.begin() + static_cast<ptrdiff_t>(k), bytes.begin() + static_cast<ptrdiff_t>(end));
            k = end + 1;
        }
        for (; k < bytes.size(); ++k)
            if (bytes[k] != 0) fail(i, "multi-string data continues after the terminating empty string");
        return Value::MultiSz(std::move(strings));
    }

    // Comma-separated bytes; a line ending in ",\" continues on the next line.
    std::vector<uint8_t> hex_bytes(size_t i, std::string_view s, size_t& last)
    {
        std::vector<uint8_t> bytes;
        for (size_t ln = i;; s = lines_[++ln]) {
            bool more = !s.empty() && s.back() == '\\';
            if (more) s.remove_suffix(1);
            if (ln == i && !more && trim(s).empty()) return bytes;  // "hex:" alone: no bytes
            std::vector<std::string_view> parts = split(s, ',');
            for (size_t p = 0; p < parts.size(); ++p) {
                std::string_view b = trim(parts[p]);
                bool final_part = p + 1 == parts.size();
                if (b.empty()) {
                    if (final_part && more) break;
                    fail(ln, final_part ? "hex list ends with ','" : "empty byte in hex list");
                }
                if (final_part && more) fail(ln, "a continued hex list must end its line with \",\\\"");
                int hi = hex_digit(b[0]);
                int lo = b.size() == 2 ? hex_digit(b[1]) : 0;
                if (b.size() > 2 || hi < 0 || lo < 0) fail(ln, "bad hex byte " + shown(b));
                bytes.push_back(static_cast<uint8_t>(b.size() == 2 ? hi * 16 + lo : hi));
            }
            if (!more) {
                last = ln;
                return bytes;
            }
            if (ln + 1 == lines_.size()) fail(ln, "hex list continues past the end of the text");
        }
    }

    std::vector<std::string_view> lines_;  // trimmed
    std::vector<Op> ops_;
    std::optional<std::string> key_;  // current section
    bool key_deleted_ = false;
};

}  // namespace

struct Registry::Node {
    std::string name;
    Ordered<std::unique_ptr<Node>> children;
    Ordered<Value> values;
};

Registry::Registry() { clear(); }

Registry::~Registry() = default;

void Registry::clear()
{
    root_ = std::make_unique<Node>();
    for (std::string_view r : kRoots) {
        auto& child = root_->children.get_or_add(r);
        child = std::make_unique<Node>();
        child->name = r;
    }
}

Registry::Node* Registry::find(const std::string& path) const
{
    Node* node = root_.get();
    for (std::string_view part : components(path)) {
        auto* child = node->children.find(part);
        if (!child) return nullptr;
        node = child->get();
    }
    return node;
}

Registry::Node* Registry::find_or_create(const std::string& path)
{
    Node* node = root_.get();
    for (std::string_view part : components(path)) {
        auto& child = node->children.get_or_add(part);
        if (!child) {
            child = std::make_unique<Node>();
            child->name = part;
        }
        node = child.get();
    }
    return node;
}

void Registry::create_key(const std::string& path) { find_or_create(path); }

bool Registry::key_exists(const std::string& path) const { return find(path) != nullptr; }

bool Registry::delete_key(const std::string& path)
{
    std::vector<std::string_view> parts = components(path);
    if (parts.size() < 2) return false;  // roots stay
    Node* parent = root_.get();
    for (size_t k = 0; k + 1 < parts.size(); ++k) {
        auto* child = parent->children.find(parts[k]);
        if (!child) return false;
        parent = child->get();
    }
    return parent->children.erase(parts.back());
}

std::vector<std::string> Registry::subkeys(const std::string& path) const
{
    const Node* node = find(path);
    if (!node) return {};
    std::vector<std::string> r;
    for (const auto& item : node->children) r.push_back(item.second->name);
    return r;
}

void Registry::set_value(const std::string& path, const std::string& name, Value v)
{
    find_or_create(path)->values.get_or_add(name) = std::move(v);
}

std::optional<Value> Registry::get_value(const std::string& path, const std::string& name) const
{
    const Node* node = find(path);
    if (!node) return std::nullopt;
    const Value* v = node->values.find(name);
    if (!v) return std::nullopt;
    return *v;
}

bool Registry::delete_value(const std::string& path, const std::string& name)
{
    Node* node = find(path);
    return node && node->values.erase(name);
}

std::vector<std::string> Registry::value_names(const std::string& path) const
{
    const Node* node = find(path);
    return node ? node->values.names() : std::vector<std::string>{};
}

std::optional<uint32_t> Registry::get_dword(const std::string& path, const std::string& name) const
{
    auto v = get_value(path, name);
    if (!v || v->type != Type::Dword) return std::nullopt;
    return v->dword;
}

std::optional<std::string> Registry::get_sz(const std::string& path, const std::string& name) const
{
    auto v = get_value(path, name);
    if (!v || v->type != Type::Sz) return std::nullopt;
    return v->sz;
}

LoadResult Registry::load_reg(const std::string& text)
{
    std::vector<Op> ops;
    try {
        ops = Parser(text).parse();
    } catch (const ParseError& e) {
        return {false, e.line, e.message};
    }
    for (Op& op : ops) {
        switch (op.kind) {
        case Op::CreateKey: create_key(op.path); break;
        case Op::DeleteKey: delete_key(op.path); break;
        case Op::SetValue: set_value(op.path, op.name, std::move(op.value)); break;
        case Op::DeleteValue: delete_value(op.path, op.name); break;
        }
    }
    return {};
}

LoadResult Registry::load_reg_file(const std::string& file_path)
{
    std::FILE* f = std::fopen(file_path.c_str(), "rb");
    if (!f) return {false, 0, "cannot open " + file_path + ": " + std::strerror(errno)};
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    bool failed = std::ferror(f) != 0;
    int err = errno;
    std::fclose(f);
    if (failed) return {false, 0, "cannot read " + file_path + ": " + std::strerror(err)};
    return load_reg(text);
}

std::string Registry::save_reg() const
{
    std::string out = "REGEDIT4\n\n";
    // Roots are written only when they hold values of their own.
    for (const auto& [name, root] : root_->children) append_key(out, root->name, *root, !root->values.empty());
    return out;
}

std::string Registry::save_hive() const
{
    std::string out = save_reg();
    out.insert(std::strlen("REGEDIT4\n"), std::string(kHiveOpening) + "\n");
    return out + kHiveEnd + "\n";
}

std::string Registry::save_reg(const std::string& path) const
{
    std::string out = "REGEDIT4\n\n";
    const Node* node = find(path);
    if (!node) return out;
    // The names as stored, not as asked for.
    std::string full;
    const Node* at = root_.get();
    for (std::string_view part : components(path)) {
        at = at->children.find(part)->get();
        if (!full.empty()) full += '\\';
        full += at->name;
    }
    append_key(out, full, *node, true);
    return out;
}

}  // namespace plat::reg
