#include "applet/EngineeringPages.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "applet/ControlPanel.h"
#include "applet/FramerDumpPage.h"
#include "applet/FramerTestPage.h"
#include "applet/HdlcPages.h"
#include "applet/LinkPages.h"
#include "applet/ModemDiagPage.h"
#include "applet/PriDebugPage.h"
#include "applet/PropertySheet.h"
#include "applet/resource.h"

namespace {

template <class Page>
CPropertyPage* Create()
{
    return static_cast<Page*>(Page::CreateObject());
}

constexpr UINT kDevicesTried = 16;

HANDLE OpenAdapterDevice(UINT device)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\VORNET%u", device);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

const EngineeringPage kEngineeringPages[] = {
    {"pri-debug", &Create<CMyPropertyPage9>},
    {"link-info", &Create<CMyPropertyPage10>},
    {"messages", &Create<CMyPropertyPage11>},
    {"shared-memory", &Create<CMyPropertyPage4>},
    {"bt847x", &Create<CMyPropertyPage5>},
    {"layer1", &CreateFramerTestPage},
    {"bt8370", &CreateFramerDumpPage},
    {"csm", &CreateModemDiagPage},
    {nullptr, nullptr},
};

const EngineeringPage* FindEngineeringPage(const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (const EngineeringPage* p = kEngineeringPages; p->name != nullptr; p++)
        if (std::strcmp(p->name, name) == 0)
            return p;
    return nullptr;
}

const BackdoorRequest* SendSheetRequest(const std::function<void(BackdoorRequest&)>& fill)
{
    CMyPropertySheet* sheet = GPropertySheet;
    if (sheet == nullptr)
        return nullptr;
    sheet->ClearDriverRequest();
    fill(sheet->m_Request);
    if (!sheet->SendDriverRequest())
        return nullptr;
    return &sheet->m_Request;
}

int SheetLineCount()
{
    CMyPropertySheet* sheet = GPropertySheet;
    uint32_t lines = sheet != nullptr && sheet->m_pBoardRow != nullptr ? sheet->m_pBoardRow->Word[35] : 1;
    return lines < 1 ? 1 : lines > 4 ? 4 : static_cast<int>(lines);
}

extern "C" const char* EngineeringPageNames()
{
    static const std::string names = [] {
        std::string s;
        for (const EngineeringPage* p = kEngineeringPages; p->name != nullptr; p++) {
            if (!s.empty())
                s += ' ';
            s += p->name;
        }
        return s;
    }();
    return names.c_str();
}

extern "C" LONG OpenEngineeringPage(HWND parent, const char* name, UINT device)
{
    RegisterAppletResources();
    const EngineeringPage* entry = FindEngineeringPage(name);
    if (entry == nullptr)
        return 1;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (device != 0) {
        handle = OpenAdapterDevice(device);
    } else {
        for (UINT d = 1; d <= kDevicesTried && handle == INVALID_HANDLE_VALUE; d++)
            if ((handle = OpenAdapterDevice(d)) != INVALID_HANDLE_VALUE)
                device = d;
    }
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
        return 2;

    CWnd* owner = parent != nullptr ? CWnd::FromHandle(parent) : nullptr;
    auto* sheet = new CMyPropertySheet(owner);
    GPropertySheet = sheet;
    sheet->m_DeviceNumbers[0] = device;
    sheet->m_DeviceHandles[0] = handle;
    sheet->m_AdapterCount = 1;
    sheet->m_CurrentAdapter = 0;
    sheet->m_AdapterType = ReadAdapterId(device);
    if (sheet->m_AdapterType != 0 && sheet->m_AdapterType < kBoardTypes)
        sheet->m_pBoardRow = &applet::BoardTypeTable[sheet->m_AdapterType];
    for (uint32_t k = 0; k < kModuleSockets; k++) {
        uint32_t module = ReadModuleId(device, k);
        // A module type outside the table stands for an empty socket.
        sheet->m_pModuleRows[k] = &applet::ModuleTypeTable[module < kModuleTypes ? module : 0];
    }
    CPropertyPage* page = entry->create();
    sheet->AddPage(page);
    sheet->DoModal();
    delete sheet;
    delete page;
    GPropertySheet = nullptr;
    CloseHandle(handle);
    return 0;
}
