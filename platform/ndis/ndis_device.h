// NDIS's device object per miniport adapter and its dispatch entries (see ndis_device.cpp).
#pragma once

#include "platform/nt/io.h"

#define IOCTL_NDIS_QUERY_GLOBAL_STATS 0x00170002
#define FILE_DEVICE_PHYSICAL_NETCARD 0x17
#ifndef STATUS_NOT_SUPPORTED
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#endif

namespace plat::ndis {

struct Adapter;

// NDIS's entry for one major function (nullptr where NDIS has none).
PDRIVER_DISPATCH ndis_dispatch_entry(unsigned major);
void fill_driver_object(DRIVER_OBJECT& driver);
bool create_adapter_device(DRIVER_OBJECT& driver, Adapter& a);
void delete_adapter_device(Adapter& a);

}  // namespace plat::ndis
