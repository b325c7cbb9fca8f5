// Placeholders for the entry points that the HDLC controller code calls in modules
// still to come: the packet rings (over-run and under-run recovery, receive and
// transmit events) and the modem side (a pump's data time slot). Each does the least
// that keeps a channel usable; the module that owns the name replaces it and this file
// loses the entry.
#include "driver/Common/Bt847x.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_init.h"

// Receive over-run: every descriptor of the channel goes back to the controller and the
// receive direction is switched on again (off for an idle Link).
void RxOverRunHdlr(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    Bt847xDevice* ThisBt847x = &ThisLink->ThisAdapter->Bt847x;
    ULONG channel = GetLinkTimeslot(ThisLink);
    if (channel >= BT847X_CHANNELS || ThisLink->GroupID >= BT847X_GROUPS) return;
    for (ULONG i = 0; i < ThisLink->RxMsgPerCh && i < BT847X_RX_DESCR_PER_CH; i++)
        Bt847xRecycleRxDescr(Bt847xRxDescr(ThisBt847x, ThisLink->GroupID, channel, i), ThisLink->RxPacketSize);
    Bt847xChannelRequest(0, ThisLink->ChannelState != CHANNEL_STATE_IDLE ? 1 : 0, NULL, ThisLink);
}

// Transmit under-run: the transmit direction is switched on again (off for an idle Link);
// the frames still owned by the controller are sent from the ring head.
void TxUnderRunHdlr(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    Bt847xChannelRequest(1, ThisLink->ChannelState != CHANNEL_STATE_IDLE ? 1 : 0, NULL, ThisLink);
}

// The backgrounds poll the descriptors; events need no action yet.
void PktRxEventHdlr(Link*, ULONG) {}
void PktTxEventHdlr(Link*, ULONG) {}

// No pump has a data slot until the modem side lands.
ULONG PumpDataTimeslot(Link*) { return BT847X_NO_TIMESLOT; }
