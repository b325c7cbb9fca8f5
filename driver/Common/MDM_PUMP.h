// The pump state machine and its AT dialect: the eight state handlers (declared with the
// Pump record in MDM_PUMP_ext.h), the answer and dial commands, the statistics request,
// the call counters of pumps and processors, the device-specific status indication of a
// pump, and the pump's side of the data path (its data time slots, data mode, ACCM).
// Every field is guarded by AdapterSpinLock: the handlers run in the socket timer, the
// other entry points in call-control and NDIS request paths that hold the lock.
#pragma once

#include "driver/Common/MDM_PUMP_ext.h"
#include "driver/Common/RSS_types.h"

#define PUMP_COMMAND_LENGTH 18
#define PUMP_STATISTICS_REQUEST_LENGTH 10

// No-response limits, in counted polls.
#define PUMP_NEED_RESET_POLLS 3500
#define PUMP_INIT_POLLS 500
#define PUMP_DIAL_ANSWER_POLLS 12000
#define PUMP_HANGUP_POLLS 3500
#define PUMP_STATISTICS_POLLS 1000
#define PUMP_MAX_RESET_ATTEMPTS 6
#define PUMP_MAX_ALLOCATE_ATTEMPTS 8

// IncrementStats kinds.
#define PUMP_STATS_GOOD_CALL 0
#define PUMP_STATS_FAILED_CALL 1

// The answer ("AT+TSA=   ,1;%U A\r") or dial ("... D\r") command for the pump's TimeSlot
// and its line's sampling digit, into Out (PUMP_COMMAND_LENGTH bytes and a zero byte).
extern const char PumpAnswerTemplate[PUMP_COMMAND_LENGTH + 1];
extern const char PumpDialTemplate[PUMP_COMMAND_LENGTH + 1];
extern const char PumpStatisticsRequest[PUMP_STATISTICS_REQUEST_LENGTH + 1];
void PumpBuildCommand(Pump* ThisPump, const char* Template, PUCHAR Out);
// The sampling digit of the pump's Link's line: SamplingType, or for 2 the line's E1 flag.
ULONG PumpSamplingDigit(Pump* ThisPump);

void IncrementStats(Pump* ThisPump, USHORT Kind);
void PumpSetAccmEvent(Pump* ThisPump);
