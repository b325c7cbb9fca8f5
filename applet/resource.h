// Resource and control ids of the control-panel applet.
#pragma once

enum : unsigned {
    // Strings.
    IDS_APPLET_NAME = 102,       // "Quorlane ZELVX24-30"
    IDS_SERVICE_NAME = 103,      // "VORNET"
    IDS_SERVICES_KEY = 106,      // "SYSTEM\CurrentControlSet\Services"
    IDS_SELECT_KEY = 108,        // "SYSTEM\Select"
    IDS_CONTROL_SET_KEY = 109,   // "SYSTEM\ControlSet00"

    // Icon, pictures and lamps.
    IDI_APPLET = 151,
    IDB_ADAPTER = 156,
    IDB_LAMP_DARK_A = 168,
    IDB_LAMP_GREY = 177,
    IDB_LAMP_ORANGE = 178,
    IDB_LAMP_BLUE = 179,
    IDB_LAMP_GREEN = 181,
    IDB_LAMP_YELLOW = 224,
    IDB_LAMP_DARK_B = 232,
    IDB_LAMP_GREY_2 = 233,
    IDB_LAMP_ORANGE_2 = 234,
    IDB_LAMP_BLUE_2 = 235,
    IDB_LAMP_GREEN_2 = 236,
    IDB_LAMP_YELLOW_2 = 237,
    IDB_LAMP_DARK_C = 238,
    IDB_INFO_MODULE = 205,
    IDB_INFO_MODULE_NONE = 206,
    IDB_INFO_ADAPTER = 208,
    IDB_INFO_ADAPTER_BAD = 209,
    IDB_INFO_BUS = 210,
    IDB_INFO_BUS_BAD = 211,
    IDB_INFO_DEVICE = 214,
    IDB_INFO_DEVICE_BAD = 215,
    IDB_INFO_QSTACK = 216,
    IDB_INFO_QSTACK_BAD = 217,
    IDB_INFO_MODULE_BAD = 218,
    IDB_INFO_PUMP = 219,
    IDB_INFO_PUMP_BAD = 220,
    IDB_INFO_DRIVER = 222,
    IDB_INFO_DRIVER_BAD = 223,

    // Menus.
    IDR_MODEM_MENU = 155,
    IDR_SELECT_MENU = 157,
    ID_MODEM_OUT_OF_SERVICE = 32780,
    ID_SELECT_ALL = 32786,
    ID_CLEAR_SELECT = 32787,
    ID_MODEM_DEBUG_LOG = 32789,

    // Dialogs.
    IDD_ADAPTER_PAGE = 102,
    IDD_CARD_SELECTION = 190,
    IDD_PRI_SETUP = 231,
    IDD_DIRECTORY_NUMBERS = 239,
    IDD_DRIVER_UPDATE = 241,
    IDD_ASYNC_PORTS = 242,
    IDD_DEVICE_MANAGER = 148,
};

enum : int {
    // Adapter page.
    IDC_CHANNEL_FIRST = 2000,  // 2000 to 2030: channels 1 to 31
    IDC_LAYER1 = 2031,
    IDC_CONFIGURE = 2032,
    IDC_LAYER2 = 2033,
    IDC_CHANNEL_TEXT_FIRST = 2040,  // 2040 to 2070
    IDC_DIRECTORY_NUMBERS = 2148,
    IDC_CONFIGURATION = 2154,

    // Card selection.
    IDC_CARD_LIST = 1384,

    // PRI setup.
    IDC_FRAMING = 2128,
    IDC_LINE_CODING = 2129,
    IDC_SWITCH_TYPE = 2131,
    IDC_TX_LEVEL = 2132,

    // Directory numbers.
    IDC_DIR_SPIN = 1139,
    IDC_DIR_CHANNEL_HEADING = 2140,
    IDC_DIR_NUMBER_HEADING = 2141,
    IDC_DIR_LIST = 2142,
    IDC_DIR_CHANNEL = 2143,
    IDC_DIR_FIRST_NUMBER = 2144,
    IDC_DIR_FILL = 2145,
    IDC_DIR_INCREMENT = 2146,
    IDC_DIR_SAME = 2147,

    // Driver update and asynchronous ports share two edit ids.
    IDC_DRIVER_FILE = 1119,
    IDC_FIRMWARE_FILE = 1413,
    IDC_UPDATE_FIRMWARE = 2149,
    IDC_BROWSE_FIRMWARE = 2150,
    IDC_BROWSE_DRIVER = 2151,
    IDC_UPDATE_DRIVER = 2153,
    IDC_FIRST_PORT = 1119,
    IDC_PORT_COUNT = 1413,

    // Device manager.
    IDC_INFO_TREE = 1188,
    IDC_INFO_REFRESH = 1190,
    IDC_INFO_TEXT = 1191,
};

// The modem controls of the adapter page: button and number label of modem i (from 0).
int ModemButtonId(int i);
int ModemTextId(int i);
constexpr int kPanelSlots = 31;

void RegisterAppletResources();
