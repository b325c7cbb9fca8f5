// The control-panel applet as vornet-control drives it, against the default board served
// in-process as vornet-sim --serve serves it: the Control Panel's messages, the main sheet
// with its adapter page, the device panel following the line and a far-end call, the modem
// menu reaching the driver, the configuration sheet's round trip through the hive with a
// restart of the machine, and the code update. The simulator runs on a thread of its own;
// the user interface runs on the test's thread with a person's answers scripted.
#include "applet/applet_fixture.h"

using namespace applettest;
namespace fs = std::filesystem;

namespace {

// ---- the Control Panel's messages -------------------------------------------------------

TEST_F(AppletTest, ControlPanelMessagesAnswerAsTheEntryTableSays)
{
    struct Case {
        UINT msg;
        LONG result;
    } cases[] = {{CPL_INIT, 1}, {CPL_GETCOUNT, 1}, {CPL_INQUIRE, 0}, {CPL_SELECT, 1},
                 {CPL_STOP, 1}, {CPL_EXIT, 0},     {CPL_NEWINQUIRE, 0}, {0, 1}, {9, 1}, {1000, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("message " + std::to_string(c.msg));
        CPLINFO old{7, 8, 9, 10};
        NEWCPLINFOA info{};
        LPARAM record = c.msg == CPL_INQUIRE ? reinterpret_cast<LPARAM>(&old)
                        : c.msg == CPL_NEWINQUIRE ? reinterpret_cast<LPARAM>(&info)
                                                  : 0;
        EXPECT_EQ(CPlApplet(nullptr, c.msg, 0, record), c.result);
        if (c.msg == CPL_INQUIRE) {
            EXPECT_EQ(old.idIcon, 7) << "CPL_INQUIRE fills nothing";
            EXPECT_EQ(old.lData, 10);
        }
        if (c.msg == CPL_NEWINQUIRE) {
            EXPECT_EQ(info.dwSize, 244u);
            EXPECT_EQ(reinterpret_cast<intptr_t>(info.hIcon), 151);
            EXPECT_STREQ(info.szName, "Quorlane ZELVX24-30");
            EXPECT_STREQ(info.szInfo, "Quorlane ZELVX24-30 Control Panel Applet");
            EXPECT_STREQ(info.szHelpFile, "");
            EXPECT_EQ(info.lData, 0);
        }
    }
}

TEST_F(AppletTest, NoAdapterShowsItsMessageAndNoSheet)
{
    afxtest::AnswerMessageBox(IDOK);
    EXPECT_EQ(CPlApplet(nullptr, CPL_DBLCLK, 0, 0), 0);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"There are no QLZELVX24/30 adapters installed."});
    EXPECT_EQ(GPropertySheet, nullptr);
    EXPECT_EQ(GAgent, nullptr);
}

// ---- the adapter's parameters in the registry --------------------------------------------

// An AdapterID with no row in the applet's table (0, or above 7) is refused before any sheet.
TEST_F(AppletTest, AnAdapterIdOutsideTheTableShowsItsMessageAndNoSheet)
{
    StartSim(false);
    const uint32_t ids[] = {0, 8, 0xFFFFFFFF};
    for (size_t i = 0; i < std::size(ids); i++) {
        SCOPED_TRACE(ids[i]);
        ChangeHive([&](plat::reg::Registry& r) { r.set_dword(kParameters, "AdapterID", ids[i]); });
        afxtest::AnswerMessageBox(IDOK);
        EXPECT_EQ(CPlApplet(nullptr, CPL_DBLCLK, 0, 0), 0);
        ASSERT_EQ(BoxTexts().size(), i + 1);
        EXPECT_EQ(BoxTexts().back(),
                  "The Registery Key: AdapterID is missing or adapter ID is unknown, please reinstall the driver.");
        EXPECT_EQ(GPropertySheet, nullptr);
        EXPECT_EQ(GAgent, nullptr) << "the management layer is closed again";
    }
}

TEST_F(AppletTest, AdapterAndModuleIdsAreReadUnderTheCurrentControlSetAndMissingOnesCreated)
{
    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword(kParameters, "AdapterID", 5);
        r.delete_value(kParameters, "ModuleID_3");
    });
    EXPECT_EQ(ReadAdapterId(1), 5u);
    EXPECT_EQ(ReadModuleId(1, 3), 4u) << "a missing module value reads as 4";
    EXPECT_EQ(HiveDword(root.dir, kParameters, "ModuleID_3"), 4u) << "and is created as REG_DWORD 4";
    EXPECT_EQ(ReadAdapterId(7), 0u) << "an adapter whose key cannot be opened";

    // SYSTEM\Select names control set 2: the parameters are read from its key, which the
    // machine keeps as the current control set.
    ChangeHive([&](plat::reg::Registry& r) { r.set_dword("HKEY_LOCAL_MACHINE\\SYSTEM\\Select", "Current", 2); });
    EXPECT_EQ(ParametersKeyOf(1), "SYSTEM\\ControlSet002\\Services\\VORNET1\\Parameters");
    EXPECT_EQ(ReadAdapterId(1), 5u);
}

// ---- replies of the sheet's request block ---------------------------------------------------

TEST_F(AppletTest, ARefusedReplyOrASegmentInsideTheHeaderGivesNoData)
{
    auto reply = std::make_unique<BackdoorRequest>();
    std::memset(reply.get(), 0, sizeof *reply);
    reply->Data[0] = 0x5A;
    struct Case {
        uint32_t status, offset, length;
        size_t bytes;
    } cases[] = {
        {0, kBackdoorHeaderSize, 8, 8},                 // accepted: the data
        {3, 0, 0, 0},                                   // refused, offsets 0: nothing, not the header
        {3, kBackdoorHeaderSize, 8, 0},                 // refused: nothing even where the offset is sound
        {0, 16, 8, 0},                                  // inside the header
        {0, kBackdoorRequestSize - 4, 100, 4},          // cut at the record's end
        {0, kBackdoorRequestSize, 4, 0},                // past it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status) + " offset " + std::to_string(c.offset));
        reply->Status = c.status;
        reply->Segment[0] = {c.length, c.offset};
        CReplyData d = CMyPropertySheet::ReplySegment(*reply, 0);
        EXPECT_EQ(d.Bytes.size(), c.bytes);
        if (c.bytes == 8) {
            EXPECT_EQ(d.Bytes[0], 0x5A);
        }
    }
    reply->Status = 3;
    EXPECT_EQ(CMyPropertySheet::StatusText(*reply), "The driver refused the request (status 0x00000003).");
}

// ---- the main sheet on the served board ----------------------------------------------------

CPropertyPageQLS* AdapterPage(CMyPropertySheet& sheet, size_t i)
{
    return i < sheet.m_AdapterPages.size() ? sheet.m_AdapterPages[i] : nullptr;
}

// The sheet's request block reaches the current adapter's driver; with no valid current
// adapter nothing is sent.
TEST_F(AppletTest, TheSheetsRequestGoesToTheCurrentAdapterOnly)
{
    StartSim(false);
    OpenApplet([&](CMyPropertySheet& sheet) {
        BackdoorRequest& block = sheet.m_Request;
        EXPECT_TRUE(sheet.ClearDriverRequest());
        block.Class = 0;
        block.Action = 17;  // the adapter's information
        sheet.m_CurrentAdapter = sheet.m_AdapterCount;
        EXPECT_FALSE(sheet.SendDriverRequest());
        EXPECT_EQ(block.Signature, 0u) << "nothing was sent";
        sheet.m_CurrentAdapter = 0;
        ASSERT_TRUE(sheet.SendDriverRequest());
        EXPECT_EQ(block.Signature, kBackdoorSignature);
        EXPECT_EQ(block.BufferLength, kBackdoorRequestSize);
        EXPECT_EQ(block.Status, 0u);
        EXPECT_GE(CMyPropertySheet::ReplySegment(block, 0).Bytes.size(), 16u) << "type, groups, lines, modules";
        afxtest::CloseWindow(&sheet);
    });
}

// The device panel comes up with the line, follows a call from the far end to a pump and its
// clearing, and the modem's menu takes the pump out of service in the driver.
TEST_F(AppletTest, DevicePanelFollowsTheLineAndAFarEndCall)
{
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "DebugMenusOn", 1); });
    StartSim();
    Link* l = nullptr;
    sim->Do([&] { rig::with_adapter_lock(sim->adapter(), [&] { l = LinkAcquire(sim->adapter(), 0, 0, 2, OWNER_DRIVER); }); });
    ASSERT_NE(l, nullptr);

    size_t tapiApps = 0;
    OpenApplet([&](CMyPropertySheet& sheet) {
        ASSERT_EQ(sheet.m_AdapterCount, 1u);
        EXPECT_EQ(sheet.m_DeviceNumbers[0], 1u);
        EXPECT_EQ(sheet.m_AdapterType, 4u);
        EXPECT_EQ(sheet.m_pBoardRow, &applet::BoardTypeTable[4]);
        EXPECT_EQ(sheet.GetPageCount(), 1);
        EXPECT_FALSE(sheet.GetDlgItem(IDOK)->IsWindowVisible()) << "no OK, Cancel or Apply";
        EXPECT_GT(sheet.m_LineDevices, 0u);
        EXPECT_GT(sheet.m_KeptLines, 0u) << "the adapter's lines are held open";
        sim->Do([&] { tapiApps = sim->server->tapi().applications(); });
        EXPECT_EQ(tapiApps, 1u);
        Link* serial = nullptr;
        sim->Do([&] {
            rig::with_adapter_lock(sim->adapter(), [&] { serial = LinkAcquire(sim->adapter(), 0, 0, 4, OWNER_VOVIZ4EZ); });
        });
        EXPECT_EQ(serial, nullptr) << "a serial open of a link TAPI holds is refused";

        CPropertyPageQLS* page = AdapterPage(sheet, 0);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->GetTitle(), "ZELVX24/30 Adapter #1");
        ASSERT_EQ(page->m_ChannelButtons.size(), 24u) << "a T1 line";
        EXPECT_TRUE(page->GetDlgItem(IDC_CHANNEL_FIRST + 23)->IsWindowVisible());
        EXPECT_FALSE(page->GetDlgItem(IDC_CHANNEL_FIRST + 24)->IsWindowVisible()) << "channels 25 to 31 stay hidden";
        ASSERT_EQ(page->m_ModemTexts.size(), 30u);
        CString number;
        page->GetDlgItemText(ModemTextId(29), number);
        EXPECT_EQ(number, "30");
        page->GetDlgItemText(IDC_CHANNEL_TEXT_FIRST + 2, number);
        EXPECT_EQ(number, "3");

        // The line comes up: both layer lamps green; idle channels marked; the D channel yellow.
        auto* layer1 = page->m_pLayer1;
        auto* layer2 = page->m_pLayer2;
        CChannelButton* ch3 = page->m_ChannelButtons[2];
        ASSERT_TRUE(PumpUntil([&] {
            return layer1->GetBitmapId(false) == IDB_LAMP_GREEN && layer2->GetBitmapId(false) == IDB_LAMP_GREEN &&
                   ch3->GetBitmapId(false) == IDB_LAMP_DARK_C;
        })) << layer1->GetState() << " " << layer2->GetState() << " " << ch3->GetState();
        EXPECT_EQ(page->m_ChannelButtons[23]->GetBitmapId(false), IDB_LAMP_YELLOW);
        EXPECT_EQ(afxtest::ToolTip(layer1), "Layer Up");
        EXPECT_EQ(afxtest::ToolTip(layer2), "Layer Up");
        EXPECT_EQ(afxtest::ToolTip(page->m_ModemButtons[ModemButtonId(0)]), "Idle: Unallocated");
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("applet-line-up")));

        // A speech call from the far end on channel 3 goes to a pump: the channel's lamp and
        // that modem's lamp turn green.
        std::optional<sim::CallKey> key;
        sim->Do([&] { key = sim->net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::speech(false)); });
        ASSERT_TRUE(key.has_value());
        uint32_t n = 0;
        ASSERT_TRUE(PumpUntil([&] {
            sim->Do([&] {
                Pump* p = l->ThisPump;
                if (p != nullptr && p->PumpState == PUMP_ON_LINE)
                    n = (p->ThisCsm->ThisSocket->SocketIndex * 2 + p->ThisCsm->Index) * 3 + p->PumpNumber + 1;
            });
            return n != 0;
        }));
        CModemButton* modem = page->m_ModemButtons[ModemButtonId((int)n - 1)];
        EXPECT_TRUE(PumpUntil([&] {
            return ch3->GetBitmapId(false) == IDB_LAMP_GREEN && modem->GetBitmapId(false) == IDB_LAMP_GREEN;
        })) << ch3->GetState() << " " << modem->GetState();
        EXPECT_EQ(afxtest::ToolTip(modem), "Connected on B-Channel 3");
        page->GetDlgItemText(ModemTextId((int)n - 1), number);
        EXPECT_EQ(number, std::to_string(n)) << "the modem's label shows its number only";
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("applet-call-connected")));

        // The network clears: both lamps go back.
        sim->Do([&] { sim->net->clear_call(*key); });
        EXPECT_TRUE(PumpUntil([&] {
            return ch3->GetBitmapId(false) == IDB_LAMP_DARK_C && modem->GetBitmapId(false) == IDB_LAMP_DARK_A;
        })) << ch3->GetState() << " " << modem->GetState();
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("applet-call-cleared")));

        // The modem menu: out of service reaches the driver's pump; channels have no menu.
        int before = 0;
        sim->Do([&] { before = sim->adapter()->Socket[0].Csms[0].Pumps[0].PumpState; });
        afxtest::ChooseMenu(ID_MODEM_OUT_OF_SERVICE);
        afxtest::RightClick(page->m_ModemButtons[ModemButtonId(0)], 3, 3);
        ASSERT_EQ(afxtest::Menus().size(), 1u);
        ASSERT_EQ(afxtest::Menus()[0].items.size(), 2u);
        EXPECT_EQ(afxtest::Menus()[0].items[0].text, "Out Of Service");
        EXPECT_FALSE(afxtest::Menus()[0].items[0].checked);
        int state = 0;
        EXPECT_TRUE(PumpUntil([&] {
            sim->Do([&] { state = sim->adapter()->Socket[0].Csms[0].Pumps[0].PumpState; });
            return state == PUMP_OUT_OF_SERVICE;
        })) << state;
        // The menu then shows the modem out of service, and the same item brings it back.
        EXPECT_TRUE(PumpUntil([&] { return page->m_pAdapter->GetModem(0)->IsOutOfService(); }));
        afxtest::ChooseMenu(ID_MODEM_OUT_OF_SERVICE);
        afxtest::RightClick(page->m_ModemButtons[ModemButtonId(0)], 3, 3);
        ASSERT_EQ(afxtest::Menus().size(), 2u);
        EXPECT_TRUE(afxtest::Menus()[1].items[0].checked);
        EXPECT_FALSE(afxtest::Menus()[1].items[1].checked) << "no debug log";
        EXPECT_TRUE(PumpUntil([&] {
            sim->Do([&] { state = sim->adapter()->Socket[0].Csms[0].Pumps[0].PumpState; });
            return state == before;
        })) << state << ", was " << before << " before";
        EXPECT_TRUE(PumpUntil([&] { return !page->m_pAdapter->GetModem(0)->IsOutOfService(); }));
        afxtest::RightClick(ch3, 3, 3);
        EXPECT_EQ(afxtest::Menus().size(), 2u) << "a channel's right click shows nothing";
        afxtest::CloseWindow(&sheet);
    });
    sim->Do([&] { tapiApps = sim->server->tapi().applications(); });
    EXPECT_EQ(tapiApps, 0u) << "the lines are closed with the sheet";
    Link* serial = nullptr;
    sim->Do([&] {
        rig::with_adapter_lock(sim->adapter(), [&] {
            serial = LinkAcquire(sim->adapter(), 0, 0, 4, OWNER_VOVIZ4EZ);
            if (serial != nullptr) LinkRelease(serial, OWNER_VOVIZ4EZ);
        });
    });
    EXPECT_NE(serial, nullptr) << "and the link is free again";
}

// ---- the configuration sheet ----------------------------------------------------------------

class ConfigurationTest : public AppletTest {
protected:
    // Opens the applet, presses "Configuration", lets `edit` play the user in the
    // configuration sheet (it ends the sheet), then answers the questions that follow.
    void Configure(std::function<void(CConfigSheet&)> edit, std::vector<int> answers)
    {
        OpenApplet([&](CMyPropertySheet& sheet) {
            CPropertyPageQLS* page = AdapterPage(sheet, 0);
            ASSERT_NE(page, nullptr);
            afxtest::RunModal([&](CWnd* dialog) { edit(*static_cast<CConfigSheet*>(dialog)); });
            for (int a : answers) afxtest::AnswerMessageBox(a);
            afxtest::Click(page, IDC_CONFIGURATION);
            afxtest::CloseWindow(&sheet);
        });
    }
    std::optional<uint32_t> Param(const char* name) { return HiveDword(root.dir, kParameters, name); }
};

TEST_F(ConfigurationTest, AnE1FramingIsSavedWithItsLineAndBusModesAndTheRestKept)
{
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "SystemBusMode_0", 3); });
    StartSim();
    const uint32_t protocol = *Param("SignallingProtocol_0"), code = *Param("LineCode_0");
    Configure(
        [&](CConfigSheet& cs) {
            EXPECT_EQ(cs.m_LineConfig.m_Framing, 3);
            EXPECT_TRUE(afxtest::SaveImage(&cs, ShotPath("applet-configuration-line")));
            afxtest::SelectCombo(&cs.m_LineConfig, IDC_FRAMING, 4);  // "E1 -  FAS with CRC"
            afxtest::SelectSheetPage(&cs, 3);
            EXPECT_TRUE(afxtest::SaveImage(&cs, ShotPath("applet-configuration-ports")));
            afxtest::SetText(&cs.m_AsyncPorts, IDC_PORT_COUNT, "4");
            afxtest::SetText(&cs.m_AsyncPorts, IDC_FIRST_PORT, "7");
            afxtest::Click(&cs, IDOK);
        },
        {IDYES, IDNO});
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Save configuration changes?",
                                                    "These changes require Windows to be restarted. Restart now?"}));
    // Questions without a caption carry the application's name, which is its module's.
    ASSERT_NE(AfxGetApp()->m_pszAppName, nullptr);
    const std::string name = AfxGetApp()->m_pszAppName;
    EXPECT_FALSE(name.empty());
    for (const auto& box : afxtest::MessageBoxes())
        EXPECT_EQ(box.caption, name) << box.text;
    EXPECT_EQ(Param("FramingFormat_0"), 4u);
    EXPECT_EQ(Param("LineMode_0"), 1u);
    EXPECT_EQ(Param("SystemBusMode_0"), 5u);
    EXPECT_EQ(Param("SignallingProtocol_0"), protocol) << "a list the user left alone keeps its value";
    EXPECT_EQ(Param("LineCode_0"), code);
    EXPECT_EQ(Param("AsyncPorts_0"), 4u);
    EXPECT_EQ(Param("AsyncPortNumbersStartAt"), 7u);
    EXPECT_EQ(sim->restarts, 0);
}

// Port values outside their ranges get the range message and the sheet stays open.
TEST_F(ConfigurationTest, PortValuesOutsideTheirRangesKeepTheSheetOpen)
{
    StartSim(false);
    Configure(
        [&](CConfigSheet& cs) {
            afxtest::SelectSheetPage(&cs, 1);
            EXPECT_TRUE(afxtest::SaveImage(&cs, ShotPath("applet-configuration-directory")));
            afxtest::SelectSheetPage(&cs, 3);
            afxtest::SetText(&cs.m_AsyncPorts, IDC_PORT_COUNT, "31");
            afxtest::Click(&cs, IDOK);
            EXPECT_TRUE(cs.IsWindowVisible()) << "31 ports are refused";
            afxtest::SetText(&cs.m_AsyncPorts, IDC_PORT_COUNT, "30");
            afxtest::SetText(&cs.m_AsyncPorts, IDC_FIRST_PORT, "0");
            afxtest::Click(&cs, IDOK);
            EXPECT_TRUE(cs.IsWindowVisible()) << "COM0 is refused";
            afxtest::SetText(&cs.m_AsyncPorts, IDC_FIRST_PORT, "250");
            afxtest::Click(&cs, IDOK);
        },
        {IDOK, IDOK, IDNO});
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Please enter an integer between 0 and 30.",
                                                    "Please enter an integer between 1 and 250.",
                                                    "Save configuration changes?"}));
    EXPECT_EQ(Param("AsyncPorts_0"), 2u) << "nothing saved on No";
}

TEST_F(ConfigurationTest, AnsweringNoToSavingWritesNothing)
{
    StartSim();
    std::string before;
    Configure(
        [&](CConfigSheet& cs) {
            before = HiveText(root.dir);  // with the defaults the applet's reading created
            afxtest::SelectCombo(&cs.m_LineConfig, IDC_FRAMING, 5);
            afxtest::Click(&cs, IDOK);
        },
        {IDNO});
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Save configuration changes?"});
    EXPECT_EQ(HiveText(root.dir), before);
}

// Values without a list entry (robbed bit, leased line, framing 5) are kept on OK.
TEST_F(ConfigurationTest, StoredValuesWithoutAListEntryAreKept)
{
    struct Case {
        const char* name;
        uint32_t value;
    } cases[] = {{"SignallingProtocol_0", 0}, {"SignallingProtocol_0", 6}, {"FramingFormat_0", 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value));
        ChangeHive([&](plat::reg::Registry& r) { r.set_dword(kParameters, c.name, c.value); });
        StartSim(false);
        Configure([&](CConfigSheet& cs) { afxtest::Click(&cs, IDOK); }, {IDYES, IDNO});
        EXPECT_EQ(Param(c.name), c.value);
        sim.reset();
        ChangeHive([](plat::reg::Registry& r) {
            r.set_dword(kParameters, "SignallingProtocol_0", 1);
            r.set_dword(kParameters, "FramingFormat_0", 3);
        });
    }
}

TEST_F(ConfigurationTest, WhatWasNotSavedIsNamedAndNoRestartOffered)
{
    StartSim();
    Configure(
        [&](CConfigSheet& cs) {
            // The parameters go away while the sheet is open.
            ChangeHive([](plat::reg::Registry& r) { r.delete_key(kParameters); });
            afxtest::Click(&cs, IDOK);
        },
        {IDYES, IDOK});
    ASSERT_EQ(afxtest::MessageBoxes().size(), 2u);
    EXPECT_EQ(afxtest::MessageBoxes()[1].text,
              "These settings were not saved:\n  the asynchronous ports\n  the directory numbers\n  the line setup");
    EXPECT_EQ(sim->restarts, 0);
}

TEST_F(ConfigurationTest, RestartBringsTheMachineBackWithTheNewValues)
{
    StartSim();
    Configure(
        [&](CConfigSheet& cs) {
            afxtest::SelectCombo(&cs.m_LineConfig, IDC_FRAMING, 5);  // "E1 -  FAS without CRC"
            afxtest::Click(&cs, IDOK);
        },
        {IDYES, IDYES});
    EXPECT_EQ(Param("FramingFormat_0"), 6u);
    ASSERT_EQ(sim->restarts, 1);
    uint32_t framing = 0, mode = 0;
    sim->Do([&] {
        if (Adapter* a = sim->adapter()) {
            framing = a->FramingFormat[0];
            mode = a->LineMode[0];
        }
    });
    EXPECT_EQ(framing, 6u);
    EXPECT_EQ(mode, 1u);
}

// ---- the directory dialog and the line page alone ---------------------------------------------

// Their templates' OK buttons are hidden (a sheet's serve instead): the command is sent as Enter sends it.
void PressOK(CWnd& dialog) { dialog.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

TEST_F(AppletTest, DirectoryDialogOffersTheThirtyStoredNumbersAndFillsThem)
{
    CQLSDirectoryDialog dialog;
    std::strcpy(dialog.m_Numbers[0], "555-1000");
    std::strcpy(dialog.m_Numbers[29], "5551029");
    afxtest::RunModal([&](CWnd*) {
        CComboBox& list = dialog.m_List;
        EXPECT_EQ(list.GetCount(), 30) << "channels 0 to 29: the record holds no more";
        afxtest::Click(&dialog, IDC_DIR_FILL);  // increment mode with no first number: refused
        EXPECT_EQ(list.GetCount(), 30);
        CString entry;
        list.GetLBText(0, entry);
        EXPECT_EQ(entry, "555-1000") << "the list is left as it was";
        afxtest::SpinBy(&dialog, IDC_DIR_SPIN, 40);
        EXPECT_EQ(dialog.m_Spin.GetPos(), 29);
        afxtest::SetText(&dialog, IDC_DIR_CHANNEL, "30");
        PressOK(dialog);  // refused: the range message
        afxtest::SetText(&dialog, IDC_DIR_CHANNEL, "0");
        PressOK(dialog);
    });
    afxtest::AnswerMessageBox(IDOK);
    afxtest::AnswerMessageBox(IDOK);
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"No number entered.", "Please enter an integer between 0 and 29."}));
    EXPECT_STREQ(dialog.m_Numbers[0], "5551000") << "a dash is not stored";
    EXPECT_STREQ(dialog.m_Numbers[29], "5551029") << "the last channel is kept";

    struct Case {
        std::string first;
        bool increment;
        std::vector<std::pair<size_t, std::string>> expect;
    } cases[] = {
        {"4165550198", true, {{0, "4165550198"}, {1, "4165550199"}, {2, "4165550200"}, {29, "4165550227"}}},
        {"999", true, {{0, "999"}, {1, "000"}, {2, "001"}}},
        {"12", true, {{1, "13"}, {8, "20"}}},
        {"5551000", false, {{0, "5551000"}, {29, "5551000"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        auto entries = CQLSDirectoryDialog::FillEntries(c.first, c.increment);
        ASSERT_EQ(entries.size(), 30u);
        for (const auto& [i, text] : c.expect) EXPECT_EQ(entries[i], text) << "entry " << i;
    }
}

TEST_F(AppletTest, LineListsShowAndKeepTheStoredSetup)
{
    struct Case {
        rpri_tSetup stored;
        CLineSetupLists shown;
        int pickFraming;  // -1: none
        int pickSwitch;
        int expectProtocol, expectFraming, expectLineMode, expectBusMode;
    } cases[] = {
        {{1, 0, 3, 0, 0, 0, 0, 0, 2}, {0, 0, 0, 3}, -1, -1, 1, 3, 0, 2},
        {{0, 0, 3, 0, 0, 0, 0, 0, 2}, {0, -1, 0, 3}, -1, -1, 0, 3, 0, 2},   // robbed bit stays
        {{6, 2, 5, 0, 1, 5, 0, 0, 5}, {2, -1, 5, 5}, -1, -1, 6, 5, 1, 5},   // leased line, framing 5 stay
        {{0, 0, 3, 0, 0, 0, 0, 0, 2}, {0, -1, 0, 3}, 4, 2, 3, 4, 1, 5},     // picks: E1, DMS100
        {{1, 2, 4, 0, 1, 5, 0, 0, 5}, {2, 0, 5, 4}, 1, -1, 1, 1, 0, 2},     // back to T1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("protocol " + std::to_string(c.stored.SignallingProtocol) + " framing " +
                     std::to_string(c.stored.FramingFormat));
        CLineSetupLists shown = zel_SetupToLists(c.stored);
        EXPECT_EQ(shown.LineCoding, c.shown.LineCoding);
        EXPECT_EQ(shown.SwitchType, c.shown.SwitchType);
        EXPECT_EQ(shown.TxLevel, c.shown.TxLevel);
        EXPECT_EQ(shown.Framing, c.shown.Framing);
        CLineSetupLists chosen = shown;
        if (c.pickFraming >= 0) chosen.Framing = c.pickFraming;
        if (c.pickSwitch >= 0) chosen.SwitchType = c.pickSwitch;
        rpri_tSetup setup = c.stored;
        zel_ListsToSetup(shown, chosen, setup);
        EXPECT_EQ(setup.SignallingProtocol, c.expectProtocol);
        EXPECT_EQ(setup.FramingFormat, c.expectFraming);
        EXPECT_EQ(setup.LineMode, c.expectLineMode);
        EXPECT_EQ(setup.SystemBusMode, c.expectBusMode);
    }
    // The line page maps entry 5 to framing 6, but a stored 5 left alone stays 5.
    for (int stored : {5, 6}) {
        CLiConfig page;
        page.m_Framing = stored;
        afxtest::RunModal([&](CWnd*) {
            EXPECT_EQ(static_cast<CComboBox*>(page.GetDlgItem(IDC_FRAMING))->GetCurSel(), 5);
            PressOK(page);
        });
        EXPECT_EQ(page.DoModal(), IDOK);
        EXPECT_EQ(page.m_Framing, stored);
    }
}

// ---- the code update ----------------------------------------------------------------------------

TEST_F(AppletTest, CodeUpdateResultTexts)
{
    struct Case {
        int32_t code;
        bool driver;
        const char* text;
    } cases[] = {
        {0, true, "Driver code was updated.    These changes require Windows to be restarted. Restart now?"},
        {0, false, "ArmCSM code was updated.    These changes require Windows to be restarted. Restart now?"},
        {1, false, "The file can not be copied upon itself. "},
        {2, false, "The file <C:\\new\\armcsm> could not be opened "},
        {3, true, "Function Call Failed!"},
        {-1, true, "Function Call Failed!"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CUpdateCode::ResultText(c.code, c.driver, "C:\\new\\armcsm"), c.text) << c.code;
}

TEST_F(AppletTest, CodeUpdateCopiesTheFirmwareAndTheDriverIntoTheSystemFolder)
{
    const fs::path drivers = root.dir / "C" / "WINNT" / "system32" / "drivers";
    std::ofstream(drivers / "armcsm") << "old image";
    fs::create_directories(root.dir / "C" / "new");
    std::ofstream(root.dir / "C" / "new" / "armcsm") << "new image";
    std::ofstream(root.dir / "C" / "new" / "vornet.sys") << "new driver";
    StartSim();
    OpenApplet([&](CMyPropertySheet& sheet) {
        CPropertyPageQLS* page = AdapterPage(sheet, 0);
        ASSERT_NE(page, nullptr);
        afxtest::RunModal([&](CWnd* dialog) {
            auto& cs = *static_cast<CConfigSheet*>(dialog);
            afxtest::SelectSheetPage(&cs, 2);
            CUpdateCode& update = cs.m_UpdateCode;
            CString path;
            update.GetDlgItemText(IDC_FIRMWARE_FILE, path);
            EXPECT_EQ(path, "C:\\WINNT\\system32\\drivers\\ARMCSM");
            EXPECT_TRUE(afxtest::SaveImage(&cs, ShotPath("applet-code-update")));
            afxtest::Click(&update, IDC_UPDATE_FIRMWARE);  // the installed file itself
            afxtest::SetText(&update, IDC_FIRMWARE_FILE, "C:\\new\\missing");
            afxtest::Click(&update, IDC_UPDATE_FIRMWARE);
            afxtest::SetText(&update, IDC_FIRMWARE_FILE, "C:\\new\\armcsm");
            afxtest::Click(&update, IDC_UPDATE_FIRMWARE);
            afxtest::SetText(&update, IDC_DRIVER_FILE, "C:\\new\\vornet.sys");
            afxtest::Click(&update, IDC_UPDATE_DRIVER);
            afxtest::CloseWindow(&cs);
        });
        for (int a : {IDOK, IDOK, IDNO, IDNO}) afxtest::AnswerMessageBox(a);
        afxtest::Click(page, IDC_CONFIGURATION);
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(BoxTexts(),
              (std::vector<std::string>{"The file can not be copied upon itself. ",
                                        "The file <C:\\new\\missing> could not be opened ",
                                        "ArmCSM code was updated.    These changes require Windows to be restarted. "
                                        "Restart now?",
                                        "Driver code was updated.    These changes require Windows to be restarted. "
                                        "Restart now?"}));
    auto content = [](const fs::path& file) {
        std::ifstream f(file);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(content(drivers / "armcsm"), "new image");
    EXPECT_EQ(content(drivers / "vornet.sys"), "new driver");
    EXPECT_EQ(sim->restarts, 0);
}

// ---- several adapters and the card selection ---------------------------------------------------

class TwoAdapters : public AppletTest {
protected:
    // A second adapter, VORNET2, with the first one's parameters and the given debug pages value.
    void AddSecondAdapter(uint32_t debugPages, uint32_t adapterId)
    {
        ChangeHive([&](plat::reg::Registry& r) {
            std::string text = r.save_reg(kParameters);
            for (size_t at; (at = text.find("VORNET1")) != std::string::npos;) text.replace(at, 7, "VORNET2");
            ASSERT_TRUE(r.load_reg(text).ok);
            const std::string second = std::string(kParameters).replace(std::string(kParameters).find("VORNET1"), 7, "VORNET2");
            r.set_dword(second, "DebugPagesOn", debugPages);
            r.set_dword(second, "AdapterID", adapterId);
        });
        StartSim(false, 2);
    }
};

TEST_F(TwoAdapters, WithoutDebugPagesBothPagesShowAndTheFirstAdapterIsCurrent)
{
    AddSecondAdapter(0, 5);
    OpenApplet([&](CMyPropertySheet& sheet) {
        EXPECT_EQ(sheet.m_AdapterCount, 2u);
        EXPECT_EQ(sheet.GetPageCount(), 2);
        EXPECT_EQ(sheet.m_CurrentAdapter, 0u);
        EXPECT_EQ(sheet.m_DeviceNumbers[1], 2u);
        EXPECT_EQ(sheet.m_AdapterType, 4u) << "the first adapter's type";
        EXPECT_EQ(sheet.GetPage(1)->GetTitle(), "ZELVX24/30 Adapter #2");
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_TRUE(afxtest::Menus().empty());
    EXPECT_TRUE(afxtest::MessageBoxes().empty());
}

TEST_F(TwoAdapters, DebugPagesOnAnyAdapterAskForTheCard)
{
    AddSecondAdapter(1, 5);
    std::vector<std::string> entries;
    afxtest::RunModal([&](CWnd* dialog) {
        auto* list = static_cast<CComboBox*>(dialog->GetDlgItem(IDC_CARD_LIST));
        for (int i = 0; i < list->GetCount(); i++) {
            CString e;
            list->GetLBText(i, e);
            entries.push_back(e.str());
        }
        EXPECT_TRUE(afxtest::SaveImage(dialog, ShotPath("applet-card-selection")));
        afxtest::SelectCombo(dialog, IDC_CARD_LIST, 1);
        afxtest::Click(dialog, IDOK);
    });
    OpenApplet([&](CMyPropertySheet& sheet) {
        EXPECT_EQ(sheet.m_CurrentAdapter, 1u);
        EXPECT_EQ(sheet.m_AdapterType, 5u) << "the chosen adapter's type";
        EXPECT_EQ(sheet.m_pBoardRow, &applet::BoardTypeTable[5]);
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(entries, (std::vector<std::string>{"VORNET1", "VORNET2"}));

    // Cancel shows nothing.
    afxtest::RunModal([&](CWnd* dialog) { afxtest::Click(dialog, IDCANCEL); });
    EXPECT_EQ(CPlApplet(nullptr, CPL_DBLCLK, 0, 0), 0);
    EXPECT_EQ(GAgent, nullptr);
}

// A worker's message box while the user-interface thread waits for the adapter: the box is
// shown by the user-interface thread, which keeps running its messages while it waits.
TEST_F(AppletTest, WaitingForAWorkerNeverBlocksItsMessageBox)
{
    StartSim(false);
    OpenApplet([&](CMyPropertySheet& sheet) {
        HANDLE done = os_CreateManualEvent();
        afxtest::AnswerMessageBox(IDOK);
        std::thread worker([&] {
            os_MessageBox("GetLastErrors returns 6");
            os_SetEvent(done);
        });
        // The worker goes on while this thread runs none of its messages: its box waits
        // for this thread instead, and is not shown on the worker.
        EXPECT_EQ(WaitForSingleObject(done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        worker.join();
        EXPECT_TRUE(afxtest::MessageBoxes().empty());
        zel_WaitPumping(done);
        EXPECT_TRUE(PumpUntil([] { return !afxtest::MessageBoxes().empty(); }, 5));
        ASSERT_EQ(afxtest::MessageBoxes().size(), 1u);
        EXPECT_EQ(afxtest::MessageBoxes()[0].text, "GetLastErrors returns 6");
        os_CloseEvent(done);
        afxtest::CloseWindow(&sheet);
    });
}

// ---- what a lamp takes from a notification -----------------------------------------------------

struct TestLine : CLineInterface {
    TestLine() : CLineInterface(nullptr, nullptr, 2) {}
    void BuildVariableMethods() override {}
};
struct TestChannel : CChannel {
    TestChannel() : CChannel(nullptr, 3, 0) {}
    void BuildVariableMethods() override {}
};

TEST_F(AppletTest, ALampTakesOnlyItsOwnRecordFromANotification)
{
    TestLine line;
    TestChannel channel;
    CReadVariableMessage<rpri_tPRI> done(rpri_tPRI_Table, rpri_tPRI{2, 7, 0});
    done.Complete(MSG_DONE);
    CReadVariableMessage<rpri_tPRI> failed(rpri_tPRI_Table, rpri_tPRI{2, 7, 0});
    failed.Complete(MSG_FAILED);
    CReadVariableMessage<rpri_tPRI> hint(rpri_tPRI_Table, rpri_tPRI{2, 5, 0});
    CReadVariableMessage<rpri_tPRIChannel> channelHint(rpri_tPRIChannel_Table);
    auto as = [](CMessage& m) { return reinterpret_cast<SubjectHint>(&m); };
    struct Case {
        const char* what;
        CSubject* subject;
        SubjectHint hint;
        int layer2;  // -1: nothing taken
    } cases[] = {
        {"its completed read", &done, 0, 7},
        {"a failed read", &failed, 0, -1},
        {"the line's notification with its record", &line, as(hint), 5},
        {"the line's notification with another record", &line, as(channelHint), -1},
        {"the line's notification of a completed message", &line, 0, -1},
        {"another kind of object with the record", &channel, as(hint), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const rpri_tPRI* r = zel_RecordOf<rpri_tPRI, CLineInterface>(c.subject, c.hint);
        EXPECT_EQ(r == nullptr ? -1 : r->Layer2, c.layer2);
    }
    EXPECT_EQ(CModemTextView::StateText(4), "Out of Service");
    EXPECT_EQ(CModemTextView::StateText(6), "Unknown");
}

// Without TAPI the sheet says so and still shows its pages.
TEST_F(AppletTest, WithoutTapiTheSheetStillShowsItsPages)
{
    StartSim(false);
    setenv("VORNET_LIBRARY_PATH", root.dir.c_str(), 1);  // no TAPI32 there
    if (HMODULE resident = LoadLibraryA("TAPI32.DLL")) {
        FreeLibrary(resident);
        setenv("VORNET_LIBRARY_PATH", TAPI32_DIR, 1);
        GTEST_SKIP() << "an earlier test of this process left TAPI32 loaded";
    }
    afxtest::AnswerMessageBox(IDOK);
    OpenApplet([&](CMyPropertySheet& sheet) {
        EXPECT_EQ(sheet.m_KeptLines, 0u);
        EXPECT_EQ(sheet.m_LineVersion, 0u);
        EXPECT_EQ(sheet.GetPageCount(), 1);
        EXPECT_FALSE(sheet.GetDlgItem(IDCANCEL)->IsWindowVisible());
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"TAPI lineInitializeEx Failed. Check TAPI versions."});
}

}  // namespace
