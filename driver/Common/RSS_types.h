// Sizes and forward declarations shared by every driver module.
#pragma once

#include "platform/ndis/ndis.h"

#define MAX_LINES 4
#define MAX_GROUPS 4
#define MAX_LINKS_PER_GROUP 32
#define MAX_SOCKETS 10
#define MAX_CSMS_PER_SOCKET 2
#define MAX_PUMPS_PER_CSM 12
#define ADAPTER_TIMER_ENTRIES 1024
#define CSM_IMAGE_AREA_SIZE 0x100000
#define PCI_HEADER_SIZE 64
#define REGISTER_WINDOW_SIZE 0x100000

#define ADAPTER_VENDOR_ID 0x109E
#define ADAPTER_DEVICE_4LINE 0x8474
#define ADAPTER_DEVICE_1LINE 0x8472

#define MODULE_NUMBER 7  // module number of every error-log entry

typedef struct _Adapter Adapter;
typedef struct _Link Link;
typedef struct _Pump Pump;
typedef struct _Csm Csm;
typedef struct _DimmSocket DimmSocket;

// Eleven call counters, kept per group, per link, per pump and per modem processor.
typedef struct _CALL_STATS {
    ULONG DialRequests;
    ULONG AnswerRequests;
    ULONG IncomingInd;
    ULONG ConnectInd;
    ULONG Connect64K;
    ULONG Connect56K;
    ULONG ConnectAbove33600;
    ULONG ConnectTo33600;
    ULONG ConnectTo14400;
    ULONG ConnectAt300;
    ULONG ConnectVoice;
} CALL_STATS;
