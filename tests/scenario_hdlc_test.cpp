// The data interface on the simulated board, as the default configuration brings it
// up: the bring-up chain through the HDLC controller, then D-channel frames both ways
// between the far end of line 0 and the controller's descriptors.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/Common/Bt847x.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_init.h"
#include "sim/board/hdlc.h"
#include "tools/harness/rig.h"

namespace {

TEST(HdlcScenario, DataInterfaceComesUpAndDChannelFramesCrossBothWays)
{
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    r.host.registry.set_dword(r.parameters_key(1), "IrqStatistics", 1);  // per-frame events on
    sim::Card& card = r.add_board_for(1, 4);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> at_far_end;
    card.line(0).on_frame_from_adapter([&](uint32_t m, const std::vector<uint8_t>& f) { at_far_end.push_back({m, f}); });
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    Adapter* a = rig::Rig::driver_adapter(na);
    ASSERT_NE(a, nullptr);

    // Bring-up: framers, then the controller's reset, global and group initialisation.
    r.host.run_for(plat::ms(500));
    rig::Summary s;
    rig::observe_adapter(a, s);
    ASSERT_TRUE(s.data_interface_up);
    EXPECT_EQ(a->AdapterFailed, 0);
    EXPECT_TRUE(card.irq_enabled());

    // The D channel's Link (T1: HDLC channel 24 on line channel 24), switched on both ways.
    Link* d = RSS_GetGroupLink31(a, 0);
    ASSERT_EQ(d->IsDChannelLink, 1);
    ULONG channel = GetLinkTimeslot(d);
    ASSERT_EQ(channel, 24u);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    EXPECT_TRUE(Bt847xChannelRequest(0, 1, NULL, d));
    EXPECT_TRUE(Bt847xChannelRequest(1, 1, NULL, d));
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    r.host.run_for(plat::ms(10));
    EXPECT_EQ(d->RxEvents[EVENT_SACK] + d->TxEvents[EVENT_SACK], 2u);

    // The network sends a SABME-sized frame on the D channel.
    const std::vector<uint8_t> in = {0x02, 0x01, 0x7F};
    card.line(0).frame_to_adapter(1u << 24, in);
    r.host.run_for(plat::ms(10));
    BT847X_DESCR* rx = Bt847xRxDescr(&a->Bt847x, 0, channel, 0);
    EXPECT_EQ(rx->Status & BT847X_DESCR_OWNER, BT847X_DESCR_OWNER) << "filled and handed to the driver";
    EXPECT_EQ(rx->Status & BT847X_DESCR_LEN_MASK, in.size());
    EXPECT_EQ(BT847X_DESCR_STATUS_CODE(rx->Status), 0u);
    PUCHAR data = a->SharedMemoryVirtual + (rx->Buffer - a->SharedMemoryPhysical.u.LowPart);
    EXPECT_EQ(0, std::memcmp(data, in.data(), in.size()));
    EXPECT_EQ(d->RxEvents[EVENT_EOM], 1u) << "a receive event on the D channel's Link";

    // The driver queues a frame on the D channel's first transmit descriptor.
    UCHAR out[] = {0x02, 0x01, 0x73};
    TX_PACKET entry = {};
    entry.Data = out;
    entry.Length = sizeof out;
    entry.Descriptor = Bt847xTxDescr(&a->Bt847x, 0, channel, 0);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    EXPECT_TRUE(Bt847xCopyTxFrame(&a->Bt847x, &entry, 0));
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    r.host.run_for(plat::ms(10));
    ASSERT_EQ(at_far_end.size(), 1u);
    EXPECT_EQ(at_far_end[0].first, 1u << 24);
    EXPECT_EQ(at_far_end[0].second, std::vector<uint8_t>(out, out + 3));
    EXPECT_EQ(((BT847X_DESCR*)entry.Descriptor)->Status & BT847X_DESCR_OWNER, 0u) << "completed";
    EXPECT_EQ(d->TxEvents[EVENT_EOM], 1u);

    r.halt(na);
    EXPECT_EQ(r.leaked_shared_memory(), 0u);
    EXPECT_EQ(card.hdlc().stats().dma_faults, 0u);
    for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
}

}  // namespace
