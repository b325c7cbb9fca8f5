// Layouts of the management replies that are read word by word: the driver builds
// them from these indexes and a management client reads them with the same ones. Every
// word is 32-bit little-endian; no reply carries a pointer. Self-contained, so that a
// client can include it without the driver's headers.
#pragma once

#include <cstdint>

// ---- 0/4 (and 0/18), Segment 1: the framer record, 543 words ----
// The words follow the framer record's own field order; words no field fills are 0.
#define BD_FRAMER_IMAGE_WORDS 543          // 2,172 bytes
#define BD_FRAMER_W_LINE 22                // device (line) number
#define BD_FRAMER_W_MODE 23                // bit 0: T1; (v >> 1) & 15 the T1 framing, (v >> 1) & 14 the E1 framing
#define BD_FRAMER_W_PRESENT 24             // 1 when the framer answered with a valid DID
#define BD_FRAMER_W_USED 25                // 1 when the line is in service
#define BD_FRAMER_W_PROTOTYPE 26           // the framer's device code, DID bits 3-0 (3, 4, 7 or 8)
#define BD_FRAMER_W_STATE 28               // 0 no framer .. 9 synchronised
#define BD_FRAMER_W_INT_SELECT 30          // non-zero: loss of signal also interrupts (quick deactivation)
#define BD_FRAMER_W_REG_IMAGE 31           // always 0: the image's pointer means nothing outside
#define BD_FRAMER_W_BASE 32                // bus address of the framer's registers
#define BD_FRAMER_W_MASTER 33              // non-zero when the line is master
#define BD_FRAMER_W_BAD_IRR 39             // interrupts whose request register needed more than one read
#define BD_FRAMER_W_RESETS 48              // framer resets
#define BD_FRAMER_W_INBAND 49              // non-zero for in-band (robbed-bit) signalling
#define BD_FRAMER_W_L1_UP 50               // layer 1 last reported up to the stack
#define BD_FRAMER_W_PH_ACTIVATE 51
#define BD_FRAMER_W_PH_DEACTIVATE 52
#define BD_FRAMER_W_L1_HOLD 55             // non-zero while a forced layer-1 report holds
#define BD_FRAMER_W_COUNTERS 101           // 8 counts: slip, CRC and pattern-error sources
#define BD_FRAMER_W_OVERFLOWS 109          // their 8 overflow counts
#define BD_FRAMER_COUNTERS 8
// Alarm trackers, 8 each, interrupt bit 0x80 first: loss (on) count, recovery (off)
// count, repeats, state. A pulse source (RPDV, ONESEC) has its count in the first word.
#define BD_FRAMER_W_ALARM1 117             // receive alarms (ISR7)
#define BD_FRAMER_W_ALARM2 149             // transmit and loop-code alarms (ISR6)
#define BD_FRAMER_ALARMS 8
#define BD_FRAMER_TRACKER_WORDS 4
#define BD_FRAMER_W_TIMER 181              // 8 frame and multiframe counts (ISR3), bit 0x80 first
#define BD_FRAMER_TIMERS 8
#define BD_FRAMER_W_PATTERN 189            // 6 transmit pattern counts (ISR0), bit 0x20 first
#define BD_FRAMER_PATTERNS 6
#define BD_FRAMER_W_TLOF 195               // 1 while the transmit alarm outlasts a loss of frame
#define BD_FRAMER_W_L1_MACHINE 197         // non-zero: the I.431 layer-1 machines run
#define BD_FRAMER_W_L1_STATE 198           // their state: 0xF0-0xF6 terminal side, 0-6 network side
#define BD_FRAMER_W_L1_EVENT 200           // the last event of the terminal-side machine

// ---- 0/17, Segment 0: the adapter summary, 35 words ----
#define BD_ADAPTER_WORDS 35
#define BD_ADAPTER_W_ID 0                  // AdapterID
#define BD_ADAPTER_W_GROUPS 1
#define BD_ADAPTER_W_LINES 2
#define BD_ADAPTER_W_SOCKETS 3
#define BD_ADAPTER_W_FAILED 4
#define BD_ADAPTER_W_RECORD_SIZE 5
#define BD_ADAPTER_W_HANDLE 6              // names the adapter; not a pointer
#define BD_ADAPTER_W_INSTANCE 7
#define BD_ADAPTER_W_SLOT 8
#define BD_ADAPTER_W_WINDOWS 9             // 4 words: window 0 and board memory, each twice
#define BD_ADAPTER_W_SHARED 13             // 2 words: shared memory
#define BD_ADAPTER_W_SHARED_SIZE 15
#define BD_ADAPTER_W_INTERRUPTS 16         // 4 words: primary vector, level, secondary vector, level
#define BD_ADAPTER_W_DEVICE_NAME 21        // 8 words: 32 characters
#define BD_ADAPTER_W_LINKS 29
#define BD_ADAPTER_W_TAPI_STATE 31
#define BD_ADAPTER_W_DEVICE_ID_BASE 32
#define BD_ADAPTER_W_CODE_SIZE 33

// ---- 0/28, Segment 0: the link dump, 134 words ----
#define BD_LINK_WORDS 134
#define BD_LINK_W_OWNER 0
#define BD_LINK_W_LINK_CONTEXT 1
#define BD_LINK_W_LINE_STATE 2
#define BD_LINK_W_ADDRESS_STATE 3
#define BD_LINK_W_CALL_STATE 4
#define BD_LINK_W_MEDIA_MODE 5
#define BD_LINK_W_BEARER_MODE 6
#define BD_LINK_W_RATE 7
#define BD_LINK_W_TRANSFER_CAPS 8
#define BD_LINK_W_TRANSFER_MODE 9
#define BD_LINK_W_CHANNEL_PROTOCOL 10
#define BD_LINK_W_CLOSING 11
#define BD_LINK_W_CALL_CLOSING 12
#define BD_LINK_W_PACKETS_STATE 13
#define BD_LINK_W_BCH_PROTOCOL 14
#define BD_LINK_W_WRITE_TX_INDEX 15
#define BD_LINK_W_READ_TX_INDEX 16
#define BD_LINK_W_RX_INDEX 17
#define BD_LINK_W_CALL_ORIGINATE 18
#define BD_LINK_W_NETWORK_DISC 19
#define BD_LINK_W_CALL_STATS 20            // 11 counters, in the order of 0/29
#define BD_LINK_W_PUMP_ATTEMPTS 31
#define BD_LINK_W_PUMP 32                  // 3 words: pump, processor, socket; 0xFF each when none
#define BD_LINK_W_INBOUND_B2B 35
#define BD_LINK_W_OUTBOUND_B2B 36
#define BD_LINK_W_TX_LPB_COUNTER 37
#define BD_LINK_W_RX_LPB_COUNTER 38
#define BD_LINK_W_DEBUG_COUNTERS 39        // 12 words: "Dbg TxCnt0" .. "Dbg RxCnt5"
#define BD_LINK_W_B_CHANNEL 51             // 0xFFFFFFFF without a call
#define BD_LINK_W_BYTES_IN 52
#define BD_LINK_W_BYTES_OUT 53
#define BD_LINK_W_CALLING 54               // 40 characters, one per word
#define BD_LINK_W_CALLED 94                // 40 characters, one per word
#define BD_LINK_NUMBER_CHARS 40

// ---- 0/27, Segment 0: the robbed-bit signalling record of one line ----
#define BD_RBS_W_GROUP 107
#define BD_RBS_W_STACK_SIZE 108            // bytes
#define BD_RBS_W_MONITORING 110            // 3 receive-signalling interrupt, 4 polled with the line, 5 free-running
#define BD_RBS_W_PERIOD 111                // polling period, ms
#define BD_RBS_W_WINK 112                  // 3 wink-start timings, in polling periods
#define BD_RBS_W_DIRECTION 122             // 3 network to customer side, 4 the reverse
#define BD_RBS_W_STATUS 123                // 3 init failed, 4 init done, 5 inactive, 6 active, 7 frozen
#define BD_RBS_W_CHANNELS 124              // 32 channel records follow
#define BD_RBS_CHANNELS 32
// One channel record.
#define BD_RBS_CH_RX_BITS 0                // received signalling bits (ABCD in the low nibble)
#define BD_RBS_CH_RX_MESSAGE 1             // 2 none, 3 bad, 4 go on hook, 5 go off hook, 6 ring on, 7 ring off
#define BD_RBS_CH_TX_BITS 2
#define BD_RBS_CH_TX_MESSAGE 3
#define BD_RBS_CH_STATE 4                  // 2 to 20
#define BD_RBS_CH_ENABLED 5
#define BD_RBS_CH_SIGNALLING_TYPE 6        // 3 to 16
#define BD_RBS_CH_BEARER 7                 // 2 to 9
#define BD_RBS_CH_ISDN 8                   // 1 ISDN, 0 analog
#define BD_RBS_CH_ORIGINATING 9            // 1 originating, 0 answering
#define BD_RBS_CH_PROTOCOL 10              // 2 to 7
#define BD_RBS_CHANNEL_WORDS 11
// Then, per channel, three traces of the A bit as the stack recorded them since the
// channel's last call began: received bits, sent bits, channel states. A trace is 32
// 16-bit entries, two to a word, the first in the low half; an entry counts while its
// bit 15 is set, and the first one without it ends the trace.
#define BD_RBS_W_TRACES (BD_RBS_W_CHANNELS + BD_RBS_CHANNELS * BD_RBS_CHANNEL_WORDS)
#define BD_RBS_TRACE_RX 0
#define BD_RBS_TRACE_TX 1
#define BD_RBS_TRACE_STATE 2
#define BD_RBS_TRACES 3
#define BD_RBS_TRACE_ENTRIES 32
#define BD_RBS_TRACE_WORDS (BD_RBS_TRACE_ENTRIES / 2)
#define BD_RBS_TRACE_VALID 0x8000
#define BD_RBS_RECORD_WORDS (BD_RBS_W_TRACES + BD_RBS_CHANNELS * BD_RBS_TRACES * BD_RBS_TRACE_WORDS)

// Entry i of trace Trace of channel Channel in a robbed-bit record of BD_RBS_RECORD_WORDS.
inline uint16_t BdRbsTraceEntry(const uint32_t* Words, uint32_t Channel, uint32_t Trace, uint32_t i)
{
    uint32_t w = Words[BD_RBS_W_TRACES + (Channel * BD_RBS_TRACES + Trace) * BD_RBS_TRACE_WORDS + i / 2];
    return (uint16_t)(i % 2 == 0 ? w & 0xFFFF : w >> 16);
}

// ---- 0/100, Segment 0: the tagged status snapshot ----
// Words 0 to 2: protocol, framer state, layer-2 state. Then, on a line that is not
// robbed bit, 32 channel entries: entry k is channel k of the line as the signalling
// stack numbers it (the number the layer-3 test page sends as "Channel Id"; on T1 the
// B channels are 1 to 23), whatever the system bus mode makes of it in time slots. An
// entry is the channel's state word, items (tag, count n, n words) and a 0. A robbed-bit
// line has 32 bare channel words. Then per modem socket: module type, 1, and per pump
// an entry of the same form (a pump of an out-of-service processor: 9 and nothing else).
#define BD_SNAPSHOT_HEAD_WORDS 3
#define BD_SNAPSHOT_CHANNELS 32
#define BD_SNAPSHOT_TAG_OWNER 1            // 1 word: the pump's link owner (0 none)
#define BD_SNAPSHOT_TAG_LINE_ID 2          // 1 word: TAPI line (Index + 1 + device ID base) or COM number
#define BD_SNAPSHOT_TAG_PUMP 3             // 3 words: pump, processor, socket serving the channel
#define BD_SNAPSHOT_TAG_TIMESLOT 4         // 1 word: the pump's link's channel on its line
#define BD_SNAPSHOT_CSM_OUT_OF_SERVICE 9
#define BD_SNAPSHOT_ITEM_WORDS_MAX 8

typedef struct _BD_SNAPSHOT_ENTRY {
    uint32_t State;
    uint32_t HasModem;                     // a TAG_PUMP item was present
    uint32_t Pump, Processor, Socket;      // of TAG_PUMP
    uint32_t Owner, LineId, Channel;       // of TAG_OWNER, TAG_LINE_ID, TAG_TIMESLOT (0 when absent)
} BD_SNAPSHOT_ENTRY;

typedef struct _BD_SNAPSHOT {
    uint32_t Protocol, FramerState, Layer2State;
    BD_SNAPSHOT_ENTRY Channel[BD_SNAPSHOT_CHANNELS];
} BD_SNAPSHOT;

// Reads one entry at *At of Words[Count]; false when the words run out first.
inline bool BdSnapshotReadEntry(const uint32_t* Words, uint32_t Count, uint32_t* At, BD_SNAPSHOT_ENTRY* Entry)
{
    *Entry = BD_SNAPSHOT_ENTRY{};
    if (*At >= Count) return false;
    Entry->State = Words[(*At)++];
    for (;;) {
        if (*At >= Count) return false;
        uint32_t tag = Words[(*At)++];
        if (tag == 0) return true;
        if (*At >= Count) return false;
        uint32_t n = Words[(*At)++];
        if (n > Count - *At) return false;
        const uint32_t* v = Words + *At;
        if (tag == BD_SNAPSHOT_TAG_PUMP && n >= 3) {
            Entry->HasModem = 1;
            Entry->Pump = v[0];
            Entry->Processor = v[1];
            Entry->Socket = v[2];
        } else if (tag == BD_SNAPSHOT_TAG_OWNER && n >= 1) {
            Entry->Owner = v[0];
        } else if (tag == BD_SNAPSHOT_TAG_LINE_ID && n >= 1) {
            Entry->LineId = v[0];
        } else if (tag == BD_SNAPSHOT_TAG_TIMESLOT && n >= 1) {
            Entry->Channel = v[0];
        }
        *At += n;
    }
}

#define BD_SNAPSHOT_PROTOCOL_ROBBED_BIT 0

// The head and the 32 channel entries of a snapshot (bare states on a robbed-bit line);
// false when the words end early. *Next, when given, is where the sockets' part begins.
inline bool BdSnapshotParseChannels(const uint32_t* Words, uint32_t Count, BD_SNAPSHOT* Snapshot,
                                    uint32_t* Next = nullptr)
{
    *Snapshot = BD_SNAPSHOT{};
    if (Count < BD_SNAPSHOT_HEAD_WORDS) return false;
    Snapshot->Protocol = Words[0];
    Snapshot->FramerState = Words[1];
    Snapshot->Layer2State = Words[2];
    uint32_t at = BD_SNAPSHOT_HEAD_WORDS;
    for (uint32_t k = 0; k < BD_SNAPSHOT_CHANNELS; k++) {
        if (Snapshot->Protocol == BD_SNAPSHOT_PROTOCOL_ROBBED_BIT) {
            if (at >= Count) return false;
            Snapshot->Channel[k].State = Words[at++];
        } else if (!BdSnapshotReadEntry(Words, Count, &at, &Snapshot->Channel[k])) {
            return false;
        }
    }
    if (Next != nullptr) *Next = at;
    return true;
}

// The applet's modem number of a channel served by (socket, processor, pump), counted
// from 1 in 8 bits, as the channel view shows "on Modem n".
inline uint8_t BdSnapshotModemNumber(const BD_SNAPSHOT_ENTRY* Entry)
{
    return (uint8_t)((Entry->Socket * 2 + Entry->Processor) * 3 + Entry->Pump + 1);
}
