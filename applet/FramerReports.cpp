#include "applet/FramerReports.h"

#include "applet/Reports.h"
#include <array>
#include <cstdarg>
#include <cstdio>

#include "driver/Wmp_nt40/RSS_DVSP_replies.h"

namespace framer {

namespace {

// Registers the reports decode.
enum : unsigned {
    kDid = 0x000, kPcr0 = 0x001, kJatCr = 0x002, kIsr7 = 0x004, kIsr6 = 0x005, kIsr5 = 0x006, kIsr3 = 0x008,
    kIsr0 = 0x00B, kFstat = 0x017, kPio = 0x018, kRstat = 0x021, kRcr0 = 0x040, kRpatt = 0x041, kAlm1 = 0x047,
    kAlm2 = 0x048, kAlm3 = 0x049, kFerr0 = 0x050, kCerr0 = 0x052, kLcv0 = 0x054, kFebe0 = 0x056, kBerr0 = 0x058,
    kAerr = 0x05A, kTliuCr = 0x068, kTcr1 = 0x071, kSbiCr = 0x0D0, kTsbCr = 0x0D4, kSstat = 0x0D9, kRphase = 0x0DB,
    kTphase = 0x0DC, kPerr = 0x0DD,
};
// The interrupt-enable register of status register ISRn is 8 registers further on.
constexpr unsigned kIerOffset = 8;

// Words of the framer record the reports read.
enum : unsigned {
    kWordReal = BD_FRAMER_W_PRESENT, kWordRealUsed = BD_FRAMER_W_USED, kWordSensitivity = BD_FRAMER_W_INT_SELECT,
    kWordBadIrr = BD_FRAMER_W_BAD_IRR, kWordStackRunning = BD_FRAMER_W_L1_UP, kWordStackFrozen = BD_FRAMER_W_L1_HOLD,
    kWordI431 = BD_FRAMER_W_L1_MACHINE, kWordI431State = BD_FRAMER_W_L1_STATE, kWordI431Event = BD_FRAMER_W_L1_EVENT,
};
static_assert(kWordReal == 24 && kWordSensitivity == 30 && kWordBadIrr == 39 && kWordStackRunning == 50 &&
              kWordStackFrozen == 55 && kWordI431 == 197 && kWordI431State == 198 && kWordI431Event == 200);


bool Bit(uint8_t value, unsigned bit) { return ((value >> bit) & 1) != 0; }

// The names of the 512 registers, built once.
std::array<std::string, kRegisters> BuildNames()
{
    std::array<std::string, kRegisters> n;
    n.fill("Reserved");
    auto set = [&](unsigned reg, const char* name) { n[reg] = name; };
    auto run = [&](unsigned first, unsigned count, const char* stem, unsigned from) {
        for (unsigned i = 0; i < count; i++) n[first + i] = stem + std::to_string(from + i);
    };
    set(0x000, "DID"), set(0x001, "PCR0"), set(0x002, "JAT_CR"), set(0x003, "IRR");
    for (unsigned i = 0; i < 8; i++) {
        n[0x004 + i] = "ISR" + std::to_string(7 - i);
        n[0x00C + i] = "IER" + std::to_string(7 - i);
    }
    const char* const a[] = {"LOOP", "DL3_TS", "DL3_BIT", "FSTAT", "PIO", "POE", "CMUX", "TMUX", "TEST"};
    for (unsigned i = 0; i < std::size(a); i++) set(0x014 + i, a[i]);
    const char* const b[] = {"LIU_CR", "RSTAT", "RLIU_CR", "LPF",    "VGA_MAX", "EQ_DAT",
                             "EQ_PTR", "DSLICE", "CSLICE", "VGA", "PRE_EQ"};
    for (unsigned i = 0; i < std::size(b); i++) set(0x020 + i, b[i]);
    run(0x030, 8, "COEFF", 0);
    run(0x038, 5, "GAIN", 0);
    const char* const c[] = {"RCR0", "RPATT", "RLB", "LBA", "LBD", "RALM", "LATCH", "ALM1", "ALM2", "ALM3"};
    for (unsigned i = 0; i < std::size(c); i++) set(0x040 + i, c[i]);
    const char* const d[] = {"FERR0", "FERR1", "CERR0", "CERR1", "LCV0", "LCV1",
                             "FEBE0", "FEBE1", "BERR0", "BERR1", "AERR"};
    for (unsigned i = 0; i < std::size(d); i++) set(0x050 + i, d[i]);
    run(0x05B, 5, "RSA", 4);
    run(0x060, 8, "SHAPE", 0);
    set(0x068, "TLIU_CR");
    const char* const e[] = {"TCR0", "TCR1", "TFRM", "TERROR", "TMAN", "TALM", "TPATT", "TLB", "LBP"};
    for (unsigned i = 0; i < std::size(e); i++) set(0x070 + i, e[i]);
    run(0x07B, 5, "TSA", 4);
    set(0x090, "CLAD_CR"), set(0x091, "CSEL"), set(0x092, "CPHASE"), set(0x093, "CTEST");
    const char* const f[] = {"BOP",      "TBOP",     "RBOP",     "BOP_STAT", "DL1_TS",   "DL1_BIT",
                             "DL1_CTL",  "RDL1_FFC", "RDL1",     "RDL1_STAT", "PRM",     "TDL1_FEC",
                             "TDL1_EOM", "TDL1",     "TDL1_STAT", "DL2_TS",  "DL2_BIT",  "DL2_CTL",
                             "RDL2_FFC", "RDL2",     "RDL2_STAT"};
    for (unsigned i = 0; i < std::size(f); i++) set(0x0A0 + i, f[i]);
    set(0x0B6, "TDL2_FEC"), set(0x0B7, "TDL2_EOM"), set(0x0B8, "TDL2"), set(0x0B9, "TDL2_STAT");
    run(0x0BA, 5, "DL_TEST", 1);
    const char* const g[] = {"SBI_CR",  "RSB_CR",    "RSYNC_BIT", "RSYNC_TS", "TSB_CR", "TSYNC_BIT", "TSYNC_TS",
                             "RSIG_CR", "RSYNC_FRM", "SSTAT",     "STACK",    "RPHASE", "TPHASE",    "PERR"};
    for (unsigned i = 0; i < std::size(g); i++) set(0x0D0 + i, g[i]);
    run(0x0E0, 32, "SBC", 0);
    run(0x100, 32, "TPC", 0);
    run(0x120, 32, "TSIG", 0);
    run(0x140, 32, "TSLIP_LO", 0);
    run(0x160, 32, "TSLIP_HI", 0);
    run(0x180, 32, "RPC", 0);
    run(0x1A0, 32, "RSIG", 0);
    run(0x1C0, 32, "RSLIP_LO", 0);
    run(0x1E0, 32, "RSLIP_HI", 0);
    return n;
}

const std::array<std::string, kRegisters>& Names()
{
    static const std::array<std::string, kRegisters> names = BuildNames();
    return names;
}

// One interrupt source of the receive, transmit and status reports.
struct Source {
    const char* name;   // the source, as the line names it
    unsigned isr;       // its status register
    uint8_t mask;       // its bit there (and in the paired enable register)
    unsigned word;      // the driver's count (the first of three for level sources)
    bool level;         // three counts: loss, recovery, repeat
    const char* text;
    bool fiveBlanks;
};

const char* const kLevelEndings[] = {" Loss", " Recovery", " Repeat"};

void InterruptLines(std::string& out, const CFramerReply& f, const Source* sources, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const Source& s = sources[i];
        bool on = (f.Reg(s.isr + kIerOffset) & s.mask) != 0;
        const char* end = s.fiveBlanks ? "     \r\n" : "    \r\n";
        for (unsigned k = 0; k < (s.level ? 3u : 1u); k++)
            out += FormatText("0x%x : Nb (Int %s %s) of %s%s : %u%s", s.isr, on ? "ON" : "OFF", s.name, s.text,
                          s.level ? kLevelEndings[k] : "", f.Word(s.word + k), end);
    }
}

std::string Refusal(const BackdoorRequest& reply) { return RefusedText(kLoadFailure, reply.Status); }

const char* Pick(const char* const* names, size_t count, uint32_t value, uint32_t first, const char* other)
{
    return value >= first && value - first < count ? names[value - first] : other;
}

}  // namespace

CFramerReply::CFramerReply(const BackdoorRequest& reply)
    : m_Status(reply.Status), m_Mode(reply.Status == 0 ? reply.Arg[1] : 0),
      m_Image(Segment(reply, 0)), m_Record(Segment(reply, 1))
{
}

CReplyData Segment(const BackdoorRequest& reply, int k)
{
    return reply.Status != 0 ? CReplyData{} : ReplySegmentBytes(reply, k);
}

uint32_t SegmentWord(const CReplyData& data, size_t word)
{
    CReplyReader reader = data.Reader();
    uint32_t value = 0;
    if (!reader.Skip(word) || !reader.Word(&value))
        return 0;
    return value;
}

uint8_t CFramerReply::Reg(unsigned reg) const
{
    return reg < kRegisters ? static_cast<uint8_t>(SegmentWord(m_Image, reg) & 0xFF) : 0;
}

uint32_t CFramerReply::Word(unsigned word) const { return SegmentWord(m_Record, word); }

std::string RefusedText(const char* text, uint32_t status) { return FormatText("%s (status 0x%08X)", text, status); }

int FramingOfMode(uint32_t mode)
{
    if ((mode & 1) != 0) {
        switch ((mode >> 1) & 15) {
        case 0: return 2;
        case 4: return 1;
        case 12:
        case 13: return 0;
        default: return -1;
        }
    }
    switch ((mode >> 1) & 14) {
    case 0: return 3;
    case 4: return 6;
    case 8: return 4;
    case 12: return 5;
    default: return -1;
    }
}

int ModeOfFraming(int framing)
{
    static const int kModes[] = {27, 9, 1, 0, 16, 24, 8};
    return framing >= 0 && framing < 7 ? kModes[framing] : -1;
}

const char* FramingText(int framing)
{
    static const char* const kTexts[] = {
        "T1 1.544 Mb Extended Superframe ABCD Signalling.", "T1 1.544 Mb Superframe Format AB Signalling.",
        "T1 1.544 Mb Ft Bit only.",                         "E1 2.048 Mb Frame Alignment Sequence.",
        "E1 2.048 Mb FAS Channel Associated Signalling.",   "E1 2.048 Mb FAS CAS CRC.",
        "E1 2.048 Mb Frame Alignment Sequence CRC.",
    };
    return framing >= 0 && framing < 7 ? kTexts[framing] : "";
}

std::string DeviceLabel(const BackdoorRequest& reply)
{
    CFramerReply f(reply);
    if (f.Word(BD_FRAMER_W_STATE) == 0)
        return "T1/E1 Device : No Device";
    uint32_t proto = f.Word(BD_FRAMER_W_PROTOTYPE);
    if (proto == 2 || proto == 3 || proto == 4 || proto == 7)
        return FormatText("T1/E1 Device : BrookTree 8370 Proto %u ", proto);
    return "T1/E1 Device : BrookTree 8370 Proto BAD ";
}

int PulseTemplateIndex(const BackdoorRequest& reply) { return (CFramerReply(reply).Reg(kTliuCr) >> 1) & 7; }

const char* RegisterName(unsigned reg) { return reg < kRegisters ? Names()[reg].c_str() : "Reserved"; }

// ---- receive ----

std::string ReceiveReport(const BackdoorRequest& reply, uint32_t sums[kRunningSums])
{
    CFramerReply f(reply);
    if (!f.Accepted())
        return Refusal(reply);
    auto pair = [&](unsigned low, uint8_t highMask) { return (f.Reg(low + 1) & highMask) * 256u + f.Reg(low); };
    const uint8_t aerr = f.Reg(kAerr);
    const struct {
        unsigned reg;
        const char* source;
        uint32_t count;
        unsigned overflow;
        const char* text;
    } counters[] = {
        {kAerr, "AERR", static_cast<uint32_t>(aerr >> 4), 109, "Receive Loss of Frame FRED"},
        {kAerr, "AERR", static_cast<uint32_t>(aerr & 3), 111, "Receive Severly Errored Frame SEF"},
        {kAerr, "AERR", static_cast<uint32_t>((aerr >> 2) & 3), 110, "Receive Change of Frame Alignment COFA"},
        {kFerr0, "FERR", pair(kFerr0, 0x0F), 116, "Receive Frame Bit Error (Ft/Fs/..)"},
        {kCerr0, "CERR", pair(kCerr0, 0x03), 115, "Receive CRC Error (E1 CRC4/T1 CRC6)"},
        {kLcv0, "LCV", pair(kLcv0, 0xFF), 114, "Receive Bipolar Violation"},
        {kFebe0, "FEBE", f.T1() ? 0u : pair(kFebe0, 0x03), 113, "Receive E1 Far End Block Error"},
        {kBerr0, "BERR", Bit(f.Reg(kRpatt), 4) ? pair(kBerr0, 0x0F) : 0u, 112, "Receive Bit Error Rate"},
    };
    std::string out = "              * * * RECEIVE ERROR COUNTERS STATUS * * * \r\n";
    for (size_t i = 0; i < std::size(counters); i++) {
        const auto& c = counters[i];
        out += FormatText("0x%x : Nb (Cnt %s) of %s : %u    Sum= %u    Ov= %u \r\n", c.reg, c.source, c.text, c.count,
                      sums[i], f.Word(c.overflow));
        sums[i] += c.count;
    }
    // The driver keeps ISR5's counts from word 101 with bit 0x80 first, ISR0's from word
    // 189 with bit 0x20 first; each line's mask is the bit of its word.
    static const Source kSources[] = {
        {"RLOF", kIsr7, 0x02, 141, true, "Receive Loss of Frame", false},
        {"RLOS", kIsr7, 0x04, 137, true, "Receive Loss of Signal", false},
        {"RALOS", kIsr7, 0x08, 133, true, "Receive Analog Loss of Signal", false},
        {"RAIS", kIsr7, 0x10, 129, true, "Receive Alarm Indicator Signal", false},
        {"RPDV", kIsr7, 0x20, 125, true, "Receive Pulse Density Violation", false},
        {"RYEL", kIsr7, 0x40, 121, true, "Receive Yellow Alarm", false},
        {"RMYEL", kIsr7, 0x80, 117, true, "Receive MultiFrame Yellow Alarm", false},
        {"SIGFRZ", kIsr7, 0x01, 145, true, "Signalling Freeze", false},
        {"RSLIP", kIsr5, 0x40, 102, false, "Receive Slip Error", false},
        {"nFRAME", kIsr5, 0x01, 108, false, "Receive Frame Bit Error (Ft/Fs/..)", false},
        {"CERR", kIsr5, 0x08, 105, false, "Receive CRC Error (E1 CRC4/T1 CRC6)", false},
        {"RFRAME", kIsr3, 0x01, 188, false, "Receive Frame Boundary", false},
        {"RMF", kIsr3, 0x02, 187, false, "Receive Multiframe Frame Boundary", false},
        {"RMSYNC", kIsr3, 0x04, 186, false, "Receive System Bus Multiframe Sync", false},
        {"RSIG", kIsr3, 0x08, 185, false, "Receive Signalling Stack", false},
        {"MERR", kIsr5, 0x02, 107, false, "Receive E1 MFAS Pattern Error", true},
        {"SERR", kIsr5, 0x04, 106, false, "Receive E1 CAS Pattern Error", true},
        {"LOOPUP", kIsr6, 0x40, 153, true, "Inband Loopback Activate Code", false},
        {"LOOPDN", kIsr6, 0x80, 149, true, "Inband Loopback DeActivate Code", false},
    };
    out += "              * * * RECEIVE INTERRUPTS STATUS * * * \r\n";
    InterruptLines(out, f, kSources, std::size(kSources));
    return out;
}

// ---- transmit ----

std::string TransmitReport(const BackdoorRequest& reply)
{
    CFramerReply f(reply);
    if (!f.Accepted())
        return Refusal(reply);
    static const Source kSources[] = {
        {"TFERR", kIsr0, 0x01, 194, false, "Transmit Frame Bit Error (Ft/Fs/..)", false},
        {"TCERR", kIsr0, 0x08, 191, false, "Transmit CRC Error (E1 CRC4/T1 CRC6)", false},
        {"TSLIP", kIsr5, 0x80, 101, false, "Transmit Slip Error", false},
        {"TLOF", kIsr6, 0x02, 173, true, "Transmit Loss of Frame", false},
        {"TLOS", kIsr6, 0x04, 169, true, "Transmit Loss of Signal", false},
        {"TLOC", kIsr6, 0x08, 165, true, "Transmit Clock", false},
        {"TSHORT", kIsr6, 0x10, 161, true, "Transmit Short Circuit", false},
        {"TPDV", kIsr6, 0x20, 157, true, "Transmit Pulse Density Violation", false},
        {"TFRAME", kIsr3, 0x10, 184, false, "Transmit Frame", true},
        {"TMF", kIsr3, 0x20, 183, false, "Transmit MultiFrame", true},
        {"TMSYNC", kIsr3, 0x40, 182, false, "Transmit System Bus MultiFrame Sync", true},
        {"TSIG", kIsr3, 0x80, 181, false, "Transmit Signalling MultiFrame", true},
        {"TMERR", kIsr0, 0x02, 193, false, "Transmit E1 MFAS Pattern Error", true},
        {"TSERR", kIsr0, 0x04, 192, false, "Transmit E1 CAS Pattern Error", true},
    };
    std::string out = "              * * * TRANSMIT INTERRUPTS STATUS * * * \r\n";
    InterruptLines(out, f, kSources, std::size(kSources));
    return out;
}

// ---- real-time status ----

std::string StatusReport(const BackdoorRequest& reply)
{
    CFramerReply f(reply);
    if (!f.Accepted())
        return Refusal(reply);
    std::string out = "              * * * REAL TIME STATUS * * * \r\n";
    const struct {
        unsigned reg;
        unsigned bit;
        const char* text;
    } alarms[] = {
        {kAlm1, 7, "Receive MultiFrame Yellow Alarm"},
        {kAlm1, 6, "Receive Yellow Alarm"},
        {kAlm1, 4, "Receive Alarm Indication Signal"},
        {kAlm1, 3, "Receive Analog Loss of Signal"},
        {kAlm1, 2, "Receive Loss of Signal"},
        {kAlm1, 1, "Receive Loss of Frame Alignment"},
        {kAlm1, 0, "Receive Signalling Freeze"},
        {kAlm2, 7, "Inband Loopback LOOPDN code detected"},
        {kAlm2, 6, "Inband Loopback LOOPUP code detected"},
        {kAlm2, 4, "Transmit Short Circuit"},
        {kAlm2, 3, "Transmit Loss of Clock - no clock TCKI pin"},
        {kAlm2, 2, "Transmit Loss of Signal"},
        {kAlm2, 1, "Transmit Loss of Frame Alignment"},
        {kAlm3, 6, "Receive TS16 Alarm Indication Signal"},
        {kAlm3, 5, "Severely Errored Frame"},
        {kAlm3, 4, "Loss of CAS Alignment"},
        {kAlm3, 3, "Loss of MFAS Alignment"},
        {kAlm3, 2, "Loss of Frame Alignment"},
    };
    static const char* const kReasons[] = {"3 consecutive FAS patterns errors", "3 consecutive NFAS patterns errors",
                                           "915 <= CRC4 error", "8ms timeout while searching for MFAS"};
    for (const auto& a : alarms) {
        uint8_t v = f.Reg(a.reg);
        if (!Bit(v, a.bit))
            continue;
        out += FormatText("0x%x : %s (0x%x)   \r\n", a.reg, a.text, v);
        if (a.reg == kAlm3 && a.bit == 2)
            out += FormatText("0x%x : Reason for Loss of Frame Alignment : %s (0x%x)   \r\n", a.reg, kReasons[v & 3],
                          v & 3);
    }
    static const Source kSources[] = {
        {"RFRAME", kIsr3, 0x01, 188, false, "Receive Frame Boudary", false},
        {"RMF", kIsr3, 0x02, 187, false, "Receive MultiFrame Boudary", false},
        {"RMSYNC", kIsr3, 0x04, 186, false, "Receive System Bus MultiFrame Sync", false},
        {"RSIG", kIsr3, 0x08, 185, false, "Receive Signalling Stack", false},
        {"TFRAME", kIsr3, 0x10, 184, false, "Transmit Frame", true},
        {"TMF", kIsr3, 0x20, 183, false, "Transmit MultiFrame", true},
        {"TMSYNC", kIsr3, 0x40, 182, false, "Transmit System Bus MultiFrame Sync", true},
        {"TSIG", kIsr3, 0x80, 181, false, "Transmit Siganlinf MultiFrame", true},
    };
    InterruptLines(out, f, kSources, std::size(kSources));
    return out;
}

// ---- device status ----

std::string OthersReport(const BackdoorRequest& reply)
{
    CFramerReply f(reply);
    if (!f.Accepted())
        return Refusal(reply);
    const uint32_t dev = f.Word(BD_FRAMER_W_LINE);
    std::string out = "              * * * DEVICE STATUS * * * \r\n";
    out += FormatText("Status of Device [%u] : PCI Address Device Register 0x00 (DID) 0x%x \r\n", dev, f.Reg(kDid));
    out += FormatText(Bit(f.Reg(kPcr0), 0) ? "Status of Device [%u] : T1 1.544 MHz line rate \r\n"
                                       : "Status of Device [%u] : E1 2.048 MHz line rate \r\n",
                  dev);
    uint32_t real = f.Word(kWordReal), used = f.Word(kWordRealUsed);
    if (real == 1 && used == 1)
        out += FormatText("Status of Device [%u] : Real Device Used \r\n", dev);
    else if (real == 1 && used == 0)
        out += FormatText("Status of Device [%u] : Real Device NOT Used \r\n", dev);
    else if (real == 0 && used <= 1)
        out += FormatText("Status of Device [%u] : Bad Device  \r\n", dev);
    out += FormatText("Status of Device [%u] : Number of reset used %u \r\n", dev, f.Word(BD_FRAMER_W_RESETS));
    static const char* const kStates[] = {
        "No Bt8370 Present                   (BT8370_PRESENT_OFF 0x%x)  \r\n",
        "Bt8370 Present                      (BT8370_PRESENT_ON 0x%x)  \r\n",
        "1st Reset Process Failed            (RESET_STEP1_PASSED_OFF 0x%x)  \r\n",
        "1st Reset Process Passed            (RESET_STEP1_PASSED_ON 0x%x)  \r\n",
        "2nd Reset Process Failed            (RESET_STEP2_PASSED_OFF 0x%x)  \r\n",
        "2nd Resed Process Passed            (RESET_STEP2_PASSED_ON (0x%x)  \r\n",
        "No RX Analog Signal                 (RX_ANALOG_SIGNAL_OFF 0x%x)  \r\n",
        "RX Analog Signal                    (RX_ANALOG_SIGNAL_ON 0x%x)  \r\n",
        "Not Synchronized to Network         (SYNCHRONIZED_OFF 0x%x)  \r\n",
        "Synchronized to Network             (SYNCHRONIZED_ON 0x%x)  \r\n",
    };
    uint32_t state = f.Word(BD_FRAMER_W_STATE);
    out += FormatText("Status of Device [%u] : ", dev);
    out += state < std::size(kStates) ? FormatText(kStates[state], state) : FormatText("BAD STATE (0x%x) \r\n", state);
    out += FormatText(f.Word(BD_FRAMER_W_MASTER) != 0 ? "Status of Device [%u] : Master \r\n"
                                                  : "Status of Device [%u] : Slave \r\n",
                  dev);
    const uint32_t i431 = f.Word(kWordI431), inband = f.Word(BD_FRAMER_W_INBAND);
    const std::string i431Line =
        FormatText(i431 != 0 ? "Status of Device [%u] : I.431 Layer1<->Layer2/3 ON  (0x%x) \r\n"
                         : "Status of Device [%u] : I.431 Layer1<->Layer2/3 OFF  (0x%x) \r\n",
               dev, i431);
    out += i431Line;
    out += FormatText(inband != 0 ? "Status of Device [%u] : In Band Signalling (0x%x) \r\n"
                              : "Status of Device [%u] : Out Band Signalling (0x%x) \r\n",
                  dev, inband);
    const uint32_t running = f.Word(kWordStackRunning);
    if (f.Word(kWordStackFrozen) == 0)
        out += FormatText(running != 0 ? "Status of Device [%u] : Stack ON  (0x%x) \r\n"
                                   : "Status of Device [%u] : Stack OFF  (0x%x) \r\n",
                      dev, running);
    else
        out += FormatText(running != 0 ? "Status of Device [%u] : Stack ON  Frozen (0x%x) \r\n"
                                   : "Status of Device [%u] : Stack OFF Frozen (0x%x) \r\n",
                      dev, running);
    const uint32_t sensitivity = f.Word(kWordSensitivity);
    const std::string sensitivityLine =
        FormatText("Status of Device [%u] : Sensibilty for Ph-Deactivate %s (%u)   \r\n", dev,
               sensitivity != 0 ? "HIGH" : "LOW", sensitivity);
    const uint32_t up = f.Word(BD_FRAMER_W_PH_ACTIVATE), down = f.Word(BD_FRAMER_W_PH_DEACTIVATE);
    if (i431 != 0) {
        out += FormatText("Status of Device [%u] : Number of PH-ACTIVATE   %u   \r\n", dev, up);
        out += FormatText("Status of Device [%u] : Number of PH-DEACTIVATE %u   \r\n", dev, down);
        out += sensitivityLine;
        out += i431Line;
        if (!Bit(f.Reg(kJatCr), 6)) {
            static const char* const kI431States[] = {
                "Power Off              (I431STATE_F0)", "Operational            (I431STATE_F1)",
                "Fault Condition 1      (I431STATE_F2)", "Fault Condition 2      (I431STATE_F3)",
                "Fault Condition 3      (I431STATE_F4)", "Fault Condition 4      (I431STATE_F5)",
                "Power On at user side  (I431STATE_F6)",
            };
            static const char* const kI431Events[] = {
                "I431EVENT_LOSS_OF_TE_POWER",         "I431EVENT_RETURN_OF_TE_POWER",
                "I431EVENT_OPERATIONAL_FRAMES_FROM_NT", "I431EVENT_RECEPTION_OF_RAI",
                "I431EVENT_LOSS_OF_SIGNAL",           "I431EVENT_LOSS_OF_FRAME_ALIGNMENT",
                "I431EVENT_RECEPTION_OF_AIS",         "I431EVENT_RAI_AND_CONTINUOUS_CRC_ERRORS",
            };
            const char* st = Pick(kI431States, std::size(kI431States), f.Word(kWordI431State), 240, nullptr);
            out += st != nullptr ? FormatText("Status of Device [%u] : I.431 State %s \r\n", dev, st)
                                 : FormatText("Status of Device [%u] : I.431 State Bad state \r\n", dev);
            const char* ev = Pick(kI431Events, std::size(kI431Events), f.Word(kWordI431Event), 0, nullptr);
            out += ev != nullptr ? FormatText("Status of Device [%u] : I.431 Event %s \r\n", dev, ev)
                                 : FormatText("Status of Device [%u] : I.431 Event  Bad Event \r\n", dev);
        }
    } else {
        const unsigned upMs = inband != 0 ? 5000 : 500, downMs = inband != 0 ? 250 : 300;
        out += FormatText("Status of Device [%u] : Number of PH-ACTIVATE   %u   (Debounce %u ms) \r\n", dev, up, upMs);
        out += FormatText("Status of Device [%u] : Number of PH-DEACTIVATE %u   (Debounce %u ms) \r\n", dev, down, downMs);
        out += sensitivityLine;
    }
    out += "              * * * OTHER INTERRUPTS STATUS * * * \r\n";
    out += FormatText("Nb of bad IRR : %u    \r\n", f.Word(kWordBadIrr));
    static const Source kSources[] = {
        {"JERR", 0x008, 0x10, 104, false, "Receive Jitter Attenuator Elastic Strore Limit Error", false},
        {"CKERR", 0x008, 0x20, 103, false, "Receive CLAD / JCLK Error", false},
    };
    InterruptLines(out, f, kSources, std::size(kSources));
    const uint8_t perr = f.Reg(kPerr);
    const struct {
        unsigned bit;
        const char* what;
    } parity[] = {{2, "TPC (Transmit)"}, {1, "RPC (Receive)"}, {0, "SPC (Conrol)"}};
    for (const auto& p : parity)
        out += FormatText(Bit(perr, p.bit) ? "0x%x : (Reg PERR) %s RAM Parity Error has occured (at least %d)    \r\n"
                                       : "0x%x : (Reg PERR) %s NO RAM Parity Error has occured (%d)    \r\n",
                      kPerr, p.what, perr);
    static const Source kOneSecond[] = {{"ONESEC", kIsr6, 0x01, 177, true, "One Second Timer Event", false}};
    InterruptLines(out, f, kOneSecond, 1);
    return out;
}

// ---- statistics ----

std::string StatisticsReport(const BackdoorRequest& reply)
{
    CFramerReply f(reply);
    if (!f.Accepted())
        return Refusal(reply);
    auto line = [](const char* text, unsigned reg, unsigned value) {
        return FormatText("0x%x : %s (0x%x)    \r\n", reg, text, value);
    };
    const uint8_t fstat = f.Reg(kFstat), sbi = f.Reg(kSbiCr), rcr0 = f.Reg(kRcr0), pio = f.Reg(kPio),
                  tcr1 = f.Reg(kTcr1), tsb = f.Reg(kTsbCr), rstat = f.Reg(kRstat), sstat = f.Reg(kSstat);
    std::string out = "     \r\n";
    out += "              * * * STATISTICS STATUS * * * \r\n";
    out += "              * * * FRAMING * * * \r\n";
    if (Bit(fstat, 0))
        out += line("RX Off Line Framer Search in RPCMO", kFstat, fstat);
    else if (Bit(sbi, 4))
        out += line("TX Off Line Framer Search in TNRZ (EMBED=1)", kFstat, fstat);
    else
        out += line("TX Off Line Framer Search in TPCMI (EMBED=0)", kFstat, fstat);
    out += Bit(fstat, 1) ? line("ACTIVE (1) : Off Line Framer Active (Search Alignment)", kFstat, fstat)
                         : line("ACTIVE (0) : Off Line Framer Inactive (Search completed or aborted or timed out)",
                                kFstat, fstat);
    out += Bit(fstat, 4)
               ? FormatText("0x%x : INVALID (1) : NO Frame Alignment Found (0x%x) (0x%x)    \r\n", kFstat, fstat, fstat & 0x10)
               : line("INVALID (0) : Search active or aborted or timed out or found", kFstat, fstat);
    out += Bit(fstat, 3) ? FormatText("0x%x : FOUND (1) : Frame Alignment Found \r\n", kFstat)
                         : FormatText("0x%x : FOUND (0) : NO Frame Alignment Found yet \r\n", kFstat);
    out += Bit(fstat, 2) ? line("TIMEOUT (1) : Frame Search Timeout", kFstat, fstat)
                         : line("TIMEOUT (0) : NO Frame Search Timeout yet", kFstat, fstat);
    out += Bit(rcr0, 7)  ? line("RAMI ON AMI Line format", kRcr0, rcr0)
           : f.T1()      ? line("RAMI OFF Receive B8ZS(T1) Line format", kRcr0, rcr0)
                         : line("RAMI OFF Receive HDB3(E1) Line format", kRcr0, rcr0);
    out += line(Bit(rcr0, 6) ? "RABORT ON Framer disabled" : "RABORT OFF Normal framer operation", kRcr0, rcr0);
    out += line(Bit(rcr0, 5) ? "RFORCE ON Force RX reframe" : "RFORCE OFF No effect", kRcr0, rcr0);
    const char* const syncs[] = {"RFSYNC", "RMSYNC", "TFSYNC", "TMSYNC"};
    for (unsigned i = 0; i < 4; i++)
        out += FormatText("0x%x : %s %s (0x%x)    \r\n", kPio, syncs[i], Bit(pio, 3 - i) ? "Output" : "Input", pio);
    out += line(Bit(tcr1, 6) ? "TABORT ON Framer disabled" : "TABORT OFF Normal framer operation", kTcr1, tcr1);
    out += line(Bit(tcr1, 5) ? "TFORCE ON Force TX reframe" : "TFORCE OFF No effect", kTcr1, tcr1);
    out += FormatText("     : Others EMBED=%d  TX_ALIGN=%d  TSB_ALIGN=%d    \r\n", Bit(sbi, 4) ? 1 : 0,
                  Bit(tsb, 6) ? 1 : 0, Bit(tsb, 3) ? 1 : 0);

    // Receive line interface: RSTAT bits 7-5 the jitter attenuator and clock state, bit 4
    // a zero-code substitution seen, bits 3-2 excess zeros, bit 1 a bipolar violation,
    // bit 0 the receiver's signal lock.
    out += "              * * * RECEIVE LINE INTERFACE UNIT  * * * \r\n";
    static const char* const kJitter[] = {"CPDERR/JMPTY No error",        "CPDERR/JMPTY JCLK Acceleration",
                                          "CPDERR/JMPTY JAT Overflow",    "CPDERR/JMPTY JCLK Deceleration",
                                          "CPDERR/JMPTY JAT Underrun",    "CPDERR/JMPTY Clad loss of lock"};
    unsigned jitter = (rstat >> 5) & 7;
    out += line(kJitter[jitter < 6 ? jitter : 5], kRstat, rstat);
    out += line(!Bit(rstat, 4) ? "ZCSUB No ZCS pattern detected"
                : f.T1()       ? "ZCSUB B8ZS pattern detected"
                               : "ZCSUB HDB3 pattern detected",
                kRstat, rstat);
    static const char* const kZeros[] = {"EXZ No error", "EXZ 10 consecutive zeros", "EXZ 16 consecutive zeros",
                                         "EXZ 8 consecutive zeros"};
    out += line(kZeros[(rstat >> 2) & 3], kRstat, rstat);
    const bool ami = Bit(rcr0, 7), searching = Bit(fstat, 0);
    const char* bpv = !Bit(rstat, 1) ? "BPV No error"
                      : !f.T1()      ? (ami ? "BPV Code violation 2 consecutive BPV of same polarity"
                                            : "BPV All BPVs, included HDB3 coded BPV")
                      : (ami || searching) ? "BPV All BPVs, included B8ZS coded BPV"
                                           : "BPV Only BPVs that are not part of B8ZS";
    out += line(bpv, kRstat, rstat);
    const bool adaptive = f.Word(BD_FRAMER_W_PROTOTYPE) >= 4;
    const char* eye = adaptive ? (Bit(rstat, 0) ? "EYEOPEN Valid signal, RPLL locked"
                                                : "EYEOPEN Attempting siganl acquisition")
                               : (Bit(rstat, 0) ? "EYEOPEN Start adaptation" : "EYEOPEN Fail signal acquisition");
    out += FormatText("0x%x : %s  (0x%x)    \r\n", kRstat, eye, rstat);

    // Slip buffers: SSTAT bit 7 TSDIR, bits 6-5 TFSLIP, bit 4 RSDIR, bits 3-2 RFSLIP.
    out += "              * * * SLIP BUFFERS  * * * \r\n";
    out += line(Bit(sstat, 7) ? "TSDIR TSLIP error deleted 1 frame on TX data output"
                              : "TSDIR TSLIP error repeated 1 frame on TX data output",
                kSstat, sstat);
    static const char* const kTslip[] = {
        "TFSLIP (Normal mode) TSLIP Event : NONE", "TFSLIP (Normal mode) TSLIP Event : FSLIP Controlled frame slip",
        "TFSLIP (Normal mode) TSLIP Event : USLIP UnControlled frame slip",
        "TFSLIP (Normal mode) TSLIP Event : FSLIP+USLIP Un/Controlled frame slip"};
    out += line(kTslip[(sstat >> 5) & 3], kSstat, sstat);
    out += Bit(sstat, 4)
               ? line("RSDIR RSLIP error deleted 1 frame on RPCMO or SBI resync detected", kSstat, sstat)
               : FormatText("0x%x : RSDIR RSLIP error repeated 1 frame on RPCMO or SBI timeslot reassigned  (0x%x)    \r\n",
                        kSstat, sstat);
    static const char* const kRslip[] = {
        "RFSLIP (Normal mode) RSLIP Event : NONE", "RFSLIP (Normal mode) RSLIP Event : FSLIP Controlled frame slip",
        "RFSLIP (Normal mode) RSLIP Event : USLIP UnControlled frame slip",
        "RFSLIP (Normal mode) RSLIP Event : BAD EVENT"};
    out += line(kRslip[(sstat >> 2) & 3], kSstat, sstat);
    out += FormatText("0x%x : RSLIP Buffer Delay : Diff between RX and RSB timebase in TS intervals : %d    \r\n", kRphase,
                  f.Reg(kRphase) >> 2);
    out += FormatText("0x%x : TSLIP Buffer Delay : Diff between TSB and TX timebase in TS intervals : %d    \r\n", kTphase,
                  f.Reg(kTphase) >> 2);
    return out;
}

// ---- dump ----

std::string DumpFileName(const BackdoorRequest& reply)
{
    uint32_t dev = CFramerReply(reply).Word(BD_FRAMER_W_LINE);
    return FormatText("BT8370DP%u.TXT", dev >= 1 && dev <= 3 ? dev : 0);
}

std::string AsctimeText(const std::tm& t)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = t.tm_wday >= 0 && t.tm_wday < 7 ? kDays[t.tm_wday] : "???";
    const char* month = t.tm_mon >= 0 && t.tm_mon < 12 ? kMonths[t.tm_mon] : "???";
    return FormatText("%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", day, month, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                      t.tm_year + 1900);
}

std::string DumpReport(const BackdoorRequest& reply, const std::string& date)
{
    CFramerReply f(reply);
    if (!f.Accepted())
        return Refusal(reply);
    const uint32_t dev = f.Word(BD_FRAMER_W_LINE);
    std::string out = FormatText("* * * DUMP Device[%u] to File : BT8370DP%u.TXT * * * [of %.64s] \r\n", dev, dev,
                             date.c_str());
    out += " \r\n";
    for (unsigned r = 0; r < kRegisters; r++)
        out += FormatText("Bt8370[%u]    Reg 0x%x = 0x%x       %s \r\n", dev, r, f.Reg(r), RegisterName(r));
    out += " \r\n";
    return out;
}

// ---- robbed-bit signalling ----

std::string NoRbsNotice()
{
    const char* stars = "         ************************************************************* \r\n";
    return std::string("     \r\n") + stars + "              !!!!   NO ROBBED BIT SIGNALLING ON THIS LINK    !!!!\r\n" +
           stars;
}

std::string RbsReport(const BackdoorRequest& rbsReply)
{
    if (rbsReply.Status != 0)
        return Refusal(rbsReply);
    const CReplyData rec = Segment(rbsReply, 0);
    auto w = [&](size_t word) { return SegmentWord(rec, word); };
    const uint32_t group = w(BD_RBS_W_GROUP), period = w(BD_RBS_W_PERIOD);
    std::string out = "                             * * * ROBBED BIT SIGNALLING * * * \r\n";
    out += "     \r\n";
    out += "                             GROUP \r\n";
    out += FormatText("RBS[%u]: Group used %u  \r\n", group, group);
    static const char* const kModes[] = {"RBS_MONITORED_BY_INTERRUPT_RSIG", "RBS_MONITORED_BY_POLLING_SYNCTOLINE",
                                         "RBS_MONITORED_BY_POLLING_FREERUNNING"};
    if (const char* m = Pick(kModes, 3, w(BD_RBS_W_MONITORING), 3, nullptr))
        out += FormatText("RBS[%u]: Monitoring %s (at %u ms) \r\n", group, m, period);
    else
        out += FormatText("RBS[%u]: Monitoring BAD \r\n", group);
    static const char* const kDirections[] = {"RBS_NETWORK_TO_CI", "RBS_CI_TO_NETWORK"};
    out += FormatText("RBS[%u]: Direction %s \r\n", group, Pick(kDirections, 2, w(BD_RBS_W_DIRECTION), 3, "BAD"));
    static const char* const kStatuses[] = {"RBS_INIT_FAILED", "RBS_INIT_OK", "RBS_DEACTIVE", "RBS_ACTIVE",
                                            "RBS_FROZEN"};
    out += FormatText("RBS[%u]: Status %s \r\n", group, Pick(kStatuses, 5, w(BD_RBS_W_STATUS), 3, "BAD"));
    out += FormatText("RBS[%u]: Stack Size %u (bytes) \r\n", group, w(BD_RBS_W_STACK_SIZE));

    static const char* const kMessages[] = {"NO_MESSAGE ",  "BAD_MESSAGE ",  "GO_ON_HOOK ",
                                            "GO_OFF_HOOK ", "TURN_ON_RING ", "TURN_OFF_RING "};
    static const char* const kStates[] = {
        "IDLE ",
        "ON_HOOK ",
        "OFF_HOOK ",
        "RING_ON ",
        "RING_OFF ",
        "INCALL_INIT ",
        "IC_PROTOCOL_PROG ",
        "IC_PROTOCOL_PROG_DELAY ",
        "IC_PROTOCOL_PROG_DURATION_ON ",
        "IC_PROTOCOL_PROG_DUR_OFF ",
        "IC_PROTOCOL_PASS ",
        "IC_PROTOCOL_FAIL ",
        "IC_CALL_TO_UPPERLAYER_ADD ",
        "IC_CALL_TO_UPPERLAYER_ACK ",
        "IC_CONNECT_ADD_TO_UPPERLAYER ",
        "IC_DISCONNECT_ADD_TO_UPPERLAYER ",
        "IC_CONNECTED ",
        "IC_DISCONNECTED ",
        "IC_DISC_BY_TIMEOUT ",
    };
    auto ch = [&](uint32_t c, uint32_t field) { return w(BD_RBS_W_CHANNELS + c * BD_RBS_CHANNEL_WORDS + field); };
    out += "                             CHANNELS \r\n";
    for (uint32_t c = 0; c < BD_RBS_CHANNELS; c++) {
        out += FormatText("RBS[%u,%u]: ", group, c);
        out += FormatText("RxSig = 0x%x ", ch(c, BD_RBS_CH_RX_BITS));
        out += Pick(kMessages, std::size(kMessages), ch(c, BD_RBS_CH_RX_MESSAGE), 2, "BADMessageIn ");
        out += "  |  ";
        out += FormatText("TxSig = 0x%x ", ch(c, BD_RBS_CH_TX_BITS));
        out += Pick(kMessages, std::size(kMessages), ch(c, BD_RBS_CH_TX_MESSAGE), 2, "BADMessageOut ");
        out += Pick(kStates, std::size(kStates), ch(c, BD_RBS_CH_STATE), 2, "BADStatus ");
        out += "\r\n";
    }
    static const char* const kTypes[] = {"LOOP_START ",       "LOOP_START_RLFC ",  "GROUND_START ",
                                         "GROUND_START__RLFC ", "LOOP_REV_BATT ",   "NETWORK_REV_BATT ",
                                         "E&M ",              "DPO_REV_BATT ",     "DPT_REV_BATT ",
                                         "FXO_LOOP_START ",   "FXS_LOOP_START ",   "FXO_GROUND_START ",
                                         "FXS_GROUND_START ", "CUSTOM "};
    static const char* const kBearers[] = {"SPEECH ",
                                           "56_KBPS ",
                                           "3_1_KHZ ",
                                           "7_KHZ ",
                                           "56_PERMISIVE_SPEECH ",
                                           "56_PERMISIVE_3_1_KHZ ",
                                           "56_PERMISIVE_56_KBPS ",
                                           "CUSTOM "};
    const uint32_t wink[3] = {w(BD_RBS_W_WINK) * period, w(BD_RBS_W_WINK + 1) * period,
                              w(BD_RBS_W_WINK + 2) * period};
    for (uint32_t c = 0; c < BD_RBS_CHANNELS; c++) {
        out += FormatText(ch(c, BD_RBS_CH_ENABLED) != 0 ? "RBS[%u,%u]: Enb " : "RBS[%u,%u]: Dis ", group, c);
        out += Pick(kTypes, std::size(kTypes), ch(c, BD_RBS_CH_SIGNALLING_TYPE), 3, "BADType ");
        out += Pick(kBearers, std::size(kBearers), ch(c, BD_RBS_CH_BEARER), 2, "BADBearer ");
        out += ch(c, BD_RBS_CH_ISDN) != 0 ? "Isdn " : "Analog ";
        out += ch(c, BD_RBS_CH_ORIGINATING) != 0 ? "Org " : "Ans ";
        switch (ch(c, BD_RBS_CH_PROTOCOL)) {
        case 2: out += "NO_PROTOCOL "; break;
        case 3: out += "AUTOMATIC "; break;
        case 4: out += FormatText("WINK_START (-%u) (+%u) (-%u) ", wink[0], wink[1], wink[2]); break;
        case 5: out += "IMMEDIAT_DIAL "; break;
        case 6: out += "DELAY_DIAL "; break;
        case 7: out += FormatText("WINK_START_M60 (-%u) (+%u) (-%u) ", wink[0], wink[1], wink[2]); break;
        default: out += "BADProtocol "; break;
        }
        out += "\r\n";
    }

    // The traces: 16-bit entries two to a word, the first in the low half.
    auto entry = [&](uint32_t c, uint32_t trace, uint32_t i) -> uint16_t {
        uint32_t v = w(BD_RBS_W_TRACES + (c * BD_RBS_TRACES + trace) * BD_RBS_TRACE_WORDS + i / 2);
        return static_cast<uint16_t>(i % 2 == 0 ? v & 0xFFFF : v >> 16);
    };
    out += "                             TRACK ABCD BITS\r\n";
    for (uint32_t c = 1; c <= 24; c++) {
        const char* heads[] = {"RxA[%u](ms)= ", "TxA[%u](ms)= ", "Status[%u]= "};
        for (uint32_t t = 0; t < BD_RBS_TRACES; t++) {
            out += FormatText(heads[t], c);
            for (uint32_t i = 0; i < BD_RBS_TRACE_ENTRIES; i++) {
                uint16_t e = entry(c, t, i);
                if ((e & BD_RBS_TRACE_VALID) == 0)
                    break;
                if (i != 0 && i % 10 == 0)
                    out += "\r\n      ";
                if (t == BD_RBS_TRACE_STATE)
                    out += FormatText("->(%x)", e & 0x7FFF);
                else
                    out += FormatText((e & 0x4000) != 0 ? "+%u " : "-%u ", (e & 0x3FFFu) * period);
            }
            out += t == BD_RBS_TRACE_STATE ? "\r\n" : " \r\n";
        }
    }
    return out;
}

}  // namespace framer
