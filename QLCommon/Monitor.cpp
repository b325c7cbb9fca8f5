#include "QLCommon/Monitor.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "QLCommon/IOCTLMethod.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

struct NamedCodes {
    uint8_t From, To;
    const char* Name;
};
const NamedCodes kFirmwareCodes[] = {
    {0x10, 0x11, "RxMboxCHRESET"}, {0x12, 0x14, "DoDpReset"}, {0x15, 0x1B, "SoftResetDp"},
    {0x1C, 0x1C, "DpResetStep2"}, {0x1D, 0x1D, "DoSleepRtn"}, {0x1E, 0x1E, "DoWakeupRtn"},
    {0x1F, 0x1F, "DoUorALaw"}, {0x20, 0x20, "DoAnswerRtn"}, {0x21, 0x21, "StartAnswer"},
    {0x22, 0x22, "StartTraining"}, {0x23, 0x23, "StartConnected"}, {0x24, 0x24, "GoToIDLE"},
    {0x25, 0x25, "GoToINIT"}, {0x26, 0x26, "GoToTRAINING"}, {0x27, 0x27, "GoToORIGINATE"},
    {0x28, 0x28, "GoToANSWER"}, {0x29, 0x29, "GoToV8BIS_HS"}, {0x2A, 0x2A, "GoToCONNECTED"},
    {0x2B, 0x2B, "GoToESCAPED"}, {0x2C, 0x2C, "GoToLAL"}, {0x2D, 0x2D, "GoToLAL_ESCAPED"},
    {0x2E, 0x2E, "GoToRDL"}, {0x2F, 0x2F, "GoToHANGUP"}, {0x30, 0x30, "DoHangup"},
    {0x31, 0x32, "Hangup"}, {0x33, 0x33, "BGHangupDp"}, {0x34, 0x35, "ATH_DTR_Hangup"},
    {0x36, 0x3A, "ProcessDTRChange"}, {0x40, 0x40, "CheckAndNotifyHdwTrouble"}, {0x41, 0x43, "dpBitOrBust"},
    {0x50, 0x50, "SendCHANSTATUSMessage = TRUE"}, {0x51, 0x51, "SendCHANSTATUSMessage = FALSE"},
    {0x52, 0x52, "SendBlocktoHost"}, {0x53, 0x53, "Handle_M21_MAILBOX_LISR"}, {0x54, 0x54, "dtePrtCONNECT"},
    {0x55, 0x55, "DCDOn"}, {0x61, 0x61, "AtCmdLineIn"}, {0x62, 0x62, "RxMboxDATAREQ"},
    {0x64, 0x64, "Handle_M21_MAILBOX_LISR"}, {0x66, 0x66, "OutputV1Msg"}, {0x68, 0x6B, "MailBoxProcess"},
    {0x6C, 0x6D, "SendFIFOMessage"}, {0x70, 0x71, "BGHangupDp"}, {0x72, 0x72, "DoAnswerRtn: Call Hangup"},
    {0x73, 0x73, "DoAnswerRtn: Should not get here!!"},
    {0x74, 0x74, "DoDialRtn: Host not available call terminated"},
    {0x75, 0x75, "DoDialRtn: Should not get here!!"}, {0x76, 0x76, "CR_LossHangup"},
    {0x77, 0x77, "EC_Bg: Hangup, print OK and resume parse"}, {0x78, 0x78, "EC_Bg: Hangup and print NO CARRIER"},
    {0x79, 0x79, "RemRrenDetected: Cleardown requested by remote modem"},
    {0x7A, 0x7A, "DoDialRtn: Channel connected!!"}, {0x7B, 0x7B, "DoDialRtn: Proceeding with normal dial handling"},
    {0x7C, 0x7C, "DoDialRtn: Global state already indicates connected: ERROR!!"},
    {0x7D, 0x7D, "DoDialRtn: Proceeding ..."}, {0x7E, 0x7E, "DoDialRtn: GoToORIGINATE(dp)"},
    {0x7F, 0x7F, "DoDialRtn: Done!!"}, {0x80, 0x80, "InitializeModem"}, {0x81, 0x82, "DoDefault"},
    {0x83, 0x83, "DoDialRtn: Semi-colon in dial string"}, {0x84, 0x84, "S7Hangup: NO CARRIER response"},
    {0x85, 0x85, "Hangup: NO CARRIER response"}, {0x86, 0x86, "KeyAbort: NO CARRIER response"},
    {0x87, 0x87, "DetectedBusy: NO CARRIER response"}, {0x88, 0x88, "DetectedVoiceAnswer: NO CARRIER response"},
    {0x90, 0x90, "ParseAtCmdLin: Start"}, {0x91, 0x91, "ParseAtCmdLin: bParserPaused = FALSE"},
    {0x92, 0x92, "ParseAtCmdLin: bParserPaused = TRUE"}, {0x93, 0x93, "ParseAtCmdLin: OK response"},
    {0x94, 0x94, "ParseAtCmdLin: ERROR response"}, {0x95, 0x95, "ParseAtCmdLin: Needs to PAUSE so return"},
    {0x96, 0x96, "ParseAtCmdLin: Done"}, {0x97, 0x97, "ParseAtCmdLin: EscapeRegisterOK() called"},
    {0x98, 0x98, "ParseAtCmdLin: EscapeRegisterERROR() called, returning"},
    {0x99, 0x99, "ParseAtCmdLin: EscapeRegisterERROR() called, continuing"},
    {0xA0, 0xA0, "Send_Rx_Post_Msg: +FHNG:100"}, {0xA1, 0xA1, "T30RX_MPSrcv: +FHNG:100"},
    {0xA2, 0xA2, "T30RX_PRIQ: +FHNG:100"}, {0xA3, 0xA3, "StartOriginateFax: +FHNG:1"},
    {0xA4, 0xA4, "DataUnderrun: +FHNG:43"}, {0xA5, 0xA5, "DCN_Hangup: +FHNG:0"},
    {0xA6, 0xA6, "T30TX_InitDTC: +FHNG:21"}, {0xA7, 0xA7, "T30TX_InitDTC: +FHNG:20"},
    {0xA8, 0xA8, "Send_DCN_From_EOP: +FHNG:0"}, {0xA9, 0xA9, "T30TX_FTTrcv: +FHNG:27"},
    {0xAA, 0xAA, "CheckTx_PostMsg: +FHNG:50"}, {0xAB, 0xAB, "T30RX_Train: +FHNG:70"},
    {0xAC, 0xAC, "T30_Entry: +FHNG:1"}, {0xAD, 0xAD, "T30Rx_FrameSearch: +FHNG:23"},
    {0xAE, 0xAE, "T30Rx_FrameSearch: +FHNG:50"}, {0xAF, 0xAF, "T30Tx_LookForResponse: +FHNG:28"},
    {0xB0, 0xB0, "T30Tx_LookForResponse: +FHNG:51"}, {0xB1, 0xB1, "T30Tx_FrameSearch: +FHNG:23"},
    {0xB2, 0xB2, "T30Tx_FrameSearch: +FHNG:50"}, {0xB3, 0xB3, "AbortTimerExpired: +FHNG:0"},
    {0xB4, 0xB4, "AbortTimerExpired: +FHNG:52"}, {0xB5, 0xB5, "AbortTimerExpired: +FHNG:54"},
    {0xB6, 0xB6, "AbortTimerExpired: +FHNG:25"}, {0xB7, 0xB7, "AbortTimerExpired: +FHNG:56"},
    {0xB8, 0xB8, "AbortTimerExpired: +FHNG:72"}, {0xB9, 0xB9, "AbortTimerExpired: +FHNG:71"},
    {0xBA, 0xBA, "AbortTimerExpired: +FHNG:256"}, {0xBB, 0xBB, "Abort_Hangup: +FHNG:2"},
    {0xBC, 0xBC, "Report DP Rx Count"}, {0xBD, 0xBD, "Report DTE Rx Count"}, {0xC0, 0xC0, "ToHostTxfr"},
    {0xC1, 0xC1, "ToHostTxFr: ASYNCmode[channel] == TRUE"}, {0xC2, 0xC2, "ToHostTxFr: Before PIM call"},
    {0xC3, 0xC3, "ToHostTxFr: After PIM call, return 0, break"},
    {0xC4, 0xC4, "ToHostTxFr: After PIM call, return !0"}, {0xC5, 0xC5, "ToHostTxFr: ASYNCmode[channel] == FALSE"},
    {0xC6, 0xC6, "ToHostTxFr: Before PIM call"}, {0xC7, 0xC7, "ToHostTxFr: After PIM call, return 0, break"},
    {0xC8, 0xC8, "ToHostTxFr: After PIM call, return !0"}, {0xC9, 0xC9, "T30PIMDTE: From DTE"},
    {0xCA, 0xCA, "ToHostTxFr: Break, iMoveCnt == 0"}, {0xCB, 0xCB, "ToHostTxFr: Break, HostReqBlockSize[channel] == 0"},
    {0xCC, 0xCC, "T30PIMDTE: To DTE"}, {0xCD, 0xCD, "T30PIMDTE: To DTE: in fax transmit"},
    {0xCE, 0xCE, "T30PIMDTE: To DTE: inactivity timer setup"}, {0xCF, 0xCF, "ToHostTxFr: Break, iTmpMoveCnt == 0"},
    {0xD0, 0xD0, "ToHostTxFr: Break, WaitForNextFrame[channel] == TRUE"},
    {0xD1, 0xD1, "SendSerialDataToHost: RTS low"}, {0xD2, 0xD2, "Handle_DMA_Tx_Complete: HDLC_TX_IDLE"},
    {0xD3, 0xD3, "SendSerialDataToHost: hdlc_TX_free(dp) == NO_ROOM"}, {0xD4, 0xD4, "SigChangeParser: DTR LOW"},
    {0xD5, 0xD5, "SigChangeParser: DTR HI"}, {0xD6, 0xD6, "SigChangeParser: RTS LOW"},
    {0xD7, 0xD7, "SigChangeParser: RTS HI"}, {0xD8, 0xD8, "ProcSigChange: DTR LOW"},
    {0xD9, 0xD9, "ProcSigChange: DTR HI"}, {0xDA, 0xDA, "ProcSigChange: RTS LOW"},
    {0xDB, 0xDB, "ProcSigChange: RTS HI"}, {0xDC, 0xDC, "RxMboxDTERPT: RTS HI"},
    {0xDD, 0xDD, "RxMboxDTERPT: RTS LOW"}, {0xDE, 0xDE, "RxMboxDTERPT: DTR HI"}, {0xDF, 0xDF, "RxMboxDTERPT: DTR LOW"},
    {0xF0, 0xF1, "End of Buffer"}, {0xF2, 0xF2, " ...."},
};

// Locks the transport's record and writes the request's class and the modem's pump:
// module, processor, pump in Arg0 to Arg2.
void BeginRequest(CIOCTLMethod* t, const ModemAddress& a, uint32_t cls, uint32_t action)
{
    t->Lock();
    BackdoorRequest* r = t->m_pRequest;
    r->Class = cls;
    r->Action = action;
    r->Arg[0] = a.Module;
    r->Arg[1] = a.Processor;
    r->Arg[2] = a.Pump;
}

}  // namespace

// --- CZELVXMonitor ----------------------------------------------------------------

CZELVXMonitor::~CZELVXMonitor() { Stop(); }

bool CZELVXMonitor::Start(CIOCTLMethod* transport, uint32_t modemNumber, const ModemAddress& address)
{
    if (m_bRunning.load() || transport == nullptr || modemNumber == 0) return false;
    m_pTransport = transport;
    m_ModemNumber = modemNumber;
    m_Address = address;
    m_bRunning = true;
    ClearDecoder();
    m_Pending.clear();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    m_LogFileName = Format("c:\\LOG-Modem%d-%s--%2.2d-%2.2d--%2.2d-%2.2d-%2.2d.TXT", static_cast<int>(modemNumber),
                           GetSourceName(), local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    m_hLog = os_CreateFile(m_LogFileName, FILE_ATTRIBUTE_NORMAL);
    if (m_hLog == INVALID_HANDLE_VALUE) m_hLog = nullptr;
    BuildCodeTable();
    if (m_hLog == nullptr) {
        m_bRunning = false;
        return false;
    }
    if (m_hThread != nullptr) {
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    if (!COS_Thread::Start()) {
        m_bRunning = false;
        os_CloseFile(m_hLog);
        m_hLog = nullptr;
        return false;
    }
    return true;
}

void CZELVXMonitor::Stop()
{
    m_bRunning = false;
    if (m_hThread != nullptr) {
        Wait(INFINITE);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    if (m_hLog != nullptr) {
        Flush();
        os_CloseFile(m_hLog);
        m_hLog = nullptr;
    }
}

void CZELVXMonitor::Flush()
{
    if (m_hLog != nullptr && !m_Pending.empty())
        os_WriteFile(m_hLog, m_Pending.data(), static_cast<DWORD>(m_Pending.size()));
    m_Pending.clear();
}

const std::string& CZELVXMonitor::CodeText(uint8_t code)
{
    static const std::string none;
    auto it = m_Codes.find(code);
    return it != m_Codes.end() ? it->second : none;
}

void CZELVXMonitor::ClearDecoder()
{
    m_Phase = 0;
    m_BytesLeft = 0;
    m_Value = 0;
    m_Length = 0;
    m_Kind = 0;
}

void CZELVXMonitor::CloseItem()
{
    if (m_Kind == 2) {
        Write("\"");
        return;
    }
    long shown = static_cast<long>(static_cast<int32_t>(m_Value));
    if (m_Length == 1) Write(Format("%2.2X-%ld", m_Value, shown));
    else if (m_Length == 2) Write(Format("%4.4X-%ld", m_Value, shown));
    else if (m_Length == 4) Write(Format("%8.8X-%ld", m_Value, shown));
    Write(m_Kind == 0 ? ")" : "]");
}

void CZELVXMonitor::Decode(uint8_t b)
{
    if (m_Phase == 1) {
        m_Length = b;
        m_BytesLeft = b;
        m_Phase = 2;
        return;
    }
    if (m_Phase == 2) {
        if (m_BytesLeft > 0) {
            if (m_Kind == 2) {
                if (b == '\n') Write("\\n");
                else if (b == '\r') Write("\\r");
                else if (std::isprint(b)) Write(std::string(1, static_cast<char>(b)));
                else Write(Format("\\x%2.2x", b));
            } else {
                // Only the first four bytes fit the value; longer items show no number.
                unsigned position = static_cast<unsigned>(m_Length - m_BytesLeft);
                if (position < 4) m_Value += static_cast<uint32_t>(b) << (8 * position);
            }
            m_BytesLeft--;
            return;
        }
        CloseItem();
        m_Phase = 0;
    }
    m_Value = 0;
    switch (b) {
    case kValue:
        Write("(");
        m_Kind = 0;
        m_Phase = 1;
        return;
    case kString:
        Write("\"");
        m_Kind = 2;
        m_Phase = 1;
        return;
    case kTimeStamp:
        Write("[");
        m_Kind = 1;
        m_Phase = 1;
        return;
    case 0x00:
    case 0xF0:
    case 0xF1: return;
    default: Write("\n" + CodeText(b)); return;
    }
}

// --- CDriverMonitor ---------------------------------------------------------------

CDriverMonitor::~CDriverMonitor() { Stop(); }

void CDriverMonitor::BuildCodeTable()
{
    m_Codes = {{0, "00"}, {1, "01:<--"}, {2, "02:-->"}, {3, "03:-->"}};
}

void CDriverMonitor::ThreadBody()
{
    while (m_bRunning.load()) {
        Poll();
        Sleep(100);
        Flush();
    }
}

void CDriverMonitor::Poll()
{
    CIOCTLMethod* t = m_pTransport;
    BeginRequest(t, m_Address, 12, 0);
    if (!t->SendIoctlRequest()) {
        Write("SendBufferRequest Function Call Failed!\n");
        return;
    }
    if (t->m_pRequest->Status != 0) {
        t->Unlock();
        return;
    }
    std::unique_ptr<CReplyData> data(t->GetReplyData());
    t->Unlock();
    if (data->Bytes.size() < 8 + kRingSize) return;  // no ring in the reply
    CReplyReader reader = data->Reader();
    uint32_t position = 0, wraps = 0;
    reader.Word(&position);
    reader.Word(&wraps);
    TakeRing(position, wraps, data->Bytes.data() + 8);
}

void CDriverMonitor::TakeRing(uint32_t p, uint32_t w, const uint8_t* ring)
{
    uint32_t lw = m_LastWraps, lp = m_LastPosition;
    // A position outside the ring names no bytes: it counts as a gap and is not kept.
    if (p >= kRingSize) {
        Write(Format("*** GAP *** [%d,%d] - [%d-%d]\n", static_cast<int>(lw), static_cast<int>(lp),
                     static_cast<int>(w), static_cast<int>(p)));
        return;
    }
    if (w == lw && p >= lp) {
        for (uint32_t i = lp; i < p; i++) Decode(ring[i]);
    } else if (w == lw + 1 && p < lp) {
        for (uint32_t i = lp; i < kRingSize; i++) Decode(ring[i]);
        for (uint32_t i = 0; i < p; i++) Decode(ring[i]);
    } else {
        Write(Format("*** GAP *** [%d,%d] - [%d-%d]\n", static_cast<int>(lw), static_cast<int>(lp),
                     static_cast<int>(w), static_cast<int>(p)));
    }
    m_LastPosition = p;
    m_LastWraps = w;
}

// --- CARMMonitor ------------------------------------------------------------------

CARMMonitor::~CARMMonitor() { Stop(); }

void CARMMonitor::BuildCodeTable()
{
    m_Codes.clear();
    for (unsigned code = 0; code <= 0xF2; code++) m_Codes[static_cast<uint8_t>(code)] = Format("%2.2X", code);
    for (const NamedCodes& c : kFirmwareCodes)
        for (unsigned code = c.From; code <= c.To; code++)
            m_Codes[static_cast<uint8_t>(code)] = Format("%2.2X:%s", code, c.Name);
}

void CARMMonitor::ThreadBody()
{
    while (m_bRunning.load()) {
        Pass();
        Flush();
    }
}

void CARMMonitor::Pass()
{
    for (int i = 0; i < 8 && m_bRunning.load(); i++) {
        WriteCommand(m_Command);
        Sleep(100);
        if (!ReadResponse()) return;
        m_Command = m_Command >= 255 ? kFirstCommand : m_Command + 1;
    }
}

namespace {

// The firmware command channel of the modem's own pump.
void AddressPump(BackdoorRequest* r, const ModemAddress& a)
{
    r->Arg[3] = 1;
    r->Arg[5] = a.Pump;
}

}  // namespace

void CARMMonitor::WriteCommand(uint32_t code)
{
    CIOCTLMethod* t = m_pTransport;
    BeginRequest(t, m_Address, 5, 8);
    AddressPump(t->m_pRequest, m_Address);
    t->m_pRequest->Arg[4] = code;
    if (!t->SendIoctlRequest()) {
        Write("SendBufferRequest Function Call Failed!\n");
        return;
    }
    t->Unlock();
}

bool CARMMonitor::ReadResponse()
{
    CIOCTLMethod* t = m_pTransport;
    BeginRequest(t, m_Address, 0, 43);
    AddressPump(t->m_pRequest, m_Address);
    t->m_pRequest->Arg[4] = m_Command;
    if (!t->SendIoctlRequest()) {
        Write("RecvBufferRequest Function Call Failed!\n");
        return false;
    }
    uint32_t status = t->m_pRequest->Status;
    if (status != 1) {
        t->Unlock();
        if (status == 0) Write("No command - pending or - no response:\n");
        else if (status == 0xFFFFFFFFu) Write("CMDDAT Failure\n");
        return false;
    }
    std::unique_ptr<CReplyData> data(t->GetReplyData());
    t->Unlock();
    return TakeChunk(data->Bytes.data(), data->Bytes.size());
}

bool CARMMonitor::TakeChunk(const uint8_t* data, size_t size)
{
    constexpr size_t kTraceAt = 12;
    if (data == nullptr || size < kTraceAt) return false;  // no header: nothing to follow
    uint16_t sequence = static_cast<uint16_t>(data[6] | data[7] << 8);
    uint16_t length = static_cast<uint16_t>(data[10] | data[11] << 8);
    // The count comes from the data: only the bytes the reply holds are decoded.
    size_t count = std::min<size_t>(length, size - kTraceAt);
    int16_t ahead = static_cast<int16_t>(static_cast<uint16_t>(sequence - m_LastSequence));
    if (ahead < 0) return true;
    if (ahead == 0) return count == kFullChunk;
    if (ahead != 1) {
        ClearDecoder();
        Write("*** GAP ***\n");
    }
    for (size_t i = 0; i < count; i++) Decode(data[kTraceAt + i]);
    m_LastSequence = sequence;
    return count == kFullChunk;
}

void Monitor_Install()
{
    CRockyModem::SetMonitorFactory([](int kind) -> CModemMonitor* {
        if (kind == MONITOR_ARM) return new CARMMonitor;
        if (kind == MONITOR_DRIVER) return new CDriverMonitor;
        return nullptr;
    });
}
