// The line-signal side of a serial-attached modem's records: the modem-status and
// control lines of its port, read into and written from the general status record
// (fields 4 DTR, 5 RTS, 6 CTS, 7 DCD, 8 DSR; 1 on, 2 off).
#pragma once

#include <cstdint>

class CManageableObject;
class CSerialPortMethod;

enum : uint32_t {
    ZELDEV_DTR = 64,
    ZELDEV_RTS = 128,
    ZELDEV_CTS = 256,
    ZELDEV_DCD = 512,
    ZELDEV_DSR = 1024,
};
enum : int {
    ZELDEV_SET_DTR = 29,
    ZELDEV_SET_RTS = 30,
};

// Reads one line (by bit) of the object's port into its field: 0 done, 4 any other bit
// or an object without a serial port.
int zeldev_UpdateSharedMem(CManageableObject* object, uint32_t bit);
// Sets (value 1) or clears a control line: 0 done, 4 a parameter neither 29 nor 30.
int zeldev_ConfigLine(CManageableObject* object, CSerialPortMethod* transport, int parameter, const uint32_t* value);
