// Adapter initialisation (parameters, firmware image, board scan, signalling stacks,
// PCI resources, object graph, bring-up start, interrupts, main loop) and halt.
// Both run at passive level; NDIS runs one of them at a time for this driver.
#include <cstring>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_params.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "driver/Wmp_nt40/Wmp_upper.h"

// Driver-wide: adapters that found their board, the boards they own, the instance
// numbers in use.
static UCHAR MyAdapterCount;
static ULONG ClaimedSlots;      // bit per PCI slot
static ULONG InstancesInUse;    // bit n-1 for InstanceNumber n

void WmpResetGlobals(void)
{
    MyAdapterCount = 0;
    ClaimedSlots = 0;
    InstancesInUse = 0;
    LinkHandlesReset();
    TraceResetTick();
    ser_ResetGlobals();
}

// Error-log locations: where in this file a failure was detected.
enum {
    LOC_MEDIA = 1,
    LOC_CONFIG,
    LOC_ALLOC,
    LOC_FIRMWARE,
    LOC_SCAN,
    LOC_FUNCTION1,
    LOC_LINES,
    LOC_STACK,
    LOC_INTERRUPT,
    LOC_RESOURCES,
    LOC_SERIAL_NAMES
};

#define SUB_CODE_LINES_BEYOND_GROUPS 36
#define SUB_CODE_FIRMWARE_TOO_LARGE 37

static const WCHAR FirmwareFileName[] = u"armcsm";

static void LoadFirmware(Adapter* a, NDIS_HANDLE handle)
{
    NDIS_STATUS status;
    NDIS_HANDLE file;
    UINT length;
    PVOID image;
    NDIS_STRING name;
    name.Buffer = (PWSTR)FirmwareFileName;
    name.Length = 12;
    name.MaximumLength = 14;

    NdisOpenFile(&status, &file, &length, &name, NdisHighestAddress());
    if (status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER, 4, status, MODULE_NUMBER,
                               LOC_FIRMWARE, 29);
        return;
    }
    NdisMapFile(&status, &image, file);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 4, status, MODULE_NUMBER, LOC_FIRMWARE, 30);
        NdisCloseFile(file);
        return;
    }
    if (length > CSM_IMAGE_AREA_SIZE) {
        // Refused like a missing file: the image area holds 1 MiB.
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 4, length, MODULE_NUMBER,
                               LOC_FIRMWARE, SUB_CODE_FIRMWARE_TOO_LARGE);
    } else {
        NdisMoveMemory(a->CSMCode, image, length);
        a->CSMCodeSize = length;
    }
    NdisUnmapFile(file);
    NdisCloseFile(file);
}

// Finds the first unclaimed board in slot order. Returns its slot, or -1.
static LONG ScanForBoard(Adapter* a, NDIS_HANDLE handle, PUCHAR header)
{
    for (ULONG slot = 0; slot < 32; slot++) {
        if (NdisReadPciSlotInformation(handle, slot, 0, header, PCI_HEADER_SIZE) < PCI_HEADER_SIZE) continue;
        USHORT vendor = (USHORT)(header[0] | (header[1] << 8));
        USHORT device = (USHORT)(header[2] | (header[3] << 8));
        if (vendor != ADAPTER_VENDOR_ID) continue;
        if (device != ADAPTER_DEVICE_4LINE && device != ADAPTER_DEVICE_1LINE) {
            NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_BAD_VERSION, 3, (ULONG)MyAdapterCount, (ULONG)device, 33);
            continue;
        }
        if (ClaimedSlots & (1u << slot)) continue;
        (void)a;
        return (LONG)slot;
    }
    return -1;
}

static UCHAR AllocateInstanceNumber(void)
{
    for (UCHAR n = 1; n <= 32; n++) {
        if (!(InstancesInUse & (1u << (n - 1)))) {
            InstancesInUse |= 1u << (n - 1);
            return n;
        }
    }
    return 0;
}

// Releases whatever initialisation or the adapter's life acquired, as marked in the
// record. The timer must already be stopped.
static void ReleaseAdapter(Adapter* a, BOOLEAN Registered)
{
    ULONG g;
    TapiHaltHandler(a);  // no call timer may run on the freed record
    if (a->PriIntRegistered) {
        NdisMDeregisterInterrupt(&a->PriInterrupt);
        a->PriIntRegistered = 0;
    }
    if (a->SecIntRegistered) {
        NdisMDeregisterInterrupt(&a->SecInterrupt);
        a->SecIntRegistered = 0;
    }
    if (a->SharedMemoryVirtual != NULL) {
        NdisMFreeSharedMemory(a->MiniportAdapterHandle, a->SharedMemorySize, FALSE, a->SharedMemoryVirtual,
                              a->SharedMemoryPhysical);
        a->SharedMemoryVirtual = NULL;
    }
    if (a->MapRegAllocated) {
        NdisMFreeMapRegisters(a->MiniportAdapterHandle);
        a->MapRegAllocated = 0;
    }
    if (a->VirtualAddressBAR0 != NULL) {
        NdisMUnmapIoSpace(a->MiniportAdapterHandle, a->VirtualAddressBAR0, REGISTER_WINDOW_SIZE);
        a->VirtualAddressBAR0 = NULL;
    }
    if (a->VirtualAddressBAR1 != NULL) {
        NdisMUnmapIoSpace(a->MiniportAdapterHandle, a->VirtualAddressBAR1, REGISTER_WINDOW_SIZE);
        a->VirtualAddressBAR1 = NULL;
    }
    for (g = 0; g < MAX_GROUPS; g++) {
        if (a->ThisSgnlStack[g] != NULL) {
            NdisFreeMemory(a->ThisSgnlStack[g], a->SgnlStackSize[g], 0);
            a->ThisSgnlStack[g] = NULL;
        }
    }
    if (Registered) NdisMDeregisterAdapterShutdownHandler(a->MiniportAdapterHandle);
    LinkHandlesUnregister(a);
    if (a->InstanceNumber != 0) {
        InstancesInUse &= ~(1u << (a->InstanceNumber - 1));
        ClaimedSlots &= ~(1u << (a->SlotNumber & 0x1F));
        MyAdapterCount--;
        a->InstanceNumber = 0;
    }
}

static void FreeAdapterRecord(Adapter* a) { NdisFreeMemory(a, sizeof(Adapter), 0); }

// Initialisation failed after the adapter owned something: give it all back.
static NDIS_STATUS FailInitialisation(Adapter* a)
{
    ReleaseAdapter(a, FALSE);
    FreeAdapterRecord(a);
    return NDIS_STATUS_FAILURE;
}

static BOOLEAN ConnectInterrupt(Adapter* a, PNDIS_MINIPORT_INTERRUPT Interrupt, ULONG Vector, ULONG Level,
                                ULONG SubCode, PUCHAR Registered)
{
    *Registered = 0;
    NDIS_STATUS status = NdisMRegisterInterrupt(Interrupt, a->MiniportAdapterHandle, Vector, Level, TRUE, TRUE,
                                                NdisInterruptLevelSensitive);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(a->MiniportAdapterHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 5, status, Vector,
                               MODULE_NUMBER, LOC_INTERRUPT, SubCode);
        return FALSE;
    }
    *Registered = 1;
    return TRUE;
}

NDIS_STATUS InitializeHdlr(PNDIS_STATUS, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                           NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE WrapperConfigurationContext)
{
    NDIS_HANDLE handle = MiniportAdapterHandle;
    NDIS_STATUS status;
    NDIS_HANDLE config;
    Adapter* a;
    UINT i;
    ULONG g;
    UCHAR header[PCI_HEADER_SIZE];

    // 1. Media.
    for (i = 0; i < MediumArraySize; i++)
        if (MediumArray[i] == NdisMediumWan) break;
    if (i == MediumArraySize) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 4, (ULONG)MediumArraySize,
                               MODULE_NUMBER, LOC_MEDIA, 1);
        return NDIS_STATUS_UNSUPPORTED_MEDIA;
    }
    *SelectedMediumIndex = i;

    // 2-4. Configuration and parameters.
    NdisOpenConfiguration(&status, &config, WrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 4, status, MODULE_NUMBER, LOC_CONFIG, 2);
        return NDIS_STATUS_FAILURE;
    }
    status = NdisAllocateMemory((PVOID*)&a, sizeof(Adapter), 0, NdisHighestAddress());
    if (status != NDIS_STATUS_SUCCESS) {
        NdisCloseConfiguration(config);
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 4, status, MODULE_NUMBER, LOC_ALLOC, 3);
        return NDIS_STATUS_FAILURE;
    }
    NdisZeroMemory(a, sizeof(Adapter));
    if (!WmpReadParameters(a, config, handle)) {
        NdisCloseConfiguration(config);
        FreeAdapterRecord(a);
        return NDIS_STATUS_FAILURE;
    }
    NdisCloseConfiguration(config);

    // 5. Firmware image.
    LoadFirmware(a, handle);

    // 6-7. The board: the first one in slot order that no other adapter owns.
    LONG slot = ScanForBoard(a, handle, header);
    if (slot < 0) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 4, (ULONG)NDIS_STATUS_FAILURE, MODULE_NUMBER,
                               LOC_SCAN, 6);
        FreeAdapterRecord(a);
        return NDIS_STATUS_FAILURE;
    }
    a->SlotNumber = (ULONG)slot;
    if (NdisReadPciSlotInformation(handle, ((ULONG)slot & 0x1F) | 0x20, 0, a->PciFunctionOne, PCI_HEADER_SIZE) <
        PCI_HEADER_SIZE) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 4, (ULONG)NDIS_STATUS_FAILURE, MODULE_NUMBER,
                               LOC_FUNCTION1, 7);
        FreeAdapterRecord(a);
        return NDIS_STATUS_FAILURE;
    }

    // 8. Groups, instance, handles, headers.
    USHORT device = (USHORT)(header[2] | (header[3] << 8));
    a->NumberOfGroups = device == ADAPTER_DEVICE_4LINE ? 4 : 1;
    if (BoardTypeTable[a->AdapterID].Lines > a->NumberOfGroups) {
        // Every line needs a group of the board; refuse rather than run lines without a stack.
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 4, BoardTypeTable[a->AdapterID].Lines,
                               MODULE_NUMBER, LOC_LINES, SUB_CODE_LINES_BEYOND_GROUPS);
        FreeAdapterRecord(a);
        return NDIS_STATUS_FAILURE;
    }
    MyAdapterCount++;
    a->InstanceNumber = AllocateInstanceNumber();
    ClaimedSlots |= 1u << slot;
    a->MiniportAdapterHandle = handle;
    NdisMoveMemory(a->PciFunctionZero, header, PCI_HEADER_SIZE);
    a->SharedMemorySize = a->NumberOfGroups * SHARED_PER_GROUP + SHARED_INT_QUEUE_SIZE;

    // 9. Signalling stacks.
    for (g = 0; g < a->NumberOfGroups; g++) {
        SGNL_PROTOCOL_OPS* ops = &a->SgnlProtocolOps[g];
        if (a->SignallingProtocol[g] == 0)
            RbsStackGetOps(ops);
        else if (a->SignallingProtocol[g] == 6)
            LeasedLineGetOps(ops);
        else
            IsdnStackGetOps(ops);
        ULONG size = ops->Control(CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0);
        status = NdisAllocateMemory(&a->ThisSgnlStack[g], size, 0, NdisHighestAddress());
        if (status != NDIS_STATUS_SUCCESS) {
            a->ThisSgnlStack[g] = NULL;
            NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 4, status, MODULE_NUMBER, LOC_STACK, 31);
            return FailInitialisation(a);
        }
        a->SgnlStackSize[g] = size;
        NdisZeroMemory(a->ThisSgnlStack[g], size);
        PVOID stack = a->ThisSgnlStack[g];
        ops->Control(CTL_KIND_SET, CTL_FILL_INTERFACE_TABLE, stack, 0);
        ops->SetAdapter(stack, a);
        ops->Control(CTL_KIND_SET, CTL_LINE_INDEX, stack, g);
        ops->Control(CTL_KIND_SET, CTL_E1_FLAG, stack, a->LineMode[g]);
        ops->Control(CTL_KIND_SET, CTL_SWITCH_VARIANT, stack, a->SignallingProtocol[g]);
        ops->Control(CTL_KIND_SET, CTL_L2_WINDOW, stack, a->WindowSize[g]);
    }

    // 10-11. Resources and object graph.
    LinkHandlesRegister(a);
    if (!WmpAssignResources(a) || !BuildAdapterGraph(a)) return FailInitialisation(a);
    for (g = 0; g < MAX_LINES; g++) {
        ULONG links = g < a->NumberOfGroups ? a->LinksPerGroup[g] : 0;
        if (a->AsyncPorts[g] > links) a->AsyncPorts[g] = links;
    }

    // 12-14. Serial-port values, then the bring-up chain (it moves once the timer runs).
    // Ports left out of SERIALCOMM are never offered to applications: a name buffer
    // that cannot be allocated fails initialisation like a parameter's key text.
    BOOLEAN noNameBuffer = FALSE;
    ser_WriteSerialCommValues(a, &noNameBuffer);
    if (noNameBuffer) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 3, MODULE_NUMBER, LOC_SERIAL_NAMES, 35);
        return FailInitialisation(a);
    }
    a->NdisWrapperHandle = WmpWrapperHandle();
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    ResetAdapter(a);
    NdisReleaseSpinLock(&a->AdapterSpinLock);

    // 15. Interrupts: the HDLC controller's function, then the board's.
    if (!ConnectInterrupt(a, &a->PriInterrupt, a->PriIntVector, a->PriIntLevel, 8, &a->PriIntRegistered) ||
        !ConnectInterrupt(a, &a->SecInterrupt, a->SecIntVector, a->SecIntLevel, 9, &a->SecIntRegistered))
        return FailInitialisation(a);

    // 16-17. Main loop and shutdown handler.
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    AdapterArmTimer(a);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    NdisMRegisterAdapterShutdownHandler(handle, a, ShutdownHdlr);
    return NDIS_STATUS_SUCCESS;
}

// ---- halt ----

void HaltHdlr(NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* a = (Adapter*)MiniportAdapterContext;
    BOOLEAN cancelled;
    if (a == NULL) return;

    // Silence the board; from here no timer run re-arms and no deferred handler unmasks.
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    a->Halting = 1;
    a->IrqEnabled = 0;
    AdapterSetLatchIRQ_OFF(a);
    NdisReleaseSpinLock(&a->AdapterSpinLock);

    // Stop the main loop. A run that is already due still happens: wait it out.
    if (a->TimerInitialised) {
        NdisMCancelTimer(&a->AdapterTimer, &cancelled);
        if (cancelled) a->TimerArmed = 0;
        for (int wait = 0; a->TimerArmed && wait < 100; wait++) NdisMSleep(a->TimerResolution * 1000);
    }

    // The serial ports let go of the record before it goes; the main loop no longer runs.
    ser_WithdrawPorts(WmpDriverObject(), a);

    // The HDLC controller must no longer reach the shared memory; packets NDIS handed
    // over and that were never sent are completed.
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    Bt847xStop(&a->Bt847x);
    for (ULONG g = 0; g < a->NumberOfGroups; g++)
        for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++) PktFlushTxRing(&a->NdisWanInfo[g][l], NDIS_STATUS_FAILURE);
    PktCompleteSends(a);
    NdisReleaseSpinLock(&a->AdapterSpinLock);

    ReleaseAdapter(a, TRUE);
    if (MyAdapterCount == 0 && a->NdisWrapperHandle != NULL) NdisTerminateWrapper(a->NdisWrapperHandle, NULL);
    FreeAdapterRecord(a);
}

// ---- PCI resources ----

#define PCI_COMMAND_OFFSET 4
#define PCI_MEMORY_SPACE 0x0002
#define PCI_BUS_MASTER 0x0004
#define PCI_SERR_ENABLE 0x0100

static void LogResourceFailure(Adapter* a, ULONG SubCode, ULONG Status, ULONG Second)
{
    NdisWriteErrorLogEntry(a->MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 5, Status, Second, MODULE_NUMBER,
                           LOC_RESOURCES, SubCode);
}

static USHORT CommandWord(const UCHAR* Header) { return (USHORT)(Header[PCI_COMMAND_OFFSET] | (Header[PCI_COMMAND_OFFSET + 1] << 8)); }

// Makes sure a function's command register has Required set. Sub-codes: write, read-back, still clear.
static BOOLEAN EnsureCommandBits(Adapter* a, PUCHAR Header, USHORT Required, USHORT OrIn, ULONG WriteCode,
                                 ULONG ReadCode, ULONG StillCode)
{
    USHORT command = CommandWord(Header);
    if ((command & Required) == Required) return TRUE;
    command |= OrIn;
    if (NdisWritePciSlotInformation(a->MiniportAdapterHandle, a->SlotNumber, PCI_COMMAND_OFFSET, &command, 2) != 2) {
        LogResourceFailure(a, WriteCode, NDIS_STATUS_FAILURE, a->SlotNumber);
        return FALSE;
    }
    if (NdisReadPciSlotInformation(a->MiniportAdapterHandle, a->SlotNumber, 0, Header, PCI_HEADER_SIZE) < PCI_HEADER_SIZE) {
        LogResourceFailure(a, ReadCode, NDIS_STATUS_FAILURE, a->SlotNumber);
        return FALSE;
    }
    command = CommandWord(Header);
    if ((command & Required) != Required) {
        LogResourceFailure(a, StillCode, NDIS_STATUS_FAILURE, command);
        return FALSE;
    }
    return TRUE;
}

static PCM_PARTIAL_RESOURCE_DESCRIPTOR FirstOfType(PNDIS_RESOURCE_LIST List, UCHAR Type)
{
    for (ULONG i = 0; List != NULL && i < List->Count; i++)
        if (List->PartialDescriptors[i].Type == Type) return &List->PartialDescriptors[i];
    return NULL;
}

static NDIS_ERROR_CODE MapErrorCode(NDIS_STATUS Status)
{
    if (Status == NDIS_STATUS_RESOURCES) return NDIS_ERROR_CODE_OUT_OF_RESOURCES;
    if (Status == NDIS_STATUS_RESOURCE_CONFLICT) return NDIS_ERROR_CODE_RESOURCE_CONFLICT;
    return NDIS_ERROR_CODE_INVALID_VALUE_FROM_ADAPTER;
}

// Assigns one PCI function's resources and reads its header again.
static BOOLEAN ClaimFunction(Adapter* a, PNDIS_RESOURCE_LIST* List, PUCHAR Header, ULONG AssignCode, ULONG ReadCode)
{
    NDIS_STATUS status = NdisMPciAssignResources(a->MiniportAdapterHandle, a->SlotNumber, List);
    if (status != NDIS_STATUS_SUCCESS) {
        LogResourceFailure(a, AssignCode, status, a->SlotNumber);
        return FALSE;
    }
    if (NdisReadPciSlotInformation(a->MiniportAdapterHandle, a->SlotNumber, 0, Header, PCI_HEADER_SIZE) < PCI_HEADER_SIZE) {
        LogResourceFailure(a, ReadCode, NDIS_STATUS_FAILURE, a->SlotNumber);
        return FALSE;
    }
    return TRUE;
}

// The first interrupt of a function's resources; Which (1 or 2) names the function in the log.
static BOOLEAN TakeInterrupt(Adapter* a, PNDIS_RESOURCE_LIST List, PULONG Vector, PULONG Level, ULONG SubCode, ULONG Which)
{
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = FirstOfType(List, CmResourceTypeInterrupt);
    if (d == NULL || d->u.Interrupt.Vector == 0) {
        LogResourceFailure(a, SubCode, NDIS_STATUS_FAILURE, Which);
        return FALSE;
    }
    *Vector = d->u.Interrupt.Vector;
    *Level = d->u.Interrupt.Level;
    return TRUE;
}

// The start of the first memory range of a function's resources.
static BOOLEAN TakeWindow(Adapter* a, PNDIS_RESOURCE_LIST List, PULONG Physical, ULONG SubCode, ULONG Which)
{
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = FirstOfType(List, CmResourceTypeMemory);
    if (d == NULL || d->u.Memory.Start.u.LowPart == 0) {
        LogResourceFailure(a, SubCode, NDIS_STATUS_FAILURE, Which);
        return FALSE;
    }
    *Physical = d->u.Memory.Start.u.LowPart;
    return TRUE;
}

static BOOLEAN MapWindow(Adapter* a, ULONG Physical, PUCHAR* Virtual, ULONG SubCode)
{
    NDIS_PHYSICAL_ADDRESS phys;
    phys.QuadPart = Physical;
    NDIS_STATUS status = NdisMMapIoSpace((PVOID*)Virtual, a->MiniportAdapterHandle, phys, REGISTER_WINDOW_SIZE);
    if (status != NDIS_STATUS_SUCCESS) {
        *Virtual = NULL;
        NdisWriteErrorLogEntry(a->MiniportAdapterHandle, MapErrorCode(status), 5, status, Physical, MODULE_NUMBER,
                               LOC_RESOURCES, SubCode);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN WmpAssignResources(Adapter* a)
{
    NDIS_HANDLE handle = a->MiniportAdapterHandle;
    NDIS_STATUS status;
    ULONG slot = a->SlotNumber & 0x1F;

    NdisMSetAttributes(handle, a, TRUE, NdisInterfacePci);

    // Function 0: the HDLC controller.
    a->SlotNumber = slot;
    if (!ClaimFunction(a, &a->PriResources, a->PciFunctionZero, 10, 11) ||
        !EnsureCommandBits(a, a->PciFunctionZero, PCI_MEMORY_SPACE | PCI_BUS_MASTER | PCI_SERR_ENABLE,
                           PCI_MEMORY_SPACE | PCI_BUS_MASTER | PCI_SERR_ENABLE, 12, 13, 14))
        return FALSE;

    // Function 1: the board's local bus.
    a->SlotNumber = slot | 0x20;
    if (!ClaimFunction(a, &a->SecResources, a->PciFunctionOne, 15, 16) ||
        !EnsureCommandBits(a, a->PciFunctionOne, PCI_MEMORY_SPACE, PCI_MEMORY_SPACE, 18, 17, 19))
        return FALSE;
    a->SlotNumber = slot;

    // Interrupts and register windows.
    if (!TakeInterrupt(a, a->PriResources, &a->PriIntVector, &a->PriIntLevel, 20, 1) ||
        !TakeInterrupt(a, a->SecResources, &a->SecIntVector, &a->SecIntLevel, 21, 2) ||
        !TakeWindow(a, a->PriResources, &a->PhysicalAddressBAR0, 22, 1) ||
        !TakeWindow(a, a->SecResources, &a->PhysicalAddressBAR1, 23, 2))
        return FALSE;
    if (a->PhysicalAddressBAR0 == a->PhysicalAddressBAR1) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 6, NDIS_STATUS_FAILURE, a->PhysicalAddressBAR0,
                               a->PhysicalAddressBAR1, MODULE_NUMBER, LOC_RESOURCES, 28);
        return FALSE;
    }
    ULONG distance = a->PhysicalAddressBAR0 > a->PhysicalAddressBAR1 ? a->PhysicalAddressBAR0 - a->PhysicalAddressBAR1
                                                                     : a->PhysicalAddressBAR1 - a->PhysicalAddressBAR0;
    if (distance < REGISTER_WINDOW_SIZE) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 6, NDIS_STATUS_FAILURE, a->PhysicalAddressBAR0,
                               a->PhysicalAddressBAR1, MODULE_NUMBER, LOC_RESOURCES, 32);
        return FALSE;
    }

    // Map registers.
    a->MapRegAllocated = 0;
    status = NdisMAllocateMapRegisters(handle, 0, TRUE, 1, 1024);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 4, status, MODULE_NUMBER, LOC_RESOURCES, 24);
        return FALSE;
    }
    a->MapRegAllocated = 1;

    // Register windows.
    if (!MapWindow(a, a->PhysicalAddressBAR0, &a->VirtualAddressBAR0, 25) ||
        !MapWindow(a, a->PhysicalAddressBAR1, &a->VirtualAddressBAR1, 26))
        return FALSE;

    // Shared memory.
    a->SharedMemoryVirtual = NULL;
    a->SharedMemoryPhysical.QuadPart = 0;
    NdisMAllocateSharedMemory(handle, a->SharedMemorySize, FALSE, (PVOID*)&a->SharedMemoryVirtual,
                              &a->SharedMemoryPhysical);
    if (a->SharedMemoryVirtual == NULL) {
        LogResourceFailure(a, 27, NDIS_STATUS_RESOURCES, a->SharedMemorySize);
        return FALSE;
    }
    NdisZeroMemory(a->SharedMemoryVirtual, a->SharedMemorySize);

    NdisMInitializeTimer(&a->AdapterTimer, handle, MiniportTimerFunction, a);
    a->TimerInitialised = 1;
    NdisAllocateSpinLock(&a->AdapterSpinLock);
    KeInitializeSpinLock(&a->LatchSpinLock);
    return TRUE;
}
