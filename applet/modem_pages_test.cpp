// The modem-processor page and its message-counter dialog on the default board served
// in-process: what their actions do to the driver and the modem processors, and what
// they show of the replies; and the report builders alone on real and on broken replies.
#include <cstring>

#include "applet/CsmStats.h"
#include "applet/EngineeringPages.h"
#include "applet/ModemDiagPage.h"
#include "applet/ModemReports.h"
#include "applet/applet_fixture.h"
#include "sim/board/csm.h"

using namespace applettest;
namespace fs = std::filesystem;
namespace mr = modemreports;

namespace {

class ModemPageTest : public AppletTest {
protected:
    // A main sheet holding only the page, as the engineering pages are opened on adapter 1;
    // `action` plays the user and the sheet is closed after it.
    void OpenPage(const std::function<void(CMyPropertySheet&, CMyPropertyPage6&)>& action, uint32_t boardType = 0)
    {
        CMyPropertyPage6 page;
        CMyPropertySheet sheet(nullptr);
        GPropertySheet = &sheet;
        HANDLE device = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        sheet.m_DeviceNumbers[0] = 1;
        sheet.m_DeviceHandles[0] = device;
        sheet.m_AdapterCount = 1;
        sheet.m_AdapterType = ReadAdapterId(1);
        ASSERT_LT(sheet.m_AdapterType, kBoardTypes);
        sheet.m_pBoardRow = &applet::BoardTypeTable[boardType != 0 ? boardType : sheet.m_AdapterType];
        for (uint32_t k = 0; k < kModuleSockets; k++) {
            uint32_t module = ReadModuleId(1, k);
            sheet.m_pModuleRows[k] = &applet::ModuleTypeTable[module < kModuleTypes ? module : 0];
        }
        sheet.AddPage(&page);
        afxtest::RunModal([&](CWnd*) {
            action(sheet, page);
            afxtest::CloseWindow(&sheet);
        });
        sheet.DoModal();
        GPropertySheet = nullptr;
        CloseHandle(device);
    }
    static std::string Text(CWnd& page, int id)
    {
        CString t;
        page.GetDlgItemText(id, t);
        return t.str();
    }
    static bool Enabled(CWnd& page, int id) { return page.GetDlgItem(id)->IsWindowEnabled(); }
    static CTabCtrl* Tabs(CWnd& page, int id) { return static_cast<CTabCtrl*>(page.GetDlgItem(id)); }
    sim::ModemSocket& Modems(unsigned socket) { return *sim->r.boards.at(0)->modem(socket); }
    template <class T>
    T OnSim(const std::function<T(Adapter*)>& read)
    {
        T value{};
        sim->Do([&] { rig::with_adapter_lock(sim->adapter(), [&] { value = read(sim->adapter()); }); });
        return value;
    }
};

TEST_F(ModemPageTest, OpensWithThePortsSocketsPumpsAndTheBoardWord)
{
    StartSim();
    uint32_t boardWord = OnSim<uint32_t>([](Adapter* a) { return a->PhysicalAddressBAR1; });
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        EXPECT_EQ(page.GetTitle(), "CSMx");
        std::unique_ptr<CPropertyPage> made(CreateModemDiagPage());
        EXPECT_TRUE(made->IsKindOf(RUNTIME_CLASS(CMyPropertyPage6)));
        std::unique_ptr<CObject> created(RUNTIME_CLASS(CMyPropertyPage6)->CreateObject());
        EXPECT_NE(dynamic_cast<CMyPropertyPage6*>(created.get()), nullptr) << "registered for dynamic creation";
        ASSERT_EQ(Tabs(page, IDC_CSM_PORT_TABS)->GetItemCount(), 1) << "one line on this board";
        EXPECT_EQ(static_cast<CComboBox*>(page.GetDlgItem(IDC_CSM_SOCKET))->GetCount(), 5);
        EXPECT_EQ(Tabs(page, IDC_PUMP_TABS)->GetItemCount(), 3) << "three pumps per CSM in socket 0";
        char ebus[16];
        std::snprintf(ebus, sizeof ebus, "%08X", boardWord);
        EXPECT_EQ(Text(page, IDC_CSM_EBUS), ebus);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "Ready");
        EXPECT_EQ(Text(page, IDC_AT_COMMAND), "ATI1");
        EXPECT_EQ(Text(page, IDC_AT_DATA_INIT), "ATS95=4\\N3%C3");
        EXPECT_EQ(Text(page, IDC_CSM_FILE), "c:\\winnt\\system32\\drivers\\armcsm");
        EXPECT_EQ(Text(page, IDC_CMD_FUNCTION), "0000");
        EXPECT_EQ(Text(page, IDC_CMD_WORD), "00000000");
        EXPECT_EQ(Text(page, IDC_CMD_LENGTH), "00");
        EXPECT_FALSE(Enabled(page, IDC_CMD_READ));
        EXPECT_FALSE(Enabled(page, IDC_CMD_ABORT));
        EXPECT_FALSE(page.GetDlgItem(IDC_CSM_STATISTICS)->IsWindowVisible());

        // CSM 1 of socket 2: the socket's window and the processor's stride move the address.
        afxtest::SelectCombo(&page, IDC_CSM_SOCKET, 2);
        afxtest::SelectCombo(&page, IDC_CSM_INDEX, 1);
        std::snprintf(ebus, sizeof ebus, "%08X", boardWord + (64 * 1 + 0x2000) * 4);
        EXPECT_EQ(Text(page, IDC_CSM_EBUS), ebus);
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("modem-page")));
    });
}

// Opened by name as vornet-control --page csm opens it: the sheet the entry builds gives the
// page its board word, ports, sockets and pumps, and the page acts on the adapter.
TEST_F(ModemPageTest, OpensByNameOnTheAdapterAndActs)
{
    StartSim();
    uint32_t boardWord = OnSim<uint32_t>([](Adapter* a) { return a->PhysicalAddressBAR1; });
    afxtest::RunModal([&](CWnd*) {
        CMyPropertySheet& sheet = *GPropertySheet;
        auto* page = dynamic_cast<CMyPropertyPage6*>(sheet.GetPage(0));
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->m_BoardWord, boardWord);
        EXPECT_EQ(Tabs(*page, IDC_PUMP_TABS)->GetItemCount(), 3);
        EXPECT_EQ(static_cast<CComboBox*>(page->GetDlgItem(IDC_CSM_SOCKET))->GetCount(), 5);
        afxtest::SelectCombo(page, IDC_CSM_SOCKET, 1);
        afxtest::SelectTab(page, IDC_PUMP_TABS, 2);
        afxtest::Click(page, IDC_PUMP_OUT_OF_SERVICE);
        EXPECT_EQ(Text(*page, IDC_CSM_STATUS), "ResultCode=0x00000000");
        EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[0].Pumps[2].PumpState; }),
                  (uint32_t)PUMP_OUT_OF_SERVICE);
        afxtest::Click(page, IDC_CSM_UPDATE);
        EXPECT_EQ(Text(*page, IDC_CSM_STATE), "CSM State= READY\r\n");
        EXPECT_EQ(Text(*page, IDC_PUMP_STATE), "Pump State= PUMP_OUT_OF_SERVICE\r\n");
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(OpenEngineeringPage(nullptr, "csm", 1), 0);
    EXPECT_EQ(GPropertySheet, nullptr);
}

// "ATI1" reaches the pump's modem as typed with its carriage return, and the pump's answer
// (its identification, then OK) is shown on "Update".
TEST_F(ModemPageTest, AtCommandIsAnsweredByThePump)
{
    StartSim();
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        afxtest::SelectTab(&page, IDC_PUMP_TABS, 2);
        afxtest::Click(&page, IDC_AT_SEND);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "Function Call OK!");
        EXPECT_EQ(Text(page, IDC_CSM_REGISTER_VALUE), "----");
        std::string heard;
        ASSERT_TRUE(PumpUntil([&] {
            sim->Do([&] { heard = Modems(0).text_from_host(0, 2); });
            return heard.find("ATI1\r") != std::string::npos;
        })) << heard;
        EXPECT_TRUE(PumpUntil([&] {
            afxtest::Click(&page, IDC_CSM_UPDATE);
            return Text(page, IDC_AT_RESPONSE).find("OK") != std::string::npos;
        })) << Text(page, IDC_AT_RESPONSE);
        EXPECT_NE(Text(page, IDC_AT_RESPONSE).find("VORNET CSM MODEM PROCESSOR FIRMWARE"), std::string::npos)
            << "the modem's identification before its OK: " << Text(page, IDC_AT_RESPONSE);
        EXPECT_EQ(Text(page, IDC_CSM_STATE), "CSM State= READY\r\n");
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
        EXPECT_NE(Text(page, IDC_CSM_DUMP).find("0x0F = "), std::string::npos);
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("modem-page-at-answer")));

        // A new initialisation string goes to the driver's copy for the line.
        afxtest::SetText(&page, IDC_AT_DATA_INIT, "ATS0=1");
        afxtest::Click(&page, IDC_AT_MODIFY_INIT);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "Function Call OK!");
        std::string init = OnSim<std::string>([](Adapter* a) {
            return std::string(reinterpret_cast<const char*>(a->ModemDataInit[0].Text), a->ModemDataInit[0].Count);
        });
        EXPECT_EQ(init, "ATS0=1\r");

        // A command as long as the box allows is one byte too long for the pump with its
        // carriage return: the refusal is shown, not "Function Call OK!".
        afxtest::SetText(&page, IDC_AT_COMMAND, "AT" + std::string(126, 'Z'));
        afxtest::Click(&page, IDC_AT_SEND);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0xf0000002");
    });
}

// During a call from the network the page shows the pump that carries it on line.
TEST_F(ModemPageTest, ShowsThePumpOfANetworkCallOnLine)
{
    StartSim();
    Link* l = nullptr;
    sim->Do([&] { rig::with_adapter_lock(sim->adapter(), [&] { l = LinkAcquire(sim->adapter(), 0, 0, 2, OWNER_DRIVER); }); });
    ASSERT_NE(l, nullptr);
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        std::optional<sim::CallKey> key;
        sim->Do([&] { key = sim->net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::speech(false)); });
        ASSERT_TRUE(key.has_value());
        struct {
            int socket = -1, csm = 0, pump = 0;
        } where;
        ASSERT_TRUE(PumpUntil([&] {
            sim->Do([&] {
                Pump* p = l->ThisPump;
                if (p != nullptr && p->PumpState == PUMP_ON_LINE) {
                    where.socket = (int)p->ThisCsm->ThisSocket->SocketIndex;
                    where.csm = (int)p->ThisCsm->Index;
                    where.pump = (int)p->PumpNumber;
                }
            });
            return where.socket >= 0;
        }));
        afxtest::SelectCombo(&page, IDC_CSM_SOCKET, where.socket);
        afxtest::SelectCombo(&page, IDC_CSM_INDEX, where.csm);
        afxtest::SelectTab(&page, IDC_PUMP_TABS, where.pump);
        afxtest::Click(&page, IDC_CSM_UPDATE);
        EXPECT_EQ(Text(page, IDC_PUMP_STATE), "Pump State= PUMP_ON_LINE\r\n");
        EXPECT_EQ(Text(page, IDC_CSM_STATE), "CSM State= READY\r\n");
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("modem-page-call")));

        sim->Do([&] { sim->net->clear_call(*key); });
        EXPECT_TRUE(PumpUntil([&] {
            afxtest::Click(&page, IDC_CSM_UPDATE);
            return Text(page, IDC_PUMP_STATE) != "Pump State= PUMP_ON_LINE\r\n";
        })) << Text(page, IDC_PUMP_STATE);
    });
}

// The image goes to the running driver in pieces inside the records; every piece is
// checked, and what cannot be read or is larger than the driver's area is not sent.
TEST_F(ModemPageTest, FirmwareUpdateReplacesTheDriversImageInPieces)
{
    fs::create_directories(root.dir / "C" / "new");
    // A valid image of three pieces and more, unlike the one the driver loaded.
    sim::fw::ImageLayout layout = sim::fw::default_layout();
    layout.read_only.resize(40000);
    for (size_t i = 0; i < layout.read_only.size(); i++) layout.read_only[i] = uint8_t(i * 7 + i / 256);
    std::vector<uint8_t> built = sim::fw::build_image(layout);
    std::vector<char> image(built.begin(), built.end());
    const uint16_t checksum = sim::fw::image_checksum(layout);
    ASSERT_NE(checksum, sim::fw::image_checksum(sim::fw::default_layout()));
    std::ofstream(root.dir / "C" / "new" / "armcsm", std::ios::binary).write(image.data(), (std::streamsize)image.size());
    std::ofstream(root.dir / "C" / "new" / "empty");
    {
        std::ofstream big(root.dir / "C" / "new" / "big", std::ios::binary);
        std::vector<char> bytes(CMyPropertyPage6::kFirmwareBufferSize + 1, 'x');
        big.write(bytes.data(), (std::streamsize)bytes.size());
    }
    StartSim();
    uint32_t sizeBefore = OnSim<uint32_t>([](Adapter* a) { return a->CSMCodeSize; });
    ASSERT_NE(sizeBefore, image.size());
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        struct Case {
            const char* file;
            const char* status;
            bool box;
        } cases[] = {
            {"C:\\new\\missing", "can't open file", true},
            {"C:\\new\\big", "can't open file", true},
            {"C:\\new\\empty", "ResultCode=0xf0000003", false},
            {"C:\\new\\armcsm", "ArmCsm code updated", false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.file);
            if (c.box)
                afxtest::AnswerMessageBox(IDOK);
            afxtest::SetText(&page, IDC_CSM_FILE, c.file);
            afxtest::Click(&page, IDC_CSM_UPDATE_CODE);
            EXPECT_EQ(Text(page, IDC_CSM_STATUS), c.status);
            if (c.box) {
                ASSERT_FALSE(afxtest::MessageBoxes().empty());
                EXPECT_EQ(afxtest::MessageBoxes().back().text, "File could not be opened ");
                EXPECT_EQ(afxtest::MessageBoxes().back().type, (UINT)MB_ICONEXCLAMATION);
            }
            if (c.box || c.status[0] == 'R') {
                EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->CSMCodeSize; }), sizeBefore) << "nothing sent";
            }
        }
    });
    std::vector<char> now = OnSim<std::vector<char>>([&](Adapter* a) {
        return std::vector<char>(a->CSMCode, a->CSMCode + image.size());
    });
    EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->CSMCodeSize; }), image.size());
    EXPECT_TRUE(now == image) << "the driver's image is the file, every piece in its place";

    // A download started from the page loads the new image into the processor.
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        afxtest::Click(&page, IDC_CSM_START_DOWNLOAD);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
    });
    uint16_t loaded = 0;
    uint32_t state = 0;
    EXPECT_TRUE(PumpUntil([&] {
        sim->Do([&] { loaded = Modems(0).checksum(0); });
        state = OnSim<uint32_t>([](Adapter* a) { return a->Socket[0].Csms[0].State; });
        return loaded == checksum && state == CSM_RUNNING;
    })) << std::hex << loaded << " " << checksum << " state " << state;
}

// Words typed for a raw command go to the pump's processor; with no answer pending the page
// says so and keeps "Read" and "Abort"; "Abort" ends the command. The counters dialog sees
// the command message go out, and the pump still answers an AT command afterwards.
TEST_F(ModemPageTest, RawCommandReachesTheProcessorAndIsAborted)
{
    StartSim();
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        for (const char* entry : {"1", "2", "3"}) {
            afxtest::SetText(&page, IDC_CMD_WORD, entry);
            afxtest::Click(&page, IDC_CMD_ADD);
        }
        EXPECT_EQ(Text(page, IDC_CMD_LENGTH), "0C");
        EXPECT_EQ(Text(page, IDC_CMD_WORDS), " 0: 0x1\r\n 1: 0x2\r\n 2: 0x3");
        afxtest::SetText(&page, IDC_CMD_CLASS, "21");
        afxtest::SetText(&page, IDC_CMD_FUNCTION, "0105");
        afxtest::SelectTab(&page, IDC_PUMP_TABS, 1);

        afxtest::RunModal([&](CWnd* dialog) {
            auto* stats = static_cast<CCsmStats*>(dialog);
            EXPECT_EQ(Text(*stats, IDC_CSM_INBOUND), "") << "nothing before the first Refresh";
            afxtest::Click(stats, IDC_CSM_REFRESH);
            afxtest::Click(stats, IDOK);
        });
        afxtest::Click(&page, IDC_CSM_GET_STATS);

        uint32_t before = OnSim<uint32_t>([](Adapter* a) { return a->Socket[0].Csms[0].OutboundCounters[CsmMsgCounterIndex(MSG_CMDDAT)]; });
        afxtest::Click(&page, IDC_CMD_SEND);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000001") << "queued for the pump";
        EXPECT_TRUE(Enabled(page, IDC_CMD_READ));
        EXPECT_TRUE(Enabled(page, IDC_CMD_ABORT));
        uint32_t after = before;
        ASSERT_TRUE(PumpUntil([&] {
            after = OnSim<uint32_t>([](Adapter* a) { return a->Socket[0].Csms[0].OutboundCounters[CsmMsgCounterIndex(MSG_CMDDAT)]; });
            return after > before;
        })) << "the command message goes to the processor";

        afxtest::Click(&page, IDC_CMD_READ);
        EXPECT_EQ(Text(page, IDC_CMD_WORDS), "No command\r\npending or\r\nno response:\r\nSend\r\nRead again\r\nor Abort");
        EXPECT_TRUE(Enabled(page, IDC_CMD_READ));
        EXPECT_TRUE(Enabled(page, IDC_CMD_ABORT));
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("modem-page-cmddat")));

        afxtest::Click(&page, IDC_CMD_ABORT);
        EXPECT_EQ(Text(page, IDC_CMD_WORDS), "Action aborted\r\n");
        EXPECT_FALSE(Enabled(page, IDC_CMD_READ));
        EXPECT_FALSE(Enabled(page, IDC_CMD_ABORT));

        // The counters dialog shows the command message among those sent to the processor.
        std::string outbound;
        afxtest::RunModal([&](CWnd* dialog) {
            auto* stats = static_cast<CCsmStats*>(dialog);
            afxtest::Click(stats, IDC_CSM_REFRESH);
            outbound = Text(*stats, IDC_CSM_OUTBOUND);
            EXPECT_TRUE(afxtest::SaveImage(stats, ShotPath("modem-csm-stats")));
            afxtest::Click(stats, IDOK);
        });
        afxtest::Click(&page, IDC_CSM_GET_STATS);
        EXPECT_NE(outbound.find("MSG_CMDDATCnt=\t\t" + std::to_string(after) + "\r\n"), std::string::npos) << outbound;

        // The unanswered command leaves the pump working: its AT command is answered.
        afxtest::Click(&page, IDC_AT_SEND);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "Function Call OK!");
        EXPECT_TRUE(PumpUntil([&] {
            afxtest::Click(&page, IDC_CSM_UPDATE);
            return Text(page, IDC_AT_RESPONSE).find("OK") != std::string::npos;
        })) << "the pump still takes data after the command: " << Text(page, IDC_AT_RESPONSE);

        afxtest::Click(&page, IDC_CMD_CLEAR);
        EXPECT_EQ(Text(page, IDC_CMD_WORDS), "");
        EXPECT_EQ(Text(page, IDC_CMD_LENGTH), "");
    });
}

// A pump's answer to a raw command, as the processor delivers it, is read word by word with
// its length; reading it ends the command.
TEST_F(ModemPageTest, APumpsCommandAnswerIsReadWordByWord)
{
    StartSim();
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        afxtest::SelectTab(&page, IDC_PUMP_TABS, 1);
        afxtest::SetText(&page, IDC_CMD_CLASS, "21");
        afxtest::Click(&page, IDC_CMD_SEND);
        ASSERT_TRUE(Enabled(page, IDC_CMD_READ));
        const std::vector<uint8_t> bytes = {0x34, 0x12, 0x78, 0x56, 0xCD, 0xAB, 0x01, 0x00};
        sim->Do([&] {
            Modems(0).send_to_host(0, {0x0105, 0x2107, uint16_t(0x0300 | bytes.size()), uint16_t(MSG_CMDDAT << 8 | 1)},
                                   bytes);
        });
        ASSERT_TRUE(PumpUntil([&] {
            afxtest::Click(&page, IDC_CMD_READ);
            return Text(page, IDC_CSM_STATUS) == "ResultCode=0x00000001";
        })) << Text(page, IDC_CMD_WORDS);
        EXPECT_EQ(Text(page, IDC_CMD_WORDS), " 0: 0x12345678\r\n 1: 0xABCD0001\r\n");
        EXPECT_EQ(Text(page, IDC_CMD_LENGTH), "08");
        EXPECT_FALSE(Enabled(page, IDC_CMD_READ));
        EXPECT_FALSE(Enabled(page, IDC_CMD_ABORT));
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("modem-page-cmddat-answer")));
    });
}

// The processor and pump actions reach the driver's objects; a register written is read back.
TEST_F(ModemPageTest, ActionsChangeTheProcessorsAndPumps)
{
    StartSim();
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        afxtest::SelectCombo(&page, IDC_CSM_SOCKET, 1);
        afxtest::SelectCombo(&page, IDC_CSM_INDEX, 1);
        afxtest::SelectTab(&page, IDC_PUMP_TABS, 2);
        afxtest::Click(&page, IDC_PUMP_OUT_OF_SERVICE);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
        EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[1].Pumps[2].PumpState; }),
                  (uint32_t)PUMP_OUT_OF_SERVICE);
        afxtest::Click(&page, IDC_CSM_UPDATE);
        EXPECT_EQ(Text(page, IDC_PUMP_STATE), "Pump State= PUMP_OUT_OF_SERVICE\r\n");
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");

        afxtest::Click(&page, IDC_CSM_OUT_OF_SERVICE);
        EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[1].State; }), (uint32_t)CSM_DEAD);
        EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[0].State; }), (uint32_t)CSM_RUNNING)
            << "its neighbour runs on";
        afxtest::Click(&page, IDC_CSM_UPDATE);
        EXPECT_EQ(Text(page, IDC_CSM_STATE), "CSM State= OUTOF_SERVICE\r\n");

        // A register of the FIFO block: written through the page and read back.
        afxtest::SelectCombo(&page, IDC_CSM_INDEX, 0);
        afxtest::SelectCombo(&page, IDC_CSM_REGISTER, 2);
        afxtest::SetText(&page, IDC_CSM_REGISTER_VALUE, "1f");
        afxtest::Click(&page, IDC_CSM_WRITE);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
        afxtest::SetText(&page, IDC_CSM_REGISTER_VALUE, "");
        afxtest::Click(&page, IDC_CSM_READ);
        EXPECT_EQ(Text(page, IDC_CSM_REGISTER_VALUE), "001F");
        afxtest::Click(&page, IDC_CSM_UPDATE);
        EXPECT_NE(Text(page, IDC_CSM_DUMP).find("0x02 = 001f [TxFIFO Threshold]"), std::string::npos)
            << Text(page, IDC_CSM_DUMP);

    });
}

// The remaining processor and pump buttons on the board: a pump reset brings a pump out of
// service back through the processor's channel reset, "RTS ON" and "RTS OFF" reach the pump
// as DTE reports with their values, "DownLoad only" loads the processor and leaves it in its
// loader, and "Start code" brings the driver's processor to running.
TEST_F(ModemPageTest, ResetRtsAndDownloadOnlyActOnTheProcessor)
{
    StartSim();
    OpenPage([&](CMyPropertySheet&, CMyPropertyPage6& page) {
        afxtest::SelectCombo(&page, IDC_CSM_SOCKET, 1);
        afxtest::SelectTab(&page, IDC_PUMP_TABS, 1);
        afxtest::Click(&page, IDC_PUMP_OUT_OF_SERVICE);
        ASSERT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[0].Pumps[1].PumpState; }),
                  (uint32_t)PUMP_OUT_OF_SERVICE);
        size_t resets = 0;
        sim->Do([&] { resets = Modems(1).count(0, true, MSG_CHRESET); });
        afxtest::Click(&page, IDC_PUMP_RESET);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
        EXPECT_TRUE(PumpUntil([&] {
            size_t now = 0;
            sim->Do([&] { now = Modems(1).count(0, true, MSG_CHRESET); });
            uint32_t state = OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[0].Pumps[1].PumpState; });
            return now > resets && state != PUMP_OUT_OF_SERVICE && state != PUMP_NEED_RESET;
        })) << "the pump is reset through its processor and back in service";

        struct {
            int button;
            uint16_t value;
        } rts[] = {{IDC_RTS_ON, 3}, {IDC_RTS_OFF, 1}};
        for (const auto& c : rts) {
            SCOPED_TRACE(c.button);
            size_t before = 0;
            sim->Do([&] { before = Modems(1).count(0, true, MSG_DTERPT); });
            afxtest::Click(&page, c.button);
            EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
            sim::ModemSocket::Message last;
            ASSERT_TRUE(PumpUntil([&] {
                size_t now = 0;
                sim->Do([&] {
                    now = Modems(1).count(0, true, MSG_DTERPT);
                    for (const auto& m : Modems(1).messages())
                        if (m.processor == 0 && m.running && m.code() == MSG_DTERPT)
                            last = m;
                });
                return now > before;
            }));
            EXPECT_EQ(last.words[2], c.value);
            EXPECT_EQ(last.words[3] & 0xFF, 1u) << "pump 1";
        }

        // Processor 1 of socket 1: reset and loaded, but left in its loader.
        afxtest::SelectCombo(&page, IDC_CSM_INDEX, 1);
        uint32_t resetsBefore = 0;
        sim->Do([&] { resetsBefore = Modems(1).resets(1); });
        afxtest::Click(&page, IDC_CSM_DOWNLOAD_ONLY);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
        const uint16_t expected = sim::fw::image_checksum(sim::fw::default_layout());
        ASSERT_TRUE(PumpUntil([&] {
            bool loaded = false;
            sim->Do([&] { loaded = Modems(1).resets(1) > resetsBefore && Modems(1).checksum(1) == expected; });
            return loaded;
        })) << "the image is loaded again";
        bool loader = false;
        sim->Do([&] { loader = Modems(1).mode(1) == sim::ModemSocket::Mode::Loader; });
        EXPECT_TRUE(loader) << "not started";
        EXPECT_NE(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[1].State; }), (uint32_t)CSM_RUNNING);
        EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[0].State; }), (uint32_t)CSM_RUNNING)
            << "its neighbour runs on";

        afxtest::Click(&page, IDC_CSM_START_CODE);
        EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
        EXPECT_TRUE(PumpUntil([&] {
            return OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[1].State; }) == CSM_RUNNING;
        }));
        afxtest::Click(&page, IDC_CSM_UPDATE);
        EXPECT_EQ(Text(page, IDC_CSM_STATE), "CSM State= READY\r\n");
    });
}

// Pump tabs follow the module of the chosen socket; port 1 of a board with two sockets per
// group addresses its socket index 1 as absolute socket 3.
TEST_F(ModemPageTest, PumpTabsFollowTheSocketsModule)
{
    EXPECT_EQ(CMyPropertyPage6::AbsoluteSocketOf(applet::BoardTypeTable[1].Word, 1, 1), 3u);
    EXPECT_EQ(CMyPropertyPage6::AbsoluteSocketOf(applet::BoardTypeTable[4].Word, 0, 4), 4u);
    EXPECT_EQ(CMyPropertyPage6::AbsoluteSocketOf(applet::BoardTypeTable[4].Word, 9, 1), 1u) << "no group 9";
    StartSim(false);
    OpenPage([&](CMyPropertySheet& sheet, CMyPropertyPage6& page) {
        sheet.m_pModuleRows[1] = &applet::ModuleTypeTable[6];  // 12 pumps per CSM
        CTabCtrl* pumps = Tabs(page, IDC_PUMP_TABS);
        afxtest::SelectCombo(&page, IDC_CSM_SOCKET, 1);
        ASSERT_EQ(pumps->GetItemCount(), 12);
        afxtest::SelectTab(&page, IDC_PUMP_TABS, 11);
        EXPECT_EQ(page.m_Pump, 11u);
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("modem-page-twelve-pumps")));
        afxtest::SelectCombo(&page, IDC_CSM_SOCKET, 0);
        EXPECT_EQ(pumps->GetItemCount(), 3);
        EXPECT_LT(page.m_Pump, 3u) << "the pump follows the tabs that remain";
    });
}

// On a board whose groups have two sockets each, port 1's socket index 1 is socket 3 of
// the adapter: the page's actions reach that socket's processor and pump.
TEST_F(ModemPageTest, PortAndSocketIndexAddressTheAbsoluteSocket)
{
    StartSim();
    OpenPage(
        [&](CMyPropertySheet&, CMyPropertyPage6& page) {
            ASSERT_EQ(Tabs(page, IDC_CSM_PORT_TABS)->GetItemCount(), 4);
            EXPECT_EQ(static_cast<CComboBox*>(page.GetDlgItem(IDC_CSM_SOCKET))->GetCount(), 2);
            afxtest::SelectTab(&page, IDC_CSM_PORT_TABS, 1);
            afxtest::SelectCombo(&page, IDC_CSM_SOCKET, 1);
            afxtest::SelectTab(&page, IDC_PUMP_TABS, 1);
            afxtest::Click(&page, IDC_PUMP_OUT_OF_SERVICE);
            EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0x00000000");
            EXPECT_EQ(OnSim<uint32_t>([](Adapter* a) { return a->Socket[3].Csms[0].Pumps[1].PumpState; }),
                      (uint32_t)PUMP_OUT_OF_SERVICE);
            EXPECT_NE(OnSim<uint32_t>([](Adapter* a) { return a->Socket[1].Csms[0].Pumps[1].PumpState; }),
                      (uint32_t)PUMP_OUT_OF_SERVICE);
            EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("modem-page-port-1")));

            // Port 3's socket index 1 is socket 7, which this adapter does not have: the
            // refusal is shown and the boxes keep what they held.
            afxtest::Click(&page, IDC_CSM_UPDATE);
            const std::string dump = Text(page, IDC_CSM_DUMP), state = Text(page, IDC_CSM_STATE);
            ASSERT_EQ(state, "CSM State= READY\r\n");
            afxtest::SelectTab(&page, IDC_CSM_PORT_TABS, 3);
            afxtest::Click(&page, IDC_CSM_UPDATE);
            EXPECT_EQ(Text(page, IDC_CSM_STATUS), "ResultCode=0xf0000003");
            EXPECT_EQ(Text(page, IDC_CSM_DUMP), dump);
            EXPECT_EQ(Text(page, IDC_CSM_STATE), state);
            char ebus[16];
            std::snprintf(ebus, sizeof ebus, "%08X", page.m_BoardWord + 0x7000 * 4);
            EXPECT_EQ(Text(page, IDC_CSM_EBUS), ebus) << "socket 7's window";
        },
        2);
}

// Without the driver every action says so, and the boxes the failed read was to fill show "----".
TEST_F(ModemPageTest, FailedSendsAreShown)
{
    StartSim(false);
    OpenPage([&](CMyPropertySheet& sheet, CMyPropertyPage6& page) {
        sheet.m_AdapterCount = 0;  // the sheet has no device to send to
        struct Case {
            int button, box;
        } cases[] = {
            {IDC_CSM_READ, IDC_CSM_REGISTER_VALUE}, {IDC_CSM_UPDATE, IDC_CSM_DUMP}, {IDC_CSM_UPDATE, IDC_CSM_STATE},
            {IDC_CSM_UPDATE, IDC_PUMP_STATE},       {IDC_AT_SEND, IDC_CSM_REGISTER_VALUE},
            {IDC_CMD_SEND, 0},                      {IDC_CSM_START_CODE, 0},
            {IDC_RTS_ON, 0},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.button);
            afxtest::SetText(&page, IDC_CSM_STATUS, "");
            afxtest::Click(&page, c.button);
            EXPECT_EQ(Text(page, IDC_CSM_STATUS), "Function Call Failed!");
            if (c.box != 0) {
                EXPECT_EQ(Text(page, c.box), "----");
            }
        }
        EXPECT_FALSE(Enabled(page, IDC_CMD_READ)) << "a command that was not sent cannot be read";

        // The counters dialog: both texts give the record's status word.
        CCsmStats stats(&page, &sheet, 0, 0);
        afxtest::RunModal([&](CWnd* dialog) {
            afxtest::Click(dialog, IDC_CSM_REFRESH);
            afxtest::Click(dialog, IDOK);
        });
        stats.DoModal();
        EXPECT_EQ(stats.m_InBound, "ResultCode=0x00000000");
        EXPECT_EQ(stats.m_OutBound, "ResultCode=0x00000000");
    });
}

// ---- the report builders alone -------------------------------------------------------------

std::unique_ptr<BackdoorRequest> Record(uint32_t status = 0)
{
    auto r = std::make_unique<BackdoorRequest>();
    std::memset(r.get(), 0, sizeof *r);
    r->Status = status;
    return r;
}
void PutWords(BackdoorRequest& r, int k, uint32_t offset, const std::vector<uint32_t>& words)
{
    r.Segment[k] = {static_cast<uint32_t>(4 * words.size()), offset};
    std::memcpy(reinterpret_cast<uint8_t*>(&r) + offset, words.data(), 4 * words.size());
}

TEST(ModemReports, CountersAreNamedInCodeOrderAndARefusalShowsItsStatus)
{
    auto r = Record();
    std::vector<uint32_t> in(51), out(51);
    for (uint32_t i = 0; i < 51; i++) in[i] = i, out[i] = 100 + i;
    PutWords(*r, 0, kBackdoorHeaderSize, in);
    PutWords(*r, 1, kBackdoorHeaderSize + 204, out);
    std::string text = mr::CsmCountersText(*r, 0);
    EXPECT_EQ(text.rfind("MSG_ERRINDCnt=\t\t0\r\nMSG_M21READYCnt=\t\t1\r\n", 0), 0u);
    EXPECT_NE(text.find("MSG_CMDDATCnt=\t\t44\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 21), "MSG_UNKNOWNCnt=\t\t50\r\n");
    EXPECT_NE(mr::CsmCountersText(*r, 1).find("MSG_UNKNOWNCnt=\t\t150\r\n"), std::string::npos);

    r->Status = 0xF0000003;
    EXPECT_EQ(mr::CsmCountersText(*r, 0), "ResultCode=0xf0000003");
    // A segment that claims more than the record holds gives only what is there.
    r->Status = 0;
    r->Segment[0] = {0xFFFFFFF0u, kBackdoorRequestSize - 8};
    text = mr::CsmCountersText(*r, 0);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    r->Segment[0] = {204, 12};  // inside the header
    EXPECT_EQ(mr::CsmCountersText(*r, 0), "");
}

TEST(ModemReports, CommandAnswerIsBoundedByTheRecordAndTheList)
{
    struct Case {
        const char* what;
        uint32_t status, length, offset;
        size_t lines;
        const char* length_text;
    } cases[] = {
        {"an answer of three words", 1, 12, kBackdoorHeaderSize, 3, "0C"},
        {"a length past the record", 1, 0xFFFFFFFF, kBackdoorHeaderSize, 64, "4000"},
        {"an offset past the record", 1, 12, 0xFFFFFFF0u, 0, "00"},
        {"an odd length", 1, 7, kBackdoorHeaderSize, 1, "07"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Record(c.status);
        PutWords(*r, 0, kBackdoorHeaderSize, {0x56781234, 2, 3});
        r->Segment[0] = {c.length, c.offset};
        mr::CommandAnswer a = mr::CsmCommandAnswer(*r);
        EXPECT_TRUE(a.EndsCommand);
        EXPECT_EQ(std::count(a.Words.begin(), a.Words.end(), '\n'), (long)c.lines);
        EXPECT_LE(a.Words.size(), 1024u) << "the word list's box";
        ASSERT_TRUE(a.Length.has_value());
        EXPECT_EQ(*a.Length, c.length_text);
        if (c.lines == 3) {
            EXPECT_EQ(a.Words, " 0: 0x12345678\r\n 1: 0x00020000\r\n 2: 0x00030000\r\n");
        }
    }
    EXPECT_EQ(mr::CsmCommandAnswer(*Record(0xFFFFFFFF)).Words, "CMDDAT Failure\r\n");
    EXPECT_EQ(mr::CsmCommandAnswer(*Record(0xF0000003)).Words, "");
    EXPECT_FALSE(mr::CsmCommandAnswer(*Record(0)).EndsCommand);
    EXPECT_EQ(mr::CsmAbortAnswer(*Record(0)).Words, "No command\r\npending\r\n");
    EXPECT_EQ(mr::CsmAbortAnswer(*Record(0xFFFFFFFF)).Words, "");
}

TEST(ModemReports, StatesDumpAndCountersReadOnlyWhatTheReplyHolds)
{
    auto r = Record();
    r->Arg[2] = 3;
    r->Arg[3] = 0xFFFFFFFF;  // claims more pumps than the segment holds
    PutWords(*r, 0, kBackdoorHeaderSize, {1, 6, 42});
    EXPECT_EQ(mr::CsmStateText(*r), "CSM State= READY\r\n");
    EXPECT_EQ(mr::PumpStateText(*r, 1), "Pump State= PUMP_ON_LINE\r\n");
    EXPECT_EQ(mr::PumpStateText(*r, 2), "Pump State= Unknown\r\n");
    EXPECT_EQ(mr::PumpStateText(*r, 3), "----");
    EXPECT_EQ(mr::PumpStateText(*r, 0xFFFFFFFF), "----");
    r->Arg[2] = 7;
    EXPECT_EQ(mr::CsmStateText(*r), "CSM State= Unknown\r\n");

    // Sixteen registers wanted, three given.
    std::string dump = *mr::CsmRegisterDump(*r);
    EXPECT_EQ(dump.rfind("0x00 = 0001 [TxFIFO Data]\r\n0x01 = 0006 [TxFIFO Size]\r\n", 0), 0u);
    EXPECT_NE(dump.find("0x0F = ---- [RxMail3]"), std::string::npos);
    EXPECT_EQ(mr::FrameCountersText(*r), "----") << "the counters lie beyond the segment";

    std::vector<uint32_t> frames(34, 0);
    frames[28] = 0x00020001;
    frames[29] = 1000;
    frames[30] = 2000;
    frames[31] = 0x04030201;
    frames[32] = 5;
    frames[33] = 6;
    PutWords(*r, 0, kBackdoorHeaderSize, frames);
    EXPECT_EQ(*mr::FrameCountersText(*r),
              "00001 [nbFramesIn]\r\n00002 [nbFrameOut]\t\t\t\r\n      1000 [nbByteIn]\t\t\t\r\n      2000 "
              "[nbByteOut]\t\t\t\r\n001 [nbBadCRCin]\r\n002 [nbBadCRCOut]\r\n003 [nbLongErrorIn]\r\n004 "
              "[nbLongErrorOut]\t\t\t\r\n         5 [Good connections]\t\t\t\r\n         6 [Failed connections]\t\t\t");

    auto refused = Record(0xF0000003);
    EXPECT_FALSE(mr::CsmStateText(*refused).has_value());
    EXPECT_FALSE(mr::CsmRegisterDump(*refused).has_value());
    EXPECT_FALSE(mr::CsmRegisterValue(*refused).has_value());
    EXPECT_FALSE(mr::AtResponseText(*refused).has_value());

    // An AT response: at most 64 bytes, up to a NUL.
    auto at = Record();
    std::string text(200, 'A');
    std::memcpy(at->Data, text.data(), text.size());
    at->Segment[0] = {200, kBackdoorHeaderSize};
    EXPECT_EQ(mr::AtResponseText(*at)->size(), 64u);
    at->Data[5] = 0;
    EXPECT_EQ(*mr::AtResponseText(*at), "AAAAA");
    EXPECT_EQ(mr::EbusText(0xE0000000, 64, 1, 0x2000), "E0008100");
    EXPECT_EQ(mr::AddCommandWordLine("", 0, "1"), " 0: 0x1");
    EXPECT_EQ(mr::AddCommandWordLine(" 0: 0x1", 1, "abcdef0123"), " 0: 0x1\r\n 1: 0xabcdef01");
}

// The pieces of an image follow each other in the records, each the driver's to take or
// refuse: a refusal or a failed send halfway ends the update there.
TEST(ModemFirmwareImage, PiecesFollowEachOtherAndTheFirstRefusalEndsIt)
{
    std::vector<uint8_t> image(2 * CMyPropertyPage6::kFirmwareChunk + 100);
    for (size_t i = 0; i < image.size(); i++) image[i] = uint8_t(i * 13 + i / 7);
    auto record = Record();
    struct Case {
        const char* what;
        int refuse, fail;  // the piece refused or not sent; -1: none
        size_t sent;
        bool taken;
    } cases[] = {
        {"every piece taken", -1, -1, 3, true},
        {"the second piece refused", 1, -1, 2, false},
        {"the last piece not sent", -1, 2, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> got;
        size_t sent = 0;
        bool taken = SendFirmwareImage(
            image,
            [&] {
                std::memset(record.get(), 0, sizeof *record);
                return record.get();
            },
            [&] {
                const BackdoorRequest& r = *record;
                EXPECT_EQ(r.Arg[0], image.size());
                EXPECT_EQ(r.Arg[1], 1u);
                EXPECT_EQ(r.Arg[2], got.size()) << "each piece at its offset";
                EXPECT_EQ(r.Segment[0].Offset, kBackdoorHeaderSize);
                EXPECT_LE(r.Segment[0].Length, kBackdoorDataSize);
                got.insert(got.end(), r.Data, r.Data + r.Segment[0].Length);
                int piece = static_cast<int>(sent++);
                record->Status = piece == c.refuse ? 0xF0000002 : 0;
                return piece != c.fail;
            });
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(sent, c.sent) << "nothing is sent after the first piece that was not taken";
        if (c.taken) {
            EXPECT_TRUE(got == image);
        }
    }
    size_t calls = 0;
    EXPECT_FALSE(SendFirmwareImage(image, [] { return nullptr; }, [&] { return ++calls > 0; }));
    EXPECT_EQ(calls, 0u) << "no record, nothing sent";
}

// A refused index for the counters dialog: the status is shown, not counters of zero.
TEST_F(ModemPageTest, CountersDialogShowsARefusal)
{
    StartSim(false);
    OpenPage([&](CMyPropertySheet& sheet, CMyPropertyPage6&) {
        CCsmStats stats(nullptr, &sheet, 9, 0);
        afxtest::RunModal([&](CWnd* dialog) {
            afxtest::Click(dialog, IDC_CSM_REFRESH);
            afxtest::Click(dialog, IDOK);
        });
        EXPECT_EQ(stats.DoModal(), IDOK);
        EXPECT_EQ(stats.m_InBound, "ResultCode=0xf0000003");
        EXPECT_EQ(stats.m_OutBound, "ResultCode=0xf0000003");
    });
}

}  // namespace
