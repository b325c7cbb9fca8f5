// The T1/E1 framer object of one line and its entry points.
#pragma once

#include "driver/Common/RSS_types.h"

typedef struct _Bt8370 {
    Adapter* ThisAdapter;
    ULONG Line;
    ULONG nMode;
    ULONG State;
    PUCHAR RegBase;
    ULONG ResetCount;
    ULONG IsrStatus;
    UCHAR IsrPending;
} Bt8370;

void Bt8370DefineOperationalMode(Bt8370* ThisBt8370, ULONG Line, ULONG Flags);
void Bt8370Initialize(Bt8370* ThisBt8370, ULONG Line);
BOOLEAN Bt8370DevicesCheckValidity(Adapter* ThisAdapter);
void Bt8370StartBackground(Bt8370* ThisBt8370);
BOOLEAN Bt8370IsrHdlr(Bt8370* ThisBt8370);
void Bt8370HandleInterruptHdlr(Bt8370* ThisBt8370);
