// The page of one adapter: its device panel (layer lamps, a lamp and number per channel
// and per modem) kept live by the managed objects, and the editing of its configuration
// through the line-interface object, each exchange waited for on the page's own event.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "QLCommon/Subject.h"
#include "QLCommon/Variables.h"
#include "applet/ConfigSheet.h"
#include "platform/mfc/afxdlgs.h"

class CVX2430Adapter;
class CUI_ModelView;
class CLineInterfaceLayer1Button;
class CLineInterfaceLayer2Button;
class CChannelButton;
class CChannelTextView;
class CModemButton;
class CModemTextView;

class CPropertyPageQLS : public CPropertyPage, public CObserver {
public:
    CPropertyPageQLS(CVX2430Adapter* adapter, uint32_t pageNumber);
    ~CPropertyPageQLS() override;

    BOOL OnInitDialog() override;
    void Update(CSubject* subject, SubjectHint hint) override;
    BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo) override;
    void OfferRestart();

    // Values of the asynchronous ports in the parameters key: 5 and 0 when they cannot be read.
    static void ReadPortValues(const std::string& key, UINT* firstPort, UINT* portCount);
    static bool WritePortValues(const std::string& key, UINT firstPort, UINT portCount);

    HANDLE m_hReplyEvent = nullptr;
    rpri_tSetup m_Setup{};
    rpri_tDirNumSetup m_DirNums{};
    UINT m_FirstPort = 5;
    UINT m_PortCount = 0;
    CString m_Caption;
    std::map<int, CUI_ModelView*> m_Views;
    CVX2430Adapter* m_pAdapter;
    CLineInterfaceLayer1Button* m_pLayer1 = nullptr;
    CLineInterfaceLayer2Button* m_pLayer2 = nullptr;
    std::vector<CChannelButton*> m_ChannelButtons;
    std::vector<CChannelTextView*> m_ChannelTexts;
    std::map<int, CModemButton*> m_ModemButtons;
    std::vector<CModemTextView*> m_ModemTexts;

protected:
    void OnDestroy();
    void OnSize(UINT nType, int cx, int cy);
    void OnMove(int x, int y);
    void OnRButtonDown(UINT nFlags, CPoint point);
    void OnLayerButton() {}
    void OnConfigure();
    void OnDirectoryNumbers();
    void OnConfiguration();
    BOOL OnToolTipText(UINT id, NMHDR* pNMHDR, LRESULT* pResult);
    DECLARE_MESSAGE_MAP()

private:
    // Pushes the message to the line interface and waits for it: true when it was done.
    bool Exchange(class CMessage* message);
    bool ReadSetup();
    bool ReadDirNums();
    bool WriteSetup();
    bool WriteDirNums();
    void DestroyViews();
    std::atomic<int32_t> m_ReplyStatus{-1};
};
