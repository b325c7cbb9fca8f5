#include "tools/harness/main_job.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "driver/Common/RSS_init.h"
#include "driver/Common/RSS_tmrs.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "platform/registry/hive_file.h"
#include "sim/board/csm.h"
#include "sim/board/hdlc.h"
#include "sim/board/tsswitch.h"

namespace rig {

namespace {

int64_t wall_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

constexpr size_t kKeepProcessorMessages = 4096;
constexpr size_t kKeepModemFrames = 16;

bool write_file(const std::filesystem::path& path, const void* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), std::streamsize(size));
    return bool(out);
}

}  // namespace

bool parse_line_choice(const std::string& text, unsigned& line, LineChoice& choice, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return fail("--line needs N:none|isdn|rbs|leased|peer:PATH, not \"" + text + "\"");
    const std::string n = text.substr(0, colon), kind = text.substr(colon + 1);
    if (n.size() > 2 || n.find_first_not_of("0123456789") != std::string::npos)
        return fail("--line: \"" + n + "\" is not a line number");
    line = unsigned(std::stoul(n));
    choice = {};
    if (kind == "none") choice.kind = Rig::FarKind::None;
    else if (kind == "isdn") choice.kind = Rig::FarKind::Isdn;
    else if (kind == "rbs") choice.kind = Rig::FarKind::RobbedBit;
    else if (kind == "leased") choice.kind = Rig::FarKind::Leased;
    else if (kind.rfind("peer:", 0) == 0 && kind.size() > 5) {
        choice.kind = Rig::FarKind::Peer;
        choice.peer_path = kind.substr(5);
    } else {
        return fail("--line " + n + ": \"" + kind + "\" is none of none, isdn, rbs, leased, peer:PATH");
    }
    return true;
}

MainJob::MainJob() = default;

MainJob::~MainJob()
{
    // The far ends and peers hold the rig's lines: they go first; traffic before the adapter.
    traffic_.reset();
    peers_.clear();
    modems_.clear();
    rig_.reset();
}

bool MainJob::start(const RunOptions& options, std::string* error)
{
    opt_ = options;
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    rig_ = std::make_unique<Rig>();
    Rig& r = *rig_;
    std::string why;
    // Served from the root's own hive: read now under its lock, and left as it stands.
    std::string text = opt_.config_text;
    std::string source = "configuration";
    if (opt_.hive_in_root && !opt_.root.empty()) {
        plat::reg::HiveLock lock(opt_.root, false);
        if (!lock.held() || !plat::reg::read_hive_text(opt_.root, &text, &why))
            return fail(why.empty() ? "cannot lock the hive in " + opt_.root : why);
        source = "registry.reg";
    }
    if (!r.load_config(text, &why)) return fail(source + ": " + why);
    // Every line of a whole .reg ends with a line break: text that stops inside a line was cut short.
    if (!text.empty() && text.back() != '\n')
        return fail(source + ": line " + std::to_string(std::count(text.begin(), text.end(), '\n') + 1) +
                    ": the text ends inside this line: cut short");
    // A board type no table has would run as the default board or as none.
    if (auto id = r.host.registry.get_value(r.parameters_key(1), "AdapterID")) {
        std::string shown = id->type == plat::reg::Type::Dword ? std::to_string(id->dword) : id->sz;
        const bool known = shown.size() == 1 && shown[0] >= '1' && shown[0] < char('0' + sim::kBoardTypes);
        if (id->type != plat::reg::Type::Dword && id->type != plat::reg::Type::Sz) shown = "of another type";
        if (!known)
            return fail("configuration: AdapterID " + shown + " names no board type: 1 to " +
                        std::to_string(sim::kBoardTypes - 1));
    }

    if (!opt_.root.empty()) {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path root(opt_.root);
        fs::create_directories(root / kDriversFolder, ec);
        if (ec) return fail("cannot make " + (root / kDriversFolder).string() + ": " + ec.message());
        // Through the hive's lock, whole: a reader or a writer of another process never
        // finds it empty or half written.
        if (!opt_.hive_in_root && !plat::reg::replace_hive(root, r.host.registry, &why)) return fail(why);
        if (opt_.firmware && !write_file(root / kDriversFolder / "armcsm", opt_.firmware->data(), opt_.firmware->size()))
            return fail("cannot write the firmware file under " + root.string());
        // The installed driver's file, for what reads its version: its version resource.
        if (!write_file(root / kDriversFolder / "vornet.sys", &VornetDriverVersion, sizeof VornetDriverVersion))
            return fail("cannot write the driver's file under " + root.string());
        r.host.files_root = root / kDriversFolder;
    } else if (opt_.firmware) {
        r.set_firmware(*opt_.firmware);
    }

    r.host.trace.echo = opt_.trace;
    r.host.trace.keep = false;  // nobody reads the lines back
    RssTraceEnabled = opt_.trace ? TRUE : FALSE;

    card_ = &r.add_board_for(1, 4);
    std::vector<Rig::FarKind> kinds(card_->line_count(), Rig::FarKind::Default);
    for (const auto& [n, c] : opt_.lines) {
        if (n >= card_->line_count())
            return fail("--line " + std::to_string(n) + ": the board has " + std::to_string(card_->line_count()) + " line(s)");
        kinds[n] = c.kind;
    }
    // A far end the line's configuration does not speak to is named, and so is a
    // signalling protocol no stack has: the run goes on, but such a line carries no calls.
    if (opt_.notices)
        for (unsigned n = 0; n < card_->line_count(); n++) {
            const auto configured = r.host.registry.get_dword(r.parameters_key(1), "SignallingProtocol_" + std::to_string(n));
            const uint32_t protocol = configured.value_or(0);
            const bool isdn = protocol >= 1 && protocol <= 5;
            const Rig::FarKind k = kinds[n];
            std::string why;
            if (protocol > 6) why = "SignallingProtocol_" + std::to_string(n) + " " + std::to_string(protocol) + " names no signalling stack";
            else if ((k == Rig::FarKind::Isdn || k == Rig::FarKind::Peer) && !isdn)
                why = "an ISDN far end on a line configured for " + signalling_name(protocol) + ": no calls";
            else if (k == Rig::FarKind::RobbedBit && protocol != 0)
                why = "a robbed-bit far end on a line configured for " + signalling_name(protocol) + ": no calls";
            if (!why.empty()) std::fprintf(stderr, "vornet-sim: warning: line %u: %s\n", n, why.c_str());
        }
    far_ = r.attach_far_ends(*card_, 1, kinds);
    // The processors' messages are looked back on only over the last moments (the fault
    // checks): a short history keeps a long run's memory flat.
    for (int s = 0; s < sim::kMaxSockets; s++)
        if (sim::ModemSocket* m = card_->modem(unsigned(s))) m->set_history_limit(kKeepProcessorMessages);

    // COM ports in use: a far modem per ISDN line answers their calls, echoing, and the
    // traffic makes no modem calls of its own (two far modems would take one call).
    modems_.resize(card_->line_count());
    if (opt_.plan.leave_port_links) opt_.plan.modem_calls = false;
    for (unsigned n = 0; n < card_->line_count(); n++) {
        if (far_.isdn[n] == nullptr || !opt_.plan.leave_port_links) continue;
        sim::ModemPeer::Config mc;
        mc.echo = true;
        modems_[n] = std::make_unique<sim::ModemPeer>(r.host.sched, card_->line(n), mc);
        modems_[n]->set_received_limit(kKeepModemFrames);  // echoed; nobody reads them
        modems_[n]->follow(*far_.isdn[n], [](const sim::CallInfo& c) {
            return c.bearer.capability == 0x00 || c.bearer.capability == 0x10;  // speech, 3.1 kHz audio
        });
    }

    peers_.resize(card_->line_count());
    peer_layer2_.assign(card_->line_count(), -1);
    for (const auto& [n, c] : opt_.lines) {
        if (c.kind != Rig::FarKind::Peer) continue;
        const bool e1 = r.host.registry.get_dword(r.parameters_key(1), "LineMode_" + std::to_string(n)).value_or(0) == 1;
        auto peer = std::make_unique<sim::SocketPeer>(r.host.sched, card_->line(n), e1 ? 1u << 16 : 1u << 24);
        if (!peer->listen(c.peer_path, &why)) return fail("--peer " + std::to_string(n) + ": " + why);
        sim::SocketPeer* p = peer.get();
        // A program is taken on once the adapter's D channel can hear it; until then what
        // it sends waits in its socket.
        const unsigned line = n;  // a structured binding is not captured by every compiler
        p->set_ready([this, line] { return peer_line_ready(line); });
        if (opt_.notices) {
            p->on_notice([line](const std::string& text) { std::fprintf(stderr, "vornet-sim: line %u: %s\n", line, text.c_str()); });
            std::fprintf(stderr, "vornet-sim: line %u: listening on %s for the network side's program\n", n, c.peer_path.c_str());
        }
        pollers_.add([p] { p->poll(); }, std::function<int()>([p] { return p->fd(); }));
        peers_[n] = std::move(peer);
        far_.peer[n] = p;
        opt_.paced = true;
    }
    if (opt_.notices && std::any_of(peers_.begin(), peers_.end(), [](const auto& p) { return bool(p); }))
        pollers_.add([this] { watch_peer_lines(); });

    if (!opt_.pcap_path.empty()) {
        // pcapng, one interface per line named after it: a line's frames apart by interface.
        pcap_ = std::make_unique<sim::LapdPcapWriter>();
        std::vector<std::string> names;
        for (unsigned n = 0; n < card_->line_count(); n++) names.push_back("line " + std::to_string(n));
        if (!pcap_->open(opt_.pcap_path, names)) return fail("cannot write " + opt_.pcap_path);
        for (unsigned n = 0; n < card_->line_count(); n++) {
            if (far_.isdn[n] != nullptr) far_.isdn[n]->set_pcap(pcap_.get(), n);
            if (peers_[n]) peers_[n]->set_pcap(pcap_.get(), n);
        }
    }

    far_names_.assign(card_->line_count(), "nothing (leased)");
    for (unsigned n = 0; n < card_->line_count(); n++) {
        if (far_.isdn[n] != nullptr) far_names_[n] = std::string("ISDN network ") + far_.isdn[n]->profile().name;
        else if (far_.robbed_bit[n] != nullptr) far_names_[n] = "robbed-bit far end";
        else if (peers_[n]) far_names_[n] = "outside peer";
        else if (kinds[n] == Rig::FarKind::None) far_names_[n] = "none (no signal)";
    }

    if (r.load_driver() != 0) return fail("the driver did not load");
    violations_before_ = r.host.violations().size();
    // Every way of running (run(), or a fault run's run_for()) shows progress from here.
    wall_start_ns_ = last_progress_ns_ = wall_ns();
    progress_v0_ = r.host.now();
    return bring_up(error);
}

bool MainJob::bring_up(std::string* error)
{
    na_ = rig_->initialize(1);
    summary_.initialised = na_ != nullptr;
    if (na_ == nullptr) {
        if (error != nullptr) *error = "the adapter did not initialise";
        return true;  // reported in the summary, with the error log
    }
    if (opt_.traffic) {
        TrafficPlan plan = opt_.plan;
        plan.first_call_id = next_call_id_;
        traffic_ = std::make_unique<Traffic>(rig_->host, na_, Rig::driver_adapter(na_), *card_, far_, plan);
    }
    return true;
}

bool MainJob::restart(std::string* error)
{
    Rig& r = *rig_;
    if (na_ != nullptr) r.halt(na_);  // completes what the driver held before the traffic goes
    na_ = nullptr;
    if (on_halted) on_halted();
    // The network may still hold the halted adapter's calls: the new ones get other numbers.
    if (traffic_) {
        next_call_id_ = traffic_->next_call_id();
        const auto& lines = traffic_->lines();
        if (earlier_.size() < lines.size()) earlier_.resize(lines.size());
        for (size_t n = 0; n < lines.size(); n++) {
            earlier_[n].calls.add(lines[n].calls);
            earlier_[n].data.add(lines[n].data);
            for (const auto& [kind, c] : lines[n].by_kind) earlier_[n].by_kind[kind].add(c);
            earlier_[n].statistics_read += lines[n].statistics_read;
        }
    }
    traffic_.reset();
    r.host.registry.clear();
    plat::reg::LoadResult loaded;
    if (!opt_.root.empty()) {
        std::string text, why;
        {
            plat::reg::HiveLock lock(opt_.root, false);
            if (!lock.held() || !plat::reg::read_hive_text(opt_.root, &text, &why)) {
                if (error != nullptr) *error = why.empty() ? "cannot lock the hive in " + opt_.root : why;
                return false;
            }
        }
        loaded = r.host.registry.load_reg(text);
    } else {
        loaded = r.host.registry.load_reg(opt_.config_text);
    }
    if (!loaded.ok) {
        if (error != nullptr) *error = "registry.reg line " + std::to_string(loaded.line) + ": " + loaded.message;
        return false;
    }
    // As after a restart of the machine the driver is loaded again (its last halt closed
    // its wrapper); the firmware file is read again by its initialisation.
    if (!r.host.ndis().wrapper_open() && r.load_driver() != 0) {
        if (error != nullptr) *error = "the driver did not load";
        return false;
    }
    bring_up(error);
    return na_ != nullptr;
}

void MainJob::run(const std::atomic<bool>* stop, bool bounded)
{
    wall_start_ns_ = last_progress_ns_ = wall_ns();
    progress_v0_ = rig_->host.now();
    progress_unbounded_ = stop != nullptr && !bounded;
    measured([&] {
        if (opt_.paced || (stop != nullptr && !bounded)) run_paced(stop, bounded || stop == nullptr);
        else run_fixed(plat::ms(opt_.run_ms), stop);
    });
}

void MainJob::measured(const std::function<void()>& fn)
{
    auto& ndis = rig_->host.ndis();
    const plat::VTime v0 = rig_->host.now();
    const uint64_t driver0 = ndis.driver_cpu_ns, register0 = ndis.register_ns, entries0 = ndis.driver_entries,
                   accesses0 = ndis.register_accesses;
    ndis.measure_driver_cpu = true;
    ndis.driver_cpu_sample = 8;  // always on: a sample keeps its cost small
    fn();
    progress(true);
    ndis.measure_driver_cpu = false;
    auto& d = summary_.driver_cpu;
    d.simulated_seconds += double(rig_->host.now() - v0) / 1e6;
    d.driver_ns += ndis.driver_cpu_ns - driver0;
    d.register_ns += ndis.register_ns - register0;
    d.entries += ndis.driver_entries - entries0;
    d.register_accesses += ndis.register_accesses - accesses0;
}

void MainJob::run_for(uint64_t ms, const std::atomic<bool>* stop) { run_fixed(plat::ms(ms), stop); }

void MainJob::run_fixed(plat::VTime length, const std::atomic<bool>* stop)
{
    const plat::VTime end = rig_->host.now() + length;
    while (rig_->host.now() < end && (stop == nullptr || !stop->load())) {
        rig_->host.run_until(std::min(end, rig_->host.now() + plat::ms(100)));
        trim();
        pollers_.run();
        progress(false);
    }
}

void MainJob::run_paced(const std::atomic<bool>* stop, bool bounded)
{
    plat::Host& h = rig_->host;
    const plat::VTime v0 = h.now();
    const int64_t w0 = wall_ns();
    const plat::VTime end = v0 + plat::ms(opt_.run_ms);
    for (;;) {
        if ((stop != nullptr && stop->load()) || (bounded && h.now() >= end)) break;
        plat::VTime target = v0 + plat::VTime((wall_ns() - w0) / 1000);
        if (bounded) target = std::min(target, end);
        if (target > h.now()) h.run_until(target);
        trim();
        pollers_.run();
        progress(false);
        // Sleep until the next event is due on the wall clock, or input comes, at most 5 ms.
        const plat::VTime next = h.sched.next_time();
        const plat::VTime now_v = v0 + plat::VTime((wall_ns() - w0) / 1000);
        plat::VTime wait = next > now_v ? next - now_v : 0;
        pollers_.wait(std::chrono::microseconds(std::min<plat::VTime>(wait, 5000)));
    }
}

void MainJob::trim()
{
    // Nobody reads the models' register-write and request logs nor the robbed-bit far
    // ends' records in a run of the main job: kept, they would grow with every call
    // made until their limits, long after the run has settled.
    for (unsigned n = 0; n < card_->line_count(); n++) {
        if (sim::Framer* f = card_->framer(n)) f->clear_writes();
        if (n < far_.robbed_bit.size() && far_.robbed_bit[n] != nullptr) far_.robbed_bit[n]->clear_log();
    }
    card_->hdlc().clear_writes();
    card_->hdlc().clear_executed();
    card_->clear_latch_writes();
}

void MainJob::progress(bool final)
{
    if (!opt_.progress) return;
    const int64_t now = wall_ns();
    if (final) {
        if (progress_shown_) std::fputc('\n', stderr);
        progress_shown_ = false;
        return;
    }
    if (now - wall_start_ns_ < 2'000'000'000LL || now - last_progress_ns_ < 250'000'000LL) return;
    last_progress_ns_ = now;
    progress_shown_ = true;
    std::fprintf(stderr, "\r%s   ", progress_text().c_str());
    std::fflush(stderr);
}

std::string MainJob::progress_text() const
{
    const int64_t now = wall_ns();
    unsigned up = 0, lines = 0;
    if (Adapter* a = Rig::driver_adapter(na_)) {
        lines = a->NumberOfLines;
        for (ULONG n = 0; n < a->NumberOfLines; n++) up += a->Framer[n].bL1Up ? 1 : 0;
    }
    CallCounters c;
    DataCounters d;
    if (traffic_) {
        c = traffic_->total_calls();
        d = traffic_->total_data();
    }
    // Of the run's length, and the wall time left at the pace so far (serving has no end).
    char of[64] = "";
    if (progress_unbounded_) {
        std::snprintf(of, sizeof of, " (serving)");
    } else if (now > wall_start_ns_ && rig_->host.now() > progress_v0_) {
        const double done = double(rig_->host.now() - progress_v0_), total = double(plat::ms(opt_.run_ms));
        const double left_s = std::max(0.0, total - done) / done * double(now - wall_start_ns_) / 1e9;
        std::snprintf(of, sizeof of, " of %.0f, about %.0f s left", total / 1e6, left_s);
    }
    char text[256];
    std::snprintf(text, sizeof text, "%8.1f s simulated%s, lines up %u/%u, calls %llu connected of %llu offered, %llu bytes verified",
                  double(rig_->host.now() - progress_v0_) / 1e6, of, up, lines, (unsigned long long)c.connected,
                  (unsigned long long)c.offered, (unsigned long long)d.bytes_verified);
    return text;
}

void MainJob::observe(Summary& s)
{
    observe_adapter(Rig::driver_adapter(na_), s);
    if (traffic_) observe_traffic(*traffic_, s);
    for (size_t n = 0; n < earlier_.size() && n < s.lines.size(); n++) {
        const LineTraffic& e = earlier_[n];
        s.lines[n].calls.add(e.calls);
        s.lines[n].data.add(e.data);
        s.lines[n].statistics_read += e.statistics_read;
        s.calls.add(e.calls);
        s.data.add(e.data);
        for (const auto& [kind, c] : e.by_kind) s.calls_by_kind[kind].add(c);
        s.modem_statistics_read += e.statistics_read;
    }
    for (size_t n = 0; n < s.lines.size() && n < far_names_.size(); n++) s.lines[n].far_end = far_names_[n];
    for (size_t n = 0; n < s.lines.size() && n < peers_.size(); n++) {
        if (!peers_[n]) continue;
        const auto& c = peers_[n]->counters();
        auto& p = s.lines[n].peer;
        p.present = true;
        p.path = peers_[n]->path();
        p.connections = c.connections;
        p.to_peer = c.to_peer;
        p.from_peer = c.from_peer;
        p.dropped = c.dropped;
        p.refused = c.refused;
        p.programs_refused = c.programs_refused;
        p.echoed = c.echoed;
    }
    for (size_t n = 0; n < s.lines.size() && n < modems_.size(); n++) {
        if (!modems_[n]) continue;
        auto& c = s.lines[n].com_ports;
        c = {};
        c.present = true;
        for (unsigned ch = 0; ch < sim::ModemPeer::kChannels; ch++) {
            c.calls += modems_[n]->calls(ch);
            c.connected += modems_[n]->calls_connected(ch);
        }
    }
}

// The adapter's D channel on a line hears frames once the adapter is up with layer 1, its
// ISDN stack has let layer 1 settle, and its controller receives on the channel's slot.
bool MainJob::peer_line_ready(unsigned n) const
{
    const Adapter* a = Rig::driver_adapter(na_);
    if (a == nullptr || a->BringUpCompleted != 1 || n >= a->NumberOfLines || !a->Framer[n].bL1Up) return false;
    const ULONG protocol = a->SignallingProtocol[n];
    const auto* stack = static_cast<const ISDN_STACK*>(a->ThisSgnlStack[n]);
    if (protocol < 1 || protocol > 5 || stack == nullptr || stack->LinkState != ISDN_LINK_UP) return false;
    return n < peers_.size() && peers_[n] && card_->tsswitch().reaches_controller(n, peers_[n]->d_channel_mask());
}

// Tells when layer 2 of a peer's line comes up or goes down: calls are made and taken
// only while it is up.
void MainJob::watch_peer_lines()
{
    Adapter* a = Rig::driver_adapter(na_);
    if (a == nullptr) return;
    for (unsigned n = 0; n < peers_.size() && n < a->NumberOfLines; n++) {
        if (!peers_[n] || a->SgnlProtocolOps[n].Control == NULL || a->ThisSgnlStack[n] == NULL) continue;
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        const int state = int(a->SgnlProtocolOps[n].Control(CTL_KIND_GET, CTL_L2_STATE, a->ThisSgnlStack[n], 0));
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        const bool up = state == L2_ESTABLISHED, was = peer_layer2_[n] == L2_ESTABLISHED;
        if (peer_layer2_[n] != -1 && up != was)
            std::fprintf(stderr, "vornet-sim: line %u: layer 2 %s\n", n, up ? "established: calls both ways from now" : "released");
        else if (peer_layer2_[n] == -1 && up)
            std::fprintf(stderr, "vornet-sim: line %u: layer 2 established: calls both ways from now\n", n);
        peer_layer2_[n] = state;
    }
}

Summary MainJob::finish()
{
    Summary s = summary_;
    Rig& r = *rig_;
    if (na_ != nullptr) {
        // An outside program clears its side of the calls meanwhile, in its own time.
        if (traffic_ && opt_.paced)
            traffic_->finish(plat::ms(10000), [this] {
                pollers_.run();
                pollers_.wait(std::chrono::microseconds(10000));
            });
        else if (traffic_)
            traffic_->finish();
        observe(s);
        size_t before = r.host.violations().size();
        r.halt(na_);
        na_ = nullptr;
        s.halted_clean = r.host.violations().size() == before;
    }
    // Every NDIS packet the driver took is completed once, by the halt at the latest.
    if (traffic_) {
        const PacketCounters& p = traffic_->packets();
        if (traffic_->packets_outstanding() != 0)
            s.packet_faults.push_back(std::to_string(traffic_->packets_outstanding()) + " NDIS packet(s) never completed");
        if (p.completed_twice != 0) s.packet_faults.push_back(std::to_string(p.completed_twice) + " NDIS packet(s) completed twice");
        if (p.unknown != 0) s.packet_faults.push_back(std::to_string(p.unknown) + " completion(s) of packets never sent");
        s.halted_clean = s.halted_clean && s.packet_faults.empty();
    }
    traffic_.reset();
    s.simulated_seconds = double(r.host.now()) / 1e6;
    s.error_log = r.host.error_log;
    s.leaked_allocations = r.leaked_allocations();
    s.leaked_mappings = r.leaked_mappings() + r.leaked_shared_memory();
    s.halted_clean = s.halted_clean && s.leaked_allocations == 0 && s.leaked_mappings == 0;
    const auto& v = r.host.violations();
    s.violations.assign(v.begin() + std::min(v.size(), violations_before_), v.end());
    return s;
}

}  // namespace rig
