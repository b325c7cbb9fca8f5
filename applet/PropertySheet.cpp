#include "applet/PropertySheet.h"

#include "applet/Reports.h"
#include <cstring>

#include "applet/PropertyPageQLS.h"
#include "applet/resource.h"

CMyPropertySheet* GPropertySheet = nullptr;

namespace {

constexpr DWORD kDevCapsSize = 4032;
constexpr char kKeptLinePrefix[] = "RIROVE";

// TAPI32 is loaded by name on first use; a missing library or entry answers as TAPI
// answers an operation it does not offer.
template <class T>
T Entry(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct TapiEntries {
    LINEINITIALIZEEXA_PROC initializeEx = nullptr;
    LINENEGOTIATEAPIVERSION_PROC negotiate = nullptr;
    LINEOPENA_PROC open = nullptr;
    LINEGETDEVCAPSA_PROC getDevCaps = nullptr;
    LINECLOSE_PROC close = nullptr;
    LINESHUTDOWN_PROC shutdown = nullptr;

    explicit TapiEntries(HMODULE tapi)
    {
        if (tapi == nullptr)
            return;
        initializeEx = Entry<LINEINITIALIZEEXA_PROC>(tapi, "lineInitializeExA");
        negotiate = Entry<LINENEGOTIATEAPIVERSION_PROC>(tapi, "lineNegotiateAPIVersion");
        open = Entry<LINEOPENA_PROC>(tapi, "lineOpenA");
        getDevCaps = Entry<LINEGETDEVCAPSA_PROC>(tapi, "lineGetDevCapsA");
        close = Entry<LINECLOSE_PROC>(tapi, "lineClose");
        shutdown = Entry<LINESHUTDOWN_PROC>(tapi, "lineShutdown");
    }
    LONG Close(HLINE line) const { return close ? close(line) : (LONG)LINEERR_OPERATIONUNAVAIL; }
};

// The line name of the capabilities, bounded by its size and the structure.
std::string LineName(const std::vector<uint8_t>& caps)
{
    const auto* c = reinterpret_cast<const LINEDEVCAPS*>(caps.data());
    uint64_t offset = c->dwLineNameOffset, size = c->dwLineNameSize;
    if (size == 0 || offset < sizeof(LINEDEVCAPS) || offset >= caps.size())
        return std::string();
    if (size > caps.size() - offset)
        size = caps.size() - offset;
    const char* text = reinterpret_cast<const char*>(caps.data() + offset);
    return std::string(text, strnlen(text, static_cast<size_t>(size)));
}

}  // namespace

BEGIN_MESSAGE_MAP(CMyPropertySheet, CPropertySheet)
    ON_WM_DESTROY()
END_MESSAGE_MAP()

CMyPropertySheet::CMyPropertySheet(CWnd* pParentWnd)
    : CPropertySheet(IDS_APPLET_NAME, pParentWnd, 0), m_pParent(pParentWnd)
{
    m_psh.dwFlags |= PSH_NOAPPLYNOW;
    m_pRequest = &m_Request;
}

CMyPropertySheet::~CMyPropertySheet()
{
    CloseTapiLines();
    for (CPropertyPageQLS* page : m_AdapterPages)
        delete page;
    m_AdapterPages.clear();
    if (m_hTapi != nullptr)
        FreeLibrary(m_hTapi);
}

void CMyPropertySheet::AddAdapterPage(CVX2430Adapter* adapter)
{
    auto* page = new CPropertyPageQLS(adapter, static_cast<uint32_t>(m_AdapterPages.size()));
    m_AdapterPages.push_back(page);
    AddPage(page);
}

// The line configuration, status grid and information pages, once; the card selection
// follows the note that they were added.
void CMyPropertySheet::AddCommonPages()
{
    if (m_bCommonPages)
        return;
    m_bCommonPages = true;
    AddPage(&m_LineConfigPage);
    AddPage(&m_StatusGridPage);
    AddPage(&m_InfoPage);
}

BOOL CMyPropertySheet::ClearDriverRequest()
{
    std::memset(&m_Request, 0, sizeof m_Request);
    return TRUE;
}

BOOL CMyPropertySheet::SendDriverRequest()
{
    if (m_CurrentAdapter >= m_AdapterCount)
        return FALSE;
    m_Request.Signature = kBackdoorSignature;
    m_Request.BufferLength = kBackdoorRequestSize;
    DWORD oid = kOidBackdoorRequest, returned = 0;
    return DeviceIoControl(m_DeviceHandles[m_CurrentAdapter], kIoctlQueryGlobalStats, &oid, sizeof oid, &m_Request,
                           sizeof m_Request, &returned, nullptr)
               ? TRUE
               : FALSE;
}

CReplyData CMyPropertySheet::ReplySegment(const BackdoorRequest& reply, int k)
{
    return reply.Status != 0 ? CReplyData{} : ReplySegmentBytes(reply, k);
}

std::string CMyPropertySheet::StatusText(const BackdoorRequest& reply)
{
    if (reply.Status == 0)
        return "Done";
    char text[64];
    std::snprintf(text, sizeof text, "The driver refused the request (status 0x%08X).", reply.Status);
    return text;
}

BOOL CMyPropertySheet::OnInitDialog()
{
    // Without TAPI the sheet still shows its pages; the information it would give stays 0.
    ScanTapiLines();
    BOOL result = CPropertySheet::OnInitDialog();
    for (int id : {IDOK, IDCANCEL})
        if (CWnd* button = GetDlgItem(id))
            button->ShowWindow(SW_HIDE);
    return result;
}

bool CMyPropertySheet::ScanTapiLines()
{
    m_pRequest = &m_Request;
    m_hLineApp = 0;
    m_LineDevices = 0;
    m_KeptLines = 0;
    m_LowVersion = 0;
    m_HighVersion = TAPI_CURRENT_VERSION;
    m_TapiVersion = TAPI_CURRENT_VERSION;
    std::memset(&m_TapiParams, 0, sizeof m_TapiParams);
    m_TapiParams.dwTotalSize = 24;
    m_TapiParams.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;

    CString name;
    if (!name.LoadString(IDS_APPLET_NAME))
        name = "Quorlane Systems";
    if (m_hTapi == nullptr)
        m_hTapi = LoadLibraryA("TAPI32.DLL");
    TapiEntries tapi(m_hTapi);
    LONG r = tapi.initializeEx ? tapi.initializeEx(&m_hLineApp, nullptr, nullptr, name, &m_LineDevices,
                                                   &m_TapiVersion, &m_TapiParams)
                               : (LONG)LINEERR_OPERATIONUNAVAIL;
    if (r != 0) {
        m_hLineApp = 0;
        m_LineDevices = 0;
        AfxMessageBox("TAPI lineInitializeEx Failed. Check TAPI versions.");
        return false;
    }
    // A service that claims more devices than any machine has is not believed.
    if (m_LineDevices > 4096)
        m_LineDevices = 4096;
    m_LineNames.assign(m_LineDevices, std::string());
    m_LineHandles.assign(m_LineDevices, 0);
    std::vector<uint8_t> caps(kDevCapsSize);
    for (DWORD i = 0; i < m_LineDevices; i++) {
        DWORD version = 0;
        LINEEXTENSIONID extension{};
        if (!tapi.negotiate || tapi.negotiate(m_hLineApp, i, 0, TAPI_CURRENT_VERSION, &version, &extension) != 0)
            continue;
        HLINE line = 0;
        LINECALLPARAMS params{};
        if (!tapi.open || tapi.open(m_hLineApp, i, &line, version, 0, 0, LINECALLPRIVILEGE_NONE,
                                    LINEMEDIAMODE_UNKNOWN, &params) != 0)
            continue;
        std::fill(caps.begin(), caps.end(), 0);
        reinterpret_cast<LINEDEVCAPS*>(caps.data())->dwTotalSize = kDevCapsSize;
        if (!tapi.getDevCaps ||
            tapi.getDevCaps(m_hLineApp, i, version, 0, reinterpret_cast<LINEDEVCAPS*>(caps.data())) != 0) {
            tapi.Close(line);
            continue;
        }
        std::string lineName = LineName(caps);
        if (lineName.compare(0, 6, kKeptLinePrefix) == 0) {
            m_LineHandles[m_KeptLines] = line;
            m_LineNames[m_KeptLines] = lineName;
            m_LineVersion = version;
            m_KeptLines++;
        } else {
            tapi.Close(line);
        }
    }
    return true;
}

// The kept lines stay open while the sheet runs, so their links belong to TAPI meanwhile.
void CMyPropertySheet::CloseTapiLines()
{
    if (m_hLineApp == 0)
        return;
    TapiEntries tapi(m_hTapi);
    for (DWORD i = 0; i < m_KeptLines && i < m_LineHandles.size(); i++)
        tapi.Close(m_LineHandles[i]);
    if (tapi.shutdown)
        tapi.shutdown(m_hLineApp);
    m_hLineApp = 0;
}

void CMyPropertySheet::OnDestroy()
{
    CPropertySheet::OnDestroy();
    for (CPropertyPageQLS* page : m_AdapterPages)
        delete page;
    m_AdapterPages.clear();
    CloseTapiLines();
}
