// The far modem on a line: on the channels its far end connects, it answers the
// adapter's carrier at the lower speed, carries data, and hears and makes hang-ups.
#include "sim/far/modem_peer.h"

#include <gtest/gtest.h>

#include "sim/far/robbed_bit.h"

namespace {

using Frames = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

TEST(ModemPeer, AnswersOnTheChannelsARobbedBitFarEndConnects)
{
    plat::Scheduler sched;
    sim::Line line(0);
    Frames heard;  // what the peer sent to the adapter
    line.on_frame_to_adapter([&](uint32_t m, const std::vector<uint8_t>& f) { heard.push_back({m, f}); });
    sim::RobbedBitFarEnd far(sched, line, sim::RobbedBitFarEnd::Protocol::Immediate);
    sim::ModemPeer peer(sched, line, {true, 28800, plat::ms(200)});
    peer.follow(far);
    const auto calling = sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 33600);

    // Not connected yet: the adapter's carrier on channel 4 goes unheard.
    line.frame_from_adapter(1u << 4, calling);
    sched.run_for(plat::ms(500));
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(peer.state(4), sim::ModemPeer::State::Off);

    // The far end seizes channel 4 and the adapter answers (off-hook): the modem is put on.
    ASSERT_TRUE(far.seize(4));
    line.tx_robbed[4] = sim::RobbedBitFarEnd::kOffHook;
    sched.run_for(plat::ms(100));
    ASSERT_EQ(far.state(4), sim::RobbedBitFarEnd::State::Connected);
    EXPECT_EQ(peer.state(4), sim::ModemPeer::State::Listening);
    line.frame_from_adapter(1u << 4, calling);
    sched.run_for(plat::ms(250));
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], (std::pair<uint32_t, std::vector<uint8_t>>{1u << 4, sim::modem_line::carrier(sim::modem_line::kAnswerTone, 28800)}));
    EXPECT_EQ(peer.state(4), sim::ModemPeer::State::Connected);
    EXPECT_EQ(peer.speed(4), 28800u) << "the lower of the two";

    // Data both ways, then the adapter hangs up.
    line.frame_from_adapter(1u << 4, sim::modem_line::data({1, 2}));
    ASSERT_EQ(peer.received(4).size(), 1u);
    EXPECT_EQ(peer.received(4)[0], (std::vector<uint8_t>{1, 2}));
    EXPECT_TRUE(peer.send(4, {3}));
    EXPECT_EQ(heard.back().second, sim::modem_line::data({3}));
    EXPECT_FALSE(peer.send(5, {3})) << "nothing on channel 5";
    line.frame_from_adapter(1u << 4, sim::modem_line::carrier_off());
    EXPECT_EQ(peer.hangups_heard(4), 1u);
    EXPECT_EQ(peer.state(4), sim::ModemPeer::State::Listening);

    // The far end clears the channel: the modem is taken off it.
    ASSERT_TRUE(far.clear(4));
    line.tx_robbed[4] = sim::RobbedBitFarEnd::kOnHook;
    sched.run_for(plat::ms(500));
    EXPECT_EQ(peer.state(4), sim::ModemPeer::State::Off);
}

// A long call does not grow what the peer keeps of it without end.
TEST(ModemPeer, ReceivedDataIsBounded)
{
    plat::Scheduler sched;
    sim::Line line(0);
    sim::RobbedBitFarEnd far(sched, line, sim::RobbedBitFarEnd::Protocol::Immediate);
    sim::ModemPeer peer(sched, line, {true, 28800, plat::ms(200)});
    peer.follow(far);
    peer.set_received_limit(4);
    ASSERT_TRUE(far.seize(4));
    line.tx_robbed[4] = sim::RobbedBitFarEnd::kOffHook;
    sched.run_for(plat::ms(100));
    line.frame_from_adapter(1u << 4, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 33600));
    sched.run_for(plat::ms(250));
    ASSERT_EQ(peer.state(4), sim::ModemPeer::State::Connected);
    for (uint8_t i = 0; i < 100; i++) {
        line.frame_from_adapter(1u << 4, sim::modem_line::data({i}));
        ASSERT_LE(peer.received(4).size(), 4u);
    }
    EXPECT_EQ(peer.received(4).back(), (std::vector<uint8_t>{99})) << "the newest is kept";
}

TEST(ModemPeer, AModemThatDoesNotAnswerStaysSilentAndAnOriginatorAnswersBack)
{
    plat::Scheduler sched;
    sim::Line line(0);
    Frames heard;
    line.on_frame_to_adapter([&](uint32_t m, const std::vector<uint8_t>& f) { heard.push_back({m, f}); });
    sim::ModemPeer peer(sched, line, {false, 33600, plat::ms(100)});
    peer.put_on(2);
    line.frame_from_adapter(1u << 2, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 33600));
    line.frame_from_adapter(1u << 2, sim::modem_line::carrier(sim::modem_line::kAnswerTone, 33600));
    sched.run_for(plat::ms(300));
    EXPECT_TRUE(heard.empty());
    // A modem that called hears the adapter's answer tone and sends its carrier.
    peer.set_config({true, 14400, plat::ms(100)});
    peer.originate(2);
    ASSERT_EQ(heard.size(), 1u);
    line.frame_from_adapter(1u << 2, sim::modem_line::carrier(sim::modem_line::kAnswerTone, 33600));
    sched.run_for(plat::ms(150));
    EXPECT_EQ(heard.back().second, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 14400));
    EXPECT_EQ(peer.state(2), sim::ModemPeer::State::Connected);
    EXPECT_TRUE(peer.hang_up(2));
    EXPECT_EQ(heard.back().second, sim::modem_line::carrier_off());
}

}  // namespace
