#include "applet/ControlPanel.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "QLCommon/Adapter.h"
#include "QLCommon/Agent.h"
#include "QLCommon/os.h"
#include "QLCommon/smem.h"
#include "applet/PropertyPageQLS.h"
#include "applet/PropertySheet.h"
#include "applet/resource.h"
#include "setup/RegValue.h"

VORNET_VERSION_RESOURCE(AppletVersion, VFT_DLL, 0);

CControlPanel* GControlPanel = nullptr;
CAppletApp theApp;

namespace {

constexpr DWORD kNewCplInfoSize = 244;
constexpr uint32_t kAgentId = 65535;
constexpr UINT kBoxTimerPeriod = 100;

UINT_PTR g_Timer0 = 0;
UINT_PTR g_Timer1 = 0;
UINT_PTR g_BoxTimer = 0;

// Message boxes of the management threads wait for the user-interface thread, which
// shows them from its timer; a worker never blocks on a user's answer.
std::mutex g_BoxLock;
std::deque<std::string> g_Boxes;

void QueueMessageBox(const std::string& text)
{
    std::lock_guard<std::mutex> g(g_BoxLock);
    if (g_Boxes.size() < 64)
        g_Boxes.push_back(text);
}

void ShowQueuedMessageBoxes(HWND, UINT, UINT_PTR, DWORD)
{
    static bool showing = false;
    if (showing)
        return;
    showing = true;
    for (;;) {
        std::string text;
        {
            std::lock_guard<std::mutex> g(g_BoxLock);
            if (g_Boxes.empty())
                break;
            text = g_Boxes.front();
            g_Boxes.pop_front();
        }
        AfxMessageBox(text.c_str(), MB_OK | MB_ICONEXCLAMATION);
    }
    showing = false;
}

void CopyText(char* field, size_t size, const std::string& text) { std::snprintf(field, size, "%s", text.c_str()); }

CString LoadText(UINT id)
{
    CString s;
    s.LoadString(id);
    return s;
}

uint32_t ReadParameter(uint32_t deviceNumber, const char* valueName)
{
    char text[1024] = {};
    DwordToRegData(4, reinterpret_cast<BYTE*>(text));
    if (!ReadRegValue(HKEY_LOCAL_MACHINE, ParametersKeyOf(deviceNumber).c_str(), valueName, text, sizeof text,
                      REG_DWORD, 4))
        return 0;
    DWORD value = 0;
    return HexToDword(text, &value) ? value : 0;
}

}  // namespace

// --- the panel --------------------------------------------------------------------------

CControlPanel::CControlPanel() { GControlPanel = this; }
CControlPanel::~CControlPanel()
{
    if (GControlPanel == this)
        GControlPanel = nullptr;
}
LONG CControlPanel::OnDblclk(HWND, LPARAM, LPARAM) { return 0; }
LONG CControlPanel::OnExit() { return 0; }
LONG CControlPanel::OnGetCount() { return 1; }
LONG CControlPanel::OnInit() { return 1; }
LONG CControlPanel::OnSelect(LPARAM, LPARAM) { return 1; }
LONG CControlPanel::OnStop(LPARAM, LPARAM) { return 1; }

LONG CControlPanel::OnNewInquire(UINT, NEWCPLINFOA* pInfo)
{
    if (pInfo == nullptr)
        return 0;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->dwSize = kNewCplInfoSize;
    pInfo->hIcon = reinterpret_cast<HICON>(static_cast<intptr_t>(1));
    CopyText(pInfo->szName, sizeof pInfo->szName, "Applet");
    CopyText(pInfo->szInfo, sizeof pInfo->szInfo, "Raw Cpl Applet");
    return 0;
}

LONG CMyPanel::OnNewInquire(UINT, NEWCPLINFOA* pInfo)
{
    if (pInfo == nullptr)
        return 0;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->dwSize = kNewCplInfoSize;
    pInfo->hIcon = reinterpret_cast<HICON>(static_cast<intptr_t>(IDI_APPLET));
    CString name;
    if (!name.LoadString(IDS_APPLET_NAME))
        name = "Quorlane Systems";
    CopyText(pInfo->szName, sizeof pInfo->szName, name.str());
    CopyText(pInfo->szInfo, sizeof pInfo->szInfo, name.str() + " Control Panel Applet");
    return 0;
}

LONG CMyPanel::OnDblclk(HWND hwndCPl, LPARAM, LPARAM)
{
    CWnd* parent = hwndCPl != nullptr ? CWnd::FromHandle(hwndCPl) : nullptr;
    auto* sheet = new CMyPropertySheet(parent);
    GPropertySheet = sheet;
    os_SetMessageBoxHandler(QueueMessageBox);
    g_BoxTimer = ::SetTimer(nullptr, 0, kBoxTimerPeriod, ShowQueuedMessageBoxes);
    bool timers = false;

    std::vector<CVX2430Adapter*> adapters;
    auto finish = [&] {
        // An adapter still initialising holds a worker that the close would wait for:
        // its initialisation is let finish first, for a bounded time.
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (CVX2430Adapter* a : adapters)
            while (WaitForSingleObject(a->GetInitialisedEvent(), 10) != WAIT_OBJECT_0 &&
                   std::chrono::steady_clock::now() < limit)
                AfxPumpMessages();
        if (timers) {
            ::KillTimer(parent != nullptr ? parent->GetSafeHwnd() : nullptr, g_Timer0);
            ::KillTimer(parent != nullptr ? parent->GetSafeHwnd() : nullptr, g_Timer1);
        }
        smem_Close();
        ::KillTimer(nullptr, g_BoxTimer);
        os_SetMessageBoxHandler(nullptr);
        ShowQueuedMessageBoxes(nullptr, 0, 0, 0);
        delete sheet;
        GPropertySheet = nullptr;
        return 0;
    };

    smem_Open(1);
    auto* agent = static_cast<CAgent*>(smem_ReturnGetPtr(kAgentId, CSMemIndex()));
    if (agent != nullptr) {
        for (CAdapter* a : agent->GetAdapters()) {
            auto* adapter = dynamic_cast<CVX2430Adapter*>(a);
            if (adapter == nullptr || sheet->m_AdapterCount >= CMyPropertySheet::kMaxAdapters)
                continue;
            adapters.push_back(adapter);
            uint32_t n = sheet->m_AdapterCount;
            sheet->m_DeviceNumbers[n] = adapter->GetDeviceNumber();
            sheet->m_DeviceHandles[n] = adapter->GetIoctl() != nullptr ? adapter->GetIoctl()->GetDeviceHandle() : nullptr;
            sheet->m_AdapterCount++;
            sheet->AddAdapterPage(adapter);
            if (adapter->IsDebugPagesOn() && !sheet->HasCommonPages())
                sheet->AddCommonPages();
        }
    }
    if (sheet->m_AdapterCount == 0) {
        AfxMessageBox("There are no QLZELVX24/30 adapters installed.");
        return finish();
    }
    sheet->m_CurrentAdapter = 0;
    if (sheet->HasCommonPages() && sheet->m_AdapterCount > 1) {
        CCardSelection selection(parent);
        if (selection.DoModal() != IDOK)
            return finish();
    }
    uint32_t device = sheet->m_DeviceNumbers[sheet->m_CurrentAdapter];
    sheet->m_AdapterType = ReadAdapterId(device);
    if (sheet->m_AdapterType == 0 || sheet->m_AdapterType >= kBoardTypes) {
        AfxMessageBox(
            "The Registery Key: AdapterID is missing or adapter ID is unknown, please reinstall the driver.");
        return finish();
    }
    sheet->m_pBoardRow = &applet::BoardTypeTable[sheet->m_AdapterType];
    for (uint32_t k = 0; k < kModuleSockets; k++) {
        uint32_t module = ReadModuleId(device, k);
        // A module type outside the table stands for an empty socket.
        sheet->m_pModuleRows[k] = &applet::ModuleTypeTable[module < kModuleTypes ? module : 0];
    }
    HWND owner = parent != nullptr ? parent->GetSafeHwnd() : nullptr;
    g_Timer0 = ::SetTimer(owner, 0, 1000, AppletTimerProc);
    g_Timer1 = ::SetTimer(owner, 1, 2000, AppletTimerProc);
    timers = true;
    sheet->DoModal();
    return finish();
}

void AppletTimerProc(HWND, UINT, UINT_PTR id, DWORD)
{
    // Timer 1 refreshes the status grid while that page is active; timer 0 does nothing.
    if (id != g_Timer1 || GPropertySheet == nullptr)
        return;
    CMyPropertyPage8& grid = GPropertySheet->m_StatusGridPage;
    if (grid.m_AutoRefresh == 1)
        grid.Refresh(grid.m_SelectedLine);
}

// --- the card selection -------------------------------------------------------------------

CCardSelection::CCardSelection(CWnd* pParent) : CDialog(IDD_CARD_SELECTION, pParent) {}

void CCardSelection::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_CBIndex(pDX, IDC_CARD_LIST, m_Selected);
}

BOOL CCardSelection::OnInitDialog()
{
    CDialog::OnInitDialog();
    auto* list = static_cast<CComboBox*>(GetDlgItem(IDC_CARD_LIST));
    if (list != nullptr && GPropertySheet != nullptr) {
        for (uint32_t i = 0; i < GPropertySheet->m_AdapterCount; i++) {
            CString entry;
            entry.Format("VORNET%u", GPropertySheet->m_DeviceNumbers[i]);
            list->AddString(entry);
        }
        list->SetCurSel(0);
    }
    m_Selected = 0;
    return TRUE;
}

void CCardSelection::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    if (GPropertySheet != nullptr && m_Selected >= 0 && (uint32_t)m_Selected < GPropertySheet->m_AdapterCount)
        GPropertySheet->m_CurrentAdapter = static_cast<uint32_t>(m_Selected);
    EndDialog(IDOK);
}

// --- registry -----------------------------------------------------------------------------

std::string ParametersKeyOf(uint32_t deviceNumber)
{
    std::string sub = LoadText(IDS_SERVICE_NAME).str() + std::to_string(deviceNumber) + "\\Parameters";
    char current[1024] = {};
    if (ReadRegValue(HKEY_LOCAL_MACHINE, LoadText(IDS_SELECT_KEY), "Current", current, sizeof current, REG_DWORD, 0) &&
        current[0] != '\0') {
        char last = current[std::strlen(current) - 1];
        return LoadText(IDS_CONTROL_SET_KEY).str() + last + "\\Services\\" + sub;
    }
    return LoadText(IDS_SERVICES_KEY).str() + "\\" + sub;
}

uint32_t ReadAdapterId(uint32_t deviceNumber) { return ReadParameter(deviceNumber, "AdapterID"); }

uint32_t ReadModuleId(uint32_t deviceNumber, uint32_t socket)
{
    char name[] = "ModuleID_0";
    name[9] = static_cast<char>('0' + socket % 10);
    return ReadParameter(deviceNumber, name);
}

// --- the application and the entry --------------------------------------------------------

CAppletApp::CAppletApp() : CWinApp(nullptr) {}
CAppletApp::~CAppletApp() = default;

extern "C" LONG CPlApplet(HWND hwndCPl, UINT uMsg, LPARAM lParam1, LPARAM lParam2)
{
    RegisterAppletResources();
    CControlPanel* panel = GControlPanel;
    if (panel == nullptr)
        return 0;
    switch (uMsg) {
    case CPL_INIT: return panel->OnInit();
    case CPL_GETCOUNT: return panel->OnGetCount();
    case CPL_INQUIRE: return 0;
    case CPL_SELECT: return panel->OnSelect(lParam1, lParam2);
    case CPL_DBLCLK: return panel->OnDblclk(hwndCPl, lParam1, lParam2);
    case CPL_STOP: return panel->OnStop(lParam1, lParam2);
    case CPL_EXIT: return panel->OnExit();
    case CPL_NEWINQUIRE:
        return panel->OnNewInquire(static_cast<UINT>(lParam1), reinterpret_cast<NEWCPLINFOA*>(lParam2));
    default: return 1;
    }
}
