// AT command exchanges with a serial-attached modem through its CSerialPortMethod:
// queries whose replies fill a read group of the modem's records (parsetbl.h), and
// configuration commands. Every exchange holds the port driver's blocking mode for
// its length and is refused while DSR is on (a call on the modem).
#pragma once

#include <cstdint>

#include "platform/win32/windows.h"

class CManageableObject;
class CSerialPortMethod;

// The waits of an exchange; the defaults are the modem's pace.
struct mdparse_tTiming {
    DWORD PageWaitMs = 1500;     // after sending each page's request
    DWORD CommandWaitMs = 1000;  // after sending a command
    DWORD IoWaitMs = 3000;       // for a write, or for a reply's first byte
};
void mdparse_SetTiming(const mdparse_tTiming& timing);
mdparse_tTiming mdparse_GetTiming();

// 0 done (or answered within its fresh time), 3 the exchange failed (a call on the
// modem, or no whole result line OK), 4 no such group or no memory. With fresh set the
// modem is asked even within the fresh time.
int mdparse_ATCommand(CManageableObject* object, CSerialPortMethod* transport, uint32_t group, bool fresh = false);
// 0 accepted, 4 otherwise. For commands 31 to 34 the value is a text field's handle
// (TextField.h) and the text is sent; for the others the decimal number.
int mdparse_ConfigModem(CManageableObject* object, CSerialPortMethod* transport, int command, uint32_t value);
// 1 when DSR is (or turns) on, 2 otherwise. Without force nothing is written while DSR
// is on. The text goes out followed by one carriage return.
int mdparse_SendCommand(CSerialPortMethod* transport, const char* text, bool force);
// Reads what has arrived into [start, end) and answers the position behind it; *status
// 1 when DSR is on, else 2. When nothing has arrived, waits for the first byte.
char* mdparse_GetResults(CSerialPortMethod* transport, int* status, char* start, char* end);
// The command text of an index (1 to 35), or none.
const char* mdparse_CommandText(int command);
// Forgets an object's fresh times (its modem is gone).
void mdparse_Forget(const CManageableObject* object);

// A product text that names a supported modem at a supported version or later
// ("ZELMQPCI", "Modem Version" 4.16j).
bool mdparse_VersionSupported(const char* productText);
