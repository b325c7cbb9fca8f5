// The Pump record (one modem channel of a modem processor), its states and events, and
// the entry points of the pump state machine and of the serial-port side that the
// modem-processor modules call. The state machine is in MDM_PUMP.cpp; the record
// operations are in MDM_PUMP_ext.cpp; the serial-port side is in driver/Wmp_nt40/ser_*.cpp.
// Every field is guarded by AdapterSpinLock.
#pragma once

#include "driver/Common/RSS_types.h"

#define FIFO_DATA_BLOCK_SIZE 128
#define PUMP_AT_TEXT_SIZE 128
#define PUMP_STATISTICS_TEXT_SIZE 2048

// PumpState.
#define PUMP_NEED_RESET 0
#define PUMP_SLEEP 1
#define PUMP_INIT 2
#define PUMP_IDLE 3
#define PUMP_ANSWER 4
#define PUMP_DIAL 5
#define PUMP_ON_LINE 6
#define PUMP_HANGUP 7
#define PUMP_GET_STATISTICS 8
#define PUMP_OUT_OF_SERVICE 9

// PumpEvent.
#define Host_Ev_Cmd 0
#define Host_Ev_Reset_Requested 1
#define Host_Ev_Init 2
#define Host_Ev_Sleep 3
#define Host_Ev_Answer 4
#define Host_Ev_Dial 5
#define Host_Ev_Disc 6
#define Host_Ev_Set_ACCM_Tx 7
#define Host_Ev_Set_ACCM_Rx 8
#define Pump_Ev_Init_Done 9
#define Pump_Ev_Init_Failed 10
#define Pump_Ev_Action_Failed 11
#define Pump_Ev_Connect 12
#define Pump_Ev_No_Carrier 13
#define Pump_Ev_Hangup_Done 14
#define Pump_Ev_Hangup_Failed 15
#define Pump_Ev_Reset_Done 16
#define Pump_Ev_None 17
#define Host_Ev_EnterNtwrkMdmMode 18
#define Host_Ev_EnterNormalMdmMode 19
#define Host_Ev_ChannelDisconnected 20
#define Host_Ev_ChannelConnected 21
#define Host_Ev_IncomingCall 22
#define Host_Ev_EnableTimeSlot 23
#define Host_Ev_DisableTimeSlot 24
#define Host_Ev_SetSync 25
#define Host_Ev_SetASync 26
#define Host_Ev_EnableCRC 27
#define Pump_Ev_End_Statistics 34
#define Host_Ev_Drop_DTR 36
#define Host_Ev_Raise_DTR 37
#define Host_Ev_GetAmperVStats 38

// Modem status bits (ModemStatus) and DTE signals (DteSignals).
#define MODEM_STATUS_CTS 0x1
#define MODEM_STATUS_DSR 0x2
#define MODEM_STATUS_RI 0x4
#define MODEM_STATUS_DCD 0x8
#define DTE_SIGNAL_DTR 0x1
#define DTE_SIGNAL_RTS 0x2

// Device-specific TAPI event codes of the modem side.
#define DEVSPECIFIC_PUMP_STATE 0x1000
#define DEVSPECIFIC_CALL_CLEARED 0x1001
#define DEVSPECIFIC_INCOMING_CALL 0x1002
#define DEVSPECIFIC_PUMP_MESSAGE 0x1005
#define DEVSPECIFIC_V42_RESPONSE 0x1006
#define DEVSPECIFIC_V42_RESPONSE_2 0x1007
#define DEVSPECIFIC_CSM_FATAL 0x1FFE
#define DEVSPECIFIC_CSM_TIMEOUT 0x2000

// Command channel of a pump: the outbound command and the last inbound one.
typedef struct _CMD_CHAN {
    USHORT OutFcnCode;
    UCHAR OutCmdType;
    USHORT OutCmdClass;  // in the high byte; non-zero while a command is pending
    UCHAR OutCmdIndex;
    USHORT OutCount;
    UCHAR OutData[FIFO_DATA_BLOCK_SIZE];
    USHORT InFcnCode;
    UCHAR InCmdType;
    USHORT InCmdClass;
    UCHAR InCmdIndex;
    USHORT InCount;
    UCHAR InData[FIFO_DATA_BLOCK_SIZE];
} CMD_CHAN;
static_assert(sizeof(CMD_CHAN) == 276);

typedef struct _Pump {
    Csm* ThisCsm;
    Link* ThisLink;
    ULONG FifoCount;
    ULONG DataReqWord1;
    ULONG DataReqWord2;
    UCHAR DataRequested;
    UCHAR PumpReadyForReceiveData;
    UCHAR CmdRequested;
    UCHAR CmdAccepted;
    USHORT ModemStatus;
    ULONG PumpNumber;
    ULONG TimeSlot;
    ULONG PumpDataTS;
    UCHAR OutgoingCall;
    ULONG PumpState;
    ULONG ResetFailures;
    ULONG ResetAttempts;
    ULONG StepsWithoutSending;
    ULONG GoodCalls;
    ULONG FailedCalls;
    USHORT OutboundCode;
    ULONG PumpEvent;
    UCHAR AtCommand[PUMP_AT_TEXT_SIZE];
    ULONG AtCommandLength;
    UCHAR AtResponse[PUMP_AT_TEXT_SIZE];
    ULONG AtResponseLength;
    CMD_CHAN CmdChan;
    CALL_STATS PumpCallStats;
    ULONG NetworkMode;
    ULONG SyncMode;
    ULONG OnLineData;
    UCHAR PumpEventsEnabled;
    USHORT DteSignals;
    UCHAR DteSignalsChanged;
    UCHAR ModemStatusRegister;
    ULONG ChannelProtocol;
    ULONG DataRefusals;
    ULONG CmdRefusals;
    UCHAR StatisticsText[PUMP_STATISTICS_TEXT_SIZE];
    ULONG StatisticsLength;
    ULONG CallNumber;
    UCHAR PumpFaxConnection;
    // Not in the original record: the answer or dial command being sent (built just
    // before it goes to the FIFO), so a pending management command is not overwritten.
    UCHAR CommandText[20];
    // Not in the original record: DTR has been raised for the call in hand, so a modem
    // OK that overtakes the raise does not leave the call without DTR.
    UCHAR DtrRaised;
} Pump;

// ---- record operations (built here; the pump state machine owns them) ----
BOOLEAN BuildPumpGraph(Pump* ThisPump, Csm* ThisCsm, ULONG PumpNumber, ULONG TimeslotBase);
BOOLEAN PumpInitialize(Pump* ThisPump);
// Unbinds a pump whose processor is reset or reloaded from its call, reporting the call
// cleared to call control.
void PumpDropCall(Pump* ThisPump);

// ---- pump state machine: state handlers (MDM_PUMP.cpp) ----
// Each sets *Length to 0 first; TRUE hands the block at *Data to the modem's FIFO.
typedef BOOLEAN (*PUMP_STATE_HANDLER)(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_NeedResetState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_SleepState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_InitState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_IdleState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_DialAnswerState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_OnLineState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_HangupState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);
BOOLEAN Pump_GetStatisticsState(Pump* ThisPump, PUCHAR* Data, ULONG* Length);

// Device-specific status indication for a pump (on its Link, else the adapter's first).
void PumpIndicateStatus(Pump* ThisPump, ULONG Code, ULONG ValueA, ULONG ValueB);

// ---- serial-port side (driver/Wmp_nt40/ser_shel.cpp and ser_io.cpp) ----
// The port's receive ring (in its device extension).
#define SER_RX_RING_SIZE 1024
typedef struct _SER_RX_RING {
    UCHAR Data[SER_RX_RING_SIZE];
    ULONG WriteIndex;
    ULONG ByteCount;
    UCHAR ReceiveAllowed;
} SER_RX_RING;
// A block of modem data into an open port's ring (its PortLock inside), with the
// receive flow control of the pump and the character-received event.
void ser_ReceiveModemData(PVOID AsyncPort, Pump* ThisPump, const UCHAR* Data, ULONG Count);
ULONG ser_HandleModemUpdate(PVOID AsyncPort);   // the delta bits the port consumed
void ser_DropCts(PVOID AsyncPort);
void ser_RaiseCts(PVOID AsyncPort);
void WriteIrpWorker(PVOID AsyncPort);
// Network-mode data backgrounds of a COM-owned Link.
void NTWRK_RxBackGround(Link* ThisLink);
void NTWRK_TxBackGround(Link* ThisLink);
// TRUE when the Link's transmit ring cannot take a block for the modem (full, or its
// next descriptor still owned by the controller or busy).
BOOLEAN NTWRK_TxBlocked(Link* ThisLink);
