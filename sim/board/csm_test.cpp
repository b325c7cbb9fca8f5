// The modem-processor model at its registers: the boot loader's handshakes and
// commands, read-back, reset, and the mailbox's inbound queue.
#include "sim/board/csm.h"

#include <gtest/gtest.h>

#include "platform/host/scheduler.h"
#include "sim/firmware/firmware.h"

namespace {

class Model : public ::testing::Test {
protected:
    plat::Scheduler sched;
    sim::ModemSocket m{sched, sim::module_type(4)};  // two processors, stride 0x100, reset at +0x200

    uint16_t rd(unsigned c, uint32_t reg) { return uint16_t(m.mmio_read(c * 0x100 + reg, 2)); }
    void wr(unsigned c, uint32_t reg, uint16_t v) { m.mmio_write(c * 0x100 + reg, 2, v); }
    void post(unsigned c, std::array<uint16_t, 4> w)
    {
        wr(c, 0x38, 0x0004);
        for (unsigned i = 0; i < 4; i++) wr(c, 0x40 + 8 * i, w[i]);
    }
    std::array<uint16_t, 4> inbound(unsigned c) { return {rd(c, 0x60), rd(c, 0x68), rd(c, 0x70), rd(c, 0x78)}; }
    bool taken(unsigned c) { return rd(c, 0x38) & 0x0400; }
    void handshake(unsigned c)
    {
        post(c, {0x4F52, 0x4B43, 0x4557, 0x4C4C});
        post(c, {0x4F48, 0x5453, 0x4F42, 0x544F});
    }
};

TEST_F(Model, TheLoaderObeysOnlyAfterBothHandshakes)
{
    post(0, {4, 0x0001, 0x0000, 5});
    EXPECT_TRUE(taken(0));
    EXPECT_EQ(inbound(0)[3], 0) << "a Load before the handshakes fails";
    post(0, {0x4F48, 0x5453, 0x4F42, 0x544F});
    EXPECT_EQ(inbound(0)[3], 0) << "HOSTBOOT before ROCKWELL fails";
    handshake(0);
    EXPECT_EQ(inbound(0), (std::array<uint16_t, 4>{0x4F48, 0x5453, 0x4F42, 0x544F}));
    EXPECT_EQ(m.mode(1), sim::ModemSocket::Mode::Loader);
}

TEST_F(Model, LoadReadBackStartAndResetAtTheRegisters)
{
    handshake(0);
    // An odd Load: 3 bytes in two words, taken once the words are in.
    post(0, {3, 0x0001, 0x0010, 5});
    EXPECT_FALSE(taken(0));
    wr(0, 0x00, 0x2211);
    wr(0, 0x00, 0x0033);
    EXPECT_TRUE(taken(0));
    EXPECT_EQ(m.peek_memory(0, 0x10012), 0x33);
    EXPECT_EQ(m.checksum(0), uint16_t(0x2211 + 0x0033));
    post(0, {3, 0x0001, 0x0010, 4});  // read back
    EXPECT_EQ(rd(0, 0x20), 1);
    EXPECT_EQ(rd(0, 0x18), 0x2211);
    EXPECT_EQ(rd(0, 0x18), 0x0033);
    EXPECT_EQ(rd(0, 0x20), 0);
    post(0, {0, 0x0002, 0x0000, 6});
    EXPECT_EQ(inbound(0)[3], 0) << "nothing loaded at the start address";
    post(0, {0, 0x0001, 0x0010, 6});
    EXPECT_EQ(m.mode(0), sim::ModemSocket::Mode::Running);
    m.mmio_write(0x200, 4, 0);  // reset register
    EXPECT_EQ(m.mode(0), sim::ModemSocket::Mode::Loader);
    EXPECT_EQ(m.peek_memory(0, 0x10010), 0);
    EXPECT_EQ(m.resets(0), 1u);
}

TEST_F(Model, InboundMessagesArePresentedOneAtATime)
{
    m.send_to_host(1, {1, 2, 3, 0x0800});
    m.send_to_host(1, {0, 0, 2, 0x0901}, {'O', 'K'});
    EXPECT_EQ(rd(1, 0x38) & 0x4000, 0x4000);
    EXPECT_EQ(inbound(1)[3], 0x0800);
    EXPECT_EQ(rd(1, 0x20), 0) << "the second message's data waits with it";
    wr(1, 0x38, 0x0040);
    EXPECT_EQ(inbound(1)[3], 0x0901);
    EXPECT_EQ(rd(1, 0x18), uint16_t('O' | 'K' << 8));
    wr(1, 0x38, 0x0040);
    EXPECT_EQ(rd(1, 0x38) & 0x4000, 0);
}

TEST_F(Model, KnobsMakeAProcessorSilentOrStallIt)
{
    m.set_never_answer(0, true);
    handshake(0);
    EXPECT_FALSE(taken(0));
    m.stall_at(1, 2);
    post(1, {0x4F52, 0x4B43, 0x4557, 0x4C4C});
    EXPECT_TRUE(taken(1));
    post(1, {0x4F48, 0x5453, 0x4F42, 0x544F});
    EXPECT_FALSE(taken(1)) << "the second message is lost";
    post(1, {0x4F52, 0x4B43, 0x4557, 0x4C4C});
    EXPECT_FALSE(taken(1)) << "and the mailbox stays stalled until reset";
    m.mmio_write(0x300, 4, 0);
    EXPECT_TRUE(taken(1));
}

}  // namespace
