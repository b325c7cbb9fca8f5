// Adapter parameters: the values under the adapter's Parameters key, read once at
// initialisation into the head of the Adapter record.
//
// Reading order: DeviceName, AddressList, the integers of WmpIntegerParams in table
// order, the directory numbers (line by line, channel 00 to 31), their channel
// protocols in the same order, the modem init strings, ModemRouting.
//
// Every key name is UTF-16 text in pool memory, allocated before its value is
// requested and freed after it. An indexed key is built once with index 0 and its
// digits are advanced in place: the last character per line or socket, the two
// channel digits (carrying into the line digit after 31) for directory-number keys.
// The record is private to initialisation here; no lock is taken.
#include "driver/Wmp_nt40/Wmp_params.h"

#include <cstddef>

// Location numbers of the error-log entries written here.
#define WMP_LOC_DEVICE_NAME 0x0C01
#define WMP_LOC_ADDRESS_LIST 0x0C02
#define WMP_LOC_KEY_TEXT 0x0C03

#define WMP_ANY_VALUE 0xFFFFFFFF
#define WMP_NO_CLEAR 0xFFFFFFFF

#define WMP_KEY_LINE_DIGIT 5  // "Line_<n>."
#define WMP_CHANNELS_PER_LINE MAX_LINKS_PER_GROUP

#define WMP_MODEM_INIT_DEFAULT "S95=4\\N3%C3"
#define WMP_MODEM_INIT_MAX (MODEM_INIT_SIZE - 4)  // count byte, "AT" and carriage return around it

static_assert(sizeof(DIRECTORY_NUMBER) == DIRECTORY_NUMBER_SIZE);
static_assert(sizeof(((DIRECTORY_NUMBER*)0)->Digits) == DIRECTORY_NUMBER_MAX + 1);
static_assert(sizeof(MODEM_INIT_STRING) == MODEM_INIT_SIZE);
static_assert(WMP_CHANNELS_PER_LINE == 32);

// One integer parameter: Count entries of ULONG from Offset in the record. Name
// carries the suffix 0 when Count is above 1. Out of [Minimum, Maximum] or unreadable:
// the entry keeps Default. ClearOffset, unless WMP_NO_CLEAR, names a ULONG array whose
// entry of the same index is cleared when the value is read.
typedef struct _WMP_INT_PARAM {
    const char* Name;
    ULONG Offset;
    ULONG Count;
    ULONG Default;
    ULONG Minimum;
    ULONG Maximum;
    ULONG ClearOffset;
} WMP_INT_PARAM;

#define WMP_FIELD(Field) ((ULONG)offsetof(Adapter, Field))

static const WMP_INT_PARAM WmpIntegerParams[] = {
    {"VoPReplicateCount", WMP_FIELD(VoPReplicateCount), 1, 1, 1, WMP_ANY_VALUE, WMP_NO_CLEAR},
    {"DoCsmReset", WMP_FIELD(DoCsmReset), 1, 1, 0, WMP_ANY_VALUE, WMP_NO_CLEAR},
    {"TimerResolution", WMP_FIELD(TimerResolution), 1, 10, 1, WMP_ANY_VALUE, WMP_NO_CLEAR},
    {"VerifyLoad", WMP_FIELD(VerifyLoad), 1, 0, 0, WMP_ANY_VALUE, WMP_NO_CLEAR},
    {"AdapterID", WMP_FIELD(AdapterID), 1, 4, 0, 7, WMP_NO_CLEAR},
    {"IrqStatistics", WMP_FIELD(IrqStatistics), 1, 0, 0, 1, WMP_NO_CLEAR},
    {"NetworkSide_0", WMP_FIELD(NetworkSide), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"LineCode_0", WMP_FIELD(LineCode), MAX_LINES, 0, 0, 4, WMP_NO_CLEAR},
    {"LineMode_0", WMP_FIELD(LineMode), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"FramingFormat_0", WMP_FIELD(FramingFormat), MAX_LINES, 3, 0, 6, WMP_NO_CLEAR},
    {"TxPulseTemplate_0", WMP_FIELD(TxPulseTemplate), MAX_LINES, 0, 0, 7, WMP_NO_CLEAR},
    {"DS0IdleCode_0", WMP_FIELD(DS0IdleCode), MAX_LINES, 1, 0, 1, WMP_NO_CLEAR},
    {"DChRate_0", WMP_FIELD(DChRate), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"DChInversion_0", WMP_FIELD(DChInversion), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"Modulus_0", WMP_FIELD(Modulus), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"WindowSize_0", WMP_FIELD(WindowSize), MAX_LINES, 7, 1, 127, WMP_NO_CLEAR},
    {"SignallingProtocol_0", WMP_FIELD(SignallingProtocol), MAX_LINES, 1, 0, 6, WMP_NO_CLEAR},
    {"BChProtocol_0", WMP_FIELD(BChProtocol), MAX_LINES, 2, 0, 3, WMP_NO_CLEAR},
    {"QStackMultiplier_0", WMP_FIELD(QStackMultiplier), MAX_LINES, 2, 1, 3, WMP_FIELD(QStackTickCount)},
    {"LineIntfMode_0", WMP_FIELD(LineIntfMode), MAX_LINES, 1, 0, 1, WMP_NO_CLEAR},
    {"SystemBusMode_0", WMP_FIELD(SystemBusMode), MAX_LINES, 2, 0, 12, WMP_NO_CLEAR},
    {"ModuleID_0", WMP_FIELD(ModuleID), MAX_SOCKETS, 4, 0, NUM_MODULE_TYPES - 1, WMP_NO_CLEAR},
    {"ISDNthroughCSM_0", WMP_FIELD(ISDNthroughCSM), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"SamplingType_0", WMP_FIELD(SamplingType), MAX_LINES, 2, 0, 2, WMP_NO_CLEAR},
    {"RBSType_0", WMP_FIELD(RBSType), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"RBSCallType_0", WMP_FIELD(RBSCallType), MAX_LINES, 0, 0, 1, WMP_NO_CLEAR},
    {"RBSProtocol_0", WMP_FIELD(RBSProtocol), MAX_LINES, 2, 0, 2, WMP_NO_CLEAR},
    {"RBSWinkDuration_0", WMP_FIELD(RBSWinkDuration), MAX_LINES, 0, 0, 2, WMP_NO_CLEAR},
    {"AsyncPortNumbersStartAt", WMP_FIELD(AsyncPortNumbersStartAt), 1, 5, 1, WMP_ANY_VALUE, WMP_NO_CLEAR},
    {"AsyncPorts_0", WMP_FIELD(AsyncPorts), MAX_LINES, 0, 0, WMP_ANY_VALUE, WMP_NO_CLEAR},
};

#define WMP_INT_PARAM_COUNT (sizeof(WmpIntegerParams) / sizeof(WmpIntegerParams[0]))

static PULONG WmpAdapterUlongs(Adapter* ThisAdapter, ULONG Offset)
{
    return (PULONG)((PUCHAR)ThisAdapter + Offset);
}

// ---- key names ----

static BOOLEAN WmpKeyAlloc(NDIS_HANDLE MiniportAdapterHandle, const char* Text, PNDIS_STRING Key)
{
    PVOID Buffer;
    ULONG Characters = 0;
    ULONG Index;

    while (Text[Characters] != 0) Characters++;

    if (NdisAllocateMemory(&Buffer, (Characters + 1) * sizeof(WCHAR), 0, NdisHighestAddress()) !=
        NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 3, (ULONG)MODULE_NUMBER,
                               (ULONG)WMP_LOC_KEY_TEXT, (ULONG)WMP_SUBCODE_KEY_TEXT);
        return FALSE;
    }
    Key->Buffer = (PWSTR)Buffer;
    for (Index = 0; Index < Characters; Index++) Key->Buffer[Index] = (WCHAR)(UCHAR)Text[Index];
    Key->Buffer[Characters] = 0;
    Key->Length = (USHORT)(Characters * sizeof(WCHAR));
    Key->MaximumLength = (USHORT)((Characters + 1) * sizeof(WCHAR));
    return TRUE;
}

static void WmpKeyFree(PNDIS_STRING Key)
{
    NdisFreeMemory(Key->Buffer, Key->MaximumLength, 0);
    Key->Buffer = NULL;
}

static PWSTR WmpKeyLastChar(PNDIS_STRING Key)
{
    return &Key->Buffer[Key->Length / sizeof(WCHAR) - 1];
}

// "..._<n>" -> "..._<n+1>"
static void WmpKeyNextIndex(PNDIS_STRING Key)
{
    (*WmpKeyLastChar(Key))++;
}

// "Line_<n>...._<mm>" -> next channel; after 31 the channel returns to 00 on the next line.
static void WmpKeyNextChannel(PNDIS_STRING Key)
{
    PWSTR Units = WmpKeyLastChar(Key);
    PWSTR Tens = Units - 1;

    if (++*Units > u'9') {
        *Units = u'0';
        ++*Tens;
    }
    if (*Tens == u'3' && *Units == u'2') {
        *Tens = u'0';
        *Units = u'0';
        Key->Buffer[WMP_KEY_LINE_DIGIT]++;
    }
}

// ---- value requests ----

static BOOLEAN WmpReadInteger(NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Key, PULONG Value)
{
    NDIS_STATUS Status;
    PNDIS_CONFIGURATION_PARAMETER Parameter;

    NdisReadConfiguration(&Status, &Parameter, ConfigurationHandle, Key, NdisParameterInteger);
    if (Status != NDIS_STATUS_SUCCESS) return FALSE;
    *Value = Parameter->ParameterData.IntegerData;
    return TRUE;
}

// The string when it is read and not empty, else NULL; Status is the request's.
static PNDIS_STRING WmpReadString(NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Key, NDIS_PARAMETER_TYPE Type,
                                  PNDIS_STATUS Status)
{
    PNDIS_CONFIGURATION_PARAMETER Parameter;

    NdisReadConfiguration(Status, &Parameter, ConfigurationHandle, Key, Type);
    if (*Status != NDIS_STATUS_SUCCESS || Parameter->ParameterData.StringData.Length == 0) return NULL;
    return &Parameter->ParameterData.StringData;
}

NDIS_STATUS CopyUnicodeToAnsi(PUCHAR Destination, PNDIS_STRING Source, ULONG DestinationSize)
{
    ULONG Characters = Source->Length / sizeof(WCHAR);
    ULONG Index;

    if (DestinationSize == 0 || Characters > DestinationSize - 1) return NDIS_STATUS_FAILURE;
    for (Index = 0; Index < Characters; Index++) Destination[Index] = (UCHAR)(Source->Buffer[Index] & 0xFF);
    Destination[Characters] = 0;
    return NDIS_STATUS_SUCCESS;
}

// ---- the steps, in reading order ----

static BOOLEAN WmpReadDeviceName(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE MiniportAdapterHandle)
{
    NDIS_STRING Key;
    NDIS_STATUS Status;
    PNDIS_STRING Value;

    if (!WmpKeyAlloc(MiniportAdapterHandle, "DeviceName", &Key)) return FALSE;
    Value = WmpReadString(ConfigurationHandle, &Key, NdisParameterString, &Status);
    if (Value == NULL) {
        WmpKeyFree(&Key);
        NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER, 4,
                               (ULONG)Status, (ULONG)MODULE_NUMBER, (ULONG)WMP_LOC_DEVICE_NAME,
                               (ULONG)WMP_SUBCODE_NO_DEVICE_NAME);
        return FALSE;
    }
    // Too long: the name stays empty.
    CopyUnicodeToAnsi((PUCHAR)ThisAdapter->DeviceName, Value, DEVICE_NAME_SIZE);
    WmpKeyFree(&Key);
    return TRUE;
}

static BOOLEAN WmpReadAddressList(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle,
                                  NDIS_HANDLE MiniportAdapterHandle)
{
    NDIS_STRING Key;
    NDIS_STATUS Status;
    PNDIS_STRING Value;

    if (!WmpKeyAlloc(MiniportAdapterHandle, "AddressList", &Key)) return FALSE;
    Value = WmpReadString(ConfigurationHandle, &Key, NdisParameterMultiString, &Status);
    if (Value == NULL) {
        NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER, 4,
                               (ULONG)Status, (ULONG)MODULE_NUMBER, (ULONG)WMP_LOC_ADDRESS_LIST,
                               (ULONG)WMP_SUBCODE_NO_ADDRESS_LIST);
    } else {
        // The NUL separators are copied as they are; a list too long is not taken.
        CopyUnicodeToAnsi((PUCHAR)ThisAdapter->AddressList, Value, ADDRESS_LIST_SIZE);
    }
    WmpKeyFree(&Key);
    return TRUE;
}

static BOOLEAN WmpReadIntegers(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle,
                               NDIS_HANDLE MiniportAdapterHandle)
{
    ULONG Row;

    for (Row = 0; Row < WMP_INT_PARAM_COUNT; Row++) {
        const WMP_INT_PARAM* Param = &WmpIntegerParams[Row];
        PULONG Field = WmpAdapterUlongs(ThisAdapter, Param->Offset);
        NDIS_STRING Key;
        ULONG Index;
        ULONG Value;

        if (!WmpKeyAlloc(MiniportAdapterHandle, Param->Name, &Key)) return FALSE;
        for (Index = 0; Index < Param->Count; Index++) {
            Field[Index] = Param->Default;
            if (WmpReadInteger(ConfigurationHandle, &Key, &Value) && Value >= Param->Minimum &&
                Value <= Param->Maximum)
                Field[Index] = Value;
            if (Param->ClearOffset != WMP_NO_CLEAR) WmpAdapterUlongs(ThisAdapter, Param->ClearOffset)[Index] = 0;
            WmpKeyNextIndex(&Key);
        }
        WmpKeyFree(&Key);
    }
    return TRUE;
}

static BOOLEAN WmpReadDirectoryNumbers(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle,
                                       NDIS_HANDLE MiniportAdapterHandle)
{
    NDIS_STRING Key;
    NDIS_STATUS Status;
    ULONG Line;
    ULONG Channel;

    if (!WmpKeyAlloc(MiniportAdapterHandle, "Line_0.DirectoryNumber_00", &Key)) return FALSE;
    for (Line = 0; Line < MAX_LINES; Line++) {
        for (Channel = 0; Channel < WMP_CHANNELS_PER_LINE; Channel++) {
            DIRECTORY_NUMBER* Entry = &ThisAdapter->DirectoryNumber[Line][Channel];
            PNDIS_STRING Value;

            Entry->Count = 0;
            Value = WmpReadString(ConfigurationHandle, &Key, NdisParameterString, &Status);
            if (Value != NULL &&
                CopyUnicodeToAnsi((PUCHAR)Entry->Digits, Value, sizeof(Entry->Digits)) == NDIS_STATUS_SUCCESS) {
                Entry->Count = (UCHAR)(Value->Length / sizeof(WCHAR));
                if (Entry->Count == 1 && Entry->Digits[0] == 0) Entry->Count = 0;
            }
            WmpKeyNextChannel(&Key);
        }
    }
    WmpKeyFree(&Key);
    return TRUE;
}

static BOOLEAN WmpReadChannelProtocols(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle,
                                       NDIS_HANDLE MiniportAdapterHandle)
{
    NDIS_STRING Key;
    ULONG Line;
    ULONG Channel;
    ULONG Value;

    if (!WmpKeyAlloc(MiniportAdapterHandle, "Line_0.DirectoryNumberChProtocol_00", &Key)) return FALSE;
    for (Line = 0; Line < MAX_LINES; Line++) {
        for (Channel = 0; Channel < WMP_CHANNELS_PER_LINE; Channel++) {
            PULONG Entry = &ThisAdapter->DirectoryNumberChProtocol[Line][Channel];

            *Entry = 0;
            if (WmpReadInteger(ConfigurationHandle, &Key, &Value) && Value <= 3) *Entry = Value;
            WmpKeyNextChannel(&Key);
        }
    }
    WmpKeyFree(&Key);
    return TRUE;
}

// Each entry: count, "AT", the characters, carriage return. A value too long for the
// entry is refused and the default used.
static BOOLEAN WmpReadModemInitStrings(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle,
                                       NDIS_HANDLE MiniportAdapterHandle)
{
    static const char Default[] = WMP_MODEM_INIT_DEFAULT;
    NDIS_STRING Key;
    NDIS_STATUS Status;
    ULONG Line;

    if (!WmpKeyAlloc(MiniportAdapterHandle, "ModemDataInit_0", &Key)) return FALSE;
    for (Line = 0; Line < MAX_LINES; Line++) {
        MODEM_INIT_STRING* Entry = &ThisAdapter->ModemDataInit[Line];
        PUCHAR Characters = (PUCHAR)&Entry->Text[2];
        PNDIS_STRING Value;
        ULONG Count;

        Entry->Text[0] = 'A';
        Entry->Text[1] = 'T';
        Value = WmpReadString(ConfigurationHandle, &Key, NdisParameterString, &Status);
        if (Value != NULL &&
            CopyUnicodeToAnsi(Characters, Value, WMP_MODEM_INIT_MAX + 1) == NDIS_STATUS_SUCCESS) {
            Count = Value->Length / sizeof(WCHAR);
        } else {
            Count = sizeof(Default) - 1;
            NdisMoveMemory(Characters, Default, Count);
        }
        Characters[Count] = '\r';  // in place of the copy's terminating zero
        Entry->Count = (UCHAR)(Count + 3);
        WmpKeyNextIndex(&Key);
    }
    WmpKeyFree(&Key);
    return TRUE;
}

static BOOLEAN WmpReadModemRouting(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle,
                                   NDIS_HANDLE MiniportAdapterHandle)
{
    NDIS_STRING Key;
    ULONG Line;
    ULONG Value;

    if (!WmpKeyAlloc(MiniportAdapterHandle, "ModemRouting_0", &Key)) return FALSE;
    for (Line = 0; Line < MAX_LINES; Line++) {
        ThisAdapter->ModemRouting[Line] = 0;
        if (WmpReadInteger(ConfigurationHandle, &Key, &Value) && Value <= 1)
            ThisAdapter->ModemRouting[Line] = (UCHAR)Value;
        WmpKeyNextIndex(&Key);
    }
    WmpKeyFree(&Key);
    return TRUE;
}

// System-bus modes a line cannot run: the framer's bus for the mode (Bt8370ConfigureMode)
// must run at the HDLC controller port's rate (Bt847xSetupDeviceConfig), and the
// four-slots-per-channel numbering of modes 2 and 5 needs the 8.192 Mbit/s port.
// T1: 1 and 8 (4.096 bus), 9 (8.192 bus on a T1 port), 5 (8.192 numbering on a T1 port).
// E1: 4 and 11 (4.096 bus), 12 (8.192 bus on an E1 port), 2 (8.192 numbering on an E1 port).
#define WMP_BUS_REFUSED_T1 ((1u << 1) | (1u << 5) | (1u << 8) | (1u << 9))
#define WMP_BUS_REFUSED_E1 ((1u << 2) | (1u << 4) | (1u << 11) | (1u << 12))

// A line whose bus mode its line mode cannot carry takes its line mode's bus: 2 for
// T1, 5 for E1.
static void WmpFitSystemBus(Adapter* ThisAdapter)
{
    for (ULONG Line = 0; Line < MAX_LINES; Line++) {
        BOOLEAN E1 = ThisAdapter->LineMode[Line] == 1;
        ULONG Refused = E1 ? WMP_BUS_REFUSED_E1 : WMP_BUS_REFUSED_T1;
        ULONG Mode = ThisAdapter->SystemBusMode[Line];
        if (Mode < 32 && (Refused >> Mode & 1) == 0) continue;
        ThisAdapter->SystemBusMode[Line] = E1 ? 5 : 2;
        DbgPrint("WmpReadParameters: line %lu: SystemBusMode %lu does not fit %s, %lu taken\n", (unsigned long)Line,
                 (unsigned long)Mode, E1 ? "E1" : "T1", (unsigned long)ThisAdapter->SystemBusMode[Line]);
    }
}

BOOLEAN WmpReadParameters(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle, NDIS_HANDLE MiniportAdapterHandle)
{
    if (!WmpReadDeviceName(ThisAdapter, ConfigurationHandle, MiniportAdapterHandle)) return FALSE;
    if (!WmpReadAddressList(ThisAdapter, ConfigurationHandle, MiniportAdapterHandle)) return FALSE;
    if (!WmpReadIntegers(ThisAdapter, ConfigurationHandle, MiniportAdapterHandle)) return FALSE;
    WmpFitSystemBus(ThisAdapter);
    if (!WmpReadDirectoryNumbers(ThisAdapter, ConfigurationHandle, MiniportAdapterHandle)) return FALSE;
    if (!WmpReadChannelProtocols(ThisAdapter, ConfigurationHandle, MiniportAdapterHandle)) return FALSE;
    if (!WmpReadModemInitStrings(ThisAdapter, ConfigurationHandle, MiniportAdapterHandle)) return FALSE;
    return WmpReadModemRouting(ThisAdapter, ConfigurationHandle, MiniportAdapterHandle);
}
