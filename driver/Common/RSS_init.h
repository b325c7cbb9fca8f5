// The Adapter record, the board-type and module-type tables, the object graph laid
// out from them, the board latches, and the adapter reset with its bring-up chain.
//
// Everything of one board lives in the one Adapter record allocated at
// initialisation; nothing in it is freed before halt. AdapterSpinLock guards all of
// it except the interrupt-side copies, which the ISR writes and the deferred side
// reads under interrupt synchronisation.
#pragma once

#include "driver/Common/Bt837x.h"
#include "driver/Common/Bt847x.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_PKTH.h"
#include "driver/Common/RSS_tmrs.h"
#include "driver/Common/RSS_types.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/signalling/Sgnl.h"

#define DEVICE_NAME_SIZE 32
#define ADDRESS_LIST_SIZE 1024
#define DIRECTORY_NUMBER_SIZE 40
#define DIRECTORY_NUMBER_MAX 38
#define MODEM_INIT_SIZE 128

// Board-type row: 37 words.
typedef struct _BOARD_TYPE {
    ULONG SocketsPerGroup[4];
    ULONG SocketWindow[8];
    ULONG SocketGroup[8];
    ULONG FramerWindow[4];
    ULONG LedBits[4];
    ULONG Latch[4];  // IRQ, LED, reset, fourth
    ULONG IrqBits;
    ULONG ResetBits;
    ULONG TimeslotStep;
    ULONG Lines;
    ULONG Sockets;
} BOARD_TYPE;
static_assert(sizeof(BOARD_TYPE) == 37 * 4);

// Module-type row: 8 words.
typedef struct _MODULE_TYPE {
    ULONG Stride;        // 32-bit words between processor windows
    ULONG SecondWindow;  // 32-bit words
    ULONG Processors;
    ULONG Pumps;
    ULONG TimeslotStep;
    ULONG Variant;
    ULONG TimerPeriod;   // ms
    ULONG Present;
} MODULE_TYPE;
static_assert(sizeof(MODULE_TYPE) == 8 * 4);

#define NUM_BOARD_TYPES 8
#define NUM_MODULE_TYPES 25
extern const BOARD_TYPE BoardTypeTable[NUM_BOARD_TYPES];
extern const MODULE_TYPE ModuleTypeTable[NUM_MODULE_TYPES];

typedef struct _DIRECTORY_NUMBER {
    UCHAR Count;
    CHAR Digits[DIRECTORY_NUMBER_SIZE - 1];
} DIRECTORY_NUMBER;

typedef struct _MODEM_INIT_STRING {
    UCHAR Count;
    CHAR Text[MODEM_INIT_SIZE - 1];
} MODEM_INIT_STRING;

// One region of the shared memory: what the HDLC controller is given and what the
// driver writes.
typedef struct _SHARED_REGION {
    ULONG Physical;
    PUCHAR Virtual;
} SHARED_REGION;

typedef struct _SHARED_MEMORY_MAP {
    SHARED_REGION GroupAreas;
    SHARED_REGION IntQueue;
    SHARED_REGION TxDescriptors;
    SHARED_REGION RxDescriptors;
    SHARED_REGION TxBuffers;
    SHARED_REGION RxBuffers;
} SHARED_MEMORY_MAP;

#define SHARED_GROUP_AREA_SIZE 0x800
#define SHARED_INT_QUEUE_SIZE 0x1000
#define SHARED_TX_DESC_SIZE 0xC00
#define SHARED_RX_DESC_SIZE 0x3000
#define SHARED_TX_BUF_SIZE 0x20000
#define SHARED_RX_BUF_SIZE 0x80000
#define SHARED_PER_GROUP \
    (SHARED_GROUP_AREA_SIZE + SHARED_TX_DESC_SIZE + SHARED_RX_DESC_SIZE + SHARED_TX_BUF_SIZE + SHARED_RX_BUF_SIZE)
static_assert(SHARED_PER_GROUP == 672768);

typedef struct _Adapter {
    // PCI configuration
    UCHAR PciFunctionZero[PCI_HEADER_SIZE];
    UCHAR PciFunctionOne[PCI_HEADER_SIZE];
    ULONG SlotNumber;

    // Register windows, shared memory, resources
    PUCHAR VirtualAddressBAR0;
    ULONG PhysicalAddressBAR0;
    PUCHAR VirtualAddressBAR1;
    ULONG PhysicalAddressBAR1;
    PUCHAR SharedMemoryVirtual;
    NDIS_PHYSICAL_ADDRESS SharedMemoryPhysical;
    ULONG SharedMemorySize;
    PNDIS_RESOURCE_LIST PriResources;
    PNDIS_RESOURCE_LIST SecResources;

    // Interrupts and DMA
    NDIS_MINIPORT_INTERRUPT PriInterrupt;
    ULONG PriIntVector;
    ULONG PriIntLevel;
    UCHAR PriIntRegistered;
    NDIS_MINIPORT_INTERRUPT SecInterrupt;
    ULONG SecIntVector;
    ULONG SecIntLevel;
    UCHAR SecIntRegistered;
    UCHAR MapRegAllocated;
    ULONG NumberOfGroups;

    // Registry parameters
    CHAR DeviceName[DEVICE_NAME_SIZE];
    CHAR AddressList[ADDRESS_LIST_SIZE];
    ULONG TimerResolution;
    ULONG VerifyLoad;
    ULONG AdapterID;
    ULONG NumberOfLines;
    ULONG IrqStatistics;
    ULONG AsyncPortNumbersStartAt;
    ULONG LineIntfMode[MAX_LINES];
    ULONG SystemBusMode[MAX_LINES];
    ULONG NetworkSide[MAX_LINES];
    ULONG LineCode[MAX_LINES];
    ULONG LineMode[MAX_LINES];
    ULONG FramingFormat[MAX_LINES];
    ULONG TxPulseTemplate[MAX_LINES];
    ULONG DS0IdleCode[MAX_LINES];
    ULONG DChRate[MAX_LINES];
    ULONG DChInversion[MAX_LINES];
    ULONG Modulus[MAX_LINES];
    ULONG WindowSize[MAX_LINES];
    ULONG SignallingProtocol[MAX_LINES];
    ULONG BChProtocol[MAX_LINES];
    ULONG QStackMultiplier[MAX_LINES];
    ULONG ISDNthroughCSM[MAX_LINES];
    ULONG AsyncPorts[MAX_LINES];
    ULONG SamplingType[MAX_LINES];
    UCHAR ModemRouting[MAX_LINES];
    ULONG ModuleID[MAX_SOCKETS];
    DIRECTORY_NUMBER DirectoryNumber[MAX_LINES][MAX_LINKS_PER_GROUP];
    ULONG DirectoryNumberChProtocol[MAX_LINES][MAX_LINKS_PER_GROUP];
    MODEM_INIT_STRING ModemDataInit[MAX_LINES];
    ULONG DoCsmReset;
    ULONG PumpDropPath;
    ULONG VoPReplicateCount;

    // Run-time state
    ULONG QStackTickCount[MAX_LINES];
    UCHAR AdapterFailed;
    UCHAR IrqEnabled;
    UCHAR Halting;               // set under the lock by halt: the main loop stops re-arming
    UCHAR TimerInitialised;
    UCHAR TimerArmed;            // a main-loop run is pending
    UCHAR BringUpCompleted;      // the first data-interface bring-up has run
    UCHAR DataInterfaceUp;       // the last bring-up has run and no reset or failure came since
    ULONG LinksPerGroup[MAX_GROUPS];
    ULONG DeviceIDBase;
    ULONG OpenLineCount;
    UCHAR ProviderInfo[13];
    USHORT ProviderInfoLength;
    NDIS_HANDLE NdisWrapperHandle;
    NDIS_HANDLE MiniportAdapterHandle;
    UCHAR InstanceNumber;
    ULONG LinkHandleSlot;        // this adapter's place in the link-handle table, 0 when none
    NDIS_WAN_INFO WanInfo;
    NDIS_SPIN_LOCK AdapterSpinLock;
    NDIS_MINIPORT_TIMER AdapterTimer;
    ULONG StatusIndicationEnables;

    // Links
    Link NdisWanInfo[MAX_GROUPS][MAX_LINKS_PER_GROUP];

    // Adapter timer pool
    TmrEntry AdapterTimerEntries[ADAPTER_TIMER_ENTRIES];
    TmrPool AdapterTimerPool;

    // Board latches and their images (the latches are write-only). Every change of
    // an image, the ISR's included, happens under LatchSpinLock at HIGH_LEVEL: one
    // synchronisation that excludes both interrupts on every processor.
    KSPIN_LOCK LatchSpinLock;
    volatile ULONG* LatchIrq;
    ULONG LatchIrqImage;
    volatile ULONG* LatchLed;
    ULONG LatchLedImage;
    volatile ULONG* LatchRst;
    ULONG LatchRstImage;
    volatile ULONG* Latch4;
    ULONG Latch4Image;

    // Shared memory and the HDLC controller
    SHARED_MEMORY_MAP SharedMem;
    Bt847xDevice Bt847x;
    PKT_ADAPTER Pkt;  // the packet rings' send-completion backlog and scratch

    // Framers
    Bt8370 Framer[MAX_LINES];
    PUCHAR FramerBase[MAX_LINES];

    // Robbed-bit parameters
    ULONG RBSType[MAX_LINES];
    ULONG RBSCallType[MAX_LINES];
    ULONG RBSProtocol[MAX_LINES];
    ULONG RBSWinkDuration[MAX_LINES];

    // Signalling stacks
    PVOID ThisSgnlStack[MAX_GROUPS];
    ULONG SgnlStackSize[MAX_GROUPS];
    SGNL_PROTOCOL_OPS SgnlProtocolOps[MAX_GROUPS];
    UCHAR LineUp[MAX_LINES];

    CALL_STATS GroupCallStats[MAX_GROUPS];

    // Firmware image
    UCHAR CSMCode[CSM_IMAGE_AREA_SIZE];
    ULONG CSMCodeSize;
    // An image sent in pieces by the management service gathers here and replaces
    // CSMCode only once its last piece has arrived.
    UCHAR CSMCodeStage[CSM_IMAGE_AREA_SIZE];
    ULONG CSMStageSize;      // the declared size of the image being gathered; 0 none
    ULONG CSMStageReceived;  // bytes gathered so far, in order from offset 0

    // Modem sockets
    ULONG SocketCount;
    ULONG SocketsPerGroup[MAX_GROUPS];
    DimmSocket Socket[MAX_SOCKETS];

    // Latch bit values
    ULONG IrqLatchBits;
    ULONG ResetBits;
    ULONG LedBits[MAX_LINES];
    UCHAR StatusEventIndication;
    UCHAR PumpStatusIndication;
} Adapter;

BOOLEAN BuildAdapterGraph(Adapter* ThisAdapter);

void AdapterSetLatchIRQ_ON(Adapter* ThisAdapter);
void AdapterSetLatchIRQ_OFF(Adapter* ThisAdapter);
void AdapterEnableLatchIRQ(Adapter* ThisAdapter);
void AdapterDisableLatchIRQ(Adapter* ThisAdapter);
void AdapterSetLatchBT8370_HWRESET(Adapter* ThisAdapter, BOOLEAN Active);
void AdapterSetLatchLed(Adapter* ThisAdapter, ULONG Line, ULONG Value);

void ResetAdapter(Adapter* ThisAdapter);
void AdapterLineInterfaceInitDone(Adapter* ThisAdapter);
void AdapterDataInterfaceInitFailed(Adapter* ThisAdapter);
BOOLEAN AdapterDataInterfaceInitDone(PVOID Context);
void RSS_FillInterfaceTable(RSS_INTERFACE_TABLE* Table);

// Adapter-pool timer ids with the adapter as owner.
#define ADAPTER_TMR_DATA_IF_DONE 2
