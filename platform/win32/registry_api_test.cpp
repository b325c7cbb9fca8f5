// The registry API over the run's hive: values as Win32 gives them, the control-set
// alias, and writers in two processes that lose nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/win32/hive.h"
#include "platform/win32/windows.h"

namespace fs = std::filesystem;

namespace {

const char* const kParameters = "SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";

struct Hive {
    fs::path dir;
    explicit Hive(const std::string& text)
    {
        char t[] = "/tmp/vornet-hive-XXXXXX";
        dir = mkdtemp(t);
        std::ofstream(dir / "registry.reg") << text;
        setenv("VORNET_ROOT", dir.c_str(), 1);
    }
    ~Hive()
    {
        unsetenv("VORNET_ROOT");
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    // What the simulator would load.
    void read(plat::reg::Registry& r) const
    {
        std::string error;
        EXPECT_TRUE(plat::win32::read_hive(dir, r, &error)) << error;
    }
};

const char* const kText =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters]\n"
    "\"AdapterID\"=dword:00000004\n"
    "\"DeviceName\"=\"RIROVE\"\n"
    "\"Blob\"=hex:01,02,03\n";

TEST(RegistryApi, ValuesReadAsWin32GivesThem)
{
    Hive h(kText);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_READ, &k), ERROR_SUCCESS);
    struct Query {
        const char* name;
        DWORD room;  // bytes offered
        LONG result;
        DWORD type, size;
        std::string data;
    } cases[] = {
        {"AdapterID", 4, ERROR_SUCCESS, REG_DWORD, 4, std::string("\x04\0\0\0", 4)},
        {"adapterid", 4, ERROR_SUCCESS, REG_DWORD, 4, std::string("\x04\0\0\0", 4)},
        {"DeviceName", 40, ERROR_SUCCESS, REG_SZ, 7, std::string("RIROVE\0", 7)},
        {"DeviceName", 6, ERROR_MORE_DATA, REG_SZ, 7, ""},
        {"Blob", 3, ERROR_SUCCESS, REG_BINARY, 3, "\x01\x02\x03"},
        {"Missing", 40, ERROR_FILE_NOT_FOUND, 0, 40, ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.room));
        BYTE data[64] = {};
        DWORD type = 0, size = c.room;
        EXPECT_EQ(RegQueryValueExA(k, c.name, nullptr, &type, data, &size), c.result);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.size);
        if (c.result == ERROR_SUCCESS) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), c.data);
        }
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(k, "DeviceName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u) << "no buffer: the size needed";
    DWORD v = 5;
    EXPECT_EQ(RegSetValueExA(k, "AdapterID", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);

    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VORNET2", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
}

TEST(RegistryApi, WritesReachTheHiveAndEnumerationWalksTheValues)
{
    Hive h(kText);
    HKEY k = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorlane\\Applet", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &k, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    DWORD four = 4;
    EXPECT_EQ(RegSetValueExA(k, "Count", 0, REG_DWORD, reinterpret_cast<BYTE*>(&four), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(k, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(k, "Lines", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0bc\0"), 6), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(k, "Short", 0, REG_DWORD, reinterpret_cast<BYTE*>(&four), 2), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(k, "Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("x"), 2), ERROR_INVALID_PARAMETER);

    plat::reg::Registry r;
    h.read(r);
    EXPECT_EQ(r.get_dword("SOFTWARE\\Quorlane\\Applet", "Count"), 4u);
    EXPECT_EQ(r.get_sz("SOFTWARE\\Quorlane\\Applet", "Name"), "abc");
    EXPECT_EQ(r.get_value("SOFTWARE\\Quorlane\\Applet", "Lines")->multi, (std::vector<std::string>{"a", "bc"}));
    EXPECT_EQ(r.get_dword(kParameters, "AdapterID"), 4u) << "the rest of the hive kept";

    std::vector<std::string> names;
    char name[16];
    for (DWORD i = 0;; i++) {
        DWORD n = sizeof name, type = 0, size = 0;
        LONG e = RegEnumValueA(k, i, name, &n, nullptr, &type, nullptr, &size);
        if (e == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(e, ERROR_SUCCESS);
        EXPECT_EQ(n, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Count", "Name", "Lines"}));
    DWORD tiny = 3;
    EXPECT_EQ(RegEnumValueA(k, 1, name, &tiny, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(k);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\QUORLANE\\applet", 0, nullptr, 0, KEY_READ, nullptr, &k,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(k);
}

TEST(RegistryApi, ControlSetAliasFollowsSelectCurrent)
{
    Hive h(std::string(kText) + "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n\"Current\"=dword:00000002\n"
                                "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\VORNET1\\Parameters]\n"
                                "\"AdapterID\"=dword:00000001\n");
    auto read_id = [](const char* key) {
        HKEY k = nullptr;
        DWORD v = 0, size = 4;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, key, &k) != ERROR_SUCCESS) return -1L;
        LONG e = RegQueryValueExA(k, "AdapterID", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        RegCloseKey(k);
        return e == ERROR_SUCCESS ? static_cast<long>(v) : -2L;
    };
    EXPECT_EQ(read_id("SYSTEM\\ControlSet002\\Services\\VORNET1\\Parameters"), 4);
    EXPECT_EQ(read_id("SYSTEM\\ControlSet001\\Services\\VORNET1\\Parameters"), 1) << "another set is its own key";
    EXPECT_EQ(read_id("SYSTEM\\ControlSet003\\Services\\VORNET1\\Parameters"), -1);

    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\controlset002\\Services\\VORNET1\\Parameters", &k), ERROR_SUCCESS);
    DWORD seven = 7;
    EXPECT_EQ(RegSetValueExA(k, "AdapterID", 0, REG_DWORD, reinterpret_cast<BYTE*>(&seven), 4), ERROR_SUCCESS);
    RegCloseKey(k);
    plat::reg::Registry r;
    h.read(r);
    EXPECT_EQ(r.get_dword(kParameters, "AdapterID"), 7u);
    EXPECT_FALSE(r.key_exists("SYSTEM\\ControlSet002"));
}

TEST(RegistryApi, TwoProcessesWritingTheHiveLoseNothing)
{
    Hive h(kText);
    constexpr int kWrites = 40;
    pid_t children[2];
    for (int c = 0; c < 2; c++) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int failures = 0;
            for (int i = 0; i < kWrites; i++) {
                HKEY k = nullptr;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) {
                    failures++;
                    continue;
                }
                DWORD v = static_cast<DWORD>(c * 1000 + i);
                std::string name = std::string("P").append(std::to_string(c)).append("_").append(std::to_string(i));
                if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4) != ERROR_SUCCESS)
                    failures++;
                RegCloseKey(k);
            }
            _exit(failures);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    plat::reg::Registry r;
    h.read(r);
    for (int c = 0; c < 2; c++)
        for (int i = 0; i < kWrites; i++)
            EXPECT_EQ(r.get_dword(kParameters, std::string("P").append(std::to_string(c)).append("_").append(std::to_string(i))),
                      static_cast<uint32_t>(c * 1000 + i));
    EXPECT_EQ(r.get_sz(kParameters, "DeviceName"), "RIROVE");
    for (auto& e : fs::directory_iterator(h.dir))
        EXPECT_EQ(e.path().extension(), e.path().filename() == "registry.lock" ? ".lock" : ".reg") << "no temporary left";
}

TEST(RegistryApi, AHiveThatIsNotRegedit4TextIsReportedNotLost)
{
    Hive h("garbage\n");
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_READ, &k), ERROR_CANTREAD);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_CANTWRITE);
    std::ifstream in(h.dir / "registry.reg");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "garbage\n");
}

}  // namespace
