// The framer engineering pages: their reports as functions of reply records (made up
// here, refused, cut short or pointing outside the record), and both pages in the main
// sheet acting on the served board's framer: a register written and read back, loop-backs
// seen in the framer model, the framing programmed, the register dump file and the
// robbed-bit report.
#include <cstring>
#include <regex>

#include "applet/FramerDumpPage.h"
#include "applet/FramerReports.h"
#include "applet/FramerTestPage.h"
#include "applet/applet_fixture.h"
#include "driver/Wmp_nt40/RSS_DVSP_replies.h"

using namespace applettest;
namespace fs = std::filesystem;

namespace {

// ---- reports from made-up replies ----------------------------------------------------------

// A (0, 4) reply as the driver lays it out: the register image in Segment 0, the framer
// record in Segment 1.
struct FramerReplyFixture {
    std::unique_ptr<BackdoorRequest> r = std::make_unique<BackdoorRequest>();
    static constexpr uint32_t kImage = kBackdoorHeaderSize;
    static constexpr uint32_t kRecord = kImage + 512 * 4;
    FramerReplyFixture()
    {
        std::memset(r.get(), 0, sizeof *r);
        r->Segment[0] = {512 * 4, kImage};
        r->Segment[1] = {BD_FRAMER_IMAGE_WORDS * 4, kRecord};
    }
    void Reg(unsigned reg, uint32_t value) { Put(kImage + 4 * reg, value); }
    void Word(unsigned w, uint32_t value) { Put(kRecord + 4 * w, value); }
    void Put(uint32_t at, uint32_t value) { std::memcpy(reinterpret_cast<uint8_t*>(r.get()) + at, &value, 4); }
};

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(FramerReports, FramingModeValuesDecodeAndProgramBackToTheSameRadio)
{
    const struct {
        uint32_t mode;
        int framing;
    } cases[] = {
        {27, 0}, {25, 0},  // T1 codes 13 and 12: ESF
        {9, 1},  {1, 2},   // SF, FT
        {0, 3},  {16, 4}, {24, 5}, {8, 6},  // FAS, FAS CAS, FAS CAS CRC, FAS CRC
        {2, 3},            // E1 ignores bit 1 of the code
        {5, -1}, {0x1F, -1}, {4, -1}, {0xFFFFFFFE, -1}, {0xFFFFFFF8, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(framer::FramingOfMode(c.mode), c.framing);
    }
    for (int f = 0; f < 7; f++) EXPECT_EQ(framer::FramingOfMode(static_cast<uint32_t>(framer::ModeOfFraming(f))), f);
    EXPECT_EQ(framer::ModeOfFraming(3), 0) << "FAS programs mode 0";
    EXPECT_EQ(framer::ModeOfFraming(-1), -1);
    EXPECT_EQ(framer::ModeOfFraming(7), -1);
}

TEST(FramerReports, DeviceLabelByStateAndPrototype)
{
    const struct {
        uint32_t state, prototype;
        const char* label;
    } cases[] = {
        {0, 2, "T1/E1 Device : No Device"},
        {9, 2, "T1/E1 Device : BrookTree 8370 Proto 2 "},
        {1, 7, "T1/E1 Device : BrookTree 8370 Proto 7 "},
        {9, 5, "T1/E1 Device : BrookTree 8370 Proto BAD "},
        // The driver runs framers of device code 8 too; the label has no name for them.
        {9, 8, "T1/E1 Device : BrookTree 8370 Proto BAD "},
    };
    for (const auto& c : cases) {
        FramerReplyFixture f;
        f.Word(BD_FRAMER_W_STATE, c.state);
        f.Word(BD_FRAMER_W_PROTOTYPE, c.prototype);
        f.Reg(0x068, 0x0A);  // TLIU_CR: template 5
        EXPECT_EQ(framer::DeviceLabel(*f.r), c.label);
        EXPECT_EQ(framer::PulseTemplateIndex(*f.r), 5);
    }
}

TEST(FramerReports, RegisterNamesCoverEveryAddressWithReservedGaps)
{
    const struct {
        unsigned reg;
        const char* name;
    } cases[] = {
        {0x000, "DID"},      {0x004, "ISR7"},       {0x00B, "ISR0"},      {0x00C, "IER7"},     {0x013, "IER0"},
        {0x01C, "TEST"},     {0x01D, "Reserved"},   {0x02A, "PRE_EQ"},    {0x03C, "GAIN4"},    {0x049, "ALM3"},
        {0x05B, "RSA4"},     {0x05F, "RSA8"},       {0x068, "TLIU_CR"},   {0x079, "Reserved"}, {0x07B, "TSA4"},
        {0x0AE, "TDL1_STAT"}, {0x0B4, "RDL2_STAT"}, {0x0B5, "Reserved"},  {0x0B6, "TDL2_FEC"}, {0x0BE, "DL_TEST5"},
        {0x0DD, "PERR"},     {0x0DE, "Reserved"},   {0x0E0, "SBC0"},      {0x11F, "TPC31"},    {0x1A5, "RSIG5"},
        {0x1FF, "RSLIP_HI31"}, {0x200, "Reserved"}, {0xFFFFFFFF, "Reserved"},
    };
    for (const auto& c : cases) EXPECT_STREQ(framer::RegisterName(c.reg), c.name) << std::hex << c.reg;
}

// A refused reply gives its failure line with the driver's status and nothing of the
// record, whatever the record's segments say.
TEST(FramerReports, ARefusedReplyShowsItsStatusOnly)
{
    FramerReplyFixture f;
    f.r->Status = 0xF0000003;
    f.Reg(0x047, 0xFF);
    uint32_t sums[framer::kRunningSums] = {1, 2, 3};
    const std::string refused = "ERROR: Driver indicated failure to load configuration (status 0xF0000003)";
    EXPECT_EQ(framer::ReceiveReport(*f.r, sums), refused);
    EXPECT_EQ(sums[0], 1u);
    EXPECT_EQ(sums[2], 3u);
    EXPECT_EQ(framer::TransmitReport(*f.r), refused);
    EXPECT_EQ(framer::StatusReport(*f.r), refused);
    EXPECT_EQ(framer::OthersReport(*f.r), refused);
    EXPECT_EQ(framer::StatisticsReport(*f.r), refused);
    EXPECT_EQ(framer::DumpReport(*f.r, "now\n"), refused);
    EXPECT_EQ(framer::RbsReport(*f.r), refused);
}

// Segments that lie partly or wholly outside the record, or in its header, give 0 for
// what they do not hold; nothing is read beyond the record (the sanitizer watches).
TEST(FramerReports, SegmentsOutsideTheRecordReadAsZero)
{
    const struct {
        const char* name;
        BackdoorSegment image, record;
        uint8_t did;          // DID as the dump shows it
        bool lastRegister;    // register 0x1FF still inside
    } cases[] = {
        {"whole", {2048, 84}, {BD_FRAMER_IMAGE_WORDS * 4, 84 + 2048}, 0x08, true},
        {"image in the header", {2048, 0}, {0, 0}, 0, false},
        {"image at the end", {0xFFFFFFFF, kBackdoorRequestSize - 8}, {0xFFFFFFFF, kBackdoorRequestSize - 1}, 0x77,
         false},
        {"past the end", {2048, kBackdoorRequestSize}, {2048, 0xFFFFFFF0}, 0, false},
        {"short", {6, 84}, {3, 84}, 0x08, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FramerReplyFixture f;
        f.Reg(0x000, 0x08);
        f.Reg(0x1FF, 0x42);
        f.Put(kBackdoorRequestSize - 8, 0x77);
        f.r->Segment[0] = c.image;
        f.r->Segment[1] = c.record;
        uint32_t sums[framer::kRunningSums] = {};
        framer::CFramerReply reply(*f.r);
        EXPECT_EQ(reply.Reg(0), c.did);
        EXPECT_EQ(reply.Reg(0x1FF), c.lastRegister ? 0x42 : 0);
        EXPECT_EQ(reply.Reg(0x200), 0) << "beyond the framer's registers";
        EXPECT_EQ(reply.Word(100000), 0u);
        std::string dump = framer::DumpReport(*f.r, "Fri Dec 11 02:00:00 2026\n");
        EXPECT_EQ(Count(dump, "    Reg 0x"), 512u);
        char did[64];
        std::snprintf(did, sizeof did, "Reg 0x0 = 0x%x       DID", c.did);
        EXPECT_NE(dump.find(did), std::string::npos);
        for (const std::string& s : {framer::ReceiveReport(*f.r, sums), framer::TransmitReport(*f.r),
                                     framer::StatusReport(*f.r), framer::OthersReport(*f.r),
                                     framer::StatisticsReport(*f.r), framer::RbsReport(*f.r)})
            EXPECT_FALSE(s.empty());
    }
}

TEST(FramerReports, ReceiveCountersAddUpInTheRunningSums)
{
    FramerReplyFixture f;
    f.r->Arg[1] = 0;        // E1
    f.Reg(0x05A, 0x9E);     // AERR: FRED 9, COFA 3, SEF 2
    f.Reg(0x050, 0x10);     // FERR 0x310 (the high byte's top bits ignored)
    f.Reg(0x051, 0xF3);
    f.Reg(0x054, 0x05);     // LCV 0x105
    f.Reg(0x055, 0x01);
    f.Reg(0x056, 0x07);     // FEBE 7 on E1
    f.Reg(0x058, 0x09);     // BERR counts only with RPATT bit 4
    f.Word(114, 6);         // LCV overflows
    uint32_t sums[framer::kRunningSums] = {};
    std::string first = framer::ReceiveReport(*f.r, sums);
    EXPECT_NE(first.find("0x5a : Nb (Cnt AERR) of Receive Loss of Frame FRED : 9    Sum= 0    Ov= 0 \r\n"),
              std::string::npos);
    EXPECT_NE(first.find("of Receive Severly Errored Frame SEF : 2    Sum= 0"), std::string::npos);
    EXPECT_NE(first.find("of Receive Change of Frame Alignment COFA : 3    Sum= 0"), std::string::npos);
    EXPECT_NE(first.find("0x50 : Nb (Cnt FERR) of Receive Frame Bit Error (Ft/Fs/..) : 784    Sum= 0"),
              std::string::npos);
    EXPECT_NE(first.find("0x54 : Nb (Cnt LCV) of Receive Bipolar Violation : 261    Sum= 0    Ov= 6 \r\n"),
              std::string::npos);
    EXPECT_NE(first.find("(Cnt FEBE) of Receive E1 Far End Block Error : 7 "), std::string::npos);
    EXPECT_NE(first.find("(Cnt BERR) of Receive Bit Error Rate : 0 "), std::string::npos);

    f.r->Arg[1] = 1;        // T1: no far-end block errors
    f.Reg(0x041, 0x10);
    f.Reg(0x054, 0x01);
    f.Reg(0x055, 0x00);
    std::string second = framer::ReceiveReport(*f.r, sums);
    EXPECT_NE(second.find("(Cnt FEBE) of Receive E1 Far End Block Error : 0    Sum= 7 "), std::string::npos);
    EXPECT_NE(second.find("(Cnt LCV) of Receive Bipolar Violation : 1    Sum= 261 "), std::string::npos);
    EXPECT_NE(second.find("(Cnt BERR) of Receive Bit Error Rate : 9    Sum= 0 "), std::string::npos);
    EXPECT_EQ(sums[5], 262u);
    EXPECT_EQ(sums[6], 7u);

    // Interrupt lines: ON where the paired enable register has the bit.
    f.Reg(0x00C, 0x02);  // IER7: RLOF enabled
    f.Word(141, 4);
    f.Word(142, 5);
    f.Word(143, 6);
    std::string third = framer::ReceiveReport(*f.r, sums);
    EXPECT_NE(third.find("0x4 : Nb (Int ON RLOF) of Receive Loss of Frame Loss : 4    \r\n"), std::string::npos);
    EXPECT_NE(third.find("0x4 : Nb (Int ON RLOF) of Receive Loss of Frame Repeat : 6    \r\n"), std::string::npos);
    EXPECT_NE(third.find("0x4 : Nb (Int OFF RLOS) of Receive Loss of Signal Loss : 0    \r\n"), std::string::npos);
    EXPECT_NE(third.find("Nb (Int OFF MERR) of Receive E1 MFAS Pattern Error : 0     \r\n"), std::string::npos);
}

TEST(FramerReports, RealTimeAlarmsWithTheLossOfFrameReason)
{
    FramerReplyFixture f;
    f.Reg(0x047, 0x42);  // ALM1: yellow, loss of frame
    f.Reg(0x049, 0x06);  // ALM3: loss of frame alignment, reason 2
    std::string s = framer::StatusReport(*f.r);
    EXPECT_NE(s.find("0x47 : Receive Yellow Alarm (0x42)   \r\n"), std::string::npos);
    EXPECT_NE(s.find("0x47 : Receive Loss of Frame Alignment (0x42)   \r\n"), std::string::npos);
    EXPECT_EQ(s.find("Receive Signalling Freeze"), std::string::npos);
    EXPECT_NE(s.find("0x49 : Loss of Frame Alignment (0x6)"), std::string::npos);
    EXPECT_NE(s.find("Reason for Loss of Frame Alignment : 915 <= CRC4 error (0x2)"), std::string::npos);
    EXPECT_NE(s.find("Nb (Int OFF TSIG) of Transmit Siganlinf MultiFrame : 0     \r\n"), std::string::npos);
}

TEST(FramerReports, DeviceStatusAndDumpFileByDeviceNumber)
{
    const struct {
        uint32_t device;
        const char* file;
    } cases[] = {{0, "BT8370DP0.TXT"}, {1, "BT8370DP1.TXT"}, {3, "BT8370DP3.TXT"}, {4, "BT8370DP0.TXT"},
                 {0xFFFFFFFF, "BT8370DP0.TXT"}};
    for (const auto& c : cases) {
        FramerReplyFixture f;
        f.Word(BD_FRAMER_W_LINE, c.device);
        EXPECT_EQ(framer::DumpFileName(*f.r), c.file);
    }
    FramerReplyFixture f;
    f.Word(BD_FRAMER_W_LINE, 1);
    f.Word(BD_FRAMER_W_STATE, 12);
    f.Word(BD_FRAMER_W_INBAND, 1);
    f.Reg(0x001, 0x01);
    std::string s = framer::OthersReport(*f.r);
    EXPECT_NE(s.find("Status of Device [1] : T1 1.544 MHz line rate \r\n"), std::string::npos);
    EXPECT_NE(s.find("Status of Device [1] : BAD STATE (0xc) \r\n"), std::string::npos);
    EXPECT_NE(s.find("Number of PH-ACTIVATE   0   (Debounce 5000 ms) \r\n"), std::string::npos);
    EXPECT_NE(s.find("Status of Device [1] : In Band Signalling (0x1) \r\n"), std::string::npos);
    EXPECT_NE(s.find("0xdd : (Reg PERR) SPC (Conrol) NO RAM Parity Error has occured (0)"), std::string::npos);
}


// Each interrupt line is ON exactly when the enable bit of its own count is set: the bit
// follows the driver's layout of the counts (ISR5 from word 101 with bit 0x80 first,
// ISR0 from word 189 with bit 0x20 first).
TEST(FramerReports, InterruptLinesPairEachCountWithItsOwnEnableBit)
{
    const struct {
        const char* source;
        unsigned ier;  // the enable register paired with the status register
        unsigned word;
        bool transmit;
    } cases[] = {
        {"RSLIP", 0x00E, 102, false}, {"nFRAME", 0x00E, 108, false}, {"CERR", 0x00E, 105, false},
        {"MERR", 0x00E, 107, false},  {"SERR", 0x00E, 106, false},   {"TSLIP", 0x00E, 101, true},
        {"TFERR", 0x013, 194, true},  {"TCERR", 0x013, 191, true},   {"TMERR", 0x013, 193, true},
        {"TSERR", 0x013, 192, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        const unsigned bit = c.ier == 0x00E ? 0x80u >> (c.word - BD_FRAMER_W_COUNTERS)
                                            : 0x20u >> (c.word - BD_FRAMER_W_PATTERN);
        FramerReplyFixture f;
        f.Reg(c.ier, bit);
        f.Word(c.word, 7);
        uint32_t sums[framer::kRunningSums] = {};
        std::string report = c.transmit ? framer::TransmitReport(*f.r) : framer::ReceiveReport(*f.r, sums);
        EXPECT_NE(report.find(std::string("(Int ON ") + c.source + ") of "), std::string::npos) << report;
        EXPECT_EQ(Count(report, "(Int ON "), 1u) << "no other source shares the bit";
        size_t line = report.find(std::string("(Int ON ") + c.source + ")");
        EXPECT_NE(report.find(" : 7 ", line), std::string::npos) << "the count of that word";
    }
}

// The parity lines name register PERR and show its value; the dump's date is asctime's.
TEST(FramerReports, ParityLinesShowTheRegisterAndTheDateIsAsctimes)
{
    FramerReplyFixture f;
    f.Reg(0x0DD, 0x05);
    std::string s = framer::OthersReport(*f.r);
    EXPECT_NE(s.find("0xdd : (Reg PERR) TPC (Transmit) RAM Parity Error has occured (at least 5)    \r\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("0xdd : (Reg PERR) RPC (Receive) NO RAM Parity Error has occured (5)    \r\n"), std::string::npos);
    EXPECT_NE(s.find("0xdd : (Reg PERR) SPC (Conrol) RAM Parity Error has occured (at least 5)    \r\n"),
              std::string::npos);

    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 5;
    t.tm_wday = 6;
    t.tm_hour = 9;
    t.tm_min = 4;
    t.tm_sec = 7;
    EXPECT_EQ(framer::AsctimeText(t), "Sat Dec  5 09:04:07 2026\n");
    char reference[32] = {};
    ASSERT_NE(asctime_r(&t, reference), nullptr);
    EXPECT_EQ(framer::AsctimeText(t), reference);
    t.tm_mday = 25;
    EXPECT_EQ(framer::AsctimeText(t).size(), 25u);
}

// The robbed-bit record: channel states by name, unknown values as BAD, traces ended by
// their first entry without the valid bit.
TEST(FramerReports, RobbedBitRecordDecodesChannelsAndTraces)
{
    auto r = std::make_unique<BackdoorRequest>();
    std::memset(r.get(), 0, sizeof *r);
    r->Segment[0] = {BD_RBS_RECORD_WORDS * 4, kBackdoorHeaderSize};
    auto put = [&](uint32_t w, uint32_t v) { std::memcpy(r->Data + 4 * w, &v, 4); };
    put(BD_RBS_W_GROUP, 0);
    put(BD_RBS_W_MONITORING, 4);
    put(BD_RBS_W_PERIOD, 5);
    put(BD_RBS_W_DIRECTION, 9);
    put(BD_RBS_W_STATUS, 6);
    put(BD_RBS_W_WINK, 20);
    put(BD_RBS_W_WINK + 1, 40);
    put(BD_RBS_W_WINK + 2, 2);
    const uint32_t ch3 = BD_RBS_W_CHANNELS + 3 * BD_RBS_CHANNEL_WORDS;
    put(ch3 + BD_RBS_CH_RX_BITS, 0xF);
    put(ch3 + BD_RBS_CH_RX_MESSAGE, 5);
    put(ch3 + BD_RBS_CH_TX_MESSAGE, 99);
    put(ch3 + BD_RBS_CH_STATE, 18);
    put(ch3 + BD_RBS_CH_ENABLED, 1);
    put(ch3 + BD_RBS_CH_SIGNALLING_TYPE, 9);
    put(ch3 + BD_RBS_CH_BEARER, 2);
    put(ch3 + BD_RBS_CH_PROTOCOL, 4);
    // Channel 3's received trace: 12 valid entries (+1, -2, ...), then an end.
    const uint32_t trace = BD_RBS_W_TRACES + (3 * BD_RBS_TRACES + BD_RBS_TRACE_RX) * BD_RBS_TRACE_WORDS;
    for (uint32_t i = 0; i < 12; i += 2)
        put(trace + i / 2, (0x8000u | 0x4000u | (i + 1)) | (0x8000u | (i + 2)) << 16);
    std::string s = framer::RbsReport(*r);
    EXPECT_NE(s.find("RBS[0]: Monitoring RBS_MONITORED_BY_POLLING_SYNCTOLINE (at 5 ms) \r\n"), std::string::npos);
    EXPECT_NE(s.find("RBS[0]: Direction BAD \r\n"), std::string::npos);
    EXPECT_NE(s.find("RBS[0]: Status RBS_ACTIVE \r\n"), std::string::npos);
    EXPECT_NE(s.find("RBS[0,3]: RxSig = 0xf GO_OFF_HOOK   |  TxSig = 0x0 BADMessageOut IC_CONNECTED \r\n"),
              std::string::npos);
    EXPECT_NE(s.find("RBS[0,3]: Enb E&M SPEECH Analog Ans WINK_START (-100) (+200) (-10) \r\n"), std::string::npos);
    EXPECT_NE(s.find("RBS[0,4]: Dis BADType BADBearer Analog Ans BADProtocol \r\n"), std::string::npos);
    EXPECT_NE(s.find("RxA[3](ms)= +5 -10 +15 -20 +25 -30 +35 -40 +45 -50 \r\n      +55 -60  \r\n"),
              std::string::npos);
    EXPECT_NE(s.find("TxA[3](ms)=  \r\n"), std::string::npos);
    EXPECT_EQ(Count(s, "Status["), 24u);
    EXPECT_NE(framer::NoRbsNotice().find("NO ROBBED BIT SIGNALLING ON THIS LINK"), std::string::npos);
}

// ---- the pages on the served board ---------------------------------------------------------

class FramerPagesTest : public AppletTest {
protected:
    // Opens the applet, adds `page` to the main sheet, shows it, lets `action` use it and
    // closes the sheet.
    void WithPage(CPropertyPage* page, const std::function<void(CMyPropertySheet&)>& action)
    {
        pages.emplace_back(page);
        OpenApplet([&](CMyPropertySheet& sheet) {
            sheet.AddPage(page);
            afxtest::SelectSheetPage(&sheet, sheet.GetPageCount() - 1);
            action(sheet);
            afxtest::CloseWindow(&sheet);
        });
    }
    uint8_t Peek(unsigned line, unsigned reg)
    {
        uint8_t v = 0;
        sim->Do([&] { v = sim->r.boards[0]->framer(line)->peek(reg); });
        return v;
    }
    static std::string Text(CWnd* page, int id)
    {
        CString s;
        page->GetDlgItemText(id, s);
        return s.str();
    }
    std::vector<std::unique_ptr<CPropertyPage>> pages;
};

TEST_F(FramerPagesTest, TestPageWritesAndReadsARegisterOfTheFramer)
{
    StartSim(false);
    WithPage(CreateFramerTestPage(), [&](CMyPropertySheet& sheet) {
        auto* p = static_cast<CMyPropertyPage1*>(sheet.GetActivePage());
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Loading Init Configuration successful.");
        EXPECT_EQ(Text(p, IDC_L1_DEVICE_LABEL).rfind("T1/E1 Device : BrookTree 8370 Proto ", 0), 0u);
        EXPECT_EQ(p->m_DeviceIndex, 0);
        EXPECT_EQ(p->m_Framing, 0) << "the default line is T1 ESF";

        afxtest::SetText(p, IDC_L1_ADDRESS, "bA");
        afxtest::SetText(p, IDC_L1_DATA, "0x15A");
        afxtest::Click(p, IDC_L1_WRITE);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Register successfully written");
        EXPECT_EQ(Peek(0, 0xBA), 0x5A) << "the register's byte";
        EXPECT_EQ(Text(p, IDC_L1_ADDRESS), "0xba");

        sim->Do([&] { sim->r.boards[0]->framer(0)->poke(0xBA, 0xC3); });
        afxtest::SetText(p, IDC_L1_DATA, "");
        afxtest::Click(p, IDC_L1_READ);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Register successfully read");
        EXPECT_EQ(Text(p, IDC_L1_DATA), "0xc3");
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("framer-test-page")));

        // An address the framer does not have: the driver's refusal with its status.
        afxtest::SetText(p, IDC_L1_ADDRESS, "0x200");
        afxtest::Click(p, IDC_L1_READ);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "ERROR: Driver indicated failure read register (status 0xF0000003)");
        afxtest::SetText(p, IDC_L1_ADDRESS, "nonsense");
        afxtest::Click(p, IDC_L1_READ);
        EXPECT_EQ(Text(p, IDC_L1_ADDRESS), "0x0") << "what is not a number reads as 0";
        EXPECT_EQ(Text(p, IDC_L1_DATA), "0x8") << "DID";
    });
}

TEST_F(FramerPagesTest, LoopBacksReachTheFramerAndStopAllClearsThem)
{
    StartSim(false);
    WithPage(CreateFramerTestPage(), [&](CMyPropertySheet& sheet) {
        auto* p = static_cast<CMyPropertyPage1*>(sheet.GetActivePage());
        afxtest::Click(p, IDC_L1_LOOP_FRAMER);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Per Link Framer Loop Back.");
        afxtest::Click(p, IDC_L1_LOOP_RUN);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), " Run Framer LoopBack : Link 0 ");
        EXPECT_EQ(Peek(0, 0x14), 0x02) << "LOOP: framer loop-back";
        afxtest::Click(p, IDC_L1_LOOP_STOP);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), " Stop Framer LoopBack : Link 0 ");
        EXPECT_EQ(Peek(0, 0x14), 0);
        afxtest::Click(p, IDC_L1_ANALOG_ON);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "(Btn) Analog Loop ON");
        EXPECT_EQ(Peek(0, 0x14), 0x01) << "LOOP: analog loop-back";
        afxtest::Click(p, IDC_L1_ANALOG_OFF);
        EXPECT_EQ(Peek(0, 0x14), 0);
        ASSERT_TRUE(PumpUntil([&] { return (Peek(0, 0x001) & 1) != 0; })) << "the framer set up again as T1";

        // Per channel on a T1 line: channel 0 and 25 are refused without a request.
        afxtest::Click(p, IDC_L1_LOOP_LOCAL_CHANNEL);
        const struct {
            int combo;
            const char* status;
        } cases[] = {
            {0, "ERROR: Bad Channel Selected"},
            {25, "ERROR: Bad Channel Selected"},
            {5, " Run Local LoopBack : Link 0 Channel 5 "},
        };
        for (const auto& c : cases) {
            afxtest::SelectCombo(p, IDC_L1_LOCAL_CHANNEL, c.combo);
            afxtest::Click(p, IDC_L1_LOOP_RUN);
            EXPECT_EQ(Text(p, IDC_L1_STATUS), c.status);
        }
        EXPECT_EQ(Peek(0, 0x100 + 5) & 0x10, 0x10) << "TPC5: local loop-back";
        EXPECT_EQ(Peek(0, 0x100 + 25) & 0x10, 0) << "channel 25 was not sent";

        // The remote radio checks and sends the remote channel.
        afxtest::Click(p, IDC_L1_LOOP_REMOTE_CHANNEL);
        afxtest::SelectCombo(p, IDC_L1_REMOTE_CHANNEL, 24);
        afxtest::Click(p, IDC_L1_LOOP_RUN);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), " Run Remote LoopBack : Link 0 Channel 24 ");
        EXPECT_EQ(Peek(0, 0x100 + 24) & 0x40, 0x40) << "TPC24: remote loop-back";
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("framer-test-page-loop")));

        afxtest::Click(p, IDC_L1_LOOP_STOP_ALL);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "All loopbacks stopped.");
        EXPECT_EQ(p->m_LoopKind, -1);
        EXPECT_EQ(Text(p, IDC_L1_LOCAL_CHANNEL), "");
        EXPECT_EQ(Text(p, IDC_L1_REMOTE_CHANNEL), "");
        EXPECT_EQ(Peek(0, 0x14), 0) << "no loop-back left";
        afxtest::Click(p, IDC_L1_LOOP_RUN);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "ERROR: Bad Loop Back Selected");
    });
}

// An E1 line: its framing loads as FAS CRC and channel 0 takes a per-channel loop-back.
TEST_F(FramerPagesTest, OnAnE1LineChannelZeroLoopsBack)
{
    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword(kParameters, "LineMode_0", 1);
        r.set_dword(kParameters, "FramingFormat_0", 4);
    });
    StartSim(false);
    WithPage(CreateFramerTestPage(), [&](CMyPropertySheet& sheet) {
        auto* p = static_cast<CMyPropertyPage1*>(sheet.GetActivePage());
        EXPECT_EQ(p->m_Framing, 6) << "FAS CRC";
        EXPECT_EQ(Peek(0, 0x001) & 1, 0) << "PCR0: E1";
        afxtest::Click(p, IDC_L1_LOOP_LOCAL_CHANNEL);
        afxtest::SelectCombo(p, IDC_L1_LOCAL_CHANNEL, 0);
        afxtest::Click(p, IDC_L1_LOOP_RUN);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), " Run Local LoopBack : Link 0 Channel 0 ");
        EXPECT_EQ(Peek(0, 0x100) & 0x10, 0x10) << "TPC0: local loop-back";
        afxtest::SelectCombo(p, IDC_L1_LOCAL_CHANNEL, 31);
        afxtest::Click(p, IDC_L1_LOOP_STOP);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), " Stop Local LoopBack : Link 0 Channel 31 ");
    });
}

TEST_F(FramerPagesTest, ProgrammingTheFramingReconfiguresTheFramerAndLoadsBack)
{
    StartSim(false);
    WithPage(CreateFramerTestPage(), [&](CMyPropertySheet& sheet) {
        auto* p = static_cast<CMyPropertyPage1*>(sheet.GetActivePage());
        afxtest::Click(p, IDC_L1_FAS);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "E1 2.048 Mb Frame Alignment Sequence.");
        p->m_Framing = -1;
        p->UpdateData(FALSE);
        afxtest::Click(p, IDC_L1_PROGRAM);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "ERROR: No Digital Carrier Selected");

        // The framer loses its configuration; "Program" configures it again.
        sim->Do([&] { sim->r.boards[0]->framer(0)->poke(0x001, 0x00); });
        afxtest::Click(p, IDC_L1_ESF);
        afxtest::Click(p, IDC_L1_PROGRAM);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Device 0 programmed successfully.");
        EXPECT_EQ(Peek(0, 0x001) & 1, 1) << "PCR0: T1 again";
        afxtest::Click(p, IDC_L1_FT);
        afxtest::Click(p, IDC_L1_LOAD);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Device 0 loaded successfully.");
        EXPECT_EQ(p->m_Framing, 0) << "ESF";

        // Actions of one request each: their texts; a line the board lacks: the refusal.
        afxtest::Click(p, IDC_L1_SENSITIVITY_HIGH);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Receive Signal Sensitivity set to High.");
        afxtest::SelectCombo(p, IDC_L1_PULSE_TEMPLATE, 5);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "Cable ITU-T G.703 75 Ohm Coaxial Cable");
        afxtest::Click(p, IDC_L1_LEVEL_UPDATE);
        EXPECT_EQ(Text(p, IDC_L1_RECEIVE_LEVEL), "--  ");
        afxtest::SelectCombo(p, IDC_L1_DEVICE, 1);
        afxtest::Click(p, IDC_L1_LOAD);
        EXPECT_EQ(Text(p, IDC_L1_STATUS),
                  "ERROR: Driver indicated failure to load configuration (status 0xF0000003)");
        afxtest::Click(p, IDC_L1_RESET_LOCAL);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "ERROR: Driver indicated failure read register (status 0xF0000002)");
        p->m_DeviceIndex = -1;
        p->UpdateData(FALSE);
        afxtest::Click(p, IDC_L1_RESET_LOCAL);
        EXPECT_EQ(Text(p, IDC_L1_STATUS), "ERROR: No Device Selected");
    });
}

TEST_F(FramerPagesTest, DumpPageWritesTheRegisterFileAndSumsTheCounters)
{
    StartSim(false);
    WithPage(CreateFramerDumpPage(), [&](CMyPropertySheet& sheet) {
        auto* p = static_cast<CMyPropertyPage2*>(sheet.GetActivePage());
        uint32_t code = 0;
        sim->Do([&] { code = sim->adapter()->Framer[0].nDeviceCode; });
        EXPECT_EQ(Text(p, IDC_BT_PROTOTYPE), "Proto : " + std::to_string(code) + " ");
        sim->Do([&] { sim->r.boards[0]->framer(0)->poke(0xBA, 0xA5); });
        afxtest::Click(p, IDC_BT_DUMP);
        std::ifstream in(root.dir / "C" / "BT8370DP0.TXT", std::ios::binary);
        ASSERT_TRUE(in.good()) << "the dump file in the current directory";
        std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(Count(file, "Bt8370[0]    Reg 0x"), 512u);
        EXPECT_NE(file.find("Bt8370[0]    Reg 0xba = 0xa5       DL_TEST1 \r\n"), std::string::npos);
        EXPECT_NE(file.find("Bt8370[0]    Reg 0x1d = 0x0       Reserved \r\n"), std::string::npos);
        EXPECT_TRUE(std::regex_search(file, std::regex("^\\* \\* \\* DUMP Device\\[0\\] to File : BT8370DP0.TXT "
                                                       "\\* \\* \\* \\[of \\w{3} \\w{3} ( [1-9]|[1-3]\\d) "
                                                       "\\d\\d:\\d\\d:\\d\\d \\d{4}\n\\] \r\n")));
        EXPECT_EQ(Text(p, IDC_BT_REPORT).substr(0, 40), file.substr(0, 40)) << "shown as well";
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("framer-dump-page")));

        // Errors from the far end: the first report counts them, the second sums them.
        sim->Do([&] { sim->r.boards[0]->framer(0)->count_errors(2, 5); });
        afxtest::Click(p, IDC_BT_RECEIVE);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("(Cnt LCV) of Receive Bipolar Violation : 5    Sum= 0 "),
                  std::string::npos)
            << Text(p, IDC_BT_REPORT);
        afxtest::Click(p, IDC_BT_RECEIVE);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("(Cnt LCV) of Receive Bipolar Violation : 0    Sum= 5 "),
                  std::string::npos);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("(Cnt FEBE) of Receive E1 Far End Block Error : 0 "), std::string::npos);
        afxtest::Click(p, IDC_BT_CLEAR);
        afxtest::Click(p, IDC_BT_RECEIVE);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("Bipolar Violation : 0    Sum= 0 "), std::string::npos);

        afxtest::Click(p, IDC_BT_OTHERS);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("Status of Device [0] : T1 1.544 MHz line rate"), std::string::npos);
        afxtest::Click(p, IDC_BT_STATISTICS);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("* * * SLIP BUFFERS  * * *"), std::string::npos);
        afxtest::Click(p, IDC_BT_RBS);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("NO ROBBED BIT SIGNALLING ON THIS LINK"), std::string::npos)
            << "an ISDN line";

        afxtest::SelectCombo(p, IDC_BT_DEVICE, 3);
        afxtest::Click(p, IDC_BT_TRANSMIT);
        EXPECT_EQ(Text(p, IDC_BT_REPORT), "ERROR: Driver indicated failure to load configuration (status 0xF0000003)");
    });
}

// The line loses its framing and gets it back: the driver counts both on the framer's
// interrupt, and the dump page shows the counts and the device as the driver holds it.
TEST_F(FramerPagesTest, DumpPageShowsTheAlarmsTheDriverCountedOnTheLine)
{
    StartSim(false);
    auto framer = [&](const std::function<bool(const Bt8370&)>& test) {
        return PumpUntil([&] {
            bool yes = false;
            sim->Do([&] { yes = test(sim->adapter()->Framer[0]); });
            return yes;
        });
    };
    ASSERT_TRUE(framer([](const Bt8370& f) { return f.nState == SYNCHRONIZED_ON; }));
    ASSERT_TRUE(PumpUntil([&] { return (Peek(0, 0x00C) & 0x02) != 0; })) << "IER7: loss of frame interrupts";
    sim->Do([&] { sim->r.boards[0]->line(0).take_down(); });
    ASSERT_TRUE(framer([](const Bt8370& f) { return f.Alarm1[6].OnCount == 1; }));
    sim->Do([&] { sim->r.boards[0]->line(0).bring_up(); });
    ASSERT_TRUE(framer([](const Bt8370& f) { return f.Alarm1[6].OffCount == 1 && f.TlofActive == 0; }));
    WithPage(CreateFramerDumpPage(), [&](CMyPropertySheet& sheet) {
        auto* p = static_cast<CMyPropertyPage2*>(sheet.GetActivePage());
        afxtest::Click(p, IDC_BT_RECEIVE);
        const std::string receive = Text(p, IDC_BT_REPORT);
        EXPECT_NE(receive.find("0x4 : Nb (Int ON RLOF) of Receive Loss of Frame Loss : 1    \r\n"), std::string::npos)
            << receive;
        EXPECT_NE(receive.find("0x4 : Nb (Int ON RLOF) of Receive Loss of Frame Recovery : 1    \r\n"),
                  std::string::npos);
        EXPECT_NE(receive.find("0x4 : Nb (Int ON RLOF) of Receive Loss of Frame Repeat : 0    \r\n"),
                  std::string::npos);
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("framer-dump-page-alarms")));

        afxtest::Click(p, IDC_BT_OTHERS);
        const std::string others = Text(p, IDC_BT_REPORT);
        EXPECT_NE(others.find("Status of Device [0] : Real Device Used \r\n"), std::string::npos) << others;
        EXPECT_NE(others.find("Status of Device [0] : I.431 Layer1<->Layer2/3 OFF  (0x0) \r\n"), std::string::npos);
        EXPECT_NE(others.find("Nb of bad IRR : 0    \r\n"), std::string::npos);

        // "Clear" clears the driver's counts as well.
        afxtest::Click(p, IDC_BT_CLEAR);
        afxtest::Click(p, IDC_BT_RECEIVE);
        EXPECT_NE(Text(p, IDC_BT_REPORT).find("of Receive Loss of Frame Loss : 0    \r\n"), std::string::npos);
    });
}

TEST_F(FramerPagesTest, RobbedBitReportOfARobbedBitLine)
{
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "SignallingProtocol_0", 0); });
    StartSim(false);
    WithPage(CreateFramerDumpPage(), [&](CMyPropertySheet& sheet) {
        auto* p = static_cast<CMyPropertyPage2*>(sheet.GetActivePage());
        afxtest::Click(p, IDC_BT_RBS);
        std::string s = Text(p, IDC_BT_REPORT);
        EXPECT_NE(s.find("* * * ROBBED BIT SIGNALLING * * *"), std::string::npos) << s.substr(0, 300);
        EXPECT_NE(s.find("RBS[0]: Group used 0  \r\n"), std::string::npos);
        EXPECT_NE(s.find("RBS[0]: Stack Size "), std::string::npos);
        EXPECT_EQ(Count(s, "RBS[0,"), 64u) << "two lines for each of 32 channels";
        EXPECT_EQ(Count(s, "RxA["), 24u);
        EXPECT_EQ(s.find("BADStatus"), std::string::npos) << s.substr(0, 2000);
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("framer-dump-page-rbs")));

        // A dump file that cannot be created: the report is still shown.
        fs::create_directories(root.dir / "C" / "BT8370DP0.TXT");
        afxtest::Click(p, IDC_BT_DUMP);
        EXPECT_EQ(Count(Text(p, IDC_BT_REPORT), "Bt8370[0]    Reg 0x"), 512u);
        EXPECT_TRUE(fs::is_directory(root.dir / "C" / "BT8370DP0.TXT"));
    });
}

}  // namespace
