// The applet's resources: strings, the dialog templates of its sheets, pages and
// dialogs, its menus, and the pictures (lamps of 15 by 15 pixels, the adapter).
#include <iterator>
#include <string>
#include <vector>

#include "applet/LineConfigPage.h"
#include "applet/resource.h"
#include "platform/mfc/afxwin.h"

namespace {

constexpr DWORD kShown = WS_VISIBLE | WS_TABSTOP;
constexpr DWORD kHidden = WS_TABSTOP;
constexpr DWORD kLamp = BS_OWNERDRAW;  // hidden until a view takes it
constexpr DWORD kDropList = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;

const char* const kNumbers[] = {"1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10", "11",
                                "12", "13", "14", "15", "16", "17", "18", "19", "20", "21", "22",
                                "23", "24", "25", "26", "27", "28", "29", "30", "31"};

// Slot i of a panel row pair: 16 in the first row, 15 in the second.
short SlotX(int i) { return static_cast<short>(13 + (i % 16) * 12); }
short SlotY(int i, short top) { return static_cast<short>(top + (i / 16) * 22); }

std::vector<AFX_DLGITEM> AdapterPageItems()
{
    std::vector<AFX_DLGITEM> items = {
        {AfxItem::Bitmap, IDC_STATIC, nullptr, 7, 7, 201, 44, WS_VISIBLE, nullptr, IDB_ADAPTER},
        {AfxItem::GroupBox, IDC_STATIC, "Line Interface", 7, 56, 201, 28},
        {AfxItem::PushButton, IDC_LAYER1, nullptr, 14, 69, 10, 9, kLamp},
        {AfxItem::LText, IDC_STATIC, "Layer 1 Status", 28, 70, 70, 8},
        {AfxItem::PushButton, IDC_LAYER2, nullptr, 110, 69, 10, 9, kLamp},
        {AfxItem::LText, IDC_STATIC, "Layer 2 Status", 124, 70, 70, 8},
        {AfxItem::GroupBox, IDC_STATIC, "Channels", 7, 90, 201, 56},
        {AfxItem::GroupBox, IDC_STATIC, "Modems", 7, 152, 201, 56},
        {AfxItem::PushButton, IDC_CONFIGURE, "Configure", 7, 232, 60, 14, kHidden},
        {AfxItem::PushButton, IDC_DIRECTORY_NUMBERS, "Directory Numbers", 72, 232, 68, 14, kHidden},
        {AfxItem::PushButton, IDC_CONFIGURATION, "Configuration", 140, 214, 68, 14, kShown},
    };
    for (int i = 0; i < kPanelSlots; i++) {
        items.push_back({AfxItem::PushButton, IDC_CHANNEL_FIRST + i, nullptr, SlotX(i), SlotY(i, 102), 10, 9, kLamp});
        items.push_back({AfxItem::CText, IDC_CHANNEL_TEXT_FIRST + i, kNumbers[i], static_cast<short>(SlotX(i) - 1),
                         static_cast<short>(SlotY(i, 102) + 10), 12, 8, 0});
        items.push_back({AfxItem::PushButton, ModemButtonId(i), nullptr, SlotX(i), SlotY(i, 164), 10, 9, kLamp});
        items.push_back({AfxItem::CText, ModemTextId(i), kNumbers[i], static_cast<short>(SlotX(i) - 1),
                         static_cast<short>(SlotY(i, 164) + 10), 12, 8, 0});
    }
    return items;
}

const AFX_DLGITEM kCardItems[] = {
    {AfxItem::LText, IDC_STATIC, "Select the card to configure:", 7, 7, 150, 8},
    {AfxItem::ComboBox, IDC_CARD_LIST, nullptr, 7, 19, 150, 80, kDropList},
    {AfxItem::DefPushButton, IDOK, "OK", 37, 40, 50, 14},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 92, 40, 50, 14},
};
const AFX_DLGTEMPLATE kCardSelection = {IDD_CARD_SELECTION, "Card Selection", 164, 62, kCardItems,
                                        std::size(kCardItems)};

const char* const kFramings[] = {"T1 -  Format FT ",           "T1 - 12 Frame Multi-Frame", "T1 -  SLC",
                                 "T1 -  Extended Super Frame", "E1 -  FAS with CRC",        "E1 -  FAS without CRC",
                                 nullptr};
const char* const kLineCodes[] = {"B8ZS", "B7ZS", "HDB3", "AMI", "UMC", nullptr};
const char* const kSwitchTypes[] = {"PRI - Lucent 5ESS ",   "PRI -National ISDN (1or2)", "PRI -Nortel DMS100",
                                    "PRI -European ISDN ",  "PRI -French VN4 ISDN",      "",
                                    nullptr};
const char* const kTxLevels[] = {"Cable 0-133 Ft 100 Ohm",   "Cable 133-266 Ft 100 Ohm", "Cable 266-399 Ft 100 Ohm",
                                 "Cable 399-533 Ft 100 Ohm", "Cable 533-655 Ft 100 Ohm", "Cable ITU-T G.703 75 Ohm",
                                 "G703 120",                 "Long Haul 100",            nullptr};

const AFX_DLGITEM kPriItems[] = {
    {AfxItem::LText, IDC_STATIC, "Framing Format:", 10, 14, 70, 8},
    {AfxItem::ComboBox, IDC_FRAMING, nullptr, 86, 12, 150, 80, kDropList, kFramings},
    {AfxItem::LText, IDC_STATIC, "Line Coding:", 10, 36, 70, 8},
    {AfxItem::ComboBox, IDC_LINE_CODING, nullptr, 86, 34, 150, 80, kDropList, kLineCodes},
    {AfxItem::LText, IDC_STATIC, "Switch Type:", 10, 58, 70, 8},
    {AfxItem::ComboBox, IDC_SWITCH_TYPE, nullptr, 86, 56, 150, 80, kDropList, kSwitchTypes},
    {AfxItem::LText, IDC_STATIC, "Tx Level:", 10, 80, 70, 8},
    {AfxItem::ComboBox, IDC_TX_LEVEL, nullptr, 86, 78, 150, 80, kDropList, kTxLevels},
    {AfxItem::DefPushButton, IDOK, "OK", 130, 130, 50, 14, kHidden},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 186, 130, 50, 14, kHidden},
};
const AFX_DLGTEMPLATE kPriSetup = {IDD_PRI_SETUP, "PRI Setup", 290, 150, kPriItems, std::size(kPriItems)};

const AFX_DLGITEM kDirItems[] = {
    {AfxItem::GroupBox, IDC_STATIC, "Manual", 7, 6, 236, 46},
    {AfxItem::PushButton, IDC_DIR_CHANNEL_HEADING, "Channel", 14, 17, 44, 12},
    {AfxItem::PushButton, IDC_DIR_NUMBER_HEADING, "Directory Number", 64, 17, 172, 12},
    {AfxItem::Edit, IDC_DIR_CHANNEL, nullptr, 14, 32, 34, 13, kShown | ES_NUMBER},
    {AfxItem::Spin, IDC_DIR_SPIN, nullptr, 48, 32, 10, 13,
     WS_VISIBLE | UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS},
    {AfxItem::ComboBox, IDC_DIR_LIST, nullptr, 64, 32, 172, 100, kShown | WS_VSCROLL | CBS_DROPDOWN},
    {AfxItem::GroupBox, IDC_STATIC, "Automatic", 7, 58, 236, 66},
    {AfxItem::LText, IDC_STATIC, "1st Dir. Nbr:", 14, 73, 50, 8},
    {AfxItem::Edit, IDC_DIR_FIRST_NUMBER, nullptr, 64, 71, 172, 13},
    {AfxItem::RadioButton, IDC_DIR_INCREMENT, "Increment number", 14, 90, 100, 10, kShown | WS_GROUP},
    {AfxItem::RadioButton, IDC_DIR_SAME, "Same Number for all", 14, 104, 100, 10},
    {AfxItem::PushButton, IDC_DIR_FILL, "Fill", 186, 102, 50, 14},
    {AfxItem::DefPushButton, IDOK, "OK", 130, 130, 50, 14, kHidden},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 186, 130, 50, 14, kHidden},
};
const AFX_DLGTEMPLATE kDirectory = {IDD_DIRECTORY_NUMBERS, "Directory Number Setup", 290, 150, kDirItems,
                                    std::size(kDirItems)};

const AFX_DLGITEM kUpdateItems[] = {
    {AfxItem::GroupBox, IDC_STATIC, "Modem Software", 7, 7, 236, 52},
    {AfxItem::Edit, IDC_FIRMWARE_FILE, nullptr, 14, 20, 222, 13, kShown | ES_AUTOHSCROLL},
    {AfxItem::PushButton, IDC_BROWSE_FIRMWARE, "Browse", 130, 38, 50, 14},
    {AfxItem::PushButton, IDC_UPDATE_FIRMWARE, "Update File", 186, 38, 50, 14},
    {AfxItem::GroupBox, IDC_STATIC, "Driver Software", 7, 66, 236, 52},
    {AfxItem::Edit, IDC_DRIVER_FILE, nullptr, 14, 79, 222, 13, kShown | ES_AUTOHSCROLL},
    {AfxItem::PushButton, IDC_BROWSE_DRIVER, "Browse", 130, 97, 50, 14},
    {AfxItem::PushButton, IDC_UPDATE_DRIVER, "Update File", 186, 97, 50, 14},
    {AfxItem::DefPushButton, IDOK, "Done", 186, 128, 50, 14, kHidden},
};
const AFX_DLGTEMPLATE kUpdate = {IDD_DRIVER_UPDATE, "Driver Update", 290, 150, kUpdateItems, std::size(kUpdateItems)};

const AFX_DLGITEM kAsyncItems[] = {
    {AfxItem::LText, IDC_STATIC,
     "If you intend to dial out using a terminal program or fax package, enter the number of async ports you "
     "require. The ports will be created sequentially using the starting port number.  Make sure no COM ports "
     "exist in the range you specify",
     10, 10, 230, 50},
    {AfxItem::LText, IDC_STATIC, "Starting Port Number (COMx)", 10, 74, 120, 8},
    {AfxItem::Edit, IDC_FIRST_PORT, nullptr, 150, 72, 40, 13, kShown | ES_NUMBER},
    {AfxItem::LText, IDC_STATIC, "Number of Async Ports", 10, 96, 120, 8},
    {AfxItem::Edit, IDC_PORT_COUNT, nullptr, 150, 94, 40, 13, kShown | ES_NUMBER},
    {AfxItem::DefPushButton, IDOK, "OK", 130, 130, 50, 14, kHidden},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 186, 130, 50, 14, kHidden},
};
const AFX_DLGTEMPLATE kAsync = {IDD_ASYNC_PORTS, "Async Port Setup", 290, 150, kAsyncItems, std::size(kAsyncItems)};


const AFX_MENUITEM kModemItems[] = {
    {"Out Of Service", ID_MODEM_OUT_OF_SERVICE},
    {"Enable Debug Log", ID_MODEM_DEBUG_LOG},
    {nullptr, 0},
};
const AFX_MENUITEM kModemBar[] = {{"Modem", 0, kModemItems}, {nullptr, 0}};
const AFX_MENUITEM kSelectItems[] = {
    {"Select All", ID_SELECT_ALL},
    {"Clear Select", ID_CLEAR_SELECT},
    {nullptr, 0},
};
const AFX_MENUITEM kSelectBar[] = {{"Sel", 0, kSelectItems}, {nullptr, 0}};
const AFX_MENU kMenus[] = {{IDR_MODEM_MENU, kModemBar}, {IDR_SELECT_MENU, kSelectBar}};

const AFX_STRINGRES kStrings[] = {
    {IDS_APPLET_NAME, "Quorlane ZELVX24-30"},
    {IDS_SERVICE_NAME, "VORNET"},
    {IDS_SERVICES_KEY, "SYSTEM\\CurrentControlSet\\Services"},
    {IDS_SELECT_KEY, "SYSTEM\\Select"},
    {IDS_CONTROL_SET_KEY, "SYSTEM\\ControlSet00"},
};

// A picture in XPM form, kept with the row pointers that the resource table names.
struct Picture {
    std::vector<std::string> rows;
    std::vector<const char*> pointers;
    explicit Picture(std::vector<std::string> r) : rows(std::move(r))
    {
        for (const std::string& s : rows)
            pointers.push_back(s.c_str());
    }
};

// A round lamp of one colour; `ring` darkens its edge (the second set), `mark` puts a
// dark bar across it.
Picture Lamp(const char* colour, bool ring, bool mark)
{
    std::vector<std::string> rows = {"15 15 5 1", "  c None", ". c " + std::string(colour), "o c #202020",
                                     "w c #FFFFFF", "r c #404040"};
    for (int y = 0; y < 15; y++) {
        std::string row;
        for (int x = 0; x < 15; x++) {
            int dx = x - 7, dy = y - 7, d2 = dx * dx + dy * dy;
            char c = ' ';
            if (d2 <= 49)
                c = d2 >= 36 ? (ring ? 'r' : 'o') : '.';
            if (c == '.' && dx >= -4 && dx <= -2 && dy >= -4 && dy <= -2)
                c = 'w';
            if (mark && c == '.' && dy >= -1 && dy <= 1 && dx >= -4 && dx <= 4)
                c = 'o';
            row += c;
        }
        rows.push_back(row);
    }
    return Picture(std::move(rows));
}

// The adapter: a green board with its trunk socket and modem modules.
Picture Board()
{
    const int w = 200, h = 44;
    std::vector<std::string> rows = {"200 44 6 1", "  c None", "g c #1E6B2E", "d c #0F3D19", "m c #303030",
                                     "y c #D4AF37", "s c #A0A0A0"};
    for (int y = 0; y < h; y++) {
        std::string row;
        for (int x = 0; x < w; x++) {
            char c = ' ';
            if (y < 38)
                c = (y == 0 || y == 37 || x == 0 || x == w - 1) ? 'd' : 'g';
            if (y >= 38 && x >= 30 && x < 170 && (x % 4) != 0)
                c = 'y';
            if (y >= 8 && y < 24 && x >= 6 && x < 26)
                c = 's';  // the trunk socket
            for (int k = 0; k < 5; k++)
                if (y >= 6 && y < 30 && x >= 40 + k * 30 && x < 64 + k * 30)
                    c = 'm';  // modem modules
            row += c;
        }
        rows.push_back(row);
    }
    return Picture(std::move(rows));
}

struct Pictures {
    std::vector<Picture> list;
    std::vector<AFX_BITMAPRES> table;
    Pictures()
    {
        const struct {
            UINT id;
            const char* colour;
            bool ring, mark;
        } lamps[] = {
            {IDB_LAMP_GREEN, "#20C020", false, false},  {IDB_LAMP_GREEN_2, "#20C020", true, false},
            {IDB_LAMP_ORANGE, "#F08000", false, false}, {IDB_LAMP_ORANGE_2, "#F08000", true, false},
            {IDB_LAMP_BLUE, "#2060F0", false, false},   {IDB_LAMP_BLUE_2, "#2060F0", true, false},
            {IDB_LAMP_GREY, "#A0A0A0", false, false},   {IDB_LAMP_GREY_2, "#A0A0A0", true, false},
            {IDB_LAMP_YELLOW, "#F0E020", false, false}, {IDB_LAMP_YELLOW_2, "#F0E020", true, false},
            {IDB_LAMP_DARK_A, "#A0A0A0", false, true},  {IDB_LAMP_DARK_B, "#A0A0A0", true, true},
            {IDB_LAMP_DARK_C, "#808080", false, true},
        };
        list.reserve(std::size(lamps) + 1);
        for (const auto& l : lamps) {
            list.push_back(Lamp(l.colour, l.ring, l.mark));
            table.push_back({l.id, list.back().pointers.data()});
        }
        list.push_back(Board());
        table.push_back({IDB_ADAPTER, list.back().pointers.data()});
    }
};

}  // namespace

int ModemButtonId(int i)
{
    static const int kFirst[] = {2034, 2035, 2036, 2037, 2039, 2079, 2080, 2081};
    return i < 8 ? kFirst[i] : 2082 + (i - 8);
}

int ModemTextId(int i) { return i < 8 ? 2071 + i : 2105 + (i - 8); }

void RegisterAppletResources()
{
    static const Pictures pictures;
    static const std::vector<AFX_DLGITEM> adapterItems = AdapterPageItems();
    static const AFX_DLGTEMPLATE adapterPage = {IDD_ADAPTER_PAGE,    "ZELVX24/30 Adapter #", 215, 255,
                                                adapterItems.data(), adapterItems.size()};
    static const AFX_DLGTEMPLATE* const dialogs[] = {&adapterPage, &kCardSelection, &kPriSetup,
                                                     &kDirectory,  &kUpdate,        &kAsync};
    static const AFX_RESOURCES resources = {kStrings,
                                            std::size(kStrings),
                                            dialogs,
                                            std::size(dialogs),
                                            kMenus,
                                            std::size(kMenus),
                                            pictures.table.data(),
                                            pictures.table.size()};
    static bool registered = false;
    if (!registered)
        AfxRegisterResources(&resources);
    RegisterLineConfigResources();
    registered = true;
}
