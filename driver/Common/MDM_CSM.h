// The modem processors (Csm): the record, the mailbox and data FIFO, the message codes
// and their counters, the inbound dispatcher and the per-pump step, the firmware image
// and the boot chain that loads it, and the network-mode host events.
//
// Everything here runs under AdapterSpinLock: in the adapter timer's callbacks (socket
// timer, boot steps) or in request handlers that hold it. The mailbox has no lock of
// its own.
#pragma once

#include "driver/Common/MDM_PUMP_ext.h"
#include "driver/Common/RSS_types.h"

// Csm states.
#define CSM_DOWNLOAD 0
#define CSM_DOWNLOADING 1
#define CSM_CODE_LOADED 2
#define CSM_RUNNING 3
#define CSM_NEED_RESET 4
#define CSM_RESETTING 5
#define CSM_DEAD 6
#define CSM_NUM_STATES 7

// Mailbox registers: 16-bit, at a stride of 8 bytes from the processor's base.
#define CSM_REG_DATA_WRITE 0x00
#define CSM_REG_FIFO_STATUS 0x08
#define CSM_REG_FIFO_READ 0x18
#define CSM_REG_FIFO_NOT_EMPTY 0x20
#define CSM_REG_FIFO_CONTROL 0x30
#define CSM_REG_CONTROL_STATUS 0x38
#define CSM_REG_OUTBOUND_0 0x40
#define CSM_REG_INBOUND_0 0x60
#define CSM_REG_STRIDE 8

#define CSM_FIFO_INIT 0x11
#define CSM_CS_DOORBELL 0x0004
#define CSM_CS_INBOUND_TAKEN 0x0040
#define CSM_CS_OUTBOUND_TAKEN 0x0400
#define CSM_CS_INBOUND_PENDING 0x4000

#define CSM_MAX_PUMPS 12
#define CSM_MSG_COUNTERS 51
#define CSM_CALL_STATS_SIZE 44

// Message codes (high byte of word 3).
#define MSG_ERRIND 0x00
#define MSG_M21READY 0x01
#define MSG_DATAREQ 0x08
#define MSG_FIFODAT 0x09
#define MSG_SYNCDAT 0x10
#define MSG_SYNCEOF 0x11
#define MSG_SYNCERR 0x12
#define MSG_PACKREQ 0x13
#define MSG_CMDDAT 0x14
#define MSG_CMDREQ 0x15
#define MSG_DATACNT 0x18
#define MSG_DATACHK 0x19
#define MSG_PACKCHK 0x1A
#define MSG_TXEMPTY 0x1C
#define MSG_ACCMTX 0x20
#define MSG_ACCMRX 0x21
#define MSG_DTEREQ 0x28
#define MSG_DTERPT 0x29
#define MSG_DCEREQ 0x2A
#define MSG_DCERPT 0x2B
#define MSG_ENAWIND 0x2C
#define MSG_WINDSZE 0x2D
#define MSG_HANGUP 0x2F
#define MSG_DIALDET 0x30
#define MSG_ANSDET 0x31
#define MSG_HGUPDET 0x32
#define MSG_LINECON 0x33
#define MSG_LINEERR 0x34
#define MSG_RINGIND 0x35
#define MSG_SETTSA 0x36
#define MSG_EVENTIND 0x37
#define MSG_CONFIGACK 0x38
#define MSG_CHSTATUS 0x3A
#define MSG_CHRESET 0x3B
#define MSG_CHDISABLE 0x3C
#define MSG_CHANQUERY 0x3D
#define MSG_CHECKSUM 0x3E
#define MSG_DEBUG 0x3F
#define MSG_LINEANSWERCALL 0x47
#define MSG_LINEDROP 0x48
#define MSG_FORCECSMCRASH 0x50
#define MSG_DEBUGINFO 0x51
#define MSG_SETUP_TDM 0x52
#define MSG_SETASYN 0xB8
#define MSG_SETSYNC 0xB9
#define MSG_CRCENA 0xBA
#define MSG_CRCDIS 0xBB
#define MSG_NTWKENA 0xBE
#define MSG_NTWKDIS 0xBF
#define MSG_V42CTRL 0xC0
#define MSG_V42RESP 0xC1
#define MSG_DEVREQ 0xF0
#define MSG_DEVRPT 0xF1
#define MSG_ABORT 0xF8
#define MSG_PREFETCHFAILED 0xF9
#define MSG_SOFTWAREINTERRUPT 0xFA
#define MSG_UNDEFINEDINSTRUCTION 0xFB

#define CSM_MSG_WORD3(Code, PumpNumber) ((USHORT)(((Code) << 8) | (PumpNumber)))
#define CSM_MSG_CODE(Word3) ((UCHAR)((Word3) >> 8))
#define CSM_MSG_PUMP(Word3) ((ULONG)((Word3) & 0xFF))

// Boot-loader commands (word 3) and handshakes.
#define CMD_FIFOREAD 4
#define CMD_LOAD 5
#define CMD_STARTCODE 6
#define CMD_ZEROFILL 8
#define CSM_LOAD_BLOCK_MAX 126
#define CSM_ZEROFILL_BLOCK_MAX 65534
#define CSM_ZEROFILL_SIZE 0x200000

// Boot timers (adapter pool, key1 the Csm).
#define CSM_TMR_BOOT_WAIT 1
#define CSM_TMR_BOOT_STEP 2
#define CSM_BOOT_POLL_MS 10
#define CSM_START_WAIT_MS 8000
#define CSM_BOOT_POLLS_MAX 100
#define CSM_HANDSHAKES_MAX 100
#define CSM_CHECKSUM_TRIES 5  // rounds of 100 polls the checksum wait gives the firmware
#define CSM_VERIFY_PASSES 5
#define CSM_VERIFY_FIFO_POLLS 100000
#define CSM_VERIFY_ACK_POLLS 50000

// Firmware image (ARM Image Format): header, read-only and read-write parts, regions.
#define AIF_HEADER_SIZE 128
#define AIF_READ_ONLY_SIZE 0x14
#define AIF_READ_WRITE_SIZE 0x18
#define AIF_IMAGE_BASE 0x28
#define AIF_DATA_BASE 0x34
#define AIF_FIRST_FAT_OFFSET 0x38
#define FAT_AIF_HEADER_SIZE 44
#define FAT_NEXT_OFFSET 0x00
#define FAT_LOAD_ADDRESS 0x04
#define FAT_SIZE 0x08
#define FAT_REGION_NAME 0x0C
#define FAT_REGION_NAME_SIZE 32

// What the check of an image found.
typedef struct _CSM_IMAGE_INFO {
    ULONG ReadOnlySize;
    ULONG ReadWriteSize;
    ULONG ImageBase;
    ULONG DataBase;
    ULONG FirstFatOffset;
    ULONG RegionCount;
    USHORT EmbeddedChecksum;
    UCHAR HasChecksumRegion;
} CSM_IMAGE_INFO;

// Why an image was refused (CsmCheckImage).
#define CSM_IMAGE_OK 0
#define CSM_IMAGE_EMPTY 1
#define CSM_IMAGE_SHORT_HEADER 2
#define CSM_IMAGE_PARTS_BEYOND 3
#define CSM_IMAGE_REGION_HEADER_BEYOND 4
#define CSM_IMAGE_REGION_BEYOND 5
#define CSM_IMAGE_CHAIN_LOOPS 6
#define CSM_IMAGE_ADDRESS_WRAPS 7
#define CSM_IMAGE_CHECKSUM_SHORT 8

typedef BOOLEAN (*CSM_BOOT_STEP)(Csm* ThisCsm);

typedef struct _Csm {
    Adapter* ThisAdapter;
    DimmSocket* ThisSocket;
    ULONG Group;
    ULONG Index;
    ULONG PumpCount;
    Pump Pumps[CSM_MAX_PUMPS];
    ULONG LatchedStatus;
    PUCHAR Registers;
    volatile ULONG* ResetRegister;
    USHORT OutboundMsg[4];
    USHORT InboundMsg[4];
    ULONG State;
    ULONG ResetAttempts;
    ULONG HandshakeAttempts;
    ULONG BootPollCount;
    ULONG DownloadRemaining;
    ULONG DownloadAddress;
    PUCHAR DownloadSource;
    USHORT SetupValue[2];
    ULONG FatOffset;
    USHORT EmbeddedChecksum;
    CSM_BOOT_STEP NextBootStep;
    ULONG DcdFollowsCallState;
    ULONG GoodCalls;
    ULONG FailedCalls;
    ULONG PollsWithoutAck;
    UCHAR DownloadOnly;
    ULONG ReadBackAddress;
    ULONG ReadBackCount;
    PUCHAR ReadBackSource;
    ULONG InboundCounters[CSM_MSG_COUNTERS];
    ULONG OutboundCounters[CSM_MSG_COUNTERS];
    CALL_STATS CallStats;
    // Not in the original record: verification outcome of the last download (passes
    // that found a difference), for the management service and tests.
    ULONG ReadBackMismatches;
    // Not in the original record: polls since the processor last started running; after
    // a stable run its reset count starts again, so sporadic faults never add up to six.
    ULONG RunningPolls;
    // Not in the original record: rounds of the checksum wait without an answer.
    ULONG ChecksumTries;
} Csm;
static_assert(sizeof(CALL_STATS) == CSM_CALL_STATS_SIZE);

// ---- record and mailbox ----
BOOLEAN BuildCsmGraph(Csm* ThisCsm, DimmSocket* Socket, Adapter* ThisAdapter, ULONG Group, PUCHAR RegisterBase,
                      ULONG FirstTimeslot, ULONG PumpCount, ULONG Index, ULONG DcdFollows, ULONG ResetOffset);
ULONG ClearCsmStats(Csm* ThisCsm);
BOOLEAN CSMSendOutboundMsg(Csm* ThisCsm, USHORT Word3, USHORT Word2, USHORT Word1, USHORT Word0);
BOOLEAN CSMReadInboundMsg(Csm* ThisCsm);
void CSMAckInboundMsg(Csm* ThisCsm);
BOOLEAN MsgAcknowledged(Csm* ThisCsm);
void WriteMsg(Csm* ThisCsm, USHORT Word0, USHORT Word1, USHORT Word2, USHORT Word3);
void CSMInitInboundMsg(Csm* ThisCsm);
void CSMInitFIFO(Csm* ThisCsm);
// Register accesses; inline, as the socket poll reads the status once per pump.
inline USHORT CsmReadReg(Csm* ThisCsm, ULONG Offset)
{
    return READ_REGISTER_USHORT((volatile USHORT*)(ThisCsm->Registers + Offset));
}
inline void CsmWriteReg(Csm* ThisCsm, ULONG Offset, USHORT Value)
{
    WRITE_REGISTER_USHORT((volatile USHORT*)(ThisCsm->Registers + Offset), Value);
}
// ORs the control/status register into the latched copy.
inline ULONG CsmLatchStatus(Csm* ThisCsm)
{
    ThisCsm->LatchedStatus |= CsmReadReg(ThisCsm, CSM_REG_CONTROL_STATUS);
    return ThisCsm->LatchedStatus;
}
void CsmWriteFifoData(Csm* ThisCsm, const UCHAR* Data, ULONG Length);
BOOLEAN TransferReceiveDataToRxBuffer(Csm* ThisCsm, Pump* ThisPump, PUCHAR Buffer);
const char* CsmStateName(ULONG State);

// ---- counters and trace ----
#define CSM_COUNT_OUTBOUND 1
#define CSM_COUNT_INBOUND 0
#define CSM_NOT_COUNTED 0xFFFFFFFF
ULONG CsmMsgCounterIndex(UCHAR Code);  // CSM_NOT_COUNTED for codes without a counter
const char* CsmMsgName(UCHAR Code);    // NULL for unknown codes
void CSMCountMsg(Csm* ThisCsm, UCHAR Direction);
extern BOOLEAN CsmTraceMessages;  // trace every counted message (off)

// ---- inbound messages and pump dispatch ----
BOOLEAN csm_InboundMsgHdlr(Csm* ThisCsm);

// A pump number names a built pump of this processor.
inline BOOLEAN CsmPumpValid(const Csm* ThisCsm, ULONG PumpNumber)
{
    return PumpNumber < CSM_MAX_PUMPS && PumpNumber < ThisCsm->PumpCount;
}

BOOLEAN PumpSendStep(Csm* ThisCsm, Pump* ThisPump);

// One poll of a pump whose socket took the last outbound message: asks for data and
// commands first, then, when the FIFO is free and the pump is ready, runs its state
// handler (PumpSendStep). FALSE: the pump is out of service. Inline: the socket poll
// runs it for every pump, and most polls end before the state handler.
inline BOOLEAN PumpStateMachine(Csm* ThisCsm, ULONG PumpIndex, UCHAR CountFlag)
{
    if (!CsmPumpValid(ThisCsm, PumpIndex)) return TRUE;
    Pump* p = &ThisCsm->Pumps[PumpIndex];
    USHORT pump = (USHORT)p->PumpNumber;
    if (!p->DataRequested) {
        p->DataRequested = 1;
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_DATAREQ, pump), FIFO_DATA_BLOCK_SIZE, 0x0A, 0);
        return TRUE;
    }
    if (!p->CmdRequested) {
        p->CmdRequested = 1;
        CSMSendOutboundMsg(ThisCsm, CSM_MSG_WORD3(MSG_CMDREQ, pump), 0, 0, 0);
        return TRUE;
    }
    if (p->PumpState == PUMP_OUT_OF_SERVICE) return FALSE;
    if (CsmReadReg(ThisCsm, CSM_REG_FIFO_STATUS) != 0) return TRUE;
    if (p->PumpReadyForReceiveData == 0) {
        p->DataRefusals++;
        return TRUE;
    }
    p->DataRefusals = 0;
    if (p->CmdAccepted == 0) {
        p->CmdRefusals++;
        return TRUE;
    }
    p->CmdRefusals = 0;
    p->OutboundCode = CSM_MSG_WORD3(MSG_FIFODAT, 0);
    if (CountFlag) p->StepsWithoutSending++;
    // A sleeping pump with no call, no command and no initialisation asked has nothing
    // to send (a state beyond the handlers is not PUMP_SLEEP: PumpSendStep reports it).
    if (p->PumpState == PUMP_SLEEP && p->ThisLink == NULL && p->PumpEvent != Host_Ev_Cmd && p->PumpEvent != Host_Ev_Init)
        return TRUE;
    return PumpSendStep(ThisCsm, p);
}
BOOLEAN AsyncDialTimeout(PVOID Context);
void csm_InboundDataReqHdlr(Csm* ThisCsm, Pump* ThisPump);
void csm_InboundCmdReqHdlr(Csm* ThisCsm, Pump* ThisPump);
void csm_InboundChStatusHdlr(Csm* ThisCsm, Pump* ThisPump);
#define LINK_TMR_ASYNC_DIAL 8
#define ASYNC_DIAL_TIMEOUT_MS 50000
#define STATISTICS_COMPLETE_AFTER 512

// ---- firmware image ----
ULONG CsmCheckImage(const UCHAR* Image, ULONG Size, CSM_IMAGE_INFO* Info);

// ---- boot and download ----
void StartCodeDownLoad(Csm* ThisCsm);
void StartCsmReset(Csm* ThisCsm);
BOOLEAN EndCsmReset(PVOID Context);
BOOLEAN CsmModuleZeroFills(ULONG ModuleID);
BOOLEAN CsmModuleHasTdm(ULONG ModuleID);

// ---- network-mode host events ----
BOOLEAN csm_NtwrkModeHdlr(Csm* ThisCsm, ULONG PumpIndex, UCHAR CountFlag);
void NTWRK_FifoDatHdlr(Csm* ThisCsm, Pump* ThisPump);
