#include "applet/UpdateCode.h"

#include "QLCommon/Adapter.h"
#include "QLCommon/os.h"
#include "applet/resource.h"

void zel_WaitPumping(HANDLE event)
{
    while (WaitForSingleObject(event, 10) != WAIT_OBJECT_0)
        AfxPumpMessages();
}

BEGIN_MESSAGE_MAP(CUpdateCode, CPropertyPage)
    ON_BN_CLICKED(IDC_BROWSE_FIRMWARE, OnBrowseFirmware)
    ON_BN_CLICKED(IDC_BROWSE_DRIVER, OnBrowseDriver)
    ON_BN_CLICKED(IDC_UPDATE_FIRMWARE, OnUpdateFirmware)
    ON_BN_CLICKED(IDC_UPDATE_DRIVER, OnUpdateDriver)
END_MESSAGE_MAP()

CUpdateCode::CUpdateCode(CVX2430Adapter* adapter, UINT)
    : CPropertyPage(IDD_DRIVER_UPDATE), m_pAdapter(adapter), m_hReplyEvent(os_CreateEvent())
{
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, sizeof system);
    m_DriverFile = CString(system) + "\\drivers\\VORNET.SYS";
    m_FirmwareFile = CString(system) + "\\drivers\\ARMCSM";
}

CUpdateCode::~CUpdateCode() { os_CloseEvent(m_hReplyEvent); }

void CUpdateCode::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_DRIVER_FILE, m_DriverFile);
    DDX_Text(pDX, IDC_FIRMWARE_FILE, m_FirmwareFile);
}

void CUpdateCode::Update(CSubject* subject, SubjectHint)
{
    auto* message = dynamic_cast<CVX2430Adapter::CUpdateModemCodeMessage*>(subject);
    if (message == nullptr)
        return;
    m_ReplyCode = message->m_Result;
    os_SetEvent(m_hReplyEvent);
}

void CUpdateCode::Browse(CString& path, const char* title)
{
    UpdateData(TRUE);
    CString folder = path;
    int slash = folder.ReverseFind('\\');
    if (slash >= 0)
        folder = folder.Left(slash);
    CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_FILEMUSTEXIST, nullptr,
                       this);
    dialog.m_ofn.lpstrInitialDir = folder;
    dialog.m_ofn.lpstrTitle = title;
    if (dialog.DoModal() != IDOK)
        return;
    path = dialog.GetPathName();
    UpdateData(FALSE);
}

void CUpdateCode::OnBrowseFirmware() { Browse(m_FirmwareFile, "ArmCsm file"); }
void CUpdateCode::OnBrowseDriver() { Browse(m_DriverFile, "VORNET driver "); }
void CUpdateCode::OnUpdateFirmware() { UpdateFile(false); }
void CUpdateCode::OnUpdateDriver() { UpdateFile(true); }

std::string CUpdateCode::ResultText(int32_t code, bool driver, const std::string& path)
{
    char text[400];
    switch (code) {
    case 0:
        std::snprintf(text, sizeof text,
                      "%s code was updated.    These changes require Windows to be restarted. Restart now?",
                      driver ? "Driver" : "ArmCSM");
        break;
    case 1: std::snprintf(text, sizeof text, "The file can not be copied upon itself. "); break;
    case 2: std::snprintf(text, sizeof text, "The file <%.300s> could not be opened ", path.c_str()); break;
    default: std::snprintf(text, sizeof text, "Function Call Failed!"); break;
    }
    return text;
}

void CUpdateCode::UpdateFile(bool driver)
{
    UpdateData(TRUE);
    std::string path = (driver ? m_DriverFile : m_FirmwareFile).str();
    if (m_pAdapter == nullptr) {
        MessageBox(ResultText(3, driver, path).c_str(), nullptr, MB_ICONEXCLAMATION);
        return;
    }
    m_ReplyCode = -1;
    m_pAdapter->PushWithObserver(new CVX2430Adapter::CUpdateModemCodeMessage(path, driver ? 1 : 0), this);
    zel_WaitPumping(m_hReplyEvent);
    os_ResetEvent(m_hReplyEvent);
    int32_t code = m_ReplyCode;
    std::string text = ResultText(code, driver, path);
    if (code != 0) {
        MessageBox(text.c_str(), nullptr, MB_ICONEXCLAMATION);
        return;
    }
    if (MessageBox(text.c_str(), nullptr, MB_YESNO) == IDYES && !os_RestartWindows())
        MessageBox("Unable to restart Windows.");
}
