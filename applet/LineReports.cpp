#include "applet/LineReports.h"

#include "applet/Reports.h"
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "applet/ReplyReader.h"

namespace linereports {

const char* const kSendFailed = "ERROR: System Error calling Driver";
const char* const kViewSendFailed = "ERROR: System Error calling CallView InfoBlock";
const char* const kViewRefused = "ERROR: Driver indicated failure to load configuration";
const char* const kReplyIncomplete = "ERROR: Driver reply incomplete";

namespace {

std::string RefusedText(const BackdoorRequest& reply)
{
    return FormatText("The driver refused the request (status 0x%08X).", reply.Status);
}

// A page's failure text followed by the status the driver refused with.
std::string WithStatus(const char* text, const BackdoorRequest& reply)
{
    return FormatText("%s (status 0x%08X)", text, reply.Status);
}

}  // namespace

// ---- requests -------------------------------------------------------------------------

uint32_t HexValue(const std::string& text) { return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16)); }

void FillRequest(BackdoorRequest& r, uint32_t cls, uint32_t action, const std::vector<uint32_t>& args)
{
    r.Class = cls;
    r.Action = action;
    for (size_t i = 0; i < args.size() && i < 6; i++)
        r.Arg[i] = args[i];
}

SetupCheck FillSetupRequest(BackdoorRequest& r, uint32_t line, const SetupFields& f)
{
    if (f.number.empty())
        return SetupCheck::NoNumber;
    if (f.number.size() > static_cast<size_t>(kCallingNumberMax))
        return SetupCheck::NumberTooLong;
    FillRequest(r, 2, 22,
                {line, HexValue(f.callRefLength), HexValue(f.callRefValue), static_cast<uint32_t>(f.bearer),
                 static_cast<uint32_t>(f.channel + 1), static_cast<uint32_t>(f.exclusive)});
    r.Segment[0].Offset = kBackdoorHeaderSize;
    r.Segment[0].Length = static_cast<uint32_t>(f.number.size());
    for (size_t i = 0; i < f.number.size(); i++) {
        char c = f.number[i];
        int32_t v = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        uint32_t w = static_cast<uint32_t>(v);
        std::memcpy(r.Data + 4 * i, &w, 4);
    }
    return SetupCheck::Ok;
}

// ---- layer-3 test page ----------------------------------------------------------------

std::string CallViewText(const BackdoorRequest& reply, uint32_t line)
{
    CRecordReader rec(reply);
    if (!rec.Done())
        return ViewRefusedText(reply);
    CSegmentReader view = rec.Segment(0);
    const uint64_t table = 4 * 32;
    std::string text;
    for (int i = 0; i < kCallViewLinks; i++) {
        uint64_t at = uint64_t(line) * 32 + i;
        uint32_t channel, state, ref;
        if (line >= 4 || !view.Word(table + at, &channel) || !view.Word(2 * table + at, &state) ||
            !view.Word(4 * table + at, &ref))
            return text + kReplyIncomplete;
        if (channel == 100)
            text += FormatText("Link %d Inactive\r\n", i);
        else
            text += FormatText("Link %02d <-> Channel %02u - State U%02u - CRV %02X\r\n", i, channel, state, ref);
    }
    return text;
}

std::string L2L3StatisticsText(const BackdoorRequest& reply, int type)
{
    static const char* const kNames[] = {
        "SETUP Message (x05) ",      "ALERT Message (x01) ",    "CONNECT Message (x07) ",  "CONNECT ACK Message (x0F) ",
        "DISCONNECT Message (x45) ", "RELEASE Message (x4D) ",  "RELEASE COMPLETE (x5A) ", "RESTART Message (x46) ",
        "RESTART ACK (x4E) ",        "SERVICE ",                "SERVICE ACK ",
    };
    CRecordReader rec(reply);
    if (!rec.Done())
        return ViewRefusedText(reply);
    std::string text = "**********  LAYER 2 & 3 STATISTICS / ";
    text += type >= 0 && type < 11 ? kNames[type] : "MISC";
    text += FormatText(" (dat=%d)**********\r\n\r\n", type);
    CSegmentReader table = rec.Segment(2);
    uint64_t n = rec.Arg(1);
    for (int c = 1; c <= kStatisticsChannels; c++) {
        uint32_t tx, rx;
        // The stack keeps its rows by channel number: channel c's counters are row c.
        int64_t at = int64_t(n * c) + type;
        if (type < 0 || !table.Word(static_cast<uint64_t>(at), &tx) || !table.Word(static_cast<uint64_t>(at) + 12, &rx))
            return text + kReplyIncomplete;
        text += FormatText(" Channel %02d :   (TX)  %5d   /  (RX)  %5d\r\n", c, static_cast<int32_t>(tx),
                       static_cast<int32_t>(rx));
    }
    return text;
}

uint32_t TraceBlockCount(const BackdoorRequest& reply)
{
    CRecordReader rec(reply);
    if (!rec.Done())
        return 0;
    uint32_t blocks = rec.Arg(5);
    return blocks < kTraceBlocksMax ? blocks : kTraceBlocksMax;
}

std::string TraceBlockText(const BackdoorRequest& reply)
{
    static const char* const kMarks[] = {
        nullptr,
        "\r\n=====> From now on : Backup All Frames\r\n\r\n",
        "\r\n=====> From now on : Backup Layer 2 Frames\r\n\r\n",
        "\r\n=====> From now on : Backup Layer 3 Frames\r\n\r\n",
        "\r\n***  PH-ACTIVATE  ***\r\n\r\n",
        "\r\n***  PH-DEACTIVATE  ***\r\n\r\n",
        "\r\n<<< Layer 2 Awaiting Establish >>> \r\n\r\n",
        "\r\n<<< Layer 2 Established >>> \r\n\r\n",
        "\r\n<<< Layer 2 Awaiting Release >>> \r\n\r\n",
        "\r\n<<< Layer 2 Released >>> \r\n\r\n",
    };
    static const char* const kFrames[] = {"Ly2 TX : ", "Ly3 TX : ", "Ly2 RX : ", "Ly3 RX : ", "Small Frame RX : "};
    CRecordReader rec(reply);
    if (!rec.Done())
        return std::string();
    CSegmentReader block = rec.Segment(3);
    uint64_t size = rec.Arg(2), count = rec.Arg(4);
    std::string text;
    if (size == 0)
        return text;
    for (uint64_t e = 0; e < count; e++) {
        CSegmentReader entry = block.Sub(e * size, size);
        uint8_t type = 0, length = 0;
        if (entry.Size() < size || !entry.Byte(0, &type))
            break;  // the block ends inside the reply
        if (type >= 1 && type <= 9) {
            text += kMarks[type];
        } else if (type >= 10 && type <= 14) {
            text += kFrames[type - 10];
            entry.Byte(1, &length);
            // The frame's bytes follow its type and length inside the entry.
            if (length == 0 || size < 2 || length > size - 2) {
                text += "Frame Length Error !!!!!!!!!!!!\r\n";
                continue;
            }
            for (uint32_t i = 0; i < length; i++) {
                uint8_t b = 0;
                entry.Byte(2 + i, &b);
                text += FormatText("%02X ", b);
            }
            text += "\r\n";
        } else if (type == 15) {
            text += " -------------- TRACE END -----------\r\n\r\n ";
        } else {
            break;
        }
    }
    return text;
}

std::string TraceFileHeader(const std::string& file, const std::string& date)
{
    std::string stars(39, '*');
    return stars + "\r\n" + FormatText("** File : %s\r\n", file.c_str()) + FormatText("** Date : %s", date.c_str()) + stars +
           "\r\n\r\n";
}

std::string TraceBackupDoneText(bool periodic, const std::string& file, const std::string& time)
{
    return FormatText("%s Backup ...\r\nSignalling Stack Trace Backup to (%s)\r\nCompleted at %s\r\n",
                  periodic ? "PERIODIC" : "MANUAL", file.c_str(), time.c_str());
}

std::string TraceFileName(uint32_t line, char periodic)
{
    if (periodic == 0)
        return FormatText("C:\\Trace_P%u.txt", line + 1);
    return FormatText("C:\\Trace_P%u_%c.txt", line + 1, periodic);
}

std::string ViewRefusedText(const BackdoorRequest& reply) { return WithStatus(kViewRefused, reply); }

std::string FrameSentText(const BackdoorRequest& reply, const char* sent)
{
    return reply.Status == 0 ? sent : WithStatus("ERROR: Driver indicated failure to send frame", reply);
}

std::string TestModeText(const BackdoorRequest& reply, int testMode)
{
    if (reply.Status != 0)
        return WithStatus("ERROR: Driver indicated failure to enter in test mode", reply);
    return testMode ? "In Test mode" : "In Normal mode";
}

std::string FrameTypeText(const BackdoorRequest& reply)
{
    return reply.Status == 0 ? std::string()
                             : WithStatus("ERROR: Driver indicated failure updating Trace Backup Frame Type", reply);
}

// ---- link pages -----------------------------------------------------------------------

namespace {

struct Name {
    uint32_t value;
    const char* name;
};

const Name kDevStates[] = {
    {0x1, "LINEDEVSTATE_OTHER"},          {0x2, "LINEDEVSTATE_RINGING"},       {0x4, "LINEDEVSTATE_CONNECTED"},
    {0x8, "LINEDEVSTATE_DISCONNECTED"},   {0x10, "LINEDEVSTATE_MSGWAITON"},    {0x20, "LINEDEVSTATE_MSGWAITOFF"},
    {0x40, "LINEDEVSTATE_INSERVICE"},     {0x80, "LINEDEVSTATE_OUTOFSERVICE"}, {0x100, "LINEDEVSTATE_MAINTENANCE"},
    {0x200, "LINEDEVSTATE_OPEN"},         {0x400, "LINEDEVSTATE_CLOSE"},       {0x800, "LINEDEVSTATE_NUMCALLS"},
    {0x1000, "LINEDEVSTATE_NUMCOMPLETIONS"}, {0x2000, "LINEDEVSTATE_TERMINALS"}, {0x4000, "LINEDEVSTATE_ROAMMODE"},
    {0x8000, "LINEDEVSTATE_BATTERY"},     {0x10000, "LINEDEVSTATE_SIGNAL"},    {0x20000, "LINEDEVSTATE_DEVSPECIFIC"},
    {0x40000, "LINEDEVSTATE_REINIT"},     {0x80000, "LINEDEVSTATE_LOCK"},
};
const Name kAddressStates[] = {
    {0x1, "LINEADDRESSSTATE_OTHER"},     {0x2, "LINEADDRESSSTATE_DEVSPECIFIC"}, {0x4, "LINEADDRESSSTATE_INUSEZERO"},
    {0x8, "LINEADDRESSSTATE_INUSEONE"},  {0x10, "LINEADDRESSSTATE_INUSEMANY"},  {0x20, "LINEADDRESSSTATE_NUMCALLS"},
    {0x40, "LINEADDRESSSTATE_FORWARD"},  {0x80, "LINEADDRESSSTATE_TERMINALS"},  {0x100, "LINEADDRESSSTATE_CAPSCHANGE"},
};
const Name kCallStates[] = {
    {0x1, "LINECALLSTATE_IDLE"},          {0x2, "LINECALLSTATE_OFFERING"},         {0x4, "LINECALLSTATE_ACCEPTED"},
    {0x8, "LINECALLSTATE_DIALTONE"},      {0x10, "LINECALLSTATE_DIALING"},         {0x20, "LINECALLSTATE_RINGBACK"},
    {0x40, "LINECALLSTATE_BUSY"},         {0x80, "LINECALLSTATE_SPECIALINFO"},     {0x100, "LINECALLSTATE_CONNECTED"},
    {0x200, "LINECALLSTATE_PROCEEDING"},  {0x400, "LINECALLSTATE_ONHOLD"},         {0x800, "LINECALLSTATE_CONFERENCED"},
    {0x1000, "LINECALLSTATE_ONHOLDPENDCONF"}, {0x2000, "LINECALLSTATE_ONHOLDPENDTRANSFER"},
    {0x4000, "LINECALLSTATE_DISCONNECTED"}, {0x8000, "LINECALLSTATE_UNKNOWN"},
};
const Name kMediaModes[] = {
    {0x2, "LINEMEDIAMODE_UNKNOWN"},     {0x4, "LINEMEDIAMODE_INTERACTIVEVOICE"}, {0x8, "LINEMEDIAMODE_AUTOMATEDVOICE"},
    {0x10, "LINEMEDIAMODE_DATAMODEM"},  {0x20, "LINEMEDIAMODE_G3FAX"},           {0x40, "LINEMEDIAMODE_TDD"},
    {0x80, "LINEMEDIAMODE_G4FAX"},      {0x100, "LINEMEDIAMODE_DIGITALDATA"},    {0x200, "LINEMEDIAMODE_TELETEX"},
    {0x400, "LINEMEDIAMODE_VIDEOTEX"},  {0x800, "LINEMEDIAMODE_TELEX"},          {0x1000, "LINEMEDIAMODE_MIXED"},
    {0x2000, "LINEMEDIAMODE_ADSI"},
};
const Name kBearerModes[] = {
    {0x1, "LINEBEARERMODE_VOICE"}, {0x2, "LINEBEARERMODE_SPEECH"},        {0x4, "LINEBEARERMODE_MULTIUSE"},
    {0x8, "LINEBEARERMODE_DATA"},  {0x10, "LINEBEARERMODE_ALTSPEECHDATA"}, {0x20, "LINEBEARERMODE_NONCALLSIGNALING"},
};

template <size_t N>
std::string Named(const Name (&names)[N], uint32_t value, const char* prefix, const char* unknown)
{
    for (const Name& n : names)
        if (n.value == value)
            return std::string(prefix) + n.name + "\r\n";
    return std::string(prefix) + FormatText(unknown, value);
}

std::string Choice(uint32_t value, const std::vector<const char*>& texts, const char* unknown)
{
    if (value < texts.size())
        return texts[value];
    return FormatText(unknown, static_cast<int32_t>(value));
}

// 40 words, one character each, up to the first 0; what is not printable shows as '?'.
std::string NumberText(const CSegmentReader& dump, uint64_t first)
{
    std::string s;
    for (uint64_t i = 0; i < 40; i++) {
        uint32_t w = 0;
        if (!dump.Word(first + i, &w) || (w & 0xFF) == 0)
            break;
        char c = static_cast<char>(w & 0xFF);
        s += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return s;
}

const char* const kCounterNames[] = {
    "NumRxFrameAborts", "NumRxOverRun",        "NumBadCRC",      "NumSendReq",         "NumSendCompleteInd",
    "NumReceiveCompleteInd", "NumReceiveComplete", "NumRxOverSized", "NumChangeOfFrameAlign", "NumOutOfFrame",
    "NumAlignError",    "NumReceiveGood",      "NumVerifySuccess", "NumVerifyFail",    "NumUnknownRxError",
    "NumBytesIn",       "NumBytesOut",
};
const char* const kEventNames[] = {
    "EVENT_NONE",     "EVENT_SACK",      "EVENT_EOB",       "EVENT_EOM",       "EVENT_EOP",      "EVENT_CHABT",
    "EVENT_CHIC",     "EVENT_FREC",      "EVENT_SINC",      "EVENT_SDEC",      "EVENT_SFILT",    "EVENT_UNKNOWN",
    "IRQERROR_NONE",  "IRQERROR_BUFF",   "IRQERROR_COFA",   "IRQERROR_ONR",    "IRQERROR_PROT",  "IRQERROR_RSVD5",
    "IRQERROR_RSVD6", "IRQERROR_RSVD7",  "IRQERROR_OOF",    "IRQERROR_FCS",    "IRQERROR_ALIGN", "IRQERROR_ABT",
    "IRQERROR_LNG",   "IRQERROR_SHT",    "IRQERROR_SUERR",  "IRQERROR_UNKNOWN", "IRQILOST",      "IRQPERR",
};

}  // namespace

std::string LinkDumpText(const BackdoorRequest& reply)
{
    CRecordReader rec(reply);
    if (!rec.Done())
        return RefusedText(reply);
    CSegmentReader d = rec.Segment(0);
    if (!d.HasWords(0, 134))
        return kReplyIncomplete;
    auto w = [&](uint64_t i) {
        uint32_t v = 0;
        d.Word(i, &v);
        return v;
    };
    auto flag = [&](const char* name, uint64_t i) { return FormatText("%s = %s\r\n", name, w(i) ? "True" : "False"); };
    std::string t;
    t += Choice(w(0),
                {"CurrentOwner = OWNER_NONE\r\n", "CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM\r\n",
                 "CurrentOwner = OWNER_VOVIZ4EZ\r\n", "CurrentOwner = OWNER_DRIVER\r\n",
                 "CurrentOwner = OWNER_SIGNALLING_STACK\r\n"},
                "CurrentOwner = Unknown %d\r\n");
    t += FormatText("NdisLinkContext = 0x%08x\r\n", w(1));
    t += Named(kDevStates, w(2), "DevState = ", "Unknown line dev state: 0x%X\r\n");
    t += Named(kAddressStates, w(3), "AddressState = ", "Unknown line address state: 0x%X\r\n");
    t += Named(kCallStates, w(4), "CallState = ", "Unknown line call state: 0x%x\r\n");
    t += Named(kMediaModes, w(5), "MediaMode = ", "Unknown media mode: 0x%X\r\n");
    t += Named(kBearerModes, w(6), "BearerMode = ", "Unknown line bearer mode: 0x%X\r\n");
    t += FormatText("TransferRate = %d\r\n", static_cast<int32_t>(w(7)));
    t += Choice(w(8),
                {"TransferCaps: SPEECH \r\n", "TransferCaps: UNRESTRICTED_64K \r\n", "TransferCaps: RESTRICTED_56K \r\n",
                 "TransferCaps: 3_1KHZ_AUDIO \r\n", "TransferCaps: UNRESTRICTED_64K_TONES \r\n",
                 "TransferCaps: VIDEO \r\n"},
                "TransferCaps: Unknown %d\r\n");
    t += w(9) == 0 ? "TransferMode: HOST_TRANSFER_MODE_STREAM\r\n" : "TransferMode: HOST_TRANSFER_MODE_PACKET\r\n";
    t += "ChannelProtocol:" + Choice(w(10),
                                     {"CHANNEL_PROTOCOL_V42\r\n", "CHANNEL_PROTOCOL_RTP\r\n", "CHANNEL_PROTOCOL_V120\r\n",
                                      "CHANNEL_PROTOCOL_V110\r\n"},
                                     "unknown %d\r\n");
    t += flag("Closing", 11);
    t += flag("CallClosing", 12);
    t += "PacketsState = " +
         Choice(w(13), {"PACKETS_ACTIVE\r\n", "PACKETS_LOOPBACK\r\n", "PACKETS_IDLE\r\n"}, "Unknown packet state: %d\r\n");
    t += "BChProtocol = " + Choice(w(14),
                                   {"BCH_PROTOCOL_TRANSPARENT\r\n", "BCH_PROTOCOL_SS7_HDLC_CRC16\r\n",
                                    "BCH_PROTOCOL_HDLC_CRC16\r\n", "BCH_PROTOCOL_HDLC_CRC32\r\n"},
                                   "Unknown protocol: %d\r\n");
    t += FormatText("WriteTxPacketIdx = %d\r\n", static_cast<int32_t>(w(15)));
    t += FormatText("ReadTxPacketIdx = %d\r\n", static_cast<int32_t>(w(16)));
    t += FormatText("CurrentRxMsgIdx = %d\r\n", static_cast<int32_t>(w(17)));
    t += flag("CallOriginate", 18);
    t += flag("NetworkDisc", 19);
    static const char* const kCounters[] = {
        "DialRequests=\t",          "AnswerRequests=\t",          "IncomingInd=\t",
        "ConnectInd=\t",            "Connect 64K ISDN=\t\t",      "Connect 56K ISDN=\t\t",
        "33600 < Connect <=56000 =\t", "14400 < Connect <=33600 =\t", "300 < Connect <=14400 =\t",
        "Connect @ 300=\t\t",       "ConnectVoice=\t",            "Pump Allocate Attempts=\t",
        "Pump Index=\t",            "Csm Index=\t",               "Socket Index=\t",
        "InboundBackToBack=\t",     "OutboundBackToBack=\t",      "TxLpbCounter=\t",
        "RxLpbCounter=\t",
    };
    for (size_t i = 0; i < std::size(kCounters); i++)
        t += FormatText("%s%d\r\n", kCounters[i], static_cast<int32_t>(w(20 + i)));
    for (int i = 0; i < 6; i++)
        t += FormatText("Dbg TxCnt%d=\t%d\r\n", i, static_cast<int32_t>(w(39 + i)));
    for (int i = 0; i < 6; i++)
        t += FormatText("Dbg RxCnt%d=\t%d\r\n", i, static_cast<int32_t>(w(45 + i)));
    t += FormatText("B_CHANNEL_INDEX=\t%d\r\n", static_cast<int32_t>(w(51)));
    t += FormatText("NumBytesIn=\t%d\r\n", static_cast<int32_t>(w(52)));
    t += FormatText("NumBytesOut=\t%d\r\n", static_cast<int32_t>(w(53)));
    std::string calling = NumberText(d, 54), called = NumberText(d, 94);
    t += FormatText("Calling Number: %d Digits\r\n", static_cast<int>(calling.size())) + calling + "\r\n";
    t += FormatText("Called Number: %d Digits\r\n", static_cast<int>(called.size())) + called + "\r\n";
    // The dump ends with the called number: no port word follows it.
    t += FormatText("UDP Port=\t%d\r\n", static_cast<int32_t>(w(134)));
    return t;
}

std::string LinkStatisticsText(const BackdoorRequest& reply)
{
    CRecordReader rec(reply);
    if (!rec.Done())
        return RefusedText(reply);
    CSegmentReader counters = rec.Segment(0), first = rec.Segment(1), second = rec.Segment(2);
    if (!counters.HasWords(0, 17) || !first.HasWords(0, 30) || !second.HasWords(0, 30))
        return kReplyIncomplete;
    std::string t;
    for (int i = 0; i < 17; i++) {
        uint32_t v = 0;
        counters.Word(i, &v);
        t += FormatText("%s=%d\r\n", kCounterNames[i], static_cast<int32_t>(v));
    }
    for (int i = 0; i < 30; i++) {
        uint32_t a = 0, b = 0;
        first.Word(i, &a);
        second.Word(i, &b);
        t += FormatText("Num%s=%d,%d\r\n", kEventNames[i], static_cast<int32_t>(a), static_cast<int32_t>(b));
    }
    return t;
}

RingDescriptors RingDescriptorReport(const BackdoorRequest& reply, int txPos, int rxPos)
{
    CRecordReader rec(reply);
    RingDescriptors d;
    d.status = FormatText("ResultCode=0x%08x", reply.Status);
    if (!rec.Done())
        return d;
    CSegmentReader tx = rec.Segment(0), rx = rec.Segment(1);
    // A count is believed only as far as the descriptors the reply really holds.
    auto count = [](uint32_t said, const CSegmentReader& s) {
        uint64_t held = s.Size() / 12;
        return static_cast<int>(said < held ? said : held);
    };
    d.txCount = count(rec.Arg(3), tx);
    d.rxCount = count(rec.Arg(5), rx);
    auto describe = [](const CSegmentReader& s, int count, int p) {
        uint32_t w[3];
        if (p < 0 || p >= count)
            return std::string();
        for (int k = 0; k < 3; k++)
            if (!s.WordAt(uint64_t(12) * p + 4 * k, &w[k]))
                return std::string();
        return FormatText("%08X %08X %08X %08d", w[0], w[1], w[2], p);
    };
    d.tx = describe(tx, d.txCount, txPos);
    d.rx = describe(rx, d.rxCount, rxPos);
    return d;
}

RingData RingDataReport(const BackdoorRequest& reply)
{
    CRecordReader rec(reply);
    RingData d;
    d.status = FormatText("ResultCode=0x%08x", reply.Status);
    if (!rec.Done())
        return d;
    auto hex = [](const CSegmentReader& s) {
        std::string t;
        t.reserve(s.Size() * 2);
        for (size_t i = 0; i < s.Size(); i++) {
            uint8_t b = 0;
            s.Byte(i, &b);
            t += FormatText("%02X", b);
        }
        return t;
    };
    d.tx = hex(rec.Segment(0));
    d.rx = hex(rec.Segment(1));
    return d;
}

// ---- HDLC group pages -----------------------------------------------------------------

const char* const kSharedTableNames[kSharedTables] = {
    "Transmit Head Pointer",    "Transmit Message Pointer",  "Receive Head Pointer",
    "Receive Message Pointer",  "Transmit Time Slot Map",    "Transmit Sub Channel Map",
    "Transmit Channel Configuration Descriptor", "Receive Time Slot Map", "Receive Sub Channel Map",
    "Receive Channel Configuration Descriptor",
};

namespace {

enum class TableForm { Words, SlotWords, Bytes };
struct SharedTable {
    uint32_t offset, entries;
    TableForm form;
};
const SharedTable kSharedTables_[kSharedTables] = {
    {0x000, 32, TableForm::Words},  {0x080, 32, TableForm::Words},     {0x100, 32, TableForm::Words},
    {0x180, 32, TableForm::Words},  {0x200, 128, TableForm::SlotWords}, {0x280, 32, TableForm::Bytes},
    {0x380, 32, TableForm::Words},  {0x400, 32, TableForm::SlotWords}, {0x480, 32, TableForm::Bytes},
    {0x580, 32, TableForm::Words},
};

CSegmentReader GroupImage(const std::vector<uint8_t>& copy, int group)
{
    if (group < 0)
        return CSegmentReader();
    return CSegmentReader(copy.data(), copy.size()).Sub(uint64_t(group) * kGroupImageSize, kGroupImageSize);
}

}  // namespace

std::vector<uint8_t> SharedMemoryCopy(const BackdoorRequest& reply)
{
    std::vector<uint8_t> copy(kSharedCopySize, 0xFF);
    CRecordReader rec(reply);
    if (!rec.Done())
        return copy;
    CSegmentReader s = rec.Segment(0);
    for (size_t i = 0; i < s.Size() && i < copy.size(); i++)
        s.Byte(i, &copy[i]);
    return copy;
}

std::string SharedMemoryTableText(const std::vector<uint8_t>& copy, int group, int table)
{
    if (table < 0 || table >= kSharedTables)
        return std::string();
    CSegmentReader image = GroupImage(copy, group);
    const SharedTable& t = kSharedTables_[table];
    std::string text;
    if (t.form == TableForm::Bytes) {
        for (uint32_t e = 0; e < t.entries; e++) {
            uint8_t b[8] = {};
            for (int k = 0; k < 8; k++)
                if (!image.Byte(t.offset + 8 * e + k, &b[k]))
                    return text;
            text += FormatText("  %02u: 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x \r\n", e, b[0], b[1], b[2],
                           b[3], b[4], b[5], b[6], b[7]);
        }
        return text;
    }
    const char* fmt = t.form == TableForm::SlotWords ? "  %02u: 0x%08x\t   %02u: 0x%08x\r\n"
                                                     : "  %02u: 0x%08x\t%02u: 0x%08x\r\n";
    for (uint32_t e = 0; e + 1 < t.entries; e += 2) {
        uint32_t a, b;
        if (!image.WordAt(t.offset + 4 * e, &a) || !image.WordAt(t.offset + 4 * (e + 1), &b))
            return text;
        text += FormatText(fmt, e, a, e + 1, b);
    }
    return text;
}

std::array<std::string, 6> DescriptorTexts(const std::vector<uint8_t>& copy, int group)
{
    CSegmentReader image = GroupImage(copy, group);
    auto word = [&](uint32_t offset) {
        uint32_t v = 0xFFFFFFFF;
        image.WordAt(offset, &v);
        return v;
    };
    return {FormatText("  0x%08x", word(0x600)),
            FormatText("  0x%08x\r\n  0x%08x", word(0x604), word(0x608) & 0x7FFF),
            FormatText("  0x%08x", word(0x60C)),
            FormatText("  0x%08x", word(0x610)),
            FormatText("  0x%08x", word(0x614)),
            FormatText("  0x%08x", word(0x618))};
}

std::array<std::string, 6> AddressTexts(const BackdoorRequest& reply)
{
    CRecordReader rec(reply);
    std::array<std::string, 6> t;
    for (int i = 0; i < 6; i++)
        t[i] = rec.Done() ? FormatText("%08x", rec.Arg(i)) : std::string("?");
    return t;
}

std::string RegisterWindowText(const BackdoorRequest& reply)
{
    CRecordReader rec(reply);
    if (!rec.Done())
        return RefusedText(reply);
    CSegmentReader window = rec.Segment(0);
    std::string text = "Bt847x Register Space, group 0\r\n";
    for (uint64_t at = 0; at + 32 <= window.Size() && at < kGroupImageSize; at += 32) {
        text += FormatText("%03X:", static_cast<unsigned>(at));
        for (int k = 0; k < 8; k++) {
            uint32_t v = 0;
            window.WordAt(at + 4 * k, &v);
            text += FormatText(" %08x", v);
        }
        text += "\r\n";
    }
    return text;
}

bool GroupActionRequest(int choice, uint32_t* cls, uint32_t* action)
{
    static const struct {
        int cls, action;
    } kRequests[] = {{1, 0}, {1, 1}, {2, 0}, {2, 1}, {3, 0}, {-1, -1}, {2, 3}, {2, 4}, {-1, -1}, {-1, -1}, {2, 31}};
    if (choice < 0 || choice >= static_cast<int>(std::size(kRequests)) || kRequests[choice].cls < 0)
        return false;
    *cls = static_cast<uint32_t>(kRequests[choice].cls);
    *action = static_cast<uint32_t>(kRequests[choice].action);
    return true;
}

std::string ResultCodeText(const BackdoorRequest& reply) { return FormatText("ResultCode= 0x%08x", reply.Status); }

std::string RegisterReadText(const BackdoorRequest& reply, std::string* value)
{
    CRecordReader rec(reply);
    if (!rec.Done())
        return ResultCodeText(reply);
    *value = FormatText("%08x", rec.Arg(2));
    return FormatText("Value = 0x%08x\r\nResultCode= 0x%08x", rec.Arg(2), reply.Status);
}

std::string GroupStatItem(const BackdoorRequest& reply, int channel)
{
    CRecordReader rec(reply);
    uint32_t sent = 0, received = 0;
    if (!rec.Done())
        return FormatText("[%d:status 0x%08x] ", channel, reply.Status);
    CSegmentReader counters = rec.Segment(0);
    if (!counters.Word(4, &sent) || !counters.Word(6, &received))
        return FormatText("[%d:?] ", channel);
    return FormatText("[%d:%d,%d] ", channel, static_cast<int32_t>(sent), static_cast<int32_t>(received));
}

}  // namespace linereports
