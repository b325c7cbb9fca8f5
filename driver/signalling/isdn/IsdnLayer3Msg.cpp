// ISDN layer 3 messages: the table of information elements (identifier, name, dump,
// receive and transmit function), the table of messages with the elements each
// carries (mandatory ones marked) and the states it is compatible with, and the walks
// over both that decode received messages and build the ones the call states send.
// Handlers never pick octets apart themselves. Runs under AdapterSpinLock, held by
// every caller.
#include <cstdio>
#include <cstring>

#include "driver/signalling/isdn/IsdnStack.h"

#define IE_NO_ROOM 0xFFFFFFFFu

// ---- dump functions ----

static ULONG DumpHex(const UCHAR* c, ULONG n, char* out, ULONG size)
{
    ULONG w = 0;
    for (ULONG i = 0; i < n && w + 4 < size; i++) w += (ULONG)std::snprintf(out + w, size - w, " %02X", c[i]);
    return w;
}

static ULONG DumpDigits(const UCHAR* c, ULONG n, char* out, ULONG size)
{
    ULONG w = 0, i = 0;
    while (i < n && !(c[i] & 0x80)) i++;  // octet 3 and its extension
    if (size > 2) w += (ULONG)std::snprintf(out, size, " \"");
    for (i++; i < n && w + 3 < size; i++) out[w++] = (c[i] >= 0x20 && c[i] < 0x7F) ? (char)c[i] : '?';
    if (w + 2 < size) out[w++] = '"';
    if (w < size) out[w] = 0;
    return w;
}

static ULONG DumpCause(const UCHAR* c, ULONG n, char* out, ULONG size)
{
    ULONG i = (n > 0 && !(c[0] & 0x80)) ? 2 : 1;
    if (i >= n) return DumpHex(c, n, out, size);
    return (ULONG)std::snprintf(out, size, " cause 0x%02X", c[i] & 0x7F);
}

// ---- receive functions: check the contents and take what the stack uses ----

static BOOLEAN RxChangeStatus(ISDN_STACK*, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 1 || !(c[0] & 0x80) || (c[0] & 0x38) != 0 || (c[0] & 0x07) > 2) return FALSE;
    m->ChangeStatus = c[0] & 0x07;
    return TRUE;
}

static BOOLEAN RxBearer(ISDN_STACK*, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 2) return FALSE;
    UCHAR itc = c[0] & 0x1F, mode = (c[1] >> 5) & 3;
    if (itc != 0 && itc != 8 && itc != 9 && itc != 0x10 && itc != 0x11 && itc != 0x18) return FALSE;
    if (mode != 0 && mode != 2) return FALSE;
    ULONG i = 1;
    while (i < n && !(c[i] & 0x80)) i++;  // octet 4 and its extensions
    i++;
    UCHAR l1 = 0, rate = 0xFF;
    if (i < n && (c[i] & 0x60) == 0x20) {
        l1 = c[i] & 0x1F;
        if (l1 < 1 || l1 > 3) return FALSE;
        if (!(c[i] & 0x80) && i + 1 < n) rate = c[i + 1] & 0x1F;
    }
    if (((itc == 8 && l1 == 1) || (itc == 0x10 && (l1 == 2 || l1 == 3))) && rate != 0xFF && rate >= 16) return FALSE;
    switch (itc) {
    case 8: m->BearerCode = rate == 0x0F ? 2 : 1; break;
    case 9: m->BearerCode = 2; break;
    case 0x10: m->BearerCode = 0; break;
    case 0: m->BearerCode = (l1 == 2 || l1 == 3) ? 0 : 0xFF; break;
    default: m->BearerCode = 0xFF; break;
    }
    return TRUE;
}

static BOOLEAN RxCause(ISDN_STACK*, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 2) return FALSE;
    ULONG i = (c[0] & 0x80) ? 1 : 2;  // after octet 3, and 3a when octet 3 is extended
    if (i >= n) return FALSE;
    m->HasCause = 1;
    m->CauseValue = c[i] & 0x7F;
    return TRUE;
}

static BOOLEAN RxNotEmpty(ISDN_STACK*, ISDN_RX_MSG*, const UCHAR*, ULONG n) { return n >= 1; }

static BOOLEAN RxCallState(ISDN_STACK*, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 1) return FALSE;
    m->CallState = c[0] & 0x3F;
    return TRUE;
}

static BOOLEAN RxChannel(ISDN_STACK* s, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 1) return FALSE;
    UCHAR o3 = c[0];
    if (!(o3 & 0x20) || (o3 & 0x04)) return FALSE;  // primary rate, not the D channel
    ULONG i = 1;
    if (o3 & 0x40) {  // interface identifier
        while (i < n && !(c[i] & 0x80)) i++;
        i++;
    }
    m->ChannelExclusive = (o3 & 0x08) ? 1 : 0;
    m->HasChannel = 0;
    if ((o3 & 0x03) != 1) return TRUE;  // no channel, or any channel
    if (i + 1 >= n || (c[i] & 0x10)) return FALSE;  // channel number coding only, no slot map
    UCHAR ch = c[i + 1] & 0x7F;
    if (!IsdnIsBChannel(s, ch)) return FALSE;
    m->HasChannel = 1;
    m->Channel = ch;
    return TRUE;
}

static BOOLEAN RxProgress(ISDN_STACK* s, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 2) return FALSE;
    UCHAR d = c[1] & 0x7F;
    if (d != 1 && d != 2 && d != 3 && d != 8 && !(d == 10 && s->Profile[31] == 1)) return FALSE;
    m->ProgressDesc = d;
    return TRUE;
}

static BOOLEAN RxCalling(ISDN_STACK*, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 1) return FALSE;
    ULONG i = (c[0] & 0x80) ? 1 : 2;  // octet 3a only when octet 3 is extended
    if (i > n) return FALSE;
    ULONG digits = n - i;
    m->CallingDigits = c + i;
    m->CallingLen = (UCHAR)(digits > ISDN_NUMBER_MAX ? ISDN_NUMBER_MAX : digits);
    return TRUE;
}

static BOOLEAN RxCalled(ISDN_STACK*, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 1 || n - 1 > ISDN_NUMBER_MAX) return FALSE;
    m->CalledDigits = c + 1;
    m->CalledLen = (UCHAR)(n - 1);
    return TRUE;
}

static BOOLEAN RxRestart(ISDN_STACK*, ISDN_RX_MSG* m, const UCHAR* c, ULONG n)
{
    if (n < 1) return FALSE;
    m->RestartClass = c[0] & 0x7F;
    return TRUE;
}

static BOOLEAN RxSingle(ISDN_STACK*, ISDN_RX_MSG*, const UCHAR*, ULONG) { return TRUE; }

// ---- transmit functions: octets written, 0 when the IE is not sent ----

static ULONG Put(UCHAR* out, ULONG room, const UCHAR* ie, ULONG n)
{
    if (n > room) return IE_NO_ROOM;
    std::memcpy(out, ie, n);
    return n;
}

static ULONG TxChangeStatus(ISDN_STACK*, const ISDN_TX_ARGS* a, UCHAR* out, ULONG room)
{
    const UCHAR ie[] = {IE_CHANGE_STATUS, 1, (UCHAR)(0x80 | a->ChangeStatus)};
    return Put(out, room, ie, sizeof ie);
}

static ULONG TxBearer(ISDN_STACK* s, const ISDN_TX_ARGS* a, UCHAR* out, ULONG room)
{
    static const UCHAR speechT1[] = {IE_BEARER, 3, 0x80, 0x90, 0xA2};
    static const UCHAR speechE1[] = {IE_BEARER, 3, 0x80, 0x90, 0xA3};
    static const UCHAR digital64[] = {IE_BEARER, 2, 0x88, 0x90};
    static const UCHAR digital56[] = {IE_BEARER, 4, 0x89, 0x90, 0x21, 0x8F};
    switch (a->BearerCode) {
    case 0: return s->IsE1 ? Put(out, room, speechE1, sizeof speechE1) : Put(out, room, speechT1, sizeof speechT1);
    case 2: return Put(out, room, digital56, sizeof digital56);
    default: return Put(out, room, digital64, sizeof digital64);
    }
}

static ULONG TxCause(ISDN_STACK*, const ISDN_TX_ARGS* a, UCHAR* out, ULONG room)
{
    if (a->Cause == 0) return 0;
    const UCHAR ie[] = {IE_CAUSE, 2, 0x80, (UCHAR)(0x80 | (a->Cause & 0x7F))};
    return Put(out, room, ie, sizeof ie);
}

static ULONG TxCallState(ISDN_STACK*, const ISDN_TX_ARGS* a, UCHAR* out, ULONG room)
{
    const UCHAR ie[] = {IE_CALL_STATE, 1, (UCHAR)(a->CallState & 0x3F)};
    return Put(out, room, ie, sizeof ie);
}

static ULONG TxChannel(ISDN_STACK*, const ISDN_TX_ARGS* a, UCHAR* out, ULONG room)
{
    if (a->Channel == 0xFF) return 0;
    const UCHAR ie[] = {IE_CHANNEL_ID, 3, (UCHAR)(a->Exclusive ? 0xA9 : 0xA1), 0x83, (UCHAR)(0x80 | a->Channel)};
    return Put(out, room, ie, sizeof ie);
}

static ULONG TxCalled(ISDN_STACK* s, const ISDN_TX_ARGS* a, UCHAR* out, ULONG room)
{
    if (a->Number == NULL || a->Number[0] == 0) return 0;
    ULONG n = a->Number[0];
    BOOLEAN trailer = s->Variant == 5;
    if (2 + 1 + n + (trailer ? 1 : 0) > room) return IE_NO_ROOM;
    UCHAR o3 = 0x80;
    if (s->Profile[33] == 0 && n == 7) o3 = 0xC1;
    if (s->Profile[33] == 0 && n == 10) o3 = 0xA1;
    out[0] = IE_CALLED_NUMBER;
    out[1] = (UCHAR)(n + 1);
    out[2] = o3;
    std::memcpy(out + 3, a->Number + 1, n);
    if (trailer) out[3 + n] = 0x80;  // outside the IE length
    return 3 + n + (trailer ? 1 : 0);
}

static ULONG TxRestart(ISDN_STACK*, const ISDN_TX_ARGS* a, UCHAR* out, ULONG room)
{
    const UCHAR ie[] = {IE_RESTART, 1, (UCHAR)(0x80 | a->RestartClass)};
    return Put(out, room, ie, sizeof ie);
}

static ULONG TxSendingComplete(ISDN_STACK*, const ISDN_TX_ARGS*, UCHAR* out, ULONG room)
{
    const UCHAR ie[] = {IE_SENDING_COMPLETE};
    return Put(out, room, ie, sizeof ie);
}

// ---- the two tables ----

const ISDN_IE_DEF IsdnIeTable[] = {
    {IE_CHANGE_STATUS, "Change status", DumpHex, RxChangeStatus, TxChangeStatus},
    {IE_BEARER, "Bearer capability", DumpHex, RxBearer, TxBearer},
    {IE_CAUSE, "Cause", DumpCause, RxCause, TxCause},
    {0x10, "Call identity", DumpHex, RxNotEmpty, NULL},
    {IE_CALL_STATE, "Call state", DumpHex, RxCallState, TxCallState},
    {IE_CHANNEL_ID, "Channel identification", DumpHex, RxChannel, TxChannel},
    {IE_PROGRESS, "Progress indicator", DumpHex, RxProgress, NULL},
    {IE_NOTIFICATION, "Notification indicator", DumpHex, RxNotEmpty, NULL},
    {IE_CALLING_NUMBER, "Calling party number", DumpDigits, RxCalling, NULL},
    {IE_CALLED_NUMBER, "Called party number", DumpDigits, RxCalled, TxCalled},
    {IE_RESTART, "Restart indicator", DumpHex, RxRestart, TxRestart},
    {IE_SENDING_COMPLETE, "Sending complete", DumpHex, RxSingle, TxSendingComplete},
};
const ULONG IsdnIeTableSize = sizeof IsdnIeTable / sizeof IsdnIeTable[0];
static_assert(sizeof IsdnIeTable / sizeof IsdnIeTable[0] <= 32, "Seen holds one bit per row");

#define S(n) (1u << (n))
#define M IEF_MANDATORY
#define RX 2  // taken when received, never built
#define NONE 0u
const ISDN_MSG_DEF IsdnMsgTable[] = {
    {PD_Q931, MT_ALERTING, "ALERTING", S(1) | S(2) | S(3), {{IE_BEARER, RX}, {IE_CHANNEL_ID, 0}, {IE_PROGRESS, RX}}},
    {PD_Q931, MT_CALL_PROCEEDING, "CALL PROCEEDING", S(1) | S(2), {{IE_BEARER, RX}, {IE_CHANNEL_ID, 0}}},
    {PD_Q931, MT_PROGRESS, "PROGRESS", S(2) | S(3), {{IE_BEARER, RX}, {IE_CAUSE, RX}, {IE_PROGRESS, M | RX}}},
    {PD_Q931, MT_SETUP, "SETUP", S(0),
     {{IE_SENDING_COMPLETE, RX}, {IE_BEARER, M}, {IE_CHANNEL_ID, M}, {IE_PROGRESS, RX}, {IE_CALLING_NUMBER, RX},
      {IE_CALLED_NUMBER, 0}}},
    {PD_Q931, MT_CONNECT, "CONNECT", S(2) | S(3) | S(4), {{IE_BEARER, RX}, {IE_CHANNEL_ID, 0}, {IE_PROGRESS, RX}}},
    {PD_Q931, MT_SETUP_ACK, "SETUP ACKNOWLEDGE", S(1), {{IE_CHANNEL_ID, RX}, {IE_PROGRESS, RX}}},
    {PD_Q931, MT_CONNECT_ACK, "CONNECT ACKNOWLEDGE", S(8), {}},
    {PD_Q931, MT_DISCONNECT, "DISCONNECT", S(2) | S(3) | S(4) | S(7) | S(8) | S(9) | S(10) | S(11),
     {{IE_CAUSE, M}, {IE_PROGRESS, RX}}},
    {PD_Q931, MT_RESTART, "RESTART", NONE, {{IE_CHANNEL_ID, 0}, {IE_RESTART, M}}},
    {PD_Q931, MT_RELEASE, "RELEASE",
     S(0) | S(2) | S(3) | S(4) | S(7) | S(8) | S(9) | S(10) | S(11) | S(12) | S(19), {{IE_CAUSE, M}}},
    {PD_Q931, MT_RESTART_ACK, "RESTART ACKNOWLEDGE", NONE, {{IE_CHANNEL_ID, 0}, {IE_RESTART, M}}},
    {PD_Q931, MT_RELEASE_COMPLETE, "RELEASE COMPLETE", 0xFFFFFFFFu, {{IE_CAUSE, 0}}},
    {PD_Q931, MT_NOTIFY, "NOTIFY", S(10) | S(11), {{IE_BEARER, RX}, {IE_NOTIFICATION, M | RX}}},
    {PD_Q931, MT_STATUS_ENQUIRY, "STATUS ENQUIRY", 0xFFFFFFFFu, {}},
    {PD_Q931, MT_INFORMATION, "INFORMATION",
     S(0) | S(2) | S(3) | S(4) | S(6) | S(7) | S(8) | S(9) | S(10) | S(11) | S(12) | S(19),
     {{IE_SENDING_COMPLETE, RX}, {IE_CAUSE, RX}, {IE_CALLED_NUMBER, 0}}},
    {PD_Q931, MT_STATUS, "STATUS", 0xFFFFFFFFu & ~S(0), {{IE_CAUSE, M}, {IE_CALL_STATE, M}}},
    // Recognised, answered as not supported.
    {PD_Q931, 0x20, "USER INFORMATION", NONE, {}},
    {PD_Q931, 0x21, "SUSPEND REJECT", NONE, {}},
    {PD_Q931, 0x22, "RESUME REJECT", NONE, {}},
    {PD_Q931, 0x25, "SUSPEND", NONE, {}},
    {PD_Q931, 0x26, "RESUME", NONE, {}},
    {PD_Q931, 0x2D, "SUSPEND ACKNOWLEDGE", NONE, {}},
    {PD_Q931, 0x2E, "RESUME ACKNOWLEDGE", NONE, {}},
    {PD_Q931, 0x60, "SEGMENT", NONE, {}},
    {PD_Q931, 0x79, "CONGESTION CONTROL", NONE, {}},
    // Maintenance (discriminator 03).
    {PD_MAINTENANCE, MT_SERVICE, "SERVICE", NONE, {{IE_CHANGE_STATUS, M}, {IE_CHANNEL_ID, M}}},
    {PD_MAINTENANCE, MT_SERVICE_ACK, "SERVICE ACKNOWLEDGE", NONE, {{IE_CHANGE_STATUS, M}, {IE_CHANNEL_ID, M}}},
};
const ULONG IsdnMsgTableSize = sizeof IsdnMsgTable / sizeof IsdnMsgTable[0];
#undef S
#undef M
#undef NONE

const ISDN_IE_DEF* IsdnFindIeDef(UCHAR Id)
{
    for (ULONG i = 0; i < IsdnIeTableSize; i++)
        if (IsdnIeTable[i].Id == Id) return &IsdnIeTable[i];
    return NULL;
}

static ULONG IeRow(UCHAR Id)
{
    const ISDN_IE_DEF* d = IsdnFindIeDef(Id);
    return d == NULL ? 0xFFFFFFFFu : (ULONG)(d - IsdnIeTable);
}

const ISDN_MSG_DEF* IsdnFindMsgDef(UCHAR Pd, UCHAR Type)
{
    for (ULONG i = 0; i < IsdnMsgTableSize; i++)
        if (IsdnMsgTable[i].Pd == Pd && IsdnMsgTable[i].Type == Type) return &IsdnMsgTable[i];
    return NULL;
}

static BOOLEAN MsgCarries(const ISDN_MSG_DEF* d, UCHAR Id)
{
    for (const ISDN_MSG_IE& ie : d->Ies)
        if (ie.Id == Id) return TRUE;
    return FALSE;
}

// ---- building ----

ULONG IsdnBuildMessage(ISDN_STACK* s, const ISDN_TX_ARGS* a, UCHAR* Out, ULONG Room)
{
    const ISDN_MSG_DEF* d = IsdnFindMsgDef(a->Pd, a->Type);
    if (d == NULL || a->CrLen > 2 || Room < 3u + a->CrLen) return 0;
    ULONG pos = 0;
    Out[pos++] = a->Pd;
    Out[pos++] = a->CrLen;
    if (a->CrLen == 2) {
        Out[pos++] = (UCHAR)(a->CrFlag | ((a->CrValue >> 8) & 0x7F));
        Out[pos++] = (UCHAR)a->CrValue;
    } else if (a->CrLen == 1) {
        Out[pos++] = (UCHAR)(a->CrFlag | (a->CrValue & 0x7F));
    }
    Out[pos++] = a->Type;
    for (const ISDN_MSG_IE& ie : d->Ies) {
        if (ie.Id == 0) break;
        const ISDN_IE_DEF* def = IsdnFindIeDef(ie.Id);
        if (def == NULL || def->Transmit == NULL || (ie.Flags & RX)) continue;
        ULONG n = def->Transmit(s, a, Out + pos, Room - pos);
        if (n == IE_NO_ROOM) return 0;
        pos += n;
    }
    return pos;
}

void IsdnArgsForCall(ISDN_STACK* s, ISDN_CALL* c, UCHAR Type, ISDN_TX_ARGS* a)
{
    std::memset(a, 0, sizeof *a);
    a->Pd = PD_Q931;
    a->Type = Type;
    a->CrLen = c->CallRefLen ? c->CallRefLen : 2;
    a->CrFlag = (UCHAR)(c->CallRefFlag ^ 0x80);
    a->CrValue = c->CallRef;
    a->Channel = c->Channel;
    a->Exclusive = Type == MT_SETUP ? c->Exclusive : 1;
    a->BearerCode = c->BearerCode;
    a->CallState = c->State;
    a->Number = Type == MT_INFORMATION && c->CalledNumber[0] ? c->CalledNumber : c->OutNumber;
    (void)s;
}

BOOLEAN IsdnSendArgs(ISDN_STACK* s, ISDN_TX_ARGS* a)
{
    UCHAR* slot = IsdnL2MessageSlot(s);
    if (slot == NULL) {
        RSS_TRACE("IsdnSendArgs: transmit store full, message 0x%02X not sent\n", a->Type);
        return FALSE;
    }
    ULONG n = IsdnBuildMessage(s, a, slot + 1 + L2_HEADER, L2_MAX_MESSAGE);
    if (n == 0) {
        RSS_TRACE("IsdnSendArgs: message 0x%02X does not fit\n", a->Type);
        return FALSE;
    }
    if (RssTraceEnabled) {
        char text[200];
        IsdnDumpMessage(slot + 1 + L2_HEADER, n, text, sizeof text);
        RSS_TRACE("IsdnSend: Line %lu%s\n", (unsigned long)s->Line, text);
    }
    if (a->Type == MT_SETUP && a->Pd == PD_Q931 && a->Channel < ISDN_NUM_SLOTS)
        s->ChannelCounters[a->Channel][CHCNT_SETUP_SENT]++;
    IsdnL2QueueMessage(s, n);
    return TRUE;
}

BOOLEAN IsdnSendMessage(ISDN_STACK* s, ISDN_CALL* c, UCHAR Type, UCHAR Cause)
{
    ISDN_TX_ARGS a;
    IsdnArgsForCall(s, c, Type, &a);
    a.Cause = Cause;
    return IsdnSendArgs(s, &a);
}

// ---- decoding ----

ISDN_CALL* IsdnFindCallByRef(ISDN_STACK* s, UCHAR Flag, USHORT Value)
{
    for (ULONG ch = 0; ch < ISDN_NUM_SLOTS; ch++) {
        ISDN_CALL* c = &s->Calls[ch];
        if (ch == s->DChannelSlot || !c->CallRefSet) continue;
        if (c->CallRefFlag == Flag && c->CallRef == Value) return c;
    }
    return NULL;
}

// Walks the IEs: single-octet IEs by their whole octet, variable-length ones by id.
// Only variable-length ids are in ascending order, so only they end the search.
BOOLEAN IsdnFindIe(const ISDN_RX_MSG* m, UCHAR Id, ULONG* Pos, ULONG* Len)
{
    ULONG pos = m->IeStart;
    while (pos < m->Length) {
        UCHAR id = m->Msg[pos];
        if (id & 0x80) {
            if (id == Id) {
                *Pos = pos;
                *Len = 1;
                return TRUE;
            }
            pos++;
            continue;
        }
        if (pos + 1 >= m->Length) return FALSE;
        ULONG n = m->Msg[pos + 1];
        if (id == Id) {
            if (pos + 2 + n > m->Length) return FALSE;
            *Pos = pos;
            *Len = 2 + n;
            return TRUE;
        }
        if (!(Id & 0x80) && id > Id) return FALSE;
        pos += 2 + n;
    }
    return FALSE;
}

ULONG IsdnRemoveIe(UCHAR* Msg, ULONG Length, ULONG IeStart, UCHAR Id)
{
    ISDN_RX_MSG m;
    std::memset(&m, 0, sizeof m);
    m.Msg = Msg;
    m.Length = Length;
    m.IeStart = IeStart;
    ULONG pos, n;
    if (!IsdnFindIe(&m, Id, &pos, &n)) return Length;
    std::memmove(Msg + pos, Msg + pos + n, Length - pos - n);
    return Length - n;
}

#define PARSE_DROP 0
#define PARSE_OK 1
#define PARSE_ERROR 2

// Header, call reference and every IE: contents checked by the table's receive
// functions. FALSE drops the message; an error for the error rule leaves its cause.
BOOLEAN IsdnParseMessage(ISDN_STACK* s, const UCHAR* Msg, ULONG Length, ISDN_RX_MSG* m, UCHAR* ErrorCause)
{
    std::memset(m, 0, sizeof *m);
    *ErrorCause = 0;
    m->Msg = Msg;
    m->Length = Length;
    m->BearerCode = 0xFF;
    if (Length < 3) return FALSE;
    m->Pd = Msg[0];
    if (m->Pd != PD_Q931 && !(m->Pd == PD_MAINTENANCE && s->Profile[2] == 1)) return FALSE;
    UCHAR crlen = Msg[1];
    if (crlen > 15 || crlen > 2) return FALSE;  // upper nibble set, or longer than this stack keeps
    if (Length < 3u + crlen) return FALSE;      // header cut short
    m->CrLen = crlen;
    if (crlen == 0) {
        m->CrKind = CR_DUMMY;
    } else {
        m->CrFlag = Msg[2] & 0x80;
        m->CrValue = crlen == 2 ? (USHORT)(((Msg[2] & 0x7F) << 8) | Msg[3]) : (USHORT)(Msg[2] & 0x7F);
        m->CrKind = m->CrValue == 0 ? CR_GLOBAL : CR_NORMAL;
    }
    m->Type = Msg[2 + crlen];
    m->IeStart = 3 + crlen;
    const ISDN_MSG_DEF* d = IsdnFindMsgDef(m->Pd, m->Type);
    if (m->Pd == PD_MAINTENANCE && d == NULL) return FALSE;

    ULONG pos = m->IeStart;
    while (pos < Length) {
        UCHAR id = Msg[pos];
        if (id & 0x80) {
            if ((id & 0xF0) == 0x90) {  // shift: a locking shift ends codeset 0; a non-locking one covers the next IE
                if (!(id & 0x08)) break;
                pos++;
                if (pos < Length && !(Msg[pos] & 0x80)) pos += (pos + 1 < Length) ? 2u + Msg[pos + 1] : 1u;
                else pos++;
                continue;
            }
            ULONG row = IeRow(id);
            if (row < 32) m->Seen |= 1u << row;
            pos++;
            continue;
        }
        if (pos + 1 >= Length || pos + 2 + Msg[pos + 1] > Length) {
            if (*ErrorCause == 0) *ErrorCause = 0x64;  // IE runs past the message
            break;
        }
        ULONG n = Msg[pos + 1];
        const ISDN_IE_DEF* def = IsdnFindIeDef(id);
        if (def != NULL) {
            BOOLEAN misplaced = d != NULL && ((id == IE_BEARER && !MsgCarries(d, IE_BEARER)) ||
                                              (id == IE_CAUSE && (!MsgCarries(d, IE_CAUSE) ||
                                                                  (m->Type == MT_INFORMATION && s->Profile[30] != 1))));
            if (misplaced) {
                if (*ErrorCause == 0) *ErrorCause = 0x60;
            } else if (!def->Receive(s, m, Msg + pos + 2, n)) {
                if (*ErrorCause == 0) *ErrorCause = 0x64;
            } else {
                m->Seen |= 1u << (def - IsdnIeTable);
            }
        } else if ((id & 0xF0) == 0) {
            if (*ErrorCause == 0) *ErrorCause = 0x60;  // unrecognised, comprehension required
        }
        pos += 2 + n;
    }
    if (d != NULL && *ErrorCause == 0)
        for (const ISDN_MSG_IE& ie : d->Ies) {
            if (ie.Id == 0) break;
            if ((ie.Flags & IEF_MANDATORY) && !(m->Seen & (1u << IeRow(ie.Id)))) {
                *ErrorCause = 0x60;
                break;
            }
        }
    return TRUE;
}

ULONG IsdnDumpMessage(const UCHAR* Msg, ULONG Length, char* Out, ULONG OutSize)
{
    if (OutSize == 0) return 0;
    Out[0] = 0;
    if (Length < 3 || Msg[1] > 2 || Length < 3u + Msg[1]) return 0;
    ULONG ies = 3u + Msg[1];
    const ISDN_MSG_DEF* d = IsdnFindMsgDef(Msg[0], Msg[ies - 1]);
    ULONG w = (ULONG)std::snprintf(Out, OutSize, " %s", d ? d->Name : "unknown message");
    ULONG pos = ies;
    while (pos < Length && w + 8 < OutSize) {
        UCHAR id = Msg[pos];
        const ISDN_IE_DEF* def = IsdnFindIeDef(id);
        if (id & 0x80) {
            w += (ULONG)std::snprintf(Out + w, OutSize - w, " [%s]", def ? def->Name : "single octet");
            pos++;
            continue;
        }
        if (pos + 1 >= Length || pos + 2 + Msg[pos + 1] > Length) break;
        ULONG n = Msg[pos + 1];
        w += (ULONG)std::snprintf(Out + w, OutSize - w, " [%s:", def ? def->Name : "IE");
        if (w + 8 < OutSize) w += (def ? def->Dump : DumpHex)(Msg + pos + 2, n, Out + w, OutSize - w - 2);
        if (w + 2 < OutSize) {
            Out[w++] = ']';
            Out[w] = 0;
        }
        pos += 2 + n;
    }
    return w;
}
