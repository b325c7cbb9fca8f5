#include "applet/AdapterInfoPage.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "applet/PropertySheet.h"
#include "applet/resource.h"
#include "platform/version_resource.h"

namespace {

constexpr uint32_t kAdapterCode = 0x01000000;
constexpr uint32_t kDriverCode = 0x09000000;

constexpr uint32_t kReadAdapterInfo = 17;
constexpr uint32_t kReadLineInterface = 18;
constexpr uint32_t kReadDataInterfaceStatus = 19;
constexpr uint32_t kReadModuleInfo = 20;
constexpr uint32_t kReadCsmInfo = 21;
constexpr uint32_t kReadPumpInfo = 22;
constexpr uint32_t kReadSystemBus = 23;
constexpr uint32_t kReadQstackState = 24;
constexpr uint32_t kReadCallStatistics = 29;
constexpr uint32_t kReadLineWords = 48;

// Board-type row word: the number of lines.
constexpr uint32_t kBoardLines = 35;

// The file version of a binary of ours: most significant word high.
std::optional<uint64_t> FileVersion(const std::string& file)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
    if (size == 0)
        return std::nullopt;
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoA(file.c_str(), handle, size, block.data()))
        return std::nullopt;
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &value, &length) || value == nullptr || length < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    return uint64_t(info->dwFileVersionMS) << 32 | info->dwFileVersionLS;
}

CDriverFacts DriverFacts()
{
    CDriverFacts facts;
    if (GPropertySheet != nullptr) {
        facts.LineDevices = GPropertySheet->m_LineDevices;
        facts.KeptLines = GPropertySheet->m_KeptLines;
        facts.TapiVersion = GPropertySheet->m_TapiVersion;
        facts.LineVersion = GPropertySheet->m_LineVersion;
    }
    CWinApp* app = AfxGetApp();
    CString applet;
    applet.Format("%s.cpl", app != nullptr && app->m_pszExeName != nullptr ? app->m_pszExeName : "vornetap");
    facts.AppletVersion = FileVersion(applet.str());
    char system[MAX_PATH] = {};
    UINT n = GetSystemDirectoryA(system, sizeof system);
    if (n > 0 && n < sizeof system)
        facts.DriverVersion = FileVersion(std::string(system) + "\\drivers\\vornet.sys");
    return facts;
}

}  // namespace

BEGIN_MESSAGE_MAP(CMyPropertyPage7, CPropertyPage)
    ON_BN_CLICKED(IDC_INFO_REFRESH, OnRefresh)
    ON_NOTIFY(TVN_SELCHANGED, IDC_INFO_TREE, OnSelchangedTree)
END_MESSAGE_MAP()

CMyPropertyPage7::CMyPropertyPage7() : CPropertyPage(IDD_DEVICE_MANAGER) {}

CMyPropertyPage7::~CMyPropertyPage7() = default;

void CMyPropertyPage7::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_INFO_TREE, m_Tree);
    DDX_Text(pDX, IDC_INFO_TEXT, m_Text);
    DDV_MaxChars(pDX, m_Text, kTextLimit);
}

BOOL CMyPropertyPage7::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    ItemCode = kAdapterCode;
    m_Images.Create(16, 16, ILC_COLOR, 15, 0);
    int* const slots[] = {&m_iAdapter, &m_iAdapterBad, &m_iPump,    &m_iPumpBad,   &m_iBus,
                          &m_iBusBad,   &m_iModule,     &m_iModuleBad, &m_iModuleNone, &m_iDevice,
                          &m_iDeviceBad, &m_iQstack,    &m_iQstackBad, &m_iDriver,   &m_iDriverBad};
    const UINT bitmaps[] = {IDB_INFO_ADAPTER, IDB_INFO_ADAPTER_BAD, IDB_INFO_PUMP,        IDB_INFO_PUMP_BAD,
                            IDB_INFO_BUS,     IDB_INFO_BUS_BAD,     IDB_INFO_MODULE,      IDB_INFO_MODULE_BAD,
                            IDB_INFO_MODULE_NONE, IDB_INFO_DEVICE,  IDB_INFO_DEVICE_BAD,  IDB_INFO_QSTACK,
                            IDB_INFO_QSTACK_BAD,  IDB_INFO_DRIVER,  IDB_INFO_DRIVER_BAD};
    for (size_t i = 0; i < std::size(bitmaps); i++) {
        CBitmap bitmap;
        bitmap.LoadBitmap(bitmaps[i]);
        *slots[i] = m_Images.Add(&bitmap, nullptr);
    }
    m_Tree.SetImageList(&m_Images, TVSIL_NORMAL);
    BuildTree();
    return TRUE;
}

void CMyPropertyPage7::BuildTree()
{
    CAdapterCounts counts = infodump::AdapterCounts(Request(kReadAdapterInfo));
    if (counts.Result == CAdapterCounts::TooLong) {
        CString text;
        text.Format("%uError: Nbr of parameters > paramters table size", counts.Words);
        AfxMessageBox(text, MB_ICONEXCLAMATION);
        return;
    }
    if (counts.Result != CAdapterCounts::Sent) {
        // Without the counts only the adapter and the driver can be shown.
        CString failure = "Tapi Function Call Error";
        if (counts.Result == CAdapterCounts::Refused)
            failure.Format("Driver Error Code=0x%08x", GPropertySheet->m_pRequest->Status);
        m_hRoot = AddItem("", kAdapterCode, TVI_ROOT);
        AddItem("Driver", kDriverCode, TVI_ROOT);
        m_Text = failure;
        UpdateData(FALSE);
        return;
    }
    if (GPropertySheet == nullptr || counts.Type != GPropertySheet->m_AdapterType) {
        m_Text.Format("Unknown Adapter Type 0x%x", counts.Type);
        TVINSERTSTRUCT s{};
        s.hParent = TVI_ROOT;
        s.hInsertAfter = TVI_LAST;
        s.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
        s.item.pszText = const_cast<LPSTR>("Adapter: Unknown");
        s.item.lParam = kAdapterCode;
        s.item.iImage = s.item.iSelectedImage = m_iAdapterBad;
        m_hRoot = m_Tree.InsertItem(&s);
        UpdateData(FALSE);
        return;
    }
    std::vector<HTREEITEM> items;
    for (const CTreeEntry& e : infodump::TreePlan(counts, GPropertySheet->m_pBoardRow, GPropertySheet->m_pModuleRows)) {
        HTREEITEM parent = e.Parent >= 0 ? items[static_cast<size_t>(e.Parent)] : TVI_ROOT;
        items.push_back(AddItem(e.Text.c_str(), e.Code, parent));
        KeepHandle(e.Code, items.back());
        if (e.ExpandParent && e.Parent >= 0)
            m_Tree.Expand(parent, TVE_EXPAND);
    }
    UpdateData(FALSE);
}

// The handles of the items that others are put under while the tree is built.
void CMyPropertyPage7::KeepHandle(uint32_t code, HTREEITEM item)
{
    uint32_t index = (code >> 16) & 0xFF;
    switch (code >> 24) {
    case infodump::kAdapter: m_hRoot = item; break;
    case infodump::kSystemBus:
        if (index < infodump::kMaxBuses)
            m_hBus[index] = item;
        break;
    case infodump::kModule:
        if (index < infodump::kMaxSockets)
            m_hModule[index] = item;
        break;
    case infodump::kCsmDevice: m_hCsm = item; break;
    default: break;
    }
}

HTREEITEM CMyPropertyPage7::AddItem(const char* text, uint32_t code, HTREEITEM parent)
{
    ItemCode = code;
    TVINSERTSTRUCT s{};
    s.hParent = parent;
    s.hInsertAfter = TVI_LAST;
    s.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    s.item.pszText = const_cast<LPSTR>(text);
    s.item.lParam = static_cast<LPARAM>(code);
    SetItemImage(&s.item);
    return m_Tree.InsertItem(&s);
}

void CMyPropertyPage7::SetItemImage(TVITEM* item)
{
    int image = GetInfo();
    item->iImage = image;
    item->iSelectedImage = image;
}

int CMyPropertyPage7::GetInfo()
{
    UpdateData(TRUE);
    UpdateData(FALSE);
    uint32_t a = (ItemCode >> 16) & 0xFF, b = (ItemCode >> 8) & 0xFF, c = ItemCode & 0xFF;
    switch (ItemCode >> 24) {
    case infodump::kAdapter: return GetInfoAdapter();
    case infodump::kLineIntf: return GetInfoLineIntf(a);
    case infodump::kDataIntf: return GetInfoDataIntf(a);
    case infodump::kModule: return GetInfoModule(a);
    case infodump::kCsmDevice: return GetInfoCsmDevice(a, b);
    case infodump::kPumpDevice: return GetInfoPumpDevice(a, b, c);
    case infodump::kSystemBus: return GetInfoSystemBus(a);
    case infodump::kQstack: return GetInfoQstack(a);
    case infodump::kDriver: return GetInfoDriver();
    default:
        m_Text.Format("Unknown Object ItemCode 0x%x", ItemCode);
        UpdateData(FALSE);
        return 0;
    }
}

const BackdoorRequest* CMyPropertyPage7::Request(uint32_t action, uint32_t arg0, uint32_t arg1, uint32_t arg2)
{
    if (GPropertySheet == nullptr || GPropertySheet->m_pRequest == nullptr)
        return nullptr;
    GPropertySheet->ClearDriverRequest();
    BackdoorRequest* r = GPropertySheet->m_pRequest;
    r->Class = 0;
    r->Action = action;
    r->Arg[0] = arg0;
    r->Arg[1] = arg1;
    r->Arg[2] = arg2;
    return GPropertySheet->SendDriverRequest() ? r : nullptr;
}

int CMyPropertyPage7::ImageOf(uint32_t type, InfoHealth health) const
{
    bool good = health == InfoHealth::Healthy;
    switch (type) {
    case infodump::kAdapter: return good ? m_iAdapter : m_iAdapterBad;
    case infodump::kPumpDevice: return good ? m_iPump : m_iPumpBad;
    case infodump::kSystemBus: return good ? m_iBus : m_iBusBad;
    case infodump::kModule:
        return health == InfoHealth::NotInstalled ? m_iModuleNone : good ? m_iModule : m_iModuleBad;
    case infodump::kQstack: return good ? m_iQstack : m_iQstackBad;
    case infodump::kDriver: return good ? m_iDriver : m_iDriverBad;
    default: return good ? m_iDevice : m_iDeviceBad;
    }
}

int CMyPropertyPage7::Show(uint32_t type, const CInfoDump& dump)
{
    m_Text = dump.Text.size() > static_cast<size_t>(kTextLimit) ? dump.Text.substr(0, kTextLimit) : dump.Text;
    UpdateData(FALSE);
    return ImageOf(type, dump.Health);
}

int CMyPropertyPage7::GetInfoAdapter()
{
    UpdateData(TRUE);
    return Show(infodump::kAdapter, infodump::Adapter(Request(kReadAdapterInfo)));
}

int CMyPropertyPage7::GetInfoLineIntf(uint32_t line)
{
    UpdateData(TRUE);
    return Show(infodump::kLineIntf, infodump::LineIntf(Request(kReadLineInterface, line), line));
}

int CMyPropertyPage7::GetInfoDataIntf(uint32_t bus)
{
    UpdateData(TRUE);
    return Show(infodump::kDataIntf, infodump::DataIntf(Request(kReadDataInterfaceStatus), bus));
}

int CMyPropertyPage7::GetInfoModule(uint32_t socket)
{
    UpdateData(TRUE);
    return Show(infodump::kModule, infodump::Module(Request(kReadModuleInfo, socket), socket));
}

int CMyPropertyPage7::GetInfoCsmDevice(uint32_t socket, uint32_t device)
{
    UpdateData(TRUE);
    return Show(infodump::kCsmDevice, infodump::CsmDevice(Request(kReadCsmInfo, socket, device), socket, device));
}

int CMyPropertyPage7::GetInfoPumpDevice(uint32_t socket, uint32_t device, uint32_t pump)
{
    UpdateData(TRUE);
    return Show(infodump::kPumpDevice,
                infodump::PumpDevice(Request(kReadPumpInfo, socket, device, pump), socket, device, pump));
}

int CMyPropertyPage7::GetInfoSystemBus(uint32_t bus)
{
    UpdateData(TRUE);
    return Show(infodump::kSystemBus, infodump::SystemBus(Request(kReadSystemBus, bus), bus));
}

int CMyPropertyPage7::GetInfoQstack(uint32_t line)
{
    UpdateData(TRUE);
    const BackdoorRequest* reply = Request(kReadQstackState, line);
    if (reply == nullptr)
        return Show(infodump::kQstack, infodump::Qstack(nullptr, line, std::nullopt));
    auto state = std::make_unique<BackdoorRequest>(*reply);
    // A refusal is robbed-bit signalling only when the line runs it.
    std::optional<uint32_t> protocol;
    if (state->Status != 0)
        if (const BackdoorRequest* words = Request(kReadLineWords, line); words != nullptr && words->Status == 0)
            protocol = words->Arg[2];
    return Show(infodump::kQstack, infodump::Qstack(state.get(), line, protocol));
}

int CMyPropertyPage7::GetInfoDriver()
{
    UpdateData(TRUE);
    uint32_t lines = 0;
    if (GPropertySheet != nullptr && GPropertySheet->m_pBoardRow != nullptr)
        lines = std::min(GPropertySheet->m_pBoardRow->Word[kBoardLines], infodump::kMaxLines);
    std::vector<std::unique_ptr<BackdoorRequest>> replies;
    std::vector<const BackdoorRequest*> groups;
    for (uint32_t g = 0; g < lines; g++) {
        const BackdoorRequest* reply = Request(kReadCallStatistics, g);
        replies.push_back(reply != nullptr ? std::make_unique<BackdoorRequest>(*reply) : nullptr);
        groups.push_back(replies.back().get());
    }
    return Show(infodump::kDriver, infodump::Driver(DriverFacts(), groups));
}

void CMyPropertyPage7::OnRefresh() { GetInfo(); }

void CMyPropertyPage7::OnSelchangedTree(NMHDR* pNMHDR, LRESULT* pResult)
{
    auto* tree = reinterpret_cast<NMTREEVIEW*>(pNMHDR);
    *pResult = 0;
    if (tree->itemNew.hItem == nullptr)
        return;
    ItemCode = static_cast<uint32_t>(tree->itemNew.lParam);
    int image = GetInfo();
    TVITEM item{};
    item.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    item.hItem = tree->itemNew.hItem;
    item.iImage = image;
    item.iSelectedImage = image;
    m_Tree.SetItem(&item);
    UpdateData(FALSE);
}
