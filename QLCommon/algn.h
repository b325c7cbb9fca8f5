// Record alignment and byte-order conversion: records described by field tables, so
// generic code can find a field by its SMem ID, read or write it as a number, compare
// records field by field, walk their fields and lay them out for an alignment and a
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum algn_tType : int32_t {
    algn_kChar = 0,
    algn_kBYTE = 1,
    algn_kInt = 2,
    algn_kWord = 3,
    algn_kShort = 4,
    algn_kDWord = 5,
    algn_kDouble = 6,
    algn_kBOOL = 7,
    algn_kStruct = 8,
    algn_kFloat = 9,
    algn_kPointer = 10,
    algn_kList = 11,  // an embedded ll_tList
    algn_kClass = 12,
    algn_kEnd = 13,
};

enum { algn_kLittleEndian = 0, algn_kBigEndian = 1 };

struct zel_tValueDesc;

// One row of a field table. Nested is the table of an algn_kStruct field; ClassSize the
// element size of an algn_kClass field; Id the field's number.
struct algn_tField {
    int32_t Type;
    int32_t Count;
    const algn_tField* Nested;
    uint32_t ClassSize;
    const zel_tValueDesc* Desc;
    uint32_t Id;
};

// A leaf field of a record: its offset in the packed record and its row.
struct algn_tLeaf {
    uint32_t Offset;
    const algn_tField* Row;
};

struct algn_tOffsetCache {
    std::vector<algn_tLeaf> Leaves;
};

// A row of a class's variable table; a null Table ends it.
struct algn_tVariable {
    uint32_t Id;  // SMem bits 8 to 15
    const algn_tField* Table;
    uint32_t Size;  // the record's declared size
    algn_tOffsetCache* Cache;
};

struct algn_tIterator {
    std::vector<algn_tLeaf> Leaves;
    size_t Position = 0;
};

uint32_t algn_ElementSize(const algn_tField* row, int alignment);
uint32_t algn_FieldAlgn(uint32_t offset, uint32_t size, int alignment);
uint32_t algn_StructSize(const algn_tField* table, int alignment);
uint32_t algn_StructAlignment(const algn_tField* table);
int32_t algn_FieldOffset(const algn_tField* table, const algn_tField* row, int alignment);
int algn_FieldCount(const algn_tField* table);

long algn_FirstField(algn_tIterator* it, const algn_tField* table, int alignment);
long algn_NextField(algn_tIterator* it);
const algn_tField* algn_CurrentField(const algn_tIterator* it);

int32_t algn_GetFieldValue(const algn_tField* row, const void* record, uint32_t offset);
void algn_SetFieldValue(const algn_tField* row, void* record, uint32_t offset, int32_t value);
// Compares the field's bytes in two records: 0 equal, -1 or 1 by the first difference.
int algn_CompareField(const algn_tField* row, const void* a, const void* b, uint32_t offset, int alignment);

// The variable table with the offset cache of every record built; freed by
// algn_FreeOffsetCache.
algn_tVariable* algn_BuildOffsetCache(const algn_tVariable* table);
void algn_FreeOffsetCache(algn_tVariable* table);
// Object base + the offset of the field an SMem ID names, or null when the class has no
// such variable or field.
void* algn_GetFieldPointer(void* base, uint32_t smemId, const algn_tVariable* table,
                           const algn_tField** row = nullptr, const algn_tVariable** variable = nullptr);
// Trace reports of rows out of place and sizes that differ; answers the number found.
int algn_CheckTables(const algn_tVariable* table);

int algn_ConvertData(void* out, int outAlignment, int outOrder, const void* in, int inAlignment, int inOrder,
                     const algn_tField* table);
void algn_Flip(const void* in, int inOrder, void* out, int outOrder, uint32_t size);

void* algn_AllocRecord(const algn_tField* table);
void algn_FillRecord(const algn_tField* table, void* record, uint8_t value);
void algn_CopyRecord(const algn_tField* table, void* destination, const void* source);
void algn_FreeRecord(const algn_tField* table, void* record);
