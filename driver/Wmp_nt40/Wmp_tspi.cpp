// The NDIS TAPI provider: the OID_TAPI_* dispatchers with their length checks, the
// provider's initialise and shutdown, the line and call requests, the line-state and
// call-state handlers that turn events into NDIS_STATUS_TAPI_INDICATION records, the
// adapter reset of the TAPI state, and the 70-second call timer of each Link.
//
// Owns the TAPI fields of every Link and the adapter's DeviceIDBase, OpenLineCount and
// ProviderInfo. AdapterSpinLock guards all of it: the miniport's request handlers and
// call control hold it when they call in; the call timer takes it itself.
//
// Nothing in a request is trusted: every handle is looked up (and must name a Link
// that TAPI owns), every device ID is looked up, and every size and offset is checked
// against both the LINE_* structure's ulTotalSize and the buffer NDIS gave.
#include "driver/Wmp_nt40/Wmp_tspi.h"

#include <cstring>

#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"

#define TAPI_LINE_STATES_SUPPORTED 0x40ECE
#define TAPI_DISCONNECT_MASK_CALL (TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN)
#define TAPI_DISCONNECT_MASK_ALL (TAPI_DISCONNECT_MASK_CALL | LINK_RELEASE)

// ---- helpers ----

static ULONG TapiLinksInUse(Adapter* ThisAdapter)
{
    ULONG n = 0;
    for (ULONG g = 0; g < ThisAdapter->NumberOfGroups && g < MAX_GROUPS; g++) n += ThisAdapter->LinksPerGroup[g];
    return n;
}

static BOOLEAN TapiOwned(const Link* ThisLink) { return ThisLink->CurrentOwner == OWNER_TELEPHONY_SUBSYSTEM; }

// A line or call handle names a Link in use of this adapter that TAPI owns: TAPI never
// holds a handle of any other Link.
static Link* TapiLinkFromHandle(Adapter* ThisAdapter, ULONG Handle)
{
    Link* ThisLink = LinkFromLineHandle(ThisAdapter, Handle);
    if (ThisLink == NULL || !TapiOwned(ThisLink)) return NULL;
    return ThisLink;
}

static BOOLEAN TapiCallIdle(const Link* ThisLink)
{
    return ThisLink->CallState == LINECALLSTATE_IDLE || ThisLink->CallState == LINECALLSTATE_DISCONNECTED;
}

// TRUE when Size bytes at Offset lie inside a block of Length bytes.
static BOOLEAN TapiInside(ULONG Offset, ULONG Size, ULONG Length) { return Offset <= Length && Size <= Length - Offset; }

// The bytes of a LINE_* structure at StructOffset that may be written: its ulTotalSize,
// but never beyond the buffer.
static ULONG TapiRoom(ULONG TotalSize, ULONG StructOffset, ULONG BufferLength)
{
    ULONG room = BufferLength - StructOffset;
    return TotalSize < room ? TotalSize : room;
}

static void TapiIndicate(Adapter* ThisAdapter, NDIS_TAPI_EVENT* Event)
{
    NdisMIndicateStatus(ThisAdapter->MiniportAdapterHandle, NDIS_STATUS_TAPI_INDICATION, Event, sizeof *Event);
    NdisMIndicateStatusComplete(ThisAdapter->MiniportAdapterHandle);
}

// A cancel that misses leaves the callback due: it still runs, but finds the timer
// disarmed and does nothing; CallTimerQueued stays set until it has run.
void TapiCancelCallTimer(Link* ThisLink)
{
    if (ThisLink->CallTimer.MiniportTimerFunction == NULL) return;  // a Link not in use has none
    BOOLEAN cancelled;
    ThisLink->CallTimerArmed = 0;
    NdisMCancelTimer(&ThisLink->CallTimer, &cancelled);
    if (cancelled) ThisLink->CallTimerQueued = 0;
}

void TapiArmCallTimer(Link* ThisLink)
{
    if (ThisLink->CallTimer.MiniportTimerFunction == NULL) return;
    ThisLink->CallTimerArmed = 1;
    ThisLink->CallTimerQueued = 1;
    NdisMSetTimer(&ThisLink->CallTimer, CALL_TIMEOUT);
}

ULONG TapiLineName(Adapter* ThisAdapter, ULONG DeviceId, CHAR* Name)
{
    CHAR suffix[24];
    ULONG digits = 0, n = DeviceId;
    CHAR rev[10];
    do {
        rev[digits++] = (CHAR)('0' + n % 10);
        n /= 10;
    } while (n != 0);
    std::memcpy(suffix, " Channel:", 9);
    for (ULONG i = 0; i < digits; i++) suffix[9 + i] = rev[digits - 1 - i];
    ULONG suffixLength = 9 + digits;

    ULONG nameLength = (ULONG)strnlen(ThisAdapter->DeviceName, DEVICE_NAME_SIZE);
    if (nameLength + suffixLength > TAPI_LINE_NAME_MAX) nameLength = TAPI_LINE_NAME_MAX - suffixLength;
    std::memcpy(Name, ThisAdapter->DeviceName, nameLength);
    std::memcpy(Name + nameLength, suffix, suffixLength);
    Name[nameLength + suffixLength] = 0;
    return nameLength + suffixLength;
}

// ---- line-state and call-state handlers ----

void TapiCallStateHandler(Adapter* ThisAdapter, Link* ThisLink, ULONG CallState, ULONG CallStateMode)
{
    if (ThisAdapter == NULL || ThisLink == NULL) return;
    TapiCancelCallTimer(ThisLink);
    switch (CallState) {
    case LINECALLSTATE_IDLE: ThisLink->RingCount = 0; break;
    case LINECALLSTATE_OFFERING:
    case LINECALLSTATE_ACCEPTED: TapiArmCallTimer(ThisLink); break;
    case LINECALLSTATE_CONNECTED: LinkLineUp(ThisLink); break;
    case LINECALLSTATE_DISCONNECTED:
        // Every disconnection tells why, so a later call never reports an earlier one's mode.
        ThisLink->DisconnectMode = CallStateMode != 0 ? CallStateMode : LINEDISCONNECTMODE_UNKNOWN;
        if (ThisLink->CallState == 0 || TapiCallIdle(ThisLink)) {
            // Already cleared, but a modem call may still hold its call object.
            if (ThisLink->TransferCaps == 0 && ThisLink->ThisBChannel != NULL)
                RSS_Disconnect(ThisLink, TAPI_DISCONNECT_MASK_CALL);
        } else {
            RSS_Disconnect(ThisLink, TAPI_DISCONNECT_MASK_CALL);
        }
        break;
    default: break;
    }
    if (CallState == ThisLink->CallState) return;
    ThisLink->CallState = CallState;
    if ((CallState & ThisLink->CallStatesEnabled) != 0 && TapiOwned(ThisLink)) {
        NDIS_TAPI_EVENT event = {ThisLink->OwnerContext, ThisLink->htCall, LINE_CALLSTATE,
                                 CallState,             CallStateMode,     ThisLink->MediaMode};
        TapiIndicate(ThisAdapter, &event);
    }
}

void TapiLineDevStateHandler(Adapter* ThisAdapter, Link* ThisLink, ULONG DeviceState)
{
    if (ThisAdapter == NULL || ThisLink == NULL) return;
    ULONG param2 = 0, param3 = 0, callState = 0, mode = 0;
    switch (DeviceState) {
    case LINEDEVSTATE_RINGING:
        param2 = 1;
        ThisLink->RingCount++;
        param3 = ThisLink->RingCount;
        if (ThisLink->RingCount == 1) callState = LINECALLSTATE_OFFERING;
        break;
    case LINEDEVSTATE_CONNECTED: callState = LINECALLSTATE_CONNECTED; break;
    case LINEDEVSTATE_DISCONNECTED:
        if (!TapiCallIdle(ThisLink) || (ThisLink->TransferCaps == 0 && ThisLink->ThisBChannel != NULL)) {
            callState = LINECALLSTATE_DISCONNECTED;
            mode = LINEDISCONNECTMODE_NORMAL;
        }
        break;
    case LINEDEVSTATE_OPEN:
        ThisAdapter->OpenLineCount++;
        callState = LINECALLSTATE_IDLE;
        break;
    case LINEDEVSTATE_CLOSE:
        if (ThisAdapter->OpenLineCount != 0) ThisAdapter->OpenLineCount--;
        callState = LINECALLSTATE_IDLE;
        break;
    default: break;
    }
    ThisLink->LineState = DeviceState;

    if (callState == LINECALLSTATE_OFFERING && TapiOwned(ThisLink)) {
        // TAPI answers the new call with its own handle of it, in ulParam2.
        NDIS_TAPI_EVENT event = {ThisLink->OwnerContext, 0, LINE_NEWCALL, ThisLink->LinkHandle, 0, 0};
        TapiIndicate(ThisAdapter, &event);
        ThisLink->htCall = event.ulParam2;
    }
    if ((DeviceState & ThisLink->LineStatesEnabled) != 0 && TapiOwned(ThisLink)) {
        if (DeviceState == LINEDEVSTATE_CLOSE) {
            RSS_TRACE("NO TAPI Indication, LINEDEVSTATE_CLOSE\n");
        } else {
            NDIS_TAPI_EVENT event = {ThisLink->OwnerContext, ThisLink->htCall, LINE_LINEDEVSTATE,
                                     DeviceState,            param2,           param3};
            TapiIndicate(ThisAdapter, &event);
        }
    }
    if (callState != 0) TapiCallStateHandler(ThisAdapter, ThisLink, callState, mode);
}

void TapiResetHandler(Adapter* ThisAdapter)
{
    for (ULONG g = 0; g < ThisAdapter->NumberOfGroups && g < MAX_GROUPS; g++)
        for (ULONG l = 0; l < ThisAdapter->LinksPerGroup[g] && l < MAX_LINKS_PER_GROUP; l++)
            TapiLineDevStateHandler(ThisAdapter, &ThisAdapter->NdisWanInfo[g][l], LINEDEVSTATE_DISCONNECTED);
}

static BOOLEAN TapiCallTimerStillDue(Adapter* ThisAdapter)
{
    for (ULONG g = 0; g < ThisAdapter->NumberOfGroups && g < MAX_GROUPS; g++)
        for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++)
            if (ThisAdapter->NdisWanInfo[g][l].CallTimerQueued) return TRUE;
    return FALSE;
}

// Passive level, with the main loop stopped: a callback whose cancel missed is waited
// out, so that none runs on the freed record.
void TapiHaltHandler(Adapter* ThisAdapter)
{
    for (ULONG g = 0; g < ThisAdapter->NumberOfGroups && g < MAX_GROUPS; g++)
        for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++) TapiCancelCallTimer(&ThisAdapter->NdisWanInfo[g][l]);
    for (int wait = 0; TapiCallTimerStillDue(ThisAdapter) && wait < 100; wait++) NdisMSleep(1000);
}

void TapiCallTimerHandler(PVOID, PVOID FunctionContext, PVOID, PVOID)
{
    Link* ThisLink = (Link*)FunctionContext;
    if (ThisLink == NULL || ThisLink->ThisAdapter == NULL) return;
    Adapter* a = ThisLink->ThisAdapter;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    ThisLink->CallTimerQueued = 0;
    if (!ThisLink->CallTimerArmed || a->Halting) {  // cancelled after it fell due
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        return;
    }
    ThisLink->CallTimerArmed = 0;
    switch (ThisLink->CallState) {
    case LINECALLSTATE_OFFERING:
    case LINECALLSTATE_ACCEPTED:
        RSS_TRACE("TapiCallTimerHandler: no answer, Link[%lu][%lu]\n", (unsigned long)ThisLink->GroupID,
                  (unsigned long)ThisLink->Index);
        ThisLink->DisconnectMode = LINEDISCONNECTMODE_NOANSWER;
        LinkFragment(ThisLink, WAN_ERROR_TIMEOUT);
        TapiCallStateHandler(a, ThisLink, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER);
        break;
    case LINECALLSTATE_DIALING:
        RSS_TRACE("TapiCallTimerHandler: unreachable, Link[%lu][%lu]\n", (unsigned long)ThisLink->GroupID,
                  (unsigned long)ThisLink->Index);
        ThisLink->DisconnectMode = LINEDISCONNECTMODE_UNREACHABLE;
        TapiCallStateHandler(a, ThisLink, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNREACHABLE);
        break;
    default: break;
    }
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}

// ---- provider ----

static NDIS_STATUS TapiProviderInitialize(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_PROVIDER_INITIALIZE* r = (NDIS_TAPI_PROVIDER_INITIALIZE*)Request;
    ThisAdapter->DeviceIDBase = r->ulDeviceIDBase;
    r->ulNumLineDevs = TapiLinksInUse(ThisAdapter);
    r->ulProviderID = ThisAdapter->LinkHandleSlot;  // names the adapter among the driver's
    RSS_TRACE("TapiProviderInitialize: DeviceIDBase %lu, %lu lines\n", (unsigned long)r->ulDeviceIDBase,
              (unsigned long)r->ulNumLineDevs);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiProviderShutdown(Adapter* ThisAdapter, PUCHAR, ULONG, PULONG)
{
    for (ULONG g = 0; g < ThisAdapter->NumberOfGroups && g < MAX_GROUPS; g++) {
        for (ULONG l = 0; l < ThisAdapter->LinksPerGroup[g] && l < MAX_LINKS_PER_GROUP; l++) {
            Link* ThisLink = &ThisAdapter->NdisWanInfo[g][l];
            if (!TapiOwned(ThisLink)) continue;
            TapiCancelCallTimer(ThisLink);  // the released Link has no TAPI call left to time
            if (ThisLink->DisconnectCause == DISCONNECT_CAUSE_NONE) ThisLink->DisconnectCause = DISCONNECT_CAUSE_TAPI_DROP;
            RSS_Disconnect(ThisLink, ThisLink->CallState == LINECALLSTATE_IDLE ? (LINK_DOWN | LINK_RELEASE)
                                                                                : TAPI_DISCONNECT_MASK_ALL);
        }
    }
    ThisAdapter->OpenLineCount = 0;
    return NDIS_STATUS_SUCCESS;
}

// ---- line requests ----

static NDIS_STATUS TapiGetDevCaps(Adapter* ThisAdapter, PUCHAR Request, ULONG Length, PULONG)
{
    NDIS_TAPI_GET_DEV_CAPS* r = (NDIS_TAPI_GET_DEV_CAPS*)Request;
    Link* ThisLink = LinkFromDeviceId(ThisAdapter, r->ulDeviceID);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_NODRIVER;
    LINE_DEV_CAPS* caps = &r->LineDevCaps;
    ULONG room = TapiRoom(caps->ulTotalSize, offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps), Length);
    PUCHAR base = (PUCHAR)caps;

    static const UCHAR providerInfo[13] = {'I', 'S', 'D', 'N', 0, 'V', 'O', 'R', 'N', 'E', 'T', 0, 0};
    std::memcpy(ThisAdapter->ProviderInfo, providerInfo, sizeof providerInfo);
    ThisAdapter->ProviderInfoLength = sizeof providerInfo;
    CHAR name[TAPI_LINE_NAME_MAX + 1];
    ULONG nameSize = TapiLineName(ThisAdapter, r->ulDeviceID, name) + 1;
    RSS_TRACE("TapiGetDevCaps <%s> \n", name);

    caps->ulNeededSize = caps->ulUsedSize = sizeof(LINE_DEV_CAPS);
    caps->ulProviderInfoSize = caps->ulProviderInfoOffset = 0;
    caps->ulLineNameSize = caps->ulLineNameOffset = 0;
    caps->ulNeededSize += ThisAdapter->ProviderInfoLength;
    if (caps->ulNeededSize <= room) {
        caps->ulProviderInfoSize = ThisAdapter->ProviderInfoLength;
        caps->ulProviderInfoOffset = caps->ulUsedSize;
        std::memcpy(base + caps->ulUsedSize, ThisAdapter->ProviderInfo, ThisAdapter->ProviderInfoLength);
        caps->ulUsedSize += ThisAdapter->ProviderInfoLength;
    }
    caps->ulNeededSize += nameSize;
    if (caps->ulNeededSize <= room) {
        caps->ulLineNameSize = nameSize;
        caps->ulLineNameOffset = caps->ulUsedSize;
        std::memcpy(base + caps->ulUsedSize, name, nameSize);
        caps->ulUsedSize += nameSize;
    }
    caps->ulPermanentLineID = r->ulDeviceID - ThisAdapter->DeviceIDBase;
    caps->ulStringFormat = STRINGFORMAT_ASCII;
    caps->ulAddressModes = 3;
    caps->ulNumAddresses = 1;
    caps->ulBearerModes = LINEBEARERMODE_DATA;
    caps->ulMaxRate = 64000;
    caps->ulMediaModes = ThisLink->MediaModesSupported;
    caps->ulDevCapFlags = 0x20;
    caps->ulMaxNumActiveCalls = 1;
    caps->ulAnswerMode = 2;
    caps->ulRingModes = 1;
    caps->ulLineStates = TAPI_LINE_STATES_SUPPORTED;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiOpen(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_OPEN* r = (NDIS_TAPI_OPEN*)Request;
    Link* ThisLink = LinkFromDeviceId(ThisAdapter, r->ulDeviceID);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_NODRIVER;
    if (LinkAcquire(ThisAdapter, r->htLine, ThisLink->GroupID, ThisLink->Index, OWNER_TELEPHONY_SUBSYSTEM) == NULL)
        return NDIS_STATUS_TAPI_ALLOCATED;
    r->hdLine = ThisLink->LinkHandle;
    TapiLineDevStateHandler(ThisAdapter, ThisLink, LINEDEVSTATE_OPEN);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiClose(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_CLOSE* r = (NDIS_TAPI_CLOSE*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine);
    if (ThisLink == NULL) {
        RSS_TRACE(" INVALLINEHANDLE\n");
        return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    }
    // Closing drops the call: one still up is cleared toward the network and NDISWAN
    // before the Link is given back, so no call or NDIS link is left without an owner.
    BOOLEAN callUp = !TapiCallIdle(ThisLink);
    if (ThisLink->DisconnectCause == DISCONNECT_CAUSE_NONE) ThisLink->DisconnectCause = DISCONNECT_CAUSE_TAPI_DROP;
    TapiLineDevStateHandler(ThisAdapter, ThisLink, LINEDEVSTATE_CLOSE);
    RSS_Disconnect(ThisLink, callUp ? TAPI_DISCONNECT_MASK_ALL : LINK_RELEASE);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetExtensionID(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_GET_EXTENSION_ID* r = (NDIS_TAPI_GET_EXTENSION_ID*)Request;
    if (LinkFromDeviceId(ThisAdapter, r->ulDeviceID) == NULL) return NDIS_STATUS_TAPI_NODRIVER;
    NdisZeroMemory(&r->LineExtensionID, sizeof r->LineExtensionID);
    return NDIS_STATUS_SUCCESS;
}

// TRUE when the Size bytes of Text (up to a NUL) equal Class, without regard to case.
static BOOLEAN TapiClassIs(const UCHAR* Text, ULONG Size, const char* Class)
{
    ULONG n = 0;
    while (n < Size && Text[n] != 0) n++;
    if (n != std::strlen(Class)) return FALSE;
    for (ULONG i = 0; i < n; i++) {
        UCHAR c = Text[i];
        if (c >= 'A' && c <= 'Z') c = (UCHAR)(c - 'A' + 'a');
        if (c != (UCHAR)Class[i]) return FALSE;
    }
    return TRUE;
}

static NDIS_STATUS TapiGetID(Adapter* ThisAdapter, PUCHAR Request, ULONG Length, PULONG)
{
    NDIS_TAPI_GET_ID* r = (NDIS_TAPI_GET_ID*)Request;
    BOOLEAN ndis = FALSE;
    if (TapiInside(r->ulDeviceClassOffset, r->ulDeviceClassSize, Length) &&
        TapiClassIs(Request + r->ulDeviceClassOffset, r->ulDeviceClassSize, "ndis")) {
        ndis = TRUE;
    } else if (!TapiInside(r->ulDeviceClassOffset, r->ulDeviceClassSize, Length) ||
               !TapiClassIs(Request + r->ulDeviceClassOffset, r->ulDeviceClassSize, "tapi/line")) {
        RSS_TRACE("*** INVALID DEVICE CLASS ***\n");
        return NDIS_STATUS_TAPI_INVALDEVICECLASS;
    }
    Link* ThisLink;
    switch (r->ulSelect) {
    case LINECALLSELECT_LINE:
        if ((ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine)) == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
        break;
    case LINECALLSELECT_ADDRESS:
        if ((ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine)) == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
        if (r->ulAddressID != 0) return NDIS_STATUS_TAPI_INVALADDRESSID;
        break;
    case LINECALLSELECT_CALL:
        if ((ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdCall)) == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
        break;
    default: return NDIS_STATUS_FAILURE;
    }
    VAR_STRING* v = &r->DeviceID;
    ULONG room = TapiRoom(v->ulTotalSize, offsetof(NDIS_TAPI_GET_ID, DeviceID), Length);
    PUCHAR value = (PUCHAR)v + sizeof(VAR_STRING);
    v->ulUsedSize = sizeof(VAR_STRING);
    if (ndis) {
        v->ulNeededSize = sizeof(VAR_STRING) + 9;
        if (v->ulNeededSize <= room) {
            ULONG handle = ThisLink->LinkHandle;
            std::memcpy(value, &handle, 4);
            std::memcpy(value + 4, "isdn", 5);
            v->ulStringFormat = STRINGFORMAT_BINARY;
            v->ulStringSize = 9;
            v->ulStringOffset = sizeof(VAR_STRING);
            v->ulUsedSize += 9;
        }
    } else {
        v->ulNeededSize = sizeof(VAR_STRING) + 4;
        if (v->ulNeededSize <= room) {
            ULONG id = ThisAdapter->DeviceIDBase + LinkDeviceIndex(ThisAdapter, ThisLink);
            std::memcpy(value, &id, 4);
            v->ulStringFormat = STRINGFORMAT_BINARY;
            v->ulStringSize = 4;
            v->ulStringOffset = sizeof(VAR_STRING);
            v->ulUsedSize += 4;
        }
    }
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetLineDevStatus(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_GET_LINE_DEV_STATUS* r = (NDIS_TAPI_GET_LINE_DEV_STATUS*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    LINE_DEV_STATUS* s = &r->LineDevStatus;
    s->ulNeededSize = s->ulUsedSize = sizeof(LINE_DEV_STATUS);
    s->ulNumActiveCalls = ThisLink->CallState == LINECALLSTATE_IDLE ? 0 : 1;
    s->ulLineFeatures = 8;
    s->ulRingMode = 0;
    s->ulDevStatusFlags = 5;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiSetStatusMessages(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_SET_STATUS_MESSAGES* r = (NDIS_TAPI_SET_STATUS_MESSAGES*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    if ((r->ulLineStates & ~ThisLink->LineStatesSupported) != 0) return NDIS_STATUS_TAPI_INVALLINESTATE;
    if ((r->ulAddressStates & ~ThisLink->AddressStatesSupported) != 0) return NDIS_STATUS_TAPI_INVALADDRESSSTATE;
    ThisLink->LineStatesEnabled = r->ulLineStates;
    ThisLink->AddressStatesEnabled = r->ulAddressStates;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetAddressCaps(Adapter* ThisAdapter, PUCHAR Request, ULONG Length, PULONG)
{
    NDIS_TAPI_GET_ADDRESS_CAPS* r = (NDIS_TAPI_GET_ADDRESS_CAPS*)Request;
    if (r->ulAddressID != 0) return NDIS_STATUS_TAPI_INVALADDRESSID;
    if (r->ulExtVersion != 0 && r->ulExtVersion != 0x10000) return NDIS_STATUS_TAPI_INCOMPATIBLEEXTVERSION;
    Link* ThisLink = LinkFromDeviceId(ThisAdapter, r->ulDeviceID);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_NODRIVER;
    LINE_ADDRESS_CAPS* caps = &r->LineAddressCaps;
    ULONG room = TapiRoom(caps->ulTotalSize, offsetof(NDIS_TAPI_GET_ADDRESS_CAPS, LineAddressCaps), Length);
    ULONG total = caps->ulTotalSize;
    NdisZeroMemory(caps, sizeof *caps);
    caps->ulTotalSize = total;
    ULONG addressSize = (ULONG)strnlen(ThisLink->LineAddress, LINE_ADDRESS_SIZE - 1) + 1;
    caps->ulUsedSize = sizeof(LINE_ADDRESS_CAPS);
    caps->ulNeededSize = sizeof(LINE_ADDRESS_CAPS) + addressSize;
    if (caps->ulNeededSize <= room) {
        PUCHAR dest = (PUCHAR)caps + caps->ulUsedSize;
        std::memcpy(dest, ThisLink->LineAddress, addressSize - 1);
        dest[addressSize - 1] = 0;
        caps->ulAddressSize = addressSize;
        caps->ulAddressOffset = caps->ulUsedSize;
        caps->ulUsedSize += addressSize;
    }
    caps->ulLineDeviceID = r->ulDeviceID;
    caps->ulAddressSharing = 1;
    caps->ulAddressStates = ThisLink->AddressStatesSupported;
    caps->ulCallStates = ThisLink->CallStatesSupported;
    caps->ulDialToneModes = 0x20;
    caps->ulBusyModes = 8;
    caps->ulSpecialInfo = 0x10;
    caps->ulDisconnectModes = 0x63;
    caps->ulMaxNumActiveCalls = 1;
    caps->ulAddrCapFlags = 0x20;
    caps->ulCallFeatures = 0xC4;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetAddressStatus(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_GET_ADDRESS_STATUS* r = (NDIS_TAPI_GET_ADDRESS_STATUS*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    if (r->ulAddressID != 0) return NDIS_STATUS_TAPI_INVALADDRESSID;
    LINE_ADDRESS_STATUS* s = &r->LineAddressStatus;
    BOOLEAN idle = ThisLink->CallState == LINECALLSTATE_IDLE;
    s->ulNeededSize = s->ulUsedSize = sizeof(LINE_ADDRESS_STATUS);
    s->ulNumInUse = s->ulNumActiveCalls = idle ? 0 : 1;
    s->ulAddressFeatures = idle ? 2 : 0;
    s->ulNumRingsNoAnswer = 999;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetAddressID(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_GET_ADDRESS_ID* r = (NDIS_TAPI_GET_ADDRESS_ID*)Request;
    if (TapiLinkFromHandle(ThisAdapter, r->hdLine) == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    if (r->ulAddressMode != LINEADDRESSMODE_DIALABLEADDR) return NDIS_STATUS_FAILURE;
    if (r->ulAddressSize >= LINE_ADDRESS_SIZE) return NDIS_STATUS_TAPI_RESOURCEUNAVAIL;
    r->ulAddressID = 0;
    return NDIS_STATUS_SUCCESS;
}

// CONDITIONAL_MEDIA_DETECTION and SET_DEFAULT_MEDIA_DETECTION: hdLine, then the modes.
static NDIS_STATUS TapiSetMediaDetection(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION* r = (NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION*)Request;
    static_assert(offsetof(NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION, ulMediaModes) ==
                  offsetof(NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION, ulMediaModes));
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    ThisLink->MediaModesMonitored = r->ulMediaModes;
    return NDIS_STATUS_SUCCESS;
}

// ---- call requests ----

static NDIS_STATUS TapiMakeCall(Adapter* ThisAdapter, PUCHAR Request, ULONG Length, PULONG)
{
    NDIS_TAPI_MAKE_CALL* r = (NDIS_TAPI_MAKE_CALL*)Request;
    RSS_TRACE("TapiMakeCall:Entry\n");
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    if (ThisLink->GroupID >= MAX_LINES || ThisAdapter->LineUp[ThisLink->GroupID] == 0)
        return NDIS_STATUS_TAPI_CALLUNAVAIL;
    // A call TAPI was never offered (it rang before the line was opened) or one still
    // being cleared holds the Link as much as TAPI's own.
    if (!TapiCallIdle(ThisLink) || ThisLink->ThisBChannel != NULL) return NDIS_STATUS_TAPI_INUSE;

    if (r->bUseDefaultLineCallParams != 1) {
        const LINE_CALL_PARAMS* p = &r->LineCallParams;
        RSS_TRACE("\t ulBearerMode=%x   ulMediaMode=%x\n", (unsigned)p->ulBearerMode, (unsigned)p->ulMediaMode);
        RSS_TRACE("\t ulMinRate=%d   ulMaxRate=%d\n", (int)p->ulMinRate, (int)p->ulMaxRate);
        ThisLink->LinkSpeed = 64000;
        if (p->ulBearerMode == LINEBEARERMODE_VOICE) {
            ThisLink->ChannelProtocol = CHANNEL_PROTOCOL_RTP;
            ThisLink->TransferCaps = 0;
        } else {
            ThisLink->ChannelProtocol = CHANNEL_PROTOCOL_V42;
            ThisLink->TransferCaps = INFO_TRANSFER_CAPS_UNRESTRICTED_64K;
            if (p->ulMinRate == 56000 && p->ulMaxRate == 56000) {
                ThisLink->TransferCaps = INFO_TRANSFER_CAPS_RESTRICTED_56K;
                ThisLink->LinkSpeed = 56000;
            }
        }
    }
    ThisLink->htCall = r->htCall;
    r->hdCall = ThisLink->LinkHandle;

    if (r->ulDestAddressSize == 0 || !TapiInside(r->ulDestAddressOffset, r->ulDestAddressSize, Length))
        return NDIS_STATUS_TAPI_INVALADDRESS;
    if (DecodeCallModifiers(ThisLink, Request + r->ulDestAddressOffset, r->ulDestAddressSize - 1) == 0)
        return NDIS_STATUS_TAPI_INVALADDRESS;
    if (!RSS_MakeCall(ThisLink)) return NDIS_STATUS_TAPI_INVALADDRESS;

    TapiCallStateHandler(ThisAdapter, ThisLink, LINECALLSTATE_DIALTONE, 1);
    if (ThisLink->TransferCaps != 0) TapiCallStateHandler(ThisAdapter, ThisLink, LINECALLSTATE_DIALING, 0);
    TapiArmCallTimer(ThisLink);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiAnswer(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_ANSWER* r = (NDIS_TAPI_ANSWER*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdCall);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    RSS_AnswerCall(ThisLink);
    TapiCallStateHandler(ThisAdapter, ThisLink, LINECALLSTATE_ACCEPTED, 0);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiDrop(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_DROP* r = (NDIS_TAPI_DROP*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdCall);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    if (ThisLink->DisconnectCause == DISCONNECT_CAUSE_NONE) ThisLink->DisconnectCause = DISCONNECT_CAUSE_TAPI_DROP;
    TapiCallStateHandler(ThisAdapter, ThisLink, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
    ThisLink->TransferTerminated = 0;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiCloseCall(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_CLOSE_CALL* r = (NDIS_TAPI_CLOSE_CALL*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdCall);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    if (ThisLink->DisconnectCause == DISCONNECT_CAUSE_NONE) ThisLink->DisconnectCause = DISCONNECT_CAUSE_TAPI_DROP;
    RSS_Disconnect(ThisLink, TAPI_DISCONNECT_MASK_CALL);
    TapiCallStateHandler(ThisAdapter, ThisLink, LINECALLSTATE_IDLE, 0);
    ThisLink->TransferTerminated = 0;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetCallAddressID(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_GET_CALL_ADDRESS_ID* r = (NDIS_TAPI_GET_CALL_ADDRESS_ID*)Request;
    if (TapiLinkFromHandle(ThisAdapter, r->hdCall) == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    r->ulAddressID = 0;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetCallInfo(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_GET_CALL_INFO* r = (NDIS_TAPI_GET_CALL_INFO*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdCall);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    LINE_CALL_INFO* info = &r->LineCallInfo;
    info->ulNeededSize = info->ulUsedSize = sizeof(LINE_CALL_INFO);
    info->hLine = ThisLink->LinkHandle;
    info->ulLineDeviceID = ThisAdapter->DeviceIDBase + LinkDeviceIndex(ThisAdapter, ThisLink);
    info->ulAddressID = 0;
    info->ulBearerMode = ThisLink->ChannelProtocol == CHANNEL_PROTOCOL_RTP ? LINEBEARERMODE_VOICE : LINEBEARERMODE_DATA;
    info->ulRate = ThisLink->LinkSpeed;
    info->ulMediaMode = ThisLink->MediaModesMonitored;
    info->ulCallParamFlags = 2;
    info->ulCallStates = ThisLink->CallStatesEnabled;
    RSS_TRACE("%d,CallStatesMask:%0x, MediaModesMask:%0x, TransferRate:%d\n", (int)info->ulLineDeviceID,
              (unsigned)info->ulCallStates, (unsigned)info->ulMediaMode, (int)info->ulRate);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetCallStatus(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_GET_CALL_STATUS* r = (NDIS_TAPI_GET_CALL_STATUS*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdCall);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    LINE_CALL_STATUS* s = &r->LineCallStatus;
    s->ulNeededSize = s->ulUsedSize = sizeof(LINE_CALL_STATUS);
    s->ulCallPrivilege = LINECALLPRIVILEGE_OWNER;
    s->ulCallState = ThisLink->CallState;
    if (ThisLink->CallState == LINECALLSTATE_DIALTONE || ThisLink->CallState == LINECALLSTATE_BUSY)
        s->ulCallStateMode = 1;
    else if (ThisLink->CallState == LINECALLSTATE_DISCONNECTED)
        s->ulCallStateMode = ThisLink->DisconnectMode;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiSetMediaMode(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    NDIS_TAPI_SET_MEDIA_MODE* r = (NDIS_TAPI_SET_MEDIA_MODE*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdCall);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    ThisLink->MediaModesMonitored = r->ulMediaMode;
    return NDIS_STATUS_SUCCESS;
}

// ACCEPT, SET_APP_SPECIFIC and SET_CALL_PARAMS: hdCall follows ulRequestID in each.
static NDIS_STATUS TapiCheckCallHandle(Adapter* ThisAdapter, PUCHAR Request, ULONG, PULONG)
{
    ULONG hdCall;
    std::memcpy(&hdCall, Request + 4, 4);
    return TapiLinkFromHandle(ThisAdapter, hdCall) == NULL ? NDIS_STATUS_TAPI_INVALCALLHANDLE : NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiDevSpecific(Adapter* ThisAdapter, PUCHAR Request, ULONG Length, PULONG BytesNeeded)
{
    NDIS_TAPI_DEV_SPECIFIC* r = (NDIS_TAPI_DEV_SPECIFIC*)Request;
    Link* ThisLink = TapiLinkFromHandle(ThisAdapter, r->hdLine);
    if (ThisLink == NULL) return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    // The management record must be whole inside the request, header at least.
    // A record shorter than its header is malformed whatever the buffer holds.
    if (r->ulParamsSize < sizeof(BACKDOOR_REQUEST_HEADER)) return NDIS_STATUS_INVALID_DATA;
    ULONG room = Length - offsetof(NDIS_TAPI_DEV_SPECIFIC, Params);
    if (r->ulParamsSize > room) {
        ULONG head = offsetof(NDIS_TAPI_DEV_SPECIFIC, Params);
        // A size no buffer can hold asks for the most a length can say.
        *BytesNeeded = r->ulParamsSize > 0xFFFFFFFFu - head ? 0xFFFFFFFFu : head + r->ulParamsSize;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    BACKDOOR_REQUEST_HEADER* b = (BACKDOOR_REQUEST_HEADER*)r->Params;
    switch (b->Class) {
    case BACKDOOR_CLASS_LINE_ADDRESS:
        b->Arg[0] = ThisLink->GroupID;
        b->Arg[1] = ThisLink->Index;
        break;
    case BACKDOOR_CLASS_PUMP_DATA_IN:
    case BACKDOOR_CLASS_PUMP_DATA_OUT: {
        Pump* p = ThisLink->ThisPump;
        if (p == NULL || p->ThisCsm == NULL || p->ThisCsm->ThisSocket == NULL) {
            b->Status = BACKDOOR_STATUS_NO_OBJECT;
            break;
        }
        b->Arg[0] = p->ThisCsm->ThisSocket->SocketIndex;
        b->Arg[1] = p->ThisCsm->Index;
        b->Arg[2] = p->PumpNumber;
        RSS_BackdoorRequest(ThisAdapter, r->Params, r->ulParamsSize);
        break;
    }
    default: RSS_BackdoorRequest(ThisAdapter, r->Params, r->ulParamsSize); break;
    }
    return NDIS_STATUS_SUCCESS;
}

// ---- dispatchers ----

typedef NDIS_STATUS (*TAPI_HANDLER)(Adapter* ThisAdapter, PUCHAR Request, ULONG Length, PULONG BytesNeeded);

typedef struct _TAPI_OID_ROW {
    NDIS_OID Oid;
    ULONG MinimumLength;
    TAPI_HANDLER Handler;
} TAPI_OID_ROW;

static const TAPI_OID_ROW TapiQueryTable[] = {
    {OID_TAPI_DEV_SPECIFIC, NDIS_TAPI_DEV_SPECIFIC_SIZE, TapiDevSpecific},
    {OID_TAPI_GET_ADDRESS_CAPS, sizeof(NDIS_TAPI_GET_ADDRESS_CAPS), TapiGetAddressCaps},
    {OID_TAPI_GET_ADDRESS_ID, NDIS_TAPI_GET_ADDRESS_ID_SIZE, TapiGetAddressID},
    {OID_TAPI_GET_ADDRESS_STATUS, sizeof(NDIS_TAPI_GET_ADDRESS_STATUS), TapiGetAddressStatus},
    {OID_TAPI_GET_CALL_ADDRESS_ID, sizeof(NDIS_TAPI_GET_CALL_ADDRESS_ID), TapiGetCallAddressID},
    {OID_TAPI_GET_CALL_INFO, sizeof(NDIS_TAPI_GET_CALL_INFO), TapiGetCallInfo},
    {OID_TAPI_GET_CALL_STATUS, sizeof(NDIS_TAPI_GET_CALL_STATUS), TapiGetCallStatus},
    {OID_TAPI_GET_DEV_CAPS, sizeof(NDIS_TAPI_GET_DEV_CAPS), TapiGetDevCaps},
    {OID_TAPI_GET_EXTENSION_ID, sizeof(NDIS_TAPI_GET_EXTENSION_ID), TapiGetExtensionID},
    {OID_TAPI_GET_ID, sizeof(NDIS_TAPI_GET_ID), TapiGetID},
    {OID_TAPI_GET_LINE_DEV_STATUS, sizeof(NDIS_TAPI_GET_LINE_DEV_STATUS), TapiGetLineDevStatus},
    {OID_TAPI_MAKE_CALL, sizeof(NDIS_TAPI_MAKE_CALL), TapiMakeCall},
    {OID_TAPI_OPEN, sizeof(NDIS_TAPI_OPEN), TapiOpen},
    {OID_TAPI_PROVIDER_INITIALIZE, sizeof(NDIS_TAPI_PROVIDER_INITIALIZE), TapiProviderInitialize},
};

static const TAPI_OID_ROW TapiSetTable[] = {
    {OID_TAPI_ACCEPT, NDIS_TAPI_ACCEPT_SIZE, TapiCheckCallHandle},
    {OID_TAPI_ANSWER, NDIS_TAPI_ACCEPT_SIZE, TapiAnswer},
    {OID_TAPI_CLOSE, sizeof(NDIS_TAPI_CLOSE), TapiClose},
    {OID_TAPI_CLOSE_CALL, sizeof(NDIS_TAPI_CLOSE_CALL), TapiCloseCall},
    {OID_TAPI_CONDITIONAL_MEDIA_DETECTION, sizeof(NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION), TapiSetMediaDetection},
    {OID_TAPI_DROP, NDIS_TAPI_ACCEPT_SIZE, TapiDrop},
    {OID_TAPI_PROVIDER_SHUTDOWN, sizeof(NDIS_TAPI_PROVIDER_SHUTDOWN), TapiProviderShutdown},
    {OID_TAPI_SET_APP_SPECIFIC, sizeof(NDIS_TAPI_SET_APP_SPECIFIC), TapiCheckCallHandle},
    {OID_TAPI_SET_CALL_PARAMS, sizeof(NDIS_TAPI_SET_CALL_PARAMS), TapiCheckCallHandle},
    {OID_TAPI_SET_DEFAULT_MEDIA_DETECTION, sizeof(NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION), TapiSetMediaDetection},
    {OID_TAPI_SET_MEDIA_MODE, sizeof(NDIS_TAPI_SET_MEDIA_MODE), TapiSetMediaMode},
    {OID_TAPI_SET_STATUS_MESSAGES, sizeof(NDIS_TAPI_SET_STATUS_MESSAGES), TapiSetStatusMessages},
};

// One dispatch for both directions; BytesDone is bytes written (query) or read (set).
static NDIS_STATUS TapiDispatch(const TAPI_OID_ROW* Table, ULONG Rows, Adapter* ThisAdapter, NDIS_OID Oid,
                                PVOID InformationBuffer, ULONG InformationBufferLength, PULONG BytesDone,
                                PULONG BytesNeeded)
{
    *BytesDone = 0;
    *BytesNeeded = 0;
    if (Oid < OID_TAPI_FIRST || Oid > OID_TAPI_LAST) return NDIS_STATUS_INVALID_OID;
    const TAPI_OID_ROW* row = NULL;
    for (ULONG i = 0; i < Rows; i++)
        if (Table[i].Oid == Oid) row = &Table[i];
    if (row == NULL) {
        RSS_TRACE("OPERATION UNAVAILABLE\n");
        return NDIS_STATUS_TAPI_OPERATIONUNAVAIL;
    }
    ULONG length = InformationBuffer == NULL ? 0 : InformationBufferLength;
    if (length < row->MinimumLength) {
        *BytesNeeded = row->MinimumLength;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    ULONG needed = 0;
    NDIS_STATUS status = row->Handler(ThisAdapter, (PUCHAR)InformationBuffer, length, &needed);
    if (status == NDIS_STATUS_INVALID_LENGTH) {
        *BytesNeeded = needed;
        return status;
    }
    *BytesDone = length;
    return status;
}

NDIS_STATUS TAPIQueryInformationHdlr(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                     ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded)
{
    return TapiDispatch(TapiQueryTable, sizeof TapiQueryTable / sizeof TapiQueryTable[0], ThisAdapter, Oid,
                        InformationBuffer, InformationBufferLength, BytesWritten, BytesNeeded);
}

NDIS_STATUS TAPISetInformationHdlr(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded)
{
    NDIS_STATUS status = TapiDispatch(TapiSetTable, sizeof TapiSetTable / sizeof TapiSetTable[0], ThisAdapter, Oid,
                                      InformationBuffer, InformationBufferLength, BytesRead, BytesNeeded);
    // A set that was served reads the whole buffer.
    if (status != NDIS_STATUS_INVALID_LENGTH && status != NDIS_STATUS_INVALID_OID &&
        status != NDIS_STATUS_TAPI_OPERATIONUNAVAIL)
        *BytesNeeded = *BytesRead;
    return status;
}
