// The applet's copies of the driver's board-type and module-type layout tables.
#pragma once

#include <cstdint>

constexpr uint32_t kBoardTypes = 8;
constexpr uint32_t kModuleTypes = 25;
constexpr uint32_t kModuleSockets = 10;

struct BoardTypeRow {
    uint32_t Word[37];
};
struct ModuleTypeRow {
    uint32_t Word[8];
};

extern const BoardTypeRow BoardTypeTable[kBoardTypes];
extern const ModuleTypeRow ModuleTypeTable[kModuleTypes];
