// Faults injected into a running main job while its calls are up and data flows, and
// what is checked after each: no platform misuse; every NDIS packet completed exactly
// once; every call still up or cleared at both ends with its owner told (no half-open
// call, no Link bound to a call that no one is making); layer 2 and new calls back
// once the fault has ended; nothing leaked at a halt.
//
// A seeded soak draws faults at random from the same list and checks the same after
// each, and that the memory the host holds stays flat.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/harness/main_job.h"

namespace rig {

enum class FaultKind {
    ModemSilent,       // a modem processor stops taking messages until it is reset
    SignalLoss,        // a line loses its signal for 2 s
    DFramesDropped,    // D-channel frames from the network lost for a while
    DFramesDoubled,    // ... reaching the adapter twice
    DFramesCorrupted,  // ... cut short
    HdlcAcksLost,      // HDLC service-request acknowledgements never written
    HangCheckReset,    // NDIS's hang check finds the adapter failed and resets it
    HaltWithCallsUp,   // the adapter halted with calls up and sends queued, then started again
    SocketClosed,      // a management client's socket closed in the middle of its request
};

struct FaultInfo {
    FaultKind kind;
    const char* name;  // as --fault takes it
    const char* what;
};
const std::vector<FaultInfo>& fault_list();
bool parse_fault(const std::string& name, FaultKind& kind);
const char* fault_name(FaultKind kind);

struct FaultRow {
    std::string fault;
    std::string where;  // the line or processor it hit
    uint64_t calls_before = 0;     // connected when it began, with those an earlier fault left down
    uint64_t calls_dropped = 0;    // of the calls connected when it began, those it ended
    uint64_t calls_recovered = 0;  // new calls connected in their place
    // NDIS packets handed to the driver from the fault's start to the checks after its
    // recovery; of those, completed (once) by the row's end (it waits a while for the last
    // ones, and a halt completes or loses them); and those not: handed - completed.
    uint64_t packets_handed = 0, packets_completed = 0, packets_uncompleted = 0;
    // Data the calls sent either way that never arrived, lost from the fault's start to
    // the row's end: counted when a later frame of its call arrives, or the call ends.
    uint64_t bytes_lost = 0;
    uint64_t calls_missing = 0;    // of calls_before, neither back nor cleared by their plan
    bool exercised = true;         // it hit calls or a processor the driver talks to (a D-channel fault: a frame)
    std::vector<std::string> problems;  // invariants it broke; empty when sound
};

// Runs until every line's calls are up: the count of connected calls has held for a
// while, no modem processor is still booting and, at full load, every channel carries
// a call (modem calls wait for their processors to boot) (at most `limit_ms`, less once
// *stop is set). Answers the count.
size_t warm_up(MainJob& job, uint64_t limit_ms = 40000, const std::atomic<bool>* stop = nullptr);

// Injects one fault into a job started with traffic (normally the four-line board at
// full load), runs the clock through it and through the recovery, and reports. `seed`
// picks the line or processor it hits. `owed`: calls an earlier fault left down, which
// must be back after this one too. Every call up before it must be up after it, or
// cleared by its own plan, or replaced by a new call; a fault that found no call up
// (nor, for a silent processor, one the driver talks to) is reported as not exercised.
FaultRow run_fault(MainJob& job, FaultKind kind, uint64_t seed = 0, uint64_t owed = 0);
// The next fault of a list: seeded with its place in the list and owing what the row
// before it left down. Appends its row to `rows` and answers it.
const FaultRow& run_next_fault(MainJob& job, FaultKind kind, std::vector<FaultRow>& rows);

// The rows as a table: fault, calls before, dropped, recovered, packets, completed,
// uncompleted, bytes lost; the rows' totals and what each column counts.
std::string fault_table(const std::vector<FaultRow>& rows);
// The same rows as a JSON array, one object per fault.
std::string fault_table_json(const std::vector<FaultRow>& rows);
// The rows' bytes lost against the run's (`run_bytes_lost`, the line table's total): the
// rest was lost outside the rows, before the first fault, between faults or in the
// wind-down. As a sentence, and as JSON members ("faults_total", "bytes_lost_outside_faults").
std::string fault_bytes_note(const std::vector<FaultRow>& rows, uint64_t run_bytes_lost);
std::string fault_totals_json(const std::vector<FaultRow>& rows, uint64_t run_bytes_lost);

struct SoakResult {
    std::vector<FaultRow> rows;
    size_t memory_start = 0, memory_peak = 0, memory_end = 0;  // host allocations, bytes
    std::vector<std::string> problems;
};
// Runs the job for `simulated_ms`, a fault drawn at random (from `seed`) every few
// simulated seconds, checking after each; calls one fault left down are owed by the
// next rows until they are back. Once *stop is set no other fault begins (the one under
// way finishes its row) and it returns.
SoakResult soak(MainJob& job, uint64_t simulated_ms, uint64_t seed, const std::atomic<bool>* stop = nullptr);

}  // namespace rig
