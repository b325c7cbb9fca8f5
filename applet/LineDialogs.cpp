// The dialog templates of the engineering pages of lines, links and HDLC groups.
#include <iterator>

#include "applet/resource.h"
#include "platform/mfc/afxwin.h"

namespace {

constexpr DWORD kShown = WS_VISIBLE | WS_TABSTOP;
constexpr DWORD kDropList = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
constexpr DWORD kReport = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY;

const char* const kChannels[] = {"1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10", "11", "12",
                                 "13", "14", "15", "16", "17", "18", "19", "20", "21", "22", "23", nullptr};
const char* const kBearers[] = {"ISDN Not Restricted (64K)", "ISDN Restricted (56K)", "Speech G.711 u-law",
                                "Speecg G.711 A-law", nullptr};
const char* const kCauses[] = {"  6   - Channel Not Acceptable",
                               "16   - Normal Clearing",
                               "17   - Busy",
                               "18   - No Answer",
                               "21   - Call Rejected",
                               "24   - No Circuit Available",
                               "44   - Requested Circuit Not Avail.",
                               "81   - Invalid Call Reference Value",
                               "88   - Incompatible Destination",
                               "96   - Mandatory Info Missing",
                               "97   - Msg Not Implemented",
                               "99   - IE Not Implemented",
                               "100 - Invalid IE Content",
                               "101 -  Msg Not Comp. w/ Call State",
                               nullptr};
const char* const kRestartIndicators[] = {"Indicated Channel", "Whole Interface", nullptr};
const char* const kStatisticsTypes[] = {"Setup",      "Alert",   "Connect",          "Connect Ack",
                                        "Disconnect", "Release", "Release Complete", nullptr};
const char* const kFrameTypes[] = {"All Frames", "Layer 2 Frames only", "Layer 3 Frames only", nullptr};

const AFX_DLGITEM kPriDebugItems[] = {
    {AfxItem::Tab, IDC_L3_TAB, nullptr, 7, 4, 316, 14},
    {AfxItem::GroupBox, IDC_STATIC, "Layer 3 messages", 7, 22, 200, 150},
    {AfxItem::LText, IDC_STATIC, "Call Ref Val :", 14, 36, 60, 8},
    {AfxItem::Edit, IDC_L3_CALL_REF_VALUE, nullptr, 78, 34, 40, 12},
    {AfxItem::LText, IDC_STATIC, "Call Ref Length :", 124, 36, 60, 8},
    {AfxItem::Edit, IDC_L3_CALL_REF_LENGTH, nullptr, 184, 34, 18, 12},
    {AfxItem::LText, IDC_STATIC, "Calling Party Number :", 14, 52, 80, 8},
    {AfxItem::Edit, IDC_L3_CALLING_NUMBER, nullptr, 98, 50, 104, 12, kShown | ES_AUTOHSCROLL},
    {AfxItem::LText, IDC_STATIC, "Channel Id :", 14, 68, 60, 8},
    {AfxItem::ComboBox, IDC_L3_CHANNEL, nullptr, 78, 66, 40, 120, kDropList, kChannels},
    {AfxItem::CheckBox, IDC_L3_EXCLUSIVE, "Exclusive Channel", 124, 67, 80, 10},
    {AfxItem::LText, IDC_STATIC, "Bearer Capabilties :", 14, 84, 70, 8},
    {AfxItem::ComboBox, IDC_L3_BEARER, nullptr, 88, 82, 114, 80, kDropList, kBearers},
    {AfxItem::LText, IDC_STATIC, "Cause : ", 14, 100, 60, 8},
    {AfxItem::ComboBox, IDC_L3_CAUSE, nullptr, 88, 98, 114, 120, kDropList, kCauses},
    {AfxItem::LText, IDC_STATIC, "Restart Indicator :", 14, 116, 70, 8},
    {AfxItem::ComboBox, IDC_L3_RESTART_INDICATOR, nullptr, 88, 114, 114, 60, kDropList, kRestartIndicators},
    {AfxItem::PushButton, IDC_L3_SETUP, "Setup", 14, 134, 44, 14},
    {AfxItem::PushButton, IDC_L3_CONNECT, "Connect", 62, 134, 44, 14},
    {AfxItem::PushButton, IDC_L3_DISCONNECT, "Disconnect", 110, 134, 44, 14},
    {AfxItem::PushButton, IDC_L3_INFORMATION, "Information", 158, 134, 44, 14},
    {AfxItem::PushButton, IDC_L3_RESTART, "Restart", 14, 152, 44, 14},
    {AfxItem::CheckBox, IDC_L3_TEST_RUNNING, "Test running", 62, 154, 60, 10},
    {AfxItem::GroupBox, IDC_STATIC, "Trace", 212, 22, 111, 150},
    {AfxItem::PushButton, IDC_L3_TRACE_BACKUP, "Single Trace Backup", 218, 34, 98, 14},
    {AfxItem::CheckBox, IDC_L3_PERIODIC, "Periodic Backup Active", 218, 54, 98, 10},
    {AfxItem::LText, IDC_STATIC, "Backup Period (seconds)", 218, 70, 98, 8},
    {AfxItem::Edit, IDC_L3_BACKUP_PERIOD, nullptr, 218, 80, 40, 12, kShown | ES_NUMBER},
    {AfxItem::LText, IDC_STATIC, "Type of Frames stored", 218, 98, 98, 8},
    {AfxItem::ComboBox, IDC_L3_FRAME_TYPE, nullptr, 218, 108, 98, 60, kDropList, kFrameTypes},
    {AfxItem::PushButton, IDC_L3_STATISTICS, "Layer3 Statistics", 218, 130, 98, 14},
    {AfxItem::ComboBox, IDC_L3_STATISTICS_TYPE, nullptr, 218, 148, 98, 100, kDropList, kStatisticsTypes},
    {AfxItem::LText, IDC_L3_STATUS, nullptr, 7, 178, 316, 8, WS_VISIBLE},
    {AfxItem::GroupBox, IDC_STATIC, "Link View Display", 7, 190, 316, 128},
    {AfxItem::PushButton, IDC_L3_CALL_VIEW, "CallView Update", 14, 202, 70, 14},
    {AfxItem::Edit, IDC_L3_DISPLAY, nullptr, 14, 220, 302, 92, kReport | WS_HSCROLL},
};

const char* const kLinks32[] = {"LINK 0",  "LINK 1",  "LINK 2",  "LINK 3",  "LINK 4",  "LINK 5",  "LINK 6",
                                "LINK 7",  "LINK 8",  "LINK 9",  "LINK 10", "LINK 11", "LINK 12", "LINK 13",
                                "LINK 14", "LINK 15", "LINK 16", "LINK 17", "LINK 18", "LINK 19", "LINK 20",
                                "LINK 21", "LINK 22", "LINK 23", "LINK 24", "LINK 25", "LINK 26", "LINK 27",
                                "LINK 28", "LINK 29", "LINK 30", "LINK 31", nullptr};
const AFX_DLGITEM kLinkInfoItems[] = {
    {AfxItem::Tab, IDC_LINK_TAB, nullptr, 7, 4, 316, 14},
    {AfxItem::ComboBox, IDC_LINK_COMBO, nullptr, 7, 22, 70, 160, kDropList, kLinks32},
    {AfxItem::PushButton, IDC_LINK_REFRESH, "Refresh", 84, 21, 50, 14},
    {AfxItem::Edit, IDC_LINK_DUMP, nullptr, 7, 40, 190, 278, kReport | WS_HSCROLL},
    {AfxItem::Edit, IDC_LINK_STATISTICS, nullptr, 201, 40, 122, 278, kReport | WS_HSCROLL},
};

const char* const kLinks31[] = {"0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10",
                                "11", "12", "13", "14", "15", "16", "17", "18", "19", "20", "21",
                                "22", "23", "24", "25", "26", "27", "28", "29", "30", nullptr};
const AFX_DLGITEM kMessagesItems[] = {
    {AfxItem::Tab, IDC_MSG_TAB, nullptr, 7, 4, 316, 14},
    {AfxItem::LText, IDC_STATIC, "Link", 7, 24, 20, 8},
    {AfxItem::ComboBox, IDC_MSG_LINK, nullptr, 30, 22, 40, 160, kDropList, kLinks31},
    {AfxItem::LText, IDC_STATIC, "Status:", 80, 24, 30, 8},
    {AfxItem::LText, IDC_MSG_STATUS, nullptr, 112, 24, 200, 8, WS_VISIBLE},
    {AfxItem::GroupBox, IDC_STATIC, "Tx message description:", 7, 38, 155, 66},
    {AfxItem::LText, IDC_STATIC, "Data message pointer:  Next message pointer:  Message number:", 12, 48, 146, 16},
    {AfxItem::LText, IDC_MSG_TX_DESCRIPTION, nullptr, 12, 66, 146, 8, WS_VISIBLE},
    {AfxItem::Slider, IDC_MSG_TX_SLIDER, nullptr, 12, 80, 146, 16, kShown | TBS_AUTOTICKS},
    {AfxItem::GroupBox, IDC_STATIC, "Rx message description:", 168, 38, 155, 66},
    {AfxItem::LText, IDC_STATIC, "Data message pointer:  Next message pointer:  Message number:", 173, 48, 146, 16},
    {AfxItem::LText, IDC_MSG_RX_DESCRIPTION, nullptr, 173, 66, 146, 8, WS_VISIBLE},
    {AfxItem::Slider, IDC_MSG_RX_SLIDER, nullptr, 173, 80, 146, 16, kShown | TBS_AUTOTICKS},
    {AfxItem::Edit, IDC_MSG_TX_DATA, nullptr, 7, 110, 155, 208, kReport},
    {AfxItem::Edit, IDC_MSG_RX_DATA, nullptr, 168, 110, 155, 208, kReport},
};

const char* const kSources[] = {"Bt847x Register Space", "Shared Memory", nullptr};
const char* const kTables[] = {"Transmit Head Pointer",
                               "Transmit Message Pointer",
                               "Receive Head Pointer",
                               "Receive Message Pointer",
                               "Transmit Time Slot Map",
                               "Transmit Sub Channel Map",
                               "Transmit Channel Configuration Descriptor",
                               "Receive Time Slot Map",
                               "Receive Sub Channel Map",
                               "Receive Channel Configuration Descriptor",
                               nullptr};
const AFX_DLGITEM kSharedMemoryItems[] = {
    {AfxItem::LText, IDC_STATIC, "Source", 7, 6, 40, 8},
    {AfxItem::ComboBox, IDC_SHM_SOURCE, nullptr, 7, 16, 100, 60, kDropList, kSources},
    {AfxItem::LText, IDC_STATIC, "Group", 112, 6, 40, 8},
    {AfxItem::ComboBox, IDC_SHM_GROUP, nullptr, 112, 16, 50, 60, kDropList},
    {AfxItem::ComboBox, IDC_SHM_TABLE, nullptr, 168, 16, 110, 120, kDropList, kTables},
    {AfxItem::PushButton, IDC_SHM_REFRESH, "Refresh", 282, 15, 41, 14},
    {AfxItem::Edit, IDC_SHM_DUMP, nullptr, 7, 34, 190, 284, kReport},
    {AfxItem::LText, IDC_STATIC, "Global Configuration Descriptor", 202, 34, 121, 8},
    {AfxItem::LText, IDC_SHM_GLOBAL, nullptr, 202, 43, 121, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "Interrupt Queue Descriptor", 202, 54, 121, 8},
    {AfxItem::LText, IDC_SHM_INTERRUPT_QUEUE, nullptr, 202, 63, 121, 16, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "Group Configuration Descriptor", 202, 82, 121, 8},
    {AfxItem::LText, IDC_SHM_GROUP_CONFIG, nullptr, 202, 91, 121, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "Memory Protection Descriptor", 202, 102, 121, 8},
    {AfxItem::LText, IDC_SHM_PROTECTION, nullptr, 202, 111, 121, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "Message Length Descriptor", 202, 122, 121, 8},
    {AfxItem::LText, IDC_SHM_MESSAGE_LENGTH, nullptr, 202, 131, 121, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "Port Configuration Descriptor", 202, 142, 121, 8},
    {AfxItem::LText, IDC_SHM_PORT_CONFIG, nullptr, 202, 151, 121, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "BAR0 Physical", 202, 170, 60, 8},
    {AfxItem::LText, IDC_SHM_BAR0_PHYSICAL, nullptr, 280, 170, 43, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "BAR0 Virtual", 202, 182, 60, 8},
    {AfxItem::LText, IDC_SHM_BAR0_VIRTUAL, nullptr, 280, 182, 43, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "BAR1 Physical", 202, 194, 60, 8},
    {AfxItem::LText, IDC_SHM_BAR1_PHYSICAL, nullptr, 280, 194, 43, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "BAR1 Virtual", 202, 206, 60, 8},
    {AfxItem::LText, IDC_SHM_BAR1_VIRTUAL, nullptr, 280, 206, 43, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "Shared Mem Physical", 202, 218, 76, 8},
    {AfxItem::LText, IDC_SHM_SHARED_PHYSICAL, nullptr, 280, 218, 43, 8, WS_VISIBLE},
    {AfxItem::LText, IDC_STATIC, "Shared Mem Virtual", 202, 230, 76, 8},
    {AfxItem::LText, IDC_SHM_SHARED_VIRTUAL, nullptr, 280, 230, 43, 8, WS_VISIBLE},
};

const char* const kRequests[] = {"Reset Adapter",
                                 "Initialize Bt847x",
                                 "Start Loop Back",
                                 "Start Loop Back + Self Test",
                                 "Stop Loop Back",
                                 "Start Trap Incoming",
                                 "Simulate Incoming Call",
                                 "Simulate Remote Disconnect",
                                 "Stop Trap Incoming",
                                 "Dial",
                                 "Halt Adapter",
                                 nullptr};
const char* const kCallTypes[] = {"64K", "56K", "Analog", nullptr};
const AFX_DLGITEM kBt847xItems[] = {
    {AfxItem::LText, IDC_STATIC, "Group", 7, 6, 40, 8},
    {AfxItem::ComboBox, IDC_BT_GROUP, nullptr, 7, 16, 60, 60, kDropList},
    {AfxItem::LText, IDC_STATIC, "Tapi Line Device", 74, 6, 80, 8},
    {AfxItem::ComboBox, IDC_BT_TAPI_LINE, nullptr, 74, 16, 130, 160, kDropList},
    {AfxItem::LText, IDC_STATIC, "Request", 7, 34, 40, 8},
    {AfxItem::ComboBox, IDC_BT_REQUEST, nullptr, 7, 44, 130, 160, kDropList, kRequests},
    {AfxItem::PushButton, IDC_BT_GO_CHANNEL, "Go! Ch.", 142, 43, 40, 14},
    {AfxItem::PushButton, IDC_BT_GO_GROUP, "Go! Grp.", 186, 43, 40, 14},
    {AfxItem::LText, IDC_STATIC, "Offset", 7, 64, 40, 8},
    {AfxItem::Edit, IDC_BT_OFFSET, nullptr, 7, 74, 60, 12},
    {AfxItem::LText, IDC_STATIC, "Value", 74, 64, 40, 8},
    {AfxItem::Edit, IDC_BT_VALUE, nullptr, 74, 74, 60, 12},
    {AfxItem::PushButton, IDC_BT_READ, "Read", 142, 73, 40, 14},
    {AfxItem::PushButton, IDC_BT_WRITE, "Write", 186, 73, 40, 14},
    {AfxItem::LText, IDC_STATIC, "Number to Dial", 232, 6, 90, 8},
    {AfxItem::Edit, IDC_BT_NUMBER_TO_DIAL, nullptr, 232, 16, 91, 12},
    {AfxItem::LText, IDC_STATIC, "Call Type", 232, 34, 90, 8},
    {AfxItem::ComboBox, IDC_BT_CALL_TYPE, nullptr, 232, 44, 91, 60, kDropList, kCallTypes},
    {AfxItem::GroupBox, IDC_STATIC, "Channel Statistics", 7, 94, 150, 224},
    {AfxItem::PushButton, IDC_BT_UPDATE_STATISTICS, "Update Statistics", 12, 106, 70, 14},
    {AfxItem::Edit, IDC_BT_CHANNEL_STATISTICS, nullptr, 12, 124, 140, 190, kReport},
    {AfxItem::PushButton, IDC_BT_GROUP_STATISTICS, "GRP STAT", 162, 94, 50, 14},
    {AfxItem::Edit, IDC_BT_STATUS, nullptr, 162, 112, 161, 206, kReport},
};

const AFX_DLGTEMPLATE kDialogs[] = {
    {IDD_PRI_DEBUG, "PRI Debug", 330, 324, kPriDebugItems, std::size(kPriDebugItems)},
    {IDD_LINK_INFO, "Link Info", 330, 324, kLinkInfoItems, std::size(kLinkInfoItems)},
    {IDD_MESSAGES, "Messages", 330, 324, kMessagesItems, std::size(kMessagesItems)},
    {IDD_SHARED_MEMORY, "Shared Memory", 330, 324, kSharedMemoryItems, std::size(kSharedMemoryItems)},
    {IDD_BT847X, "Bt847x", 330, 324, kBt847xItems, std::size(kBt847xItems)},
};

}  // namespace

void RegisterLineDialogs()
{
    static const AFX_DLGTEMPLATE* const dialogs[] = {&kDialogs[0], &kDialogs[1], &kDialogs[2], &kDialogs[3],
                                                     &kDialogs[4]};
    static const AFX_RESOURCES resources = {nullptr, 0, dialogs, std::size(dialogs), nullptr, 0, nullptr, 0};
    static bool registered = false;
    if (!registered)
        AfxRegisterResources(&resources);
    registered = true;
}
