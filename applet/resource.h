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
    IDD_CSM_PAGE = 147,
    IDD_CSM_STATS = 228,
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

    // Modem-processor message counters.
    IDC_CSM_INBOUND = 1413,
    IDC_CSM_OUTBOUND = 1414,
    IDC_CSM_REFRESH = 1027,

    // Modem-processor and pump diagnostics page.
    IDC_CSM_PORT_TABS = 1427,
    IDC_CSM_SOCKET = 1189,
    IDC_CSM_INDEX = 1172,
    IDC_CSM_STATE = 1179,
    IDC_CSM_FILE = 1386,
    IDC_CSM_START_DOWNLOAD = 1181,
    IDC_CSM_DOWNLOAD_ONLY = 1187,
    IDC_CSM_START_CODE = 1423,
    IDC_CSM_OUT_OF_SERVICE = 1183,
    IDC_CSM_UPDATE_CODE = 1424,
    IDC_CSM_GET_STATS = 1188,
    IDC_CSM_STATISTICS = 1120,
    IDC_CSM_REGISTER = 1177,
    IDC_CSM_REGISTER_VALUE = 1169,
    IDC_CSM_READ = 1174,
    IDC_CSM_WRITE = 1175,
    IDC_CSM_UPDATE = 1173,
    IDC_CSM_DUMP = 1119,
    IDC_PUMP_TABS = 1426,
    IDC_PUMP_STATE = 1182,
    IDC_PUMP_RESET = 1184,
    IDC_PUMP_OUT_OF_SERVICE = 1185,
    IDC_AT_COMMAND = 1380,
    IDC_AT_SEND = 1381,
    IDC_AT_RESPONSE = 1383,
    IDC_AT_DATA_INIT = 1382,
    IDC_AT_MODIFY_INIT = 1384,
    IDC_CMD_LENGTH = 1443,
    IDC_CMD_CLASS = 1444,
    IDC_CMD_TYPE = 1445,
    IDC_CMD_FUNCTION = 1446,
    IDC_CMD_WORD = 1449,
    IDC_CMD_WORDS = 1450,
    IDC_CMD_ADD = 1447,
    IDC_CMD_CLEAR = 1448,
    IDC_CMD_SEND = 1451,
    IDC_CMD_READ = 1452,
    IDC_CMD_ABORT = 1453,
    IDC_RTS_ON = 1467,
    IDC_RTS_OFF = 1468,
    IDC_PUMP_IP_ADDRESS = 1413,
    IDC_PUMP_CODE = 1414,
    IDC_CSM_EBUS = 1186,
    IDC_CSM_STATUS = 1176,
};

// The modem controls of the adapter page: button and number label of modem i (from 0).
int ModemButtonId(int i);
int ModemTextId(int i);
constexpr int kPanelSlots = 31;

void RegisterAppletResources();
