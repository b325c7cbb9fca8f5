// The modem processors (Csm): mailbox and data FIFO, message counters and trace, the
// inbound dispatcher with its handlers and the per-pump step, the firmware image check,
// the boot chain (reset, handshakes, set-up, zero fill, load, read-back, start,
// checksum) and the network-mode host events.
//
// Everything runs under AdapterSpinLock (socket timer and boot-step callbacks of the
// adapter pool, or request handlers that hold it). Nothing from a processor is trusted:
// pump numbers, FIFO byte counts and codes are checked before they index anything, and
// every read of the firmware image stays inside CSMCodeSize.
#include "driver/Common/MDM_CSM.h"

#include <cstring>

#include "driver/Common/Bt847x.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"

BOOLEAN CsmTraceMessages = FALSE;

// Sums of image offsets and lengths are formed in 64 bits, so none can wrap.
typedef unsigned long long CSM_WIDE;

// ---- register and image helpers ----

static ULONG CsmOutboundReg(ULONG Word) { return CSM_REG_OUTBOUND_0 + Word * CSM_REG_STRIDE; }
static ULONG CsmInboundReg(ULONG Word) { return CSM_REG_INBOUND_0 + Word * CSM_REG_STRIDE; }

static ULONG LeUlong(const UCHAR* p) { return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24; }
static USHORT LeUshort(const UCHAR* p) { return (USHORT)(p[0] | p[1] << 8); }

// The 16-bit word of a block at byte Offset, with a zero pad byte past its Length.
static USHORT BlockWord(const UCHAR* Block, ULONG Length, ULONG Offset)
{
    USHORT lo = Block[Offset];
    USHORT hi = Offset + 1 < Length ? Block[Offset + 1] : 0;
    return (USHORT)(lo | hi << 8);
}

static ULONG WordsFor(ULONG Bytes) { return (Bytes + 1) / 2; }

// Bytes [Offset, Offset + Length) of the adapter's image, or NULL when not all inside it.
static PUCHAR CsmImageAt(Adapter* ThisAdapter, ULONG Offset, ULONG Length)
{
    CSM_WIDE end = (CSM_WIDE)Offset + Length;
    if (end > ThisAdapter->CSMCodeSize || end > CSM_IMAGE_AREA_SIZE) return NULL;
    return ThisAdapter->CSMCode + Offset;
}

static ULONG CsmImageUlong(Adapter* ThisAdapter, ULONG Offset)
{
    PUCHAR p = CsmImageAt(ThisAdapter, Offset, 4);
    return p == NULL ? 0 : LeUlong(p);
}

static const char CkSegName[] = "ck_seg_area";  // compared with its terminating zero

static ULONG CsmSocketIndex(Csm* ThisCsm) { return ThisCsm->ThisSocket ? ThisCsm->ThisSocket->SocketIndex : 0; }
static TmrPool* CsmPool(Csm* ThisCsm) { return &ThisCsm->ThisAdapter->AdapterTimerPool; }

const char* CsmStateName(ULONG State)
{
    static const char* const names[CSM_NUM_STATES] = {"CSM_DOWNLOAD",   "CSM_DOWNLOADING", "CSM_CODE_LOADED",
                                                      "CSM_RUNNING",    "CSM_NEED_RESET",  "CSM_RESETTING",
                                                      "CSM_DEAD"};
    return State < CSM_NUM_STATES ? names[State] : "CSM_UNKNOWN";
}

// ---- record ----

BOOLEAN BuildCsmGraph(Csm* ThisCsm, DimmSocket* Socket, Adapter* ThisAdapter, ULONG Group, PUCHAR RegisterBase,
                      ULONG FirstTimeslot, ULONG PumpCount, ULONG Index, ULONG DcdFollows, ULONG ResetOffset)
{
    ThisCsm->ThisAdapter = ThisAdapter;
    ThisCsm->ThisSocket = Socket;
    ThisCsm->Group = Group;
    ThisCsm->Index = Index;
    ThisCsm->PumpCount = PumpCount > CSM_MAX_PUMPS ? CSM_MAX_PUMPS : PumpCount;
    ThisCsm->Registers = RegisterBase;
    ThisCsm->ResetRegister = (volatile ULONG*)(RegisterBase + ResetOffset);
    ThisCsm->DcdFollowsCallState = DcdFollows;
    ThisCsm->LatchedStatus = 0;
    ThisCsm->State = CSM_DEAD;
    ThisCsm->ResetAttempts = 0;
    ThisCsm->DownloadOnly = 0;
    ThisCsm->GoodCalls = 0;
    ThisCsm->FailedCalls = 0;
    ThisCsm->PollsWithoutAck = 0;
    ThisCsm->NextBootStep = NULL;
    ThisCsm->ReadBackMismatches = 0;
    std::memset(&ThisCsm->CallStats, 0, sizeof ThisCsm->CallStats);
    ClearCsmStats(ThisCsm);
    for (ULONG p = 0; p < ThisCsm->PumpCount; p++)
        BuildPumpGraph(&ThisCsm->Pumps[p], ThisCsm, p, FirstTimeslot + Index * ThisCsm->PumpCount * 4 + p * 4);
    return TRUE;
}

ULONG ClearCsmStats(Csm* ThisCsm)
{
    std::memset(ThisCsm->InboundCounters, 0, sizeof ThisCsm->InboundCounters);
    std::memset(ThisCsm->OutboundCounters, 0, sizeof ThisCsm->OutboundCounters);
    return 0;
}

// ---- message counters and trace ----

typedef struct _CSM_MSG_ROW {
    UCHAR Code;
    const char* Name;
    ULONG Counter;  // CSM_NOT_COUNTED: named, not counted
} CSM_MSG_ROW;

static const CSM_MSG_ROW CsmMsgTable[] = {
    {MSG_ERRIND, "MSG_ERRIND", 0},
    {MSG_M21READY, "MSG_M21READY", 1},
    {MSG_DATAREQ, "MSG_DATAREQ", 2},
    {MSG_FIFODAT, "MSG_FIFODAT", 3},
    {MSG_SYNCDAT, "MSG_SYNCDAT", 4},
    {MSG_SYNCEOF, "MSG_SYNCEOF", 5},
    {MSG_SYNCERR, "MSG_SYNCERR", 6},
    {MSG_PACKREQ, "MSG_PACKREQ", 7},
    {MSG_DATACNT, "MSG_DATACNT", 8},
    {MSG_DATACHK, "MSG_DATACHK", 9},
    {MSG_PACKCHK, "MSG_PACKCHK", 10},
    {MSG_TXEMPTY, "MSG_TXEMPTY", 11},
    {MSG_ACCMTX, "MSG_ACCMTX", 12},
    {MSG_ACCMRX, "MSG_ACCMRX", 13},
    {MSG_DTEREQ, "MSG_DTEREQ", 14},
    {MSG_DTERPT, "MSG_DTERPT", 15},
    {MSG_DCEREQ, "MSG_DCEREQ", 16},
    {MSG_DCERPT, "MSG_DCERPT", 17},
    {MSG_ENAWIND, "MSG_ENAWIND", 18},
    {MSG_WINDSZE, "MSG_WINDSZE", 19},
    {MSG_HANGUP, "MSG_HANGUP", 20},
    {MSG_DIALDET, "MSG_DIALDET", 21},
    {MSG_ANSDET, "MSG_ANSDET", 22},
    {MSG_HGUPDET, "MSG_HGUPDET", 23},
    {MSG_LINECON, "MSG_LINECON", 24},
    {MSG_LINEERR, "MSG_LINEERR", 25},
    {MSG_RINGIND, "MSG_RINGIND", 26},
    {MSG_SETTSA, "MSG_SETTSA", 27},
    {MSG_CONFIGACK, "MSG_CONFIGACK", 28},
    {MSG_CHSTATUS, "MSG_CHSTATUS", 29},
    {MSG_CHRESET, "MSG_CHRESET", 30},
    {MSG_CHDISABLE, "MSG_CHDISABLE", 31},
    {MSG_CHANQUERY, "MSG_CHANQUERY", 32},
    {MSG_CHECKSUM, "MSG_CHECKSUM", 33},
    {MSG_DEBUG, "MSG_DEBUG", 34},
    {MSG_SETASYN, "MSG_SETASYN", 35},
    {MSG_SETSYNC, "MSG_SETSYNC", 36},
    {MSG_CRCENA, "MSG_CRCENA", 37},
    {MSG_CRCDIS, "MSG_CRCDIS", 38},
    {MSG_NTWKENA, "MSG_NTWKENA", 39},
    {MSG_NTWKDIS, "MSG_NTWKDIS", 40},
    {MSG_DEVREQ, "MSG_DEVREQ", 41},
    {MSG_DEVRPT, "MSG_DEVRPT", 42},
    {MSG_EVENTIND, "MSG_EVENTIND", 43},
    {MSG_CMDDAT, "MSG_CMDDAT", 44},
    {MSG_CMDREQ, "MSG_CMDREQ", 45},
    {MSG_V42CTRL, "MSG_V42CTRL", 46},
    {MSG_V42RESP, "MSG_V42RESP", 47},
    {MSG_FORCECSMCRASH, "MSG_FORCECSMCRASH", 48},
    {MSG_DEBUGINFO, "MSG_DEBUGINFO", 49},
    {MSG_LINEANSWERCALL, "MSG_LINEANSWERCALL", CSM_NOT_COUNTED},
    {MSG_LINEDROP, "MSG_LINEDROP", CSM_NOT_COUNTED},
    {MSG_ABORT, "MSG_ABORT", CSM_NOT_COUNTED},
    {MSG_PREFETCHFAILED, "MSG_PREFETCHFAILED", CSM_NOT_COUNTED},
    {MSG_SOFTWAREINTERRUPT, "MSG_SOFTWAREINTERRUPT", CSM_NOT_COUNTED},
    {MSG_UNDEFINEDINSTRUCTION, "MSG_UNDEFINEDINSTRUCTION", CSM_NOT_COUNTED},
};
#define CSM_MSG_ROWS (sizeof CsmMsgTable / sizeof CsmMsgTable[0])

static const CSM_MSG_ROW* CsmMsgRow(UCHAR Code)
{
    for (ULONG i = 0; i < CSM_MSG_ROWS; i++)
        if (CsmMsgTable[i].Code == Code) return &CsmMsgTable[i];
    return NULL;
}

ULONG CsmMsgCounterIndex(UCHAR Code)
{
    const CSM_MSG_ROW* row = CsmMsgRow(Code);
    return row == NULL ? CSM_NOT_COUNTED : row->Counter;
}

const char* CsmMsgName(UCHAR Code)
{
    const CSM_MSG_ROW* row = CsmMsgRow(Code);
    return row == NULL ? NULL : row->Name;
}

void CSMCountMsg(Csm* ThisCsm, UCHAR Direction)
{
    BOOLEAN out = Direction == CSM_COUNT_OUTBOUND;
    const USHORT* msg = out ? ThisCsm->OutboundMsg : ThisCsm->InboundMsg;
    PULONG block = out ? ThisCsm->OutboundCounters : ThisCsm->InboundCounters;
    UCHAR code = CSM_MSG_CODE(msg[3]);
    const CSM_MSG_ROW* row = CsmMsgRow(code);
    if (row != NULL && row->Counter < CSM_MSG_COUNTERS) block[row->Counter]++;
    if (!CsmTraceMessages) return;
    if (row == NULL) {
        RSS_LOG("MSG_%04x: ERROR: Undefined mailbox message (%04x,%04x,%04x)\n", msg[3], msg[2], msg[1], msg[0]);
        return;
    }
    BOOLEAN newline = code == MSG_LINEANSWERCALL || code == MSG_LINEDROP;
    RSS_LOG("%sCsm%d Pump%d %s%s(%04x,%04x,%04x)\n", out ? "Outbound " : "Inbound  ", (int)ThisCsm->Index,
            (int)CSM_MSG_PUMP(msg[3]), row->Name, newline ? "\n" : " ", msg[2], msg[1], msg[0]);
}

// ---- mailbox ----

BOOLEAN CSMSendOutboundMsg(Csm* ThisCsm, USHORT Word3, USHORT Word2, USHORT Word1, USHORT Word0)
{
    ThisCsm->OutboundMsg[0] = Word0;
    ThisCsm->OutboundMsg[1] = Word1;
    ThisCsm->OutboundMsg[2] = Word2;
    ThisCsm->OutboundMsg[3] = Word3;
    CSMCountMsg(ThisCsm, CSM_COUNT_OUTBOUND);
    ThisCsm->LatchedStatus &= ~(ULONG)CSM_CS_OUTBOUND_TAKEN;
    WriteMsg(ThisCsm, Word0, Word1, Word2, Word3);
    return TRUE;
}

void WriteMsg(Csm* ThisCsm, USHORT Word0, USHORT Word1, USHORT Word2, USHORT Word3)
{
    CsmWriteReg(ThisCsm, CSM_REG_CONTROL_STATUS, CSM_CS_DOORBELL);
    CsmWriteReg(ThisCsm, CsmOutboundReg(0), Word0);
    CsmWriteReg(ThisCsm, CsmOutboundReg(1), Word1);
    CsmWriteReg(ThisCsm, CsmOutboundReg(2), Word2);
    CsmWriteReg(ThisCsm, CsmOutboundReg(3), Word3);  // last: completes the message
}

static void CsmCopyInbound(Csm* ThisCsm)
{
    for (ULONG w = 0; w < 4; w++) ThisCsm->InboundMsg[w] = CsmReadReg(ThisCsm, CsmInboundReg(w));
}

BOOLEAN CSMReadInboundMsg(Csm* ThisCsm)
{
    if ((CsmLatchStatus(ThisCsm) & CSM_CS_INBOUND_PENDING) == 0) return FALSE;
    CsmCopyInbound(ThisCsm);
    CSMCountMsg(ThisCsm, CSM_COUNT_INBOUND);
    return TRUE;
}

void CSMAckInboundMsg(Csm* ThisCsm)
{
    ThisCsm->LatchedStatus &= ~(ULONG)CSM_CS_INBOUND_PENDING;
    CsmWriteReg(ThisCsm, CSM_REG_CONTROL_STATUS, CSM_CS_INBOUND_TAKEN);
}

BOOLEAN MsgAcknowledged(Csm* ThisCsm)
{
    if (CsmReadReg(ThisCsm, CSM_REG_CONTROL_STATUS) & CSM_CS_OUTBOUND_TAKEN) {
        CsmCopyInbound(ThisCsm);
        ThisCsm->BootPollCount = 0;
        return TRUE;
    }
    ThisCsm->BootPollCount++;
    return FALSE;
}

void CSMInitInboundMsg(Csm* ThisCsm)
{
    ThisCsm->LatchedStatus = CsmReadReg(ThisCsm, CSM_REG_CONTROL_STATUS);
    ThisCsm->LatchedStatus &= ~(ULONG)CSM_CS_INBOUND_PENDING;
    CsmWriteReg(ThisCsm, CSM_REG_CONTROL_STATUS, CSM_CS_INBOUND_TAKEN);
}

void CSMInitFIFO(Csm* ThisCsm) { CsmWriteReg(ThisCsm, CSM_REG_FIFO_CONTROL, CSM_FIFO_INIT); }

// Writes a block to the data FIFO as 16-bit words, first byte low; an odd block ends
// with a zero pad byte (nothing past the block is read).
void CsmWriteFifoData(Csm* ThisCsm, const UCHAR* Data, ULONG Length)
{
    for (ULONG i = 0; i < Length; i += 2) CsmWriteReg(ThisCsm, CSM_REG_DATA_WRITE, BlockWord(Data, Length, i));
}

// Reads the pump's FifoCount bytes into Buffer (FIFO_DATA_BLOCK_SIZE + 1 bytes) and
// ends them with a zero byte. A count above the block size is the processor's error:
// the first 128 bytes are kept (FifoCount becomes 128), the rest of the block is read
// and dropped while the FIFO still holds words, so the next block starts in step.
BOOLEAN TransferReceiveDataToRxBuffer(Csm* ThisCsm, Pump* ThisPump, PUCHAR Buffer)
{
    ULONG n = ThisPump->FifoCount, extra = 0, i = 0;
    if (n > FIFO_DATA_BLOCK_SIZE) {
        RSS_LOG("@@@@BytesinFifo > FIFO_DATA_BLOCK_SIZE\n");
        extra = WordsFor(n) - WordsFor(FIFO_DATA_BLOCK_SIZE);
        n = FIFO_DATA_BLOCK_SIZE;
        ThisPump->FifoCount = n;
    }
    for (; i + 2 <= n; i += 2) {
        USHORT w = CsmReadReg(ThisCsm, CSM_REG_FIFO_READ);
        Buffer[i] = (UCHAR)w;
        Buffer[i + 1] = (UCHAR)(w >> 8);
    }
    if (i < n) Buffer[i++] = (UCHAR)CsmReadReg(ThisCsm, CSM_REG_FIFO_READ);
    Buffer[i] = 0;
    while (extra-- > 0 && CsmReadReg(ThisCsm, CSM_REG_FIFO_NOT_EMPTY) != 0) (void)CsmReadReg(ThisCsm, CSM_REG_FIFO_READ);
    return TRUE;
}

// ---- text helpers for modem answers (bounded; the data may hold zero bytes) ----

static LONG CsmFindText(const UCHAR* Data, ULONG Length, ULONG From, const char* Text)
{
    ULONG t = (ULONG)std::strlen(Text);
    for (ULONG i = From; t <= Length && i <= Length - t; i++)
        if (std::memcmp(Data + i, Text, t) == 0) return (LONG)i;
    return -1;
}

static BOOLEAN CsmHasText(const UCHAR* Data, ULONG Length, const char* Text)
{
    return CsmFindText(Data, Length, 0, Text) >= 0;
}

// The decimal number at Data[At..Length) like atoi reads it (blanks, then digits),
// saturating instead of overflowing.
static ULONG CsmParseDecimal(const UCHAR* Data, ULONG Length, ULONG At)
{
    ULONG v = 0;
    while (At < Length && (Data[At] == ' ' || Data[At] == '\t')) At++;
    for (; At < Length && Data[At] >= '0' && Data[At] <= '9'; At++) {
        ULONG d = (ULONG)(Data[At] - '0');
        v = v > (0xFFFFFFFFu - d) / 10 ? 0xFFFFFFFFu : v * 10 + d;
    }
    return v;
}

static UCHAR LowerCase(UCHAR c) { return c >= 'A' && c <= 'Z' ? (UCHAR)(c - 'A' + 'a') : c; }

// ---- inbound handlers ----

static BOOLEAN PumpComOwned(Pump* ThisPump)
{
    return ThisPump->ThisLink != NULL &&
           (ThisPump->ThisLink->CurrentOwner == OWNER_VOVIZ4EZ || ThisPump->ThisLink->CurrentOwner == OWNER_VOVIZ4EZ_ALT);
}

static ULONG PumpAddress(Csm* ThisCsm, Pump* ThisPump)
{
    return CsmSocketIndex(ThisCsm) << 16 | ThisCsm->Index << 8 | ThisPump->PumpNumber;
}

static TmrPool* LinkPool(Link* ThisLink) { return &ThisLink->ThisAdapter->AdapterTimerPool; }

void csm_InboundDataReqHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    ThisPump->PumpReadyForReceiveData = 1;
    ThisPump->DataReqWord1 = ThisCsm->InboundMsg[1];
    ThisPump->DataReqWord2 = ThisCsm->InboundMsg[2];
}

void csm_InboundCmdReqHdlr(Csm*, Pump* ThisPump) { ThisPump->CmdAccepted = 1; }

static void csm_InboundStatisticsText(Pump* ThisPump, const UCHAR* Data, ULONG Count)
{
    ULONG room = PUMP_STATISTICS_TEXT_SIZE - 1 - ThisPump->StatisticsLength;  // keep the terminating zero
    if (ThisPump->StatisticsLength >= PUMP_STATISTICS_TEXT_SIZE - 1) room = 0;
    if (Count > room) Count = room;
    std::memcpy(ThisPump->StatisticsText + ThisPump->StatisticsLength, Data, Count);
    ThisPump->StatisticsLength += Count;
    ThisPump->StatisticsText[ThisPump->StatisticsLength] = 0;
    if (ThisPump->StatisticsLength > STATISTICS_COMPLETE_AFTER &&
        CsmFindText(ThisPump->StatisticsText, ThisPump->StatisticsLength, STATISTICS_COMPLETE_AFTER, "\r\nOK") >= 0)
        ThisPump->PumpEvent = Pump_Ev_End_Statistics;
}

static void csm_InboundAtResponse(Csm* ThisCsm, Pump* ThisPump, const UCHAR* Data, ULONG Count)
{
    std::memcpy(ThisPump->AtResponse, Data, Count);
    ThisPump->AtResponseLength = Count;
    if (ThisPump->PumpEventsEnabled == 1) {
        PumpIndicateStatus(ThisPump, DEVSPECIFIC_PUMP_MESSAGE, 0, PumpAddress(ThisCsm, ThisPump));
        if (CsmHasText(Data, Count, "\r\nOK") || CsmHasText(Data, Count, "\r\nERROR") || CsmHasText(Data, Count, "quit"))
            ThisPump->PumpEvent = Pump_Ev_None;
        ThisPump->DataRequested = 1;
        return;
    }
    for (ULONG i = 0; i < Count; i++)
        if (LowerCase(Data[i]) != LowerCase(ThisPump->AtCommand[i])) {
            ThisPump->PumpEvent = Pump_Ev_None;
            return;
        }
}

static void csm_InboundModemAnswer(Pump* ThisPump, const UCHAR* Data, ULONG Count)
{
    ULONG state = ThisPump->PumpState;
    LONG at;
    if (CsmHasText(Data, Count, "\r\nOK")) {
        if (state == PUMP_INIT)
            ThisPump->PumpEvent = Pump_Ev_Init_Done;
        else
            RSS_LOG("@@@@OK Response in a wrong state, current state= %d \n", (int)state);
    } else if (CsmHasText(Data, Count, "\r\nERROR")) {
        if (state == PUMP_INIT)
            ThisPump->PumpEvent = Pump_Ev_Init_Failed;
        else if (state == PUMP_ANSWER || state == PUMP_DIAL)
            ThisPump->PumpEvent = Pump_Ev_Action_Failed;
        else
            RSS_LOG("@@@@ERROR Response in a wrong state, current state= %d \n", (int)state);
    } else if (CsmHasText(Data, Count, "\r\nNO CARRIER")) {
        if (state == PUMP_NEED_RESET) {
            ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        } else if (state == PUMP_ANSWER || state == PUMP_DIAL) {
            ThisPump->PumpEvent = Pump_Ev_No_Carrier;
        } else if (state == PUMP_ON_LINE) {
            ThisPump->StepsWithoutSending = 0;
            ThisPump->PumpEvent = Pump_Ev_No_Carrier;
        } else if (state == PUMP_OUT_OF_SERVICE) {
            ThisPump->PumpState = PUMP_NEED_RESET;
            ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        } else {
            RSS_LOG("@@@@NO CARRIER Response in a wrong state, current state= %d\n", (int)state);
        }
    } else if (CsmHasText(Data, Count, "\r\nCARRIER")) {
        if (state == PUMP_ANSWER || state == PUMP_DIAL) {
            at = CsmFindText(Data, Count, 0, "TX:");
            if (at >= 0 && ThisPump->ThisLink != NULL)
                ThisPump->ThisLink->LinkSpeed = CsmParseDecimal(Data, Count, (ULONG)at + 4);
        } else {
            RSS_LOG("@@@@CARRIER Response in a wrong state, current state= %d \n", (int)state);
        }
    } else {
        RSS_LOG("@@@@Receive Buffer = %s\n", (const char*)Data);
    }
    if (CsmHasText(Data, Count, "\r\nCONNECT")) ThisPump->PumpEvent = Pump_Ev_Connect;
}

static void csm_InboundFifoDatHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    UCHAR buffer[FIFO_DATA_BLOCK_SIZE + 1];
    if (PumpComOwned(ThisPump)) {
        NTWRK_FifoDatHdlr(ThisCsm, ThisPump);
        return;
    }
    ThisPump->DataRequested = 0;
    ThisPump->FifoCount = ThisCsm->InboundMsg[2];
    TransferReceiveDataToRxBuffer(ThisCsm, ThisPump, buffer);
    ULONG n = ThisPump->FifoCount;
    if (ThisPump->PumpState == PUMP_GET_STATISTICS) {
        // The modem's hang-up comes before the statistics are asked for: it is the answer
        // the state waits for, not statistics text.
        if (ThisPump->PumpEvent != Host_Ev_Cmd && CsmHasText(buffer, n, "\r\nNO CARRIER")) {
            ThisPump->PumpEvent = Pump_Ev_No_Carrier;
            return;
        }
        csm_InboundStatisticsText(ThisPump, buffer, n);
        return;
    }
    if (ThisPump->PumpEvent == Host_Ev_Cmd) {
        csm_InboundAtResponse(ThisCsm, ThisPump, buffer, n);
        return;
    }
    csm_InboundModemAnswer(ThisPump, buffer, n);
}

static void csm_InboundCmdDatHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    UCHAR buffer[FIFO_DATA_BLOCK_SIZE + 1];
    CMD_CHAN* chan = &ThisPump->CmdChan;
    ThisPump->CmdRequested = 0;
    ThisPump->FifoCount = ThisCsm->InboundMsg[2] & 0xFF;
    TransferReceiveDataToRxBuffer(ThisCsm, ThisPump, buffer);
    chan->InCount = (USHORT)ThisPump->FifoCount;
    chan->InFcnCode = ThisCsm->InboundMsg[0];
    chan->InCmdType = (UCHAR)(ThisCsm->InboundMsg[1] & 0xFF);
    chan->InCmdClass = (USHORT)(ThisCsm->InboundMsg[1] & 0xFF00);
    chan->InCmdIndex = (UCHAR)(ThisCsm->InboundMsg[2] >> 8);
    std::memcpy(chan->InData, buffer, chan->InCount);
}

static void csm_InboundDceRptHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    USHORT word2 = ThisCsm->InboundMsg[2];
    USHORT old = ThisPump->ModemStatus;
    BOOLEAN oldDcd = (old & MODEM_STATUS_DCD) != 0, newDcd = (word2 & MODEM_STATUS_DCD) != 0;
    ThisPump->ModemStatus = word2;
    ULONG n = (ULONG)(word2 & 0x0F) << 4;
    n += ((n ^ ThisPump->ModemStatusRegister) >> 4) & 0x0F;
    if ((word2 & MODEM_STATUS_RI) == 0) n &= ~0x04u;
    n |= ThisPump->ModemStatusRegister & 0x0F;
    ThisPump->ModemStatusRegister = (UCHAR)n;

    Link* l = ThisPump->ThisLink;
    if (l == NULL) return;
    if (l->CurrentOwner == OWNER_VOVIZ4EZ && l->ThisAsyncPort != NULL)
        ThisPump->ModemStatusRegister &= (UCHAR)(ser_HandleModemUpdate(l->ThisAsyncPort) | 0xF0);
    if (ThisPump->ChannelProtocol != 1 && ThisCsm->DcdFollowsCallState == 1 && oldDcd != newDcd) {
        if (newDcd) {
            if (ThisPump->PumpState == PUMP_ANSWER || ThisPump->PumpState == PUMP_DIAL) {
                ThisPump->PumpState = PUMP_ON_LINE;
                RSS_LOG("@@@@DCD high , New state= PUMP_ON_LINE \n");
            }
        } else if (ThisPump->PumpState >= PUMP_ANSWER && ThisPump->PumpState <= PUMP_ON_LINE) {
            ThisPump->PumpEvent = Pump_Ev_No_Carrier;
        } else if (ThisPump->PumpState != PUMP_GET_STATISTICS) {
            RSS_LOG("@@@@DCD low received in a wrong state, current state= %d \n", (int)ThisPump->PumpState);
        }
    }
    if (ThisCsm->ThisAdapter->StatusEventIndication == 1 && old != word2)
        PumpIndicateStatus(ThisPump, DEVSPECIFIC_PUMP_STATE, word2, l->Index << 24 | PumpAddress(ThisCsm, ThisPump));
}

static void csm_InboundHangupHdlr(Csm*, Pump* ThisPump) { ThisPump->PumpEvent = Pump_Ev_No_Carrier; }

static void csm_InboundDialDetHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    UCHAR buffer[FIFO_DATA_BLOCK_SIZE + 1];
    // The text is read whatever follows, so the FIFO stays in step with the messages.
    ThisPump->FifoCount = ThisCsm->InboundMsg[2] & 0x7F;
    TransferReceiveDataToRxBuffer(ThisCsm, ThisPump, buffer);
    Link* l = ThisPump->ThisLink;
    if (l == NULL) {
        ThisPump->PumpEvent = Host_Ev_ChannelDisconnected;
        return;
    }
    if (!PumpComOwned(ThisPump)) return;
    ThisPump->PumpState = PUMP_DIAL;
    ULONG digits = 0;
    for (ULONG i = 0; i < ThisPump->FifoCount && digits < CALL_NUMBER_MAX_DIGITS; i++)
        if (buffer[i] >= '0' && buffer[i] <= '9') l->CalledNumber[1 + digits++] = (CHAR)buffer[i];
    l->CalledNumber[0] = (CHAR)digits;
    l->TransferCaps = 0;
    l->ChannelProtocol = 0;
    if (digits == 0 || !RSS_MakeCall(l)) {
        ThisPump->PumpEvent = Host_Ev_ChannelDisconnected;
        return;
    }
    TmrStart(LinkPool(l), (ULONG_PTR)l, LINK_TMR_ASYNC_DIAL, ASYNC_DIAL_TIMEOUT_MS, AsyncDialTimeout, l);
}

BOOLEAN AsyncDialTimeout(PVOID Context)
{
    Link* l = (Link*)Context;
    Pump* p = l->ThisPump;
    if (p == NULL || p->PumpState != PUMP_DIAL || l->ThisBChannel == NULL || l->GroupID >= MAX_GROUPS) return TRUE;
    RSS_LOG("AsyncDialTimeout Csm%d Pump%d Link%d: dialing timeout => No Answer\n", (int)p->ThisCsm->Index,
            (int)p->PumpNumber, (int)l->Index);
    RSS_LOG("REQUEST_DISCONNECT : NOANSWER\n");
    SGNL_CALL_REQUEST request = l->ThisAdapter->SgnlProtocolOps[l->GroupID].CallRequest;
    if (request != NULL) request(REQUEST_DISCONNECT, l->ThisBChannel, NULL, NOANSWER, l->DisconnectFlag);
    // A stack without a clearing exchange (robbed bit) lets go of the call at once and
    // reports nothing: the port hears NO CARRIER from here.
    if (l->ThisBChannel == NULL) DisconnectHdlr(l);
    return TRUE;
}

static void csm_InboundAnsDetHdlr(Csm*, Pump* ThisPump)
{
    Link* l = ThisPump->ThisLink;
    if (l == NULL) {
        ThisPump->PumpEvent = Host_Ev_ChannelDisconnected;
        return;
    }
    if (!PumpComOwned(ThisPump) || l->ThisBChannel == NULL) return;
    Bt847xAssignTimeslot(l, TIMESLOT_KIND_B_TO_PUMP, 0);
    RSS_AnswerCall(l);
    ThisPump->PumpState = PUMP_ANSWER;
}

static void csm_InboundHgupDetHdlr(Csm*, Pump* ThisPump)
{
    if (PumpComOwned(ThisPump) && (ThisPump->PumpState == PUMP_DIAL || ThisPump->PumpState == PUMP_ANSWER))
        DisconnectLinkChannel(ThisPump->ThisLink);
}

static void csm_InboundEventIndHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    Link* l = ThisPump->ThisLink;
    USHORT code = ThisCsm->InboundMsg[2];
    if (l == NULL) return;
    if (l->CurrentOwner == OWNER_VOVIZ4EZ_ALT) {
        if (code == 1) ThisPump->PumpState = PUMP_ON_LINE;
        return;
    }
    if (l->CurrentOwner != OWNER_VOVIZ4EZ || code > 4) return;
    switch (code) {
    case 0:
        ThisPump->OnLineData = 0;
        return;
    case 1:
    case 3:
        ThisPump->PumpState = PUMP_ON_LINE;
        ThisPump->OnLineData = 1;
        ThisPump->PumpFaxConnection = code == 3;
        break;
    case 2:
        ThisPump->OnLineData = 0;
        break;
    case 4:
        ThisPump->PumpFaxConnection = 0;
        ThisPump->OnLineData = 0;
        DisconnectHdlr(l);
        break;
    }
    TmrClear(LinkPool(l), (ULONG_PTR)l, LINK_TMR_ASYNC_DIAL);
}

void csm_InboundChStatusHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    USHORT word2 = ThisCsm->InboundMsg[2];
    if (ThisPump->PumpState == PUMP_NEED_RESET) {
        if (word2 == 1) {
            ThisPump->PumpEvent = Pump_Ev_Reset_Done;
        } else {
            if (ThisPump->ResetFailures != 0xFFFFFFFF) ThisPump->ResetFailures++;
            ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        }
    } else if (ThisPump->PumpState == PUMP_HANGUP) {
        ThisPump->PumpEvent = word2 != 0 ? Pump_Ev_Hangup_Done : Pump_Ev_Hangup_Failed;
    }
}

static void csm_InboundChResetHdlr(Csm* ThisCsm, Pump*) { ThisCsm->State = CSM_NEED_RESET; }

static void csm_InboundV42RespHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    const USHORT* m = ThisCsm->InboundMsg;
    ThisPump->ModemStatus = m[2];
    if (ThisPump->ThisLink == NULL) return;
    ThisPump->DataReqWord1 = m[1];
    ThisPump->DataReqWord2 = m[2];
    if (m[2] == 0) PumpIndicateStatus(ThisPump, DEVSPECIFIC_V42_RESPONSE, m[1], m[0]);
    if (m[2] == 1) PumpIndicateStatus(ThisPump, DEVSPECIFIC_V42_RESPONSE_2, m[1], m[0]);
}

static void csm_InboundFatalErrorHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    PumpIndicateStatus(ThisPump, DEVSPECIFIC_CSM_FATAL, ThisCsm->InboundMsg[3], 0);
    ThisCsm->State = CSM_NEED_RESET;
}

typedef void (*CSM_INBOUND_HANDLER)(Csm* ThisCsm, Pump* ThisPump);
typedef struct _CSM_INBOUND_ROW {
    UCHAR Code;
    CSM_INBOUND_HANDLER Handler;
} CSM_INBOUND_ROW;

// Inbound codes with a handler; every other code is ignored.
static const CSM_INBOUND_ROW CsmInboundTable[] = {
    {MSG_DATAREQ, csm_InboundDataReqHdlr},
    {MSG_FIFODAT, csm_InboundFifoDatHdlr},
    {MSG_CMDDAT, csm_InboundCmdDatHdlr},
    {MSG_CMDREQ, csm_InboundCmdReqHdlr},
    {MSG_DCERPT, csm_InboundDceRptHdlr},
    {MSG_HANGUP, csm_InboundHangupHdlr},
    {MSG_DIALDET, csm_InboundDialDetHdlr},
    {MSG_ANSDET, csm_InboundAnsDetHdlr},
    {MSG_HGUPDET, csm_InboundHgupDetHdlr},
    {MSG_EVENTIND, csm_InboundEventIndHdlr},
    {MSG_CHSTATUS, csm_InboundChStatusHdlr},
    {MSG_CHRESET, csm_InboundChResetHdlr},
    {MSG_V42RESP, csm_InboundV42RespHdlr},
    {MSG_ABORT, csm_InboundFatalErrorHdlr},
    {MSG_PREFETCHFAILED, csm_InboundFatalErrorHdlr},
    {MSG_SOFTWAREINTERRUPT, csm_InboundFatalErrorHdlr},
    {MSG_UNDEFINEDINSTRUCTION, csm_InboundFatalErrorHdlr},
};

static CSM_INBOUND_HANDLER CsmInboundHandler(UCHAR Code)
{
    for (ULONG i = 0; i < sizeof CsmInboundTable / sizeof CsmInboundTable[0]; i++)
        if (CsmInboundTable[i].Code == Code) return CsmInboundTable[i].Handler;
    return NULL;
}

static BOOLEAN CsmFatalCode(UCHAR Code) { return Code >= MSG_ABORT && Code <= MSG_UNDEFINEDINSTRUCTION; }


// The FIFO bytes that come with an inbound message, by its code and word 2.
static ULONG CsmFifoBytesOf(UCHAR Code, USHORT Word2)
{
    switch (Code) {
    case MSG_FIFODAT: return Word2;
    case MSG_CMDDAT: return Word2 & 0xFF;
    case MSG_DIALDET: return Word2 & 0x7F;
    default: return 0;
    }
}

// Reads and drops a message's FIFO bytes, so the next message starts at its own data.
static void CsmDrainFifo(Csm* ThisCsm, ULONG Bytes)
{
    for (ULONG w = 0; w < WordsFor(Bytes) && CsmReadReg(ThisCsm, CSM_REG_FIFO_NOT_EMPTY) != 0; w++)
        (void)CsmReadReg(ThisCsm, CSM_REG_FIFO_READ);
}

// Takes at most one inbound message. A message that names no pump of this processor is
// traced, acknowledged and dropped with its FIFO bytes (it would otherwise stay pending
// and block every later message); a processor exception among them still resets the
// processor.
BOOLEAN csm_InboundMsgHdlr(Csm* ThisCsm)
{
    if (!CSMReadInboundMsg(ThisCsm)) return TRUE;
    USHORT word3 = ThisCsm->InboundMsg[3];
    ULONG p = CSM_MSG_PUMP(word3);
    UCHAR code = CSM_MSG_CODE(word3);
    if (!CsmPumpValid(ThisCsm, p)) {
        RSS_LOG("@@@@Wrong Pump Nbr %d\n", (int)p);
        if (CsmFatalCode(code)) ThisCsm->State = CSM_NEED_RESET;
        CsmDrainFifo(ThisCsm, CsmFifoBytesOf(code, ThisCsm->InboundMsg[2]));
        CSMAckInboundMsg(ThisCsm);
        return FALSE;
    }
    CSM_INBOUND_HANDLER handler = CsmInboundHandler(code);
    if (handler != NULL) handler(ThisCsm, &ThisCsm->Pumps[p]);
    CSMAckInboundMsg(ThisCsm);
    return TRUE;
}

// ---- per-pump step ----

static const PUMP_STATE_HANDLER PumpStateHandlers[PUMP_GET_STATISTICS + 1] = {
    Pump_NeedResetState, Pump_SleepState,    Pump_InitState,   Pump_IdleState,         Pump_DialAnswerState,
    Pump_DialAnswerState, Pump_OnLineState, Pump_HangupState, Pump_GetStatisticsState,
};

// The rest of PumpStateMachine: the pump's state handler and what it has to send.
BOOLEAN PumpSendStep(Csm* ThisCsm, Pump* p)
{
    USHORT pump = (USHORT)p->PumpNumber;
    if (p->PumpState > PUMP_GET_STATISTICS) {
        RSS_LOG("@@@@Unkown state= %d\n", (int)p->PumpState);
        RSS_LOG("@@@@Group%d, Socket%d, Csm%d, Pump%d\n", (int)ThisCsm->Group, (int)CsmSocketIndex(ThisCsm),
                (int)ThisCsm->Index, (int)pump);
        return TRUE;
    }
    PUCHAR data = NULL;
    ULONG length = 0;
    if (!PumpStateHandlers[p->PumpState](p, &data, &length)) return TRUE;
    if (length > FIFO_DATA_BLOCK_SIZE) length = FIFO_DATA_BLOCK_SIZE;
    p->StepsWithoutSending = 0;
    if (data != NULL) CsmWriteFifoData(ThisCsm, data, length);
    if (p->OutboundCode == CSM_MSG_WORD3(MSG_CMDDAT, 0)) {
        CMD_CHAN* c = &p->CmdChan;
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_CMDDAT, pump), (USHORT)(c->OutCmdIndex << 8 | (c->OutCount & 0xFF)),
                           (USHORT)(c->OutCmdClass | c->OutCmdType), c->OutFcnCode);
        c->OutCount = 0;
        p->CmdAccepted = 0;
        c->OutCmdClass = 0;
    } else {
        CSMSendOutboundMsg(ThisCsm, (USHORT)(p->OutboundCode | pump), (USHORT)p->DataReqWord2, 0, 0);
        p->PumpReadyForReceiveData = 0;
    }
    return TRUE;
}

// ---- firmware image ----

// Checks an image as the loader will read it: the header, both parts and every region
// inside the image, no region's processor addresses wrapping, a chain that ends, and a
// checksum region long enough to carry its checksum. Lengths are added in 64 bits.
ULONG CsmCheckImage(const UCHAR* Image, ULONG Size, CSM_IMAGE_INFO* Info)
{
    std::memset(Info, 0, sizeof *Info);
    if (Size == 0) return CSM_IMAGE_EMPTY;
    if (Size < AIF_HEADER_SIZE) return CSM_IMAGE_SHORT_HEADER;
    Info->ReadOnlySize = LeUlong(Image + AIF_READ_ONLY_SIZE);
    Info->ReadWriteSize = LeUlong(Image + AIF_READ_WRITE_SIZE);
    Info->ImageBase = LeUlong(Image + AIF_IMAGE_BASE);
    Info->DataBase = LeUlong(Image + AIF_DATA_BASE);
    Info->FirstFatOffset = LeUlong(Image + AIF_FIRST_FAT_OFFSET);
    if ((CSM_WIDE)AIF_HEADER_SIZE + Info->ReadOnlySize + Info->ReadWriteSize > Size) return CSM_IMAGE_PARTS_BEYOND;
    if ((CSM_WIDE)Info->ImageBase + Info->ReadOnlySize > 0x100000000ull ||
        (CSM_WIDE)Info->DataBase + Info->ReadWriteSize > 0x100000000ull)
        return CSM_IMAGE_ADDRESS_WRAPS;
    ULONG offset = Info->FirstFatOffset;
    ULONG maxRegions = Size / FAT_AIF_HEADER_SIZE;
    while (offset != 0) {
        if (Info->RegionCount >= maxRegions) return CSM_IMAGE_CHAIN_LOOPS;
        if ((CSM_WIDE)offset + FAT_AIF_HEADER_SIZE > Size) return CSM_IMAGE_REGION_HEADER_BEYOND;
        const UCHAR* h = Image + offset;
        ULONG size = LeUlong(h + FAT_SIZE), address = LeUlong(h + FAT_LOAD_ADDRESS);
        if ((CSM_WIDE)offset + FAT_AIF_HEADER_SIZE + size > Size) return CSM_IMAGE_REGION_BEYOND;
        if ((CSM_WIDE)address + size > 0x100000000ull) return CSM_IMAGE_ADDRESS_WRAPS;
        if (std::memcmp(h + FAT_REGION_NAME, CkSegName, sizeof CkSegName) == 0) {
            if (size < 2) return CSM_IMAGE_CHECKSUM_SHORT;
            Info->EmbeddedChecksum = LeUshort(h + FAT_AIF_HEADER_SIZE);
            Info->HasChecksumRegion = 1;
        }
        Info->RegionCount++;
        offset = LeUlong(h + FAT_NEXT_OFFSET);
    }
    return CSM_IMAGE_OK;
}

// ---- boot and download ----

BOOLEAN CsmModuleZeroFills(ULONG ModuleID)
{
    return ModuleID == 2 || ModuleID == 5 || ModuleID == 8 || ModuleID == 11 || ModuleID == 14 || ModuleID == 17 ||
           ModuleID == 20 || ModuleID == 23;
}

BOOLEAN CsmModuleHasTdm(ULONG ModuleID) { return ModuleID == 2 || ModuleID == 5 || ModuleID == 14 || ModuleID == 17; }

static ULONG CsmModuleID(Csm* ThisCsm) { return ThisCsm->ThisSocket ? ThisCsm->ThisSocket->ModuleID : 0; }

// The boot handshakes, four little-endian words each: the processor's handshake, which
// the loader echoes when it is ready, then the host's, which it answers to take commands.
static const USHORT CsmProcessorHandshake[4] = {0x4F52, 0x4B43, 0x4557, 0x4C4C};
static const USHORT CsmHostHandshake[4] = {0x4F48, 0x5453, 0x4F42, 0x544F};

static BOOLEAN CheckRockwellResponse(PVOID Context);
static BOOLEAN CheckHostBootResponse(PVOID Context);
static BOOLEAN CheckLoadResponse(PVOID Context);
static BOOLEAN CheckZeroFillResponse(PVOID Context);
static BOOLEAN CheckStartResponse(PVOID Context);
static BOOLEAN CheckTDMIFResponse(PVOID Context);
static BOOLEAN CheckChecksumResponse(PVOID Context);
static BOOLEAN ConfigureChipSelects(Csm* ThisCsm);
static BOOLEAN DownLoadCode(Csm* ThisCsm);
static BOOLEAN DownLoadData(Csm* ThisCsm);
static BOOLEAN DownLoadNextFat(Csm* ThisCsm);
static BOOLEAN StartGetChecksum(Csm* ThisCsm);

// A boot step that cannot go on: the socket service resets the processor.
static BOOLEAN CsmBootFailed(Csm* ThisCsm)
{
    ThisCsm->State = CSM_NEED_RESET;
    return TRUE;
}

// The same, from a step that starts a transfer: FALSE, nothing started.
static BOOLEAN CsmBootRefused(Csm* ThisCsm)
{
    ThisCsm->State = CSM_NEED_RESET;
    return FALSE;
}

static BOOLEAN CsmArmStep(Csm* ThisCsm, ULONG Key, ULONG Ms, TMR_CALLBACK Step)
{
    if (TmrStart(CsmPool(ThisCsm), (ULONG_PTR)ThisCsm, Key, Ms, Step, ThisCsm)) return TRUE;
    RSS_LOG("@@@@No timer for the boot of Socket%d, Csm%d\n", (int)CsmSocketIndex(ThisCsm), (int)ThisCsm->Index);
    ThisCsm->State = CSM_NEED_RESET;
    return FALSE;
}

static void CsmRestartStep(Csm* ThisCsm, ULONG Key) { TmrRestart(CsmPool(ThisCsm), (ULONG_PTR)ThisCsm, Key, CSM_BOOT_POLL_MS); }

// A wait step's common part.
#define CSM_WAIT_READY 0
#define CSM_WAIT_AGAIN 1
#define CSM_WAIT_FAILED 2
static ULONG CsmBootWait(Csm* ThisCsm)
{
    if (MsgAcknowledged(ThisCsm)) return CSM_WAIT_READY;
    if (ThisCsm->BootPollCount < CSM_BOOT_POLLS_MAX) {
        CsmRestartStep(ThisCsm, CSM_TMR_BOOT_STEP);
        return CSM_WAIT_AGAIN;
    }
    ThisCsm->State = CSM_NEED_RESET;
    return CSM_WAIT_FAILED;
}

// A boot callback whose processor left the download (a reset was asked meanwhile) ends.
static Csm* CsmBootContext(PVOID Context)
{
    Csm* c = (Csm*)Context;
    return c->State == CSM_DOWNLOADING ? c : NULL;
}

static void WriteRockwell(Csm* ThisCsm)
{
    WriteMsg(ThisCsm, CsmProcessorHandshake[0], CsmProcessorHandshake[1], CsmProcessorHandshake[2], CsmProcessorHandshake[3]);
    ThisCsm->HandshakeAttempts++;
}

static BOOLEAN WaitMsgAcknowledged(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    if (MsgAcknowledged(c)) {
        c->HandshakeAttempts = 0;
        WriteRockwell(c);
        CsmArmStep(c, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, CheckRockwellResponse);
        return TRUE;
    }
    if (c->BootPollCount < CSM_BOOT_POLLS_MAX) {
        CsmRestartStep(c, CSM_TMR_BOOT_WAIT);
        return FALSE;
    }
    return CsmBootFailed(c);
}

void StartCodeDownLoad(Csm* ThisCsm)
{
    Adapter* a = ThisCsm->ThisAdapter;
    CSM_IMAGE_INFO info;
    if (a->CSMCodeSize == 0) {
        ThisCsm->State = CSM_DEAD;
        return;
    }
    ULONG check = CsmCheckImage(a->CSMCode, a->CSMCodeSize, &info);
    if (check != CSM_IMAGE_OK) {
        RSS_LOG("@@@@Firmware image refused (%d) { G:%d, D:%d, C:%d }\n", (int)check, (int)ThisCsm->Group,
                (int)CsmSocketIndex(ThisCsm), (int)ThisCsm->Index);
        ThisCsm->State = CSM_DEAD;
        return;
    }
    ThisCsm->State = CSM_DOWNLOADING;
    ThisCsm->HandshakeAttempts = 0;
    ThisCsm->BootPollCount = 0;
    ThisCsm->EmbeddedChecksum = 0;
    ThisCsm->ReadBackMismatches = 0;
    if (MsgAcknowledged(ThisCsm)) {
        WriteRockwell(ThisCsm);
        CsmArmStep(ThisCsm, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, CheckRockwellResponse);
    } else {
        CsmArmStep(ThisCsm, CSM_TMR_BOOT_WAIT, CSM_BOOT_POLL_MS, WaitMsgAcknowledged);
    }
}

static BOOLEAN CheckRockwellResponse(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    ULONG wait = CsmBootWait(c);
    if (wait != CSM_WAIT_READY) return wait == CSM_WAIT_FAILED;
    if (std::memcmp(c->InboundMsg, CsmProcessorHandshake, sizeof CsmProcessorHandshake) == 0) {
        WriteMsg(c, CsmHostHandshake[0], CsmHostHandshake[1], CsmHostHandshake[2], CsmHostHandshake[3]);
        CsmArmStep(c, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, CheckHostBootResponse);
        return TRUE;
    }
    if (c->HandshakeAttempts < CSM_HANDSHAKES_MAX) {
        WriteRockwell(c);
        CsmRestartStep(c, CSM_TMR_BOOT_STEP);
        return FALSE;
    }
    return CsmBootFailed(c);
}

static BOOLEAN ZeroFill(Csm* ThisCsm);

static BOOLEAN CheckHostBootResponse(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    ULONG wait = CsmBootWait(c);
    if (wait != CSM_WAIT_READY) return wait == CSM_WAIT_FAILED;
    if (c->InboundMsg[3] == 0) return CsmBootFailed(c);
    CSMInitFIFO(c);
    if (CsmModuleZeroFills(CsmModuleID(c))) {
        c->DownloadAddress = 0;
        c->DownloadRemaining = CSM_ZEROFILL_SIZE;
        c->NextBootStep = ConfigureChipSelects;
        ZeroFill(c);
    } else {
        ConfigureChipSelects(c);
    }
    return TRUE;
}

static BOOLEAN Load(Csm* ThisCsm)
{
    ULONG n = ThisCsm->DownloadRemaining < CSM_LOAD_BLOCK_MAX + 1 ? ThisCsm->DownloadRemaining : CSM_LOAD_BLOCK_MAX;
    ULONG address = ThisCsm->DownloadAddress;
    ThisCsm->DownloadRemaining -= n;
    WriteMsg(ThisCsm, (USHORT)n, (USHORT)(address >> 16), (USHORT)(address & 0xFFFF), CMD_LOAD);
    ThisCsm->DownloadAddress += n;
    CsmWriteFifoData(ThisCsm, ThisCsm->DownloadSource, n);
    ThisCsm->ReadBackAddress = address;
    ThisCsm->ReadBackCount = n;
    ThisCsm->ReadBackSource = ThisCsm->DownloadSource;
    ThisCsm->DownloadSource += n;
    return CsmArmStep(ThisCsm, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, CheckLoadResponse);
}

// Reads the last loaded block back through the FIFO and compares it, at most five
// passes; FALSE when the loader stopped answering (the processor then needs a reset).
static BOOLEAN VerifyReadBack(Csm* ThisCsm)
{
    ULONG address = ThisCsm->ReadBackAddress, count = ThisCsm->ReadBackCount;
    for (ULONG pass = 0; pass < CSM_VERIFY_PASSES; pass++) {
        BOOLEAN mismatch = FALSE;
        WriteMsg(ThisCsm, (USHORT)count, (USHORT)(address >> 16), (USHORT)(address & 0xFFFF), CMD_FIFOREAD);
        for (ULONG w = 0; w < WordsFor(count); w++) {
            ULONG polls = 0;
            while (CsmReadReg(ThisCsm, CSM_REG_FIFO_NOT_EMPTY) == 0)
                if (++polls >= CSM_VERIFY_FIFO_POLLS) {
                    RSS_TRACE("\tNo more words from FIFO\n");
                    return FALSE;
                }
            USHORT got = CsmReadReg(ThisCsm, CSM_REG_FIFO_READ);
            USHORT expected = BlockWord(ThisCsm->ReadBackSource, count, 2 * w);
            if (got != expected) {
                RSS_TRACE("\tFIFO Mismatch 0x%08x word index %d\n", (unsigned)address, (int)w);
                RSS_TRACE("\tExpected 0x%x got 0x%x\n", expected, got);
                mismatch = TRUE;
            }
        }
        ULONG acks = 0;
        while (!MsgAcknowledged(ThisCsm))
            if (++acks >= CSM_VERIFY_ACK_POLLS) {
                RSS_TRACE("\tDid Not Ack last CMD_FIFOREAD message");
                return FALSE;
            }
        if (!mismatch) return TRUE;
        ThisCsm->ReadBackMismatches++;
    }
    return TRUE;
}

static BOOLEAN CheckLoadResponse(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    ULONG wait = CsmBootWait(c);
    if (wait != CSM_WAIT_READY) return wait == CSM_WAIT_FAILED;
    if (c->InboundMsg[3] == 0) return CsmBootFailed(c);
    if (c->ThisAdapter->VerifyLoad != 0 && !VerifyReadBack(c)) return CsmBootFailed(c);
    if (c->DownloadRemaining == 0) {
        if (c->NextBootStep != NULL) c->NextBootStep(c);
    } else {
        Load(c);
    }
    return TRUE;
}

static BOOLEAN ZeroFill(Csm* ThisCsm)
{
    ULONG n = ThisCsm->DownloadRemaining < CSM_ZEROFILL_BLOCK_MAX + 1 ? ThisCsm->DownloadRemaining
                                                                       : CSM_ZEROFILL_BLOCK_MAX;
    ULONG address = ThisCsm->DownloadAddress;
    ThisCsm->DownloadRemaining -= n;
    WriteMsg(ThisCsm, (USHORT)n, (USHORT)(address >> 16), (USHORT)(address & 0xFFFF), CMD_ZEROFILL);
    ThisCsm->DownloadAddress += n;
    return CsmArmStep(ThisCsm, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, CheckZeroFillResponse);
}

static BOOLEAN CheckZeroFillResponse(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    ULONG wait = CsmBootWait(c);
    if (wait != CSM_WAIT_READY) return wait == CSM_WAIT_FAILED;
    if (c->InboundMsg[3] == 0) return CsmBootFailed(c);
    if (c->DownloadRemaining == 0) {
        if (c->NextBootStep != NULL) c->NextBootStep(c);
    } else {
        ZeroFill(c);
    }
    return TRUE;
}

// One processor set-up write: its words, length and address, then the next step.
static BOOLEAN CsmSetupWrite(Csm* ThisCsm, ULONG Address, USHORT Word0, USHORT Word1, ULONG Bytes, CSM_BOOT_STEP Next)
{
    ThisCsm->SetupValue[0] = Word0;
    ThisCsm->SetupValue[1] = Word1;
    ThisCsm->DownloadRemaining = Bytes;
    ThisCsm->DownloadAddress = Address;
    ThisCsm->DownloadSource = (PUCHAR)ThisCsm->SetupValue;  // little-endian host: the words in order
    ThisCsm->NextBootStep = Next;
    return Load(ThisCsm);
}

static BOOLEAN ConfigSDRAM(Csm* ThisCsm) { return CsmSetupWrite(ThisCsm, 0x01000220, 0xCF00, 0, 2, DownLoadCode); }
static BOOLEAN SetupCS1(Csm* ThisCsm) { return CsmSetupWrite(ThisCsm, 0x01000234, 0x4009, 0x0211, 4, ConfigSDRAM); }
static BOOLEAN SetupCS2(Csm* ThisCsm) { return CsmSetupWrite(ThisCsm, 0x01000238, 0x1007, 0x0013, 4, SetupCS1); }

static BOOLEAN ConfigureChipSelects(Csm* ThisCsm)
{
    if (CsmModuleZeroFills(CsmModuleID(ThisCsm))) {
        RSS_TRACE("\tChip Select configuration is NOT required\n");
        return DownLoadCode(ThisCsm);
    }
    return SetupCS2(ThisCsm);
}

// Starts loading Length bytes of the image at Offset to Address, then Next; FALSE (and
// a reset asked) when the block does not lie inside the image.
static BOOLEAN CsmLoadImageBlock(Csm* ThisCsm, ULONG Offset, ULONG Length, ULONG Address, CSM_BOOT_STEP Next)
{
    PUCHAR source = CsmImageAt(ThisCsm->ThisAdapter, Offset, Length);
    if (source == NULL) return CsmBootRefused(ThisCsm);
    ThisCsm->NextBootStep = Next;
    ThisCsm->DownloadRemaining = Length;
    ThisCsm->DownloadAddress = Address;
    ThisCsm->DownloadSource = source;
    return Load(ThisCsm);
}

static BOOLEAN DownLoadCode(Csm* ThisCsm)
{
    Adapter* a = ThisCsm->ThisAdapter;
    ULONG size = CsmImageUlong(a, AIF_READ_ONLY_SIZE);
    if (size == 0) return DownLoadData(ThisCsm);
    return CsmLoadImageBlock(ThisCsm, AIF_HEADER_SIZE, size, CsmImageUlong(a, AIF_IMAGE_BASE), DownLoadData);
}

static BOOLEAN DownLoadData(Csm* ThisCsm)
{
    Adapter* a = ThisCsm->ThisAdapter;
    ULONG readOnly = CsmImageUlong(a, AIF_READ_ONLY_SIZE), size = CsmImageUlong(a, AIF_READ_WRITE_SIZE);
    ThisCsm->FatOffset = CsmImageUlong(a, AIF_FIRST_FAT_OFFSET);
    if (size == 0) return DownLoadNextFat(ThisCsm);
    if ((CSM_WIDE)AIF_HEADER_SIZE + readOnly > 0xFFFFFFFFull) return CsmBootRefused(ThisCsm);
    return CsmLoadImageBlock(ThisCsm, AIF_HEADER_SIZE + readOnly, size, CsmImageUlong(a, AIF_DATA_BASE), DownLoadNextFat);
}

static BOOLEAN StartCode(Csm* ThisCsm)
{
    ULONG base = CsmImageUlong(ThisCsm->ThisAdapter, AIF_IMAGE_BASE);
    WriteMsg(ThisCsm, 0, (USHORT)(base >> 16), (USHORT)(base & 0xFFFF), CMD_STARTCODE);
    return CsmArmStep(ThisCsm, CSM_TMR_BOOT_STEP, CSM_START_WAIT_MS, CheckStartResponse);
}

static BOOLEAN DownLoadNextFat(Csm* ThisCsm)
{
    Adapter* a = ThisCsm->ThisAdapter;
    ULONG links = a->CSMCodeSize / FAT_AIF_HEADER_SIZE + 1;  // more links than that: the chain loops
    while (ThisCsm->FatOffset > 0) {
        PUCHAR h = CsmImageAt(a, ThisCsm->FatOffset, FAT_AIF_HEADER_SIZE);
        if (h == NULL || links-- == 0) return CsmBootRefused(ThisCsm);
        ULONG size = LeUlong(h + FAT_SIZE), address = LeUlong(h + FAT_LOAD_ADDRESS);
        ULONG dataOffset = ThisCsm->FatOffset + FAT_AIF_HEADER_SIZE;
        ThisCsm->FatOffset = LeUlong(h + FAT_NEXT_OFFSET);
        PUCHAR source = CsmImageAt(a, dataOffset, size);
        if (source == NULL) return CsmBootRefused(ThisCsm);
        if (std::memcmp(h + FAT_REGION_NAME, CkSegName, sizeof CkSegName) == 0 && size >= 2)
            ThisCsm->EmbeddedChecksum = LeUshort(source);
        if (size > 0) return CsmLoadImageBlock(ThisCsm, dataOffset, size, address, DownLoadNextFat);
    }
    if (ThisCsm->DownloadOnly) return TRUE;
    return StartCode(ThisCsm);
}

static BOOLEAN SetupTDMIF(Csm* ThisCsm)
{
    ThisCsm->BootPollCount = 0;
    CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_SETUP_TDM, 0), (USHORT)ThisCsm->Pumps[0].PumpDataTS, 0, 0);
    if (CsmLatchStatus(ThisCsm) & CSM_CS_OUTBOUND_TAKEN) return StartGetChecksum(ThisCsm);
    return CsmArmStep(ThisCsm, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, CheckTDMIFResponse);
}

static void CsmNoResponse(Csm* ThisCsm)
{
    RSS_TRACE("No Response from CSM { D:%d, C:%d }\n", (int)CsmSocketIndex(ThisCsm), (int)ThisCsm->Index);
}

static BOOLEAN CheckTDMIFResponse(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    if (CsmLatchStatus(c) & CSM_CS_OUTBOUND_TAKEN) {
        c->BootPollCount = 0;
        StartGetChecksum(c);
        return TRUE;
    }
    if (c->BootPollCount < CSM_BOOT_POLLS_MAX) {
        c->BootPollCount++;
        CsmRestartStep(c, CSM_TMR_BOOT_STEP);
        return FALSE;
    }
    CsmNoResponse(c);
    return CsmBootFailed(c);
}

static BOOLEAN CheckStartResponse(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    ULONG wait = CsmBootWait(c);
    if (wait != CSM_WAIT_READY) return wait == CSM_WAIT_FAILED;
    if (c->InboundMsg[3] == 0) return CsmBootFailed(c);
    if (CsmModuleHasTdm(CsmModuleID(c)))
        SetupTDMIF(c);
    else
        StartGetChecksum(c);
    return TRUE;
}

static BOOLEAN StartGetChecksum(Csm* ThisCsm)
{
    ThisCsm->BootPollCount = 0;
    ThisCsm->ChecksumTries = 0;
    CSMInitInboundMsg(ThisCsm);
    CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_CHECKSUM, 0), 0, 0, 0);
    return CsmArmStep(ThisCsm, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, CheckChecksumResponse);
}

// The checksum wait. A checksum that differs from the image's is a failed load: the
// processor is reset and loaded again (the socket service gives up after six resets).
static BOOLEAN CheckChecksumResponse(PVOID Context)
{
    Csm* c = CsmBootContext(Context);
    if (c == NULL) return TRUE;
    if (!CSMReadInboundMsg(c)) {
        if (c->BootPollCount < CSM_BOOT_POLLS_MAX) {
            c->BootPollCount++;
            CsmRestartStep(c, CSM_TMR_BOOT_STEP);
            return FALSE;
        }
        CsmNoResponse(c);
        if (++c->ChecksumTries >= CSM_CHECKSUM_TRIES) {
            RSS_LOG("@@@@CSM gave no checksum in %d tries { G:%d, D:%d, C:%d }\n", (int)c->ChecksumTries, (int)c->Group,
                    (int)CsmSocketIndex(c), (int)c->Index);
            return CsmBootFailed(c);
        }
        // One request outstanding: it is posted again only once the last one was taken.
        if (CsmLatchStatus(c) & CSM_CS_OUTBOUND_TAKEN) {
            RSS_TRACE("Last Message read so send again { D:%d, C:%d }\n", (int)CsmSocketIndex(c), (int)c->Index);
            CSMSendOutboundMsg(c, CSM_MSG_WORD3(MSG_CHECKSUM, 0), 0, 0, 0);
        } else {
            RSS_TRACE("Last Message NOT read { D:%d, C:%d }\n", (int)CsmSocketIndex(c), (int)c->Index);
        }
        c->BootPollCount = 0;
        CsmRestartStep(c, CSM_TMR_BOOT_STEP);
        return FALSE;
    }
    CSMAckInboundMsg(c);
    UCHAR code = CSM_MSG_CODE(c->InboundMsg[3]);
    ULONG p = CSM_MSG_PUMP(c->InboundMsg[3]);
    switch (code) {
    case MSG_ERRIND:
        return CsmBootFailed(c);
    case MSG_CHECKSUM:
        RSS_TRACE("CSM Checksum 0x%x  Embedded Checksum 0x%x\n", c->InboundMsg[2], c->EmbeddedChecksum);
        if (c->InboundMsg[2] == c->EmbeddedChecksum) {
            c->State = CSM_CODE_LOADED;
            return TRUE;
        }
        RSS_LOG("@@@@CSM Checksum 0x%x differs from the image's 0x%x { G:%d, D:%d, C:%d }\n", c->InboundMsg[2],
                c->EmbeddedChecksum, (int)c->Group, (int)CsmSocketIndex(c), (int)c->Index);
        return CsmBootFailed(c);
    case MSG_DATAREQ:
    case MSG_CMDREQ:
    case MSG_CHSTATUS:
    case MSG_DTEREQ:
        if (!CsmPumpValid(c, p)) {
            if (code == MSG_DATAREQ) RSS_LOG("MSG_DATAREQ @@@@Wrong Pump Nbr %d\n", (int)p);
            if (code == MSG_CMDREQ) RSS_LOG("MSG_CMDREQ @@@@Wrong Pump Nbr %d\n", (int)p);
            return CsmBootFailed(c);
        }
        if (code == MSG_DATAREQ) csm_InboundDataReqHdlr(c, &c->Pumps[p]);
        if (code == MSG_CMDREQ) csm_InboundCmdReqHdlr(c, &c->Pumps[p]);
        if (code == MSG_CHSTATUS) csm_InboundChStatusHdlr(c, &c->Pumps[p]);
        break;
    default:
        break;
    }
    CsmRestartStep(c, CSM_TMR_BOOT_STEP);
    return FALSE;
}

void StartCsmReset(Csm* ThisCsm)
{
    RSS_TRACE("StartCsmReset D:%d, Csm%d\n", (int)CsmSocketIndex(ThisCsm), (int)ThisCsm->Index);
    TmrClearAllOfOwner(CsmPool(ThisCsm), (ULONG_PTR)ThisCsm);  // a boot chain in progress ends here
    WRITE_REGISTER_ULONG(ThisCsm->ResetRegister, 0);
    CsmArmStep(ThisCsm, CSM_TMR_BOOT_STEP, CSM_BOOT_POLL_MS, EndCsmReset);
    ClearCsmStats(ThisCsm);
}

BOOLEAN EndCsmReset(PVOID Context)
{
    Csm* c = (Csm*)Context;
    CsmWriteReg(c, CsmOutboundReg(0), 0);
    if (c->State == CSM_RESETTING) c->State = CSM_DOWNLOAD;
    return TRUE;
}

// ---- network-mode host events ----

static ULONG CsmLineIsE1(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    if (ThisLink->GroupID >= MAX_GROUPS || a->SgnlProtocolOps[ThisLink->GroupID].Control == NULL) return 0;
    return a->SgnlProtocolOps[ThisLink->GroupID].Control(CTL_KIND_GET, CTL_IS_E1, a->ThisSgnlStack[ThisLink->GroupID], 0);
}

// One network-mode event: its message, then the event or state that follows.
static void csm_NtwrkEvent(Csm* ThisCsm, Pump* ThisPump)
{
    USHORT pump = (USHORT)ThisPump->PumpNumber;
    Link* l = ThisPump->ThisLink;
    switch (ThisPump->PumpEvent) {
    case Host_Ev_EnterNtwrkMdmMode:
        RSS_TRACE("Host_Ev_EnterNtwrkMdmMode\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_NTWKENA, pump), 0, 0, 0);
        ThisPump->NetworkMode = 1;
        ThisPump->PumpEvent = Host_Ev_SetASync;
        break;
    case Host_Ev_EnterNormalMdmMode:
        RSS_TRACE("Host_Ev_EnterNormalMdmMode\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_NTWKDIS, pump), 0, 0, 0);
        ThisPump->NetworkMode = 0;
        ThisPump->PumpEvent = Pump_Ev_None;
        break;
    case Host_Ev_ChannelDisconnected:
        RSS_TRACE("Host_Ev_ChannelDisconnected\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_LINEERR, pump), 0, 0, 0);
        ThisPump->PumpEvent = Host_Ev_DisableTimeSlot;
        ThisPump->PumpState = PUMP_IDLE;
        break;
    case Host_Ev_ChannelConnected:
        RSS_TRACE("Host_Ev_ChannelConnected\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_LINECON, pump), 0, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        if (l != NULL) Bt847xAssignTimeslot(l, TIMESLOT_KIND_PUMP, 1);
        break;
    case Host_Ev_IncomingCall:
        RSS_TRACE("Host_Ev_IncomingCall\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_RINGIND, pump), 0, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        break;
    case Host_Ev_EnableTimeSlot:
        RSS_TRACE("Host_Ev_EnableTimeSlot\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_SETTSA, pump), (USHORT)ThisPump->TimeSlot, 1, 0);
        ThisPump->PumpEvent = Host_Ev_ChannelConnected;
        break;
    case Host_Ev_DisableTimeSlot:
        RSS_TRACE("Host_Ev_DisableTimeSlot\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_SETTSA, pump), (USHORT)ThisPump->TimeSlot, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        ThisPump->PumpState = PUMP_IDLE;
        break;
    case Host_Ev_SetSync:
        // Raised by nothing today: synchronous framing, then CRC as after asynchronous.
        RSS_TRACE("Host_Ev_SetSync\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_SETSYNC, pump), 0, 0, (USHORT)(l ? CsmLineIsE1(l) : 0));
        ThisPump->SyncMode = 1;
        ThisPump->PumpEvent = Host_Ev_EnableCRC;
        break;
    case Host_Ev_SetASync:
        RSS_TRACE("Host_Ev_SetASync\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_SETASYN, pump), 0, 0, (USHORT)(l ? CsmLineIsE1(l) : 0));
        ThisPump->SyncMode = 0;
        ThisPump->PumpEvent = Host_Ev_EnableCRC;
        break;
    case Host_Ev_EnableCRC:
        RSS_TRACE("Host_Ev_EnableCRC\n");
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_CRCENA, pump), 0, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        break;
    }
}

BOOLEAN csm_NtwrkModeHdlr(Csm* ThisCsm, ULONG PumpIndex, UCHAR CountFlag)
{
    if (!CsmPumpValid(ThisCsm, PumpIndex)) return TRUE;
    Pump* p = &ThisCsm->Pumps[PumpIndex];
    Link* l = p->ThisLink;
    if (l != NULL) {
        NTWRK_RxBackGround(l);
        NTWRK_TxBackGround(l);
    }
    if (!p->DataRequested) {
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_DATAREQ, p->PumpNumber), FIFO_DATA_BLOCK_SIZE, 0x0A, 0);
        p->DataRequested = 1;
        return TRUE;
    }
    if (p->PumpState == PUMP_OUT_OF_SERVICE) return FALSE;
    if (CountFlag) p->StepsWithoutSending++;
    if (p->PumpEvent >= Host_Ev_EnterNtwrkMdmMode && p->PumpEvent <= Host_Ev_EnableCRC) {
        csm_NtwrkEvent(ThisCsm, p);
        return TRUE;
    }
    if (p->DteSignalsChanged) {
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_DTERPT, p->PumpNumber), (USHORT)(p->DteSignals & 3), 0, 0);
        p->DteSignalsChanged = 0;
        return TRUE;
    }
    if (l == NULL || l->ThisAsyncPort == NULL) return TRUE;
    ser_DropCts(l->ThisAsyncPort);
    if (p->OnLineData == 0) {
        if (CsmReadReg(ThisCsm, CSM_REG_FIFO_STATUS) != 0 || p->PumpReadyForReceiveData == 0) return TRUE;
    } else if (NTWRK_TxBlocked(l) || (p->ModemStatus & MODEM_STATUS_CTS) == 0) {
        return TRUE;
    }
    ser_RaiseCts(l->ThisAsyncPort);
    WriteIrpWorker(l->ThisAsyncPort);
    return TRUE;
}

// A modem data block into the port's receive ring, with flow control. Without a port
// the block is read and dropped, so the FIFO stays in step with the messages.
void NTWRK_FifoDatHdlr(Csm* ThisCsm, Pump* ThisPump)
{
    UCHAR buffer[FIFO_DATA_BLOCK_SIZE + 1];
    Link* l = ThisPump->ThisLink;
    ThisPump->FifoCount = ThisCsm->InboundMsg[2];
    TransferReceiveDataToRxBuffer(ThisCsm, ThisPump, buffer);
    if (l == NULL || l->ThisAsyncPort == NULL) return;
    RSS_TRACE("ser:NTWRK_FifoDatHdlr %d bytes \n", (int)ThisPump->FifoCount);
    ser_ReceiveModemData(l->ThisAsyncPort, ThisPump, buffer, ThisPump->FifoCount);
}
