// The engineering pages: built into the applet, added by no sheet. Each is made by its
// factory from the table below, and OpenEngineeringPage opens one on an adapter in a
// sheet of its own (vornet-control --page NAME).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "QLCommon/IOCTLMethod.h"
#include "platform/mfc/afxdlgs.h"
#include "platform/win32/cpl.h"

struct EngineeringPage {
    const char* name;
    CPropertyPage* (*create)();
};

// The table, ended by a row with a null name.
extern const EngineeringPage kEngineeringPages[];
const EngineeringPage* FindEngineeringPage(const char* name);

// Clears the sheet's record, lets `fill` write the request and sends it. The reply in
// the sheet's record, or nullptr when the request did not reach the driver.
const BackdoorRequest* SendSheetRequest(const std::function<void(BackdoorRequest&)>& fill);
// The number of lines of the sheet's adapter (1 to 4).
int SheetLineCount();

// Opens page `name` on adapter VORNET<device> (0: the first one found) in a sheet that
// holds just that page, and returns when the sheet closes: 0, or 1 for no such page, 2
// for no such adapter.
extern "C" LONG OpenEngineeringPage(HWND parent, const char* name, UINT device);
typedef LONG (*OPEN_ENGINEERING_PAGE_PROC)(HWND, const char*, UINT);
// The names of the table, for a host's help: "name1 name2 ..." (a static string).
extern "C" const char* EngineeringPageNames();
typedef const char* (*ENGINEERING_PAGE_NAMES_PROC)();
