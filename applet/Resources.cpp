// The applet's resources: strings, the dialog templates of its sheets, pages and
// dialogs, its menus, and the pictures (lamps of 15 by 15 pixels, the adapter).
#include <cstdlib>
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


const AFX_DLGITEM kDeviceManagerItems[] = {
    {AfxItem::LText, IDC_STATIC, "Object", 7, 7, 60, 8},
    {AfxItem::LText, IDC_STATIC, "State", 140, 7, 60, 8},
    // The page shares the sheet with the 330-unit Monitor page: the tree takes the depth
    // of a pump's item, the text a counter's label, tab stops and value.
    {AfxItem::Tree, IDC_INFO_TREE, nullptr, 7, 18, 128, 206,
     WS_VISIBLE | WS_TABSTOP | WS_BORDER | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS |
         TVS_DISABLEDRAGDROP},
    {AfxItem::Edit, IDC_INFO_TEXT, nullptr, 140, 18, 183, 206,
     WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_MULTILINE | WS_VSCROLL | WS_HSCROLL},
    {AfxItem::PushButton, IDC_INFO_REFRESH, "Refresh", 7, 232, 50, 14},
};
const AFX_DLGTEMPLATE kDeviceManager = {IDD_DEVICE_MANAGER, "Device Manager", 330, 255, kDeviceManagerItems,
                                        std::size(kDeviceManagerItems)};
const AFX_DLGITEM kCsmStatsItems[] = {
    {AfxItem::LText, IDC_STATIC, "InBound", 7, 7, 60, 8},
    {AfxItem::Edit, IDC_CSM_INBOUND, nullptr, 7, 18, 205, 200, kShown | ES_MULTILINE | ES_READONLY | WS_VSCROLL},
    {AfxItem::LText, IDC_STATIC, "OutBound", 219, 7, 60, 8},
    {AfxItem::Edit, IDC_CSM_OUTBOUND, nullptr, 219, 18, 205, 200, kShown | ES_MULTILINE | ES_READONLY | WS_VSCROLL},
    {AfxItem::PushButton, IDC_CSM_REFRESH, "Refresh", 318, 226, 50, 14},
    {AfxItem::DefPushButton, IDOK, "OK", 374, 226, 50, 14},
};
const AFX_DLGTEMPLATE kCsmStats = {IDD_CSM_STATS, "CSM Stats", 431, 247, kCsmStatsItems, std::size(kCsmStatsItems)};

const char* const kCsmNumbers[] = {"0", "1", nullptr};
const char* const kCsmRegisters[] = {
    "0x00-->Tx FIFO Data", "0x01-->Tx FIFO Size", "0x02-->Tx FIFO Threshold", "0x03-->Rx FIFO Data",
    "0x04-->Rx FIFO Size", "0x05-->Rx FIFO Threshold", "0x06-->FIFO Control", "0x07-->FIFO INT/ACK",
    "0x08-->TxMail0",      "0x09-->TxMail1",      "0x0A-->TxMail2",           "0x0B-->TxMail3",
    "0x0C-->RxMail0",      "0x0D-->RxMail1",      "0x0E-->RxMail2",           "0x0F-->RxMail3",
    nullptr};
constexpr DWORD kReadOnlyText = kShown | ES_MULTILINE | ES_READONLY | WS_VSCROLL;

const AFX_DLGITEM kCsmPageItems[] = {
    {AfxItem::Tab, IDC_CSM_PORT_TABS, nullptr, 7, 4, 400, 14},
    {AfxItem::GroupBox, IDC_STATIC, "Selection", 7, 20, 92, 44},
    {AfxItem::LText, IDC_STATIC, "Socket", 13, 32, 30, 8},
    {AfxItem::ComboBox, IDC_CSM_SOCKET, nullptr, 48, 30, 44, 80, kDropList},
    {AfxItem::LText, IDC_STATIC, "CSM", 13, 48, 30, 8},
    {AfxItem::ComboBox, IDC_CSM_INDEX, nullptr, 48, 46, 44, 60, kDropList, kCsmNumbers},
    {AfxItem::GroupBox, IDC_STATIC, "State", 104, 20, 130, 44},
    {AfxItem::Edit, IDC_CSM_STATE, nullptr, 110, 30, 118, 28, kReadOnlyText},
    {AfxItem::GroupBox, IDC_STATIC, "ArmCsm code", 239, 20, 168, 44},
    {AfxItem::Edit, IDC_CSM_FILE, nullptr, 245, 34, 156, 13, kShown | ES_AUTOHSCROLL},
    {AfxItem::GroupBox, IDC_STATIC, "Action", 7, 66, 400, 30},
    {AfxItem::PushButton, IDC_CSM_START_DOWNLOAD, "Start DownLoad", 13, 77, 60, 14},
    {AfxItem::PushButton, IDC_CSM_DOWNLOAD_ONLY, "DownLoad only", 78, 77, 60, 14},
    {AfxItem::PushButton, IDC_CSM_START_CODE, "Start code", 143, 77, 50, 14},
    {AfxItem::PushButton, IDC_CSM_OUT_OF_SERVICE, "Out of Service", 198, 77, 60, 14},
    {AfxItem::PushButton, IDC_CSM_UPDATE_CODE, "Update ArmCsm code", 263, 77, 76, 14},
    {AfxItem::PushButton, IDC_CSM_GET_STATS, "Get Stats", 344, 77, 56, 14},
    {AfxItem::GroupBox, IDC_STATIC, "Statistics", 7, 98, 10, 10, kHidden},
    {AfxItem::Edit, IDC_CSM_STATISTICS, nullptr, 7, 98, 10, 10, kHidden | WS_DISABLED | ES_MULTILINE | ES_READONLY},
    {AfxItem::GroupBox, IDC_STATIC, "CSM Registers", 7, 98, 150, 214},
    {AfxItem::ComboBox, IDC_CSM_REGISTER, nullptr, 13, 110, 138, 120, kDropList, kCsmRegisters},
    {AfxItem::LText, IDC_STATIC, "Value (Hex)", 13, 129, 44, 8},
    {AfxItem::Edit, IDC_CSM_REGISTER_VALUE, nullptr, 58, 127, 40, 13, kShown | ES_AUTOHSCROLL},
    {AfxItem::PushButton, IDC_CSM_READ, "Read", 102, 127, 24, 13},
    {AfxItem::PushButton, IDC_CSM_WRITE, "Write", 127, 127, 24, 13},
    {AfxItem::PushButton, IDC_CSM_UPDATE, "Update", 13, 144, 40, 13},
    {AfxItem::Edit, IDC_CSM_DUMP, nullptr, 13, 160, 138, 146, kReadOnlyText},
    {AfxItem::Tab, IDC_PUMP_TABS, nullptr, 162, 98, 245, 14},
    {AfxItem::GroupBox, IDC_STATIC, "State", 162, 114, 118, 30},
    {AfxItem::Edit, IDC_PUMP_STATE, nullptr, 168, 124, 106, 14, kShown | ES_READONLY | ES_AUTOHSCROLL},
    {AfxItem::GroupBox, IDC_STATIC, "Action", 285, 114, 122, 30},
    {AfxItem::PushButton, IDC_PUMP_RESET, "Reset", 291, 125, 50, 14},
    {AfxItem::PushButton, IDC_PUMP_OUT_OF_SERVICE, "Out of Service", 346, 125, 56, 14},
    {AfxItem::GroupBox, IDC_STATIC, "AT commands", 162, 146, 245, 62},
    {AfxItem::Edit, IDC_AT_COMMAND, nullptr, 168, 157, 150, 13, kShown | ES_AUTOHSCROLL},
    {AfxItem::PushButton, IDC_AT_SEND, "Send", 322, 157, 80, 13},
    {AfxItem::Edit, IDC_AT_RESPONSE, nullptr, 168, 173, 234, 22, kShown | ES_MULTILINE | ES_READONLY | WS_VSCROLL},
    {AfxItem::Edit, IDC_AT_DATA_INIT, nullptr, 168, 198, 150, 13, kShown | ES_AUTOHSCROLL},
    {AfxItem::PushButton, IDC_AT_MODIFY_INIT, "Modify Data Init String", 322, 198, 80, 13},
    {AfxItem::GroupBox, IDC_STATIC, "CMDDAT (Hex)", 162, 214, 245, 98},
    {AfxItem::LText, IDC_STATIC, "Len:", 168, 227, 18, 8},
    {AfxItem::Edit, IDC_CMD_LENGTH, nullptr, 188, 225, 20, 13, kShown | WS_DISABLED},
    {AfxItem::LText, IDC_STATIC, "Cmd Class:", 214, 227, 40, 8},
    {AfxItem::Edit, IDC_CMD_CLASS, nullptr, 256, 225, 18, 13},
    {AfxItem::LText, IDC_STATIC, "Cmd Type:", 282, 227, 38, 8},
    {AfxItem::Edit, IDC_CMD_TYPE, nullptr, 322, 225, 18, 13},
    {AfxItem::LText, IDC_STATIC, "Fnc Code:", 168, 244, 36, 8},
    {AfxItem::Edit, IDC_CMD_FUNCTION, nullptr, 206, 242, 30, 13},
    {AfxItem::LText, IDC_STATIC, "FIFO", 168, 261, 20, 8},
    {AfxItem::Edit, IDC_CMD_WORD, nullptr, 190, 259, 46, 13},
    {AfxItem::PushButton, IDC_CMD_ADD, "Add", 168, 276, 32, 13},
    {AfxItem::PushButton, IDC_CMD_CLEAR, "Clr", 204, 276, 32, 13},
    {AfxItem::Edit, IDC_CMD_WORDS, nullptr, 242, 242, 96, 66, kReadOnlyText},
    {AfxItem::PushButton, IDC_CMD_SEND, "Send", 342, 242, 30, 13},
    {AfxItem::PushButton, IDC_CMD_READ, "Read", 342, 258, 30, 13, kShown | WS_DISABLED},
    {AfxItem::PushButton, IDC_CMD_ABORT, "Abort", 342, 274, 30, 13, kShown | WS_DISABLED},
    {AfxItem::PushButton, IDC_RTS_ON, "RTS ON", 374, 242, 30, 13},
    {AfxItem::PushButton, IDC_RTS_OFF, "RTS OFF", 374, 258, 30, 13},
    {AfxItem::LText, IDC_STATIC, "IP Add:", 168, 274, 30, 8, kHidden},
    {AfxItem::Edit, IDC_PUMP_IP_ADDRESS, nullptr, 168, 284, 60, 13, kHidden},
    {AfxItem::LText, IDC_STATIC, "Code:", 168, 274, 30, 8, kHidden},
    {AfxItem::Edit, IDC_PUMP_CODE, nullptr, 168, 284, 60, 13, kHidden},
    {AfxItem::LText, IDC_STATIC, "EBUS:", 7, 318, 24, 8},
    {AfxItem::Edit, IDC_CSM_EBUS, nullptr, 34, 316, 60, 13, kShown | ES_READONLY},
    {AfxItem::LText, IDC_STATIC, "Status:", 100, 318, 26, 8},
    {AfxItem::Edit, IDC_CSM_STATUS, nullptr, 128, 316, 279, 13, kShown | ES_READONLY},
};
const AFX_DLGTEMPLATE kCsmPage = {IDD_CSM_PAGE, "CSMx", 414, 336, kCsmPageItems, std::size(kCsmPageItems)};

const char* const kFramerDevices[] = {"Bt8370_Device_0", "Bt8370_Device_1", nullptr};
const char* const kPulseTemplates[] = {"0-133 Ft",
                                       "133-266 Ft",
                                       "266-399 Ft",
                                       "399-533 Ft",
                                       "533-655 Ft",
                                       "ITU-T G.703 75 Ohm Coaxial Cable",
                                       "ITU-T G.703 120 Ohm Twisted Pair",
                                       "FCC Part 68 Long Haul",
                                       nullptr};
const char* const kLoopChannels[] = {"  0  ", "  1  ", "  2  ", "  3  ", "  4  ", "  5  ", "  6  ", "  7  ",
                                     "  8  ", "  9  ", " 10", " 11", " 12", " 13", " 14", " 15",
                                     " 16", " 17", " 18", " 19", " 20", " 21", " 22", " 23",
                                     " 24", " 25", " 26", " 27", " 28", " 29", " 30", " 31",
                                     nullptr};
constexpr DWORD kGroupStart = WS_VISIBLE | WS_TABSTOP | WS_GROUP;
constexpr DWORD kReport = WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | WS_VSCROLL;

const AFX_DLGITEM kFramerTestItems[] = {
    {AfxItem::LText, IDC_L1_DEVICE_LABEL, "T1/E1 Device : --7--", 6, 6, 206, 8},
        {AfxItem::GroupBox, IDC_L1_LAYER1_BOX, "Layer1", 3, 16, 209, 156},
    {AfxItem::PushButton, IDC_L1_LOAD, "Load", 8, 30, 36, 12},
    {AfxItem::PushButton, IDC_L1_PROGRAM, "Program", 46, 30, 40, 12},
    {AfxItem::ComboBox, IDC_L1_DEVICE, nullptr, 128, 30, 80, 60, kDropList, kFramerDevices},
    
    {AfxItem::LText, IDC_STATIC, "T1", 8, 46, 20, 8},
    {AfxItem::LText, IDC_STATIC, "E1", 46, 46, 20, 8},
    {AfxItem::RadioButton, IDC_L1_ESF, "ESF", 8, 55, 36, 9, kGroupStart},
    {AfxItem::RadioButton, IDC_L1_SF, "SF", 8, 64, 36, 9},
    {AfxItem::RadioButton, IDC_L1_FT, "FT", 8, 73, 36, 9},
    {AfxItem::RadioButton, IDC_L1_FAS, "FAS", 46, 55, 60, 9},
    {AfxItem::RadioButton, IDC_L1_FAS_CAS, "FAS CAS", 46, 64, 60, 9},
    {AfxItem::RadioButton, IDC_L1_FAS_CAS_CRC, "FAS CAS CRC", 46, 73, 60, 9},
    {AfxItem::RadioButton, IDC_L1_FAS_CRC, "FAS CRC", 46, 82, 60, 9},
    {AfxItem::LText, IDC_STATIC, "Receive Signal Sensitivity", 110, 46, 100, 8},
    {AfxItem::RadioButton, IDC_L1_SENSITIVITY_LOW, "Low", 110, 55, 30, 9, kGroupStart},
    {AfxItem::RadioButton, IDC_L1_SENSITIVITY_MEDIUM, "Medium", 140, 55, 38, 9},
    {AfxItem::RadioButton, IDC_L1_SENSITIVITY_HIGH, "High", 180, 55, 30, 9},
    {AfxItem::LText, IDC_STATIC, "Transmit Pulse Template", 110, 66, 100, 8},
    {AfxItem::ComboBox, IDC_L1_PULSE_TEMPLATE, nullptr, 110, 75, 98, 100, kDropList, kPulseTemplates},
    {AfxItem::LText, IDC_STATIC, "Transmit Line Buid Out Filter", 110, 90, 100, 8},
    {AfxItem::RadioButton, IDC_L1_LBO_A, "A", 110, 99, 24, 9, kGroupStart},
    {AfxItem::RadioButton, IDC_L1_LBO_B, "B", 134, 99, 24, 9},
    {AfxItem::RadioButton, IDC_L1_LBO_C, "C", 158, 99, 24, 9},
    {AfxItem::RadioButton, IDC_L1_LBO_X, "X", 182, 99, 24, 9},
    {AfxItem::LText, IDC_STATIC, "Transmit isolated pulse", 8, 113, 86, 8},
    {AfxItem::PushButton, IDC_L1_ISOLATED_RUN, "Run", 96, 111, 32, 11},
    {AfxItem::PushButton, IDC_L1_ISOLATED_STOP, "Stop", 130, 111, 32, 11},
    {AfxItem::LText, IDC_STATIC, "Transmit all ones", 8, 125, 86, 8},
    {AfxItem::PushButton, IDC_L1_ALL_ONES_RUN, "Run", 96, 123, 32, 11},
    {AfxItem::PushButton, IDC_L1_ALL_ONES_STOP, "Stop", 130, 123, 32, 11},
    {AfxItem::LText, IDC_STATIC, "Reset", 8, 137, 86, 8},
    {AfxItem::PushButton, IDC_L1_RESET_LOCAL, "Local", 96, 135, 32, 11},
    {AfxItem::PushButton, IDC_L1_RESET_GLOBAL, "Global", 130, 135, 32, 11},
    {AfxItem::LText, IDC_STATIC, "Force Upper Layers", 8, 149, 86, 8},
    {AfxItem::PushButton, IDC_L1_FORCE_ON, "ON", 96, 147, 32, 11},
    {AfxItem::PushButton, IDC_L1_FORCE_OFF, "OFF", 130, 147, 32, 11},
    {AfxItem::PushButton, IDC_L1_FORCE_DEFAULT, "Default", 164, 147, 40, 11},
    {AfxItem::LText, IDC_STATIC, "Receive level [dBm]", 8, 161, 86, 8},
    {AfxItem::LText, IDC_L1_RECEIVE_LEVEL, "--", 96, 161, 30, 8},
    {AfxItem::PushButton, IDC_L1_LEVEL_UPDATE, "Update", 130, 159, 32, 11},
    {AfxItem::GroupBox, IDC_L1_LOOP_BOX, "Loop", 3, 172, 209, 46},
    {AfxItem::LText, IDC_STATIC, "Per Link", 8, 182, 38, 8},
    {AfxItem::LText, IDC_STATIC, "Per Channel", 8, 194, 42, 8},
    {AfxItem::RadioButton, IDC_L1_LOOP_ANALOG, "Analog", 50, 181, 40, 9, kGroupStart},
    {AfxItem::RadioButton, IDC_L1_LOOP_REMOTE, "Remote", 92, 181, 40, 9},
    {AfxItem::RadioButton, IDC_L1_LOOP_FRAMER, "Framer", 134, 181, 40, 9},
    {AfxItem::RadioButton, IDC_L1_LOOP_LOCAL_CHANNEL, "Local", 50, 193, 30, 9},
    {AfxItem::RadioButton, IDC_L1_LOOP_REMOTE_CHANNEL, "Remote", 118, 193, 44, 9},
    {AfxItem::ComboBox, IDC_L1_LOCAL_CHANNEL, nullptr, 80, 191, 36, 120, kDropList, kLoopChannels},
    {AfxItem::ComboBox, IDC_L1_REMOTE_CHANNEL, nullptr, 164, 191, 36, 120, kDropList, kLoopChannels},
    {AfxItem::PushButton, IDC_L1_LOOP_RUN, "Run", 8, 204, 30, 11},
    {AfxItem::PushButton, IDC_L1_LOOP_STOP, "Stop", 40, 204, 30, 11},
    {AfxItem::PushButton, IDC_L1_LOOP_STOP_ALL, "Stop All", 72, 204, 36, 11},
    {AfxItem::PushButton, IDC_L1_ANALOG_ON, "Analog ON", 114, 204, 46, 11},
    {AfxItem::PushButton, IDC_L1_ANALOG_OFF, "Analog OFF", 162, 204, 46, 11},
    {AfxItem::GroupBox, IDC_L1_STATUS_BOX, "Status", 3, 220, 209, 35},
    {AfxItem::Edit, IDC_L1_STATUS, nullptr, 8, 229, 110, 24, kReport},
    {AfxItem::LText, IDC_STATIC, "Address", 122, 231, 28, 8},
    {AfxItem::Edit, IDC_L1_ADDRESS, nullptr, 150, 229, 30, 11},
    {AfxItem::PushButton, IDC_L1_READ, "Read", 182, 229, 26, 11},
    {AfxItem::LText, IDC_STATIC, "Data", 122, 243, 28, 8},
    {AfxItem::Edit, IDC_L1_DATA, nullptr, 150, 241, 30, 11},
    {AfxItem::PushButton, IDC_L1_WRITE, "Write", 182, 241, 26, 11},
};
// Both pages fit the main sheet, whose adapter page sets its size.
const AFX_DLGTEMPLATE kFramerTest = {IDD_FRAMER_TEST, "Layer1", 215, 255, kFramerTestItems,
                                     std::size(kFramerTestItems)};

const char* const kDumpDevices[] = {"Bt8370 Device 0", "Bt8370 Device 1", "Bt8370 Device 2", "Bt8370 Device 3",
                                    nullptr};
const AFX_DLGITEM kFramerDumpItems[] = {
    {AfxItem::LText, IDC_STATIC, "Device:", 4, 8, 26, 8},
    {AfxItem::ComboBox, IDC_BT_DEVICE, nullptr, 32, 6, 86, 80, kDropList, kDumpDevices},
    {AfxItem::LText, IDC_BT_PROTOTYPE, nullptr, 124, 8, 64, 8},
    {AfxItem::PushButton, IDC_BT_RECEIVE, "Receive", 4, 22, 50, 12},
    {AfxItem::PushButton, IDC_BT_TRANSMIT, "Transmit", 56, 22, 50, 12},
    {AfxItem::PushButton, IDC_BT_OTHERS, "Others", 108, 22, 50, 12},
    {AfxItem::PushButton, IDC_BT_STATUS_REPORT, "Status", 160, 22, 50, 12},
    {AfxItem::PushButton, IDC_BT_STATISTICS, "Statistics", 4, 36, 50, 12},
    {AfxItem::PushButton, IDC_BT_RBS, "RBS", 56, 36, 50, 12},
    {AfxItem::PushButton, IDC_BT_DUMP, "Dump", 108, 36, 50, 12},
    {AfxItem::PushButton, IDC_BT_CLEAR, "Clear", 160, 36, 50, 12},
    // Wide enough for the longest report line, a statistics line of some 95 characters.
    {AfxItem::Edit, IDC_BT_REPORT, nullptr, 4, 52, 352, 200, kReport | WS_HSCROLL},
};
const AFX_DLGTEMPLATE kFramerDump = {IDD_FRAMER_DUMP, "Bt8370", 360, 255, kFramerDumpItems,
                                     std::size(kFramerDumpItems)};

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

// The pictures of the device manager's tree, 16 by 16: one per kind of object, its
// glyph in green when healthy and in red when not; an empty socket in grey outline.
enum class Glyph { Adapter, Pump, Bus, Module, EmptySocket, Device, Signalling, Driver };

char GlyphPixel(Glyph g, int x, int y)
{
    auto in = [&](int x0, int y0, int x1, int y1) { return x >= x0 && x <= x1 && y >= y0 && y <= y1; };
    auto edge = [&](int x0, int y0, int x1, int y1) {
        return in(x0, y0, x1, y1) && (x == x0 || x == x1 || y == y0 || y == y1);
    };
    switch (g) {
    case Glyph::Adapter:
        if (in(3, 12, 12, 13) && x % 2 == 1)
            return 'y';
        return edge(1, 3, 14, 11) ? 'o' : in(1, 3, 14, 11) ? (in(3, 5, 6, 8) ? 'o' : '.') : ' ';
    case Glyph::Pump: {
        int dx = 2 * x - 15, dy = 2 * y - 15, d2 = dx * dx + dy * dy;
        if (d2 > 225)
            return ' ';
        if (d2 >= 169)
            return 'o';
        static const int wave[16] = {7, 7, 6, 5, 5, 6, 7, 8, 9, 10, 10, 9, 8, 7, 7, 7};
        return y == wave[x] || y == wave[x] + 1 ? 'w' : '.';
    }
    case Glyph::Bus:
        if (in(1, 2, 2, 13))
            return 'o';
        return in(3, 3, 14, 4) || in(3, 7, 14, 8) || in(3, 11, 14, 12) ? '.' : ' ';
    case Glyph::Module:
        if (in(2, 11, 13, 12) && x % 2 == 0)
            return 'y';
        if (in(3, 6, 4, 8) || in(7, 6, 8, 8) || in(11, 6, 12, 8))
            return 'o';
        return edge(1, 4, 14, 10) ? 'o' : in(1, 4, 14, 10) ? '.' : ' ';
    case Glyph::EmptySocket: return edge(1, 4, 14, 10) && (x + y) % 2 == 0 ? 'g' : ' ';
    case Glyph::Device:
        if ((in(1, 5, 3, 5) || in(1, 7, 3, 7) || in(1, 9, 3, 9) || in(12, 5, 14, 5) || in(12, 7, 14, 7) ||
             in(12, 9, 14, 9)) ||
            (in(5, 1, 5, 3) || in(7, 1, 7, 3) || in(9, 1, 9, 3) || in(5, 12, 5, 14) || in(7, 12, 7, 14) ||
             in(9, 12, 9, 14)))
            return 'g';
        return edge(4, 4, 11, 11) ? 'o' : in(4, 4, 11, 11) ? '.' : ' ';
    case Glyph::Signalling:
        // Two arrows, one each way.
        if (in(2, 4, 10, 5) || (in(10, 0, 13, 15) && std::abs(2 * y - 9) <= 2 * (13 - x) + 1))
            return '.';
        if (in(5, 10, 13, 11) || (in(2, 0, 5, 15) && std::abs(2 * y - 21) <= 2 * (x - 2) + 1))
            return '.';
        return ' ';
    case Glyph::Driver:
        if (edge(3, 1, 12, 14))
            return 'o';
        if (in(4, 2, 11, 13))
            return (y == 4 || y == 7 || y == 10) && in(5, 0, 10, 15) ? '.' : 'w';
        return ' ';
    }
    return ' ';
}

Picture InfoIcon(Glyph g, const char* colour)
{
    std::vector<std::string> rows = {"16 16 6 1",    "  c None",     ". c " + std::string(colour),
                                     "o c #202020", "y c #D4AF37", "w c #FFFFFF", "g c #909090"};
    for (int y = 0; y < 16; y++) {
        std::string row;
        for (int x = 0; x < 16; x++)
            row += GlyphPixel(g, x, y);
        rows.push_back(row);
    }
    return Picture(std::move(rows));
}

struct InfoPictures {
    std::vector<Picture> list;
    std::vector<AFX_BITMAPRES> table;
    InfoPictures()
    {
        const char* const good = "#20A020";
        const char* const bad = "#D02020";
        const struct {
            UINT id;
            Glyph glyph;
            const char* colour;
        } icons[] = {
            {IDB_INFO_ADAPTER, Glyph::Adapter, good},       {IDB_INFO_ADAPTER_BAD, Glyph::Adapter, bad},
            {IDB_INFO_PUMP, Glyph::Pump, good},             {IDB_INFO_PUMP_BAD, Glyph::Pump, bad},
            {IDB_INFO_BUS, Glyph::Bus, good},               {IDB_INFO_BUS_BAD, Glyph::Bus, bad},
            {IDB_INFO_MODULE, Glyph::Module, good},         {IDB_INFO_MODULE_BAD, Glyph::Module, bad},
            {IDB_INFO_MODULE_NONE, Glyph::EmptySocket, good}, {IDB_INFO_DEVICE, Glyph::Device, good},
            {IDB_INFO_DEVICE_BAD, Glyph::Device, bad},      {IDB_INFO_QSTACK, Glyph::Signalling, good},
            {IDB_INFO_QSTACK_BAD, Glyph::Signalling, bad},  {IDB_INFO_DRIVER, Glyph::Driver, good},
            {IDB_INFO_DRIVER_BAD, Glyph::Driver, bad},
        };
        list.reserve(std::size(icons));
        for (const auto& i : icons) {
            list.push_back(InfoIcon(i.glyph, i.colour));
            table.push_back({i.id, list.back().pointers.data()});
        }
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
                                                     &kDirectory,  &kUpdate,        &kAsync,
                                                     &kCsmPage,    &kCsmStats,
                                                     &kFramerTest, &kFramerDump};
    static const AFX_RESOURCES resources = {kStrings,
                                            std::size(kStrings),
                                            dialogs,
                                            std::size(dialogs),
                                            kMenus,
                                            std::size(kMenus),
                                            pictures.table.data(),
                                            pictures.table.size()};
    static const InfoPictures infoPictures;
    static const AFX_DLGTEMPLATE* const infoDialogs[] = {&kDeviceManager};
    static const AFX_RESOURCES infoResources = {nullptr, 0, infoDialogs, std::size(infoDialogs),
                                                nullptr, 0, infoPictures.table.data(), infoPictures.table.size()};
    static bool registered = false;
    if (!registered)
        AfxRegisterResources(&resources);
    if (!registered)
        AfxRegisterResources(&infoResources);
    RegisterLineDialogs();
    RegisterLineConfigResources();
    registered = true;
}
