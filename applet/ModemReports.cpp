#include "applet/ModemReports.h"

#include "applet/Reports.h"
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <iterator>

namespace modemreports {

namespace {

const char* const kCounterNames[kMessageCounters] = {
    "MSG_ERRIND",   "MSG_M21READY", "MSG_DATAREQ",  "MSG_FIFODAT",  "MSG_SYNCDAT",       "MSG_SYNCEOF",
    "MSG_SYNCERR",  "MSG_PACKREQ",  "MSG_DATACNT",  "MSG_DATACHK",  "MSG_PACKCHK",       "MSG_TXEMPTY",
    "MSG_ACCMTX",   "MSG_ACCMRX",   "MSG_DTEREQ",   "MSG_DTERPT",   "MSG_DCEREQ",        "MSG_DCERPT",
    "MSG_ENAWIND",  "MSG_WINDSZE",  "MSG_HANGUP",   "MSG_DIALDET",  "MSG_ANSDET",        "MSG_HGUPDET",
    "MSG_LINECON",  "MSG_LINEERR",  "MSG_RINGIND",  "MSG_SETTSA",   "MSG_CONFIGACK",     "MSG_CHSTATUS",
    "MSG_CHRESET",  "MSG_CHDISABLE", "MSG_CHANQUERY", "MSG_CHECKSUM", "MSG_DEBUG",       "MSG_SETASYN",
    "MSG_SETSYNC",  "MSG_CRCENA",   "MSG_CRCDIS",   "MSG_NTWKENA",  "MSG_NTWKDIS",       "MSG_DEVREQ",
    "MSG_DEVRPT",   "MSG_EVENTIND", "MSG_CMDDAT",   "MSG_CMDREQ",   "MSG_V42CTRL",       "MSG_V42RESP",
    "MSG_FORCECSMCRASH", "MSG_DEBUGINFO", "MSG_UNKNOWN",
};

const char* const kRegisterNames[16] = {
    "TxFIFO Data", "TxFIFO Size", "TxFIFO Threshold", "RxFIFO Data", "RxFIFO Size", "RxFIFO Threshold",
    "FIFO Control", "FIFO INTACK", "TxMail0", "TxMail1", "TxMail2", "TxMail3",
    "RxMail0", "RxMail1", "RxMail2", "RxMail3",
};

const char* const kCsmStates[] = {"NEED_CODE_DOWNLOAD", "IN_CODE_DOWNLOAD", "NEED_FIFO_INIT", "READY",
                                  "NEED_RESET",         "IN_RESET",         "OUTOF_SERVICE"};
const char* const kPumpStates[] = {"PUMP_NEED_RESET", "PUMP_SLEEP",  "PUMP_INIT",   "PUMP_IDLE",
                                   "PUMP_ANSWER",     "PUMP_DIAL",   "PUMP_ON_LINE", "PUMP_HANGUP",
                                   "PUMP_GET_STATISTICS", "PUMP_OUT_OF_SERVICE"};

template <size_t N>
const char* NameOf(const char* const (&names)[N], uint32_t value)
{
    return value < N ? names[value] : "Unknown";
}


bool Refused(const BackdoorRequest& reply) { return reply.Status != kStatusDone; }

}  // namespace

CReplyData SegmentOf(const BackdoorRequest& reply, int k)
{
    return ReplySegmentBytes(reply, k);
}

std::string ResultLine(const BackdoorRequest& reply) { return FormatText("ResultCode=0x%08x", reply.Status); }

std::string CsmCountersText(const BackdoorRequest& reply, int segment)
{
    if (Refused(reply))
        return ResultLine(reply);
    CReplyData data = SegmentOf(reply, segment);
    CReplyReader reader = data.Reader();
    std::string text;
    uint32_t count = 0;
    for (const char* name : kCounterNames) {
        if (!reader.Word(&count))
            break;
        text += FormatText("%sCnt=\t\t%d\r\n", name, static_cast<int32_t>(count));
    }
    return text;
}

std::optional<std::string> CsmRegisterDump(const BackdoorRequest& reply)
{
    if (Refused(reply))
        return std::nullopt;
    CReplyData data = SegmentOf(reply, 0);
    CReplyReader reader = data.Reader();
    std::string text;
    for (uint32_t i = 0; i < std::size(kRegisterNames); i++) {
        uint32_t value = 0;
        std::string shown = reader.Word(&value) ? FormatText("%04x", value & 0xFFFF) : "----";
        text += FormatText("0x%02X = %s [%s]", i, shown.c_str(), kRegisterNames[i]);
        if (i + 1 < std::size(kRegisterNames))
            text += "\r\n";
    }
    return text;
}

std::optional<std::string> CsmRegisterValue(const BackdoorRequest& reply)
{
    if (Refused(reply))
        return std::nullopt;
    return FormatText("%04X", reply.Arg[3]);
}

CommandAnswer CsmCommandAnswer(const BackdoorRequest& reply)
{
    CommandAnswer answer;
    switch (reply.Status) {
    case kStatusPending: {
        answer.EndsCommand = true;
        CReplyData data = SegmentOf(reply, 0);
        answer.Length = FormatText("%02X", static_cast<unsigned>(data.Bytes.size()));
        // Each word shows its first and then its second 16-bit half, as they lie in the record.
        CReplyReader reader = data.Reader();
        uint32_t word = 0;
        for (size_t i = 0; i < kMaxCommandWords && reader.Word(&word); i++)
            answer.Words += FormatText("%2d: 0x%04X%04X\r\n", static_cast<int>(i), word & 0xFFFF, word >> 16);
        break;
    }
    case kStatusDone:
        answer.Words = "No command\r\npending or\r\nno response:\r\nSend\r\nRead again\r\nor Abort";
        break;
    case kStatusRefused: answer.Words = "CMDDAT Failure\r\n"; break;
    default: break;
    }
    return answer;
}

CommandAnswer CsmAbortAnswer(const BackdoorRequest& reply)
{
    CommandAnswer answer;
    if (reply.Status == kStatusPending) {
        answer.EndsCommand = true;
        answer.Words = "Action aborted\r\n";
    } else if (reply.Status == kStatusDone) {
        answer.Words = "No command\r\npending\r\n";
    }
    return answer;
}

std::optional<std::string> CsmStateText(const BackdoorRequest& reply)
{
    if (Refused(reply))
        return std::nullopt;
    return std::string("CSM State= ") + NameOf(kCsmStates, reply.Arg[2]) + "\r\n";
}

std::optional<std::string> PumpStateText(const BackdoorRequest& reply, uint32_t pump)
{
    if (Refused(reply))
        return std::nullopt;
    CReplyData data = SegmentOf(reply, 0);
    CReplyReader reader = data.Reader();
    uint32_t state = 0;
    if (pump >= reply.Arg[3] || !reader.Skip(pump) || !reader.Word(&state))
        return std::string("----");
    return std::string("Pump State= ") + NameOf(kPumpStates, state) + "\r\n";
}

std::optional<std::string> FrameCountersText(const BackdoorRequest& reply)
{
    if (Refused(reply))
        return std::nullopt;
    // The counters lie at bytes 112 to 135 of the segment.
    CReplyData data = SegmentOf(reply, 0);
    CReplyReader reader = data.Reader();
    uint32_t frames = 0, bytesIn = 0, bytesOut = 0, errors = 0, good = 0, failed = 0;
    if (!reader.Skip(28) || !reader.Word(&frames) || !reader.Word(&bytesIn) || !reader.Word(&bytesOut) ||
        !reader.Word(&errors) || !reader.Word(&good) || !reader.Word(&failed))
        return std::string("----");
    std::string text = FormatText("%05d [nbFramesIn]\r\n%05d [nbFrameOut]\t\t\t\r\n", frames & 0xFFFF, frames >> 16);
    text += FormatText("%10d [nbByteIn]\t\t\t\r\n%10d [nbByteOut]\t\t\t\r\n", static_cast<int32_t>(bytesIn),
                   static_cast<int32_t>(bytesOut));
    text += FormatText("%03d [nbBadCRCin]\r\n%03d [nbBadCRCOut]\r\n%03d [nbLongErrorIn]\r\n%03d [nbLongErrorOut]\t\t\t\r\n",
                   errors & 0xFF, (errors >> 8) & 0xFF, (errors >> 16) & 0xFF, errors >> 24);
    text += FormatText("%10d [Good connections]\t\t\t\r\n%10d [Failed connections]\t\t\t", static_cast<int32_t>(good),
                   static_cast<int32_t>(failed));
    return text;
}

std::optional<std::string> AtResponseText(const BackdoorRequest& reply)
{
    if (Refused(reply))
        return std::nullopt;
    CReplyData data = SegmentOf(reply, 0);
    if (data.Bytes.empty())
        return std::nullopt;
    size_t n = 0;
    while (n < data.Bytes.size() && n < kAtResponseShown && data.Bytes[n] != 0) n++;
    return std::string(data.Bytes.begin(), data.Bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string AddCommandWordLine(const std::string& list, uint32_t number, const std::string& entry)
{
    std::string text = list;
    if (!text.empty())
        text += "\r\n";
    return text + FormatText("%2d: 0x", static_cast<int>(number)) + entry.substr(0, 8);
}

std::string EbusText(uint32_t boardWord, uint32_t moduleStride, uint32_t csm, uint32_t socketWindow)
{
    return FormatText("%08X", boardWord + (moduleStride * csm + socketWindow) * 4);
}

}  // namespace modemreports
