#include "QLCommon/algn.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/Ll.h"

namespace {

uint32_t BaseSize(int32_t type)
{
    switch (type) {
    case algn_kChar:
    case algn_kBYTE:
        return 1;
    case algn_kWord:
    case algn_kShort:
        return 2;
    case algn_kInt:
    case algn_kDWord:
    case algn_kBOOL:
    case algn_kPointer:
    case algn_kFloat:
        return 4;
    case algn_kDouble:
        return 8;
    case algn_kList:
        return sizeof(ll_tList);
    default:
        return 0;
    }
}

// The alignment a field asks for before min(.., alignment).
uint32_t FieldAlignment(const algn_tField* row, int alignment)
{
    if (row->Type == algn_kStruct)
        return algn_StructAlignment(row->Nested);
    return algn_ElementSize(row, alignment);
}

uint32_t Pad(uint32_t offset, const algn_tField* row, int alignment)
{
    if (alignment <= 1)
        return 0;
    return algn_FieldAlgn(offset, FieldAlignment(row, alignment), alignment);
}

void Walk(const algn_tField* table, int alignment, uint32_t base, std::vector<algn_tLeaf>* leaves)
{
    uint32_t offset = 0;
    for (const algn_tField* row = table; row != nullptr && row->Type != algn_kEnd; row++) {
        offset += Pad(offset, row, alignment);
        uint32_t size = algn_ElementSize(row, alignment);
        if (row->Type == algn_kStruct) {
            for (int32_t i = 0; i < row->Count; i++)
                Walk(row->Nested, alignment, base + offset + (uint32_t)i * size, leaves);
        } else {
            leaves->push_back({base + offset, row});
        }
        offset += (uint32_t)row->Count * size;
    }
}

}  // namespace

uint32_t algn_ElementSize(const algn_tField* row, int alignment)
{
    if (row->Type == algn_kStruct)
        return algn_StructSize(row->Nested, alignment);
    if (row->Type == algn_kClass)
        return row->ClassSize;
    return BaseSize(row->Type);
}

uint32_t algn_FieldAlgn(uint32_t offset, uint32_t size, int alignment)
{
    if (offset == 0 || size == 0 || alignment <= 0)
        return 0;
    uint32_t a = std::min<uint32_t>(size, (uint32_t)alignment);
    return (a - offset % a) % a;
}

uint32_t algn_StructAlignment(const algn_tField* table)
{
    uint32_t largest = 1;
    for (const algn_tField* row = table; row != nullptr && row->Type != algn_kEnd; row++)
        largest = std::max(largest, row->Type == algn_kStruct ? algn_StructAlignment(row->Nested)
                                                              : algn_ElementSize(row, 1));
    return largest;
}

uint32_t algn_StructSize(const algn_tField* table, int alignment)
{
    uint32_t offset = 0;
    for (const algn_tField* row = table; row != nullptr && row->Type != algn_kEnd; row++) {
        offset += Pad(offset, row, alignment);
        offset += (uint32_t)row->Count * algn_ElementSize(row, alignment);
    }
    if (alignment > 1)
        offset += (alignment - offset % alignment) % alignment;
    return offset;
}

int algn_FieldCount(const algn_tField* table)
{
    int n = 0;
    while (table != nullptr && table[n].Type != algn_kEnd)
        n++;
    return n;
}

int32_t algn_FieldOffset(const algn_tField* table, const algn_tField* row, int alignment)
{
    uint32_t offset = 0;
    for (const algn_tField* r = table; r != nullptr && r->Type != algn_kEnd; r++) {
        offset += Pad(offset, r, alignment);
        if (r == row)
            return (int32_t)offset;
        offset += (uint32_t)r->Count * algn_ElementSize(r, alignment);
    }
    std::vector<algn_tLeaf> leaves;
    Walk(table, alignment, 0, &leaves);
    for (const algn_tLeaf& leaf : leaves)
        if (leaf.Row == row)
            return (int32_t)leaf.Offset;
    return 0;
}

long algn_FirstField(algn_tIterator* it, const algn_tField* table, int alignment)
{
    it->Leaves.clear();
    Walk(table, alignment, 0, &it->Leaves);
    it->Position = 0;
    return it->Leaves.empty() ? -1 : (long)it->Leaves[0].Offset;
}

long algn_NextField(algn_tIterator* it)
{
    if (it->Position < it->Leaves.size())
        it->Position++;
    return it->Position < it->Leaves.size() ? (long)it->Leaves[it->Position].Offset : -1;
}

const algn_tField* algn_CurrentField(const algn_tIterator* it)
{
    return it->Position < it->Leaves.size() ? it->Leaves[it->Position].Row : nullptr;
}

int32_t algn_GetFieldValue(const algn_tField* row, const void* record, uint32_t offset)
{
    const auto* p = static_cast<const unsigned char*>(record) + offset;
    switch (row->Type) {
    case algn_kChar:
        return (int8_t)p[0];
    case algn_kBYTE:
        return p[0];
    case algn_kWord: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case algn_kShort: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case algn_kInt:
    case algn_kDWord:
    case algn_kDouble:
    case algn_kBOOL:
    case algn_kPointer:
    case algn_kClass: {
        if (row->Type == algn_kClass && row->ClassSize < 4)
            return 0;
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    case algn_kFloat: {
        float f;
        std::memcpy(&f, p, 4);
        return (int32_t)f;
    }
    default:
        return 0;
    }
}

void algn_SetFieldValue(const algn_tField* row, void* record, uint32_t offset, int32_t value)
{
    auto* p = static_cast<unsigned char*>(record) + offset;
    switch (row->Type) {
    case algn_kChar:
    case algn_kBYTE:
        p[0] = (unsigned char)value;
        break;
    case algn_kWord:
    case algn_kShort: {
        uint16_t v = (uint16_t)value;
        std::memcpy(p, &v, 2);
        break;
    }
    case algn_kInt:
    case algn_kDWord:
    case algn_kDouble:
    case algn_kBOOL:
    case algn_kPointer:
    case algn_kClass:
        if (row->Type == algn_kClass && row->ClassSize < 4)
            break;
        std::memcpy(p, &value, 4);
        break;
    case algn_kFloat: {
        float f = (float)value;
        std::memcpy(p, &f, 4);
        break;
    }
    default:
        break;
    }
}

int algn_CompareField(const algn_tField* row, const void* a, const void* b, uint32_t offset, int alignment)
{
    uint32_t n = algn_ElementSize(row, alignment) * (uint32_t)row->Count;
    int r = std::memcmp(static_cast<const unsigned char*>(a) + offset, static_cast<const unsigned char*>(b) + offset, n);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

algn_tVariable* algn_BuildOffsetCache(const algn_tVariable* table)
{
    size_t n = 0;
    while (table[n].Table != nullptr)
        n++;
    auto* copy = new algn_tVariable[n + 1];
    for (size_t i = 0; i < n; i++) {
        copy[i] = table[i];
        copy[i].Cache = new algn_tOffsetCache;
        Walk(table[i].Table, 1, 0, &copy[i].Cache->Leaves);
    }
    copy[n] = algn_tVariable{0, nullptr, 0, nullptr};
    return copy;
}

void algn_FreeOffsetCache(algn_tVariable* table)
{
    if (table == nullptr)
        return;
    for (algn_tVariable* v = table; v->Table != nullptr; v++)
        delete v->Cache;
    delete[] table;
}

void* algn_GetFieldPointer(void* base, uint32_t smemId, const algn_tVariable* table, const algn_tField** row,
                           const algn_tVariable** variable)
{
    if (table == nullptr)
        return nullptr;
    uint32_t id = smemId & 0xFF00;
    uint32_t field = smemId & 0xFF;
    for (const algn_tVariable* v = table; v->Table != nullptr; v++) {
        if (v->Id != id)
            continue;
        if (v->Cache == nullptr || field >= v->Cache->Leaves.size())
            return nullptr;
        if (row != nullptr)
            *row = v->Cache->Leaves[field].Row;
        if (variable != nullptr)
            *variable = v;
        return static_cast<unsigned char*>(base) + v->Cache->Leaves[field].Offset;
    }
    return nullptr;
}

int algn_CheckTables(const algn_tVariable* table)
{
    int found = 0;
    for (int t = 0; table[t].Table != nullptr; t++) {
        for (int i = 0; table[t].Table[i].Type != algn_kEnd; i++) {
            if (table[t].Table[i].Id != (uint32_t)i) {
                ZEL_TRACE(1, "Error! Field Index %d != Field ID %d (Table Entry %d, Table %d)", i,
                          (int)table[t].Table[i].Id, i, t);
                found++;
            }
        }
        uint32_t size = algn_StructSize(table[t].Table, 1);
        if (size != table[t].Size) {
            ZEL_TRACE(1, "Error! Sizeof mismatch Table Entry %d Table Size %ld algn size %d", t,
                      (long)table[t].Size, (int)size);
            found++;
        }
    }
    return found;
}

void algn_Flip(const void* in, int inOrder, void* out, int outOrder, uint32_t size)
{
    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    if (inOrder == outOrder) {
        if (dst != src)
            std::memmove(dst, src, size);
        return;
    }
    if (dst == src) {
        std::reverse(dst, dst + size);
        return;
    }
    for (uint32_t i = 0; i < size; i++)
        dst[i] = src[size - 1 - i];
}

namespace {

// Copies one record between layouts; answers the bytes consumed and produced.
void Convert(unsigned char* out, uint32_t* outPos, int outAlignment, int outOrder, const unsigned char* in,
             uint32_t* inPos, int inAlignment, int inOrder, const algn_tField* table)
{
    uint32_t outStart = *outPos, inStart = *inPos;
    for (const algn_tField* row = table; row != nullptr && row->Type != algn_kEnd; row++) {
        if (inAlignment != 1 || outAlignment != 1) {
            *inPos += Pad(*inPos - inStart, row, inAlignment);
            uint32_t pad = Pad(*outPos - outStart, row, outAlignment);
            std::memset(out + *outPos, 0, pad);
            *outPos += pad;
        }
        for (int32_t e = 0; e < row->Count; e++) {
            if (row->Type == algn_kStruct) {
                Convert(out, outPos, outAlignment, outOrder, in, inPos, inAlignment, inOrder, row->Nested);
                continue;
            }
            uint32_t size = algn_ElementSize(row, 1);
            if (size == 1 || row->Type == algn_kList)
                std::memcpy(out + *outPos, in + *inPos, size);
            else
                algn_Flip(in + *inPos, inOrder, out + *outPos, outOrder, size);
            *inPos += size;
            *outPos += size;
        }
    }
    if (inAlignment > 1)
        *inPos += (inAlignment - (*inPos - inStart) % inAlignment) % inAlignment;
    if (outAlignment > 1) {
        uint32_t pad = (outAlignment - (*outPos - outStart) % outAlignment) % outAlignment;
        std::memset(out + *outPos, 0, pad);
        *outPos += pad;
    }
}

}  // namespace

int algn_ConvertData(void* out, int outAlignment, int outOrder, const void* in, int inAlignment, int inOrder,
                     const algn_tField* table)
{
    uint32_t outPos = 0, inPos = 0;
    Convert(static_cast<unsigned char*>(out), &outPos, outAlignment, outOrder,
            static_cast<const unsigned char*>(in), &inPos, inAlignment, inOrder, table);
    return 1;
}

void* algn_AllocRecord(const algn_tField* table) { return std::calloc(1, std::max<uint32_t>(1, algn_StructSize(table, 1))); }

void algn_FillRecord(const algn_tField* table, void* record, uint8_t value)
{
    std::vector<algn_tLeaf> leaves;
    Walk(table, 1, 0, &leaves);
    for (const algn_tLeaf& leaf : leaves) {
        if (leaf.Row->Type == algn_kList)
            continue;
        std::memset(static_cast<unsigned char*>(record) + leaf.Offset, value,
                    algn_ElementSize(leaf.Row, 1) * (uint32_t)leaf.Row->Count);
    }
}

void algn_CopyRecord(const algn_tField* table, void* destination, const void* source)
{
    std::vector<algn_tLeaf> leaves;
    Walk(table, 1, 0, &leaves);
    for (const algn_tLeaf& leaf : leaves) {
        auto* d = static_cast<unsigned char*>(destination) + leaf.Offset;
        auto* s = static_cast<const unsigned char*>(source) + leaf.Offset;
        if (leaf.Row->Type == algn_kList) {
            for (int32_t e = 0; e < leaf.Row->Count; e++) {
                auto* dl = reinterpret_cast<ll_tList*>(d) + e;
                auto* sl = reinterpret_cast<ll_tList*>(const_cast<unsigned char*>(s)) + e;
                std::memset(dl, 0, sizeof *dl);
                if (ll_IsCreated(sl))
                    ll_CopyList(dl, sl);
            }
            continue;
        }
        std::memcpy(d, s, algn_ElementSize(leaf.Row, 1) * (uint32_t)leaf.Row->Count);
    }
}

void algn_FreeRecord(const algn_tField* table, void* record)
{
    if (record == nullptr)
        return;
    std::vector<algn_tLeaf> leaves;
    Walk(table, 1, 0, &leaves);
    for (const algn_tLeaf& leaf : leaves) {
        if (leaf.Row->Type != algn_kList)
            continue;
        for (int32_t e = 0; e < leaf.Row->Count; e++) {
            auto* l = reinterpret_cast<ll_tList*>(static_cast<unsigned char*>(record) + leaf.Offset) + e;
            if (ll_IsCreated(l))
                ll_DestroyList(l);
        }
    }
    std::free(record);
}
