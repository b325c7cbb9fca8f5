// The engineering pages of lines, links and HDLC groups: their reports as pure functions
// of reply records, and each page opened on the served board, acting on it and showing
// what the driver and the far end really hold.
#include <sys/wait.h>

#include <cstdio>
#include <regex>

#include "applet/EngineeringPages.h"
#include "applet/FramerDumpPage.h"
#include "applet/FramerTestPage.h"
#include "applet/HdlcPages.h"
#include "applet/LineReports.h"
#include "applet/LinkPages.h"
#include "applet/ModemDiagPage.h"
#include "applet/PriDebugPage.h"
#include "applet/applet_fixture.h"
#include "driver/signalling/Sgnl.h"
#include "sim/board/hdlc.h"

using namespace applettest;
using namespace linereports;

namespace {

// ---- reply records as the driver lays them out ----------------------------------------

struct Record {
    std::unique_ptr<BackdoorRequest> r = std::make_unique<BackdoorRequest>();
    uint32_t next = kBackdoorHeaderSize;
    Record() { std::memset(r.get(), 0, sizeof *r); }
    Record& Status(uint32_t s)
    {
        r->Status = s;
        return *this;
    }
    Record& Arg(int i, uint32_t v)
    {
        r->Arg[i] = v;
        return *this;
    }
    Record& Bytes(int k, const std::vector<uint8_t>& bytes)
    {
        r->Segment[k].Offset = next;
        r->Segment[k].Length = static_cast<uint32_t>(bytes.size());
        std::memcpy(reinterpret_cast<uint8_t*>(r.get()) + next, bytes.data(), bytes.size());
        next += static_cast<uint32_t>(bytes.size());
        return *this;
    }
    Record& Words(int k, const std::vector<uint32_t>& words)
    {
        std::vector<uint8_t> bytes(words.size() * 4);
        std::memcpy(bytes.data(), words.data(), bytes.size());
        return Bytes(k, bytes);
    }
    const BackdoorRequest& operator*() const { return *r; }
};

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
    return n;
}

// ---- requests ---------------------------------------------------------------------------

TEST(LineRequests, SetupCarriesOneWordPerCharacterAndRefusesWhatTheFieldDoesNotTake)
{
    Record rec;
    SetupFields f{"2", "0042", 1, 4, 1, "12A"};
    ASSERT_EQ(FillSetupRequest(*rec.r, 0, f), SetupCheck::Ok);
    const BackdoorRequest& r = *rec;
    EXPECT_EQ(r.Class, 2u);
    EXPECT_EQ(r.Action, 22u);
    EXPECT_EQ(r.Arg[1], 2u);
    EXPECT_EQ(r.Arg[2], 0x42u) << "the call reference is read as hexadecimal";
    EXPECT_EQ(r.Arg[3], 1u);
    EXPECT_EQ(r.Arg[4], 5u) << "channel index + 1";
    EXPECT_EQ(r.Arg[5], 1u);
    EXPECT_EQ(r.Segment[0].Offset, 84u);
    EXPECT_EQ(r.Segment[0].Length, 3u);
    uint32_t w[3];
    std::memcpy(w, r.Data, sizeof w);
    EXPECT_EQ(w[0], 1u);
    EXPECT_EQ(w[1], 2u);
    EXPECT_EQ(w[2], 10u);

    f.number = "9#";
    ASSERT_EQ(FillSetupRequest(*rec.r, 0, f), SetupCheck::Ok);
    std::memcpy(w, rec.r->Data, 8);
    EXPECT_EQ(w[1], 0xFFFFFFFFu) << "any other character is -1";

    // Four bytes a character: 4,097 characters would run past the 16,384-byte data area.
    Record big;
    f.number = std::string(5000, '7');
    EXPECT_EQ(FillSetupRequest(*big.r, 0, f), SetupCheck::NumberTooLong);
    EXPECT_EQ(big.r->Segment[0].Length, 0u) << "nothing is written";
    f.number = std::string(kCallingNumberMax, '7');
    EXPECT_EQ(FillSetupRequest(*big.r, 0, f), SetupCheck::Ok);
    f.number.clear();
    EXPECT_EQ(FillSetupRequest(*big.r, 0, f), SetupCheck::NoNumber);
}

// ---- layer-3 reports ----------------------------------------------------------------------

std::vector<uint32_t> CallView(uint32_t line)
{
    std::vector<uint32_t> w(5 * 128, 0);
    for (uint32_t i = 0; i < 32; i++) {
        w[line * 32 + i] = i;
        w[128 + line * 32 + i] = 100;
    }
    w[128 + line * 32 + 7] = 7;
    w[256 + line * 32 + 7] = 4;
    w[512 + line * 32 + 7] = 0x2A;
    return w;
}

TEST(LineReports, CallViewListsLinksZeroToTwentyTwoOfTheLine)
{
    Record rec;
    rec.Words(0, CallView(2));
    std::string t = CallViewText(*rec, 2);
    EXPECT_EQ(Count(t, "\r\n"), 23u);
    EXPECT_NE(t.find("Link 5 Inactive\r\n"), std::string::npos);
    EXPECT_NE(t.find("Link 07 <-> Channel 07 - State U04 - CRV 2A\r\n"), std::string::npos);
    EXPECT_EQ(t.find("Link 23"), std::string::npos);

    Record refused;
    refused.Status(0xF0000003).Words(0, CallView(0));
    EXPECT_EQ(CallViewText(*refused, 0), "ERROR: Driver indicated failure to load configuration (status 0xF0000003)");
    // A reply shorter than its tables, or a line beyond the four, reads nothing outside it.
    Record shortView;
    shortView.Words(0, std::vector<uint32_t>(200, 100));
    EXPECT_NE(CallViewText(*shortView, 0).find(kReplyIncomplete), std::string::npos);
    EXPECT_NE(CallViewText(*rec, 9).find(kReplyIncomplete), std::string::npos);
}

TEST(LineReports, StatisticsReadTwentyFourCountersAChannelWithinTheReply)
{
    std::vector<uint32_t> table(32 * 24, 0);
    table[24 * 5 + 0] = 3;   // channel 5, SETUP sent
    table[24 * 5 + 12] = 2;  // channel 5, SETUP received
    Record rec;
    rec.Arg(1, 24).Words(2, table);
    std::string t = L2L3StatisticsText(*rec, 0);
    EXPECT_EQ(t.rfind("**********  LAYER 2 & 3 STATISTICS / SETUP Message (x05)  (dat=0)**********\r\n\r\n", 0), 0u);
    EXPECT_NE(t.find(" Channel 05 :   (TX)      3   /  (RX)      2\r\n"), std::string::npos);
    EXPECT_EQ(Count(t, " Channel "), 23u);
    EXPECT_NE(L2L3StatisticsText(*rec, 6).find("RELEASE COMPLETE (x5A) "), std::string::npos);
    EXPECT_NE(L2L3StatisticsText(*rec, 20).find("MISC"), std::string::npos);

    // An entry count from the reply that would index far past the table.
    Record huge;
    huge.Arg(1, 0x40000000).Words(2, table);
    EXPECT_NE(L2L3StatisticsText(*huge, 0).find(kReplyIncomplete), std::string::npos);
}

std::vector<uint8_t> TraceEntry(size_t size, std::vector<uint8_t> head)
{
    head.resize(size, 0);
    return head;
}

TEST(LineReports, TraceBlockWritesOneLinePerEntryAndBoundsFrameLengths)
{
    const size_t size = 8;
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> entries;
        std::string text;
    } cases[] = {
        {"marks and a frame",
         {{2}, {7}, {11, 3, 0x08, 0x02, 0x05}, {15}},
         "\r\n=====> From now on : Backup Layer 2 Frames\r\n\r\n\r\n<<< Layer 2 Established >>> \r\n\r\nLy3 TX : 08 02 05 "
         "\r\n -------------- TRACE END -----------\r\n\r\n "},
        {"a first entry of type 0 writes nothing", {{0}, {7}}, ""},
        {"an unknown type ends the block", {{4}, {99}, {5}}, "\r\n***  PH-ACTIVATE  ***\r\n\r\n"},
        {"length 0", {{10, 0}}, "Ly2 TX : Frame Length Error !!!!!!!!!!!!\r\n"},
        // The frame's bytes start at the third: a length of the entry's size would run past it.
        {"length of the frame size", {{12, 8, 1, 2, 3, 4, 5, 6}}, "Ly2 RX : Frame Length Error !!!!!!!!!!!!\r\n"},
        {"the longest frame", {{14, 6, 1, 2, 3, 4, 5, 6}}, "Small Frame RX : 01 02 03 04 05 06 \r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> block;
        for (const auto& e : c.entries) {
            auto bytes = TraceEntry(size, e);
            block.insert(block.end(), bytes.begin(), bytes.end());
        }
        Record rec;
        rec.Arg(2, size).Arg(4, static_cast<uint32_t>(c.entries.size())).Arg(5, 3).Bytes(3, block);
        EXPECT_EQ(TraceBlockText(*rec), c.text);
    }
    // Entries too short to hold a frame's bytes.
    Record tiny;
    tiny.Arg(2, 1).Arg(4, 2).Bytes(3, {10, 11});
    EXPECT_EQ(TraceBlockText(*tiny),
              "Ly2 TX : Frame Length Error !!!!!!!!!!!!\r\nLy3 TX : Frame Length Error !!!!!!!!!!!!\r\n");
    // Frames per block beyond what the segment holds stop at its end.
    Record over;
    over.Arg(2, size).Arg(4, 100000).Arg(5, 0xFFFFFFFF).Bytes(3, TraceEntry(size, {9}));
    EXPECT_EQ(TraceBlockText(*over), "\r\n<<< Layer 2 Released >>> \r\n\r\n");
    EXPECT_EQ(TraceBlockCount(*over), kTraceBlocksMax);
    EXPECT_EQ(TraceFileName(0, 0), "C:\\Trace_P1.txt");
    EXPECT_EQ(TraceFileName(1, 'B'), "C:\\Trace_P2_B.txt");
    std::string head = TraceFileHeader("C:\\Trace_P1.txt", "Fri Dec 11 02:23:57 2026\n");
    EXPECT_EQ(head, std::string(39, '*') + "\r\n** File : C:\\Trace_P1.txt\r\n** Date : Fri Dec 11 02:23:57 2026\n" +
                        std::string(39, '*') + "\r\n\r\n");
}

TEST(LineReports, ButtonTextsFollowTheStatus)
{
    Record ok, refused;
    refused.Status(0xF0000002);
    EXPECT_EQ(FrameSentText(*ok, "RESTART frame sent"), "RESTART frame sent");
    EXPECT_EQ(FrameSentText(*refused, "RESTART frame sent"),
              "ERROR: Driver indicated failure to send frame (status 0xF0000002)");
    EXPECT_EQ(TestModeText(*ok, 1), "In Test mode");
    EXPECT_EQ(TestModeText(*ok, 0), "In Normal mode");
    EXPECT_EQ(TestModeText(*refused, 1), "ERROR: Driver indicated failure to enter in test mode (status 0xF0000002)");
    EXPECT_EQ(FrameTypeText(*ok), "");
    EXPECT_EQ(FrameTypeText(*refused),
              "ERROR: Driver indicated failure updating Trace Backup Frame Type (status 0xF0000002)");
    EXPECT_EQ(ViewRefusedText(*refused), "ERROR: Driver indicated failure to load configuration (status 0xF0000002)");
}

// ---- link reports -------------------------------------------------------------------------

std::vector<uint32_t> LinkDump()
{
    std::vector<uint32_t> w(134, 0);
    w[0] = 1;
    w[1] = 0x1234;
    w[2] = 0x40;     // in service
    w[3] = 0x4;      // in use zero
    w[4] = 0x100;    // connected
    w[5] = 0x10;     // data modem
    w[6] = 0x3;      // no single name
    w[7] = 64000;
    w[8] = 3;
    w[32] = w[33] = w[34] = 0xFF;
    w[51] = 0xFFFFFFFF;
    const char* calling = "4165550199";
    for (int i = 0; calling[i]; i++) w[54 + i] = static_cast<uint8_t>(calling[i]);
    for (int i = 0; i < 40; i++) w[94 + i] = 'A';  // no terminator
    return w;
}

TEST(LinkReports, LinkDumpNamesEveryWordAndReadsNumbersWithinTheirForty)
{
    Record rec;
    rec.Words(0, LinkDump());
    std::string t = LinkDumpText(*rec);
    for (const char* line :
         {"CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM\r\n", "NdisLinkContext = 0x00001234\r\n",
          "DevState = LINEDEVSTATE_INSERVICE\r\n", "AddressState = LINEADDRESSSTATE_INUSEZERO\r\n",
          "CallState = LINECALLSTATE_CONNECTED\r\n", "MediaMode = LINEMEDIAMODE_DATAMODEM\r\n",
          "BearerMode = Unknown line bearer mode: 0x3\r\n", "TransferRate = 64000\r\n", "TransferCaps: 3_1KHZ_AUDIO \r\n",
          "TransferMode: HOST_TRANSFER_MODE_STREAM\r\n", "ChannelProtocol:CHANNEL_PROTOCOL_V42\r\n",
          "Closing = False\r\n", "PacketsState = PACKETS_ACTIVE\r\n", "Pump Index=\t255\r\n", "Csm Index=\t255\r\n",
          "Socket Index=\t255\r\n", "B_CHANNEL_INDEX=\t-1\r\n", "Calling Number: 10 Digits\r\n4165550199\r\n",
          "Dbg RxCnt5=\t0\r\n", "UDP Port=\t0\r\n"})
        EXPECT_NE(t.find(line), std::string::npos) << line;
    EXPECT_NE(t.find("Called Number: 40 Digits\r\n" + std::string(40, 'A') + "\r\n"), std::string::npos)
        << "forty characters without an end are forty, not what follows them";

    auto dump = LinkDump();
    dump[0] = 5;
    Record unknown;
    unknown.Words(0, dump);
    EXPECT_NE(LinkDumpText(*unknown).find("CurrentOwner = Unknown 5\r\n"), std::string::npos);

    Record refused, cut;
    refused.Status(0xF0000003).Words(0, LinkDump());
    EXPECT_EQ(LinkDumpText(*refused), "The driver refused the request (status 0xF0000003).");
    cut.Words(0, std::vector<uint32_t>(100, 1));
    EXPECT_EQ(LinkDumpText(*cut), kReplyIncomplete);
}

TEST(LinkReports, StatisticsPairTheTwoEventTables)
{
    std::vector<uint32_t> counters(17), first(30), second(30);
    for (int i = 0; i < 17; i++) counters[i] = 100 + i;
    first[29] = 7;
    second[29] = 9;
    Record rec;
    rec.Words(0, counters).Words(1, first).Words(2, second);
    std::string t = LinkStatisticsText(*rec);
    EXPECT_EQ(t.rfind("NumRxFrameAborts=100\r\n", 0), 0u);
    EXPECT_NE(t.find("NumBytesOut=116\r\n"), std::string::npos);
    EXPECT_NE(t.find("NumEVENT_NONE=0,0\r\n"), std::string::npos);
    EXPECT_NE(t.find("NumIRQPERR=7,9\r\n"), std::string::npos);
    EXPECT_EQ(Count(t, "\r\n"), 47u);
    Record refused;
    refused.Status(0xF0000003);
    EXPECT_EQ(LinkStatisticsText(*refused), "The driver refused the request (status 0xF0000003).");
    EXPECT_EQ(GroupStatItem(*rec, 3), "[3:104,106] ");
    EXPECT_EQ(GroupStatItem(*refused, 3), "[3:status 0xf0000003] ");
}

TEST(LinkReports, RingDescriptorsAreBelievedOnlyAsFarAsTheReplyHoldsThem)
{
    std::vector<uint32_t> tx = {0x1000, 0x2000, 0x3000};
    std::vector<uint32_t> rx = {0xA, 0xB, 0xC, 0xD, 0xE, 0xF};
    Record rec;
    rec.Arg(3, 1).Arg(5, 1000000).Words(0, tx).Words(1, rx);
    RingDescriptors d = RingDescriptorReport(*rec, 0, 1);
    EXPECT_EQ(d.status, "ResultCode=0x00000000");
    EXPECT_EQ(d.txCount, 1) << "a transmit count of 1 gives the single position 0";
    EXPECT_EQ(d.rxCount, 2) << "the reply holds two receive descriptors, whatever its count says";
    EXPECT_EQ(d.tx, "00001000 00002000 00003000 00000000");
    EXPECT_EQ(d.rx, "0000000D 0000000E 0000000F 00000001");
    EXPECT_EQ(RingDescriptorReport(*rec, 5, 400000).rx, "") << "a position past the ring reads nothing";

    Record refused;
    refused.Status(0xF0000003).Arg(3, 4);
    RingDescriptors r = RingDescriptorReport(*refused, 0, 0);
    EXPECT_EQ(r.status, "ResultCode=0xf0000003");
    EXPECT_EQ(r.txCount, 0);

    Record data;
    data.Bytes(0, {0x7E, 0x01}).Bytes(1, {0xAB});
    RingData rd = RingDataReport(*data);
    EXPECT_EQ(rd.tx, "7E01");
    EXPECT_EQ(rd.rx, "AB");
    // A segment claiming more than the record holds is cut at the record's end.
    Record big;
    big.r->Segment[0].Offset = kBackdoorRequestSize - 2;
    big.r->Segment[0].Length = 0xFFFFFFF0;
    EXPECT_EQ(RingDataReport(*big).tx, "0000");
}

// ---- HDLC group reports -------------------------------------------------------------------

TEST(HdlcReports, TablesComeFromTheGroupsImageInTheKeptCopy)
{
    std::vector<uint8_t> image(2 * kGroupImageSize, 0);
    auto put = [&](size_t at, uint32_t v) { std::memcpy(&image[at], &v, 4); };
    put(kGroupImageSize + 0x200, 0x11);        // group 1, transmit time-slot map entry 0
    put(kGroupImageSize + 0x204, 0x22);
    put(kGroupImageSize + 0x604, 0xCAFE);
    put(kGroupImageSize + 0x608, 0xFFFF8123);  // low 15 bits shown
    image[kGroupImageSize + 0x280 + 8] = 0x5A;  // transmit sub-channel map, entry 1
    Record rec;
    rec.Arg(0, 0xF0000000).Arg(4, 0x100000).Bytes(0, image);
    std::vector<uint8_t> copy = SharedMemoryCopy(*rec);
    ASSERT_EQ(copy.size(), kSharedCopySize);
    EXPECT_EQ(copy[2 * kGroupImageSize], 0xFF) << "what the reply does not cover stays 0xFF";

    std::string map = SharedMemoryTableText(copy, 1, 4);
    EXPECT_EQ(map.rfind("  00: 0x00000011\t   01: 0x00000022\r\n", 0), 0u);
    EXPECT_EQ(Count(map, "\r\n"), 64u) << "128 words, two a line";
    std::string sub = SharedMemoryTableText(copy, 1, 5);
    EXPECT_NE(sub.find("  01: 0x5a 0x00 0x00 0x00 0x00 0x00 0x00 0x00 \r\n"), std::string::npos);
    EXPECT_EQ(Count(SharedMemoryTableText(copy, 0, 0), "\r\n"), 16u);
    EXPECT_EQ(SharedMemoryTableText(copy, 2, 0).rfind("  00: 0xffffffff\t01: 0xffffffff\r\n", 0), 0u);
    EXPECT_EQ(SharedMemoryTableText(copy, 4, 0), "") << "a group past the copy reads nothing";
    EXPECT_EQ(SharedMemoryTableText(copy, 1, 10), "");
    auto d = DescriptorTexts(copy, 1);
    EXPECT_EQ(d[1], "  0x0000cafe\r\n  0x00000123");
    EXPECT_EQ(AddressTexts(*rec)[0], "f0000000");
    EXPECT_EQ(AddressTexts(*rec)[4], "00100000");

    Record refused;
    refused.Status(0xF0000003).Bytes(0, image);
    EXPECT_EQ(SharedMemoryCopy(*refused), std::vector<uint8_t>(kSharedCopySize, 0xFF));
    EXPECT_EQ(AddressTexts(*refused)[0], "?");
}

TEST(HdlcReports, GroupRequestsAndRegisterTexts)
{
    struct {
        int choice;
        bool sent;
        uint32_t cls, action;
    } cases[] = {{0, true, 1, 0}, {1, true, 1, 1},  {2, true, 2, 0},  {3, true, 2, 1},  {4, true, 3, 0},  {5, false, 0, 0},
                 {6, true, 2, 3}, {7, true, 2, 4}, {8, false, 0, 0}, {9, false, 0, 0}, {10, true, 2, 31}, {11, false, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice);
        uint32_t cls = 99, action = 99;
        EXPECT_EQ(GroupActionRequest(c.choice, &cls, &action), c.sent);
        if (c.sent) {
            EXPECT_EQ(cls, c.cls);
            EXPECT_EQ(action, c.action);
        }
    }
    Record rec;
    rec.Arg(2, 0xBEEF);
    std::string value;
    EXPECT_EQ(RegisterReadText(*rec, &value), "Value = 0x0000beef\r\nResultCode= 0x00000000");
    EXPECT_EQ(value, "0000beef");
    Record refused;
    refused.Status(0xF0000003);
    value = "kept";
    EXPECT_EQ(RegisterReadText(*refused, &value), "ResultCode= 0xf0000003");
    EXPECT_EQ(value, "kept");
}

// ---- the pages on the served board --------------------------------------------------------

class EngineeringPageTest : public AppletTest {
protected:
    // Opens page `name` on VORNET1 as vornet-control --page does; `action` plays the user.
    template <class Page>
    void OpenPage(const char* name, const std::function<void(CMyPropertySheet&, Page&)>& action)
    {
        afxtest::RunModal([&](CWnd*) {
            CMyPropertySheet& sheet = *GPropertySheet;
            EXPECT_EQ(sheet.GetPageCount(), 1);
            auto* page = dynamic_cast<Page*>(sheet.GetPage(0));
            EXPECT_NE(page, nullptr);
            if (page != nullptr)
                action(sheet, *page);
            afxtest::CloseWindow(&sheet);
        });
        EXPECT_EQ(OpenEngineeringPage(nullptr, name, 1), 0);
        EXPECT_EQ(GPropertySheet, nullptr);
    }
    std::string Text(CWnd* page, int id)
    {
        CString t;
        page->GetDlgItemText(id, t);
        return t.str();
    }
    // The first message of `type` the network received since the log was cleared.
    std::optional<sim::q931::Message> Received(uint8_t type)
    {
        std::optional<sim::q931::Message> m;
        PumpUntil([&] {
            sim->Do([&] {
                for (const auto& e : sim->net->log())
                    if (e.kind == sim::IsdnEvent::Kind::MessageIn && e.message && e.message->type == type) {
                        m = e.message;
                        break;
                    }
            });
            return m.has_value();
        }, 10);
        return m;
    }
    Link* SignallingLink()
    {
        Link* d = nullptr;
        sim->Do([&] {
            for (uint32_t i = 0; i < MAX_LINKS_PER_GROUP && d == nullptr; i++)
                if (sim->adapter()->NdisWanInfo[0][i].CurrentOwner == OWNER_SIGNALLING_STACK)
                    d = &sim->adapter()->NdisWanInfo[0][i];
        });
        return d;
    }
};

// SETUP and RESTART typed on the page reach the network side as sent; the call view, the
// statistics and the trace backup show what the stack holds.
TEST_F(EngineeringPageTest, LayerThreeTestSendsSetupAndRestartToTheNetwork)
{
    StartSim();
    sim->Do([&] { sim->net->clear_log(); });
    OpenPage<CMyPropertyPage9>("pri-debug", [&](CMyPropertySheet&, CMyPropertyPage9& page) {
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "In Normal mode");
        EXPECT_EQ(page.m_Lines.GetItemCount(), 1) << "one tab for the board's one line";
        afxtest::Click(&page, IDC_L3_SETUP);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "ERROR: No Phone Number was entered");

        afxtest::SetText(&page, IDC_L3_CALLING_NUMBER, "5551234");
        afxtest::SetText(&page, IDC_L3_CALL_REF_VALUE, "0042");
        afxtest::SelectCombo(&page, IDC_L3_CHANNEL, 4);  // "5"
        afxtest::SelectCombo(&page, IDC_L3_BEARER, 0);   // 64K
        afxtest::Click(&page, IDC_L3_SETUP);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "Setup frame sent");
        auto setup = Received(static_cast<uint8_t>(sim::q931::MsgType::Setup));
        ASSERT_TRUE(setup.has_value());
        EXPECT_EQ(setup->cr, 0x42);
        ASSERT_TRUE(setup->channel.has_value());
        EXPECT_EQ(setup->channel->channel, std::optional<uint8_t>(5));
        ASSERT_TRUE(setup->called.has_value());
        EXPECT_EQ(setup->called->digits, "5551234");
        ASSERT_TRUE(setup->bearer.has_value());
        EXPECT_EQ(setup->bearer->capability, 0x08) << "unrestricted digital";

        // INFORMATION and DISCONNECT name the call by its reference; the cause is the one chosen.
        afxtest::Click(&page, IDC_L3_INFORMATION);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "Status Enquiry frame sent");
        auto info = Received(static_cast<uint8_t>(sim::q931::MsgType::Information));
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->cr, 0x42);
        afxtest::SelectCombo(&page, IDC_L3_CAUSE, 2);  // "17   - Busy"
        afxtest::Click(&page, IDC_L3_DISCONNECT);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "Disconnect frame sent");
        auto disconnect = Received(static_cast<uint8_t>(sim::q931::MsgType::Disconnect));
        ASSERT_TRUE(disconnect.has_value());
        EXPECT_EQ(disconnect->cr, 0x42);
        ASSERT_TRUE(disconnect->cause.has_value());
        EXPECT_EQ(disconnect->cause->value, 17);

        afxtest::SelectCombo(&page, IDC_L3_CHANNEL, 8);  // "9"
        afxtest::SelectCombo(&page, IDC_L3_RESTART_INDICATOR, 0);
        afxtest::Click(&page, IDC_L3_RESTART);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "RESTART frame sent");
        auto restart = Received(static_cast<uint8_t>(sim::q931::MsgType::Restart));
        ASSERT_TRUE(restart.has_value());
        EXPECT_EQ(restart->restart_class, std::optional<uint8_t>(0));
        ASSERT_TRUE(restart->channel.has_value());
        EXPECT_EQ(restart->channel->channel, std::optional<uint8_t>(9));

        // A call the network offers on channel 3 is bound to its link: the call view shows it.
        std::optional<sim::CallKey> key;
        sim->Do([&] { key = sim->net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::speech(false)); });
        ASSERT_TRUE(key.has_value());
        std::string view;
        EXPECT_TRUE(PumpUntil([&] {
            afxtest::Click(&page, IDC_L3_CALL_VIEW);
            view = Text(&page, IDC_L3_DISPLAY);
            return view.find("<-> Channel") != std::string::npos;
        }, 10)) << view;
        EXPECT_EQ(Count(view, "\r\n"), 23u) << view;
        EXPECT_NE(view.find("Link 02 <-> Channel 02 - State U04 - CRV 02\r\n"), std::string::npos) << view;
        EXPECT_NE(view.find("Link 0 Inactive\r\n"), std::string::npos) << view;
        sim->Do([&] { sim->net->clear_call(*key); });

        afxtest::SelectCombo(&page, IDC_L3_STATISTICS_TYPE, 0);
        afxtest::Click(&page, IDC_L3_STATISTICS);
        std::string stats = Text(&page, IDC_L3_DISPLAY);
        EXPECT_NE(stats.find("SETUP Message (x05)"), std::string::npos) << stats;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(stats, m, std::regex(" Channel 05 :   \\(TX\\) +(\\d+)"))) << stats;
        EXPECT_GE(std::stoi(m[1]), 1) << "the stack counted the SETUP it sent on channel 5";

        afxtest::Click(&page, IDC_L3_TEST_RUNNING);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "In Test mode");
        afxtest::Click(&page, IDC_L3_TEST_RUNNING);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "In Normal mode");

        afxtest::Click(&page, IDC_L3_TRACE_BACKUP);
        std::string done = Text(&page, IDC_L3_DISPLAY);
        EXPECT_EQ(done.rfind("MANUAL Backup ...\r\nSignalling Stack Trace Backup to (C:\\Trace_P1.txt)\r\nCompleted at ", 0),
                  0u)
            << done;
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("engineering-pri-debug")));

        // Periodic backup: every period the trace goes to file A, then B, in turn.
        afxtest::SetText(&page, IDC_L3_BACKUP_PERIOD, "2");
        afxtest::Click(&page, IDC_L3_PERIODIC);
        ASSERT_EQ(page.m_Periodic, 1);
        const std::string periodic = "PERIODIC Backup ...\r\nSignalling Stack Trace Backup to (C:\\Trace_P1_";
        page.PeriodicTick();
        EXPECT_NE(Text(&page, IDC_L3_DISPLAY).rfind(periodic, 0), 0u) << "not before the period ends";
        page.PeriodicTick();
        EXPECT_EQ(Text(&page, IDC_L3_DISPLAY).rfind(periodic + "A.txt)", 0), 0u) << Text(&page, IDC_L3_DISPLAY);
        page.PeriodicTick();
        page.PeriodicTick();
        EXPECT_EQ(Text(&page, IDC_L3_DISPLAY).rfind(periodic + "B.txt)", 0), 0u) << Text(&page, IDC_L3_DISPLAY);
        afxtest::Click(&page, IDC_L3_PERIODIC);
        EXPECT_EQ(page.m_Periodic, 0);
    });
    EXPECT_TRUE(fs::exists(root.dir / "C" / "Trace_P1_A.txt"));
    EXPECT_TRUE(fs::exists(root.dir / "C" / "Trace_P1_B.txt"));
    std::ifstream f(root.dir / "C" / "Trace_P1.txt");
    ASSERT_TRUE(f.good()) << "the trace file is on drive C of the run's root";
    std::stringstream s;
    s << f.rdbuf();
    std::string trace = s.str();
    EXPECT_EQ(trace.rfind(std::string(39, '*') + "\r\n** File : C:\\Trace_P1.txt\r\n** Date : ", 0), 0u);
    EXPECT_NE(trace.find("Ly3 TX : "), std::string::npos) << "the SETUP the page sent is in the trace";
}

// The typed number is cut at the field's limit, which is what the driver carries in the
// SETUP: a number the page takes is never cut short on the way.
TEST_F(EngineeringPageTest, LayerThreeSetupNumberIsLimitedByItsField)
{
    EXPECT_EQ(kCallingNumberMax, MGMT_SETUP_DIGITS_MAX);
    StartSim();
    OpenPage<CMyPropertyPage9>("pri-debug", [&](CMyPropertySheet& sheet, CMyPropertyPage9& page) {
        // One character more than the field takes is refused as typed: nothing is sent.
        afxtest::SetText(&page, IDC_L3_CALLING_NUMBER, std::string(kCallingNumberMax + 1, '1'));
        afxtest::SelectCombo(&page, IDC_L3_CHANNEL, 2);
        afxtest::Click(&page, IDC_L3_SETUP);
        EXPECT_LE(page.m_CallingNumber.GetLength(), kCallingNumberMax);
        EXPECT_EQ(sheet.m_Request.Segment[0].Length, static_cast<uint32_t>(page.m_CallingNumber.GetLength()));
        afxtest::SetText(&page, IDC_L3_CALLING_NUMBER, std::string(kCallingNumberMax, '1'));
        afxtest::Click(&page, IDC_L3_SETUP);
        EXPECT_EQ(page.m_CallingNumber.GetLength(), kCallingNumberMax);
        EXPECT_EQ(sheet.m_Request.Segment[0].Length, static_cast<uint32_t>(kCallingNumberMax));
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "Setup frame sent");
    });
}

// The link dump and statistics of the line's signalling link are the driver's own.
TEST_F(EngineeringPageTest, LinkInfoShowsTheLinksStateAndCounters)
{
    StartSim();
    Link* d = SignallingLink();
    ASSERT_NE(d, nullptr);
    uint32_t received = 0;
    sim->Do([&] { received = d->Stats.RxGoodFrames; });
    ASSERT_GT(received, 0u) << "layer 2 came up over the D channel";
    OpenPage<CMyPropertyPage10>("link-info", [&](CMyPropertySheet&, CMyPropertyPage10& page) {
        afxtest::SelectCombo(&page, IDC_LINK_COMBO, static_cast<int>(d->Index));
        std::string left = Text(&page, IDC_LINK_DUMP), right = Text(&page, IDC_LINK_STATISTICS);
        EXPECT_EQ(left.rfind("CurrentOwner = OWNER_SIGNALLING_STACK\r\n", 0), 0u) << left;
        EXPECT_NE(left.find("Pump Index=\t255\r\n"), std::string::npos) << "no pump on the D channel";
        std::smatch m;
        ASSERT_TRUE(std::regex_search(right, m, std::regex("NumReceiveGood=(\\d+)"))) << right;
        EXPECT_GE(static_cast<uint32_t>(std::stoul(m[1])), received);
        EXPECT_NE(right.find("NumIRQPERR="), std::string::npos);
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("engineering-link-info")));

        afxtest::SelectCombo(&page, IDC_LINK_COMBO, 2);
        EXPECT_EQ(Text(&page, IDC_LINK_DUMP).rfind("CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM\r\n", 0), 0u)
            << "the sheet holds the line's TAPI lines open";
    });
}

// The signalling link's rings: descriptor counts size the sliders, and each position shows
// the driver's descriptor and buffer.
TEST_F(EngineeringPageTest, MessagesWalkTheLinksRings)
{
    StartSim();
    const int link = 2;
    uint32_t txCount = 0, rxCount = 0, txSize = 0, rx1[3] = {};
    sim->Do([&] {
        Link* l = &sim->adapter()->NdisWanInfo[0][link];
        txCount = l->NumTxPackets;
        rxCount = l->RxMsgPerCh;
        txSize = l->TxPacketSize;
        if (l->RxPackets[1].Descriptor != nullptr)
            std::memcpy(rx1, l->RxPackets[1].Descriptor, sizeof rx1);
    });
    ASSERT_GT(rxCount, 1u);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%08X %08X %08X %08d", rx1[0], rx1[1], rx1[2], 1);
    OpenPage<CMyPropertyPage11>("messages", [&](CMyPropertySheet&, CMyPropertyPage11& page) {
        afxtest::SelectCombo(&page, IDC_MSG_LINK, link);
        EXPECT_EQ(Text(&page, IDC_MSG_STATUS), "ResultCode=0x00000000");
        EXPECT_EQ(page.m_TxCount, static_cast<int>(txCount));
        EXPECT_EQ(page.m_RxSlider.GetRangeMax(), static_cast<int>(rxCount) - 1);
        EXPECT_EQ(Text(&page, IDC_MSG_TX_DATA).size(), std::min<size_t>(2 * txSize, 5000));
        std::string rx0 = Text(&page, IDC_MSG_RX_DESCRIPTION);
        EXPECT_EQ(rx0.substr(rx0.size() > 8 ? rx0.size() - 8 : 0), "00000000") << rx0;
        afxtest::MoveSlider(&page, IDC_MSG_RX_SLIDER, 1);
        EXPECT_EQ(Text(&page, IDC_MSG_RX_DESCRIPTION), expected) << "the driver's own descriptor of message 1";
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("engineering-messages")));
    });
}

// The group's tables are the shared memory the driver programmed the controller with; the
// register source shows the controller's window.
TEST_F(EngineeringPageTest, SharedMemoryShowsTheGroupsTablesAndAddresses)
{
    StartSim();
    uint32_t bar0 = 0, slot[2] = {}, window200 = 0;
    sim->Do([&] {
        Adapter* a = sim->adapter();
        bar0 = a->PhysicalAddressBAR0;
        std::memcpy(slot, a->SharedMem.GroupAreas.Virtual + 0x200 + 4 * 22, 8);
        window200 = sim->r.boards[0]->hdlc().mmio_read(0x200, 4);
    });
    OpenPage<CMyPropertyPage4>("shared-memory", [&](CMyPropertySheet&, CMyPropertyPage4& page) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%08x", bar0);
        EXPECT_EQ(Text(&page, IDC_SHM_BAR0_PHYSICAL), expected);
        afxtest::SelectCombo(&page, IDC_SHM_TABLE, 4);  // "Transmit Time Slot Map"
        char line[64];
        std::snprintf(line, sizeof line, "  22: 0x%08x\t   23: 0x%08x\r\n", slot[0], slot[1]);
        std::string dump = Text(&page, IDC_SHM_DUMP);
        EXPECT_NE(dump.find(line), std::string::npos) << dump;
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("engineering-shared-memory")));

        afxtest::SelectCombo(&page, IDC_SHM_SOURCE, 0);
        afxtest::Click(&page, IDC_SHM_REFRESH);
        dump = Text(&page, IDC_SHM_DUMP);
        std::snprintf(line, sizeof line, "200: %08x", window200);
        EXPECT_EQ(dump.rfind("Bt847x Register Space, group 0\r\n", 0), 0u) << dump;
        EXPECT_NE(dump.find(line), std::string::npos) << dump;
    });
}

// A group register written on the page lands in the controller and reads back; the halt
// the driver refuses shows its status; the group statistics cover 32 channels.
TEST_F(EngineeringPageTest, Bt847xWritesAndReadsTheGroupsRegisters)
{
    StartSim();
    OpenPage<CMyPropertyPage5>("bt847x", [&](CMyPropertySheet& sheet, CMyPropertyPage5& page) {
        EXPECT_EQ(Text(&page, IDC_BT_STATUS), "...");
        auto* lines = static_cast<CComboBox*>(page.GetDlgItem(IDC_BT_TAPI_LINE));
        EXPECT_EQ(lines->GetCount(), static_cast<int>(std::max<DWORD>(sheet.m_KeptLines, 1)));

        afxtest::SetText(&page, IDC_BT_OFFSET, "4");
        afxtest::SetText(&page, IDC_BT_VALUE, "1234abcd");
        afxtest::Click(&page, IDC_BT_WRITE);
        EXPECT_EQ(Text(&page, IDC_BT_STATUS), "ResultCode= 0x00000000");
        uint32_t held = 0;
        bool logged = false;
        sim->Do([&] {
            auto& hdlc = sim->r.boards[0]->hdlc();
            held = hdlc.mmio_read(4, 4);
            for (const auto& w : hdlc.writes()) logged = logged || (w.offset == 4 && w.value == 0x1234abcd);
        });
        EXPECT_EQ(held, 0x1234abcdu) << "the controller holds what the page wrote";
        EXPECT_TRUE(logged);

        afxtest::SetText(&page, IDC_BT_VALUE, "");
        afxtest::Click(&page, IDC_BT_READ);
        EXPECT_EQ(Text(&page, IDC_BT_VALUE), "1234abcd");
        EXPECT_EQ(Text(&page, IDC_BT_STATUS), "Value = 0x1234abcd\r\nResultCode= 0x00000000");

        afxtest::SelectCombo(&page, IDC_BT_REQUEST, 10);  // "Halt Adapter"
        afxtest::Click(&page, IDC_BT_GO_CHANNEL);
        EXPECT_EQ(Text(&page, IDC_BT_STATUS), "ResultCode= 0xf0000003") << "the driver refuses a halt from here";
        EXPECT_NE(sim->adapter(), nullptr);

        afxtest::Click(&page, IDC_BT_UPDATE_STATISTICS);
        EXPECT_EQ(Text(&page, IDC_BT_CHANNEL_STATISTICS).rfind("NumRxFrameAborts=", 0), 0u);
        afxtest::Click(&page, IDC_BT_GROUP_STATISTICS);
        std::string items = Text(&page, IDC_BT_STATUS);
        EXPECT_EQ(Count(items, "] "), 32u) << items;
        EXPECT_EQ(items.rfind("[0:", 0), 0u) << items;
        EXPECT_TRUE(afxtest::SaveImage(&page, ShotPath("engineering-bt847x")));
    });
}

// A request that never reaches the driver (its device gone) is said so, and nothing is
// shown as if it had been answered.
TEST_F(EngineeringPageTest, RequestsThatDoNotReachTheDriverSaySo)
{
    StartSim();
    OpenPage<CMyPropertyPage5>("bt847x", [&](CMyPropertySheet& sheet, CMyPropertyPage5& page) {
        HANDLE device = sheet.m_DeviceHandles[0];
        sheet.m_DeviceHandles[0] = INVALID_HANDLE_VALUE;
        struct {
            int button;
            int text;
            const char* shown;
        } cases[] = {
            {IDC_BT_READ, IDC_BT_STATUS, "Call Failed!!!"},
            {IDC_BT_WRITE, IDC_BT_STATUS, "Call Failed!!!"},
            {IDC_BT_UPDATE_STATISTICS, IDC_BT_CHANNEL_STATISTICS, "?????"},
            {IDC_BT_GROUP_STATISTICS, IDC_BT_STATUS, "Call Failed!!!"},
            {IDC_BT_GO_CHANNEL, IDC_BT_STATUS, "Function Call Failed!!!"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.button);
            afxtest::Click(&page, c.button);
            EXPECT_EQ(Text(&page, c.text), c.shown);
        }
        sheet.m_DeviceHandles[0] = device;
    });
    OpenPage<CMyPropertyPage9>("pri-debug", [&](CMyPropertySheet& sheet, CMyPropertyPage9& page) {
        HANDLE device = sheet.m_DeviceHandles[0];
        sheet.m_DeviceHandles[0] = INVALID_HANDLE_VALUE;
        afxtest::Click(&page, IDC_L3_RESTART);
        EXPECT_EQ(Text(&page, IDC_L3_STATUS), "ERROR: System Error calling Driver");
        afxtest::Click(&page, IDC_L3_CALL_VIEW);
        EXPECT_EQ(Text(&page, IDC_L3_DISPLAY), "ERROR: System Error calling CallView InfoBlock");
        sheet.m_DeviceHandles[0] = device;
    });
}

// Every name of the table opens its own page alone on the adapter, as vornet-control --page
// does, and the page reads the served board as it opens.
TEST_F(EngineeringPageTest, EveryPageOfTheTableOpensByNameOnTheAdapter)
{
    StartSim();
    struct Case {
        const char* name;
        const CRuntimeClass* kind;
        const char* caption;
        int text;  // a box the opening fills from the board; 0: none
        const char* shown;
    } cases[] = {
        {"pri-debug", RUNTIME_CLASS(CMyPropertyPage9), "PRI Debug", IDC_L3_STATUS, "In Normal mode"},
        {"link-info", RUNTIME_CLASS(CMyPropertyPage10), "Link Info", 0, nullptr},
        {"messages", RUNTIME_CLASS(CMyPropertyPage11), "Messages", IDC_MSG_STATUS, "ResultCode=0x00000000"},
        {"shared-memory", RUNTIME_CLASS(CMyPropertyPage4), "Shared Memory", 0, nullptr},
        {"bt847x", RUNTIME_CLASS(CMyPropertyPage5), "Bt847x", IDC_BT_STATUS, "..."},
        {"layer1", RUNTIME_CLASS(CMyPropertyPage1), "Layer1", IDC_L1_STATUS, "Loading Init Configuration successful."},
        {"bt8370", RUNTIME_CLASS(CMyPropertyPage2), "Bt8370", IDC_BT_PROTOTYPE, "Proto : "},
        {"csm", RUNTIME_CLASS(CMyPropertyPage6), "CSMx", IDC_CSM_STATUS, "Ready"},
    };
    ASSERT_EQ(std::size(cases) + 1, [] {
        size_t n = 0;
        while (kEngineeringPages[n].name != nullptr) n++;
        return n + 1;
    }()) << "a case for every page of the table";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenPage<CPropertyPage>(c.name, [&](CMyPropertySheet&, CPropertyPage& page) {
            EXPECT_TRUE(page.IsKindOf(c.kind));
            EXPECT_EQ(page.GetTitle(), c.caption);
            if (c.text != 0) {
                EXPECT_EQ(Text(&page, c.text).rfind(c.shown, 0), 0u) << Text(&page, c.text);
            }
        });
    }
}

// The register dump page opened alone: each report's lines, values included, lie inside
// the visible report box.
TEST_F(EngineeringPageTest, FramerReportsShowWholeLinesOnThePageAlone)
{
    StartSim();
    OpenPage<CPropertyPage>("bt8370", [&](CMyPropertySheet& sheet, CPropertyPage& page) {
        for (int button : {IDC_BT_RECEIVE, IDC_BT_TRANSMIT, IDC_BT_OTHERS, IDC_BT_STATISTICS}) {
            SCOPED_TRACE(button);
            afxtest::Click(&page, IDC_BT_CLEAR);
            afxtest::Click(&page, button);
            const int width = afxtest::TextViewWidth(&page, IDC_BT_REPORT);
            ASSERT_GT(width, 0);
            std::istringstream lines(Text(&page, IDC_BT_REPORT));
            std::string line;
            for (int n = 0; std::getline(lines, line); n++) {
                EXPECT_LE(afxtest::TextLineRight(&page, IDC_BT_REPORT, n), width) << line;
            }
            if (button == IDC_BT_RECEIVE) {
                EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("engineering-bt8370-receive")));
            }
        }
    });
}

TEST_F(EngineeringPageTest, UnknownPagesAndAdaptersAreRefused)
{
    StartSim();
    EXPECT_EQ(OpenEngineeringPage(nullptr, "no-such-page", 1), 1);
    EXPECT_EQ(OpenEngineeringPage(nullptr, nullptr, 1), 1);
    EXPECT_EQ(OpenEngineeringPage(nullptr, "link-info", 7), 2);
    EXPECT_EQ(GPropertySheet, nullptr);
    std::string names = EngineeringPageNames();
    for (const EngineeringPage* p = kEngineeringPages; p->name != nullptr; p++) {
        EXPECT_NE(names.find(p->name), std::string::npos);
        CPropertyPage* page = p->create();
        EXPECT_NE(page, nullptr);
        delete page;
    }
}

// ---- vornet-control --page ----------------------------------------------------------------

struct HostRun {
    int status = -1;
    std::string out;
};

HostRun RunHost(const std::string& command)
{
    HostRun r;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int s = pclose(p);
    r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return r;
}

// The host opens a page of the real applet on the served board: the page stays open
// until closed (here: until `timeout` ends it); wrong names and adapters are refused.
TEST_F(EngineeringPageTest, VornetControlOpensAPageOnTheServedBoard)
{
    StartSim();
    const std::string env = "VORNET_ROOT=" + root.dir.string() + " QT_QPA_PLATFORM=offscreen ";
    const std::string control = env + VORNET_CONTROL;
    const std::string lib = VORNETAP_LIB;
    HostRun help = RunHost(control + " --help " + lib);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--page NAME"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("pri-debug link-info messages shared-memory bt847x"), std::string::npos) << help.out;

    HostRun wrong = RunHost(control + " --page nothing " + lib);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.out.find("no page nothing"), std::string::npos) << wrong.out;
    HostRun absent = RunHost(control + " --page link-info --adapter 9 " + lib);
    EXPECT_EQ(absent.status, 2);
    EXPECT_NE(absent.out.find("no adapter VORNET9"), std::string::npos) << absent.out;

    HostRun open = RunHost(env + "timeout -s TERM 4 " + VORNET_CONTROL + " --page shared-memory --adapter 1 " + lib);
    EXPECT_EQ(open.status, 124) << "the page was still open when the time ran out\n" << open.out;
    EXPECT_EQ(open.out.find("vornet-control:"), std::string::npos) << open.out;
}

// The command as the README gives it, with no library path set: the applet finds TAPI32
// where the host keeps the system's libraries (without it, the sheet's TAPI scan fails
// and its message box stands before the page).
TEST_F(EngineeringPageTest, VornetControlFindsTapiWithoutALibraryPath)
{
    StartSim();
    const std::string command = "env -u VORNET_LIBRARY_PATH VORNET_ROOT=" + root.dir.string() +
                                " QT_QPA_PLATFORM=offscreen " + VORNET_CONTROL + " --page shared-memory " +
                                VORNETAP_LIB + " >/dev/null 2>&1 & p=$!; found=no; "
                                "for i in $(seq 1 200); do "
                                "if grep -q libtapi32 /proc/$p/maps 2>/dev/null; then found=yes; break; fi; "
                                "kill -0 $p 2>/dev/null || break; sleep 0.1; done; "
                                "kill -TERM $p 2>/dev/null; wait $p; echo tapi=$found";
    HostRun run = RunHost("sh -c '" + command + "'");
    EXPECT_NE(run.out.find("tapi=yes"), std::string::npos) << run.out;
}

}  // namespace
