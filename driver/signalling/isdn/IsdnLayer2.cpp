// ISDN layer 2 (LAPD, user side, SAPI 0, modulo 128): the layer-2 block of the stack
// instance, its transmit store of I-frames (slots from TxHead, N(S) = V(A), up to
// TxWrite; the next frame to send sits (V(S) - V(A)) slots after TxHead), the receive
// store that holds I-frames for layer 3, the transmit scheduler, the receive side, the
// layer-2 management events and TEI management. Runs under AdapterSpinLock, held by
// every caller.
#include <cstring>

#include "driver/signalling/isdn/IsdnStack.h"

static ULONG Mod(LONG v) { return (ULONG)((v % L2_MODULUS + L2_MODULUS) % L2_MODULUS); }
static ULONG Outstanding(const ISDN_L2* l) { return Mod((LONG)l->VS - (LONG)l->VA); }
static ULONG TxSlotAfterHead(const ISDN_L2* l, ULONG n) { return (l->TxHead + n) % L2_TX_SLOTS; }
static ULONG TxQueued(const ISDN_L2* l) { return (l->TxWrite + L2_TX_SLOTS - l->TxHead) % L2_TX_SLOTS; }
static UCHAR TeiOctet(const ISDN_L2* l) { return (UCHAR)(l->Tei * 2 + 1); }
static void Due(ISDN_STACK* s, L2_DUE d) { s->L2.Due |= 1u << d; }

static BOOLEAN LogsSU(const ISDN_STACK* s) { return s->StackSetting == 1 || s->StackSetting == 2; }
static BOOLEAN LogsI(const ISDN_STACK* s) { return s->StackSetting == 1 || s->StackSetting == 3; }

void IsdnL2ReleaseRxSlot(ISDN_STACK* s, UCHAR Slot)
{
    if (Slot < L2_RX_SLOTS) s->L2.RxBusy[Slot] = 0;
}

// Sequence variables, conditions and retries back to zero (link reset).
static void L2LinkReset(ISDN_STACK* s)
{
    ISDN_L2* l = &s->L2;
    l->VS = l->VA = l->VR = l->LastNR = l->LastNS = 0;
    l->Flags &= L2F_TEI_PROCEDURE;
    l->Due &= (1u << DUE_UA) | (1u << DUE_UA_F) | (1u << DUE_TEI_MGMT);
    l->RetryCount = 0;
    IsdnTimerStop(s, ISDN_TMR_T200, NULL);
}

// Frames waiting in the store are dropped when the link goes down.
static void L2DropStore(ISDN_STACK* s)
{
    s->L2.TxHead = s->L2.TxWrite;
    s->L2.TxFull = 0;
}

void IsdnL2Reset(ISDN_STACK* s)
{
    ISDN_L2* l = &s->L2;
    ULONG k = s->Window >= 1 && s->Window <= 127 ? s->Window : L2_DEFAULT_WINDOW;
    std::memset(l, 0, sizeof *l);
    l->N200 = L2_N200;
    l->L3State = L2_RELEASED;
    l->K = k;
    // No TEI until the identity procedure assigns one, or the network addresses TEI 0.
    l->Tei = 0;
    l->TeiAssigned = 0;
    IsdnTimerStop(s, ISDN_TMR_T200, NULL);
    IsdnTimerStop(s, ISDN_TMR_T203, NULL);
}

// What layer 3 sees. The calls learn of a release by event 0xAB.
void IsdnL2Established(ISDN_STACK* s)
{
    s->L2.L3State = L2_ESTABLISHED;
    IsdnLog(s, LOG_L2_ESTABLISHED, NULL, 0);
    if (s->Upcalls.RSS_SetLed) s->Upcalls.RSS_SetLed(s->ThisAdapter, s->Line, LED_MASK_DATA_LINK, 1);
    IsdnTimerStart(s, ISDN_TMR_T203, NULL);
    IsdnPostEvent(s, EV_L2_ESTABLISHED, NULL, 0);
    RSS_TRACE("IsdnL2: Line %lu layer 2 established\n", (unsigned long)s->Line);
}

void IsdnL2Released(ISDN_STACK* s)
{
    BOOLEAN was = s->L2.L3State;
    s->L2.L3State = L2_RELEASED;
    L2LinkReset(s);
    L2DropStore(s);
    IsdnLog(s, LOG_L2_RELEASED, NULL, 0);
    IsdnPurgeEventCode(s, EV_L3_MESSAGE);
    IsdnPurgeEventCode(s, EV_L3_DECODE_ONLY);
    if (s->Upcalls.RSS_SetLed) s->Upcalls.RSS_SetLed(s->ThisAdapter, s->Line, LED_MASK_DATA_LINK, 0);
    if (was != L2_RELEASED) IsdnPostEvent(s, EV_L2_RELEASED_CALL, NULL, 0);
    RSS_TRACE("IsdnL2: Line %lu layer 2 released\n", (unsigned long)s->Line);
}

// Starts establishment: SABME with P = 1, T200.
static void L2Establish(ISDN_STACK* s)
{
    L2LinkReset(s);
    s->L2.L3State = L2_AWAITING_ESTABLISHMENT;
    s->L2.Flags |= L2F_SABME_SENT;
    Due(s, DUE_SABME);
    IsdnTimerStart(s, ISDN_TMR_T200, NULL);
}

// Error procedure: logged; an established link answers with FRMR and, once the FRMR
// is out, re-establishes (IsdnL2Transmit). No I-frame goes out meanwhile.
static void L2Error(ISDN_STACK* s, const UCHAR* Frame, ULONG Length, UCHAR Reason)
{
    ISDN_L2* l = &s->L2;
    IsdnLog(s, LOG_L2_ERROR, Frame, Length);
    s->StackCounters[CNT_L2_ERRORS]++;
    RSS_TRACE("IsdnL2: Line %lu error procedure, reason 0x%x\n", (unsigned long)s->Line, Reason);
    if (l->L3State != L2_ESTABLISHED || (l->Flags & L2F_FRMR_PENDING)) return;
    l->FrmrInfo[0] = Length >= 3 ? Frame[2] : 0;
    l->FrmrInfo[1] = Length >= 4 ? Frame[3] : 0;
    l->FrmrInfo[2] = (UCHAR)(l->VS << 1);
    l->FrmrInfo[3] = (UCHAR)(l->VR << 1);
    l->FrmrInfo[4] = Reason;
    l->Flags |= L2F_FRMR_PENDING;
    Due(s, DUE_FRMR);
}

// A frame the link does not expect in its state: reported (MDL error), nothing else.
static void L2ErrorReport(ISDN_STACK* s, const UCHAR* Frame, ULONG Length)
{
    IsdnLog(s, LOG_L2_ERROR, Frame, Length);
    s->StackCounters[CNT_L2_ERRORS]++;
    RSS_TRACE("IsdnL2: Line %lu unexpected frame reported\n", (unsigned long)s->Line);
}

// Hands a frame (first byte its length) to the D-channel Link.
static BOOLEAN L2Send(ISDN_STACK* s, PUCHAR Buffer)
{
    if (s->DChannelLink == NULL || s->Upcalls.SendLy2Frame == NULL) return FALSE;
    return s->Upcalls.SendLy2Frame(s->DChannelLink, s, Buffer, Buffer[0]);
}

// Acknowledges up to N(R): slots released, T200 / T203 as Q.921 has them.
static void L2Acknowledge(ISDN_STACK* s, UCHAR NR)
{
    ISDN_L2* l = &s->L2;
    l->LastNR = NR;
    if (l->VA == NR) return;
    while (l->VA != NR) {
        l->VA = (UCHAR)Mod(l->VA + 1);
        l->TxHead = (l->TxHead + 1) % L2_TX_SLOTS;
    }
    l->TxFull = 0;
    if (l->Flags & L2F_TIMER_RECOVERY) return;
    if (l->VA == l->VS) {
        IsdnTimerStop(s, ISDN_TMR_T200, NULL);
        IsdnTimerStart(s, ISDN_TMR_T203, NULL);
    } else {
        IsdnTimerStart(s, ISDN_TMR_T200, NULL);
    }
}

static BOOLEAN NrValid(const ISDN_L2* l, UCHAR NR) { return Mod((LONG)NR - l->VA) <= Outstanding(l); }

// ---- transmit ----

static ULONG BuildDue(ISDN_STACK* s, L2_DUE d, UCHAR* b)
{
    ISDN_L2* l = &s->L2;
    static const struct {
        UCHAR Cr;    // 0x00 command, 0x02 response
        UCHAR Ctl;
        UCHAR PF;
        UCHAR Supervisory;
    } rows[DUE_COUNT] = {
        {0x02, 0x73, 0, 0}, {0x02, 0x63, 0, 0}, {0x02, 0x0F, 0, 0}, {0x02, 0x1F, 0, 0}, {0x00, 0x7F, 0, 0},
        {0x00, 0x53, 0, 0}, {0x02, 0x87, 0, 0}, {0x02, 0x01, 1, 1}, {0x02, 0x01, 0, 1}, {0x00, 0x01, 0, 1},
        {0x00, 0x01, 1, 1}, {0x02, 0x09, 0, 1}, {0x02, 0x09, 1, 1}, {0x00, 0x09, 1, 1}, {0x00, 0x09, 0, 1},
        {0x00, 0x05, 0, 1}, {0x00, 0x05, 1, 1}, {0x02, 0x05, 0, 1}, {0x02, 0x05, 1, 1}, {0, 0, 0, 0},
    };
    if (d == DUE_TEI_MGMT) {
        std::memcpy(b, l->TeiTx, sizeof l->TeiTx);
        return b[0];
    }
    b[1] = rows[d].Cr;
    b[2] = TeiOctet(l);
    b[3] = rows[d].Ctl;
    if (rows[d].Supervisory) {
        b[4] = (UCHAR)(l->VR << 1 | rows[d].PF);
        b[0] = 4;
    } else if (d == DUE_FRMR) {
        std::memcpy(b + 4, l->FrmrInfo, 5);
        b[0] = 8;
    } else {
        b[0] = 3;
    }
    return b[0];
}

static void L2SendIFrame(ISDN_STACK* s)
{
    ISDN_L2* l = &s->L2;
    if (l->L3State != L2_ESTABLISHED) return;
    // A REJ this side sent waits for the peer's frames; it never holds back our own.
    if (l->Flags & (L2F_PEER_BUSY | L2F_OWN_BUSY | L2F_TIMER_RECOVERY | L2F_FRMR_PENDING)) return;
    ULONG n = Outstanding(l);
    if (n >= l->K || n >= TxQueued(l)) return;
    UCHAR* f = l->TxStore[TxSlotAfterHead(l, n)];
    f[1] = 0x00;
    f[2] = TeiOctet(l);
    f[3] = (UCHAR)(l->VS << 1);
    f[4] = (UCHAR)(l->VR << 1);
    if (!L2Send(s, f)) return;
    if (LogsI(s)) IsdnLog(s, LOG_I_SENT, f + 1, f[0]);
    s->StackCounters[CNT_I_SENT]++;
    l->VS = (UCHAR)Mod(l->VS + 1);
    l->Flags &= ~L2F_ACK_PENDING;
    l->Due &= ~((1u << DUE_RR_RSP));
    IsdnTimerStop(s, ISDN_TMR_T203, NULL);
    if (!IsdnTimerRunning(s, ISDN_TMR_T200, NULL)) IsdnTimerStart(s, ISDN_TMR_T200, NULL);
}

// One frame per poll: the first S-, U- or management frame due, else an I-frame.
void IsdnL2Transmit(ISDN_STACK* s)
{
    ISDN_L2* l = &s->L2;
    if (s->Upcalls.RSS_IsTxQueueFull && s->DChannelLink != NULL && s->Upcalls.RSS_IsTxQueueFull(s->DChannelLink))
        return;
    for (ULONG d = 0; d < DUE_COUNT; d++) {
        if (!(l->Due & (1u << d))) continue;
        UCHAR* b = l->SuBuffer;
        BuildDue(s, (L2_DUE)d, b);
        if (!L2Send(s, b)) return;
        l->Due &= ~(1u << d);
        if (LogsSU(s)) IsdnLog(s, LOG_SU_SENT, b + 1, b[0]);
        s->StackCounters[CNT_SU_SENT]++;
        if (d == DUE_FRMR && (l->Flags & L2F_FRMR_PENDING)) {
            l->Flags &= ~L2F_FRMR_PENDING;
            if (l->L3State == L2_ESTABLISHED) L2Establish(s);
        }
        return;
    }
    L2SendIFrame(s);
}

// ---- messages from layer 3 ----

UCHAR* IsdnL2MessageSlot(ISDN_STACK* s)
{
    if (s->L2.TxFull) return NULL;
    return s->L2.TxStore[s->L2.TxWrite];
}

void IsdnL2QueueMessage(ISDN_STACK* s, ULONG MessageLength)
{
    ISDN_L2* l = &s->L2;
    l->TxStore[l->TxWrite][0] = (UCHAR)(L2_HEADER + MessageLength);
    l->TxWrite = (l->TxWrite + 1) % L2_TX_SLOTS;
    if ((l->TxWrite + 1) % L2_TX_SLOTS == l->TxHead) {
        l->TxFull = 1;
        s->StackCounters[CNT_TX_STORE_FULL]++;
    }
    IsdnPostEvent(s, EV_L2_MESSAGE_QUEUED, NULL, 0);
}

// TRUE while the store holds a message equal to this one, unsent or unacknowledged: the
// store keeps its frames over a re-establishment and sends them again after it.
BOOLEAN IsdnL2Holds(const ISDN_STACK* s, const UCHAR* Message, ULONG Length)
{
    const ISDN_L2* l = &s->L2;
    for (ULONG i = 0; i < TxQueued(l); i++) {
        const UCHAR* f = l->TxStore[TxSlotAfterHead(l, i)];
        if (f[0] == L2_HEADER + Length && std::memcmp(f + 1 + L2_HEADER, Message, Length) == 0) return TRUE;
    }
    return FALSE;
}

// ---- receive ----

static void L2ReceiveIFrame(ISDN_STACK* s, const UCHAR* f, ULONG Length, BOOLEAN Command)
{
    ISDN_L2* l = &s->L2;
    if (l->L3State != L2_ESTABLISHED) {
        // Q.921: a command with P = 1 on a released link is answered by DM, F = 1.
        if (l->L3State == L2_RELEASED && Command && Length >= 4 && (f[3] & 1)) Due(s, DUE_DM_F);
        return;
    }
    if (!Command || Length < 4 || Length > L2_MAX_RX_IFRAME) {
        L2Error(s, f, Length, Length > L2_MAX_RX_IFRAME ? 0x04 : 0x01);
        return;
    }
    UCHAR ns = f[2] >> 1, nr = f[3] >> 1, p = f[3] & 1;
    if (!NrValid(l, nr)) {
        L2Error(s, f, Length, 0x08);
        return;
    }
    l->LastNS = ns;
    if (ns == l->VR && !(l->Flags & L2F_OWN_BUSY)) {
        ULONG slot = L2_RX_SLOTS;
        for (ULONG i = 0; i < L2_RX_SLOTS; i++) {
            ULONG k = (l->RxIndex + i) % L2_RX_SLOTS;
            if (!l->RxBusy[k]) {
                slot = k;
                break;
            }
        }
        if (slot < L2_RX_SLOTS) {
            l->RxStore[slot][0] = (UCHAR)Length;
            std::memcpy(l->RxStore[slot] + 1, f, Length);
            l->RxBusy[slot] = 1;
            l->RxIndex = (slot + 1) % L2_RX_SLOTS;
            if (IsdnPostEvent(s, EV_L3_MESSAGE, NULL, (UCHAR)slot)) {
                l->VR = (UCHAR)Mod(l->VR + 1);
                l->Flags &= ~L2F_REJECT_SENT;
                s->StackCounters[CNT_I_RECEIVED]++;
                if (p)
                    Due(s, DUE_RR_RSP_F);
                else {
                    l->Flags |= L2F_ACK_PENDING;
                    Due(s, DUE_RR_RSP);
                }
            }
        } else if (p) {
            Due(s, DUE_RR_RSP_F);  // no room: not taken; the network sends it again
        }
    } else if (!(l->Flags & L2F_REJECT_SENT)) {
        l->Flags |= L2F_REJECT_SENT;
        Due(s, p ? DUE_REJ_RSP_F : DUE_REJ_RSP);
    } else if (p) {
        Due(s, DUE_RR_RSP_F);
    }
    L2Acknowledge(s, nr);
}

static void L2ReceiveSFrame(ISDN_STACK* s, const UCHAR* f, ULONG Length, BOOLEAN Command)
{
    ISDN_L2* l = &s->L2;
    if (l->L3State != L2_ESTABLISHED) {
        if (l->L3State == L2_RELEASED && Command && Length >= 4 && (f[3] & 1)) Due(s, DUE_DM_F);
        return;
    }
    UCHAR type = f[2] & 0x0F;
    if (Length != 4 || (type != 0x01 && type != 0x05 && type != 0x09)) {
        L2Error(s, f, Length, 0x01);
        return;
    }
    UCHAR nr = f[3] >> 1, pf = f[3] & 1;
    if (!NrValid(l, nr)) {
        L2Error(s, f, Length, 0x08);
        return;
    }
    if (type == 0x01) {
        l->Flags &= ~L2F_PEER_BUSY;
    } else if (type == 0x05) {
        l->Flags |= L2F_PEER_BUSY;
        s->StackCounters[CNT_RNR_RECEIVED]++;
    } else {
        s->StackCounters[CNT_REJ_RECEIVED]++;
        l->Flags &= ~L2F_PEER_BUSY;
    }
    if (Command && pf) Due(s, (l->Flags & L2F_OWN_BUSY) ? DUE_RNR_RSP_F : DUE_RR_RSP_F);
    if (!Command && pf && (l->Flags & L2F_TIMER_RECOVERY)) {
        // The answer to our enquiry: leave timer recovery, send again from N(R).
        l->Flags &= ~L2F_TIMER_RECOVERY;
        l->RetryCount = 0;
        IsdnTimerStop(s, ISDN_TMR_T200, NULL);
        L2Acknowledge(s, nr);
        l->VS = nr;
        if (l->VA == l->VS) IsdnTimerStart(s, ISDN_TMR_T203, NULL);
        return;
    }
    L2Acknowledge(s, nr);
    if (type == 0x09 && !(l->Flags & L2F_TIMER_RECOVERY)) {
        l->VS = nr;  // retransmit from N(R)
        IsdnTimerStop(s, ISDN_TMR_T200, NULL);
    }
}

static void L2ReceiveUFrame(ISDN_STACK* s, const UCHAR* f, ULONG Length, BOOLEAN Command)
{
    ISDN_L2* l = &s->L2;
    UCHAR pf = f[2] & 0x10;
    switch (f[2] & ~0x10) {
    case 0x6F:  // SABME
        if (!Command || Length != 3) break;
        IsdnTimerStop(s, ISDN_TMR_T200, NULL);
        if (l->L3State == L2_AWAITING_RELEASE) {
            Due(s, pf ? DUE_DM_F : DUE_DM);
            return;
        }
        if (l->L3State != L2_RELEASED) IsdnLog(s, LOG_L2_ERROR, f, Length);
        L2LinkReset(s);
        Due(s, pf ? DUE_UA_F : DUE_UA);
        if (l->L3State != L2_ESTABLISHED) IsdnL2Established(s);
        else IsdnPostEvent(s, EV_L2_ESTABLISHED, NULL, 0);  // reset by the network: layer 3 hears of it
        return;
    case 0x43:  // DISC
        if (!Command || Length != 3) break;
        if (l->L3State == L2_RELEASED || l->L3State == L2_AWAITING_ESTABLISHMENT) {
            Due(s, pf ? DUE_DM_F : DUE_DM);
            return;
        }
        Due(s, pf ? DUE_UA_F : DUE_UA);
        IsdnL2Released(s);
        return;
    case 0x63:  // UA
        if (Command || Length != 3) break;
        if (l->L3State == L2_AWAITING_ESTABLISHMENT) {
            L2LinkReset(s);
            IsdnL2Established(s);
            return;
        }
        if (l->L3State == L2_AWAITING_RELEASE) {
            IsdnTimerStop(s, ISDN_TMR_T200, NULL);
            IsdnL2Released(s);
            IsdnTimerStart(s, ISDN_TMR_T203, NULL);
            return;
        }
        L2ErrorReport(s, f, Length);  // a UA nobody asked for
        return;
    case 0x0F:  // DM
        if (Command || Length != 3) break;
        if (l->L3State == L2_AWAITING_ESTABLISHMENT && pf) {
            IsdnL2Released(s);
            return;
        }
        if (l->L3State == L2_AWAITING_RELEASE) {
            IsdnL2Released(s);
            return;
        }
        if (l->L3State == L2_ESTABLISHED && !pf) {
            L2Establish(s);  // the network lost the link: establish again
            return;
        }
        return;
    case 0x87:  // FRMR
        if (Command) break;
        if (l->L3State == L2_ESTABLISHED) {
            IsdnLog(s, LOG_L2_ERROR, f, Length);
            L2Establish(s);
        }
        return;
    case 0x03:  // UI on SAPI 0: not used on a primary-rate line
        s->StackCounters[CNT_FRAMES_IGNORED]++;
        return;
    default: break;
    }
    L2Error(s, f, Length, 0x01);
}

void IsdnL2Receive(ISDN_STACK* s, const UCHAR* f, ULONG Length)
{
    ISDN_L2* l = &s->L2;
    if (Length < 3) {
        IsdnLog(s, LOG_SHORT_FRAME, f, Length);
        L2Error(s, f, Length, 0x01);
        return;
    }
    if ((f[0] & 1) != 0 || (f[1] & 1) != 1) {  // address extension bits
        s->StackCounters[CNT_FRAMES_IGNORED]++;
        return;
    }
    UCHAR sapi = f[0] >> 2, tei = f[1] >> 1;
    BOOLEAN command = (f[0] & 0x02) != 0;
    if (sapi == 63) {
        if (Length >= 8 && f[2] == 0x03 && f[3] == 0x0F) {
            std::memcpy(l->TeiRx, f + 4, 4);
            IsdnPostEvent(s, EV_TEI_FRAME, NULL, 0);
        }
        return;
    }
    if (sapi == 0 && tei == 0 && !l->TeiAssigned) {
        // A primary-rate network speaks to TEI 0 without the identity procedure.
        IsdnTimerStop(s, ISDN_TMR_UPPER, NULL);
        l->Tei = 0;
        l->TeiAssigned = 1;
        l->Flags &= ~L2F_TEI_PROCEDURE;
        l->Due &= ~(1u << DUE_TEI_MGMT);
        RSS_TRACE("IsdnL2: Line %lu takes TEI 0\n", (unsigned long)s->Line);
    }
    if (sapi != 0 || tei == 127 || !l->TeiAssigned || tei != l->Tei) {
        s->StackCounters[CNT_FRAMES_IGNORED]++;
        return;
    }
    if ((f[2] & 1) == 0) {
        if (LogsI(s)) IsdnLog(s, LOG_I_RECEIVED, f, Length);
        L2ReceiveIFrame(s, f, Length, command);
        return;
    }
    if (LogsSU(s)) IsdnLog(s, LOG_SU_RECEIVED, f, Length);
    s->StackCounters[CNT_SU_RECEIVED]++;
    if ((f[2] & 3) == 1)
        L2ReceiveSFrame(s, f, Length, command);
    else
        L2ReceiveUFrame(s, f, Length, command);
}

// ---- layer-2 management events (class 0xC0) ----

static void L2T200Expired(ISDN_STACK* s)
{
    ISDN_L2* l = &s->L2;
    s->StackCounters[CNT_T200_EXPIRED]++;
    if (l->L3State == L2_RELEASED) return;
    if (l->L3State == L2_ESTABLISHED && !(l->Flags & L2F_TIMER_RECOVERY)) {
        l->Flags |= L2F_TIMER_RECOVERY;
        l->RetryCount = 0;
    }
    l->RetryCount++;
    if (l->RetryCount > l->N200) {
        if (l->L3State == L2_ESTABLISHED) {
            IsdnLog(s, LOG_L2_ERROR, NULL, 0);
            s->StackCounters[CNT_L2_ERRORS]++;
            L2Establish(s);
        } else {
            IsdnL2Released(s);  // SABME or DISC never answered
        }
        return;
    }
    IsdnTimerStart(s, ISDN_TMR_T200, NULL);
    if (l->L3State == L2_AWAITING_ESTABLISHMENT)
        Due(s, DUE_SABME);
    else if (l->L3State == L2_AWAITING_RELEASE)
        Due(s, DUE_DISC);
    else if (l->Flags & L2F_FRMR_PENDING)
        Due(s, DUE_FRMR);
    else
        Due(s, (l->Flags & L2F_OWN_BUSY) ? DUE_RNR_CMD_P : DUE_RR_CMD_P);  // enquiry
}

BOOLEAN IsdnL2ManagementEvent(ISDN_STACK* s, ULONG Code)
{
    ISDN_L2* l = &s->L2;
    switch (Code) {
    case EV_L2_T3_EXPIRY:
    case EV_L2_T203_EXPIRY:
        if (l->L3State == L2_RELEASED) {
            IsdnPostEvent(s, EV_L2_ESTABLISH, NULL, 0);
        } else if (Code == EV_L2_T203_EXPIRY && l->L3State == L2_ESTABLISHED && !(l->Flags & L2F_TIMER_RECOVERY)) {
            l->Flags |= L2F_TIMER_RECOVERY;
            l->RetryCount = 0;
            Due(s, DUE_RR_CMD_P);
            IsdnTimerStart(s, ISDN_TMR_T200, NULL);
        }
        return TRUE;
    case EV_L2_T200_EXPIRY: L2T200Expired(s); return TRUE;
    case EV_L2_TEI_TIMEOUT:
    case EV_L2_TEI_REMOVED: IsdnPostEvent(s, EV_L2_REPORT, NULL, 0); return TRUE;
    case EV_L2_TEI_ASSIGNED:
        l->TeiAssigned = 1;
        l->Flags &= ~L2F_TEI_PROCEDURE;
        IsdnPostEvent(s, EV_L2_ESTABLISH, NULL, 0);
        return TRUE;
    case EV_L2_MESSAGE_QUEUED:
        if (l->L3State == L2_RELEASED) IsdnPostEvent(s, EV_L2_ESTABLISH, NULL, 0);
        return TRUE;
    case EV_L2_RELEASE:
        if (l->L3State == L2_ESTABLISHED) {
            l->L3State = L2_AWAITING_RELEASE;
            l->Flags |= L2F_DISC_SENT;
            l->RetryCount = 0;
            Due(s, DUE_DISC);
            IsdnTimerStart(s, ISDN_TMR_T200, NULL);
        }
        return TRUE;
    case EV_L2_ESTABLISH:
        if (l->L3State == L2_ESTABLISHED) {
            IsdnPostEvent(s, EV_L2_ESTABLISHED, NULL, 0);
        } else if (!l->TeiAssigned) {
            if (!(l->Flags & L2F_TEI_PROCEDURE)) {
                l->Flags |= L2F_TEI_PROCEDURE;
                IsdnPostEvent(s, EV_TEI_REQUEST, NULL, 0);
            }
        } else if (l->L3State == L2_RELEASED) {
            L2Establish(s);
        }
        return TRUE;
    default: return TRUE;
    }
}

// ---- TEI management and upper requests (class 0x40) ----

static void TeiFrame(ISDN_STACK* s, UCHAR Type, USHORT Reference, UCHAR Ai)
{
    UCHAR* b = s->L2.TeiTx;
    b[0] = 8;
    b[1] = 0xFC;
    b[2] = 0xFF;
    b[3] = 0x03;
    b[4] = 0x0F;
    b[5] = (UCHAR)(Reference >> 8);
    b[6] = (UCHAR)Reference;
    b[7] = Type;
    b[8] = Ai;
    Due(s, DUE_TEI_MGMT);
}

static void ReportToCalls(ISDN_STACK* s)
{
    for (ISDN_CALL& c : s->Calls) {
        if (!IsdnIsBChannel(s, c.Channel) || c.State == 0) continue;
        c.Cause = NORMALCALLCLEARING;
        IsdnUpcall(s, 0x9A, &c);
        IsdnFreeCall(s, &c);
    }
}

BOOLEAN IsdnUpperEvent(ISDN_STACK* s, ULONG Code)
{
    ISDN_L2* l = &s->L2;
    switch (Code) {
    case EV_TEI_REQUEST:
    case EV_UPPER_TIMER:
        if (s->Upcalls.RSS_IsTxQueueFull && s->DChannelLink != NULL && s->Upcalls.RSS_IsTxQueueFull(s->DChannelLink))
            return FALSE;
        if (Code == EV_UPPER_TIMER) IsdnPostEvent(s, EV_L2_TEI_TIMEOUT, NULL, 0);
        if (l->TeiAssigned) return TRUE;
        if (Code == EV_TEI_REQUEST) {
            l->TeiRequests = 0;
        } else if (l->TeiRequests >= L2_N202) {
            // Nobody answers identity requests: the network addresses TEI 0, as a
            // primary-rate network does, and waits for the SABME on it.
            RSS_TRACE("IsdnL2: Line %lu no TEI assigned, takes TEI 0\n", (unsigned long)s->Line);
            l->Tei = 0;
            IsdnPostEvent(s, EV_L2_TEI_ASSIGNED, NULL, 0);
            return TRUE;
        }
        l->TeiRequests++;
        IsdnTimerStart(s, ISDN_TMR_UPPER, NULL);
        if (++l->TeiReference == 0) l->TeiReference = 1;
        TeiFrame(s, 1, l->TeiReference, 0xFF);
        return TRUE;
    case EV_TEI_FRAME: {
        USHORT ri = (USHORT)(l->TeiRx[0] << 8 | l->TeiRx[1]);
        UCHAR type = l->TeiRx[2], tei = l->TeiRx[3] >> 1;
        if (type == 2 && !l->TeiAssigned && (l->Flags & L2F_TEI_PROCEDURE) && ri == l->TeiReference && tei < 127) {
            IsdnTimerStop(s, ISDN_TMR_UPPER, NULL);
            l->Tei = tei;
            IsdnPostEvent(s, EV_L2_TEI_ASSIGNED, NULL, 0);
        } else if (type == 4 && l->TeiAssigned && (tei == 127 || tei == l->Tei)) {
            IsdnPostEvent(s, EV_TEI_CHECK_RESPONSE, NULL, 0);
        } else if (type == 6 && l->TeiAssigned && (tei == 127 || tei == l->Tei)) {
            l->TeiAssigned = 0;
            if (l->L3State != L2_RELEASED) IsdnL2Released(s);
            IsdnPostEvent(s, EV_L2_TEI_REMOVED, NULL, 0);
        }
        return TRUE;
    }
    case EV_TEI_CHECK_RESPONSE: TeiFrame(s, 5, l->TeiReference, TeiOctet(l)); return TRUE;
    case EV_L2_REPORT: ReportToCalls(s); return TRUE;
    default: return TRUE;
    }
}
