// The miniport's face towards NDIS: entry, handlers and the adapter timer (main loop).
#pragma once

#include "driver/Common/RSS_types.h"
#include "platform/version_resource.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The version resource of the driver's image (vornet.sys).
extern const VersionResource VornetDriverVersion;

BOOLEAN CheckForHangHdlr(NDIS_HANDLE MiniportAdapterContext);
void DisableInterruptHdlr(NDIS_HANDLE MiniportAdapterContext);
void EnableInterruptHdlr(NDIS_HANDLE MiniportAdapterContext);
void ShutdownHdlr(PVOID ShutdownContext);
void ISRHdlr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt, NDIS_HANDLE MiniportAdapterContext);
void HandleInterruptHdlr(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS QueryInformationHdlr(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS SetInformationHdlr(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                               ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);
NDIS_STATUS ResetHdlr(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS SendHdlr(NDIS_HANDLE MiniportAdapterContext, NDIS_WAN_LINK_HANDLE NdisLinkHandle, PNDIS_WAN_PACKET Packet);
void MiniportTimerFunction(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);

// Arms the adapter timer for one run of the main loop.
void AdapterArmTimer(Adapter* ThisAdapter);

// Runs Function synchronised with the primary interrupt (Which 0) or the secondary.
BOOLEAN AdapterSyncWithInterrupt(Adapter* ThisAdapter, ULONG Which, PNDIS_SYNCHRONIZE_FUNCTION Function, PVOID Context);
// Runs Function synchronised with every registered interrupt of the adapter (directly
// while none is registered).
BOOLEAN AdapterSyncWithInterrupts(Adapter* ThisAdapter, PNDIS_SYNCHRONIZE_FUNCTION Function, PVOID Context);
// The latch lock behind AdapterSyncWithInterrupts, for the ISR: raises to HIGH_LEVEL.
KIRQL AdapterLatchLock(Adapter* ThisAdapter);
void AdapterLatchUnlock(Adapter* ThisAdapter, KIRQL OldIrql);

// Driver-wide state.
PDRIVER_OBJECT WmpDriverObject(void);
NDIS_HANDLE WmpWrapperHandle(void);
void WmpResetGlobals(void);  // for a fresh platform (tests, tools)

NDIS_STATUS InitializeHdlr(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                           UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
void HaltHdlr(NDIS_HANDLE MiniportAdapterContext);

// The PCI resource step of initialisation: TRUE, or FALSE after one error-log entry.
BOOLEAN WmpAssignResources(Adapter* ThisAdapter);
