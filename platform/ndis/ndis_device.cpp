// NDIS's own device object per adapter ("\Device\VORNET<n>", reachable as
// "\\.\VORNET<n>") and NDIS's dispatch entries in the miniport's driver object: create,
// clean-up and close succeed; IOCTL_NDIS_QUERY_GLOBAL_STATS takes the OID from the
// input and runs the miniport's query handler into the output buffer.
#include "platform/ndis/ndis_device.h"

#include <cstring>
#include <string>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"
#include "platform/nt/io.h"

namespace plat::ndis {

namespace {

Adapter* adapter_of(PDEVICE_OBJECT d)
{
    if (d == nullptr || d->DeviceExtension == nullptr) return nullptr;
    Adapter* a = *static_cast<Adapter**>(d->DeviceExtension);
    return Host::current().ndis().from_handle(a);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NdisDispatchOpenClose(PDEVICE_OBJECT d, PIRP irp)
{
    return complete(irp, adapter_of(d) != nullptr ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NdisDispatchDeviceControl(PDEVICE_OBJECT d, PIRP irp)
{
    Adapter* a = adapter_of(d);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (a == nullptr || !a->initialised || a->halted || a->halting)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_NDIS_QUERY_GLOBAL_STATS)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (s->Parameters.DeviceIoControl.InputBufferLength < sizeof(NDIS_OID) || irp->SystemBuffer == nullptr)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    NDIS_OID oid = 0;
    std::memcpy(&oid, irp->SystemBuffer, sizeof oid);
    ULONG length = s->Parameters.DeviceIoControl.OutputBufferLength;
    // The control code asks for direct output: the caller's own buffer, with what the
    // caller put in it (the management record), when the I/O manager mapped it.
    PVOID out = irp->UserBuffer != nullptr ? irp->UserBuffer : irp->SystemBuffer;
    ULONG written = 0, needed = 0;
    NDIS_STATUS status = Host::current().ndis().query(a, oid, out, length, &written, &needed);
    if (status == NDIS_STATUS_SUCCESS) return complete(irp, STATUS_SUCCESS, written > length ? length : written);
    if (status == NDIS_STATUS_INVALID_LENGTH || status == NDIS_STATUS_BUFFER_TOO_SHORT)
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (status == NDIS_STATUS_PENDING) {
        Host::current().violation("a query through NDIS's device answered pending");
        return complete(irp, STATUS_UNSUCCESSFUL, 0);
    }
    return complete(irp, status == NDIS_STATUS_NOT_SUPPORTED || status == NDIS_STATUS_INVALID_OID
                             ? STATUS_NOT_SUPPORTED
                             : STATUS_UNSUCCESSFUL,
                    0);
}

std::u16string device_name(const Adapter& a, bool dos)
{
    return widen((dos ? "\\DosDevices\\" : "\\Device\\") + a.service);
}

}  // namespace

PDRIVER_DISPATCH ndis_dispatch_entry(unsigned major)
{
    switch (major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP: return NdisDispatchOpenClose;
    case IRP_MJ_DEVICE_CONTROL: return NdisDispatchDeviceControl;
    default: return nullptr;
    }
}

void fill_driver_object(DRIVER_OBJECT& driver)
{
    for (unsigned m = 0; m <= IRP_MJ_MAXIMUM_FUNCTION; m++) driver.MajorFunction[m] = ndis_dispatch_entry(m);
}

bool create_adapter_device(DRIVER_OBJECT& driver, Adapter& a)
{
    std::u16string name = device_name(a, false), dos = device_name(a, true);
    UNICODE_STRING n, l;
    RtlInitUnicodeString(&n, name.c_str());
    RtlInitUnicodeString(&l, dos.c_str());
    PDEVICE_OBJECT d = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(&driver, sizeof(Adapter*), &n, FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE, &d)))
        return false;
    *static_cast<Adapter**>(d->DeviceExtension) = &a;
    if (!NT_SUCCESS(IoCreateSymbolicLink(&l, &n))) {
        IoDeleteDevice(d);
        return false;
    }
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    a.device = d;
    return true;
}

void delete_adapter_device(Adapter& a)
{
    if (a.device == nullptr) return;
    std::u16string dos = device_name(a, true);
    UNICODE_STRING l;
    RtlInitUnicodeString(&l, dos.c_str());
    IoDeleteSymbolicLink(&l);
    IoDeleteDevice(a.device);
    a.device = nullptr;
}

}  // namespace plat::ndis
