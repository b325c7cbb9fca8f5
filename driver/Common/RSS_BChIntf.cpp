// Binding of the stacks' call objects to Links (NdisWanInfo[group][link], one group per
// line): the Link that takes an offered call (by channel, or by the called number
// against the line's directory numbers), binding and unbinding, the quiet-disconnect
// mark, and the time slots the HDLC side uses for a Link or a line's D channel. Owns
// no state of its own; the Links, the directory numbers and the HDLC controller's
// per-line time-slot tables it touches are guarded by AdapterSpinLock, held by every
// caller (stack ticks, HDLC DPC, bring-up timers).
//
// HDLC per-line time-slot tables, register window 0 (the same words in the group's
// descriptor area in shared memory):
//   line * 0x800 + 0x200 + 4 * word   transmit map
//   line * 0x800 + 0x400 + 4 * word   receive map
// word n, byte k (bits 8k..8k+7) describes time slot 4n + k: bit 7 enabled, bits 0-4 channel.
#include "driver/Common/RSS_BChIntf.h"

#include "driver/Common/RSS_init.h"

#define TSLOT_LINE_BLOCK 0x800
#define TSLOT_TX_MAP 0x200
#define TSLOT_RX_MAP 0x400
#define TSLOT_ENABLED 0x80
#define TSLOT_CHANNEL_MASK 0x1F
#define D_CHANNEL_E1 16
#define D_CHANNEL_T1 24
#define MAX_CHANNEL_MODE 31  // a channel number above this means "no number, any Link"

// ---- helpers ----

static BOOLEAN GroupValid(Adapter* ThisAdapter, ULONG Group)
{
    return ThisAdapter != NULL && Group < MAX_GROUPS && Group < ThisAdapter->NumberOfGroups;
}

static ULONG LinksInUse(Adapter* ThisAdapter, ULONG Group)
{
    ULONG n = ThisAdapter->LinksPerGroup[Group];
    return n > MAX_LINKS_PER_GROUP ? MAX_LINKS_PER_GROUP : n;
}

static ULONG GroupControl(Adapter* ThisAdapter, ULONG Group, ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    SGNL_CONTROL control = ThisAdapter->SgnlProtocolOps[Group].Control;
    return control != NULL ? control(Kind, Id, Object, Argument) : CONTROL_UNKNOWN;
}

static ULONG DirNumLength(const DIRECTORY_NUMBER* Dn)
{
    ULONG n = Dn->Count;
    return n > sizeof Dn->Digits ? (ULONG)sizeof Dn->Digits : n;
}

// The last k digits of the called number (LastDigit points at its last digit) and of
// the directory number agree.
static BOOLEAN DirNumSuffixMatches(const DIRECTORY_NUMBER* Dn, const UCHAR* LastDigit, ULONG CalledLength)
{
    ULONG dnLength = DirNumLength(Dn);
    ULONG k = CalledLength < dnLength ? CalledLength : dnLength;
    for (ULONG i = 0; i < k; i++)
        if ((UCHAR)Dn->Digits[dnLength - 1 - i] != *(LastDigit - i)) return FALSE;
    return TRUE;
}

// A call record moved to another keeps what the port knows of it; a new call on the Link
// (perhaps in the record an old call had) has not been cleared by the port.
static void SetBChannel(Link* ThisLink, PVOID CallObject)
{
    const bool moved = ThisLink->ThisBChannel != NULL && ThisLink->ClearedBChannel == ThisLink->ThisBChannel;
    ThisLink->ClearedBChannel = moved ? CallObject : NULL;
    ThisLink->ThisBChannel = CallObject;
}

static Link* BindLink(Link* ThisLink, PVOID CallObject)
{
    SetBChannel(ThisLink, CallObject);
    RSS_TRACE("\t Link OK at &NdisWanInfo[%lu,%lu]\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    return ThisLink;
}

static void TraceTry(Link* ThisLink)
{
    RSS_TRACE("\t Try Link at &NdisWanInfo[%lu,%lu] \n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    RSS_TRACE("\t ThisLink->CurrentOwner (OWNER_TELEPHONY_SUBSYSTEM) = %lu (%d) \n", (unsigned long)ThisLink->CurrentOwner,
              OWNER_TELEPHONY_SUBSYSTEM);
}

static void TraceNotOk(Link* ThisLink)
{
    RSS_TRACE("\t Link Not OK &NdisWanInfo[%lu,%lu]\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
}

// ---- interface-table slots ----

Link* RSS_GetGroupLink31(Adapter* ThisAdapter, ULONG Group)
{
    if (ThisAdapter == NULL || Group >= MAX_GROUPS) return NULL;
    return &ThisAdapter->NdisWanInfo[Group][MAX_LINKS_PER_GROUP - 1];
}

Link* GetLinkAssignedToBChannel(Adapter* ThisAdapter, PVOID CallObject, ULONG Group, PUCHAR LastDigit,
                                ULONG LengthOrChannel)
{
    ULONG n;
    if (!GroupValid(ThisAdapter, Group)) return NULL;
    RSS_TRACE("GetLinkAssignedToBChannel: Group%lu\n", (unsigned long)Group);
    ULONG links = LinksInUse(ThisAdapter, Group);
    Link* group = ThisAdapter->NdisWanInfo[Group];

    // 1. Channel mode: the Link of that channel, when TAPI owns it and it is free.
    if (LastDigit == NULL && LengthOrChannel <= MAX_CHANNEL_MODE) {
        if (LengthOrChannel == 0) return NULL;
        Link* ThisLink = &group[LengthOrChannel - 1];
        TraceTry(ThisLink);
        if (ThisLink->CurrentOwner == OWNER_TELEPHONY_SUBSYSTEM && ThisLink->ThisBChannel == NULL)
            return BindLink(ThisLink, CallObject);
        TraceNotOk(ThisLink);
        return NULL;
    }

    // 2. A called number: a free Link whose directory number ends like it, else a free
    //    Link without directory number.
    if (LastDigit != NULL) {
        const DIRECTORY_NUMBER* dn = ThisAdapter->DirectoryNumber[Group];
        for (n = 0; n < links; n++) {
            Link* ThisLink = &group[n];
            if (DirNumLength(&dn[n]) == 0) {
                RSS_TRACE("\t!! SKIP D.N. (empty) of Link %lu !!\n", (unsigned long)n);
                continue;
            }
            if (LengthOrChannel == 0) continue;  // no digit to compare: matches no number
            TraceTry(ThisLink);
            if (!DirNumSuffixMatches(&dn[n], LastDigit, LengthOrChannel)) {
                TraceNotOk(ThisLink);
                continue;
            }
            if (ThisLink->ThisBChannel == NULL) return BindLink(ThisLink, CallObject);
            RSS_TRACE("\t Dir Num Match but Link already Taken\nLink #%lu allocated but NOT available\n", (unsigned long)n);
        }
        RSS_TRACE("\t No Dir Num Match found\n");
        for (n = 0; n < links; n++) {
            Link* ThisLink = &group[n];
            if (DirNumLength(&dn[n]) == 0 && ThisLink->ThisBChannel == NULL) {
                RSS_TRACE("\tFound empty DN of Link %lu\n", (unsigned long)n);
                TraceTry(ThisLink);
                return BindLink(ThisLink, CallObject);
            }
        }
        RSS_TRACE("\t No Empty Dir Num found or all in use\n");
        return NULL;
    }

    // 3. No number, no channel: the first free Link.
    for (n = 0; n < links; n++) {
        Link* ThisLink = &group[n];
        TraceTry(ThisLink);
        if (ThisLink->ThisBChannel == NULL) return BindLink(ThisLink, CallObject);
        TraceNotOk(ThisLink);
    }
    RSS_TRACE("\t No Link found\n");
    return NULL;
}

void RSS_SetLinkBChannel(Link* ThisLink, PVOID CallObject)
{
    if (ThisLink != NULL) SetBChannel(ThisLink, CallObject);
}

void RSS_ClearLinkBChannel(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    ThisLink->ThisBChannel = NULL;
    ThisLink->ClearedBChannel = NULL;
}

void RSS_SetLinkDisconnectFlag(Link* ThisLink)
{
    if (ThisLink != NULL) ThisLink->DisconnectFlag = 1;
}

void RSS_PrintLink(Link* ThisLink)
{
    if (ThisLink == NULL) {
        RSS_TRACE("< Link NULL! >\n");
        return;
    }
    RSS_TRACE("< Grp %lu / Link %lu >\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
}

// ---- time slots ----

ULONG GetDChannelTimeslot(Adapter* ThisAdapter, ULONG Line)
{
    if (ThisAdapter != NULL && Line < MAX_LINES && ThisAdapter->LineMode[Line] == 1) return D_CHANNEL_E1;
    return D_CHANNEL_T1;
}

// Sets one descriptor byte of a map word, keeping the other three.
static ULONG SetSlotByte(ULONG Word, ULONG Position, ULONG Descriptor)
{
    ULONG shift = 8 * Position;
    return (Word & ~(0xFFu << shift)) | (Descriptor << shift);
}

void SetupTimeslotForDChannel(Adapter* ThisAdapter, ULONG Line)
{
    if (ThisAdapter == NULL || Line >= MAX_LINES || Line >= ThisAdapter->NumberOfGroups) return;
    // Only a line that runs a D channel gets one: the robbed-bit stack answers 0 and the
    // leased line 0xFFFF, whose static map already gives every slot to its channel.
    if (GroupControl(ThisAdapter, Line, CTL_KIND_CONST, CTL_HAS_D_CHANNEL, NULL, 0) != 1) return;

    ULONG d = GetDChannelTimeslot(ThisAdapter, Line);
    ULONG slot = Bt847xFourSlotsPerChannel(ThisAdapter, Line) ? 4 * d : d - 1;
    ULONG word = slot / 4;
    ULONG position = slot % 4;
    ULONG descriptor = TSLOT_ENABLED | (d & TSLOT_CHANNEL_MASK);
    RSS_TRACE("@@  DChannel=%lu  TimeslotNum=%lu\n", (unsigned long)d, (unsigned long)slot);
    RSS_TRACE("@@  DChannel=%lu - TslotNum=%lu - TslotIdx=%lu - TslotDescrIdx=%lu\n", (unsigned long)d, (unsigned long)slot,
              (unsigned long)word, (unsigned long)position);

    static const ULONG maps[] = {TSLOT_RX_MAP, TSLOT_TX_MAP};
    for (ULONG map : maps) {
        ULONG offset = Line * TSLOT_LINE_BLOCK + map + 4 * word;
        if (ThisAdapter->VirtualAddressBAR0 != NULL) {
            PULONG reg = (PULONG)(ThisAdapter->VirtualAddressBAR0 + offset);
            WRITE_REGISTER_ULONG(reg, SetSlotByte(READ_REGISTER_ULONG(reg), position, descriptor));
        }
        // The descriptor-area copy, from which later slot changes of the same word are made.
        if (ThisAdapter->SharedMem.GroupAreas.Virtual != NULL) {
            PULONG area = (PULONG)(ThisAdapter->SharedMem.GroupAreas.Virtual + offset);
            *area = SetSlotByte(*area, position, descriptor);
        }
    }
}

ULONG GetLinkTimeslot(Link* ThisLink)
{
    if (ThisLink == NULL || ThisLink->ThisAdapter == NULL || ThisLink->GroupID >= MAX_GROUPS) return CONTROL_UNKNOWN;
    Adapter* ThisAdapter = ThisLink->ThisAdapter;
    ULONG g = ThisLink->GroupID;
    if (ThisLink->IsDChannelLink == 1)
        return GroupControl(ThisAdapter, g, CTL_KIND_GET, CTL_D_CHANNEL_TIMESLOT, ThisAdapter->ThisSgnlStack[g], 0);
    if (ThisLink->ThisBChannel != NULL)
        return GroupControl(ThisAdapter, g, CTL_KIND_CALL, CTL_CALL_CHANNEL, ThisLink->ThisBChannel, ThisLink->Index);
    return ThisLink->Index;
}

Link* GetLinkByTimeslot(Adapter* ThisAdapter, ULONG Group, ULONG Channel)
{
    if (!GroupValid(ThisAdapter, Group)) return NULL;
    Link* found = NULL;
    for (ULONG n = 0; n < MAX_LINKS_PER_GROUP; n++) {
        Link* ThisLink = &ThisAdapter->NdisWanInfo[Group][n];
        if (ThisLink->ThisBChannel == NULL) continue;
        ULONG channel = GroupControl(ThisAdapter, Group, CTL_KIND_CALL, CTL_CALL_CHANNEL, ThisLink->ThisBChannel, ThisLink->Index);
        if (channel != CONTROL_UNKNOWN && channel == Channel) found = ThisLink;  // the highest-indexed match wins
    }
    return found;
}
