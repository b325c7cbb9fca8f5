// The NDIS 4.0 miniport library as the driver calls it, on our platform. Written from
// what the driver expects of each call; structures that cross a wire have checked
// sizes, and handles that cross one are 32-bit values.
#pragma once

#include "platform/nt/ntddk.h"

typedef ULONG NDIS_STATUS, *PNDIS_STATUS;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef ULONG NDIS_ERROR_CODE;
typedef void* NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009A)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BB)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019)
#define NDIS_STATUS_RESOURCE_CONFLICT ((NDIS_STATUS)0xC001001E)
#define NDIS_STATUS_FILE_NOT_FOUND ((NDIS_STATUS)0xC001001F)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005)
#define NDIS_STATUS_WAN_LINE_UP ((NDIS_STATUS)0x40010008)
#define NDIS_STATUS_WAN_LINE_DOWN ((NDIS_STATUS)0x40010009)
#define NDIS_STATUS_WAN_FRAGMENT ((NDIS_STATUS)0x4001000A)
#define NDIS_STATUS_TAPI_INDICATION ((NDIS_STATUS)0x40010080)

#define NDIS_ERROR_CODE_RESOURCE_CONFLICT ((NDIS_ERROR_CODE)0xC0001388)
#define NDIS_ERROR_CODE_OUT_OF_RESOURCES ((NDIS_ERROR_CODE)0xC0001389)
#define NDIS_ERROR_CODE_HARDWARE_FAILURE ((NDIS_ERROR_CODE)0xC000138A)
#define NDIS_ERROR_CODE_ADAPTER_NOT_FOUND ((NDIS_ERROR_CODE)0xC000138B)
#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138C)
#define NDIS_ERROR_CODE_DRIVER_FAILURE ((NDIS_ERROR_CODE)0xC000138D)
#define NDIS_ERROR_CODE_BAD_VERSION ((NDIS_ERROR_CODE)0xC000138E)
#define NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION ((NDIS_ERROR_CODE)0xC0001391)
#define NDIS_ERROR_CODE_INVALID_VALUE_FROM_ADAPTER ((NDIS_ERROR_CODE)0xC0001392)
#define NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER ((NDIS_ERROR_CODE)0xC0001393)

typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
} NDIS_MEDIUM, *PNDIS_MEDIUM;

typedef enum _NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1,
    NdisInterfacePci = 5,
} NDIS_INTERFACE_TYPE;

typedef enum _NDIS_INTERRUPT_MODE {
    NdisInterruptLevelSensitive = 0,
    NdisInterruptLatched = 1,
} NDIS_INTERRUPT_MODE;

// ---- memory ----

NDIS_STATUS NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                               NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
void NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);
void NdisZeroMemory(PVOID Destination, ULONG Length);
void NdisMoveMemory(PVOID Destination, const void* Source, ULONG Length);
void NdisStallExecution(UINT MicrosecondsToStall);
void NdisMSleep(ULONG MicrosecondsToSleep);
void NdisInitUnicodeString(PNDIS_STRING Destination, PCWSTR Source);

inline NDIS_PHYSICAL_ADDRESS NdisHighestAddress()
{
    NDIS_PHYSICAL_ADDRESS a;
    a.QuadPart = -1;
    return a;
}

// ---- spin locks ----

typedef struct _NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

void NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);

// ---- timers ----

typedef void (*PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                     PVOID SystemSpecific3);

typedef struct _NDIS_MINIPORT_TIMER {
    PNDIS_TIMER_FUNCTION MiniportTimerFunction;  // set once initialised
    PVOID MiniportTimerContext;
    NDIS_HANDLE MiniportAdapterHandle;
    uint64_t HostEvent;  // pending host event, 0 when not armed
    ULONG Magic;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

typedef NDIS_MINIPORT_TIMER NDIS_TIMER, *PNDIS_TIMER;

void NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
void NdisInitializeTimer(PNDIS_TIMER Timer, PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
void NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
void NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay);
void NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);
void NdisCancelTimer(PNDIS_TIMER Timer, PBOOLEAN TimerCancelled);

// ---- configuration ----

typedef enum _NDIS_PARAMETER_TYPE {
    NdisParameterInteger = 0,
    NdisParameterHexInteger = 1,
    NdisParameterString = 2,
    NdisParameterMultiString = 3,
    NdisParameterBinary = 4,
} NDIS_PARAMETER_TYPE;

typedef struct _BINARY_DATA {
    USHORT Length;
    PVOID Buffer;
} BINARY_DATA;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;  // MultiString: strings each ended by a NUL, then a NUL
        BINARY_DATA BinaryData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

void NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
void NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword, NDIS_PARAMETER_TYPE ParameterType);
void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// ---- files ----

void NdisOpenFile(PNDIS_STATUS Status, PNDIS_HANDLE FileHandle, PUINT FileLength, PNDIS_STRING FileName,
                  NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
void NdisCloseFile(NDIS_HANDLE FileHandle);
void NdisMapFile(PNDIS_STATUS Status, PVOID* MappedBuffer, NDIS_HANDLE FileHandle);
void NdisUnmapFile(NDIS_HANDLE FileHandle);

// ---- error log ----

void NdisWriteErrorLogEntry(NDIS_HANDLE MiniportAdapterHandle, NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues,
                            ...);

// ---- PCI and resources ----

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3

typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Level;
            ULONG Vector;
            ULONG Affinity;
        } Interrupt;
        struct {
            ULONG Data[3];
        } DeviceSpecificData;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, NDIS_RESOURCE_LIST, *PNDIS_RESOURCE_LIST;

ULONG NdisReadPciSlotInformation(NDIS_HANDLE NdisAdapterHandle, ULONG SlotNumber, ULONG Offset, PVOID Buffer,
                                 ULONG Length);
ULONG NdisWritePciSlotInformation(NDIS_HANDLE NdisAdapterHandle, ULONG SlotNumber, ULONG Offset, PVOID Buffer,
                                  ULONG Length);
NDIS_STATUS NdisMPciAssignResources(NDIS_HANDLE MiniportHandle, ULONG SlotNumber,
                                    PNDIS_RESOURCE_LIST* AssignedResources);
void NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext, BOOLEAN BusMaster,
                        NDIS_INTERFACE_TYPE AdapterType);
NDIS_STATUS NdisMAllocateMapRegisters(NDIS_HANDLE MiniportAdapterHandle, UINT DmaChannel,
                                      BOOLEAN Dma32BitAddresses, ULONG PhysicalMapRegistersNeeded,
                                      ULONG MaximumPhysicalMapping);
void NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle);
NDIS_STATUS NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                            NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length);
void NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length);
void NdisMAllocateSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                               PVOID* VirtualAddress, PNDIS_PHYSICAL_ADDRESS PhysicalAddress);
void NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached, PVOID VirtualAddress,
                           NDIS_PHYSICAL_ADDRESS PhysicalAddress);

// Register access through a mapped window.
UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register);
USHORT READ_REGISTER_USHORT(volatile USHORT* Register);
ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);
#define NdisReadRegisterUchar(Reg, Data) (*(Data) = READ_REGISTER_UCHAR((volatile UCHAR*)(Reg)))
#define NdisReadRegisterUshort(Reg, Data) (*(Data) = READ_REGISTER_USHORT((volatile USHORT*)(Reg)))
#define NdisReadRegisterUlong(Reg, Data) (*(Data) = READ_REGISTER_ULONG((volatile ULONG*)(Reg)))
#define NdisWriteRegisterUchar(Reg, Data) WRITE_REGISTER_UCHAR((volatile UCHAR*)(Reg), (Data))
#define NdisWriteRegisterUshort(Reg, Data) WRITE_REGISTER_USHORT((volatile USHORT*)(Reg), (Data))
#define NdisWriteRegisterUlong(Reg, Data) WRITE_REGISTER_ULONG((volatile ULONG*)(Reg), (Data))

// ---- interrupts ----

typedef struct _NDIS_MINIPORT_INTERRUPT {
    NDIS_HANDLE MiniportAdapterHandle;
    ULONG Vector;
    int HostConnection;   // 0 when not registered
    BOOLEAN DpcQueued;
    KIRQL Irql;  // its ISR runs, and synchronisation with it happens, at this level
    ULONG Magic;
    BOOLEAN SyncHeld;  // its ISR, or a synchronisation with it, is running
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

typedef BOOLEAN (*PNDIS_SYNCHRONIZE_FUNCTION)(PVOID SynchronizeContext);

NDIS_STATUS NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, NDIS_HANDLE MiniportAdapterHandle,
                                   UINT InterruptVector, UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode);
void NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
BOOLEAN NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, PVOID SynchronizeFunction,
                                      PVOID SynchronizeContext);

// ---- shutdown ----

typedef void (*ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);
void NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
void NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);

// ---- WAN ----

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _NDIS_WAN_PACKET {
    LIST_ENTRY WanPacketQueue;
    PUCHAR CurrentBuffer;
    ULONG CurrentLength;
    PUCHAR StartBuffer;
    PUCHAR EndBuffer;
    PVOID ProtocolReserved1;
    PVOID ProtocolReserved2;
    PVOID ProtocolReserved3;
    PVOID ProtocolReserved4;
    PVOID MacReserved1;
    PVOID MacReserved2;
    PVOID MacReserved3;
    PVOID MacReserved4;
} NDIS_WAN_PACKET, *PNDIS_WAN_PACKET;

// Answer to OID_WAN_GET_INFO.
typedef struct _NDIS_WAN_INFO {
    ULONG MaxFrameSize;
    ULONG MaxTransmit;
    ULONG HeaderPadding;
    ULONG TailPadding;
    ULONG Endpoints;
    UINT MemoryFlags;
    NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress;
    ULONG FramingBits;
    ULONG DesiredACCM;
} NDIS_WAN_INFO, *PNDIS_WAN_INFO;
static_assert(sizeof(NDIS_WAN_INFO) == 40);

// Link handles and contexts cross between the miniport and NDISWAN as 32-bit values.
typedef ULONG NDIS_WAN_LINK_HANDLE;

typedef struct _NDIS_WAN_SET_LINK_INFO {
    NDIS_WAN_LINK_HANDLE NdisLinkHandle;
    ULONG MaxSendFrameSize;
    ULONG MaxRecvFrameSize;
    ULONG HeaderPadding;
    ULONG TailPadding;
    ULONG SendFramingBits;
    ULONG RecvFramingBits;
    ULONG SendCompressionBits;
    ULONG RecvCompressionBits;
    ULONG SendACCM;
    ULONG RecvACCM;
} NDIS_WAN_SET_LINK_INFO, *PNDIS_WAN_SET_LINK_INFO;
static_assert(sizeof(NDIS_WAN_SET_LINK_INFO) == 44);

typedef struct _NDIS_MAC_LINE_UP {
    ULONG LinkSpeed;  // units of 100 bit/s
    ULONG Quality;
    USHORT SendWindow;
    NDIS_WAN_LINK_HANDLE ConnectionWrapperID;
    NDIS_WAN_LINK_HANDLE NdisLinkHandle;
    NDIS_WAN_LINK_HANDLE NdisLinkContext;  // written back by NDISWAN
} NDIS_MAC_LINE_UP, *PNDIS_MAC_LINE_UP;
static_assert(sizeof(NDIS_MAC_LINE_UP) == 24);

typedef struct _NDIS_MAC_LINE_DOWN {
    NDIS_WAN_LINK_HANDLE NdisLinkContext;
} NDIS_MAC_LINE_DOWN;
static_assert(sizeof(NDIS_MAC_LINE_DOWN) == 4);

typedef struct _NDIS_MAC_FRAGMENT {
    NDIS_WAN_LINK_HANDLE NdisLinkContext;
    ULONG Errors;
} NDIS_MAC_FRAGMENT;
static_assert(sizeof(NDIS_MAC_FRAGMENT) == 8);

void NdisMWanIndicateReceive(PNDIS_STATUS Status, NDIS_HANDLE MiniportAdapterHandle,
                             NDIS_WAN_LINK_HANDLE NdisLinkContext, PUCHAR Packet, ULONG PacketSize);
void NdisMWanIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_WAN_LINK_HANDLE NdisLinkContext);
void NdisMWanSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_WAN_PACKET Packet, NDIS_STATUS Status);

// ---- status ----

void NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                         UINT StatusBufferSize);
void NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);

// ---- miniport registration ----

typedef BOOLEAN (*W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void (*W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void (*W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void (*W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void (*W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (*W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                            PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                            NDIS_HANDLE MiniportAdapterHandle,
                                            NDIS_HANDLE WrapperConfigurationContext);
typedef void (*W_ISR_HANDLER)(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                              NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (*W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                   PVOID InformationBuffer, ULONG InformationBufferLength,
                                                   PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS (*W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus, NDIS_HANDLE MiniportAdapterContext,
                                             NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS (*W_RESET_HANDLER)(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (*W_WAN_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_WAN_LINK_HANDLE NdisLinkHandle,
                                          PNDIS_WAN_PACKET Packet);
typedef NDIS_STATUS (*W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                 PVOID InformationBuffer, ULONG InformationBufferLength,
                                                 PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS (*W_TRANSFER_DATA_HANDLER)(void);

typedef struct _NDIS_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved;  // 1: the miniport is a WAN miniport
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_WAN_SEND_HANDLER WanSendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
    PVOID ReturnPacketHandler;
    PVOID SendPacketsHandler;
    PVOID AllocateCompleteHandler;
} NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

void NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                           PVOID SystemSpecific3);
NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength);
void NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);
