// Win32 in user mode, as the applet and the setup library call it: handles, events,
// mutexes, threads and waits; the thread's last error; files with "C:\..." mapped under
// the run's root directory (the environment variable VORNET_ROOT) and names matched
// without regard to case; directory search; the system directory; processes through a
// launcher (VORNET_LAUNCHER); shared libraries; the driver's device "\\.\VORNET<n>"
// through the simulator's socket; the restart of the machine; and the registry on the
// run's hive (registry.reg in the root).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/version_resource.h"

typedef int BOOL;
typedef uint8_t BYTE, *LPBYTE, *PBYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD, *LPDWORD, *PDWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef void* HMODULE;
// The same handle types as the user-interface library's, so both headers may meet.
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
struct HWND__;
typedef HWND__* HWND;
typedef void* HICON;
typedef intptr_t LPARAM, LONG_PTR, LRESULT;
typedef uintptr_t WPARAM, ULONG_PTR, SIZE_T;
typedef DWORD REGSAM;
typedef LONG LSTATUS;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef intptr_t (*FARPROC)();
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID Parameter);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 0x00000103u
#define CREATE_SUSPENDED 0x00000004u
#define NORMAL_PRIORITY_CLASS 0x00000020u

// Errors.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_OWNER 288L
#define ERROR_BADKEY 1010L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NO_SUCH_PRIVILEGE 1313L

DWORD GetLastError();
void SetLastError(DWORD Error);

// Handles and synchronisation. Event and mutex names are not shared between processes.
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

BOOL CloseHandle(HANDLE Object);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES Attributes, BOOL ManualReset, BOOL InitialState, LPCSTR Name);
BOOL SetEvent(HANDLE Event);
BOOL ResetEvent(HANDLE Event);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES Attributes, BOOL InitialOwner, LPCSTR Name);
BOOL ReleaseMutex(HANDLE Mutex);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES Attributes, SIZE_T StackSize, LPTHREAD_START_ROUTINE StartAddress,
                    LPVOID Parameter, DWORD CreationFlags, LPDWORD ThreadId);
DWORD GetCurrentThreadId();
BOOL GetExitCodeThread(HANDLE Thread, LPDWORD ExitCode);
DWORD WaitForSingleObject(HANDLE Handle, DWORD Milliseconds);
DWORD WaitForMultipleObjects(DWORD Count, const HANDLE* Handles, BOOL WaitAll, DWORD Milliseconds);
void Sleep(DWORD Milliseconds);

// Files.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define MAX_PATH 260

#define FILE_FLAG_OVERLAPPED 0x40000000u

// Internal holds the request's status (STATUS_PENDING while it runs), InternalHigh the
// bytes it transferred.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;
typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

// "\\.\VORNET<n>" opens the adapter's device; a port listed under the zelCOM port
// driver's Parameters key (its DOSDeviceName or ShadowDeviceName, with or without
// "\\.\") opens as a serial port on the simulator's socket of that name; other names
// are files under the root.
HANDLE CreateFileA(LPCSTR FileName, DWORD DesiredAccess, DWORD ShareMode, LPSECURITY_ATTRIBUTES Attributes,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE TemplateFile);
BOOL ReadFile(HANDLE File, LPVOID Buffer, DWORD ToRead, LPDWORD Read, LPOVERLAPPED Overlapped);
BOOL WriteFile(HANDLE File, LPCVOID Buffer, DWORD ToWrite, LPDWORD Written, LPOVERLAPPED Overlapped);
DWORD SetFilePointer(HANDLE File, LONG DistanceToMove, LONG* DistanceToMoveHigh, DWORD MoveMethod);
HANDLE FindFirstFileA(LPCSTR FileName, LPWIN32_FIND_DATAA FindData);
BOOL FindNextFileA(HANDLE Find, LPWIN32_FIND_DATAA FindData);
BOOL FindClose(HANDLE Find);
// A file's identity and size: the volume and index name one file whatever path reached it.
typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
BOOL GetFileInformationByHandle(HANDLE File, LPBY_HANDLE_FILE_INFORMATION Information);
BOOL FlushFileBuffers(HANDLE File);
// A read-only file (no write permission) is neither replaced nor deleted.
BOOL MoveFileExA(LPCSTR ExistingFileName, LPCSTR NewFileName, DWORD Flags);
BOOL DeleteFileA(LPCSTR FileName);
DWORD GetFileAttributesA(LPCSTR FileName);
BOOL SetFileAttributesA(LPCSTR FileName, DWORD Attributes);
BOOL CharToOemA(LPCSTR Source, LPSTR Destination);  // our names are ASCII: a copy
UINT GetSystemDirectoryA(LPSTR Buffer, UINT Size);  // "C:\WINNT\system32"

// The driver's device.
BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, LPVOID InBuffer, DWORD InBufferSize, LPVOID OutBuffer,
                     DWORD OutBufferSize, LPDWORD BytesReturned, LPOVERLAPPED Overlapped);

// Processes: the program and its arguments are handed to the launcher.
typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved, lpDesktop, lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow, cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;
BOOL CreateProcessA(LPCSTR ApplicationName, LPSTR CommandLine, LPSECURITY_ATTRIBUTES ProcessAttributes,
                    LPSECURITY_ATTRIBUTES ThreadAttributes, BOOL InheritHandles, DWORD CreationFlags,
                    LPVOID Environment, LPCSTR CurrentDirectory, LPSTARTUPINFOA StartupInfo,
                    LPPROCESS_INFORMATION ProcessInformation);
BOOL GetExitCodeProcess(HANDLE Process, LPDWORD ExitCode);
HANDLE GetCurrentProcess();

// Shared libraries: "TAPI32.DLL" is looked for as libtapi32.so in VORNET_LIBRARY_PATH,
// then where the dynamic loader looks.
HMODULE LoadLibraryA(LPCSTR FileName);
FARPROC GetProcAddress(HMODULE Module, LPCSTR ProcName);
BOOL FreeLibrary(HMODULE Module);

// Version resources of our own binaries (platform/version_resource.h). A file is named
// as CreateFileA names one, or by a host path; a bare library name ("TAPI32.DLL",
// "vornetap.cpl") is looked for as LoadLibraryA looks for it first.
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
DWORD GetFileVersionInfoSizeA(LPCSTR FileName, LPDWORD Handle);
BOOL GetFileVersionInfoA(LPCSTR FileName, DWORD Handle, DWORD Length, LPVOID Data);
BOOL VerQueryValueA(LPCVOID Block, LPCSTR SubBlock, LPVOID* Buffer, UINT* Length);

// The restart of the machine: a request to the simulator, which halts its adapters,
// reloads the hive and the files and initialises again.
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_QUERY 0x0008u
#define SE_PRIVILEGE_ENABLED 0x00000002u
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"
#define EWX_LOGOFF 0u
#define EWX_SHUTDOWN 1u
#define EWX_REBOOT 2u
#define EWX_FORCE 4u
typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;
typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;
typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;
BOOL OpenProcessToken(HANDLE Process, DWORD DesiredAccess, HANDLE* Token);
BOOL LookupPrivilegeValueA(LPCSTR SystemName, LPCSTR Name, PLUID Luid);
BOOL AdjustTokenPrivileges(HANDLE Token, BOOL DisableAll, PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, LPDWORD ReturnLength);
BOOL ExitWindowsEx(UINT Flags, DWORD Reason);

// The registry.
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(uintptr_t)0x80000003u)
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

LONG RegOpenKeyA(HKEY Key, LPCSTR SubKey, PHKEY Result);
LONG RegOpenKeyExA(HKEY Key, LPCSTR SubKey, DWORD Options, REGSAM Desired, PHKEY Result);
LONG RegCreateKeyExA(HKEY Key, LPCSTR SubKey, DWORD Reserved, LPSTR Class, DWORD Options, REGSAM Desired,
                     LPSECURITY_ATTRIBUTES Attributes, PHKEY Result, LPDWORD Disposition);
LONG RegCloseKey(HKEY Key);
LONG RegQueryValueExA(HKEY Key, LPCSTR ValueName, LPDWORD Reserved, LPDWORD Type, LPBYTE Data, LPDWORD DataSize);
LONG RegSetValueExA(HKEY Key, LPCSTR ValueName, DWORD Reserved, DWORD Type, const BYTE* Data, DWORD DataSize);
LONG RegDeleteValueA(HKEY Key, LPCSTR ValueName);
LONG RegEnumValueA(HKEY Key, DWORD Index, LPSTR ValueName, LPDWORD ValueNameSize, LPDWORD Reserved, LPDWORD Type,
                   LPBYTE Data, LPDWORD DataSize);

// Serial ports (opened by CreateFileA, see above). Reads, writes, comm-event waits and
// device controls may be overlapped; an overlapped request completes into the caller's
// OVERLAPPED, buffer and mask word and sets its event. CancelIo ends the calling
// thread's requests on the handle; once GetOverlappedResult has seen a request end,
// nothing more is written into what the request was given.
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;
typedef struct _COMSTAT {
    DWORD Flags;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

#define CBR_9600 9600u
#define NOPARITY 0
#define ONESTOPBIT 0
#define EV_RXCHAR 0x0001u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_RING 0x0100u
#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u
#define CE_RXOVER 0x0001u

#define IOCTL_SERIAL_SET_DTR 0x001B0024u
#define IOCTL_SERIAL_CLR_DTR 0x001B0028u
#define IOCTL_SERIAL_SET_RTS 0x001B0030u
#define IOCTL_SERIAL_CLR_RTS 0x001B0034u
#define IOCTL_SERIAL_GET_DTRRTS 0x001B0078u
#define SERIAL_DTR_STATE 0x00000001u
#define SERIAL_RTS_STATE 0x00000002u
// The zelCOM port driver's own: a 1-byte flag, 1 holds the real port's user off.
#define IOCTL_SHADOW_SETBLOCKING 0x00222004u

BOOL GetCommState(HANDLE File, LPDCB Dcb);
BOOL SetCommState(HANDLE File, LPDCB Dcb);
BOOL SetCommMask(HANDLE File, DWORD EventMask);
BOOL GetCommMask(HANDLE File, LPDWORD EventMask);
BOOL WaitCommEvent(HANDLE File, LPDWORD EventMask, LPOVERLAPPED Overlapped);
BOOL GetCommModemStatus(HANDLE File, LPDWORD ModemStat);
BOOL ClearCommError(HANDLE File, LPDWORD Errors, LPCOMSTAT Stat);
BOOL GetOverlappedResult(HANDLE File, LPOVERLAPPED Overlapped, LPDWORD Transferred, BOOL Wait);
BOOL CancelIo(HANDLE File);
