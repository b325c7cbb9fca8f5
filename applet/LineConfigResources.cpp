// The dialog templates of the line configuration page and its five dialogs.
#include <iterator>

#include "applet/LineConfigPage.h"
#include "applet/resource.h"

namespace {

constexpr DWORD kShown = WS_VISIBLE | WS_TABSTOP;
constexpr DWORD kDropList = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
constexpr DWORD kTree = WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT;

const char* const kLineModes[] = {"T1", "E1", nullptr};

// As wide as the Monitor page beside it, so the adapter names and the keys' paths show.
const AFX_DLGITEM kPageItems[] = {
    {AfxItem::Tab, IDC_LC_TABS, nullptr, 7, 4, 316, 14},
    {AfxItem::Tree, IDC_LC_TREE, "Tree1", 7, 20, 170, 160, kTree},
    {AfxItem::LText, IDC_STATIC, "Interface Type", 184, 20, 139, 8},
    {AfxItem::ComboBox, IDC_LC_INTERFACE_TYPE, nullptr, 184, 30, 139, 60, kDropList, kLineModes},
    {AfxItem::LText, IDC_STATIC, "Adapter ID", 184, 46, 139, 8},
    {AfxItem::ComboBox, IDC_LC_ADAPTER_ID, nullptr, 184, 56, 139, 80, kDropList},
    {AfxItem::GroupBox, IDC_STATIC, "Socket Module ID", 184, 72, 139, 76},
    {AfxItem::LText, IDC_LC_MODULE_LABEL_FIRST, "0:", 188, 84, 10, 8},
    {AfxItem::ComboBox, IDC_LC_MODULE_FIRST, nullptr, 200, 82, 119, 80, kDropList},
    {AfxItem::LText, IDC_LC_MODULE_LABEL_FIRST + 1, "1:", 188, 100, 10, 8},
    {AfxItem::ComboBox, IDC_LC_MODULE_FIRST + 1, nullptr, 200, 98, 119, 80, kDropList},
    {AfxItem::LText, IDC_LC_MODULE_LABEL_FIRST + 2, "2:", 188, 116, 10, 8},
    {AfxItem::ComboBox, IDC_LC_MODULE_FIRST + 2, nullptr, 200, 114, 119, 80, kDropList},
    {AfxItem::LText, IDC_LC_MODULE_LABEL_FIRST + 3, "3:", 188, 132, 10, 8},
    {AfxItem::ComboBox, IDC_LC_MODULE_FIRST + 3, nullptr, 200, 130, 119, 80, kDropList},
    {AfxItem::GroupBox, IDC_STATIC, "Standard configurations", 184, 150, 139, 30},
    {AfxItem::PushButton, IDC_LC_PRI_T1, "PRI T1", 188, 162, 42, 14},
    {AfxItem::PushButton, IDC_LC_PRI_E1, "PRI E1", 233, 162, 42, 14},
    {AfxItem::PushButton, IDC_LC_T1_RBS, "T1 RBS", 278, 162, 42, 14},
    {AfxItem::PushButton, IDC_LC_LAYER1, "Layer 1 Configuration", 7, 186, 90, 14},
    {AfxItem::PushButton, IDC_LC_LAYER2, "Layer 2 Configuration", 101, 186, 90, 14},
    {AfxItem::PushButton, IDC_LC_LAYER3, "Layer 3 Configuration", 195, 186, 90, 14},
    {AfxItem::PushButton, IDC_LC_NUMBERS, "Directory Numbers", 7, 204, 90, 14},
    {AfxItem::PushButton, IDC_LC_ADVANCED, "Advanced...", 101, 204, 90, 14},
    {AfxItem::PushButton, IDC_LC_UPDATE, "Update", 7, 222, 90, 14},
    {AfxItem::PushButton, IDC_LC_EXPORT, "Export to log file", 101, 222, 90, 14},
};
const AFX_DLGTEMPLATE kPage = {IDD_LINE_CONFIG, "Signalling", 330, 245, kPageItems, std::size(kPageItems)};

// Each list's entries are filled from its table when the dialog opens.
const AFX_DLGITEM kLayer1Items[] = {
    {AfxItem::LText, IDC_STATIC, "Line Code", 10, 12, 70, 8},
    {AfxItem::ComboBox, IDC_L1_LINE_CODE, nullptr, 86, 10, 100, 80, kDropList},
    {AfxItem::LText, IDC_STATIC, "Framing Format", 10, 30, 70, 8},
    {AfxItem::ComboBox, IDC_L1_FRAMING, nullptr, 86, 28, 100, 80, kDropList},
    {AfxItem::LText, IDC_STATIC, "D Ch Rate", 10, 48, 70, 8},
    {AfxItem::ComboBox, IDC_L1_DCH_RATE, nullptr, 86, 46, 100, 80, kDropList},
    {AfxItem::LText, IDC_STATIC, "DS0 Idle Code", 10, 66, 70, 8},
    {AfxItem::ComboBox, IDC_L1_IDLE_CODE, nullptr, 86, 64, 100, 80, kDropList},
    {AfxItem::LText, IDC_STATIC, "Tx Pulse Template", 10, 84, 70, 8},
    {AfxItem::ComboBox, IDC_L1_PULSE, nullptr, 86, 82, 100, 80, kDropList},
    {AfxItem::DefPushButton, IDOK, "OK", 80, 106, 50, 14},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 136, 106, 50, 14},
};
const AFX_DLGTEMPLATE kLayer1 = {IDD_LAYER1_CONFIG, "Layer 1 Configuration", 196, 128, kLayer1Items,
                                 std::size(kLayer1Items)};

const AFX_DLGITEM kLayer2Items[] = {
    {AfxItem::LText, IDC_STATIC, "Modulus", 10, 12, 70, 8},
    {AfxItem::ComboBox, IDC_L2_MODULUS, nullptr, 110, 10, 76, 60, kDropList},
    {AfxItem::LText, IDC_STATIC, "Signalling Link Window Size", 10, 32, 98, 8},
    {AfxItem::Edit, IDC_L2_WINDOW, nullptr, 110, 30, 40, 13, kShown | ES_NUMBER},
    {AfxItem::Spin, IDC_L2_SPIN, nullptr, 150, 30, 10, 13,
     WS_VISIBLE | UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS},
    {AfxItem::Slider, IDC_L2_SLIDER, nullptr, 10, 50, 176, 20, kShown | TBS_AUTOTICKS},
    {AfxItem::DefPushButton, IDOK, "OK", 80, 78, 50, 14},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 136, 78, 50, 14},
};
const AFX_DLGTEMPLATE kLayer2 = {IDD_LAYER2_CONFIG, "Layer 2 Configuration", 196, 100, kLayer2Items,
                                 std::size(kLayer2Items)};

const AFX_DLGITEM kLayer3Items[] = {
    {AfxItem::LText, IDC_STATIC, "Signalling Protocol", 10, 12, 70, 8},
    {AfxItem::ComboBox, IDC_L3_PROTOCOL, nullptr, 86, 10, 120, 80, kDropList},
    {AfxItem::LText, IDC_STATIC, "D Channel Inversion", 10, 30, 70, 8},
    {AfxItem::ComboBox, IDC_L3_INVERSION, nullptr, 86, 28, 120, 80, kDropList},
    {AfxItem::LText, IDC_STATIC, "B Channel Protocol", 10, 48, 70, 8},
    {AfxItem::ComboBox, IDC_L3_BCHANNEL, nullptr, 86, 46, 120, 80, kDropList},
    {AfxItem::GroupBox, IDC_L3_RBS_GROUP, "Robbed Bit Signalling", 7, 64, 202, 82},
    {AfxItem::LText, IDC_L3_RBS_LABEL_FIRST, "Type", 14, 78, 66, 8},
    {AfxItem::ComboBox, IDC_L3_RBS_TYPE, nullptr, 86, 76, 116, 80, kDropList},
    {AfxItem::LText, IDC_L3_RBS_LABEL_FIRST + 1, "Call Type", 14, 94, 66, 8},
    {AfxItem::ComboBox, IDC_L3_RBS_CALL_TYPE, nullptr, 86, 92, 116, 80, kDropList},
    {AfxItem::LText, IDC_L3_RBS_LABEL_FIRST + 2, "Protocol", 14, 110, 66, 8},
    {AfxItem::ComboBox, IDC_L3_RBS_PROTOCOL, nullptr, 86, 108, 116, 80, kDropList},
    {AfxItem::LText, IDC_L3_RBS_LABEL_FIRST + 3, "Wink Duration", 14, 126, 66, 8},
    {AfxItem::ComboBox, IDC_L3_RBS_WINK, nullptr, 86, 124, 116, 80, kDropList},
    {AfxItem::DefPushButton, IDOK, "OK", 102, 152, 50, 14},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 158, 152, 50, 14},
};
const AFX_DLGTEMPLATE kLayer3 = {IDD_LAYER3_CONFIG, "Layer 3 Configuration", 216, 174, kLayer3Items,
                                 std::size(kLayer3Items)};

const AFX_DLGITEM kNumberItems[] = {
    {AfxItem::LText, IDC_STATIC, "Channel", 14, 10, 44, 8},
    {AfxItem::LText, IDC_STATIC, "Directory Number", 64, 10, 100, 8},
    {AfxItem::Edit, IDC_DN_CHANNEL, nullptr, 14, 22, 34, 13, kShown | ES_NUMBER},
    {AfxItem::Spin, IDC_DN_SPIN, nullptr, 48, 22, 10, 13,
     WS_VISIBLE | UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS},
    {AfxItem::ComboBox, IDC_DN_LIST, nullptr, 64, 22, 172, 100, kShown | WS_VSCROLL | CBS_DROPDOWN},
    {AfxItem::GroupBox, IDC_STATIC, "Fill", 7, 44, 236, 66},
    {AfxItem::LText, IDC_STATIC, "1st Dir. Nbr:", 14, 59, 50, 8},
    {AfxItem::Edit, IDC_DN_FIRST, nullptr, 64, 57, 172, 13},
    {AfxItem::RadioButton, IDC_DN_INCREMENT, "Increment number", 14, 76, 100, 10, kShown | WS_GROUP},
    {AfxItem::RadioButton, IDC_DN_SAME, "Same Number for all", 14, 90, 100, 10},
    {AfxItem::PushButton, IDC_DN_FILL, "Fill", 186, 88, 50, 14},
    {AfxItem::DefPushButton, IDOK, "OK", 130, 118, 50, 14},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 186, 118, 50, 14},
};
const AFX_DLGTEMPLATE kNumbers = {IDD_NUMBERS_CONFIG, "Numbers", 250, 140, kNumberItems, std::size(kNumberItems)};

const AFX_DLGITEM kAdvancedItems[] = {
    {AfxItem::LText, IDC_STATIC, "Registry Parameters", 7, 6, 130, 8},
    {AfxItem::Tree, IDC_ADV_TREE, nullptr, 7, 16, 150, 170, kTree},
    {AfxItem::LText, IDC_STATIC, "Timer Resolution", 164, 16, 90, 8},
    {AfxItem::Edit, IDC_ADV_TIMER, nullptr, 164, 26, 90, 13, kShown | ES_NUMBER},
    {AfxItem::LText, IDC_STATIC, "QStack Multiplier", 164, 44, 90, 8},
    {AfxItem::Edit, IDC_ADV_QSTACK, nullptr, 164, 54, 90, 13, kShown | ES_NUMBER},
    {AfxItem::LText, IDC_STATIC, "Network Side", 164, 72, 90, 8},
    {AfxItem::ComboBox, IDC_ADV_NETWORK_SIDE, nullptr, 164, 82, 90, 60, kDropList},
    {AfxItem::LText, IDC_STATIC, "IRQ Statistics", 164, 100, 90, 8},
    {AfxItem::ComboBox, IDC_ADV_IRQ, nullptr, 164, 110, 90, 60, kDropList},
    {AfxItem::LText, IDC_STATIC, "ISDN thru CSM", 164, 128, 90, 8},
    {AfxItem::ComboBox, IDC_ADV_CSM, nullptr, 164, 138, 90, 60, kDropList},
    {AfxItem::LText, IDC_STATIC, "Sampling type", 164, 156, 90, 8},
    {AfxItem::ComboBox, IDC_ADV_SAMPLING, nullptr, 164, 166, 90, 60, kDropList},
    {AfxItem::LText, IDC_STATIC, "Outgoing Analog", 164, 184, 90, 8},
    {AfxItem::ComboBox, IDC_ADV_OUTGOING_ANALOG, nullptr, 164, 194, 90, 60, kDropList},
    {AfxItem::DefPushButton, IDOK, "OK", 148, 216, 50, 14},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 204, 216, 50, 14},
};
const AFX_DLGTEMPLATE kAdvanced = {IDD_ADVANCED_CONFIG, "Advanced...", 262, 238, kAdvancedItems,
                                   std::size(kAdvancedItems)};

const AFX_DLGTEMPLATE* const kDialogs[] = {&kPage, &kLayer1, &kLayer2, &kLayer3, &kNumbers, &kAdvanced};
const AFX_RESOURCES kResources = {nullptr, 0, kDialogs, std::size(kDialogs), nullptr, 0, nullptr, 0};

}  // namespace

void RegisterLineConfigResources() { AfxRegisterResources(&kResources); }
