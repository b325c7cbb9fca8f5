// The setup library's registry value functions and the card's parameters, over a hive
// in a run's root.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/registry/registry.h"
#include "setup/CardParams.h"
#include "setup/RegValue.h"

namespace fs = std::filesystem;
using plat::reg::Registry;

namespace {

class HiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("brantel-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        ::setenv("VORNET_ROOT", root.c_str(), 1);
        GParameterKey = "VORNET1\\Parameters";
        ClearCardParameters();
    }
    void TearDown() override
    {
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(root);
    }
    void WriteHive(const std::string& text)
    {
        std::ofstream(root / "registry.reg") << "REGEDIT4\n\n" << text;
    }
    // The hive as the next reader sees it: value of a dword, or of a text.
    std::optional<uint32_t> Dword(const std::string& key, const std::string& name)
    {
        Registry r;
        EXPECT_TRUE(r.load_reg_file((root / "registry.reg").string()).ok);
        return r.get_dword(key, name);
    }
    std::optional<std::string> Text(const std::string& key, const std::string& name)
    {
        Registry r;
        EXPECT_TRUE(r.load_reg_file((root / "registry.reg").string()).ok);
        return r.get_sz(key, name);
    }
    bool KeyExists(const std::string& key)
    {
        Registry r;
        EXPECT_TRUE(r.load_reg_file((root / "registry.reg").string()).ok);
        return r.key_exists(key);
    }
    fs::path root;
};

const char* kParams = "SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";

TEST_F(HiveTest, DwordsTravelAsEightHexDigitsAndMissingValuesAreCreated)
{
    WriteHive("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters]\n"
              "\"Four\"=dword:00000004\n\"Text\"=\"123\"\n\"Blob\"=hex:01,ab,ff\n");
    char text[64] = {};
    ASSERT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Four", text, sizeof text, REG_DWORD, 0), 1);
    EXPECT_STREQ(text, "00000004");
    EXPECT_EQ(HexToDword(text), 4u);
    ASSERT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Text", text, sizeof text, REG_SZ, 0), 1);
    EXPECT_STREQ(text, "123");
    ASSERT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Blob", text, sizeof text, REG_BINARY, 0), 1);
    EXPECT_STREQ(text, "01ABFF");

    std::strcpy(text, "unchanged");
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Missing", text, sizeof text, REG_DWORD, 0), 0);
    EXPECT_STREQ(text, "unchanged");
    DwordToRegData(4, reinterpret_cast<BYTE*>(text));
    ASSERT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Created", text, sizeof text, REG_DWORD, 4), 1);
    EXPECT_STREQ(text, "00000004");
    EXPECT_EQ(Dword(kParams, "Created"), 4u);

    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, "SYSTEM\\Nowhere", "X", text, sizeof text, REG_DWORD, 4), 0);
    EXPECT_FALSE(KeyExists("SYSTEM\\Nowhere"));

    // A value that does not fit the caller's buffer is refused, not cut.
    char small[4] = "-";
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Blob", small, sizeof small, REG_BINARY, 0), 0);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Text", small, 3, REG_SZ, 1), 0);
    EXPECT_STREQ(small, "-");
}

// A stored value longer than the first buffer is read whole and left as it is.
TEST_F(HiveTest, AValueLongerThanTheBufferIsReadWholeNotReplaced)
{
    const std::string stored(1500, '5');
    WriteHive(std::string("[HKEY_LOCAL_MACHINE\\") + kParams + "]\n\"Long\"=\"" + stored +
              "\"\n");
    std::vector<char> text(2048, 0);
    ASSERT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Long", text.data(), (DWORD)text.size(), REG_SZ, 1), 1);
    EXPECT_EQ(std::string(text.data()), stored);
    EXPECT_EQ(Text(kParams, "Long"), stored);
    // Too long for the caller: refused, and the stored value is not touched.
    char slot[40] = "";
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kParams, "Long", slot, sizeof slot, REG_SZ, 1), 0);
    EXPECT_EQ(Text(kParams, "Long"), stored);
}

TEST(HexText, DigitsAndWords)
{
    EXPECT_EQ(HexToDword("0000abcd"), 0xABCDu);
    EXPECT_EQ(HexToDword("FFFFFFFF"), 0xFFFFFFFFu);
    DWORD v = 7;
    EXPECT_FALSE(HexToDword("0000zz00", &v));
    EXPECT_EQ(v, 0u);
    char hex[9];
    DwordToHex(0x1234ABCD, hex);
    EXPECT_STREQ(hex, "1234ABCD");
    BYTE data[5];
    DwordToRegData(0x11223344, data);
    EXPECT_EQ(data[0], 0x44);
    EXPECT_EQ(data[3], 0x11);
    EXPECT_EQ(data[4], 0);
    EXPECT_EQ(HexDigitValue('g'), -1);
}

TEST_F(HiveTest, AFreshKeyReceivesEveryDefault)
{
    WriteHive(std::string("[HKEY_LOCAL_MACHINE\\") + kParams + "]\n");
    ASSERT_EQ(ReadCardParameters(), 1);
    EXPECT_EQ(GCard.AdapterID, 4u);
    EXPECT_EQ(GCard.TimerResolution, 10u);
    EXPECT_EQ(GCard.AsyncPortNumbersStartAt, 5u);
    for (const CardLine& line : GCard.Line) {
        EXPECT_EQ(line.FramingFormat, 3u);
        EXPECT_EQ(line.SignallingProtocol, 1u);
        EXPECT_EQ(line.WindowSize, 7u);
        EXPECT_EQ(line.RBSProtocol, 2u);
        EXPECT_STREQ(line.DirectoryNumber[30], "");
    }
    for (DWORD m : GCard.ModuleID)
        EXPECT_EQ(m, 4u);
    EXPECT_EQ(Text(kParams, "MediaType"), "ISDN");
    EXPECT_EQ(Dword(kParams, "QStackMultiplier_3"), 2u);
    EXPECT_EQ(Text(kParams, "Line_0.DirectoryNumber_00"), "");
    EXPECT_EQ(Text(kParams, "Line_3.DirectoryNumber_30"), "");
    EXPECT_EQ(Dword(kParams, "ModuleID_7"), 4u);
}

TEST_F(HiveTest, ReadsTheSelectedControlSetAndWritesTheCurrentOne)
{
    WriteHive("[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n\"Current\"=dword:00000002\n\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters]\n"
              "\"FramingFormat_0\"=dword:00000006\n\"Line_0.DirectoryNumber_04\"=\"5551204\"\n");
    EXPECT_EQ(CardReadKeyPath(), "SYSTEM\\ControlSet002\\Services\\VORNET1\\Parameters");
    EXPECT_EQ(CardWriteKeyPath(), kParams);
    ASSERT_EQ(ReadCardParameters(), 1);
    EXPECT_EQ(GCard.Line[0].FramingFormat, 6u);
    EXPECT_STREQ(GCard.Line[0].DirectoryNumber[4], "5551204");
    GCard.Line[1].SignallingProtocol = 0;
    ASSERT_TRUE(WriteCardParameters());
    EXPECT_EQ(Dword(kParams, "SignallingProtocol_1"), 0u);

    WriteHive(std::string("[HKEY_LOCAL_MACHINE\\") + kParams + "]\n");
    EXPECT_EQ(CardReadKeyPath(), kParams);
}

TEST_F(HiveTest, AReadOnlyHiveFailsTheWriteAndNamesWhat)
{
    WriteHive(std::string("[HKEY_LOCAL_MACHINE\\") + kParams + "]\n");
    ASSERT_EQ(ReadCardParameters(), 1);
    // The writer's temporary file cannot be made (root ignores permissions, so the
    // hive is made unwritable by putting a folder where that file goes).
    fs::create_directories(root / ("registry.reg." + std::to_string(::getpid()) + ".tmp"));
    EXPECT_FALSE(WriteCardParameters());
    EXPECT_FALSE(CardLastFailure().empty());
}

}  // namespace
