// The virtual serial ports: the port record (device extension of one port device), the
// serial control codes and the entry points of port creation, dispatch, read, write,
// wait masks and the port data monitor. Lock order everywhere: AdapterSpinLock, then
// the port's PortLock, then the cancel spin lock.
#pragma once

#include "platform/nt/io.h"

#include "driver/Common/MDM_PUMP_ext.h"
#include "driver/Common/RSS_types.h"

#define READ_BUFFER_SIZE SER_RX_RING_SIZE
#define SER_RX_SPACE_BLOCK 128          // receive space the modem is asked to fill
#define SER_READ_TICK_MS 10
#define SER_POOL_TAG 0x206B6444         // "Ddk "
#define SER_MAJOR_COUNT (IRP_MJ_MAXIMUM_FUNCTION + 1)
#define SER_MONITOR_RING_SIZE 512
#define SER_MONITOR_MAX_DATA 20

// Monitor record markers.
#define SER_MON_WRITE 0x01
#define SER_MON_READ_SPLIT 0x02
#define SER_MON_READ 0x03

// ModemControl bits.
#define SER_MC_DTR 0x01
#define SER_MC_RTS 0x02
#define SER_MC_CTS 0x10
#define SER_MC_DSR 0x20
#define SER_MC_AT_OPEN 0x31

// PortEvents bits.
#define SER_PE_RXCHAR 0x01
#define SER_PE_TXEMPTY 0x02

// Reference bits of a pending wait request (in its stack location's Context).
#define SER_REF_ISR 0x1
#define SER_REF_CANCEL 0x2

// Serial control codes (device type 0x1B, buffered, functions 1 to 30).
#define SER_CTL_CODE(f) ((FILE_DEVICE_SERIAL_PORT << 16) | ((f) << 2))
#define IOCTL_SERIAL_SET_BAUD_RATE SER_CTL_CODE(1)
#define IOCTL_SERIAL_SET_QUEUE_SIZE SER_CTL_CODE(2)
#define IOCTL_SERIAL_SET_LINE_CONTROL SER_CTL_CODE(3)
#define IOCTL_SERIAL_SET_BREAK_ON SER_CTL_CODE(4)
#define IOCTL_SERIAL_SET_BREAK_OFF SER_CTL_CODE(5)
#define IOCTL_SERIAL_IMMEDIATE_CHAR SER_CTL_CODE(6)
#define IOCTL_SERIAL_SET_TIMEOUTS SER_CTL_CODE(7)
#define IOCTL_SERIAL_GET_TIMEOUTS SER_CTL_CODE(8)
#define IOCTL_SERIAL_SET_DTR SER_CTL_CODE(9)
#define IOCTL_SERIAL_CLR_DTR SER_CTL_CODE(10)
#define IOCTL_SERIAL_RESET_DEVICE SER_CTL_CODE(11)
#define IOCTL_SERIAL_SET_RTS SER_CTL_CODE(12)
#define IOCTL_SERIAL_CLR_RTS SER_CTL_CODE(13)
#define IOCTL_SERIAL_SET_XOFF SER_CTL_CODE(14)
#define IOCTL_SERIAL_SET_XON SER_CTL_CODE(15)
#define IOCTL_SERIAL_GET_WAIT_MASK SER_CTL_CODE(16)
#define IOCTL_SERIAL_SET_WAIT_MASK SER_CTL_CODE(17)
#define IOCTL_SERIAL_WAIT_ON_MASK SER_CTL_CODE(18)
#define IOCTL_SERIAL_PURGE SER_CTL_CODE(19)
#define IOCTL_SERIAL_GET_BAUD_RATE SER_CTL_CODE(20)
#define IOCTL_SERIAL_GET_LINE_CONTROL SER_CTL_CODE(21)
#define IOCTL_SERIAL_GET_CHARS SER_CTL_CODE(22)
#define IOCTL_SERIAL_SET_CHARS SER_CTL_CODE(23)
#define IOCTL_SERIAL_GET_HANDFLOW SER_CTL_CODE(24)
#define IOCTL_SERIAL_SET_HANDFLOW SER_CTL_CODE(25)
#define IOCTL_SERIAL_GET_MODEMSTATUS SER_CTL_CODE(26)
#define IOCTL_SERIAL_GET_COMMSTATUS SER_CTL_CODE(27)
#define IOCTL_SERIAL_XOFF_COUNTER SER_CTL_CODE(28)
#define IOCTL_SERIAL_GET_PROPERTIES SER_CTL_CODE(29)
#define IOCTL_SERIAL_GET_DTRRTS SER_CTL_CODE(30)

#define SERIAL_PURGE_TXABORT 0x01
#define SERIAL_PURGE_RXABORT 0x02
#define SERIAL_PURGE_TXCLEAR 0x04
#define SERIAL_PURGE_RXCLEAR 0x08

#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1 0x0800
#define EV_EVENT2 0x1000
#define EV_ALL 0x1FFF

// Modem status register image bits (16550 layout).
#define SER_MSR_DCTS 0x01
#define SER_MSR_DDSR 0x02
#define SER_MSR_TERI 0x04
#define SER_MSR_DDCD 0x08
#define SER_MSR_DCD 0x80
#define SER_MSR_DELTAS 0x0F

typedef struct _SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS;
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);

typedef struct _SERIAL_STATUS {
    ULONG Errors;
    ULONG HoldReasons;
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
    UCHAR Padding[2];
} SERIAL_STATUS;
static_assert(sizeof(SERIAL_STATUS) == 20);

#define SERIAL_HOLD_CTS 0x01
#define SERIAL_HOLD_DSR 0x02
#define SERIAL_HOLD_DCD 0x04
#define SERIAL_HOLD_DTR 0x40

// The port data monitor: a wire format copied byte for byte by the management service.
typedef struct _SER_DATA_MONITOR {
    ULONG WriteIndex;
    ULONG WrapCount;
    UCHAR Ring[SER_MONITOR_RING_SIZE];
} SER_DATA_MONITOR;
static_assert(sizeof(SER_DATA_MONITOR) == 520);

// The receive ring is the modem side's SER_RX_RING: Rx.Data is the read buffer,
// Rx.WriteIndex the next free byte, Rx.ByteCount the bytes held and Rx.ReceiveAllowed
// whether receive space has been announced to the modem.
typedef struct _AsyncPort {
    PDEVICE_OBJECT DeviceObject;
    Adapter* ThisAdapter;
    Link* ThisLink;
    ULONG ComNumber;
    ULONG GroupID;
    ULONG Index;
    PDRIVER_UNLOAD SavedDriverUnload;
    PDRIVER_DISPATCH SavedMajorFunction[SER_MAJOR_COUNT];
    KSPIN_LOCK PortLock;
    LONG ReferenceCount;
    ULONG OpenCount;
    BOOLEAN Removing;
    BOOLEAN AcceptingRequests;
    KEVENT RemoveEvent;
    KTIMER ReadTimer;
    KDPC ReadTimerDpc;
    PIRP CurrentReadIrp;
    LIST_ENTRY ReadQueue;
    PIRP CurrentWriteIrp;
    ULONG WriteBytesMoved;
    LIST_ENTRY WriteQueue;
    PIRP CurrentWaitIrp;
    ULONG WaitMask;
    PULONG IrpMaskLocation;
    ULONG HistoryMask;
    ULONG ReadTotalTimeout;
    SERIAL_TIMEOUTS Timeouts;
    ULONG ReadElapsed;
    ULONG ReadLength;
    ULONG ReadBufferOut;
    ULONG ModemControl;
    ULONG PortEvents;
    SER_RX_RING Rx;
    UCHAR RTSOnSent;   // network-mode receive flow control: the last RTS state requested
    UCHAR RTSOffSent;  // in this call (both 0 at open and while no call runs)
    UCHAR RaisedDeltas;  // change bits of the pump's modem-status image already raised as events
    BOOLEAN RebindPump;  // the adapter was reset while the port was open: it takes a new pump
    SER_DATA_MONITOR DataMonitor;
} AsyncPort;

AsyncPort* ser_PortOf(PVOID DeviceObject);  // NULL for NULL or a device that is not a port

// Creation and the dispatch hook.
// NoNameBuffer (may be NULL) tells a name buffer that could not be allocated apart
// from an adapter without ports.
NTSTATUS ser_WriteSerialCommValues(Adapter* ThisAdapter, BOOLEAN* NoNameBuffer = NULL);
NTSTATUS ser_CreatePortDevices(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter);
AsyncPort* ser_FindMyPortDeviceExt(PDRIVER_OBJECT DriverObject);
void ser_DriverUnload(PDRIVER_OBJECT DriverObject);
void ser_WithdrawPorts(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter);
void ser_ResetGlobals(void);
BOOLEAN ser_DispatchToNdis(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status);

// References.
NTSTATUS ser_AcceptRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void RemoveReferenceAndCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);
void RemoveReference(PDEVICE_OBJECT DeviceObject);

// Open, close, clean-up, cancellation.
NTSTATUS ser_MJ_CREATE(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ser_MJ_CLOSE(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ser_MJ_CLEANUP(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void ser_KillAllQueuedIrps(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueToClean, PIRP* CurrentOpIrp);
void ser_CancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Clean-up, close and halt: every request the port holds completes as cancelled.
void ser_CompleteHeldRequests(PDEVICE_OBJECT DeviceObject);
// Worker rule: a request taken off a queue under PortLock becomes current unless it
// was cancelled (then it is left to its cancel routine). TRUE: it may become current.
BOOLEAN ser_TakeForWork(PIRP Irp);
void ser_RebindAfterReset(AsyncPort* ThisAsyncPort);

// Read path.
NTSTATUS ser_MJ_READ(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void ReadTimerRoutine(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);
void ReadIrpWorker(PDEVICE_OBJECT DeviceObject);
void TryToSatisfyRead(AsyncPort* ThisAsyncPort);
void ser_SetReadTimeouts(AsyncPort* ThisAsyncPort);
void ser_ReadTimerTick(AsyncPort* ThisAsyncPort);
void ser_ResetReadElapsed(PDEVICE_OBJECT DeviceObject);
BOOLEAN ser_ReadTimedOut(AsyncPort* ThisAsyncPort);
void ser_StartReadTimer(AsyncPort* ThisAsyncPort);

// Write path (WriteIrpWorker, ser_RaiseCts, ser_DropCts in MDM_PUMP_ext.h).
NTSTATUS ser_MJ_WRITE(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void ser_ContinueCurrentWrite(PDEVICE_OBJECT DeviceObject);
BOOLEAN ProcessWriteBytes(AsyncPort* ThisAsyncPort, PUCHAR Buffer, ULONG Length);
// One block of Length bytes to the modem channel (command mode: the FIFO; data mode:
// one frame in the transmit ring). Under AdapterSpinLock and PortLock.
void ser_SendBlock(AsyncPort* ThisAsyncPort, PUCHAR Data, ULONG Length, BOOLEAN CountMoved);

// Control codes and wait masks (ser_HandleModemUpdate in MDM_PUMP_ext.h).
NTSTATUS ser_MJ_DEVICE_CONTROL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void TryToCompleteCurrentMask(AsyncPort* ThisAsyncPort, KIRQL IrqlForRelease, NTSTATUS StatusToUse,
                              PIRP* CurrentOpIrp, ULONG RefType);
void CancelWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Port data monitor.
void ser_MonitorReset(SER_DATA_MONITOR* Monitor);
void ser_MonitorPutByte(AsyncPort* ThisAsyncPort, UCHAR Byte);
void ser_MonitorMark(AsyncPort* ThisAsyncPort, UCHAR Marker);
void ser_MonitorPutTick(AsyncPort* ThisAsyncPort);
void ser_MonitorPutCount(AsyncPort* ThisAsyncPort, ULONG Value);
void ser_MonitorPutBytes(AsyncPort* ThisAsyncPort, const UCHAR* Bytes, ULONG Length);
// One transfer record; Second/SecondLength only for a read that crossed the ring's end.
void ser_MonitorRecord(AsyncPort* ThisAsyncPort, UCHAR Marker, ULONG Count, const UCHAR* First, ULONG FirstLength,
                       const UCHAR* Second, ULONG SecondLength);
