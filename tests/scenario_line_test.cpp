// The road of a line's layer 1: the default configuration comes up with its framer
// configured and layer 1 reported up to the line's stack; the far end takes the line
// down and the stack hears of it after the debounce; the line comes back.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "tools/harness/rig.h"

namespace {

struct Report {
    ULONG line;
    ULONG state;
    plat::VTime time;
};
std::vector<Report> g_layer1;
plat::Host* g_host;

void RecordLayer1(Adapter*, PVOID, ULONG Line, ULONG State) { g_layer1.push_back({Line, State, g_host->now()}); }

std::string read_config(const std::string& name)
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class LineScenario : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;

    void bring_up(const std::string& config)
    {
        g_layer1.clear();
        g_host = &r.host;
        std::string e;
        ASSERT_TRUE(r.load_config(config, &e)) << e;
        r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        // The stacks are placeholders: listen on their layer-1 entry instead.
        for (ULONG n = 0; n < a->NumberOfLines; n++) a->SgnlProtocolOps[n].Layer1Indication = RecordLayer1;
    }
    void TearDown() override
    {
        if (na) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    std::vector<ULONG> states_of(ULONG line)
    {
        std::vector<ULONG> s;
        for (const auto& rep : g_layer1)
            if (rep.line == line) s.push_back(rep.state);
        return s;
    }
};

TEST_F(LineScenario, DefaultLineComesUpGoesDownWithTheFarEndAndComesBack)
{
    bring_up(rig::kDefaultConfig);
    sim::Card& card = *r.boards[0];
    sim::Framer& framer = *card.framer(0);

    // Bring-up: identified, reset, configured for T1 ESF; the background starts a
    // second after the data interface, and the 7th synchronised poll reports up.
    r.host.run_for(plat::ms(3000));
    ASSERT_EQ(a->AdapterFailed, 0);
    ASSERT_EQ(a->BringUpCompleted, 1);
    EXPECT_EQ(a->Framer[0].nMode, 0x9Bu);
    EXPECT_EQ(framer.peek(0x01), 0x1B) << "PCR0: T1, framing code 13";
    EXPECT_TRUE(framer.clocking());
    EXPECT_EQ(a->Framer[0].nState, (ULONG)SYNCHRONIZED_ON);
    ASSERT_EQ(states_of(0), std::vector<ULONG>{LAYER1_ACTIVATED});
    EXPECT_EQ(card.led(0), 2);
    EXPECT_EQ(a->LineUp[0], 1);

    // The far end takes the line down: the alarm interrupt follows at once, the stack
    // hears after more than six polls of 50 ms.
    plat::VTime down = r.host.now();
    card.line(0).take_down();
    r.host.run_for(plat::ms(5));
    EXPECT_EQ(a->Framer[0].nState, (ULONG)RX_ANALOG_SIGNAL_OFF) << "the loss of frame interrupt updated the state";
    EXPECT_EQ(framer.peek(0x75) & 0x02, 0x02) << "transmit alarm during the loss of frame";
    r.host.run_for(plat::ms(295));
    EXPECT_EQ(states_of(0).size(), 1u) << "not before the debounce";
    r.host.run_for(plat::ms(200));
    ASSERT_EQ(states_of(0), (std::vector<ULONG>{LAYER1_ACTIVATED, LAYER1_DEACTIVATED}));
    plat::VTime took = g_layer1.back().time - down;
    EXPECT_GE(took, plat::ms(300));
    EXPECT_LE(took, plat::ms(400));
    EXPECT_EQ(card.led(0), 1);
    EXPECT_EQ(a->LineUp[0], 0);

    // A line that flickers back for less than the debounce is not reported.
    for (int i = 0; i < 5; i++) {
        card.line(0).bring_up();
        r.host.run_for(plat::ms(120));
        card.line(0).take_down();
        r.host.run_for(plat::ms(60));
    }
    EXPECT_EQ(states_of(0).size(), 2u);

    // Back up for good.
    card.line(0).bring_up();
    r.host.run_for(plat::ms(1000));
    EXPECT_EQ(states_of(0), (std::vector<ULONG>{LAYER1_ACTIVATED, LAYER1_DEACTIVATED, LAYER1_ACTIVATED}));
    EXPECT_EQ(framer.peek(0x75) & 0x02, 0) << "the transmit alarm ended 20 ms after the framing came back";
    EXPECT_EQ(card.led(0), 2);

    rig::Summary s;
    rig::observe_adapter(a, s);
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_EQ(s.lines[0].layer1, "up");
    EXPECT_NE(rig::to_json(s).find("\"layer1\": \"up\""), std::string::npos);
    card.line(0).take_down();
    r.host.run_for(plat::ms(1000));
    rig::observe_adapter(a, s);
    EXPECT_NE(rig::to_json(s).find("\"layer1\": \"down\""), std::string::npos);
}

// Four lines, one of them robbed-bit (its stack hears up only after more than 100
// polls); a line the far end never framed stays down while the others come up.
TEST_F(LineScenario, FourLinesComeUpOnTheirOwnDebounce)
{
    bring_up(read_config("four-line.reg"));
    r.boards[0]->line(2).set_condition({true, false, false, false});  // out of frame
    r.host.run_for(plat::ms(4000));
    EXPECT_EQ(states_of(0), std::vector<ULONG>{LAYER1_ACTIVATED});
    EXPECT_EQ(states_of(1), std::vector<ULONG>{LAYER1_ACTIVATED});
    EXPECT_TRUE(states_of(2).empty());
    EXPECT_TRUE(states_of(3).empty()) << "the robbed-bit line needs more than 100 polls";
    EXPECT_EQ(a->Framer[2].nState, (ULONG)RX_ANALOG_SIGNAL_ON);
    r.host.run_for(plat::ms(3000));
    EXPECT_EQ(states_of(3), std::vector<ULONG>{LAYER1_ACTIVATED});
    EXPECT_EQ(a->Framer[1].nMode & 1, 1u);
    EXPECT_EQ(a->Framer[2].nMode & 1, 0u) << "line 2 is E1 in this configuration";
    r.boards[0]->line(2).bring_up();
    r.host.run_for(plat::ms(500));
    EXPECT_EQ(states_of(2), std::vector<ULONG>{LAYER1_ACTIVATED});
}

}  // namespace
