// Kernel types and calls the driver uses, as our platform provides them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

typedef void VOID;
typedef void* PVOID;
typedef uint8_t UCHAR, *PUCHAR;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef uint16_t USHORT, *PUSHORT;
typedef uint32_t ULONG, *PULONG;
typedef uint32_t UINT, *PUINT;
typedef int32_t LONG, *PLONG;
typedef int32_t NTSTATUS;
typedef char CHAR, *PCHAR;
typedef char16_t WCHAR, *PWSTR;
typedef const char16_t* PCWSTR;
typedef uint8_t KIRQL, *PKIRQL;
typedef uintptr_t ULONG_PTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)

#define PASSIVE_LEVEL 0
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    int64_t QuadPart;
} LARGE_INTEGER, PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
static_assert(sizeof(LARGE_INTEGER) == 8);

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

// Counted-string helpers.
void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);

// A spin lock: its state is checked by the platform (holder, level).
typedef struct _KSPIN_LOCK {
    ULONG Magic;
    ULONG Held;
} KSPIN_LOCK, *PKSPIN_LOCK;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KIRQL KeGetCurrentIrql();
// Raising to a level below the current one, or lowering above it, is a misuse.
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
// For callers already at or above dispatch level; the level is left as it is.
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

struct _DEVICE_OBJECT;
struct _IRP;
struct _DRIVER_OBJECT;
typedef NTSTATUS (*PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef void (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);

typedef struct _DRIVER_OBJECT {
    struct _DEVICE_OBJECT* DeviceObject;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// Kernel debug print: goes to the host's trace sink.
ULONG DbgPrint(const char* Format, ...) __attribute__((format(printf, 1, 2)));
