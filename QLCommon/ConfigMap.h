// Configuration maps (record fields tied to registry values), the generic registry
// DWORD reader and writer, the debug flags, and the library's trace sink.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "QLCommon/algn.h"

// The management library's trace sink: every module reports here; it keeps nothing.
void DbgTrace(int sourceLine, const char* sourcePath, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define ZEL_TRACE(level, ...) DbgTrace(__LINE__, __FILE__, (level), __VA_ARGS__)

class CManageableObject;

// The object's registry key path under HKEY_LOCAL_MACHINE.
typedef std::string (*ConfigKeyPath)(CManageableObject* object);
// Handlers and registry accessors answer 0 or 1 to go on; above 1 ends the walk.
typedef int (*ConfigReadHandler)(CManageableObject* object, uintptr_t argument, uint32_t mask);
typedef int (*ConfigWriteHandler)(CManageableObject* object, uintptr_t argument, uint32_t mask, void* field);
typedef int (*ConfigRegReader)(CManageableObject* object, const char* valueName, uint32_t key, ConfigKeyPath keyPath,
                               uint32_t defaultValue);
// Stores value, the field's new value, under the row's value name.
typedef int (*ConfigRegWriter)(CManageableObject* object, const char* valueName, uint32_t key, ConfigKeyPath keyPath,
                               uint32_t value);

struct CConfigMapRow {
    uint32_t ReadMask;
    ConfigReadHandler ReadHandler;
    uint32_t WriteMask;
    ConfigWriteHandler WriteHandler;
    uint32_t Key;  // SMem ID of the field; 0xFFFFFFFF ends the table
    const char* ValueName;
    ConfigRegReader Reader;
    ConfigRegWriter Writer;
    ConfigKeyPath KeyPath;
    uint32_t Default;
};

class CConfigMap {
public:
    explicit CConfigMap(const CConfigMapRow* rows) : m_pRows(rows) {}
    const CConfigMapRow* Find(uint32_t key) const;
    // 1 when the whole record was handled, 0 when a handler or accessor failed.
    int Read(CManageableObject* object, uintptr_t argument, const algn_tField* table, uint32_t classId) const;
    // Stores the fields that differ from the current record; a field whose store failed
    // keeps its current value (a device that took it is given the old one back) and the
    // answer is 0.
    int Write(CManageableObject* object, uintptr_t argument, const algn_tField* table, uint32_t classId,
              const void* newRecord, void* currentRecord) const;

private:
    const CConfigMapRow* m_pRows;
};

// 0 read (or the default stored), 4 a value that is not a 4-byte REG_DWORD.
int ConfigMap_ReadDword(CManageableObject* object, const char* valueName, uint32_t key, ConfigKeyPath keyPath,
                        uint32_t defaultValue);
// 0 stored; otherwise the registry's error (a key that does not open included).
int ConfigMap_WriteDword(CManageableObject* object, const char* valueName, uint32_t key, ConfigKeyPath keyPath,
                         uint32_t value);

// A field an SMem ID names inside an object's variable: its record, offset and row.
struct CFieldRef {
    void* Record = nullptr;
    uint32_t Offset = 0;
    const algn_tField* Row = nullptr;
};
bool zel_FindField(CManageableObject* object, uint32_t key, CFieldRef* field);

// Debug flags: 1 always on; 2 flow control, 3 call events, 4 call history, 5 thread
// control, read again at most once a minute.
uint32_t DbgFlagGet(int kind);
// Forgets the last read, so the next DbgFlagGet reads the registry.
void DbgFlagReset();
