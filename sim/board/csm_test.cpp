// The modem-processor model at its registers: the boot loader's handshakes and
// commands, read-back, reset, and the mailbox's inbound queue.
#include "sim/board/csm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "platform/host/scheduler.h"
#include "sim/far/modem_peer.h"
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

namespace {

// The running firmware at its registers, with the board's wiring replaced by sinks.
class Firmware : public ::testing::Test {
protected:
    plat::Scheduler sched;
    sim::ModemSocket m{sched, sim::module_type(4)};
    std::vector<std::pair<unsigned, std::vector<uint8_t>>> line, controller;  // (slot, frame)
    struct In {
        uint8_t code;
        unsigned pump;
        uint16_t w2;
        std::string fifo;
        uint16_t w0 = 0, w1 = 0;
    };

    void SetUp() override
    {
        m.wire(0, 24, false);
        m.on_to_line([this](unsigned, unsigned slot, const std::vector<uint8_t>& f) { line.push_back({slot, f}); });
        m.on_to_controller(
            [this](unsigned, unsigned slot, const std::vector<uint8_t>& f) { controller.push_back({slot, f}); });
        boot(m, 0);
    }
    static void post(sim::ModemSocket& s, unsigned c, std::array<uint16_t, 4> w)
    {
        s.mmio_write(c * 0x100 + 0x38, 2, 0x0004);
        for (unsigned i = 0; i < 4; i++) s.mmio_write(c * 0x100 + 0x40 + 8 * i, 2, w[i]);
    }
    void boot(sim::ModemSocket& s, unsigned c)
    {
        post(s, c, {0x4F52, 0x4B43, 0x4557, 0x4C4C});
        post(s, c, {0x4F48, 0x5453, 0x4F42, 0x544F});
        post(s, c, {2, 0x0001, 0x0000, 5});
        s.mmio_write(c * 0x100, 2, 0xBEEF);
        post(s, c, {0, 0x0001, 0x0000, 6});
        ASSERT_EQ(s.mode(c), sim::ModemSocket::Mode::Running);
    }
    void run() { sched.run_for(plat::ms(1)); }
    // Host text to pump p as a FIFO block.
    void text(unsigned p, const std::string& t)
    {
        for (size_t i = 0; i < t.size(); i += 2)
            m.mmio_write(0x00, 2, uint8_t(t[i]) | (i + 1 < t.size() ? uint8_t(t[i + 1]) << 8 : 0));
        post(m, 0, {0, 0, uint16_t(t.size()), uint16_t(0x0900 | p)});
        run();
    }
    // Every inbound message now pending, taken as the host takes them (each text block
    // answered with a data request, so queued text keeps coming).
    std::vector<In> inbound(unsigned p)
    {
        std::vector<In> out;
        for (int guard = 0; guard < 64 && (m.mmio_read(0x38, 2) & 0x4000); guard++) {
            uint16_t w2 = uint16_t(m.mmio_read(0x70, 2)), w3 = uint16_t(m.mmio_read(0x78, 2));
            In in{uint8_t(w3 >> 8), w3 & 0xFFu, w2, "", uint16_t(m.mmio_read(0x60, 2)), uint16_t(m.mmio_read(0x68, 2))};
            unsigned n = in.code == 0x09 ? w2 : in.code == 0x30 ? (w2 & 0x7F) : in.code == 0x14 ? (w2 & 0xFF) : 0;
            for (unsigned i = 0; i < n; i += 2) {
                uint16_t w = uint16_t(m.mmio_read(0x18, 2));
                in.fifo += char(w & 0xFF);
                if (i + 1 < n) in.fifo += char(w >> 8);
            }
            m.mmio_write(0x38, 2, 0x0040);
            out.push_back(in);
            if (in.code == 0x09) {
                post(m, 0, {0, 0x0A, 0x80, uint16_t(0x0800 | p)});
                run();
            }
        }
        return out;
    }
    static std::string texts(const std::vector<In>& in)
    {
        std::string t;
        for (const auto& i : in)
            if (i.code == 0x09) t += i.fifo;
        return t;
    }
    static bool has(const std::vector<In>& in, uint8_t code, uint16_t w2)
    {
        for (const auto& i : in)
            if (i.code == code && i.w2 == w2) return true;
        return false;
    }
    void ask_data(unsigned p)
    {
        post(m, 0, {0, 0x0A, 0x80, uint16_t(0x0800 | p)});
        run();
    }
};

TEST_F(Firmware, PumpDataSlotsComeFromTheBoardOrTheTdmSetUpMessage)
{
    EXPECT_EQ(m.data_slot(0, 0), 25);
    EXPECT_EQ(m.data_slot(1, 2), 24 + 12 + 8 + 1);
    EXPECT_EQ(m.data_slot(0, 3), -1) << "three pumps per processor";
    sim::ModemSocket tdm{sched, sim::module_type(5)};
    tdm.wire(0, 0, true);
    boot(tdm, 1);
    EXPECT_EQ(tdm.data_slot(1, 0), -1) << "not told yet";
    post(tdm, 1, {0, 0, 77, 0x5200});
    sched.run_for(plat::ms(1));
    EXPECT_EQ(tdm.data_slot(1, 0), 77);
    EXPECT_EQ(tdm.data_slot(1, 5), 77 + 20);
    EXPECT_EQ(tdm.data_slot(0, 0), -1) << "told per processor";
}

// What a processor keeps is bounded: the host's text per pump, data words no command
// takes, and messages waiting for a host that never takes the mailbox.
TEST_F(Firmware, HostTextWaitingMessagesAndDataWordsAreBounded)
{
    m.set_history_limit(8);
    text(0, "ABCDEFGHIJ");
    std::string kept = m.text_from_host(0, 0);
    EXPECT_LE(kept.size(), 8u);
    EXPECT_EQ(kept.substr(kept.size() - 2), "IJ") << "the newest is kept";

    uint64_t lost = m.lost(0);
    for (int i = 0; i < 20; i++) m.mmio_write(0x00, 2, 0x4141);
    EXPECT_EQ(m.lost(0), lost + 12) << "eight words wait for a command";

    lost = m.lost(0);
    for (uint16_t i = 0; i < 30; i++) m.send_to_host(0, {0, 0, i, 0x0800});
    EXPECT_GE(m.lost(0), lost + 30 - 9) << "one presented, eight waiting";
    EXPECT_LE(m.lost(0), lost + 30 - 8);
}

// AT+TSA answers on the slot it names: the answer tone goes out there, and only the far
// modem's carrier on that slot connects the call (CARRIER, CONNECT, DCD up); data then
// crosses between the pump's data slot and the call's slot; the far modem's hang-up is
// NO CARRIER with DCD down.
TEST_F(Firmware, AnAnsweredCallConnectsOnlyToACallingCarrierOnItsSlot)
{
    ask_data(1);
    inbound(1);
    text(1, "AT+TSA=5  ,1;%U0A\r");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back().first, 5u);
    EXPECT_EQ(line.back().second, sim::modem_line::carrier(sim::modem_line::kAnswerTone, 33600));
    EXPECT_FALSE(m.from_line(6, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 28800))) << "another slot";
    m.from_line(5, sim::modem_line::carrier(sim::modem_line::kAnswerTone, 28800));
    EXPECT_EQ(m.call(0, 1), sim::ModemSocket::Call::Training) << "an answer tone does not answer an answering modem";
    EXPECT_TRUE(m.from_line(5, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 28800)));
    EXPECT_EQ(m.call(0, 1), sim::ModemSocket::Call::Connected);
    auto in = inbound(1);
    EXPECT_NE(texts(in).find("\r\nCARRIER TX: 28800"), std::string::npos);
    EXPECT_NE(texts(in).find("\r\nCONNECT 28800"), std::string::npos);
    EXPECT_TRUE(has(in, 0x2B, 0xB)) << "DCD up";

    // Data: from the HDLC controller on the pump's data slots to the call's slot, and back.
    EXPECT_TRUE(m.from_controller(uint32_t(m.data_slot(0, 1)) + 2, {1, 2, 3}));
    EXPECT_EQ(line.back(), (std::pair<unsigned, std::vector<uint8_t>>{5, sim::modem_line::data({1, 2, 3})}));
    m.from_line(5, sim::modem_line::data({9, 8}));
    ASSERT_EQ(controller.size(), 1u);
    EXPECT_EQ(controller[0], (std::pair<unsigned, std::vector<uint8_t>>{unsigned(m.data_slot(0, 1)), {9, 8}}));

    // A release of another slot changes nothing; the far modem's hang-up ends the call.
    post(m, 0, {0, 0, 6, 0x3601});
    run();
    EXPECT_EQ(m.call(0, 1), sim::ModemSocket::Call::Connected);
    m.from_line(5, sim::modem_line::carrier_off());
    EXPECT_EQ(m.call(0, 1), sim::ModemSocket::Call::None);
    in = inbound(1);
    EXPECT_NE(texts(in).find("\r\nNO CARRIER\r\n"), std::string::npos);
    EXPECT_TRUE(has(in, 0x2B, 0x3)) << "DCD down";
}

TEST_F(Firmware, ADialWithoutAFarModemEndsInNoCarrierAndDtrDropHangsUp)
{
    m.set_carrier_wait(plat::ms(2000));
    ask_data(2);
    inbound(2);
    text(2, "AT+TSA=12 ,1;%U0D\r");
    EXPECT_EQ(line.back().second, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 33600));
    sched.run_for(plat::ms(1900));
    EXPECT_EQ(m.call(0, 2), sim::ModemSocket::Call::Training);
    EXPECT_GE(line.size(), 4u) << "the calling carrier is repeated";
    sched.run_for(plat::ms(200));
    EXPECT_EQ(m.call(0, 2), sim::ModemSocket::Call::None);
    EXPECT_NE(texts(inbound(2)).find("\r\nNO CARRIER\r\n"), std::string::npos);

    // Connected, then DTR drops: the modem hangs up on the line and says NO CARRIER.
    post(m, 0, {0, 0, 3, 0x2902});
    run();
    text(2, "AT+TSA=12 ,1;%U0D\r");
    m.from_line(12, sim::modem_line::carrier(sim::modem_line::kAnswerTone, 33600));
    ASSERT_EQ(m.call(0, 2), sim::ModemSocket::Call::Connected);
    inbound(2);
    post(m, 0, {0, 0, 2, 0x2902});
    run();
    EXPECT_EQ(m.call(0, 2), sim::ModemSocket::Call::None);
    EXPECT_EQ(line.back().second, sim::modem_line::carrier_off());
    EXPECT_NE(texts(inbound(2)).find("\r\nNO CARRIER\r\n"), std::string::npos);
}

// Network mode: the modem serves the port's application itself.
TEST_F(Firmware, NetworkModeRingsAnswersGoesOnLineEscapesAndHangsUp)
{
    post(m, 0, {0, 0, 0, 0xBE00});  // NTWKENA, pump 0
    run();
    ASSERT_TRUE(m.network_mode(0, 0));
    ask_data(0);
    post(m, 0, {0, 0, 0, 0x3500});  // RINGIND
    run();
    EXPECT_EQ(texts(inbound(0)), "\r\nRING\r\n");
    text(0, "ATA\r");
    auto in = inbound(0);
    EXPECT_EQ(texts(in), "ATA\r") << "echo";
    EXPECT_TRUE(has(in, 0x31, 0)) << "answer detected";
    post(m, 0, {0, 1, 9, 0x3600});  // SETTSA: slot 9 assigned
    run();
    post(m, 0, {0, 0, 0, 0x3300});  // LINECON
    run();
    EXPECT_EQ(line.back(), (std::pair<unsigned, std::vector<uint8_t>>{9, sim::modem_line::carrier(sim::modem_line::kAnswerTone, 33600)}));
    m.from_line(9, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 33600));
    in = inbound(0);
    EXPECT_EQ(texts(in), "\r\nCONNECT 33600\r\n");
    EXPECT_TRUE(has(in, 0x37, 1)) << "on line";
    // +++ from the port (through the HDLC channel) is an escape only between two guard
    // times of a second without data; its characters still go to the far modem.
    const unsigned slot = unsigned(m.data_slot(0, 0));
    const size_t sent = line.size();
    m.from_controller(slot, {'+', '+', '+'});  // too soon after the connection
    sched.run_for(plat::ms(1500));
    EXPECT_FALSE(has(inbound(0), 0x37, 0));
    m.from_controller(slot, {'+'});
    sched.run_for(plat::ms(200));
    m.from_controller(slot, {'+', '+'});
    sched.run_for(plat::ms(500));
    m.from_controller(slot, {'x'});  // data within the guard time after it
    sched.run_for(plat::ms(1500));
    EXPECT_FALSE(has(inbound(0), 0x37, 0));
    for (int i = 0; i < 3; i++) {  // typed one by one
        m.from_controller(slot, {'+'});
        sched.run_for(plat::ms(150));
    }
    sched.run_for(plat::ms(800));
    EXPECT_FALSE(has(inbound(0), 0x37, 0)) << "before the guard time after it";
    sched.run_for(plat::ms(100));
    in = inbound(0);
    EXPECT_TRUE(has(in, 0x37, 0));
    EXPECT_EQ(texts(in), "\r\nOK\r\n");
    ASSERT_EQ(line.size(), sent + 7);
    EXPECT_EQ(line.back(), (std::pair<unsigned, std::vector<uint8_t>>{9, sim::modem_line::data({'+'})}));
    text(0, "ATH\r");
    in = inbound(0);
    EXPECT_EQ(texts(in), "ATH\r\r\nOK\r\n");
    EXPECT_TRUE(has(in, 0x37, 4)) << "the call ended";
    EXPECT_EQ(line.back().second, sim::modem_line::carrier_off());
    text(0, "ATO\r");
    EXPECT_EQ(texts(inbound(0)), "ATO\r\r\nNO CARRIER\r\n") << "no call to go back on line to";
    // ATD: the dial is detected with its number.
    text(0, "ATD5551212\r");
    in = inbound(0);
    bool dial = false;
    for (const auto& i : in) dial |= i.code == 0x30 && i.fifo == "5551212";
    EXPECT_TRUE(dial);
    // The dial message answers no data request: the text after it still comes.
    EXPECT_EQ(texts(in), "ATD5551212\r");
    text(0, "ATH\r");
    in = inbound(0);
    EXPECT_EQ(texts(in), "ATH\r\r\nOK\r\n");
    EXPECT_TRUE(has(in, 0x32, 0)) << "hang-up before the call connected";
    // A dial the host could not place (busy, no answer): the channel is disconnected.
    // The number was typed with a mistake and mended with backspace and delete.
    text(0, "AT\r\n");  // programs that end lines with CR LF
    EXPECT_EQ(texts(inbound(0)), "AT\r\n\r\nOK\r\n");
    text(0, "ATD55512x\b13y\x7F\r");
    in = inbound(0);
    dial = false;
    for (const auto& i : in) dial |= i.code == 0x30 && i.fifo == "5551213";
    EXPECT_TRUE(dial);
    post(m, 0, {0, 0, 0, 0x3400});  // LINEERR
    run();
    EXPECT_EQ(texts(inbound(0)), "\r\nNO CARRIER\r\n");
}

TEST_F(Firmware, KnobsRefuseAnInitStringAndCrashAProcessor)
{
    m.refuse_at(0, "ATS95");
    ask_data(1);
    inbound(1);
    text(1, "ATS95=4\\N3%C3\r");
    EXPECT_EQ(texts(inbound(1)), "\r\nERROR\r\n");
    text(1, "ATZ\r");
    EXPECT_EQ(texts(inbound(1)), "\r\nOK\r\n");
    m.crash(0, 0xF9, 1);
    auto in = inbound(1);
    EXPECT_TRUE(has(in, 0xF9, 0));
    post(m, 0, {0, 0, 0, 0x1501});
    run();
    EXPECT_EQ(m.mmio_read(0x38, 2) & 0x0400, 0u) << "a crashed processor takes nothing";
}

}  // namespace

namespace {

// A pump keeps the last of what the host wrote it, however many commands a long run sends,
// and counts all of it.
TEST_F(Firmware, APumpKeepsABoundedTailOfTheHostsText)
{
    const std::string command = "ATS0=0S7=50\r";
    for (int i = 0; i < 2000; i++) {
        text(1, command);
        inbound(1);
    }
    const std::string kept = m.text_from_host(0, 1);
    EXPECT_LE(kept.size(), sim::ModemSocket::kTextLimit);
    EXPECT_GE(kept.size(), sim::ModemSocket::kTextLimit / 2);
    EXPECT_EQ(kept.substr(kept.size() - 2 * command.size()), command + command) << "the newest is kept";
    EXPECT_EQ(m.text_total_from_host(0, 1), 2000u * command.size());
}

}  // namespace

namespace {

// The firmware trace of a pump, read through the command channel as the host's trace
// monitor reads it: command class 1, types 248..255, answered by a MSG_CMDDAT block.
class Trace : public Firmware {
protected:
    struct Chunk {
        uint16_t type = 0, pump = 0, waiting = 0, sequence = 0, lost = 0, length = 0;
        std::string bytes;
        bool answered = false;
    };
    static uint16_t word(const std::string& b, size_t i)
    {
        return uint16_t(uint8_t(b[2 * i]) | uint8_t(b[2 * i + 1]) << 8);
    }
    // One trace-read command to pump p and its answer.
    Chunk read(unsigned p, uint8_t type = 248)
    {
        post(m, 0, {uint16_t(p), uint16_t(0x0100 | type), 0x0700, uint16_t(0x1400 | p)});
        run();
        Chunk ch;
        for (const In& in : inbound(p)) {
            if (in.code != 0x14) continue;
            EXPECT_EQ(in.w1, 0x0100 | type) << "the answer names the command";
            EXPECT_EQ(in.w2 >> 8, 7) << "and its index";
            EXPECT_GE(in.fifo.size(), sim::ModemSocket::kTraceHeader);
            if (in.fifo.size() < sim::ModemSocket::kTraceHeader) continue;
            ch = {word(in.fifo, 0), word(in.fifo, 1), word(in.fifo, 2), word(in.fifo, 3), word(in.fifo, 4),
                  word(in.fifo, 5), in.fifo.substr(12), true};
            EXPECT_EQ(ch.length, ch.bytes.size());
        }
        return ch;
    }
    // Everything waiting, chunk by chunk, with the command types cycling as the monitor's do.
    std::string drain(unsigned p, std::vector<Chunk>* chunks = nullptr)
    {
        std::string all;
        uint8_t type = 248;
        for (int guard = 0; guard < 100; guard++) {
            Chunk ch = read(p, type);
            if (!ch.answered || ch.length == 0) break;
            all += ch.bytes;
            if (chunks) chunks->push_back(ch);
            type = type == 255 ? 248 : uint8_t(type + 1);
        }
        return all;
    }
    // Walks the trace's grammar: codes, each followed by items (marker, length, bytes).
    // The codes in order; well_formed false when an item marker stands where a code
    // should or an item runs off the end.
    static std::vector<uint8_t> codes(const std::string& b, bool* well_formed = nullptr)
    {
        auto item = [](uint8_t x) { return x >= 0xF3 && x <= 0xF5; };
        std::vector<uint8_t> out;
        bool ok = true;
        size_t i = 0;
        while (i < b.size() && ok) {
            if (item(uint8_t(b[i]))) ok = false;
            out.push_back(uint8_t(b[i++]));
            while (ok && i < b.size() && item(uint8_t(b[i]))) {
                i += i + 1 < b.size() ? 2 + uint8_t(b[i + 1]) : 2;
                if (i > b.size()) ok = false;
            }
        }
        if (well_formed) *well_formed = ok;
        return out;
    }
    static bool well_formed(const std::string& b)
    {
        bool ok = false;
        codes(b, &ok);
        return ok;
    }
    static bool has_code(const std::string& b, uint8_t code)
    {
        std::vector<uint8_t> c = codes(b);
        return std::find(c.begin(), c.end(), code) != c.end();
    }
};

// An answered call leaves its steps in the pump's trace: the AT line, the answer on its
// slot, the connection at its speed, DCD and the far modem's hang-up. The chunks come in
// sequence, full while more waits; the trace then answers empty with the same sequence.
TEST_F(Trace, AnAnsweredCallIsReadBackInSequencedChunks)
{
    ask_data(1);
    inbound(1);
    text(1, "AT+TSA=5  ,1;%U0A\r");
    m.from_line(5, sim::modem_line::carrier(sim::modem_line::kCallingCarrier, 28800));
    ASSERT_EQ(m.call(0, 1), sim::ModemSocket::Call::Connected);
    m.from_line(5, sim::modem_line::carrier_off());
    inbound(1);
    size_t waiting = m.trace_waiting(0, 1);
    ASSERT_GT(waiting, 2 * sim::ModemSocket::kTraceChunk) << "enough for more than two chunks";

    std::vector<Chunk> chunks;
    std::string all = drain(1, &chunks);
    ASSERT_GE(chunks.size(), 3u);
    for (size_t i = 0; i < chunks.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(chunks[i].sequence, i + 1);
        EXPECT_EQ(chunks[i].pump, 1);
        EXPECT_EQ(chunks[i].type, 248 + i % 8);
        EXPECT_EQ(chunks[i].lost, 0);
        if (i + 1 < chunks.size()) {
            EXPECT_EQ(chunks[i].length, sim::ModemSocket::kTraceChunk) << "full while more waits";
        }
    }
    EXPECT_EQ(chunks.back().waiting, 0);
    EXPECT_EQ(all.size(), waiting) << "the reads add nothing to the trace";
    EXPECT_TRUE(well_formed(all));
    EXPECT_NE(all.find("\x61\xF4\x11" "AT+TSA=5  ,1;%U0A"), std::string::npos) << "AtCmdLineIn and its text";
    EXPECT_NE(all.find(std::string("\x20\xF3\x02\x05\x00", 5)), std::string::npos) << "DoAnswerRtn on slot 5";
    EXPECT_NE(all.find(std::string("\x54\xF3\x04\x80\x70\x00\x00", 7)), std::string::npos) << "dtePrtCONNECT 28800";
    EXPECT_NE(all.find("\x66\xF4\x29" "CARRIER TX: 28800 RX: 28800 CONNECT 28800"), std::string::npos)
        << "OutputV1Msg, its lines joined";
    for (uint8_t code : {0x28, 0x2A, 0x55, 0x79, 0x2F, 0x85}) EXPECT_TRUE(has_code(all, code)) << int(code);
    EXPECT_FALSE(has_code(all, 0x68)) << "trace reads are not traced themselves";

    Chunk empty = read(1);
    EXPECT_EQ(empty.length, 0);
    EXPECT_EQ(empty.sequence, chunks.back().sequence) << "no new chunk";
}

// The ring is bounded: events beyond it push out the oldest whole events (a half-read one
// included), the next chunk's sequence jumps and its header counts what was lost, and it
// starts on an event.
TEST_F(Trace, AnOverflowDropsWholeEventsAndTheSequenceJumps)
{
    ask_data(2);
    inbound(2);
    text(2, "ATZ\r");
    inbound(2);
    Chunk first = read(2);
    ASSERT_EQ(first.sequence, 1);
    for (int i = 0; i < 200; i++) {
        text(2, "ATS0=" + std::to_string(i) + "\r");
        inbound(2);
    }
    EXPECT_LE(m.trace_waiting(0, 2), sim::ModemSocket::kTraceRing);
    ASSERT_GT(m.trace_lost(0, 2), 0u);
    std::vector<Chunk> chunks;
    std::string all = drain(2, &chunks);
    ASSERT_FALSE(chunks.empty());
    EXPECT_GT(chunks[0].sequence, first.sequence + 1) << "a gap";
    EXPECT_GT(chunks[0].lost, 0);
    for (size_t i = 1; i < chunks.size(); i++) {
        EXPECT_EQ(chunks[i].sequence, chunks[i - 1].sequence + 1);
        EXPECT_EQ(chunks[i].lost, 0);
    }
    EXPECT_TRUE(well_formed(all)) << "starts on an event";
    EXPECT_NE(all.find("ATS0=199"), std::string::npos) << "the newest is kept";
    EXPECT_EQ(all.find("\xF4\x06" "ATS0=0"), std::string::npos) << "the oldest went";
}

// Other commands on the channel are traced and get no answer, but the channel accepts the
// next command (else the host would send the pump nothing more); a trace read of a pump
// with nothing traced answers an empty chunk of sequence 0; a channel reset keeps the trace.
TEST_F(Trace, OtherCommandsAreTracedNotAnsweredAndAResetKeepsTheTrace)
{
    Chunk none = read(0, 255);
    ASSERT_TRUE(none.answered);
    EXPECT_EQ(none.type, 255);
    EXPECT_EQ(none.sequence, 0);
    EXPECT_EQ(none.length, 0);
    for (uint16_t command : {0x0205, 0x01F7, 0x0000}) {  // another class, type 247 of the trace's class, none
        post(m, 0, {0x33, command, 0x0300, 0x1400});
        run();
        int accepts = 0;
        for (const In& in : inbound(0)) {
            EXPECT_NE(in.code, 0x14) << std::hex << command;
            accepts += in.code == 0x15;
        }
        EXPECT_EQ(accepts, 1) << "the next command is accepted: " << std::hex << command;
    }
    post(m, 0, {0, 0, 0, 0x3B00});  // CHRESET
    run();
    inbound(0);
    std::string all = drain(0);
    EXPECT_TRUE(has_code(all, 0x68)) << "the command";
    EXPECT_TRUE(has_code(all, 0x10)) << "the reset";
    EXPECT_TRUE(well_formed(all));
}

// ATIn answers an identification text and then OK, as a modem does; ATI2 only OK; an n
// the modem does not know ERROR. Network mode answers the same way.
TEST_F(Trace, IdentificationCommandsAnswerTextThenOk)
{
    char sum[8];
    std::snprintf(sum, sizeof sum, "%04X", m.checksum(0));
    struct Case {
        const char* command;
        std::string answer;
    };
    const Case cases[] = {
        {"ATI1\r", "\r\nVORNET CSM MODEM PROCESSOR FIRMWARE 1.0 CHECKSUM " + std::string(sum) + "\r\n\r\nOK\r\n"},
        {"ati\r", "\r\n33600\r\n\r\nOK\r\n"},
        {"ATI3\r", "\r\nV1.0 VORNET V.34 DATA PUMP 0.1\r\n\r\nOK\r\n"},
        {"ATI2\r", "\r\nOK\r\n"},
        {"ATI9\r", "\r\nERROR\r\n"},
        {"ATI123\r", "\r\nERROR\r\n"},
    };
    ask_data(1);
    inbound(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        text(1, c.command);
        EXPECT_EQ(texts(inbound(1)), c.answer);
    }
    post(m, 0, {0, 0, 0, 0xBE02});  // NTWKENA, pump 2
    run();
    ask_data(2);
    inbound(2);
    text(2, "ATI1\r");
    std::string heard = texts(inbound(2));
    EXPECT_NE(heard.find("ATI1\r\r\nVORNET CSM MODEM PROCESSOR FIRMWARE"), std::string::npos) << heard;
    EXPECT_EQ(heard.substr(heard.size() - 6), "\r\nOK\r\n");
}

}  // namespace
