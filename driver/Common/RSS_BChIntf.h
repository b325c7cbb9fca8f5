// Binding of the stacks' call objects to Links, and the time slots the HDLC side uses
// for a Link or a line's D channel. Runs under AdapterSpinLock.
#pragma once

#include "driver/Common/RSS_types.h"

Link* RSS_GetGroupLink31(Adapter* ThisAdapter, ULONG Group);
Link* GetLinkAssignedToBChannel(Adapter* ThisAdapter, PVOID CallObject, ULONG Group, PUCHAR LastDigit,
                                ULONG LengthOrChannel);
void RSS_SetLinkBChannel(Link* ThisLink, PVOID CallObject);
void RSS_ClearLinkBChannel(Link* ThisLink);
void RSS_SetLinkDisconnectFlag(Link* ThisLink);
void RSS_PrintLink(Link* ThisLink);
ULONG GetDChannelTimeslot(Adapter* ThisAdapter, ULONG Line);
void SetupTimeslotForDChannel(Adapter* ThisAdapter, ULONG Line);
ULONG GetLinkTimeslot(Link* ThisLink);
Link* GetLinkByTimeslot(Adapter* ThisAdapter, ULONG Group, ULONG Channel);
