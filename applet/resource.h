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
};

// The line configuration page and its dialogs.
enum : unsigned {
    IDD_LINE_CONFIG = 105,
    IDD_LAYER1_CONFIG = 137,
    IDD_LAYER2_CONFIG = 139,
    IDD_LAYER3_CONFIG = 141,
    IDD_NUMBERS_CONFIG = 144,
    IDD_ADVANCED_CONFIG = 146,
};
enum : int {
    IDC_LC_LAYER1 = 1124,
    IDC_LC_LAYER2 = 1125,
    IDC_LC_LAYER3 = 1126,
    IDC_LC_UPDATE = 1127,
    IDC_LC_EXPORT = 1128,
    IDC_LC_NUMBERS = 1129,
    IDC_LC_INTERFACE_TYPE = 1130,
    IDC_LC_PRI_T1 = 1131,
    IDC_LC_PRI_E1 = 1132,
    IDC_LC_T1_RBS = 1133,
    IDC_LC_ADVANCED = 1134,
    IDC_LC_MODULE_FIRST = 1157,  // 1157 to 1160: "0:" to "3:"
    IDC_LC_ADAPTER_ID = 1195,
    IDC_LC_TABS = 1196,
    IDC_LC_TREE = 1197,
    IDC_LC_MODULE_LABEL_FIRST = 1198,  // 1198 to 1201
    IDC_L1_LINE_CODE = 1301,
    IDC_L1_FRAMING = 1302,
    IDC_L1_DCH_RATE = 1303,
    IDC_L1_IDLE_CODE = 1304,
    IDC_L1_PULSE = 1305,
    IDC_L2_MODULUS = 1311,
    IDC_L2_WINDOW = 1312,
    IDC_L2_SPIN = 1313,
    IDC_L2_SLIDER = 1314,
    IDC_L3_PROTOCOL = 1321,
    IDC_L3_INVERSION = 1322,
    IDC_L3_BCHANNEL = 1323,
    IDC_L3_RBS_GROUP = 1324,
    IDC_L3_RBS_TYPE = 1325,
    IDC_L3_RBS_CALL_TYPE = 1326,
    IDC_L3_RBS_PROTOCOL = 1327,
    IDC_L3_RBS_WINK = 1328,
    IDC_L3_RBS_LABEL_FIRST = 1329,  // 1329 to 1332
    IDC_DN_CHANNEL = 1341,
    IDC_DN_SPIN = 1342,
    IDC_DN_LIST = 1343,
    IDC_DN_FIRST = 1344,
    IDC_DN_FILL = 1345,
    IDC_DN_INCREMENT = 1346,
    IDC_DN_SAME = 1347,
    IDC_ADV_TREE = 1351,
    IDC_ADV_TIMER = 1352,
    IDC_ADV_QSTACK = 1353,
    IDC_ADV_NETWORK_SIDE = 1354,
    IDC_ADV_IRQ = 1355,
    IDC_ADV_CSM = 1356,
    IDC_ADV_SAMPLING = 1357,
    IDC_ADV_OUTGOING_ANALOG = 1358,
};

// The modem controls of the adapter page: button and number label of modem i (from 0).
int ModemButtonId(int i);
int ModemTextId(int i);
constexpr int kPanelSlots = 31;

void RegisterAppletResources();
