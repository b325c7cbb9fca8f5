// The setup procedures as NT setup calls them, with the answers of a person scripted:
// the setup sheet over a run's hive, its answers, what it writes, and a driver that
// boots with what setup wrote.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "driver/Common/RSS_init.h"
#include "platform/mfc/afxtest.h"
#include "platform/registry/registry.h"
#include "setup/CardParams.h"
#include "setup/ConfigSheet.h"
#include "setup/resource.h"
#include "tools/harness/rig.h"

extern "C" int ConfigPriCard(uint32_t count, char* args[], char** answer);
extern "C" int GetBusNumber(uint32_t count, char* args[], char** answer);

namespace fs = std::filesystem;

namespace {

const char* kParams = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";

std::string Call(int (*proc)(uint32_t, char*[], char**), std::vector<std::string> args)
{
    std::vector<char*> pointers;
    for (auto& a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    char* answer = nullptr;
    EXPECT_EQ(proc((uint32_t)args.size(), pointers.data(), &answer), 1);
    return answer != nullptr ? answer : "(none)";
}

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("brantel-ui-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        ::setenv("VORNET_ROOT", root.c_str(), 1);
        afxtest::BeginScript();
    }
    void TearDown() override
    {
        EXPECT_EQ(afxtest::Pending(), 0u) << "answers left unused";
        EXPECT_EQ(afxtest::Misses(), 0) << "prompts nobody answered";
        afxtest::EndScript();
        fs::remove_all(root);
    }
    // The default configuration (two asynchronous ports on line 0), with every value setup reads present (so reading
    // creates nothing), changed as the case says.
    void WriteHive(const std::function<void(plat::reg::Registry&)>& change = nullptr)
    {
        plat::reg::Registry r;
        ASSERT_TRUE(r.load_reg(rig::kDefaultConfig).ok);
        GParameterKey = "VORNET1\\Parameters";
        // A first read through setup's own functions fills in every value it reads.
        std::ofstream(root / "registry.reg") << r.save_reg();
        ClearCardParameters();
        ASSERT_EQ(ReadCardParameters(), 1);
        if (change) {
            plat::reg::Registry full;
            ASSERT_TRUE(full.load_reg_file((root / "registry.reg").string()).ok);
            change(full);
            std::ofstream(root / "registry.reg") << full.save_reg();
        }
    }
    std::optional<uint32_t> Dword(const char* name)
    {
        plat::reg::Registry r;
        EXPECT_TRUE(r.load_reg_file((root / "registry.reg").string()).ok);
        return r.get_dword(kParams, name);
    }
    std::optional<std::string> Sz(const char* name)
    {
        plat::reg::Registry r;
        EXPECT_TRUE(r.load_reg_file((root / "registry.reg").string()).ok);
        return r.get_sz(kParams, name);
    }
    std::string HiveText()
    {
        std::ifstream in(root / "registry.reg");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path root;
};

CConfigSheet* Sheet(CWnd* w) { return static_cast<CConfigSheet*>(w); }

TEST_F(SetupTest, AnswerTexts)
{
    struct Case {
        const char* name;
        std::function<void()> script;
        const char* answer;
        bool written;
    };
    const Case cases[] = {
        {"OK unchanged", [] { afxtest::RunModal([](CWnd* s) { afxtest::Click(s, IDOK); }); }, "OK,2,3,0,0,1", true},
        {"E1 without CRC, Euro ISDN, HDB3, four ports",
         [] {
             afxtest::RunModal([](CWnd* s) {
                 CPriConfig& pri = Sheet(s)->m_PriConfig;
                 afxtest::SelectCombo(&pri, IDC_FRAMING, 5);
                 afxtest::SelectCombo(&pri, IDC_SWITCHTYPE, 3);
                 afxtest::SelectCombo(&pri, IDC_LINECODE, 2);
                 afxtest::SelectSheetPage(s, 2);
                 afxtest::SetText(&Sheet(s)->m_AsyncPorts, IDC_ASYNC_COUNT, "4");
                 afxtest::Click(s, IDOK);
             });
         },
         "OK,4,6,2,3,1", true},
        {"Cancel, then Yes",
         [] {
             afxtest::RunModal([](CWnd* s) { afxtest::Click(s, IDCANCEL); });
             afxtest::AnswerMessageBox(IDYES);
         },
         "Cancel", false},
        {"Cancel, No, then OK",
         [] {
             afxtest::RunModal([](CWnd* s) { afxtest::Click(s, IDCANCEL); });
             afxtest::AnswerMessageBox(IDNO);
             afxtest::RunModal([](CWnd* s) { afxtest::Click(s, IDOK); });
         },
         "OK,2,3,0,0,1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteHive([](plat::reg::Registry& r) { r.set_dword(kParams, "TimerResolution", 77); });
        std::string before = HiveText();
        c.script();
        EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), c.answer);
        if (!c.written) {
            EXPECT_EQ(HiveText(), before);
        } else {
            EXPECT_EQ(Dword("TimerResolution"), 77u);  // kept, written back
        }
    }
    EXPECT_EQ(Call(ConfigPriCard, {}), "Cancel");
}

// A read that fails shows what could not be read, writes nothing and never answers "OK".
TEST_F(SetupTest, AFailedReadWritesNothingAndNeverAnswersOK)
{
    struct Case {
        const char* name;
        const char* service;
        std::function<void(plat::reg::Registry&)> change;
        bool garbled;  // the hive is no REGEDIT4 text
        const char* named;  // in the message
    };
    const std::string tooLong(1500, '5');
    const Case cases[] = {
        {"Current is 10", "VORNET1",
         [](plat::reg::Registry& r) { r.set_dword("HKEY_LOCAL_MACHINE\\SYSTEM\\Select", "Current", 10); }, false,
         "ControlSet00A"},
        {"no key for the service", "VORNET9", nullptr, false, "VORNET9"},
        {"unparsable hive", "VORNET1", nullptr, true, "VORNET1"},
        {"value longer than the value buffer", "VORNET1",
         [&](plat::reg::Registry& r) { r.set_sz(kParams, "Line_0.DirectoryNumber_05", tooLong); }, false,
         "Line_0.DirectoryNumber_05"},
        {"value longer than its slot", "VORNET1",
         [](plat::reg::Registry& r) { r.set_sz(kParams, "Line_1.DirectoryNumber_00", std::string(45, '7')); }, false,
         "Line_1.DirectoryNumber_00"},
        {"line value that is no word", "VORNET1",
         [](plat::reg::Registry& r) { r.set_sz(kParams, "LineCode_2", "3"); }, false, "LineCode_2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteHive(c.change);
        if (c.garbled)
            std::ofstream(root / "registry.reg", std::ios::app) << "[HKEY_LOCAL_MACHINE\\SYSTEM\n\"x\"=dword:zz\n";
        const std::string before = HiveText();
        afxtest::BeginScript();
        afxtest::AnswerMessageBox(IDOK);  // what could not be read
        // Were the sheet shown, it would be accepted unchanged.
        afxtest::RunModal([](CWnd* s) { afxtest::Click(s, IDOK); });
        std::string answer = Call(ConfigPriCard, {c.service});
        EXPECT_EQ(answer.rfind("OK", 0), std::string::npos) << answer;
        EXPECT_EQ(HiveText(), before);
        ASSERT_EQ(afxtest::MessageBoxes().size(), 1u);
        EXPECT_NE(afxtest::MessageBoxes()[0].text.find("could not be read"), std::string::npos);
        EXPECT_NE(afxtest::MessageBoxes()[0].text.find(c.named), std::string::npos) << afxtest::MessageBoxes()[0].text;
        EXPECT_EQ(afxtest::Pending(), 1u) << "the sheet is not shown";
        afxtest::EndScript();
        afxtest::BeginScript();
    }
}

// Cancel, then No, shows the sheet again with everything the user entered; OK writes it.
TEST_F(SetupTest, CancelThenNoKeepsTheEditsForOK)
{
    WriteHive();
    afxtest::RunModal([](CWnd* s) {
        CPriConfig& pri = Sheet(s)->m_PriConfig;
        afxtest::SelectCombo(&pri, IDC_FRAMING, 5);
        afxtest::SelectCombo(&pri, IDC_SWITCHTYPE, 3);
        afxtest::SelectCombo(&pri, IDC_LINECODE, 2);
        afxtest::SelectSheetPage(s, 1);
        CDirNumberCfg& dir = Sheet(s)->m_DirNumberCfg;
        afxtest::SpinBy(&dir, IDC_CHANNEL_SPIN, 3);
        afxtest::SetText(&dir, IDC_DIRNUMBER, "555-7003");  // typed, not yet moved off
        afxtest::SelectSheetPage(s, 2);
        afxtest::SetText(&Sheet(s)->m_AsyncPorts, IDC_ASYNC_COUNT, "4");
        afxtest::Click(s, IDCANCEL);
    });
    afxtest::AnswerMessageBox(IDNO);
    afxtest::RunModal([](CWnd* s) {
        CPriConfig& pri = Sheet(s)->m_PriConfig;
        CComboBox* framing = static_cast<CComboBox*>(pri.GetDlgItem(IDC_FRAMING));
        EXPECT_EQ(framing->GetCurSel(), 5);
        afxtest::SelectSheetPage(s, 1);
        CString typed;
        Sheet(s)->m_DirNumberCfg.GetDlgItemText(IDC_DIRNUMBER, typed);
        EXPECT_EQ(typed.str(), "555-7003");
        afxtest::SelectSheetPage(s, 2);
        EXPECT_EQ(Sheet(s)->m_AsyncPorts.GetDlgItemInt(IDC_ASYNC_COUNT), 4u);
        afxtest::Click(s, IDOK);
    });
    EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), "OK,4,6,2,3,1");
    EXPECT_EQ(Dword("FramingFormat_0"), 6u);
    EXPECT_EQ(Dword("SignallingProtocol_0"), 4u);
    EXPECT_EQ(Dword("LineCode_0"), 2u);
    EXPECT_EQ(Dword("AsyncPorts_0"), 4u);
    EXPECT_EQ(Sz("Line_0.DirectoryNumber_03"), "5557003");
}

// The same, with OK pressed on the first page: the pages not opened again still apply
// what they kept.
TEST_F(SetupTest, CancelThenNoThenOKOnTheFirstPageWritesEveryPagesEdits)
{
    WriteHive();
    afxtest::RunModal([](CWnd* s) {
        afxtest::SelectCombo(&Sheet(s)->m_PriConfig, IDC_SWITCHTYPE, 3);
        afxtest::SelectSheetPage(s, 1);
        CDirNumberCfg& dir = Sheet(s)->m_DirNumberCfg;
        afxtest::SpinBy(&dir, IDC_CHANNEL_SPIN, 3);
        afxtest::SetText(&dir, IDC_DIRNUMBER, "555-7003");
        afxtest::SelectSheetPage(s, 2);
        afxtest::SetText(&Sheet(s)->m_AsyncPorts, IDC_ASYNC_COUNT, "4");
        afxtest::Click(s, IDCANCEL);
    });
    afxtest::AnswerMessageBox(IDNO);
    afxtest::RunModal([](CWnd* s) {
        EXPECT_EQ(Sheet(s)->GetActiveIndex(), 0);
        afxtest::Click(s, IDOK);
    });
    EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), "OK,4,3,0,3,1");
    EXPECT_EQ(Dword("SignallingProtocol_0"), 4u);
    EXPECT_EQ(Dword("AsyncPorts_0"), 4u);
    EXPECT_EQ(Sz("Line_0.DirectoryNumber_03"), "5557003");
}

TEST_F(SetupTest, E1FramingSetsLineModeAndBusModeAndT1SetsThemBack)
{
    WriteHive();
    afxtest::RunModal([](CWnd* s) {
        afxtest::SelectCombo(&Sheet(s)->m_PriConfig, IDC_FRAMING, 4);
        afxtest::Click(s, IDOK);
    });
    EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), "OK,2,4,0,0,1");
    EXPECT_EQ(Dword("LineMode_0"), 1u);
    EXPECT_EQ(Dword("SystemBusMode_0"), 5u);
    afxtest::RunModal([](CWnd* s) {
        afxtest::SelectCombo(&Sheet(s)->m_PriConfig, IDC_FRAMING, 3);
        afxtest::Click(s, IDOK);
    });
    EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), "OK,2,3,0,0,1");
    EXPECT_EQ(Dword("LineMode_0"), 0u);
    EXPECT_EQ(Dword("SystemBusMode_0"), 2u);
}

TEST_F(SetupTest, StoredValuesWithoutAListEntryAreKeptUnlessTheUserPicksOne)
{
    struct Case {
        const char* name;
        uint32_t signalling, framing;
        std::vector<int> picks;  // the switch types picked in turn; none: left alone
        uint32_t expectSignalling, expectFraming;
        const char* answer;
    };
    const Case cases[] = {
        {"robbed bit left alone", 0, 3, {}, 0, 3, "OK,2,3,0,0,1"},
        {"leased line left alone", 6, 3, {}, 6, 3, "OK,2,3,0,0,1"},
        {"framing 5 left alone", 1, 5, {}, 1, 5, "OK,2,5,0,0,1"},
        {"robbed bit, user picks DMS100", 0, 3, {2}, 3, 3, "OK,2,3,0,2,1"},
        // The entry shown for a value no entry matches is no choice: picking it is.
        {"leased line, user picks DMS100 then 5ESS", 6, 3, {2, 0}, 1, 3, "OK,2,3,0,0,1"},
        {"robbed bit, user picks 5ESS", 0, 3, {0}, 1, 3, "OK,2,3,0,0,1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteHive([&](plat::reg::Registry& r) {
            r.set_dword(kParams, "SignallingProtocol_0", c.signalling);
            r.set_dword(kParams, "FramingFormat_0", c.framing);
        });
        std::vector<int> picks = c.picks;
        afxtest::RunModal([picks](CWnd* s) {
            for (int pick : picks)
                afxtest::SelectCombo(&Sheet(s)->m_PriConfig, IDC_SWITCHTYPE, pick);
            afxtest::Click(s, IDOK);
        });
        EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), c.answer);
        EXPECT_EQ(Dword("SignallingProtocol_0"), c.expectSignalling);
        EXPECT_EQ(Dword("FramingFormat_0"), c.expectFraming);
    }
}

TEST(DirectoryFill, RowsAsATable)
{
    struct Case {
        const char* first;
        bool increment;
        std::vector<std::string> firstRows;
        const char* last;
    };
    const Case cases[] = {
        {"5550998", true, {"5550998", "5550999", "5550000", "5550001"}, "5550028"},
        {"5551200", false, {"5551200", "5551200"}, "5551200"},
        {"7", true, {"7", "8", "9", "0"}, "7"},
        {"555-12", true, {"555-12", "555-13"}, "555-42"},
        {"55-", true, {"55-", "55-"}, "55-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        auto rows = CDirNumberCfg::FillRows(c.first, c.increment);
        ASSERT_EQ(rows.size(), 31u);
        for (size_t i = 0; i < c.firstRows.size(); i++)
            EXPECT_EQ(rows[i], c.firstRows[i]) << "row " << i;
        EXPECT_EQ(rows[30], c.last);
    }
}

TEST_F(SetupTest, DirectoryNumbersAreStoredAsDigitsAndLongOnesAreRefused)
{
    WriteHive();
    afxtest::RunModal([](CWnd* s) {
        afxtest::SelectSheetPage(s, 1);
        CDirNumberCfg& dir = Sheet(s)->m_DirNumberCfg;
        afxtest::SetText(&dir, IDC_FIRST_NUMBER, "555-0998");
        afxtest::Click(&dir, IDC_FILL);
        // Row 5 edited by hand: 39 digits are one too many.
        afxtest::SpinBy(&dir, IDC_CHANNEL_SPIN, 5);
        afxtest::SetText(&dir, IDC_DIRNUMBER, "123456789012345678901234567890123456789");
        afxtest::Click(s, IDOK);  // refused: the sheet stays
        afxtest::SetText(&dir, IDC_DIRNUMBER, "(555) 77-88");
        afxtest::Click(s, IDOK);
    });
    afxtest::AnswerMessageBox(IDOK);
    EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), "OK,2,3,0,0,1");
    ASSERT_EQ(afxtest::MessageBoxes().size(), 1u);
    EXPECT_NE(afxtest::MessageBoxes()[0].text.find("more than 38 digits"), std::string::npos);
    EXPECT_EQ(Sz("Line_0.DirectoryNumber_00"), "5550998");
    EXPECT_EQ(Sz("Line_0.DirectoryNumber_02"), "5550000");
    EXPECT_EQ(Sz("Line_0.DirectoryNumber_05"), "5557788");
    EXPECT_EQ(Sz("Line_0.DirectoryNumber_30"), "5550028");
}

TEST_F(SetupTest, AHiveThatCannotBeWrittenNeverAnswersOK)
{
    WriteHive();
    fs::create_directories(root / ("registry.reg." + std::to_string(::getpid()) + ".tmp"));
    afxtest::RunModal([](CWnd* s) { afxtest::Click(s, IDOK); });
    afxtest::AnswerMessageBox(IDOK);  // what failed
    afxtest::RunModal([](CWnd* s) { afxtest::Click(s, IDCANCEL); });
    afxtest::AnswerMessageBox(IDYES);
    EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), "Cancel");
    ASSERT_GE(afxtest::MessageBoxes().size(), 1u);
    EXPECT_NE(afxtest::MessageBoxes()[0].text.find("could not be written"), std::string::npos);
}

// The suppressions the tests' leak checker is told to read are there: without them it
// stops the whole program with a failure after every test passed.
TEST(LeakChecker, TheSuppressionsFileItIsGivenExists)
{
    const char* options = std::getenv("LSAN_OPTIONS");
    ASSERT_NE(options, nullptr) << "the tests run with the leak checker's options";
    std::string text = options;
    size_t at = text.find("suppressions=");
    ASSERT_NE(at, std::string::npos) << text;
    std::string path = text.substr(at + 13, text.find_first_of(": ", at) - (at + 13));
    std::ifstream in(path);
    ASSERT_TRUE(in.good()) << path;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') {
            EXPECT_EQ(line.rfind("leak:", 0), 0u) << line;
        }
    }
}

TEST_F(SetupTest, BusNumberAnswers)
{
    afxtest::RunModal([](CWnd* d) { afxtest::Click(d, IDOK); });
    EXPECT_EQ(Call(GetBusNumber, {"a", "b", "3"}), "3");
    afxtest::RunModal([](CWnd* d) { afxtest::CloseWindow(d); });
    EXPECT_EQ(Call(GetBusNumber, {"a", "b", "3"}), "BusNumber 3d");
    afxtest::RunModal([](CWnd* d) { afxtest::Click(d, IDOK); });
    EXPECT_EQ(Call(GetBusNumber, {"a"}), "0");
    afxtest::RunModal([](CWnd* d) { afxtest::Click(d, IDOK); });
    EXPECT_EQ(Call(GetBusNumber, {"a", "b", "bus"}), "0");
    // Out of range: the class library's refusal keeps the dialog open.
    afxtest::RunModal([](CWnd* d) {
        afxtest::SetText(d, IDC_BUS_NUMBER, "11");
        afxtest::Click(d, IDOK);
        afxtest::SetText(d, IDC_BUS_NUMBER, "7");
        afxtest::Click(d, IDOK);
    });
    afxtest::AnswerMessageBox(IDOK);
    EXPECT_EQ(Call(GetBusNumber, {"a", "b", "0"}), "7");
}

TEST_F(SetupTest, PagesAsAPersonSeesThem)
{
    WriteHive();
    fs::path shots = fs::current_path();
    afxtest::RunModal([shots](CWnd* s) {
        const char* names[] = {"pri", "directory", "async"};
        for (int i = 0; i < 3; i++) {
            afxtest::SelectSheetPage(s, i);
            EXPECT_TRUE(afxtest::SaveImage(s, (shots / (std::string("setup-") + names[i] + ".png")).string()));
        }
        afxtest::Click(s, IDCANCEL);
    });
    afxtest::AnswerMessageBox(IDYES);
    EXPECT_EQ(Call(ConfigPriCard, {"VORNET1"}), "Cancel");
    afxtest::RunModal([shots](CWnd* d) {
        EXPECT_TRUE(afxtest::SaveImage(d, (shots / "setup-bus-number.png").string()));
        afxtest::Click(d, IDOK);
    });
    EXPECT_EQ(Call(GetBusNumber, {"a", "b", "2"}), "2");
}

TEST_F(SetupTest, TheDriverBootsWithWhatSetupWrote)
{
    WriteHive();
    afxtest::RunModal([](CWnd* s) {
        CPriConfig& pri = Sheet(s)->m_PriConfig;
        afxtest::SelectCombo(&pri, IDC_FRAMING, 5);    // E1 without CRC
        afxtest::SelectCombo(&pri, IDC_SWITCHTYPE, 3);  // Euro ISDN
        afxtest::SelectCombo(&pri, IDC_LINECODE, 2);    // HDB3
        afxtest::Click(s, IDOK);
    });
    ASSERT_EQ(Call(ConfigPriCard, {"VORNET1"}), "OK,2,6,2,3,1");

    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(HiveText(), &error)) << error;
    r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    Adapter* a = rig::Rig::driver_adapter(na);
    EXPECT_EQ(a->FramingFormat[0], 6u);
    EXPECT_EQ(a->LineMode[0], 1u);
    EXPECT_EQ(a->SystemBusMode[0], 5u);
    EXPECT_EQ(a->LineCode[0], 2u);
    EXPECT_EQ(a->SignallingProtocol[0], 4u);
    r.halt(na);
}

}  // namespace
