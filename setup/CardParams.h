// The card's parameters: module-wide tables read from the driver's registry parameters,
// edited by the setup sheet on line 0, and written back.
#pragma once

#include <cstdint>
#include <string>

constexpr int CARD_LINES = 4;
constexpr int CARD_DIRNUMS = 31;
constexpr int CARD_DIRNUM_SIZE = 40;  // 39 digits and NUL
constexpr int CARD_MODULES = 8;
// The most digits the driver dials or matches.
constexpr int CARD_DIRNUM_MAX_DIGITS = 38;

typedef uint32_t CARD_WORD;

struct CardLine {
    CARD_WORD LineIntfMode, SystemBusMode, NetworkSide, LineMode, QStackMultiplier, LineCode, FramingFormat,
        DS0IdleCode, DChRate, TxPulseTemplate, Modulus, WindowSize, SignallingProtocol, DChInversion, BChProtocol,
        ISDNthroughCSM, SamplingType, RBSType, RBSCallType, RBSProtocol, RBSWinkDuration, AsyncPorts;
    char DirectoryNumber[CARD_DIRNUMS][CARD_DIRNUM_SIZE];
};

struct CardParameters {
    CARD_WORD AdapterID, IrqStatistics, TimerResolution, AsyncPortNumbersStartAt;
    CardLine Line[CARD_LINES];
    CARD_WORD ModuleID[CARD_MODULES];
};

extern CardParameters GCard;
extern std::string GParameterKey;  // "<service>\Parameters"
extern int GCurrentLine;

void ClearCardParameters();
// Where the parameters are read from: the control set SYSTEM\Select names, or
// CurrentControlSet when it names none.
std::string CardReadKeyPath();
std::string CardWriteKeyPath();
int ReadCardParameters();
bool WriteCardParameters();
// The name of the value that failed last, for the user.
const std::string& CardLastFailure();
