// The reports and requests of the layer-3 test page, the link pages and the HDLC group
// pages: each report is a pure function of one reply record (read through
// CRecordReader), each request a pure function that fills a cleared record. The pages
// only move texts between these and their controls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "QLCommon/IOCTLMethod.h"

namespace linereports {

// ---- layer-3 test page ----------------------------------------------------------------
constexpr int kCallViewLinks = 23;
constexpr int kStatisticsChannels = 23;
// The driver packs at most 16 digits of the number into the SETUP it sends: the field
// takes no more than travel.
constexpr int kCallingNumberMax = 16;
// A reply naming more trace blocks than this is not believed.
constexpr uint32_t kTraceBlocksMax = 4096;

struct SetupFields {
    std::string callRefLength, callRefValue;  // hexadecimal
    int bearer = -1, channel = -1, exclusive = 0;
    std::string number;
};
enum class SetupCheck { Ok, NoNumber, NumberTooLong };
// 2/22 for the line; the number as one word per character (its hexadecimal digit value,
// -1 for any other character).
SetupCheck FillSetupRequest(BackdoorRequest& r, uint32_t line, const SetupFields& f);
void FillRequest(BackdoorRequest& r, uint32_t cls, uint32_t action, const std::vector<uint32_t>& args);
uint32_t HexValue(const std::string& text);

// 0/30 of the line: one text line per link 0 to 22.
std::string CallViewText(const BackdoorRequest& reply, uint32_t line);
// 0/37 for message type `type` (combo index).
std::string L2L3StatisticsText(const BackdoorRequest& reply, int type);
// 0/35: the block count the first reply gives (bounded), and the lines of one block.
uint32_t TraceBlockCount(const BackdoorRequest& reply);
std::string TraceBlockText(const BackdoorRequest& reply);
std::string TraceFileHeader(const std::string& file, const std::string& date);
std::string TraceBackupDoneText(bool periodic, const std::string& file, const std::string& time);
std::string TraceFileName(uint32_t line, char periodic);  // periodic: 0, 'A' or 'B'
// The texts of a frame-sending or test-mode button for a reply; a refusal names its status.
std::string FrameSentText(const BackdoorRequest& reply, const char* sent);
std::string TestModeText(const BackdoorRequest& reply, int testMode);
std::string FrameTypeText(const BackdoorRequest& reply);
// The call view's, statistics' or trace backup's refusal, with the driver's status.
std::string ViewRefusedText(const BackdoorRequest& reply);

extern const char* const kSendFailed;      // a frame-sending request that did not reach the driver
extern const char* const kViewSendFailed;  // the call view, statistics or trace backup likewise
extern const char* const kViewRefused;
extern const char* const kReplyIncomplete;

// ---- link pages -----------------------------------------------------------------------
// 0/28: the link dump.
std::string LinkDumpText(const BackdoorRequest& reply);
// 0/8: the link's counters and its event and error pairs.
std::string LinkStatisticsText(const BackdoorRequest& reply);

struct RingDescriptors {
    std::string status, tx, rx;
    int txCount = 0, rxCount = 0;  // descriptors the reply really holds
};
// 0/41 with the sliders at txPos and rxPos.
RingDescriptors RingDescriptorReport(const BackdoorRequest& reply, int txPos, int rxPos);
struct RingData {
    std::string status, tx, rx;
};
// 0/10: the transmit packet and receive message, byte by byte.
RingData RingDataReport(const BackdoorRequest& reply);

// ---- HDLC group pages -----------------------------------------------------------------
constexpr size_t kSharedCopySize = 8192;
constexpr size_t kGroupImageSize = 2048;
constexpr int kSharedTables = 10;
extern const char* const kSharedTableNames[kSharedTables];

// The kept copy of a 0/0 or 0/2 reply: 0xFF bytes with Segment 0 over them when done.
std::vector<uint8_t> SharedMemoryCopy(const BackdoorRequest& reply);
std::string SharedMemoryTableText(const std::vector<uint8_t>& copy, int group, int table);
// Global configuration, interrupt queue, group configuration, memory protection,
// message length and port configuration descriptors of the group.
std::array<std::string, 6> DescriptorTexts(const std::vector<uint8_t>& copy, int group);
// BAR0 physical and virtual, BAR1 physical and virtual, shared memory physical and virtual.
std::array<std::string, 6> AddressTexts(const BackdoorRequest& reply);
// 0/2: the group's register window, eight words a line.
std::string RegisterWindowText(const BackdoorRequest& reply);

// The requests of "Go! Ch." by "Request" choice; false for the choices with none.
bool GroupActionRequest(int choice, uint32_t* cls, uint32_t* action);
std::string ResultCodeText(const BackdoorRequest& reply);
std::string RegisterReadText(const BackdoorRequest& reply, std::string* value);
// One "GRP STAT" item of a 0/8 reply for the channel.
std::string GroupStatItem(const BackdoorRequest& reply, int channel);

}  // namespace linereports
