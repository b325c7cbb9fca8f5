#include "QLCommon/ConfigMap.h"

#include <ctime>
#include <mutex>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/Variables.h"

void DbgTrace(int, const char*, int, const char*, ...) {}

namespace {

// Records are packed.
constexpr int kPacked = 1;

// An open key of HKEY_LOCAL_MACHINE, closed on leaving.
struct CRegKey {
    HKEY Key = nullptr;
    LONG Result;
    explicit CRegKey(const std::string& path) { Result = RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &Key); }
    ~CRegKey()
    {
        if (Result == ERROR_SUCCESS)
            RegCloseKey(Key);
    }
    bool IsOpen() const { return Result == ERROR_SUCCESS; }
};

}  // namespace

const CConfigMapRow* CConfigMap::Find(uint32_t key) const
{
    for (const CConfigMapRow* row = m_pRows; row != nullptr && row->Key != 0xFFFFFFFFu; row++)
        if (row->Key == key)
            return row;
    return nullptr;
}

int CConfigMap::Read(CManageableObject* object, uintptr_t argument, const algn_tField* table, uint32_t classId) const
{
    uint32_t handled = 0;
    algn_tIterator it;
    for (long at = algn_FirstField(&it, table, kPacked); at >= 0; at = algn_NextField(&it)) {
        const algn_tField* field = algn_CurrentField(&it);
        const CConfigMapRow* row = Find(field->Id | classId);
        if (row == nullptr || (row->ReadMask & handled) != 0)
            continue;
        int result = 0;
        if (row->ReadHandler != nullptr)
            result = row->ReadHandler(object, argument, row->ReadMask);
        else if (row->Reader != nullptr)
            result = row->Reader(object, row->ValueName, row->Key, row->KeyPath, row->Default);
        if (result > 1)
            return 0;
        handled |= row->ReadMask;
    }
    return 1;
}

int CConfigMap::Write(CManageableObject* object, uintptr_t argument, const algn_tField* table, uint32_t classId,
                      const void* newRecord, void* currentRecord) const
{
    uint32_t handled = 0;
    int answer = 1;
    algn_tIterator it;
    for (long at = algn_FirstField(&it, table, kPacked); at >= 0; at = algn_NextField(&it)) {
        const algn_tField* field = algn_CurrentField(&it);
        const CConfigMapRow* row = Find(field->Id | classId);
        if (row == nullptr || algn_CompareField(field, newRecord, currentRecord, (uint32_t)at, kPacked) == 0)
            continue;
        if ((row->WriteMask & handled) != 0)
            continue;
        int32_t wanted = algn_GetFieldValue(field, newRecord, (uint32_t)at);
        int32_t old = algn_GetFieldValue(field, currentRecord, (uint32_t)at);
        if (row->WriteHandler != nullptr) {
            // The handler is given the value to store.
            auto* wantedField = const_cast<unsigned char*>(static_cast<const unsigned char*>(newRecord)) + at;
            if (row->WriteHandler(object, argument, row->WriteMask, wantedField) > 1)
                return 0;
            algn_SetFieldValue(field, currentRecord, (uint32_t)at, wanted);
        }
        if (row->Writer != nullptr &&
            row->Writer(object, row->ValueName, row->Key, row->KeyPath, (uint32_t)wanted) != 0) {
            // Not stored: the device is given the old value back, so the device, the
            // record and the registry keep agreeing.
            bool undone = true;
            if (row->WriteHandler != nullptr) {
                uint64_t oldField = 0;
                algn_SetFieldValue(field, &oldField, 0, old);
                undone = row->WriteHandler(object, argument, row->WriteMask, &oldField) <= 1;
            }
            if (undone)
                algn_SetFieldValue(field, currentRecord, (uint32_t)at, old);
            else
                ZEL_TRACE(1, "<%s> not stored, and the device keeps the new value", row->ValueName);
            answer = 0;
        } else if (row->Writer != nullptr) {
            algn_SetFieldValue(field, currentRecord, (uint32_t)at, wanted);
        }
        handled |= row->WriteMask;
    }
    return answer;
}

bool zel_FindField(CManageableObject* object, uint32_t key, CFieldRef* field)
{
    auto* variable = static_cast<CVariable*>(object->GetItemPtr((key & ~0xFFu) | SMEM_WHOLE_RECORD, CSMemIndex()));
    if (variable == nullptr)
        return false;
    algn_tIterator it;
    for (long at = algn_FirstField(&it, variable->Table(), kPacked); at >= 0; at = algn_NextField(&it)) {
        const algn_tField* row = algn_CurrentField(&it);
        if (row->Id == smem_Field(key)) {
            if ((uint32_t)at + algn_ElementSize(row, kPacked) > variable->Size())
                return false;
            field->Record = variable->Data();
            field->Offset = (uint32_t)at;
            field->Row = row;
            return true;
        }
    }
    return false;
}

int ConfigMap_ReadDword(CManageableObject* object, const char* valueName, uint32_t key, ConfigKeyPath keyPath,
                        uint32_t defaultValue)
{
    CRegKey k(keyPath(object));
    if (!k.IsOpen())
        return 0;
    CFieldRef field;
    if (!zel_FindField(object, key, &field))
        return 0;
    uint32_t value = 0;
    DWORD type = 0, size = sizeof value;
    LONG result = RegQueryValueExA(k.Key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (result == ERROR_SUCCESS && (type != REG_DWORD || size != 4))
        return 4;
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
        value = defaultValue;
        ZEL_TRACE(2, "After read of <%s>, dwValue = %d, dwRet = %ld", valueName, (int)value, (long)result);
    } else if (result == ERROR_MORE_DATA) {
        return 4;
    }
    // Stored by the field's own type: a byte field takes one byte.
    algn_SetFieldValue(field.Row, field.Record, field.Offset, (int32_t)value);
    return 0;
}

int ConfigMap_WriteDword(CManageableObject* object, const char* valueName, uint32_t key, ConfigKeyPath keyPath,
                         uint32_t value)
{
    CRegKey k(keyPath(object));
    if (!k.IsOpen())
        return k.Result != ERROR_SUCCESS ? (int)k.Result : (int)ERROR_BADKEY;
    CFieldRef field;
    if (!zel_FindField(object, key, &field))
        return (int)ERROR_INVALID_PARAMETER;
    return (int)RegSetValueExA(k.Key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

namespace {

std::mutex g_FlagLock;
bool g_FlagsRead = false;
time_t g_FlagsReadAt = 0;
uint32_t g_Flags[4];

}  // namespace

void DbgFlagReset()
{
    std::lock_guard<std::mutex> g(g_FlagLock);
    g_FlagsRead = false;
}

uint32_t DbgFlagGet(int kind)
{
    if (kind == 1)
        return 1;
    if (kind < 2 || kind > 5)
        return 0;
    std::lock_guard<std::mutex> g(g_FlagLock);
    time_t now = std::time(nullptr);
    if (!g_FlagsRead || now - g_FlagsReadAt > 60) {
        static const char* const kNames[4] = {"ZELDbgFlowCtrl", "ZELDbgCallEvents", "ZELDbgCallHistory",
                                              "ZELDbgThrdCtrl"};
        CRegKey k("SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters");
        for (int i = 0; i < 4; i++) {
            uint32_t value = 0;
            DWORD type = 0, size = sizeof value;
            if (!k.IsOpen() ||
                RegQueryValueExA(k.Key, kNames[i], nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                    ERROR_SUCCESS ||
                type != REG_DWORD || size != 4)
                value = 0;
            g_Flags[i] = value;
        }
        g_FlagsRead = true;
        g_FlagsReadAt = now;
    }
    return g_Flags[kind - 2];
}
