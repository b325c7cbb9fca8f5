// The framer pages' readings of the driver's replies: every report and every decoded
// value is a function of one reply record and reads it only through the bounded reader
// of its segments, so whatever the record holds, nothing is read outside it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "QLCommon/IOCTLMethod.h"

namespace framer {

constexpr unsigned kRegisters = 512;
constexpr unsigned kRunningSums = 16;

// The (0, 4) reply: the register image (Segment 0, one register per word, the value in
// the low byte) and the framer record (Segment 1). A register or word that the reply
// does not hold reads 0; so does everything of a refused reply.
class CFramerReply {
public:
    explicit CFramerReply(const BackdoorRequest& reply);
    bool Accepted() const { return m_Status == 0; }
    uint32_t Status() const { return m_Status; }
    uint32_t Mode() const { return m_Mode; }     // Arg[1]: the framing mode value
    bool T1() const { return (m_Mode & 1) != 0; }
    uint8_t Reg(unsigned reg) const;
    uint32_t Word(unsigned word) const;

private:
    uint32_t m_Status;
    uint32_t m_Mode;
    CReplyData m_Image;
    CReplyData m_Record;
};

// Segment k of an accepted reply, cut at the record's end; empty when the reply was
// refused or the segment does not start in the data area.
CReplyData Segment(const BackdoorRequest& reply, int k);
// Word `word` of a segment through the bounded reader; 0 outside it.
uint32_t SegmentWord(const CReplyData& data, size_t word);

// The failure line of a refused reply: the page's text with the driver's status.
std::string RefusedText(const char* text, uint32_t status);
constexpr const char* kSystemError = "ERROR: System Error calling Bt8370 Driver";
constexpr const char* kLoadFailure = "ERROR: Driver indicated failure to load configuration";

// Framing radio index (0 ESF, 1 SF, 2 FT, 3 FAS, 4 FAS CAS, 5 FAS CAS CRC, 6 FAS CRC)
// of a framing mode value; -1 when it selects none.
int FramingOfMode(uint32_t mode);
// The mode value "Program" sends for a framing radio index; -1 outside 0 to 6.
int ModeOfFraming(int framing);
const char* FramingText(int framing);
// The device label of the test page from a (0, 4) reply.
std::string DeviceLabel(const BackdoorRequest& reply);
// The pulse template index: bits 1-3 of TLIU_CR.
int PulseTemplateIndex(const BackdoorRequest& reply);
// The name of register `reg`; "Reserved" for unassigned addresses and beyond 0x1FF.
const char* RegisterName(unsigned reg);

// The reports of the register dump page, each from its (0, 4) reply. A refused reply
// gives its failure line and nothing else. The receive report adds this read's counts
// to `sums` (the page's running sums).
std::string ReceiveReport(const BackdoorRequest& reply, uint32_t sums[kRunningSums]);
std::string TransmitReport(const BackdoorRequest& reply);
std::string StatusReport(const BackdoorRequest& reply);
std::string OthersReport(const BackdoorRequest& reply);
std::string StatisticsReport(const BackdoorRequest& reply);
// A time in asctime's 24-character form with its newline: "Sat Dec  5 09:04:07 2026\n"
// (the day of the month padded with a blank).
std::string AsctimeText(const std::tm& t);
// `date` is the local date and time as asctime writes it (with its newline).
std::string DumpReport(const BackdoorRequest& reply, const std::string& date);
// The file the dump of this reply is written to.
std::string DumpFileName(const BackdoorRequest& reply);
// The robbed-bit report from the (0, 27) reply.
std::string RbsReport(const BackdoorRequest& rbsReply);
std::string NoRbsNotice();

}  // namespace framer
