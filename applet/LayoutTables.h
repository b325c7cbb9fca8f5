// The applet's copies of the driver's board-type and module-type layout tables.
#pragma once

#include <cstdint>

// In a namespace of their own: a process may hold the driver's tables too (the tests).
namespace applet {

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

}  // namespace applet

using applet::BoardTypeRow;
using applet::ModuleTypeRow;
using applet::kBoardTypes;
using applet::kModuleTypes;
using applet::kModuleSockets;
