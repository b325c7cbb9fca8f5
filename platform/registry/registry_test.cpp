#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace plat::reg {
namespace {

const char* const kRoots[] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG",
};

std::string describe(const Value& v)
{
    std::ostringstream os;
    switch (v.type) {
    case Type::Dword: os << "dword " << v.dword; break;
    case Type::Sz: os << "sz [" << v.sz << "]"; break;
    case Type::MultiSz:
        os << "multi";
        for (const auto& s : v.multi) os << " [" << s << "]";
        break;
    case Type::Binary:
        os << "binary";
        for (uint8_t b : v.binary) os << ' ' << int(b);
        break;
    }
    return os.str();
}

// The whole tree through the public accessors, so it does not depend on save_reg.
void dump_key(const Registry& r, const std::string& path, std::string& out)
{
    out += path + "\n";
    for (const auto& name : r.value_names(path)) out += "  [" + name + "] " + describe(*r.get_value(path, name)) + "\n";
    for (const auto& sub : r.subkeys(path)) dump_key(r, path + "\\" + sub, out);
}

std::string dump(const Registry& r)
{
    std::string out;
    for (const char* root : kRoots) dump_key(r, root, out);
    return out;
}

std::string reg(const std::string& body) { return "REGEDIT4\n\n" + body; }

TEST(RegistryKeys, NamesCompareWithoutCaseAndKeepFirstSpelling)
{
    Registry r;
    r.set_dword("HKEY_LOCAL_MACHINE\\System\\Vornet1", "LineSpeed", 1);
    r.create_key("hklm\\SYSTEM\\VORNET1\\Parameters");
    r.set_dword("hkey_local_machine\\system\\vornet1", "LINESPEED", 2);

    EXPECT_EQ(r.get_dword("HKLM\\SYSTEM\\vornet1", "linespeed"), 2u);
    EXPECT_EQ(r.subkeys("HKLM"), std::vector<std::string>{"System"});
    EXPECT_EQ(r.subkeys("HKLM\\system"), std::vector<std::string>{"Vornet1"});
    EXPECT_EQ(r.value_names("HKLM\\System\\Vornet1"), std::vector<std::string>{"LineSpeed"});
    EXPECT_TRUE(r.key_exists("HKLM\\SYSTEM\\vornet1\\PARAMETERS"));
}

TEST(RegistryKeys, RootsAndAliases)
{
    Registry r;
    r.set_sz("Software\\App", "v", "local");  // no root: under HKEY_LOCAL_MACHINE
    r.set_sz("HKCU\\Software\\App", "v", "user");

    EXPECT_EQ(r.get_sz("HKEY_LOCAL_MACHINE\\Software\\App", "v"), "local");
    EXPECT_EQ(r.get_sz("HKEY_CURRENT_USER\\Software\\App", "v"), "user");
    EXPECT_FALSE(r.key_exists("HKEY_USERS\\Software"));
    for (const char* root : kRoots) EXPECT_TRUE(r.key_exists(root)) << root;
    EXPECT_FALSE(r.key_exists("HKEY_LOCAL_MACHINE\\Software\\Other"));
}

TEST(RegistryKeys, InsertionOrderKeptAcrossDeleteAndReAdd)
{
    Registry r;
    for (const char* k : {"b", "A", "c"}) r.create_key(std::string("HKLM\\K\\") + k);
    for (const char* v : {"z", "", "Y"}) r.set_dword("HKLM\\K", v, 0);
    r.set_dword("HKLM\\K", "z", 5);  // overwrite keeps its place

    EXPECT_EQ(r.subkeys("HKLM\\K"), (std::vector<std::string>{"b", "A", "c"}));
    EXPECT_EQ(r.value_names("HKLM\\K"), (std::vector<std::string>{"z", "", "Y"}));

    EXPECT_TRUE(r.delete_key("HKLM\\K\\B"));
    r.create_key("HKLM\\K\\B");
    EXPECT_TRUE(r.delete_value("HKLM\\K", "Z"));
    r.set_dword("HKLM\\K", "Z", 1);
    EXPECT_EQ(r.subkeys("HKLM\\K"), (std::vector<std::string>{"A", "c", "B"}));
    EXPECT_EQ(r.value_names("HKLM\\K"), (std::vector<std::string>{"", "Y", "Z"}));
}

TEST(RegistryKeys, DeleteKeyTakesSubtreeButNotRoots)
{
    Registry r;
    r.set_dword("HKLM\\A\\B\\C", "v", 1);
    r.set_dword("HKLM\\A2", "v", 2);

    EXPECT_TRUE(r.delete_key("hklm\\a"));
    EXPECT_FALSE(r.key_exists("HKLM\\A"));
    EXPECT_FALSE(r.get_value("HKLM\\A\\B\\C", "v"));
    EXPECT_EQ(r.get_dword("HKLM\\A2", "v"), 2u);

    EXPECT_FALSE(r.delete_key("HKLM\\A"));
    EXPECT_FALSE(r.delete_key("HKLM\\Missing\\Deeper"));
    EXPECT_FALSE(r.delete_key("HKEY_CURRENT_USER"));
    EXPECT_TRUE(r.key_exists("HKEY_CURRENT_USER"));
    EXPECT_FALSE(r.delete_value("HKLM\\Missing", "v"));
    EXPECT_FALSE(r.key_exists("HKLM\\Missing"));
}

TEST(RegistryKeys, TypedGettersRefuseOtherTypes)
{
    Registry r;
    r.set_sz("HKLM\\K", "s", "12");
    r.set_dword("HKLM\\K", "d", 12);
    EXPECT_FALSE(r.get_dword("HKLM\\K", "s"));
    EXPECT_FALSE(r.get_sz("HKLM\\K", "d"));
    EXPECT_EQ(r.get_value("HKLM\\K", "d"), Value::Dword(12));
}

TEST(RegistryKeys, ClearLeavesEmptyRoots)
{
    Registry r;
    r.set_dword("HKCU\\K", "v", 1);
    r.clear();
    EXPECT_FALSE(r.key_exists("HKCU\\K"));
    EXPECT_TRUE(r.key_exists("HKCU"));
    EXPECT_EQ(r.save_reg(), "REGEDIT4\n\n");
}

TEST(RegistrySave, ExactText)
{
    Registry r;
    r.set_sz("HKLM\\System\\Svc", "", "default");
    r.set_sz("HKLM\\System\\Svc", "Path", "C:\\dir\\\"q\"");
    r.set_dword("HKLM\\System\\Svc", "Mask", 0xABCDEF);
    r.set_value("HKLM\\System\\Svc", "Bin", Value::Binary({0x00, 0x7f, 0xff}));
    r.set_value("HKLM\\System\\Svc", "Multi", Value::MultiSz({"a", "bc"}));
    r.create_key("HKLM\\System\\Svc\\Empty");
    r.set_dword("HKCU\\U", "x", 0);

    EXPECT_EQ(r.save_reg(),
              "REGEDIT4\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\Svc]\n"
              "@=\"default\"\n"
              "\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\n"
              "\"Mask\"=dword:00abcdef\n"
              "\"Bin\"=hex:00,7f,ff\n"
              "\"Multi\"=hex(7):61,00,62,63,00,00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\Svc\\Empty]\n"
              "\n"
              "[HKEY_CURRENT_USER\\U]\n"
              "\"x\"=dword:00000000\n"
              "\n");

    EXPECT_EQ(r.save_reg("hklm\\SYSTEM\\svc\\empty"),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\Svc\\Empty]\n\n");
    EXPECT_EQ(r.save_reg("HKLM\\Missing"), "REGEDIT4\n\n");
}

TEST(RegistrySave, RoundTripEveryType)
{
    std::vector<uint8_t> long_bin;
    for (int i = 0; i < 300; ++i) long_bin.push_back(static_cast<uint8_t>(i * 7));
    std::vector<std::string> long_multi;
    for (int i = 0; i < 20; ++i) long_multi.push_back("entry number " + std::to_string(i));

    Registry a;
    const std::string k = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";
    a.set_sz(k, "", "the default");
    a.set_sz(k, "Escapes", "back\\slash \"quoted\" \\\" end\\");
    a.set_sz(k, "Empty", "");
    a.set_sz(k, "Lines", "one\ntwo\r\n");
    a.set_sz(k, "High", "\xC3\xA9\x01\x7f");
    a.set_sz(k, "Semi;colon [x]", "; not a comment");
    a.set_sz(k, "name \"with\" \\ specials", "v");
    a.set_dword(k, "Zero", 0);
    a.set_dword(k, "Max", 0xFFFFFFFF);
    a.set_value(k, "Multi", Value::MultiSz({"first", "second"}));
    a.set_value(k, "MultiEmpty", Value::MultiSz({}));
    a.set_value(k, "MultiLong", Value::MultiSz(long_multi));
    a.set_value(k, "BinEmpty", Value::Binary({}));
    a.set_value(k, "BinOne", Value::Binary({0}));
    a.set_value(k, "BinLong", Value::Binary(long_bin));
    a.set_value(k, std::string(100, 'N'), Value::Binary(long_bin));
    a.create_key(k + "\\Empty Key");
    a.create_key("HKLM\\Key ]with] brackets");
    a.set_dword("HKEY_CURRENT_USER", "RootValue", 7);
    a.set_dword("HKEY_CURRENT_CONFIG\\Deep\\er", "d", 1);

    std::string text = a.save_reg();
    Registry b;
    LoadResult res = b.load_reg(text);
    ASSERT_TRUE(res.ok) << res.line << ": " << res.message << "\n" << text;
    EXPECT_EQ(dump(b), dump(a));
    EXPECT_EQ(b.save_reg(), text);

    // Long hex lists are wrapped onto continuation lines.
    std::istringstream lines(text);
    std::string line;
    int continued = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("  ", 0) == 0) ++continued;
        bool hex_line = line.rfind("  ", 0) == 0 || line.find("=hex") != std::string::npos;
        if (hex_line && line.find(std::string(100, 'N')) == std::string::npos) {
            EXPECT_LE(line.size(), 80u) << line;
        }
    }
    EXPECT_GT(continued, 20);
}

TEST(RegistryLoad, DataForms)
{
    struct Case {
        const char* data;
        Value want;
    };
    const Case cases[] = {
        {"\"plain\"", Value::Sz("plain")},
        {"\"\"", Value::Sz("")},
        {"\"a\\\\b\\\"c\"", Value::Sz("a\\b\"c")},
        {"\"x\"   ", Value::Sz("x")},
        {"dword:1", Value::Dword(1)},
        {"dword:DeadBeef", Value::Dword(0xdeadbeef)},
        {"dword:00000000", Value::Dword(0)},
        {"hex:", Value::Binary({})},
        {"hex:0,a,FF", Value::Binary({0x00, 0x0a, 0xff})},
        {"hex: 01 , 02", Value::Binary({1, 2})},
        {"hex:01,02,\\\n  03,\\\n\t04", Value::Binary({1, 2, 3, 4})},
        {"hex:\\\n  05", Value::Binary({5})},
        {"hex(7):61,00,62,00,00", Value::MultiSz({"a", "b"})},
        {"hex(7):61,00,62,00", Value::MultiSz({"a", "b"})},
        {"hex(7):61,00,62", Value::MultiSz({"a", "b"})},
        {"hex(7):00", Value::MultiSz({})},
        {"hex(7):", Value::MultiSz({})},
        {"hex(7):61,00,00,00,00", Value::MultiSz({"a"})},
        {"hex(2):25,53,25,00", Value::Sz("%S%")},
        {"hex(2):41,00,42", Value::Sz("A")},
        {"hex(1):41,0a,42,00", Value::Sz("A\nB")},
    };
    for (const Case& c : cases) {
        Registry r;
        LoadResult res = r.load_reg(reg(std::string("[HKLM\\T]\n\"v\"=") + c.data + "\n"));
        ASSERT_TRUE(res.ok) << c.data << " -> line " << res.line << ": " << res.message;
        EXPECT_EQ(r.get_value("HKLM\\T", "v"), c.want) << c.data << " gave " << describe(*r.get_value("HKLM\\T", "v"));
    }
}

TEST(RegistryLoad, HeaderBomLineEndsAndComments)
{
    Registry r;
    LoadResult res = r.load_reg(
        "\xEF\xBB\xBF\r\n"
        "REGEDIT4\r\n"
        "\r\n"
        "; a comment\r\n"
        "  ;indented comment\r\n"
        "[HKEY_LOCAL_MACHINE\\A]\r\n"
        "@=\"def\"\r\n"
        "\"\"=\"also default\"\r\n"
        "\"B\" = dword:2\r\n"
        "\"C\"=hex:01,\\\r\n"
        "  02\r\n"
        "\r\n"
        "[HKCU\\X]");
    ASSERT_TRUE(res.ok) << res.line << ": " << res.message;
    EXPECT_EQ(r.get_sz("HKLM\\A", ""), "also default");
    EXPECT_EQ(r.get_dword("HKLM\\A", "b"), 2u);
    EXPECT_EQ(r.get_value("HKLM\\A", "C"), Value::Binary({1, 2}));
    EXPECT_EQ(r.value_names("HKLM\\A"), (std::vector<std::string>{"", "B", "C"}));
    EXPECT_TRUE(r.key_exists("HKEY_CURRENT_USER\\X"));
}

TEST(RegistryLoad, DeletionsApplyInOrder)
{
    Registry r;
    r.set_dword("HKLM\\Svc\\Old\\Sub", "v", 1);
    r.set_dword("HKLM\\Svc\\Keep", "gone", 1);
    r.set_dword("HKLM\\Svc\\Keep", "stays", 2);
    r.set_sz("HKLM\\Svc\\Keep", "", "default");

    LoadResult res = r.load_reg(reg(
        "[-hklm\\SVC\\old]\n"
        "[-HKLM\\Svc\\NeverExisted]\n"
        "[HKLM\\svc\\KEEP]\n"
        "\"GONE\"=-\n"
        "@=-\n"
        "\"missing\"=-\n"
        "[-HKLM\\Svc\\Again]\n"
        "[HKLM\\Svc\\Again]\n"
        "\"n\"=dword:3\n"));
    ASSERT_TRUE(res.ok) << res.line << ": " << res.message;
    EXPECT_FALSE(r.key_exists("HKLM\\Svc\\Old"));
    EXPECT_FALSE(r.key_exists("HKLM\\Svc\\NeverExisted"));
    EXPECT_FALSE(r.key_exists("HKLM\\Svc\\missing"));
    EXPECT_EQ(r.value_names("HKLM\\Svc\\Keep"), std::vector<std::string>{"stays"});
    EXPECT_EQ(r.subkeys("HKLM\\Svc"), (std::vector<std::string>{"Keep", "Again"}));
    EXPECT_EQ(r.get_dword("HKLM\\Svc\\Again", "n"), 3u);
}

class RegistryRefuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        r.set_dword("HKLM\\Existing", "v", 1);
        r.set_value("HKLM\\Existing\\Sub", "b", Value::Binary({9}));
        before = r.save_reg();
    }
    Registry r;
    std::string before;
};

TEST_F(RegistryRefuse, MalformedTextReportsLineAndAppliesNothing)
{
    struct Case {
        std::string text;
        int line;
        const char* message;  // part of the expected message
    };
    // Lines before the bad one are good and would change the tree if applied.
    const std::string good = "REGEDIT4\n\n[-HKLM\\Existing\\Sub]\n[HKLM\\Existing]\n\"v\"=-\n\"new\"=dword:5\n";
    const int next = 7;  // line number after `good`
    const Case cases[] = {
        {"", 1, "REGEDIT4"},
        {"\n\n", 1, "REGEDIT4"},
        {"\n\nWindows Registry Editor Version 5.00\n", 3, "REGEDIT4"},
        {"; comment\nREGEDIT4\n", 1, "REGEDIT4"},
        {"REGEDIT4\n\"a\"=dword:1\n", 2, "before any"},
        {"REGEDIT4\r\n\r\n[HKLM\\A]\r\n\"a\"=dword:\r\n", 4, "dword value needs 1 to 8 hex digits"},
        {good + "\"a\"=dword:123456789\n", next, "dword value needs 1 to 8 hex digits"},
        {good + "\"a\"=dword:xyz\n", next, "dword value needs 1 to 8 hex digits"},
        {good + "\"a\"=dword:12 34\n", next, "after the data"},
        {good + "\"a\"=\"abc\n", next, "unterminated string"},
        {good + "\"a\x01b\"=dword:1\n", next, "control character in value name"},
        {good + std::string("\"a\"=\"x\0y\"\n", 10), next, "NUL character in string"},
        {good + "[HKLM\\A\x01]\n", next, "control character in key name"},
        {good + "\"a\"=\"abc\\\n\"b\"=\"x\"\n", next, "unterminated string"},
        {good + "\"abc=\"x\"\n", next, "="},
        {good + "\"a\"=\"a\\nb\"\n", next, "bad escape"},
        {good + "\"a\\q\"=\"x\"\n", next, "bad escape"},
        {good + "\"a\"=\"x\" trailing\n", next, "after the data"},
        {good + "\"a\"=\"x\"\"y\"\n", next, "after the data"},
        {good + "\"a\" \"x\"\n", next, "'='"},
        {good + "\"a\"=\n", next, "unknown value data"},
        {good + "\"a\"=qword:1\n", next, "unknown value data"},
        {good + "\"a\"=- x\n", next, "unknown value data"},
        {good + "\"a\"=hex:01,zz\n", next, "bad hex byte"},
        {good + "\"a\"=hex:100\n", next, "bad hex byte"},
        {good + "\"a\"=hex:01,,02\n", next, "empty byte"},
        {good + "\"a\"=hex:01,\n", next, "ends with ','"},
        {good + "\"a\"=hex:01 02\n", next, "bad hex byte"},
        {good + "\"a\"=hex 01\n", next, "':'"},
        {good + "\"a\"=hex(b):01\n", next, "unsupported value type hex(b)"},
        {good + "\"a\"=hex(7f):01\n", next, "unsupported value type"},
        {good + "\"a\"=hex(7):61,00,00,62\n", next, "multi-string"},
        {good + "\"a\"=hex:01,\\\n  02,\\\n  0g\n", next + 2, "bad hex byte"},
        {good + "\"a\"=hex:01,\\\n\n\"b\"=dword:1\n", next + 1, "ends with ','"},
        {good + "\"a\"=hex:01\\\n  02\n", next, "continued hex list"},
        {good + "\"a\"=hex:01,\\", next, "past the end"},
        {good + "[]\n", next, "empty key path"},
        {good + "[-]\n", next, "empty key path"},
        {good + "[HKEY_NOWHERE\\A]\n", next, "unknown root key 'HKEY_NOWHERE'"},
        {good + "[Software\\A]\n", next, "unknown root key"},
        {good + "[HKLM\\\\A]\n", next, "empty key name"},
        {good + "[HKLM\\A\\]\n", next, "empty key name"},
        {good + "[HKLM\\A] x\n", next, "']'"},
        {good + "[HKLM\\A\n", next, "']'"},
        {good + "[-HKEY_LOCAL_MACHINE]\n", next, "root"},
        {good + "[-HKLM\\A]\n\"a\"=dword:1\n", next + 1, "deleted key"},
        {good + "some text\n", next, "expected a [key] section"},
        {good + "=\"x\"\n", next, "expected a [key] section"},
    };
    for (const Case& c : cases) {
        LoadResult res = r.load_reg(c.text);
        EXPECT_FALSE(res.ok) << c.text;
        EXPECT_EQ(res.line, c.line) << c.text << "\n" << res.message;
        EXPECT_NE(res.message.find(c.message), std::string::npos) << c.text << "\ngave: " << res.message;
        EXPECT_EQ(r.save_reg(), before) << c.text;
    }
    // The good prefix alone does apply.
    ASSERT_TRUE(r.load_reg(good).ok);
    EXPECT_FALSE(r.key_exists("HKLM\\Existing\\Sub"));
    EXPECT_EQ(r.value_names("HKLM\\Existing"), std::vector<std::string>{"new"});
}

TEST_F(RegistryRefuse, UnreadableFile)
{
    const std::string missing = ::testing::TempDir() + "registry_test_no_such_file.reg";
    LoadResult res = r.load_reg_file(missing);
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.line, 0);
    EXPECT_NE(res.message.find(missing), std::string::npos) << res.message;

    res = r.load_reg_file(::testing::TempDir());  // a directory
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.line, 0);
    EXPECT_EQ(r.save_reg(), before);
}

// A hive file announces its end line: cut short anywhere (at a line's end too) it is
// refused whole, never taken as a smaller configuration; a hive written by hand or by
// another tool without the announcement, and lines added after the end, read as usual.
TEST_F(RegistryRefuse, AHiveCutShortIsRefusedWhole)
{
    Registry full;
    full.set_dword("HKLM\\Svc\\A", "one", 1);
    full.set_sz("HKLM\\Svc\\A", "two", "2");
    full.set_value("HKLM\\Svc\\B", "blob", Value::Binary(std::vector<uint8_t>(100, 7)));  // wraps over lines
    full.set_dword("HKLM\\Svc\\C", "last", 3);
    const std::string hive = full.save_hive();
    ASSERT_EQ(hive.rfind("REGEDIT4\n", 0), 0u);
    Registry back;
    ASSERT_TRUE(back.load_reg(hive).ok);
    EXPECT_EQ(back.save_reg(), full.save_reg());

    // Cut right after its header a hive cannot tell it announced anything: it reads as
    // the empty hive it then is.
    size_t cuts = 0;
    for (size_t at = std::strlen("REGEDIT4\n") + 1; at < hive.size(); at++) {
        if (at > 0 && hive[at - 1] != '\n' && at % 7 != 0) continue;  // every line end, some places within
        const std::string cut = hive.substr(0, at);
        if (cut.find("\n; end of hive") != std::string::npos) continue;  // only its own line break is missing
        SCOPED_TRACE(at);
        LoadResult res = r.load_reg(cut);
        EXPECT_FALSE(res.ok);
        EXPECT_EQ(r.save_reg(), before) << "nothing applied";
        cuts++;
    }
    EXPECT_GT(cuts, 10u);
    EXPECT_NE(r.load_reg(hive.substr(0, hive.rfind("; end"))).message.find("cut short"), std::string::npos);

    struct Kept {
        const char* name;
        std::string text;
    } kept[] = {
        {"no announcement", full.save_reg()},
        {"CRLF line ends", [&] {
             std::string t;
             for (char c : hive) t += c == '\n' ? std::string("\r\n") : std::string(1, c);
             return t;
         }()},
        {"a key added after the end", hive + "\n[HKLM\\Svc\\D]\n\"v\"=dword:4\n"},
    };
    for (const auto& k : kept) {
        SCOPED_TRACE(k.name);
        Registry x;
        LoadResult res = x.load_reg(k.text);
        ASSERT_TRUE(res.ok) << res.message;
        EXPECT_EQ(x.get_dword("HKLM\\Svc\\C", "last"), 3u);
    }
}

TEST(RegistryFile, LoadsFileAndReportsItsErrors)
{
    const std::string path = ::testing::TempDir() + "registry_test_file.reg";
    {
        std::ofstream f(path, std::ios::binary);
        f << "REGEDIT4\r\n\r\n[HKLM\\F]\r\n\"v\"=dword:0000002a\r\n";
    }
    Registry r;
    LoadResult res = r.load_reg_file(path);
    EXPECT_TRUE(res.ok) << res.message;
    EXPECT_EQ(r.get_dword("HKLM\\F", "v"), 42u);

    {
        std::ofstream f(path, std::ios::binary);
        f << "REGEDIT4\n[HKLM\\F]\n\"w\"=dword:1\n\"v\"=dword:\n";
    }
    res = r.load_reg_file(path);
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.line, 4);
    EXPECT_FALSE(r.get_value("HKLM\\F", "w"));
    std::remove(path.c_str());
}

}  // namespace
}  // namespace plat::reg
