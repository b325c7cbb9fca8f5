#include "applet/PropertyPageQLS.h"

#include <cstring>

#include "QLCommon/Adapter.h"
#include "QLCommon/os.h"
#include "applet/DeviceWidgets.h"
#include "applet/resource.h"

BEGIN_MESSAGE_MAP(CPropertyPageQLS, CPropertyPage)
    ON_WM_DESTROY()
    ON_WM_SIZE()
    ON_WM_MOVE()
    ON_WM_RBUTTONDOWN()
    ON_BN_CLICKED(IDC_LAYER1, OnLayerButton)
    ON_BN_CLICKED(IDC_LAYER2, OnLayerButton)
    ON_BN_CLICKED(IDC_CONFIGURE, OnConfigure)
    ON_BN_CLICKED(IDC_DIRECTORY_NUMBERS, OnDirectoryNumbers)
    ON_BN_CLICKED(IDC_CONFIGURATION, OnConfiguration)
    ON_NOTIFY_EX_RANGE(TTN_NEEDTEXTA, 0, 0xFFFF, OnToolTipText)
    ON_NOTIFY_EX_RANGE(TTN_NEEDTEXTW, 0, 0xFFFF, OnToolTipText)
END_MESSAGE_MAP()

CPropertyPageQLS::CPropertyPageQLS(CVX2430Adapter* adapter, uint32_t pageNumber)
    : CPropertyPage(IDD_ADAPTER_PAGE), m_pAdapter(adapter)
{
    m_Caption.Format("ZELVX24/30 Adapter #%u", pageNumber + 1);
    m_psp.dwFlags |= PSP_USETITLE;
    m_psp.pszTitle = m_Caption;
}

CPropertyPageQLS::~CPropertyPageQLS()
{
    DestroyViews();
    if (m_hReplyEvent != nullptr)
        os_CloseEvent(m_hReplyEvent);
}

void CPropertyPageQLS::DestroyViews()
{
    m_Views.clear();
    delete m_pLayer1;
    delete m_pLayer2;
    m_pLayer1 = nullptr;
    m_pLayer2 = nullptr;
    for (auto* b : m_ChannelButtons)
        delete b;
    for (auto* t : m_ChannelTexts)
        delete t;
    for (auto& b : m_ModemButtons)
        delete b.second;
    for (auto* t : m_ModemTexts)
        delete t;
    m_ChannelButtons.clear();
    m_ChannelTexts.clear();
    m_ModemButtons.clear();
    m_ModemTexts.clear();
}

BOOL CPropertyPageQLS::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    if (m_hReplyEvent == nullptr)
        m_hReplyEvent = os_CreateEvent();
    zel_WaitPumping(m_pAdapter->GetInitialisedEvent());

    if (CLineInterface* li = m_pAdapter->GetLineInterface()) {
        m_pLayer1 = new CLineInterfaceLayer1Button(li, this, IDC_LAYER1);
        m_pLayer2 = new CLineInterfaceLayer2Button(li, this, IDC_LAYER2);
        m_Views[IDC_LAYER1] = m_pLayer1;
        m_Views[IDC_LAYER2] = m_pLayer2;
    }
    uint32_t channels = m_pAdapter->GetChannelCount();
    for (uint32_t i = 0; i < channels && i < kPanelSlots; i++) {
        CRockyChannel* channel = m_pAdapter->GetChannel(i);
        auto* button = new CChannelButton(channel, this, IDC_CHANNEL_FIRST + (int)i);
        auto* text = new CChannelTextView(channel, this, IDC_CHANNEL_TEXT_FIRST + (int)i);
        text->ShowNumber();
        m_ChannelButtons.push_back(button);
        m_ChannelTexts.push_back(text);
        m_Views[IDC_CHANNEL_FIRST + (int)i] = button;
        m_Views[IDC_CHANNEL_TEXT_FIRST + (int)i] = text;
    }
    bool menus = m_pAdapter->IsDebugMenusOn();
    uint32_t modems = m_pAdapter->GetModemCount();
    for (uint32_t i = 0; i < modems && i < kPanelSlots; i++) {
        CModem* modem = m_pAdapter->GetModem(i);
        if (menus && modem->GetMenu() == nullptr)
            modem->SetMenu(new CModemMenu(modem));
        auto* button = new CModemButton(modem, this, ModemButtonId((int)i));
        auto* text = new CModemTextView(modem, this, ModemTextId((int)i));
        text->SetDisplayMask(CModemTextView::SHOW_NUMBER);
        text->UpdateText();
        m_ModemButtons[ModemButtonId((int)i)] = button;
        m_ModemTexts.push_back(text);
        m_Views[ModemButtonId((int)i)] = button;
        m_Views[ModemTextId((int)i)] = text;
    }
    EnableToolTips(TRUE);
    return TRUE;
}

void CPropertyPageQLS::OnDestroy()
{
    DestroyViews();
    CPropertyPage::OnDestroy();
}

void CPropertyPageQLS::OnSize(UINT, int, int) {}
void CPropertyPageQLS::OnMove(int, int) {}
void CPropertyPageQLS::OnRButtonDown(UINT, CPoint) {}

BOOL CPropertyPageQLS::OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo)
{
    if (nCode == 0 && pExtra == nullptr && (nID == ID_SELECT_ALL || nID == ID_CLEAR_SELECT))
        return TRUE;
    return CPropertyPage::OnCmdMsg(nID, nCode, pExtra, pHandlerInfo);
}

BOOL CPropertyPageQLS::OnToolTipText(UINT, NMHDR* pNMHDR, LRESULT* pResult)
{
    auto* ttt = reinterpret_cast<TOOLTIPTEXTA*>(pNMHDR);
    if (!(ttt->uFlags & TTF_IDISHWND))
        return FALSE;
    auto it = m_Views.find(::GetDlgCtrlID(reinterpret_cast<HWND>(pNMHDR->idFrom)));
    if (it == m_Views.end())
        return FALSE;
    std::string text = it->second->GetText();
    std::snprintf(ttt->szText, sizeof ttt->szText, "%s", text.c_str());
    *pResult = 0;
    return TRUE;
}

void CPropertyPageQLS::Update(CSubject* subject, SubjectHint)
{
    auto* message = dynamic_cast<CMessage*>(subject);
    if (message == nullptr)
        return;
    if (auto* read = dynamic_cast<CReadVariableMessage<rpri_tSetup>*>(subject))
        m_Setup = read->m_Record;
    else if (auto* dirs = dynamic_cast<CReadVariableMessage<rpri_tDirNumSetup>*>(subject))
        std::memcpy(&m_DirNums, &dirs->m_Record, sizeof m_DirNums);
    else if (!dynamic_cast<CWriteVariableMessage<rpri_tSetup>*>(subject) &&
             !dynamic_cast<CWriteVariableMessage<rpri_tDirNumSetup>*>(subject))
        return;
    m_ReplyStatus = message->GetStatus();
    os_SetEvent(m_hReplyEvent);
}

bool CPropertyPageQLS::Exchange(CMessage* message)
{
    CLineInterface* li = m_pAdapter->GetLineInterface();
    if (li == nullptr || m_hReplyEvent == nullptr) {
        delete message;
        return false;
    }
    m_ReplyStatus = -1;
    li->PushWithObserver(message, this);
    zel_WaitPumping(m_hReplyEvent);
    os_ResetEvent(m_hReplyEvent);
    return m_ReplyStatus == MSG_DONE;
}

bool CPropertyPageQLS::ReadSetup() { return Exchange(new CReadVariableMessage<rpri_tSetup>(rpri_tSetup_Table)); }

bool CPropertyPageQLS::ReadDirNums()
{
    return Exchange(new CReadVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table));
}

bool CPropertyPageQLS::WriteSetup()
{
    return Exchange(new CWriteVariableMessage<rpri_tSetup>(rpri_tSetup_Table, m_Setup));
}

bool CPropertyPageQLS::WriteDirNums()
{
    return Exchange(new CWriteVariableMessage<rpri_tDirNumSetup>(rpri_tDirNumSetup_Table, m_DirNums));
}

void CPropertyPageQLS::OfferRestart()
{
    if (MessageBox("These changes require Windows to be restarted. Restart now?", nullptr, MB_YESNO) == IDYES &&
        !os_RestartWindows())
        MessageBox("Unable to restart Windows.");
}

namespace {

void NumbersToDialog(const rpri_tDirNumSetup& record, CQLSDirectoryDialog& dialog)
{
    for (int i = 0; i < CQLSDirectoryDialog::kEntries; i++) {
        std::memcpy(dialog.m_Numbers[i], record.Entry[i], RPRI_DIRNUM_LENGTH);
        dialog.m_Numbers[i][RPRI_DIRNUM_LENGTH - 1] = '\0';
    }
}

void NumbersFromDialog(const CQLSDirectoryDialog& dialog, rpri_tDirNumSetup& record)
{
    for (int i = 0; i < CQLSDirectoryDialog::kEntries; i++) {
        std::memcpy(record.Entry[i], dialog.m_Numbers[i], RPRI_DIRNUM_LENGTH);
        record.Entry[i][RPRI_DIRNUM_LENGTH - 1] = '\0';
    }
}

void SetupToDialog(const CLineSetupLists& lists, CLiConfig& dialog)
{
    dialog.m_LineCoding = lists.LineCoding;
    dialog.m_SwitchType = lists.SwitchType;
    dialog.m_TxLevel = lists.TxLevel;
    dialog.m_Framing = lists.Framing;
}

CLineSetupLists DialogLists(const CLiConfig& dialog)
{
    return CLineSetupLists{dialog.m_LineCoding, dialog.m_SwitchType, dialog.m_TxLevel, dialog.m_Framing};
}

}  // namespace

void CPropertyPageQLS::OnConfigure()
{
    if (!ReadSetup()) {
        MessageBox("The line setup could not be read.", nullptr, MB_ICONEXCLAMATION);
        return;
    }
    CLiConfig dialog;
    CLineSetupLists shown = zel_SetupToLists(m_Setup);
    SetupToDialog(shown, dialog);
    if (dialog.DoModal() != IDOK)
        return;
    zel_ListsToSetup(shown, DialogLists(dialog), m_Setup);
    if (!WriteSetup()) {
        MessageBox("The line setup was not saved.", nullptr, MB_ICONEXCLAMATION);
        return;
    }
    OfferRestart();
}

void CPropertyPageQLS::OnDirectoryNumbers()
{
    if (!ReadDirNums()) {
        MessageBox("The directory numbers could not be read.", nullptr, MB_ICONEXCLAMATION);
        return;
    }
    CQLSDirectoryDialog dialog;
    NumbersToDialog(m_DirNums, dialog);
    if (dialog.DoModal() != IDOK)
        return;
    NumbersFromDialog(dialog, m_DirNums);
    if (!WriteDirNums()) {
        MessageBox("The directory numbers were not saved.", nullptr, MB_ICONEXCLAMATION);
        return;
    }
    OfferRestart();
}

void CPropertyPageQLS::ReadPortValues(const std::string& key, UINT* firstPort, UINT* portCount)
{
    *firstPort = 5;
    *portCount = 0;
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS)
        return;
    auto read = [h](const char* name, UINT* value) {
        DWORD type = 0, data = 0, size = sizeof data;
        if (RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof data)
            *value = data;
    };
    read("AsyncPortNumbersStartAt", firstPort);
    read("AsyncPorts_0", portCount);
    RegCloseKey(h);
}

bool CPropertyPageQLS::WritePortValues(const std::string& key, UINT firstPort, UINT portCount)
{
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS)
        return false;
    DWORD first = firstPort, count = portCount;
    bool ok = RegSetValueExA(h, "AsyncPortNumbersStartAt", 0, REG_DWORD, reinterpret_cast<BYTE*>(&first),
                             sizeof first) == ERROR_SUCCESS;
    ok = RegSetValueExA(h, "AsyncPorts_0", 0, REG_DWORD, reinterpret_cast<BYTE*>(&count), sizeof count) ==
             ERROR_SUCCESS &&
         ok;
    RegCloseKey(h);
    return ok;
}

void CPropertyPageQLS::OnConfiguration()
{
    CConfigSheet sheet("ZELVX24/30 Configuration", m_pAdapter, this);
    bool dirsRead = ReadDirNums();
    NumbersToDialog(m_DirNums, sheet.m_DirectoryNumbers);
    bool setupRead = ReadSetup();
    CLineSetupLists shown = zel_SetupToLists(m_Setup);
    SetupToDialog(shown, sheet.m_LineConfig);
    const std::string key = m_pAdapter->GetParametersKey();
    ReadPortValues(key, &m_FirstPort, &m_PortCount);
    sheet.m_AsyncPorts.m_FirstPort = m_FirstPort;
    sheet.m_AsyncPorts.m_PortCount = m_PortCount;
    sheet.m_psh.dwFlags |= PSH_NOAPPLYNOW;
    sheet.m_psh.dwFlags &= ~static_cast<DWORD>(PSH_HASHELP);
    if (sheet.DoModal() != IDOK)
        return;
    if (MessageBox("Save configuration changes?", nullptr, MB_YESNO) != IDYES)
        return;
    sheet.m_bRestartNeeded = sheet.m_bLineSetupChanged = sheet.m_bDirectoryNumbersChanged = true;

    // What could not be read is not written back over the stored values.
    std::vector<std::string> lost;
    bool saved = false;
    m_FirstPort = sheet.m_AsyncPorts.m_FirstPort;
    m_PortCount = sheet.m_AsyncPorts.m_PortCount;
    if (WritePortValues(key, m_FirstPort, m_PortCount))
        saved = true;
    else
        lost.push_back("the asynchronous ports");
    if (dirsRead) {
        NumbersFromDialog(sheet.m_DirectoryNumbers, m_DirNums);
        if (WriteDirNums())
            saved = true;
        else
            lost.push_back("the directory numbers");
    } else {
        lost.push_back("the directory numbers (they could not be read)");
    }
    if (setupRead) {
        zel_ListsToSetup(shown, DialogLists(sheet.m_LineConfig), m_Setup);
        if (WriteSetup())
            saved = true;
        else
            lost.push_back("the line setup");
    } else {
        lost.push_back("the line setup (it could not be read)");
    }
    if (!lost.empty()) {
        std::string text = "These settings were not saved:";
        for (const std::string& what : lost)
            text += "\n  " + what;
        MessageBox(text.c_str(), nullptr, MB_ICONEXCLAMATION);
    }
    if (saved)
        OfferRestart();
}
