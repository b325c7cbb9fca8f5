// The modem processors on the default board: boot and download of every processor,
// with and without read-back, without an image or with a bad one, and the failures the
// socket service recovers from (a processor that never answers, one that stops taking
// messages, a wrong checksum).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "driver/Common/RSS_init.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

constexpr uint64_t kBootMs = 12000;  // download, 8 s start wait, checksum

struct ModemRig {
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;

    // Loads the default configuration with overrides, fits the board; the image is
    // written unless it is empty.
    explicit ModemRig(const std::vector<uint8_t>& image, uint32_t verify_load = 0, uint32_t module_id = 4)
    {
        std::string error;
        EXPECT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
        r.host.registry.set_dword(r.parameters_key(1), "VerifyLoad", verify_load);
        for (int k = 0; k < 5; k++) r.host.registry.set_dword(r.parameters_key(1), "ModuleID_" + std::to_string(k), module_id);
        if (!image.empty()) r.set_firmware(image);
        card = &r.add_board_for(1, 4);
    }
    void start()
    {
        EXPECT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
    }
    Adapter* a() { return rig::Rig::driver_adapter(na); }
    Csm& csm(unsigned s, unsigned c) { return a()->Socket[s].Csms[c]; }
    std::vector<std::string> states()
    {
        rig::Summary s;
        rig::observe_adapter(a(), s);
        std::vector<std::string> out;
        for (const auto& p : s.processors) out.push_back(p.state);
        return out;
    }
    size_t trace_count(const std::string& needle)
    {
        const auto& lines = r.host.trace.lines();
        return size_t(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
    }
    void halt_clean()
    {
        r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        EXPECT_EQ(r.leaked_mappings(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
};

std::vector<std::string> all(size_t n, const char* state) { return std::vector<std::string>(n, state); }

// Load commands the loader gets for n bytes.
size_t loads_for(size_t n) { return (n + 125) / 126; }

TEST(ModemScenario, EveryProcessorBootsThroughTheDownload)
{
    const sim::fw::ImageLayout layout = sim::fw::default_layout();
    size_t image_loads = loads_for(layout.read_only.size()) + loads_for(layout.read_write.size()) + 1 /* ck_seg_area */;
    for (const auto& region : layout.regions) image_loads += loads_for(region.data.size());
    struct Case {
        uint32_t verify_load;
        uint32_t module_id;
        size_t processors;
        size_t setup_loads;  // chip-select and SDRAM writes
        size_t zero_fills;
        bool tdm;
    };
    const Case cases[] = {
        {0, 4, 10, 3, 0, false},   // the default: two processors of three pumps per socket
        {1, 4, 10, 3, 0, false},   // the same, every block read back
        {0, 5, 10, 0, 33, true},   // six-pump modules zero-fill 2 MiB and set up the TDM interface
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("VerifyLoad " + std::to_string(c.verify_load) + ", ModuleID " + std::to_string(c.module_id));
        ModemRig m(sim::fw::default_image(), c.verify_load, c.module_id);
        m.start();
        m.r.host.run_for(plat::ms(kBootMs));
        EXPECT_EQ(m.states(), all(c.processors, "CSM_RUNNING"));
        EXPECT_NE(rig::to_json([&] {
                      rig::Summary s;
                      rig::observe_adapter(m.a(), s);
                      return s;
                  }())
                      .find("\"state\": \"CSM_RUNNING\""),
                  std::string::npos);
        for (unsigned s = 0; s < 5; s++) {
            sim::ModemSocket* model = m.card->modem(s);
            ASSERT_NE(model, nullptr);
            for (unsigned p = 0; p < model->processors(); p++) {
                SCOPED_TRACE("socket " + std::to_string(s) + " processor " + std::to_string(p));
                Csm& csm = m.csm(s, p);
                EXPECT_EQ(model->mode(p), sim::ModemSocket::Mode::Running);
                EXPECT_EQ(model->start_address(p), layout.image_base);
                EXPECT_EQ(model->checksum(p), sim::fw::image_checksum(layout));
                EXPECT_EQ(csm.EmbeddedChecksum, sim::fw::image_checksum(layout));
                EXPECT_EQ(model->count(p, false, CMD_LOAD), image_loads + c.setup_loads);
                EXPECT_EQ(model->count(p, false, CMD_FIFOREAD), c.verify_load ? image_loads + c.setup_loads : 0);
                EXPECT_EQ(model->count(p, false, CMD_ZEROFILL), c.zero_fills);
                EXPECT_EQ(model->count(p, true, MSG_SETUP_TDM), c.tdm ? 1u : 0u);
                EXPECT_EQ(csm.ReadBackMismatches, 0u);
                EXPECT_EQ(csm.ResetAttempts, 1u) << "the bring-up's reset only";
                // Once running, every pump asked for data and for commands once, and the
                // firmware's answers were read and counted.
                EXPECT_EQ(csm.OutboundCounters[CsmMsgCounterIndex(MSG_DATAREQ)], csm.PumpCount);
                EXPECT_EQ(csm.OutboundCounters[CsmMsgCounterIndex(MSG_CMDREQ)], csm.PumpCount);
                EXPECT_EQ(csm.InboundCounters[CsmMsgCounterIndex(MSG_DATAREQ)], csm.PumpCount);
                EXPECT_EQ(csm.InboundCounters[CsmMsgCounterIndex(MSG_CMDREQ)], csm.PumpCount);
                EXPECT_EQ(csm.InboundCounters[CsmMsgCounterIndex(MSG_CHECKSUM)], 1u);
                for (ULONG q = 0; q < csm.PumpCount; q++) {
                    EXPECT_EQ(csm.Pumps[q].PumpReadyForReceiveData, 1);
                    EXPECT_EQ(csm.Pumps[q].CmdAccepted, 1);
                }
            }
        }
        m.halt_clean();
    }
}

// Without an image, or with one that would read outside itself, no processor is loaded
// (none gets a single Load) and the adapter runs on.
TEST(ModemScenario, NoImageOrABadImageLeavesTheProcessorsDeadAndTheAdapterRunning)
{
    std::vector<uint8_t> beyond = sim::fw::default_image();
    uint32_t first = sim::fw::get32(beyond, sim::fw::kFirstFatOffset);
    sim::fw::put32(beyond, first + sim::fw::kRegionSize, 0x7FFFFFFF);
    std::vector<uint8_t> truncated = sim::fw::default_image();
    truncated.resize(truncated.size() - 20);  // the last region's data is cut
    std::vector<uint8_t> wrapping = sim::fw::default_image();
    sim::fw::put32(wrapping, sim::fw::kReadOnlySize, 0xFFFFFFC0);  // 128 + size wraps in 32 bits
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        size_t refused_lines;
    };
    const Case cases[] = {{"no image", {}, 0}, {"region beyond the image", beyond, 10},
                          {"truncated file", truncated, 10}, {"overflowing length", wrapping, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModemRig m(c.image);
        m.start();
        m.r.host.run_for(plat::ms(2000));
        EXPECT_EQ(m.states(), all(10, "CSM_DEAD"));
        EXPECT_TRUE(m.a()->BringUpCompleted);
        EXPECT_EQ(m.trace_count("@@@@Firmware image refused"), c.refused_lines);
        for (unsigned s = 0; s < 5; s++)
            for (unsigned p = 0; p < 2; p++) EXPECT_EQ(m.card->modem(s)->count(p, false, CMD_LOAD), 0u);
        m.halt_clean();
    }
}

// A processor that never answers is reset six times by the socket service, then left
// dead; its neighbours boot.
TEST(ModemScenario, AProcessorThatNeverAnswersIsGivenUpAfterSixResets)
{
    ModemRig m(sim::fw::default_image());
    m.card->modem(2)->set_never_answer(1, true);
    m.start();
    m.r.host.run_for(plat::ms(kBootMs + 3000));
    std::vector<std::string> expected = all(10, "CSM_RUNNING");
    expected[2 * 2 + 1] = "CSM_DEAD";
    EXPECT_EQ(m.states(), expected);
    EXPECT_EQ(m.card->modem(2)->resets(1), 6u);
    EXPECT_EQ(m.csm(2, 1).ResetAttempts, 6u);
    for (ULONG p = 0; p < m.csm(2, 1).PumpCount; p++) EXPECT_EQ(m.csm(2, 1).Pumps[p].PumpState, ULONG(PUMP_OUT_OF_SERVICE));
    EXPECT_EQ(m.trace_count("@@@@CSM left dead after 6 resets"), 1u);
    m.halt_clean();
}

// A running processor that stops taking messages is caught by the watchdog after 500
// polls, reset once and loaded again.
TEST(ModemScenario, TheWatchdogResetsAProcessorThatStopsTakingMessages)
{
    ModemRig m(sim::fw::default_image());
    m.start();
    m.r.host.run_for(plat::ms(kBootMs));
    ASSERT_EQ(m.states(), all(10, "CSM_RUNNING"));
    sim::ModemSocket* model = m.card->modem(1);
    // The next message to processor 0 is lost; modem text for pump 0 makes the driver
    // ask for data again, which is that message.
    model->stall_at(0, 1);
    model->send_to_host(0, {0, 0, 6, uint16_t(MSG_FIFODAT << 8 | 0)}, {'\r', '\n', 'R', 'I', 'N', 'G'});
    m.r.host.run_for(plat::ms(4000));
    EXPECT_EQ(m.csm(1, 0).State, ULONG(CSM_RUNNING)) << "not yet 500 polls";
    m.r.host.run_for(plat::ms(1500));
    EXPECT_EQ(m.trace_count("@@@@Error:CSM doesn't ack the last Outbound message since 5s { G:0, D:1, C:0 }"), 1u);
    EXPECT_NE(m.csm(1, 0).State, ULONG(CSM_RUNNING));
    m.r.host.run_for(plat::ms(kBootMs));
    EXPECT_EQ(m.states(), all(10, "CSM_RUNNING"));
    EXPECT_EQ(model->resets(0), 2u);
    EXPECT_EQ(model->resets(1), 1u);
    EXPECT_EQ(m.trace_count("@@@@Error:CSM doesn't ack"), 1u) << "exactly one watchdog report";
    m.halt_clean();
}

// A checksum that differs from the image's is a failed load: reset and load again. A
// block stored wrong is found by the read-back and then by the checksum.
TEST(ModemScenario, AWrongChecksumOrACorruptBlockIsLoadedAgain)
{
    for (bool corrupt : {false, true}) {
        SCOPED_TRACE(corrupt ? "corrupt block" : "wrong checksum");
        ModemRig m(sim::fw::default_image(), corrupt ? 1 : 0);
        if (corrupt)
            m.card->modem(0)->corrupt_load_at(1, 5);
        else
            m.card->modem(0)->set_bad_checksum(1, 1);
        m.start();
        m.r.host.run_for(plat::ms(2 * kBootMs));
        EXPECT_EQ(m.states(), all(10, "CSM_RUNNING"));
        EXPECT_EQ(m.card->modem(0)->resets(1), 2u);
        EXPECT_EQ(m.card->modem(0)->resets(0), 1u);
        EXPECT_EQ(m.trace_count("differs from the image's"), 1u);
        // Read-back: every block once, the corrupt one in five passes, in both loads.
        size_t loads = m.card->modem(0)->count(1, false, CMD_LOAD);
        if (corrupt) {
            EXPECT_EQ(m.card->modem(0)->count(1, false, CMD_FIFOREAD), loads + 4);
        }
        m.halt_clean();
    }
}

}  // namespace

namespace {

// The checksum wait keeps one request outstanding and gives up after its rounds: a
// firmware that takes the request and never answers gets at most one request per round,
// one that never takes it gets exactly one; either way the processor is reset.
TEST(ModemScenario, AnUnansweredChecksumRequestIsNotPiledUpAndEndsInAReset)
{
    for (bool taken : {true, false}) {
        SCOPED_TRACE(taken ? "taken, never answered" : "never taken");
        ModemRig m(sim::fw::default_image());
        sim::ModemSocket* model = m.card->modem(3);
        model->ignore_code(0, MSG_CHECKSUM, taken);
        m.start();
        ASSERT_TRUE(rig::run_until(m.r.host, [&] { return model->resets(0) == 2; }, plat::ms(kBootMs + 8000)))
            << "reset after the checksum wait gave up";
        EXPECT_EQ(model->count(0, true, MSG_CHECKSUM), taken ? size_t(CSM_CHECKSUM_TRIES) : 1u);
        EXPECT_EQ(m.trace_count("@@@@CSM gave no checksum in 5 tries { G:0, D:3, C:0 }"), 1u);
        EXPECT_EQ(model->resets(1), 1u) << "its neighbour booted";
        EXPECT_EQ(m.csm(3, 1).State, ULONG(CSM_RUNNING));
        m.halt_clean();
    }
}

// Sporadic faults do not add up: after a stable run the reset count starts again, so a
// seventh fault months later resets the processor instead of killing it.
TEST(ModemScenario, AStableRunClearsTheResetCount)
{
    ModemRig m(sim::fw::default_image());
    m.start();
    m.r.host.run_for(plat::ms(kBootMs));
    ASSERT_EQ(m.csm(1, 1).State, ULONG(CSM_RUNNING));
    rig::with_adapter_lock(m.a(), [&] { m.csm(1, 1).ResetAttempts = DIMM_MAX_RESET_ATTEMPTS; });
    m.r.host.run_for(plat::ms(DIMM_STABLE_RUN_MS / 2));
    EXPECT_EQ(m.csm(1, 1).ResetAttempts, ULONG(DIMM_MAX_RESET_ATTEMPTS)) << "not yet a stable run";
    m.r.host.run_for(plat::ms(DIMM_STABLE_RUN_MS / 2 + 100));
    EXPECT_EQ(m.csm(1, 1).ResetAttempts, 0u);
    // A fault now is reset and loaded again, not the end of the processor.
    m.card->modem(1)->send_to_host(1, {0, 0, 0, uint16_t(MSG_CHRESET << 8)});
    m.r.host.run_for(plat::ms(kBootMs));
    EXPECT_EQ(m.csm(1, 1).State, ULONG(CSM_RUNNING));
    EXPECT_EQ(m.csm(1, 1).ResetAttempts, 1u);
    m.halt_clean();
}

// Resets of the adapter (the hang check's, one after another) restart every processor
// without counting against it: however many come, each processor boots again.
TEST(ModemScenario, ResetsOfTheAdapterDoNotCountAgainstTheProcessors)
{
    ModemRig m(sim::fw::default_image());
    m.start();
    m.r.host.run_for(plat::ms(kBootMs));
    ASSERT_EQ(m.states(), all(10, "CSM_RUNNING"));
    for (int i = 1; i <= DIMM_MAX_RESET_ATTEMPTS + 1; i++) {
        rig::with_adapter_lock(m.a(), [&] { ResetAdapter(m.a()); });
        m.r.host.run_for(plat::ms(kBootMs));
        ASSERT_EQ(m.states(), all(10, "CSM_RUNNING")) << "after adapter reset " << i;
    }
    EXPECT_EQ(m.trace_count("@@@@CSM left dead"), 0u);
    m.halt_clean();
}

}  // namespace

namespace {

// Parts and regions of odd length whose last byte is not zero land in the processor's
// memory byte for byte, the last byte included.
TEST(ModemScenario, OddLengthBlocksLandWholeInTheProcessorsMemory)
{
    sim::fw::ImageLayout layout = sim::fw::default_layout();
    layout.read_only.resize(1001);
    layout.read_only.back() = 0xC3;
    layout.read_write.resize(127);  // one full block and one of a single byte
    layout.read_write.back() = 0x5A;
    for (auto& region : layout.regions)
        if (region.data.size() % 2 == 1) region.data.back() = 0xAB;
    layout.regions.push_back({"odd_tail", 0x002B0000, {0x11, 0x22, 0x33}});
    for (uint32_t verify : {0u, 1u}) {
        SCOPED_TRACE(verify ? "read back" : "no read-back");
        ModemRig m(sim::fw::build_image(layout), verify);
        m.start();
        m.r.host.run_for(plat::ms(kBootMs));
        ASSERT_EQ(m.states(), all(10, "CSM_RUNNING"));
        sim::ModemSocket* model = m.card->modem(2);
        auto check = [&](const char* what, uint32_t address, const std::vector<uint8_t>& data) {
            SCOPED_TRACE(what);
            size_t wrong = 0;
            for (size_t i = 0; i < data.size(); i++) wrong += model->peek_memory(1, address + uint32_t(i)) != data[i];
            EXPECT_EQ(wrong, 0u);
            EXPECT_EQ(model->peek_memory(1, address + uint32_t(data.size()) - 1), data.back());
        };
        check("read-only part", layout.image_base, layout.read_only);
        check("read-write part", layout.data_base, layout.read_write);
        for (const auto& region : layout.regions)
            if (!region.data.empty()) check(region.name.c_str(), region.load_address, region.data);
        EXPECT_EQ(m.csm(2, 1).ReadBackMismatches, 0u);
        m.halt_clean();
    }
}

}  // namespace

namespace {

// A loader that answers the processor's handshake with other words gets it 100 times in
// one boot, then the processor is reset; a loader that fails a step or answers slowly
// is reset and loaded again, or simply waited for.
TEST(ModemScenario, HandshakesAndLoaderStepsAreBounded)
{
    {
        ModemRig m(sim::fw::default_image());
        m.card->modem(4)->garble_handshake(0, true);
        m.start();
        ASSERT_TRUE(rig::run_until(m.r.host, [&] { return m.card->modem(4)->resets(0) == 2; }, plat::ms(4000)));
        EXPECT_EQ(m.card->modem(4)->count(0, false, 0x4C4C), size_t(CSM_HANDSHAKES_MAX)) << "handshakes in the first boot";
        EXPECT_EQ(m.card->modem(4)->count(0, false, 0x544F), 0u) << "never the host's handshake";
        m.halt_clean();
    }
    {
        ModemRig m(sim::fw::default_image());
        m.card->modem(4)->fail_loader_at(0, 7);  // a Load in the middle of the image
        m.card->modem(0)->set_loader_delay(plat::ms(15));
        m.start();
        m.r.host.run_for(plat::ms(kBootMs + 8000));
        EXPECT_EQ(m.states(), all(10, "CSM_RUNNING"));
        EXPECT_EQ(m.card->modem(4)->resets(0), 2u) << "the failed step reset it once";
        EXPECT_EQ(m.card->modem(0)->resets(0), 1u) << "a slow loader is waited for";
        m.halt_clean();
    }
}

}  // namespace
