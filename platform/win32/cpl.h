// The Control Panel's entry of a control-panel library and its records.
#pragma once

#include "platform/win32/windows.h"

#define CPL_INIT 1
#define CPL_GETCOUNT 2
#define CPL_INQUIRE 3
#define CPL_SELECT 4
#define CPL_DBLCLK 5
#define CPL_STOP 6
#define CPL_EXIT 7
#define CPL_NEWINQUIRE 8

typedef struct tagCPLINFO {
    int idIcon;
    int idName;
    int idInfo;
    LONG_PTR lData;
} CPLINFO, *LPCPLINFO;

typedef struct tagNEWCPLINFOA {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwHelpContext;
    LONG_PTR lData;
    HICON hIcon;
    CHAR szName[32];
    CHAR szInfo[64];
    CHAR szHelpFile[128];
} NEWCPLINFOA, *LPNEWCPLINFOA;

typedef LONG (*APPLET_PROC)(HWND hwndCPl, UINT msg, LPARAM lParam1, LPARAM lParam2);

// NT 4.0 setup's convention for a procedure of an installation script: the argument
// count, the argument strings, and where to put the answer text.
typedef BOOL (*SETUP_PROC)(DWORD Count, LPSTR Arguments[], LPSTR* Answer);
