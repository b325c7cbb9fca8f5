// The tables of the signalling contract: what each upcall code does in call control,
// and the cause of a test disconnection by its index. Constant data; no lock.
#include "driver/signalling/Sgnl.h"

const SGNL_UPCALL SgnlUpcallTable[NUM_UPCALLS] = {
    {0x8E, UPCALL_CLEAR, 1},
    {0x8F, UPCALL_CONNECT_OR_CLEAR, 1},
    {0x90, UPCALL_NOTHING, 0},
    {0x91, UPCALL_LOCAL_CLEARING, 0},
    {0x92, UPCALL_NOTHING, 0},
    {0x93, UPCALL_NOTHING, 0},
    {0x94, UPCALL_NOTHING, 0},
    {0x95, UPCALL_CLEAR, 1},
    {0x96, UPCALL_NOTHING, 0},
    {0x97, UPCALL_NOTHING, 0},
    {0x98, UPCALL_NOTHING, 0},
    {0x99, UPCALL_CLEAR_IF_CAUSE_64, 1},
    {0x9A, UPCALL_CLEAR, 1},
    {0x9B, UPCALL_RELEASE_THEN_CLEAR, 1},
    {0x9C, UPCALL_CONNECT_OR_CLEAR, 1},
    {0x9D, UPCALL_QUEUE_ACCEPTED, 0},
    {0x9E, UPCALL_INCOMING_CALL, 1},
};

const SGNL_UPCALL* SgnlUpcall(ULONG Code)
{
    if (Code < UPCALL_FIRST || Code > UPCALL_LAST) return NULL;
    return &SgnlUpcallTable[Code - UPCALL_FIRST];
}

const UCHAR SgnlManagementCauseTable[MGMT_NUM_CAUSE_INDEXES] = {
    0x06, NORMALCALLCLEARING, BUSY, NOANSWER, CALLREJECTED, 0x22, 0x2C, 0x51, 0x58, 0x60, 0x61, 0x64, 0x65,
};

UCHAR SgnlManagementCause(ULONG CauseIndex)
{
    return CauseIndex < MGMT_NUM_CAUSE_INDEXES ? SgnlManagementCauseTable[CauseIndex] : (UCHAR)NORMALCALLCLEARING;
}
