// What the modem-processor pages show of the driver's replies: each text is a pure
// function of one reply record, read through a bounded reader, so a reply whose
// lengths, offsets or counts are wrong gives a shorter text, never a read outside the
// record or a text longer than its box.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "QLCommon/IOCTLMethod.h"

namespace modemreports {

// Statuses the driver answers these requests with.
constexpr uint32_t kStatusDone = 0;
constexpr uint32_t kStatusPending = 1;
constexpr uint32_t kStatusRefused = 0xFFFFFFFF;

// The most words the command word list holds, and the bytes of an AT response shown.
constexpr size_t kMaxCommandWords = 64;
constexpr size_t kAtResponseShown = 64;
constexpr size_t kMessageCounters = 51;

// Segment k of a reply, whatever its status: only the bytes that lie in the data area.
CReplyData SegmentOf(const BackdoorRequest& reply, int k);

// "ResultCode=0x%08x" of the reply's status.
std::string ResultLine(const BackdoorRequest& reply);

// One line per message counter of segment 0 (inbound) or 1 (outbound); a refused
// reply gives its result line.
std::string CsmCountersText(const BackdoorRequest& reply, int segment);

// The sixteen mailbox and FIFO registers; nothing when the driver refused.
std::optional<std::string> CsmRegisterDump(const BackdoorRequest& reply);

// One register as four upper-case hexadecimal digits; nothing when refused.
std::optional<std::string> CsmRegisterValue(const BackdoorRequest& reply);

// What a command read (0/43) or an abort (3/11) makes of the word list.
struct CommandAnswer {
    std::string Words;
    std::optional<std::string> Length;  // set when the answer gives one
    bool EndsCommand = false;           // "Read" and "Abort" are disabled
};
CommandAnswer CsmCommandAnswer(const BackdoorRequest& reply);
CommandAnswer CsmAbortAnswer(const BackdoorRequest& reply);

// "CSM State= ...\r\n" from Arg2; nothing when refused.
std::optional<std::string> CsmStateText(const BackdoorRequest& reply);
// "Pump State= ...\r\n" of one pump from the state list; "----" when the reply has none for it.
std::optional<std::string> PumpStateText(const BackdoorRequest& reply, uint32_t pump);
// The frame counters of a pump; "----" when the reply is too short to hold them.
std::optional<std::string> FrameCountersText(const BackdoorRequest& reply);
// At most the first 64 bytes of the response text; nothing when refused or empty.
std::optional<std::string> AtResponseText(const BackdoorRequest& reply);

// The word list line of an added word, and the list after it.
std::string AddCommandWordLine(const std::string& list, uint32_t number, const std::string& entry);

// The board-memory address of a modem processor's registers, as eight hex digits.
std::string EbusText(uint32_t boardWord, uint32_t moduleStride, uint32_t csm, uint32_t socketWindow);

}  // namespace modemreports
