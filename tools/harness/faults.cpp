#include "tools/harness/faults.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/RSS_DVSP.h"
#include "platform/win32/wire.h"
#include "sim/board/hdlc.h"
#include "tools/harness/device_server.h"

namespace rig {

namespace {

namespace fs = std::filesystem;
using plat::ms;

constexpr uint64_t kRecoveryLimitMs = 30000;
constexpr uint64_t kSettleMs = 1000;  // data on the recovered calls before the checks
// After the checks, for the row's last packets to complete and the calls the fault ended
// to finish clearing.
constexpr uint64_t kRowEndLimitMs = 2000;

const std::vector<FaultInfo> kFaults = {
    {FaultKind::ModemSilent, "modem-silent", "a modem processor stops answering until its reset"},
    {FaultKind::SignalLoss, "signal-loss", "a line loses its signal for 2 s"},
    {FaultKind::DFramesDropped, "d-drop", "D-channel frames from the network dropped for 3 s"},
    {FaultKind::DFramesDoubled, "d-double", "D-channel frames from the network duplicated for 3 s"},
    {FaultKind::DFramesCorrupted, "d-corrupt", "D-channel frames from the network cut short for 3 s"},
    {FaultKind::HdlcAcksLost, "hdlc-acks", "HDLC service-request acknowledgements lost"},
    {FaultKind::HangCheckReset, "hang-reset", "NDIS's hang check resets the adapter"},
    {FaultKind::HaltWithCallsUp, "halt", "the adapter halted with calls up and sends queued, then started"},
    {FaultKind::SocketClosed, "socket-closed", "a management client's socket closed in mid-request"},
};

struct Snapshot {
    CallCounters calls;
    DataCounters data;
    PacketCounters packets;
    std::vector<uint32_t> connected;
    size_t violations = 0;
};

Snapshot take(MainJob& job)
{
    Snapshot s;
    if (Traffic* t = job.traffic()) {
        s.calls = t->total_calls();
        s.data = t->total_data();
        s.packets = t->packets();
        s.connected = t->connected_ids();
    }
    s.violations = job.rig().host.violations().size();
    return s;
}

Adapter* driver(MainJob& job) { return job.adapter() != nullptr ? Rig::driver_adapter(job.adapter()) : nullptr; }

std::vector<unsigned> isdn_lines(MainJob& job)
{
    std::vector<unsigned> lines;
    for (unsigned n = 0; n < sim::kMaxLines; n++)
        if (job.far_ends().isdn[n] != nullptr) lines.push_back(n);
    return lines;
}

// The processors the driver runs, by "socket/processor".
std::vector<std::string> running_processors(MainJob& job)
{
    std::vector<std::string> running;
    Adapter* a = driver(job);
    if (a == nullptr) return running;
    Summary s;
    observe_adapter(a, s);
    for (const auto& p : s.processors)
        if (p.state == "CSM_RUNNING") running.push_back(std::to_string(p.socket) + "/" + std::to_string(p.processor));
    return running;
}

// A processor still loading its firmware or being reset: its pumps take no call yet.
bool processors_booting(MainJob& job)
{
    Adapter* a = driver(job);
    if (a == nullptr) return false;
    bool booting = false;
    with_adapter_lock(a, [&] {
        for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++) {
            const DimmSocket& socket = a->Socket[s];
            if (socket.Present != 1) continue;
            for (unsigned c = 0; c < socket.ProcessorCount && c < MAX_CSMS_PER_SOCKET; c++)
                booting = booting || (socket.Csms[c].State != CSM_RUNNING && socket.Csms[c].State != CSM_DEAD);
        }
    });
    return booting;
}

std::vector<unsigned> layer2_down(MainJob& job)
{
    std::vector<unsigned> down;
    for (unsigned n : isdn_lines(job))
        if (!job.far_ends().isdn[n]->link_up()) down.push_back(n);
    return down;
}

size_t pool_bytes(MainJob& job)
{
    size_t n = 0;
    for (const auto& [p, len] : job.rig().host.allocations) n += len;
    return n;
}

// A management client that sends its request and closes its socket before the reply.
void close_in_mid_request(MainJob& job, std::vector<std::string>& problems)
{
    namespace wire = vornet::wire;
    char tmpl[] = "/tmp/vornet-fault-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        problems.push_back("no temporary directory for the device server");
        return;
    }
    const fs::path root(tmpl);
    {
        DeviceServer server(job.rig(), root);
        server.service();
        auto connect = [&]() {
            int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, (root / "VORNET1").c_str(), sizeof a.sun_path - 1);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(fd);
                return -1;
            }
            return fd;
        };
        auto request = [](uint32_t kind, bool with_record) {
            constexpr uint32_t kIoctl = 0x00170002, kOid = 0xFF000000;  // IOCTL_NDIS_QUERY_GLOBAL_STATS
            const uint32_t out = with_record ? BACKDOOR_REQUEST_SIZE : 0;
            wire::RequestHeader h{wire::kRequestMagic, kind, kIoctl, with_record ? 4u : 0u, out};
            std::vector<uint8_t> d(sizeof h + h.input_length + out, 0);
            std::memcpy(d.data(), &h, sizeof h);
            if (with_record) {
                std::memcpy(d.data() + sizeof h, &kOid, 4);
                BACKDOOR_REQUEST_HEADER r{};
                r.Signature = BACKDOOR_SIGNATURE;
                r.BufferLength = BACKDOOR_REQUEST_SIZE;
                std::memcpy(d.data() + sizeof h + 4, &r, sizeof r);
            }
            return d;
        };
        auto send = [](int fd, const std::vector<uint8_t>& d) {
            return ::send(fd, d.data(), d.size(), MSG_NOSIGNAL) == ssize_t(d.size());
        };
        // The client opens the device, sends a request and goes before its reply.
        int fd = connect();
        if (fd < 0) {
            problems.push_back("the adapter's device socket is not there");
        } else {
            send(fd, request(wire::kCreate, false));
            server.service();
            send(fd, request(wire::kDeviceControl, true));
            ::close(fd);
            server.service();
            job.run_for(100);
            server.service();
        }
        // Another client is served whole.
        fd = connect();
        bool served = false;
        if (fd >= 0) {
            send(fd, request(wire::kCreate, false));
            server.service();
            send(fd, request(wire::kDeviceControl, true));
            server.service();
            std::vector<uint8_t> reply(sizeof(wire::ReplyHeader) + BACKDOOR_REQUEST_SIZE + 64);
            ssize_t n;
            do {
                n = ::recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
                if (n >= ssize_t(sizeof(wire::ReplyHeader))) {
                    wire::ReplyHeader h{};
                    std::memcpy(&h, reply.data(), sizeof h);
                    served = h.magic == wire::kReplyMagic && h.status == 0 && h.information == BACKDOOR_REQUEST_SIZE;
                }
            } while (n > 0);
            ::close(fd);
            server.service();
        }
        if (!served) problems.push_back("a management request after the closed one was not served");
    }
    std::error_code ec;
    fs::remove_all(root, ec);
}

// A command to a pump of a modem processor through the management service: the first
// pump that takes one; false when every pump is busy with an event of its own.
bool ask_pump(MainJob& job, unsigned socket, unsigned processor, const std::function<void(const std::string&)>& problem)
{
    constexpr uint32_t kOid = 0xFF000000;  // the management request
    if (job.adapter() == nullptr) {
        problem("no adapter to ask");
        return false;
    }
    for (uint32_t pump = 0; pump < sim::ModemSocket::kMaxPumps; pump++) {
        std::vector<uint8_t> rec(BACKDOOR_REQUEST_SIZE, 0);
        BACKDOOR_REQUEST_HEADER h{};
        h.Signature = BACKDOOR_SIGNATURE;
        h.Class = BACKDOOR_CLASS_WRITE;
        h.Action = BACKDOOR_WRITE_CSM_COMMAND;
        h.BufferLength = BACKDOOR_REQUEST_SIZE;
        h.Arg[0] = socket;
        h.Arg[1] = processor;
        h.Arg[2] = pump;
        h.Arg[3] = 1;  // a command class
        const char text[] = "AT\r";
        h.Segment[0].Offset = BACKDOOR_HEADER_SIZE;
        h.Segment[0].Length = sizeof text - 1;
        std::memcpy(rec.data(), &h, sizeof h);
        std::memcpy(rec.data() + BACKDOOR_HEADER_SIZE, text, sizeof text - 1);
        ULONG written = 0, needed = 0;
        if (job.rig().host.ndis().query(job.adapter(), kOid, rec.data(), ULONG(rec.size()), &written, &needed) !=
            NDIS_STATUS_SUCCESS) {
            problem("the management request to the processor was refused");
            return false;
        }
        std::memcpy(&h, rec.data(), sizeof h);
        if (h.Status == BACKDOOR_STATUS_PENDING || h.Status == BACKDOOR_STATUS_OK) return true;
    }
    return false;
}

}  // namespace

const std::vector<FaultInfo>& fault_list() { return kFaults; }

size_t warm_up(MainJob& job, uint64_t limit_ms, const std::atomic<bool>* stop)
{
    plat::Host& h = job.rig().host;
    const plat::VTime limit = h.now() + ms(limit_ms);
    size_t last = 0;
    plat::VTime since = h.now();
    while (h.now() < limit && job.traffic() != nullptr && (stop == nullptr || !stop->load())) {
        job.run_for(100);
        const size_t n = job.traffic()->connected_calls();
        if (n != last || !layer2_down(job).empty() || processors_booting(job)) {
            last = n;
            since = h.now();
        } else if (n > 0 && n == job.traffic()->active_calls() && h.now() - since >= ms(1500) &&
                   (!job.options().plan.full_load || job.traffic()->idle_channels() == 0)) {
            break;
        }
    }
    return last;
}

bool parse_fault(const std::string& name, FaultKind& kind)
{
    for (const auto& f : kFaults)
        if (name == f.name) {
            kind = f.kind;
            return true;
        }
    return false;
}

const char* fault_name(FaultKind kind)
{
    for (const auto& f : kFaults)
        if (f.kind == kind) return f.name;
    return "?";
}

FaultRow run_fault(MainJob& job, FaultKind kind, uint64_t seed, uint64_t owed)
{
    FaultRow row;
    row.fault = fault_name(kind);
    plat::Host& h = job.rig().host;
    sim::Card& card = *job.card();
    const Snapshot before = take(job);
    // The row's packets: those handed to the driver from here to its checks.
    uint32_t window = job.traffic() != nullptr ? job.traffic()->open_packet_window() : 0;
    PacketCounters window_at_halt;  // those of the traffic a halt took away
    const std::vector<std::string> processors_before = running_processors(job);
    row.calls_before = before.connected.size() + owed;
    // Calls up before the fault that their own plan cleared meanwhile need not come back.
    size_t cleared_by_plan = 0;
    auto count_cleared = [&] {
        if (Traffic* t = job.traffic())
            for (uint32_t id : before.connected) cleared_by_plan += t->cleared_by_plan(id);
    };
    const std::vector<unsigned> isdn = isdn_lines(job);
    auto problem = [&](const std::string& p) { row.problems.push_back(p); };

    // Of the calls up when it began, those it ended (calls connected since are not the row's).
    auto dropped_of_before = [&]() -> uint64_t {
        uint64_t n = 0;
        if (Traffic* t = job.traffic())
            for (uint32_t id : before.connected) n += t->dropped_by_fault(id);
        return n;
    };
    // What the old traffic showed when a halt took it away.
    bool halted = false;
    uint64_t dropped_at_halt = 0;
    Snapshot at_halt;
    size_t outstanding_at_halt = 0;
    // The calls the halted adapter placed, as the network held them: by line, number.
    std::map<std::pair<unsigned, std::string>, sim::CallInfo> placed_at_halt;

    switch (kind) {
    case FaultKind::ModemSilent: {
        std::vector<std::pair<unsigned, unsigned>> procs;
        for (unsigned s = 0; s < sim::kMaxSockets; s++)
            if (sim::ModemSocket* m = card.modem(s))
                for (unsigned c = 0; c < m->processors(); c++) procs.push_back({s, c});
        if (procs.empty()) {
            row.where = "no processor";
            break;
        }
        // The processor stops answering from its next message on. An idle one is not
        // talked to and its silence not noticed: a management client asks a pump of it
        // something, as the applet does; where every pump is busy with an event of its own,
        // a processor the driver talks to by itself is taken instead.
        auto talked_to = [&](size_t i) {
            const plat::VTime since = h.now();
            job.run_for(500);
            for (const auto& msg : card.modem(procs[i].first)->messages())
                if (msg.processor == procs[i].second && msg.running && msg.time >= since) return true;
            return false;
        };
        size_t pick = seed % procs.size();
        bool asked = false;
        for (size_t k = 0; k < procs.size() && !asked; k++) {
            const size_t i = (seed + k) % procs.size();
            if (ask_pump(job, procs[i].first, procs[i].second, problem)) {
                pick = i;
                asked = true;
            }
        }
        for (size_t k = 0; k < procs.size() && !asked; k++) {
            const size_t i = (seed + k) % procs.size();
            if (talked_to(i)) {
                pick = i;
                asked = true;
            }
        }
        auto [s, c] = procs[pick];
        row.where = "processor " + std::to_string(s) + "/" + std::to_string(c);
        sim::ModemSocket* m = card.modem(s);
        const uint32_t resets = m->resets(c);
        m->stall_at(c, 1);
        job.run_for(2000);
        // It answers again only once the driver has noticed and reset it.
        const plat::VTime limit = h.now() + ms(kRecoveryLimitMs);
        while (asked && m->resets(c) == resets && h.now() < limit) job.run_for(100);
        if (m->resets(c) == resets && asked) problem("the silent processor was never reset");
        if (!asked) row.where += " (idle)";
        row.exercised = asked;
        break;
    }
    case FaultKind::SignalLoss: {
        const unsigned n = unsigned(seed % card.line_count());
        row.where = "line " + std::to_string(n);
        card.line(n).take_down();
        job.run_for(2000);
        card.line(n).bring_up();
        break;
    }
    case FaultKind::DFramesDropped:
    case FaultKind::DFramesDoubled:
    case FaultKind::DFramesCorrupted: {
        if (isdn.empty()) {
            row.where = "no D channel";
            break;
        }
        const unsigned n = isdn[seed % isdn.size()];
        row.where = "line " + std::to_string(n);
        const sim::FrameFault f = kind == FaultKind::DFramesDropped   ? sim::FrameFault::Drop
                                  : kind == FaultKind::DFramesDoubled ? sim::FrameFault::Duplicate
                                                                      : sim::FrameFault::Runt;
        sim::IsdnNetworkSide* net = job.far_ends().isdn[n];
        unsigned injected = 0;
        for (int i = 0; i < 30; i++) {
            if (net->faults_pending() == 0) {
                net->inject(f, false);
                injected++;
            }
            job.run_for(100);
        }
        // The fault ends with its window: on an idle link the last one would wait for the
        // network's next frame, after the checks below have begun. A window no frame
        // crossed exercised nothing.
        if (injected == net->faults_pending()) row.exercised = false;
        net->clear_faults();
        break;
    }
    case FaultKind::HdlcAcksLost: {
        // Calls end and start again meanwhile, so channels are deactivated and activated.
        row.where = "controller";
        card.hdlc().knobs.lose_acks = 3;
        if (!isdn.empty()) {
            sim::IsdnNetworkSide* net = job.far_ends().isdn[isdn[seed % isdn.size()]];
            std::vector<sim::CallKey> keys;
            for (const auto& c : net->calls())
                if (c.state == sim::NetState::Active && keys.size() < 3) keys.push_back(c.key);
            for (const auto& k : keys) net->clear_call(k);
        }
        job.run_for(2000);
        card.hdlc().knobs.lose_acks = 0;
        break;
    }
    case FaultKind::HangCheckReset: {
        row.where = "adapter";
        // The state a failed bring-up of the data interface leaves; the hang check finds it.
        Adapter* a = driver(job);
        if (a != nullptr) with_adapter_lock(a, [a] { a->AdapterFailed = 1; });
        const uint64_t resets = job.adapter() != nullptr ? job.adapter()->resets : 0;
        job.run_for(h.ndis().hang_check_period / 1000 + 500);
        if (job.adapter() != nullptr && job.adapter()->resets == resets) problem("the hang check did not reset the adapter");
        break;
    }
    case FaultKind::HaltWithCallsUp: {
        row.where = "adapter";
        if (job.traffic() != nullptr) job.traffic()->abandon();
        job.on_halted = [&] {
            halted = true;
            count_cleared();
            at_halt = take(job);
            dropped_at_halt = dropped_of_before();
            for (unsigned n : isdn)
                for (const auto& c : job.far_ends().isdn[n]->calls())
                    if (c.key.user_originated) placed_at_halt[{n, c.called}] = c;
            if (job.traffic() != nullptr) {
                outstanding_at_halt = job.traffic()->packets_outstanding();
                window_at_halt = job.traffic()->packet_window(window);
            }
            if (!job.rig().host.allocations.empty())
                problem(std::to_string(job.rig().host.allocations.size()) + " allocation(s) left after the halt");
            if (job.rig().leaked_mappings() + job.rig().leaked_shared_memory() != 0) problem("mappings or shared memory left after the halt");
        };
        std::string why;
        if (!job.restart(&why)) problem("the adapter did not start again: " + why);
        job.on_halted = nullptr;
        if (job.traffic() != nullptr) window = job.traffic()->open_packet_window();
        break;
    }
    case FaultKind::SocketClosed:
        row.where = "VORNET1";
        close_in_mid_request(job, row.problems);
        break;
    }

    // Recovery: every ISDN line's layer 2, the processors that ran, every call back.
    const plat::VTime limit = h.now() + ms(kRecoveryLimitMs);
    auto missing = [&]() -> uint64_t {
        Traffic* t = job.traffic();
        if (!halted) {
            cleared_by_plan = 0;
            count_cleared();
        }
        const uint64_t due = row.calls_before - std::min<uint64_t>(row.calls_before, cleared_by_plan);
        const uint64_t up = t != nullptr ? t->connected_calls() : 0;
        return due > up ? due - up : 0;
    };
    auto recovered = [&] {
        if (missing() != 0 || !layer2_down(job).empty()) return false;
        return running_processors(job).size() >= processors_before.size();
    };
    // A link still recovering may be re-established once more after it: the checks wait
    // for a state that holds over the settling time.
    for (;;) {
        while (h.now() < limit && !recovered()) job.run_for(100);
        job.run_for(kSettleMs);
        if (recovered() || h.now() >= limit) break;
    }
    // The row ends once the packets handed during it are completed and the calls the fault
    // ended have cleared, so that what they lost is counted in it.
    if (Traffic* t = job.traffic()) {
        t->close_packet_window();
        const plat::VTime end = h.now() + ms(kRowEndLimitMs);
        auto open = [&] {
            const PacketCounters p = t->packet_window(window);
            return p.completed < p.handed || t->dropped_calls_clearing() != 0;
        };
        while (h.now() < end && open()) job.run_for(10);
    }

    const Snapshot now = take(job);
    // Counters of the traffic that ran over the whole fault; after a halt, the old
    // traffic's until the halt, and the new one's since.
    Snapshot from = before;
    CallCounters calls;
    DataCounters data;
    PacketCounters packets;
    auto delta_calls = [](const CallCounters& a, const CallCounters& b) {
        CallCounters d;
        d.dropped = a.dropped - b.dropped;
        d.stuck = a.stuck - b.stuck;
        d.untold = a.untold - b.untold;
        d.connected = a.connected - b.connected;
        return d;
    };
    auto delta_packets = [](const PacketCounters& a, const PacketCounters& b) {
        PacketCounters d;
        d.handed = a.handed - b.handed;
        d.completed = a.completed - b.completed;
        d.completed_twice = a.completed_twice - b.completed_twice;
        d.unknown = a.unknown - b.unknown;
        return d;
    };
    if (halted) {
        calls = delta_calls(at_halt.calls, before.calls);
        calls.add(now.calls);
        packets = delta_packets(at_halt.packets, before.packets);
        packets.add(now.packets);
        data.bytes_lost = at_halt.data.bytes_lost - before.data.bytes_lost + now.data.bytes_lost;
        data.frames_corrupt = at_halt.data.frames_corrupt - before.data.frames_corrupt + now.data.frames_corrupt;
        from = Snapshot{};
    } else {
        calls = delta_calls(now.calls, before.calls);
        packets = delta_packets(now.packets, before.packets);
        data.bytes_lost = now.data.bytes_lost - before.data.bytes_lost;
        data.frames_corrupt = now.data.frames_corrupt - before.data.frames_corrupt;
    }

    size_t survivors = 0;
    for (uint32_t id : now.connected)
        if (std::find(from.connected.begin(), from.connected.end(), id) != from.connected.end()) survivors++;
    row.calls_dropped = halted ? dropped_at_halt : dropped_of_before();
    row.calls_recovered = now.connected.size() - survivors;
    PacketCounters in_row = job.traffic() != nullptr ? job.traffic()->packet_window(window) : PacketCounters{};
    if (halted) in_row.add(window_at_halt);
    row.packets_handed = in_row.handed;
    row.packets_completed = in_row.completed;
    row.packets_uncompleted = in_row.handed - in_row.completed;
    row.bytes_lost = data.bytes_lost;

    if (outstanding_at_halt != 0) problem(std::to_string(outstanding_at_halt) + " packet(s) never completed by the halt");
    if (packets.completed_twice != 0) problem(std::to_string(packets.completed_twice) + " packet(s) completed twice");
    if (packets.unknown != 0) problem(std::to_string(packets.unknown) + " completion(s) of packets never sent");
    if (calls.stuck != 0) problem(std::to_string(calls.stuck) + " call(s) half-open: one end never cleared");
    if (calls.untold != 0) problem(std::to_string(calls.untold) + " call(s) ended without the line down told to their owner");
    if (data.frames_corrupt != 0) problem(std::to_string(data.frames_corrupt) + " frame(s) arrived changed or out of order");
    if (Traffic* t = job.traffic())
        for (auto& p : t->check_links()) problem(p);
    row.calls_missing = missing();
    if (row.calls_missing != 0) {
        problem("calls did not come back: " + std::to_string(job.traffic() ? job.traffic()->connected_calls() : 0) + " of " +
                std::to_string(row.calls_before - std::min<uint64_t>(row.calls_before, cleared_by_plan)) + " connected" +
                (owed != 0 ? " (" + std::to_string(owed) + " left down by an earlier fault)" : std::string()));
    }
    if (row.calls_before == 0) row.exercised = false;
    // A call placed after the halt under the number of one the network held then could be
    // taken for it.
    for (unsigned n : isdn)
        for (const auto& c : job.far_ends().isdn[n]->calls()) {
            auto it = placed_at_halt.find({n, c.called});
            if (c.key.user_originated && it != placed_at_halt.end() && (it->second.key != c.key || it->second.channel != c.channel))
                problem("line " + std::to_string(n) + ": a new call dialled " + c.called + ", the number of a call placed before the halt");
        }
    for (unsigned n : layer2_down(job)) problem("line " + std::to_string(n) + ": layer 2 did not come back");
    if (running_processors(job).size() < processors_before.size())
        problem("modem processors running: " + std::to_string(running_processors(job).size()) + " of " +
                std::to_string(processors_before.size()));
    const auto& v = h.violations();
    for (size_t i = std::min(before.violations, v.size()); i < v.size(); i++) problem("platform misuse: " + v[i]);
    return row;
}

const FaultRow& run_next_fault(MainJob& job, FaultKind kind, std::vector<FaultRow>& rows)
{
    const uint64_t owed = rows.empty() ? 0 : rows.back().calls_missing;
    rows.push_back(run_fault(job, kind, rows.size(), owed));
    return rows.back();
}

namespace {

FaultRow row_totals(const std::vector<FaultRow>& rows)
{
    FaultRow t;
    for (const auto& r : rows) {
        t.packets_handed += r.packets_handed;
        t.packets_completed += r.packets_completed;
        t.packets_uncompleted += r.packets_uncompleted;
        t.bytes_lost += r.bytes_lost;
    }
    return t;
}

}  // namespace

std::string fault_table(const std::vector<FaultRow>& rows)
{
    std::ostringstream o;
    char line[256];
    std::snprintf(line, sizeof line, "%-14s %-14s %8s %8s %10s %10s %10s %11s %10s  %s\n", "fault", "where", "calls", "dropped",
                  "recovered", "packets", "completed", "uncompleted", "bytes lost", "result");
    o << line;
    for (const auto& r : rows) {
        std::snprintf(line, sizeof line, "%-14s %-14s %8llu %8llu %10llu %10llu %10llu %11llu %10llu  %s\n", r.fault.c_str(),
                      r.where.c_str(), (unsigned long long)r.calls_before, (unsigned long long)r.calls_dropped,
                      (unsigned long long)r.calls_recovered, (unsigned long long)r.packets_handed,
                      (unsigned long long)r.packets_completed, (unsigned long long)r.packets_uncompleted,
                      (unsigned long long)r.bytes_lost, !r.problems.empty() ? "FAILED" : r.exercised ? "ok" : "not exercised");
        o << line;
        for (const auto& p : r.problems) o << "    " << p << "\n";
    }
    const FaultRow t = row_totals(rows);
    std::snprintf(line, sizeof line, "%-14s %-14s %8s %8s %10s %10llu %10llu %11llu %10llu\n", "all rows", "", "", "", "",
                  (unsigned long long)t.packets_handed, (unsigned long long)t.packets_completed,
                  (unsigned long long)t.packets_uncompleted, (unsigned long long)t.bytes_lost);
    o << line;
    o << "calls: connected when the fault began (with those an earlier fault left down); dropped: of the calls\n"
         "connected then, those it ended (so never more than calls); recovered: new calls connected in their\n"
         "place. packets: NDIS packets handed to the driver from the fault's start to the checks after its\n"
         "recovery; completed: of those, completed once by the row's end\n"
         "(it waits up to " << kRowEndLimitMs / 1000 << " s for the last ones); uncompleted: packets - completed, never completed by then.\n"
         "bytes lost: data the calls sent either way that never arrived, lost from the fault's start to the row's\n"
         "end (counted when a later frame of its call arrived, or the call ended; the packets carrying it may\n"
         "have been completed: lost on the line or in the adapter).\n";
    return o.str();
}

std::string fault_table_json(const std::vector<FaultRow>& rows)
{
    std::ostringstream o;
    o << "[";
    for (size_t i = 0; i < rows.size(); i++) {
        const auto& r = rows[i];
        o << (i ? ", " : "") << "{\"fault\": " << json_string(r.fault) << ", \"where\": " << json_string(r.where)
          << ", \"calls\": " << r.calls_before << ", \"dropped\": " << r.calls_dropped
          << ", \"recovered\": " << r.calls_recovered << ", \"packets\": " << r.packets_handed
          << ", \"completed\": " << r.packets_completed << ", \"uncompleted\": " << r.packets_uncompleted
          << ", \"bytes_lost\": " << r.bytes_lost << ", \"ok\": " << (r.problems.empty() ? "true" : "false")
          << ", \"problems\": [";
        for (size_t j = 0; j < r.problems.size(); j++) o << (j ? ", " : "") << json_string(r.problems[j]);
        o << "]}";
    }
    o << "]";
    return o.str();
}

std::string fault_bytes_note(const std::vector<FaultRow>& rows, uint64_t run_bytes_lost)
{
    const uint64_t in_rows = row_totals(rows).bytes_lost;
    return "bytes lost in the whole run (the line table's): " + std::to_string(run_bytes_lost) + "; in the rows above " +
           std::to_string(in_rows) + ", outside them (before the first fault, between faults, in the wind-down) " +
           std::to_string(run_bytes_lost - std::min(run_bytes_lost, in_rows)) + "\n";
}

std::string fault_totals_json(const std::vector<FaultRow>& rows, uint64_t run_bytes_lost)
{
    const FaultRow t = row_totals(rows);
    return "\"faults_total\": {\"packets\": " + std::to_string(t.packets_handed) + ", \"completed\": " +
           std::to_string(t.packets_completed) + ", \"uncompleted\": " + std::to_string(t.packets_uncompleted) +
           ", \"bytes_lost\": " + std::to_string(t.bytes_lost) + "}, \"bytes_lost_outside_faults\": " +
           std::to_string(run_bytes_lost - std::min(run_bytes_lost, t.bytes_lost));
}

SoakResult soak(MainJob& job, uint64_t simulated_ms, uint64_t seed, const std::atomic<bool>* stop)
{
    SoakResult res;
    plat::Host& h = job.rig().host;
    std::mt19937_64 rng(seed);
    const plat::VTime end = h.now() + ms(simulated_ms);
    auto stopped = [stop] { return stop != nullptr && stop->load(); };
    res.memory_start = res.memory_peak = pool_bytes(job);
    while (h.now() < end && !stopped()) {
        job.run_for(1000 + rng() % 4000, stop);
        if (h.now() >= end || stopped()) break;
        const auto& f = kFaults[rng() % kFaults.size()];
        const uint64_t owed = res.rows.empty() ? 0 : res.rows.back().calls_missing;
        res.rows.push_back(run_fault(job, f.kind, rng(), owed));
        const size_t bytes = pool_bytes(job);
        res.memory_peak = std::max(res.memory_peak, bytes);
        // Flat: after each recovery the driver holds what it held with the same calls up.
        if (bytes > res.memory_start + res.memory_start / 10)
            res.problems.push_back("after " + res.rows.back().fault + " the driver holds " + std::to_string(bytes) +
                                   " bytes, " + std::to_string(res.memory_start) + " at the start");
    }
    res.memory_end = pool_bytes(job);
    for (const auto& r : res.rows)
        for (const auto& p : r.problems) res.problems.push_back(r.fault + " (" + r.where + "): " + p);
    return res;
}

}  // namespace rig
