// The engineering page of the modem processors (CSMs) and their pumps: registers,
// downloads and service states of a CSM, resets, AT commands, raw command messages and
// RTS of a pump, a new firmware image for the running driver, and the CSM's message
// counters. Every action is one request through the main sheet's request block; the
// sheet's board-type and module-type rows give the ports, sockets and pumps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/mfc/afxdlgs.h"

struct BackdoorRequest;

class CMyPropertyPage6 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage6)
public:
    static constexpr uint32_t kMaxCommandWords = 64;
    // The largest image the driver's firmware area takes, and the bytes sent per request.
    static constexpr uint32_t kFirmwareBufferSize = 0x100000;
    static constexpr uint32_t kFirmwareChunk = 16384;

    CMyPropertyPage6();

    CString m_Statistics;
    CString m_RegisterDump;
    CString m_Status;
    CString m_RegisterValue;
    int m_RegisterIndex = 0;
    int m_CsmIndex = 0;
    CString m_CsmState;
    CString m_Ebus;
    int m_SocketIndex = 0;
    CString m_AtCommand;
    CString m_AtResponse;
    CString m_DataInit;
    CString m_PumpState;
    CString m_FirmwareFile;
    CString m_IpAddress;
    CString m_Code;
    CString m_FunctionCode;
    CString m_WordEntry;
    CString m_WordList;
    CString m_Length;
    CString m_CommandType;
    CString m_CommandClass;

    uint32_t m_Port = 0;
    uint32_t m_AbsoluteSocket = 0;
    uint32_t m_Pump = 0;
    uint32_t m_BoardWord = 0;
    uint32_t m_CommandWords[kMaxCommandWords] = {};
    uint32_t m_CommandWordCount = 0;

    // The absolute socket of a port's socket index, from the sheet's board-type row.
    static uint32_t AbsoluteSocketOf(const uint32_t* boardRow, uint32_t port, uint32_t socketIndex);

    BOOL OnInitDialog() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    void OnReadRegister();
    void OnWriteRegister();
    void OnUpdate();
    void OnStartDownload();
    void OnDownloadOnly();
    void OnStartCode();
    void OnCsmOutOfService();
    void OnPumpReset();
    void OnPumpOutOfService();
    void OnAtSend();
    void OnModifyDataInit();
    void OnCommandSend();
    void OnCommandRead();
    void OnCommandAbort();
    void OnRtsOn();
    void OnRtsOff();
    void OnUpdateCode();
    void OnGetStats();
    void OnAddWord();
    void OnClearWords();
    void OnSocketChanged();
    void OnCsmChanged();
    void OnPortTab(NMHDR* pNMHDR, LRESULT* pResult);
    void OnPumpTab(NMHDR* pNMHDR, LRESULT* pResult);
    DECLARE_MESSAGE_MAP()

private:
    // The sheet's record, cleared and addressed to the current socket and CSM (and pump);
    // nullptr without a sheet.
    BackdoorRequest* Begin(uint32_t requestClass, uint32_t action, bool pump);
    BackdoorRequest* BeginCommand(uint32_t requestClass, uint32_t action);
    // Sends the record; the status line shows the result or "Function Call Failed!".
    bool Send();
    void CsmAction(uint32_t action);
    void PumpAction(uint32_t requestClass, uint32_t action, uint32_t arg3);
    void SendAtText(const CString& text, uint32_t which);
    bool RefreshStates();
    void SetAbsoluteSocket(uint32_t socket);
    void ShowEbus();
    uint32_t PumpsOf(uint32_t socket) const;
    void EnableCommandAnswer(BOOL enable);
    CTabCtrl* Tabs(int id) const;
    bool m_bReady = false;
};

// Sends a firmware image to the driver one piece per record: `begin` gives the record
// cleared and addressed (nullptr: no sheet), the piece goes into it (Arg0 the image's
// size, Arg1 1, Arg2 the piece's offset, Segment 0 the piece) and `send` sends it (false:
// it did not reach the driver). The first piece that is not sent or is refused ends the
// update; true when the driver took every piece.
bool SendFirmwareImage(const std::vector<uint8_t>& image, const std::function<BackdoorRequest*()>& begin,
                       const std::function<bool()>& send);

// Opens the page for the engineering page table.
CPropertyPage* CreateModemDiagPage();
