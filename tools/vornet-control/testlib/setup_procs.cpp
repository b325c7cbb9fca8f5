// A setup library with two procedures of the installation-script convention.
#include <cstdio>
#include <string>

#include "platform/win32/cpl.h"

static char Answer[100];

extern "C" BOOL ConfigPriCard(DWORD Count, LPSTR Arguments[], LPSTR* Result)
{
    std::snprintf(Answer, sizeof Answer, "OK,%u,%s", Count, Count > 0 ? Arguments[0] : "");
    *Result = Answer;
    return 1;
}

extern "C" BOOL GetBusNumber(DWORD Count, LPSTR Arguments[], LPSTR* Result)
{
    std::snprintf(Answer, sizeof Answer, "%s", Count > 2 ? Arguments[2] : "none");
    *Result = Answer;
    return 0;
}
