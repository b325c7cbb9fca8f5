// The code update page: copies a new driver or modem-processor firmware file over the
// installed one through the managed adapter, then offers to restart Windows.
#pragma once

#include <atomic>
#include <string>

#include "QLCommon/Subject.h"
#include "platform/mfc/afxdlgs.h"
#include "platform/win32/windows.h"

class CVX2430Adapter;

class CUpdateCode : public CPropertyPage, public CObserver {
public:
    CUpdateCode(CVX2430Adapter* adapter, UINT unused = 0);
    ~CUpdateCode() override;
    void Update(CSubject* subject, SubjectHint hint) override;

    // The message box of a result code (0 copied, 1 same file, 2 not opened, other
    // failures); the page shows it and, for 0, offers the restart.
    static std::string ResultText(int32_t code, bool driver, const std::string& path);

    CVX2430Adapter* m_pAdapter;
    std::atomic<int32_t> m_ReplyCode{-1};
    HANDLE m_hReplyEvent;
    CString m_DriverFile;
    CString m_FirmwareFile;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnBrowseFirmware();
    void OnBrowseDriver();
    void OnUpdateFirmware();
    void OnUpdateDriver();
    DECLARE_MESSAGE_MAP()

private:
    void Browse(CString& path, const char* title);
    void UpdateFile(bool driver);
};

// The waits of the user-interface thread: the thread keeps handling its messages (and
// the message boxes that workers queue to it) until the event is set.
void zel_WaitPumping(HANDLE event);
