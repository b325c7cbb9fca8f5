// The line configuration page against the run's hive: the tree of every parameter, the
// standard configurations and "Update", the five dialogs driven as a person drives them,
// the lists offering every value the driver takes, the system bus following a line's
// interface type, and the exported report against its checked-in text. Each of the some
// 220 values is read and written through the hive file on its own, so a page run takes
// seconds: each test gathers its edits into one Update.
#include "applet/LineConfigPage.h"
#include "applet/applet_fixture.h"

using namespace applettest;
namespace fs = std::filesystem;

namespace {

const BoardTypeRow* FourLines() { return &applet::BoardTypeTable[7]; }
const BoardTypeRow* OneLine() { return &applet::BoardTypeTable[4]; }

void Press(CWnd& dialog, int id) { dialog.SendMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

CComboBox* Combo(CWnd* parent, int id) { return static_cast<CComboBox*>(parent->GetDlgItem(id)); }

std::vector<std::string> Children(CTreeCtrl& tree, HTREEITEM parent)
{
    std::vector<std::string> texts;
    for (HTREEITEM i = tree.GetChildItem(parent); i != nullptr; i = tree.GetNextSiblingItem(i))
        texts.push_back(tree.GetItemText(i).str());
    return texts;
}

bool Has(const std::vector<std::string>& items, const std::string& text)
{
    return std::find(items.begin(), items.end(), text) != items.end();
}

class LineConfigTest : public AppletTest {
protected:
    // Opens the page of adapter 1 alone; `action` plays the user and the page is closed after it.
    // `opening` answers the message boxes shown while the page opens.
    void RunPage(const BoardTypeRow* row, const std::function<void(CMyPropertyPage3&)>& action,
                 std::vector<int> opening = {}, uint32_t device = 1)
    {
        CMyPropertyPage3 page(device, row);
        for (int answer : opening) afxtest::AnswerMessageBox(answer);
        afxtest::RunModal([&](CWnd*) {
            action(page);
            Press(page, IDCANCEL);
        });
        page.DoModal();
    }
    // Runs the dialog that `button` opens with `inside` playing the user in it; `boxes`
    // answers the message boxes the dialog shows.
    static void InDialog(CMyPropertyPage3& page, int button, const std::function<void(CWnd&)>& inside,
                         std::vector<int> boxes = {})
    {
        afxtest::RunModal([inside](CWnd* dialog) { inside(*dialog); });
        for (int answer : boxes) afxtest::AnswerMessageBox(answer);
        afxtest::Click(&page, button);
    }
    std::optional<uint32_t> Hive(const std::string& name) { return HiveDword(root.dir, kParameters, name.c_str()); }
    std::optional<std::string> HiveSz(const std::string& name)
    {
        plat::reg::Registry r;
        EXPECT_TRUE(r.load_reg_file((root.dir / "registry.reg").string()).ok);
        return r.get_sz(kParameters, name);
    }
};

// ---- loading ---------------------------------------------------------------------------------

TEST_F(LineConfigTest, OpeningReadsEveryValueCreatingMissingOnesIntoTheTree)
{
    ChangeHive([](plat::reg::Registry& r) {
        r.delete_value(kParameters, "WindowSize_2");
        r.set_dword(kParameters, "SignallingProtocol_1", 0);
    });
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        EXPECT_EQ(page.m_Tabs.GetItemCount(), 4);
        CTreeCtrl& tree = page.m_Tree;
        HTREEITEM top = tree.GetRootItem();
        EXPECT_EQ(tree.GetItemText(top).str(), "");
        EXPECT_EQ(Children(tree, top), (std::vector<std::string>{"Current=", "MediaType=ISDN"}));
        HTREEITEM key = tree.GetNextSiblingItem(top);
        EXPECT_EQ(tree.GetItemText(key).str(), "SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters");
        std::vector<std::string> keyItems = Children(tree, key);
        ASSERT_EQ(keyItems.size(), 4u + 3u + 10u);
        EXPECT_EQ(keyItems[0], "Line 0");
        EXPECT_EQ(keyItems[4], "TimerResolution=0000000A");
        EXPECT_EQ(keyItems[16], "ModuleID_9=00000004");
        std::vector<std::string> line2 = Children(tree, page.m_LineItem[2]);
        ASSERT_EQ(line2.size(), 22u);
        EXPECT_TRUE(Has(line2, "WindowSize_2=00000007")) << "the missing value shows its default";
        EXPECT_EQ(line2.back(), "Directory Numbers");
        std::vector<std::string> numbers = Children(tree, [&] {
            HTREEITEM i = tree.GetChildItem(page.m_LineItem[0]);
            while (tree.GetNextSiblingItem(i) != nullptr) i = tree.GetNextSiblingItem(i);
            return i;
        }());
        ASSERT_EQ(numbers.size(), 31u);
        EXPECT_EQ(numbers[17], "Line_0.DirectoryNumber_17=5551017");
        EXPECT_EQ(numbers[30], "Line_0.DirectoryNumber_30=");
        EXPECT_FALSE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled()) << "nothing edited yet";
        EXPECT_TRUE(page.GetDlgItem(IDC_LC_LAYER2)->IsWindowEnabled());
        afxtest::SelectTab(&page, IDC_LC_TABS, 1);
        EXPECT_EQ(page.m_CurrentLine, 1);
        EXPECT_FALSE(page.GetDlgItem(IDC_LC_LAYER2)->IsWindowEnabled()) << "robbed bit has no signalling link";
    });
    EXPECT_EQ(Hive("WindowSize_2"), 7u) << "created with its default";
    EXPECT_EQ(HiveSz("Line_3.DirectoryNumber_30"), "") << "a missing number is created empty";
}

// Made by the sheet, the page serves the adapter that is current when it opens.
TEST_F(LineConfigTest, ThePageOfTheSheetServesItsCurrentAdapter)
{
    CMyPropertySheet sheet(nullptr);
    GPropertySheet = &sheet;
    sheet.m_AdapterCount = 2;
    sheet.m_DeviceNumbers[0] = 3;
    sheet.m_DeviceNumbers[1] = 1;
    CMyPropertyPage3 page;
    sheet.m_CurrentAdapter = 1;
    sheet.m_pBoardRow = FourLines();
    afxtest::RunModal([&](CWnd*) {
        EXPECT_EQ(page.m_Tabs.GetItemCount(), 4);
        EXPECT_EQ(page.m_Key, "SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters");
        EXPECT_EQ(page.m_Values.Line[0].Numbers[1], std::string("5551001"));
        Press(page, IDCANCEL);
    });
    page.DoModal();
    GPropertySheet = nullptr;
}

TEST_F(LineConfigTest, ModuleChoicesFollowTheBoardRowOfTheLine)
{
    struct Case {
        const char* board;
        const BoardTypeRow* row;
        int tabs;
        int line;
        std::vector<int> sockets;  // ModuleID index of choices 0 to 3, -1 hidden
    } cases[] = {
        {"four lines, one socket each", FourLines(), 4, 2, {2, -1, -1, -1}},
        {"one line, five sockets: four choices", OneLine(), 1, 0, {0, 1, 2, 3}},
        {"two lines of two sockets", &applet::BoardTypeTable[6], 4, 1, {2, 3, -1, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.board);
        RunPage(c.row, [&](CMyPropertyPage3& page) {
            EXPECT_EQ(page.m_Tabs.GetItemCount(), c.tabs);
            afxtest::SelectTab(&page, IDC_LC_TABS, c.line);
            for (int k = 0; k < 4; k++) {
                EXPECT_EQ(page.ModuleSocket(k), c.sockets[k]) << "choice " << k;
                EXPECT_EQ(page.GetDlgItem(IDC_LC_MODULE_FIRST + k)->IsWindowVisible() != FALSE, c.sockets[k] >= 0);
            }
            int last = c.sockets[0];
            Combo(&page, IDC_LC_MODULE_FIRST)->SetCurSel(7);
            page.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_LC_MODULE_FIRST, CBN_SELCHANGE), 0);
            EXPECT_TRUE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled());
            EXPECT_EQ(page.m_Values.ModuleID[last], 7u);
        });
    }
}

TEST_F(LineConfigTest, AKeyThatCannotBeOpenedIsReported)
{
    RunPage(FourLines(), [](CMyPropertyPage3&) {}, {IDOK}, 7);
    ASSERT_EQ(afxtest::MessageBoxes().size(), 1u);
    EXPECT_EQ(afxtest::MessageBoxes()[0].text, "Cannot Open Key or Key Value not found. Re-Install the Driver.");
    EXPECT_EQ(afxtest::MessageBoxes()[0].caption, "Error");

    // The key is gone when Update writes: its message, and the page keeps its edits.
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        afxtest::Click(&page, IDC_LC_PRI_E1);
        ChangeHive([](plat::reg::Registry& r) { r.delete_key(kParameters); });
        afxtest::AnswerMessageBox(IDOK);
        Press(page, IDC_LC_UPDATE);
        EXPECT_EQ(page.m_Values.Line[0].Value[linecfg::LineMode], 1u);
        EXPECT_TRUE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled());
    });
    ASSERT_EQ(afxtest::MessageBoxes().size(), 2u);
    EXPECT_EQ(afxtest::MessageBoxes()[1].text, "Cannot open key. Re-Install the Driver.");
}

// After a load that stopped at a value it could not take, nothing the page holds was read:
// Update writes none of it, whatever the user changes.
TEST_F(LineConfigTest, AFailedLoadIsNeverWrittenBack)
{
    struct Case {
        const char* name;
        std::function<void(plat::reg::Registry&)> change;
    };
    const Case cases[] = {
        {"a line value stored as text", [](plat::reg::Registry& r) { r.set_sz(kParameters, "LineCode_2", "3"); }},
        {"a number longer than its slot",
         [](plat::reg::Registry& r) {
             r.set_dword(kParameters, "LineCode_2", 3);
             r.set_sz(kParameters, "Line_1.DirectoryNumber_07", std::string(1500, '4'));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChangeHive(c.change);
        // A first opening creates the missing values the load passes before it stops.
        RunPage(FourLines(), [](CMyPropertyPage3&) {}, {IDOK});
        const std::string before = HiveText(root.dir);
        RunPage(FourLines(), [&](CMyPropertyPage3& page) {
            afxtest::Click(&page, IDC_LC_PRI_T1);
            afxtest::SelectCombo(&page, IDC_LC_ADAPTER_ID, 2);
            EXPECT_FALSE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled());
            Press(page, IDC_LC_UPDATE);
        }, {IDOK});
        EXPECT_EQ(HiveText(root.dir), before);
        ASSERT_FALSE(afxtest::MessageBoxes().empty());
        EXPECT_EQ(afxtest::MessageBoxes().back().text,
                  "Cannot Open Key or Key Value not found. Re-Install the Driver.");
    }
}

// ---- standard configurations and Update -------------------------------------------------------

TEST_F(LineConfigTest, StandardConfigurationsAreWrittenByUpdateForTheirLine)
{
    using namespace linecfg;
    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword(kParameters, "LineMode_3", 1);
        r.set_dword(kParameters, "SystemBusMode_3", 5);
        r.set_dword(kParameters, "FramingFormat_3", 5);
        for (int n = 0; n < 4; n++) {
            r.set_dword(kParameters, "RBSType_" + std::to_string(n), 1);
            r.set_dword(kParameters, "RBSCallType_" + std::to_string(n), 1);
            r.set_dword(kParameters, "RBSProtocol_" + std::to_string(n), 0);
            r.set_dword(kParameters, "Modulus_" + std::to_string(n), 1);
        }
    });
    struct Case {
        int button;
        int line;
        // LineIntfMode, SystemBusMode, LineMode, LineCode, FramingFormat, DS0IdleCode, DChRate,
        // TxPulseTemplate, Modulus, WindowSize, SignallingProtocol, DChInversion, BChProtocol,
        // RBSType, RBSCallType, RBSProtocol, RBSWinkDuration
        uint32_t expect[17];
    } cases[] = {
        {IDC_LC_PRI_E1, 1, {1, 5, 1, 2, 5, 1, 0, 6, 0, 7, 4, 0, 2, 1, 1, 0, 0}},
        {IDC_LC_T1_RBS, 2, {1, 2, 0, 0, 3, 1, 0, 0, 0, 7, 0, 0, 2, 0, 0, 2, 2}},
        {IDC_LC_PRI_T1, 3, {1, 2, 0, 0, 3, 1, 0, 0, 0, 7, 1, 0, 2, 1, 1, 0, 0}},
    };
    const LineValue columns[] = {LineIntfMode, SystemBusMode, LineMode,     LineCode,    FramingFormat, DS0IdleCode,
                                 DChRate,      TxPulseTemplate, Modulus,    WindowSize,  SignallingProtocol,
                                 DChInversion, BChProtocol,   RBSType,      RBSCallType, RBSProtocol,   RBSWinkDuration};
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        for (const Case& c : cases) {
            SCOPED_TRACE("button " + std::to_string(c.button) + " line " + std::to_string(c.line));
            afxtest::SelectTab(&page, IDC_LC_TABS, c.line);
            afxtest::Click(&page, c.button);
            EXPECT_TRUE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled());
            EXPECT_EQ(Combo(&page, IDC_LC_INTERFACE_TYPE)->GetCurSel(), static_cast<int>(c.expect[2]));
            EXPECT_EQ(page.GetDlgItem(IDC_LC_LAYER2)->IsWindowEnabled() != FALSE, c.expect[10] != 0);
        }
        Press(page, IDC_LC_UPDATE);
        EXPECT_FALSE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled()) << "a load disables Update";
        for (const Case& c : cases)
            EXPECT_TRUE(Has(Children(page.m_Tree, page.m_LineItem[c.line]),
                            LineValueName(FramingFormat, c.line) + "=0000000" + std::to_string(c.expect[4])))
                << "the tree is read again";
    });
    for (const Case& c : cases) {
        SCOPED_TRACE("button " + std::to_string(c.button) + " line " + std::to_string(c.line));
        for (size_t k = 0; k < std::size(columns); k++)
            EXPECT_EQ(Hive(LineValueName(columns[k], c.line)), c.expect[k]) << kLineValueNames[columns[k]].Name;
    }
    EXPECT_EQ(Hive(LineValueName(Modulus, 0)), 1u) << "line 0 is left alone";
}

// The bus mode follows a change of interface type on the line it was made on, whichever
// tab is showing when Update is pressed; a line whose type did not change keeps its bus.
TEST_F(LineConfigTest, InterfaceTypeChangeMovesThatLinesBusWhicheverTabShows)
{
    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword(kParameters, "LineMode_3", 1);
        r.set_dword(kParameters, "SystemBusMode_3", 10);
        r.set_dword(kParameters, "SystemBusMode_2", 5);
    });
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        afxtest::SelectTab(&page, IDC_LC_TABS, 1);
        afxtest::SelectCombo(&page, IDC_LC_INTERFACE_TYPE, 1);
        afxtest::SelectTab(&page, IDC_LC_TABS, 0);
        afxtest::SelectCombo(&page, IDC_LC_INTERFACE_TYPE, 0);  // no change: T1 already
        afxtest::SelectTab(&page, IDC_LC_TABS, 3);
        afxtest::SelectCombo(&page, IDC_LC_INTERFACE_TYPE, 0);
        afxtest::SelectTab(&page, IDC_LC_TABS, 2);
        EXPECT_TRUE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled());
        Press(page, IDC_LC_UPDATE);
    });
    EXPECT_EQ(Hive("LineMode_1"), 1u);
    EXPECT_EQ(Hive("SystemBusMode_1"), 5u) << "switched to E1 on another tab than the one showing at Update";
    EXPECT_EQ(Hive("SystemBusMode_0"), 2u);
    EXPECT_EQ(Hive("SystemBusMode_2"), 5u) << "the showing line kept its type and its bus";
    EXPECT_EQ(Hive("LineMode_3"), 0u);
    EXPECT_EQ(Hive("SystemBusMode_3"), 2u) << "back to T1";
}

// ---- the lists ---------------------------------------------------------------------------------

// Every value the driver takes (and the setup library writes) has an entry; a stored value
// without one is shown as none and kept; no OK writes a value the user did not pick.
TEST_F(LineConfigTest, ListsOfferEveryValueTheDriverTakesAndKeepOthers)
{
    using namespace linecfg;
    struct Range {
        const char* name;
        const Choice& choice;
        uint32_t first, last;
    } ranges[] = {
        {"LineCode", kLineCodeChoice, 0, 4},       {"FramingFormat", kFramingChoice, 0, 6},
        {"DChRate", kDChRateChoice, 0, 1},         {"DS0IdleCode", kIdleCodeChoice, 0, 1},
        {"TxPulseTemplate", kPulseChoice, 0, 7},   {"Modulus", kModulusChoice, 0, 1},
        {"SignallingProtocol", kProtocolChoice, 0, 6}, {"DChInversion", kInversionChoice, 0, 1},
        {"BChProtocol", kBChannelChoice, 0, 3},    {"RBSCallType", kRbsCallTypeChoice, 0, 1},
        {"NetworkSide", kNetworkSideChoice, 0, 1}, {"IrqStatistics", kIrqChoice, 0, 1},
        {"ISDNthroughCSM", kCsmChoice, 0, 1},      {"SamplingType", kSamplingChoice, 0, 2},
        {"LineMode", kLineModeChoice, 0, 1},
    };
    for (const Range& r : ranges)
        for (uint32_t v = r.first; v <= r.last; v++) EXPECT_GE(r.choice.IndexOf(v), 0) << r.name << " " << v;
    EXPECT_EQ(kRbsProtocolChoice.IndexOf(2), 1);
    EXPECT_EQ(kWinkChoice.IndexOf(2), 1);

    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword(kParameters, "LineCode_0", 4);
        r.set_dword(kParameters, "FramingFormat_0", 6);
        r.set_dword(kParameters, "TxPulseTemplate_0", 9);
        r.set_dword(kParameters, "RBSProtocol_0", 1);
        r.set_dword(kParameters, "SignallingProtocol_0", 0);
        r.set_dword(kParameters, "SignallingProtocol_1", 0);
        r.set_dword(kParameters, "RBSProtocol_1", 2);
    });
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        InDialog(page, IDC_LC_LAYER1, [](CWnd& d) {
            EXPECT_EQ(Combo(&d, IDC_L1_LINE_CODE)->GetCount(), 5);
            CString text;
            Combo(&d, IDC_L1_LINE_CODE)->GetLBText(Combo(&d, IDC_L1_LINE_CODE)->GetCurSel(), text);
            EXPECT_EQ(text.str(), "UMC");
            Combo(&d, IDC_L1_FRAMING)->GetLBText(Combo(&d, IDC_L1_FRAMING)->GetCurSel(), text);
            EXPECT_EQ(text.str(), "FAS no CRC");
            EXPECT_EQ(Combo(&d, IDC_L1_PULSE)->GetCurSel(), -1) << "9 has no entry";
            Press(d, IDOK);
        });
        InDialog(page, IDC_LC_LAYER3, [](CWnd& d) {
            EXPECT_EQ(Combo(&d, IDC_L3_RBS_PROTOCOL)->GetCurSel(), -1) << "1 has no entry";
            Press(d, IDOK);
        });
        EXPECT_TRUE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled());
        afxtest::SelectTab(&page, IDC_LC_TABS, 1);
        InDialog(page, IDC_LC_LAYER1, [](CWnd& d) {
            afxtest::SelectCombo(&d, IDC_L1_LINE_CODE, 3);
            afxtest::SelectCombo(&d, IDC_L1_FRAMING, 6);
            afxtest::SelectCombo(&d, IDC_L1_PULSE, 7);
            Press(d, IDOK);
        });
        InDialog(page, IDC_LC_LAYER3, [](CWnd& d) {
            afxtest::SelectCombo(&d, IDC_L3_RBS_PROTOCOL, 0);
            afxtest::SelectCombo(&d, IDC_L3_RBS_WINK, 1);
            Press(d, IDOK);
        });
        Press(page, IDC_LC_UPDATE);
    });
    EXPECT_EQ(Hive("LineCode_0"), 4u);
    EXPECT_EQ(Hive("FramingFormat_0"), 6u);
    EXPECT_EQ(Hive("TxPulseTemplate_0"), 9u) << "kept, never 0xFFFFFFFF";
    EXPECT_EQ(Hive("RBSProtocol_0"), 1u);
    EXPECT_EQ(Hive("LineCode_1"), 3u);
    EXPECT_EQ(Hive("FramingFormat_1"), 6u);
    EXPECT_EQ(Hive("TxPulseTemplate_1"), 7u);
    EXPECT_EQ(Hive("RBSProtocol_1"), 0u);
    EXPECT_EQ(Hive("RBSWinkDuration_1"), 2u) << "the second entry stores 2";
}

// What the page writes is what the driver runs with when it starts next.
TEST_F(LineConfigTest, TheDriverStartsWithWhatUpdateWrote)
{
    RunPage(OneLine(), [&](CMyPropertyPage3& page) {
        afxtest::Click(&page, IDC_LC_PRI_E1);
        InDialog(page, IDC_LC_LAYER1, [](CWnd& d) {
            afxtest::SelectCombo(&d, IDC_L1_FRAMING, 6);
            afxtest::SelectCombo(&d, IDC_L1_LINE_CODE, 4);
            Press(d, IDOK);
        });
        InDialog(page, IDC_LC_ADVANCED, [](CWnd& d) {
            afxtest::SetText(&d, IDC_ADV_QSTACK, "3");
            Press(d, IDOK);
        });
        Press(page, IDC_LC_UPDATE);
    });
    StartSim(false);
    sim->Do([&] {
        Adapter* a = sim->adapter();
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->LineMode[0], 1u);
        EXPECT_EQ(a->SystemBusMode[0], 5u);
        EXPECT_EQ(a->FramingFormat[0], 6u);
        EXPECT_EQ(a->LineCode[0], 4u);
        EXPECT_EQ(a->SignallingProtocol[0], 4u);
        EXPECT_EQ(a->TxPulseTemplate[0], 6u);
        EXPECT_EQ(a->QStackMultiplier[0], 3u);
    });
}

// ---- the dialogs -------------------------------------------------------------------------------

TEST_F(LineConfigTest, LayerDialogsKeepTheirControlsInStepAndValidate)
{
    using namespace linecfg;
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "SignallingProtocol_0", 1); });
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        InDialog(page, IDC_LC_LAYER2, [](CWnd& w) {
            auto& d = static_cast<cly2cfg&>(w);
            EXPECT_EQ(d.m_Slider.GetRangeMax(), 127);
            afxtest::SelectCombo(&d, IDC_L2_MODULUS, 1);
            EXPECT_EQ(d.m_Slider.GetRangeMax(), 7) << "modulus 8 keeps the window within 7";
            int low = 0, high = 0;
            d.m_Spin.GetRange(low, high);
            EXPECT_EQ(high, 7);
            afxtest::MoveSlider(&d, IDC_L2_SLIDER, 5);
            EXPECT_EQ(d.m_Spin.GetPos(), 5);
            afxtest::SpinBy(&d, IDC_L2_SPIN, -2);
            EXPECT_EQ(d.m_Slider.GetPos(), 3);
            afxtest::SetText(&d, IDC_L2_WINDOW, "100");
            Press(d, IDOK);  // refused
            afxtest::SetText(&d, IDC_L2_WINDOW, "6");
            Press(d, IDOK);
        }, {IDOK});
        InDialog(page, IDC_LC_LAYER3, [](CWnd& d) {
            EXPECT_FALSE(d.GetDlgItem(IDC_L3_RBS_PROTOCOL)->IsWindowVisible());
            afxtest::SelectCombo(&d, IDC_L3_PROTOCOL, 0);
            EXPECT_TRUE(d.GetDlgItem(IDC_L3_RBS_PROTOCOL)->IsWindowVisible());
            EXPECT_TRUE(d.GetDlgItem(IDC_L3_RBS_LABEL_FIRST + 3)->IsWindowVisible());
            afxtest::SelectCombo(&d, IDC_L3_RBS_CALL_TYPE, 1);
            afxtest::SelectCombo(&d, IDC_L3_BCHANNEL, 3);
            Press(d, IDOK);
        });
        EXPECT_FALSE(page.GetDlgItem(IDC_LC_LAYER2)->IsWindowEnabled()) << "now robbed bit";
        Press(page, IDC_LC_UPDATE);
    });
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_EQ(BoxTexts()[0], "Please enter an integer between 1 and 7.");
    EXPECT_EQ(Hive("Modulus_0"), 1u);
    EXPECT_EQ(Hive("WindowSize_0"), 6u);
    EXPECT_EQ(Hive("SignallingProtocol_0"), 0u);
    EXPECT_EQ(Hive("RBSCallType_0"), 1u);
    EXPECT_EQ(Hive("BChProtocol_0"), 3u);
}

TEST_F(LineConfigTest, DirectoryNumbersAreFilledEditedAndStoredAsDigits)
{
    auto rows = linecfg::FillNumbers("5550209", true);
    ASSERT_EQ(rows.size(), 31u);
    for (int k = 0; k < 31; k++) EXPECT_EQ(rows[k], "5550" + std::to_string(209 + k)) << k;
    EXPECT_EQ(linecfg::FillNumbers("998", true)[2], "000") << "the hundreds wrap";
    EXPECT_EQ(linecfg::FillNumbers("12", true)[8], "20");
    EXPECT_EQ(linecfg::NumberDigits("(555) 12-34 x"), "5551234");
    EXPECT_EQ(linecfg::NumberDigits(std::string(60, '7')).size(), 39u);

    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        afxtest::SelectTab(&page, IDC_LC_TABS, 2);
        InDialog(page, IDC_LC_NUMBERS, [](CWnd& w) {
            auto& d = static_cast<CDirNumberCfg&>(w);
            EXPECT_EQ(d.m_List.GetCount(), 31);
            afxtest::Click(&d, IDC_DN_FILL);  // nothing entered
            afxtest::SetText(&d, IDC_DN_FIRST, "555-0209");
            afxtest::Click(&d, IDC_DN_FILL);
            CString row;
            d.m_List.GetLBText(30, row);
            EXPECT_EQ(row.str(), "555-0239");
            afxtest::SpinBy(&d, IDC_DN_SPIN, 5);
            EXPECT_EQ(d.m_List.GetCurSel(), 5);
            afxtest::SetText(&d, IDC_DN_LIST, "555 77 66");
            afxtest::SpinBy(&d, IDC_DN_SPIN, 1);  // puts the edit back into row 5
            d.m_List.GetLBText(5, row);
            EXPECT_EQ(row.str(), "555 77 66");
            afxtest::SetText(&d, IDC_DN_CHANNEL, "31");
            d.SendMessage(WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 31), reinterpret_cast<LPARAM>(d.m_Spin.m_hWnd));
            Press(d, IDOK);
        }, {IDOK, IDOK});
        Press(page, IDC_LC_UPDATE);
    });
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"No number entered.", "Wrong Channel Number"}));
    EXPECT_EQ(HiveSz("Line_2.DirectoryNumber_00"), "5550209");
    EXPECT_EQ(HiveSz("Line_2.DirectoryNumber_05"), "5557766");
    EXPECT_EQ(HiveSz("Line_2.DirectoryNumber_30"), "5550239");
    EXPECT_EQ(HiveSz("Line_0.DirectoryNumber_00"), "5551000") << "other lines keep theirs";
}

TEST_F(LineConfigTest, AdvancedShowsThePageValuesAndEditsTheCurrentLine)
{
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        afxtest::SelectTab(&page, IDC_LC_TABS, 3);
        afxtest::Click(&page, IDC_LC_PRI_E1);  // not yet written: the dialog shows the page's values
        InDialog(page, IDC_LC_ADVANCED, [](CWnd& w) {
            auto& d = static_cast<CAdvanced&>(w);
            HTREEITEM port = d.m_Tree.GetRootItem();
            EXPECT_EQ(d.m_Tree.GetItemText(port).str(), "Port 1");
            for (int n = 0; n < 3; n++) port = d.m_Tree.GetNextSiblingItem(port);
            EXPECT_EQ(d.m_Tree.GetItemText(port).str(), "Port 4");
            EXPECT_TRUE(Has(Children(d.m_Tree, port), "LineMode_3=00000001"));
            afxtest::SetText(&d, IDC_ADV_QSTACK, "4001");
            Press(d, IDOK);  // refused
            afxtest::SetText(&d, IDC_ADV_QSTACK, "4000");
            afxtest::SetText(&d, IDC_ADV_TIMER, "0");
            Press(d, IDOK);  // refused
            afxtest::SetText(&d, IDC_ADV_TIMER, "20");
            afxtest::SelectCombo(&d, IDC_ADV_SAMPLING, 1);
            afxtest::SelectCombo(&d, IDC_ADV_IRQ, 1);
            afxtest::SelectCombo(&d, IDC_ADV_OUTGOING_ANALOG, 1);
            Press(d, IDOK);
        }, {IDOK, IDOK});
        InDialog(page, IDC_LC_ADVANCED, [](CWnd& d) {
            EXPECT_EQ(Combo(&d, IDC_ADV_OUTGOING_ANALOG)->GetCurSel(), 1) << "kept while the page is open";
            EXPECT_EQ(Combo(&d, IDC_ADV_SAMPLING)->GetCurSel(), 1);
            Press(d, IDCANCEL);
        });
        afxtest::SelectTab(&page, IDC_LC_TABS, 0);
        InDialog(page, IDC_LC_ADVANCED, [](CWnd& d) {
            EXPECT_EQ(Combo(&d, IDC_ADV_OUTGOING_ANALOG)->GetCurSel(), 0) << "one choice per line";
            EXPECT_EQ(Combo(&d, IDC_ADV_SAMPLING)->GetCurSel(), 2);
            Press(d, IDCANCEL);
        });
        Press(page, IDC_LC_UPDATE);
    });
    ASSERT_EQ(BoxTexts().size(), 2u);
    EXPECT_EQ(BoxTexts()[0], "Please enter an integer between 1 and 4000.");
    EXPECT_EQ(Hive("QStackMultiplier_3"), 4000u);
    EXPECT_EQ(Hive("QStackMultiplier_0"), 2u);
    EXPECT_EQ(Hive("TimerResolution"), 20u);
    EXPECT_EQ(Hive("SamplingType_3"), 1u);
    EXPECT_EQ(Hive("IrqStatistics"), 1u);
    EXPECT_EQ(Hive("LineMode_3"), 1u);
}

// ---- export and pictures -------------------------------------------------------------------------

TEST_F(LineConfigTest, ExportWritesTheTreeAsTheCheckedInReport)
{
    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword("HKEY_LOCAL_MACHINE\\SYSTEM\\Select", "Current", 1);
        r.set_sz(kParameters, "Line_0.DirectoryNumber_05", "");
        r.set_sz(kParameters, "Line_1.DirectoryNumber_03", "4165550100");
        r.set_dword(kParameters, "FramingFormat_2", 6);
    });
    fs::path log = root.dir / "params.log";
    RunPage(OneLine(), [&](CMyPropertyPage3& page) {
        afxtest::AnswerFileDialog(log.string());
        afxtest::AnswerFileDialog("");  // cancelled: nothing written
        afxtest::Click(&page, IDC_LC_EXPORT);
        afxtest::Click(&page, IDC_LC_EXPORT);
    });
    std::ifstream got(log), want(LINE_CONFIG_GOLDEN);
    ASSERT_TRUE(want.good());
    std::stringstream g, w;
    g << got.rdbuf();
    w << want.rdbuf();
    EXPECT_EQ(g.str(), w.str());
    if (g.str() != w.str())
        std::ofstream("line_config_export.got") << g.str();

    // Texts of any length are written whole; empty numbers are left out, the others keep their index.
    linecfg::Tree tree;
    tree.Key = std::string(600, 'K');
    tree.Lines[1].Numbers = {"Line_1.DirectoryNumber_00=", "Line_1.DirectoryNumber_01=12"};
    std::string text = linecfg::ExportText(tree);
    EXPECT_NE(text.find("\n" + tree.Key + "\n"), std::string::npos);
    EXPECT_NE(text.find("\tLine 1 Parameters:\n\t\tDirectory Numbers\n\t\t\t 1: Line_1.DirectoryNumber_01=12\n"),
              std::string::npos);
    EXPECT_EQ(text.find("DirectoryNumber_00"), std::string::npos);
}

TEST_F(LineConfigTest, PageAndLayerThreeDialogPictures)
{
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "SignallingProtocol_0", 0); });
    RunPage(FourLines(), [&](CMyPropertyPage3& page) {
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("line_config_page")));
        InDialog(page, IDC_LC_LAYER3, [](CWnd& d) {
            EXPECT_TRUE(afxtest::SaveImage(&d, ShotPath("line_config_layer3")));
            Press(d, IDCANCEL);
        });
        EXPECT_FALSE(page.GetDlgItem(IDC_LC_UPDATE)->IsWindowEnabled()) << "a cancelled dialog edits nothing";
    });
}

}  // namespace
