// Collection classes: CArray, CMap and the string and pointer arrays.
#pragma once

#include <map>
#include <stdexcept>
#include <vector>

#include "platform/mfc/afxwin.h"

struct __POSITION;
typedef __POSITION* POSITION;

template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray : public CObject {
public:
    int GetSize() const { return static_cast<int>(v_.size()); }
    int GetCount() const { return GetSize(); }
    int GetUpperBound() const { return GetSize() - 1; }
    BOOL IsEmpty() const { return v_.empty(); }
    void SetSize(int nNewSize, int nGrowBy = -1)
    {
        (void)nGrowBy;
        v_.resize(static_cast<size_t>(nNewSize > 0 ? nNewSize : 0));
    }
    void RemoveAll() { v_.clear(); }
    TYPE& ElementAt(int i) { return v_.at(static_cast<size_t>(i)); }
    const TYPE& GetAt(int i) const { return v_.at(static_cast<size_t>(i)); }
    void SetAt(int i, ARG_TYPE e) { v_.at(static_cast<size_t>(i)) = e; }
    void SetAtGrow(int i, ARG_TYPE e)
    {
        if (i >= GetSize()) SetSize(i + 1);
        SetAt(i, e);
    }
    TYPE& operator[](int i) { return ElementAt(i); }
    const TYPE& operator[](int i) const { return GetAt(i); }
    TYPE* GetData() { return v_.data(); }
    const TYPE* GetData() const { return v_.data(); }
    int Add(ARG_TYPE e)
    {
        v_.push_back(e);
        return GetUpperBound();
    }
    void InsertAt(int i, ARG_TYPE e, int count = 1)
    {
        if (i < 0) throw std::out_of_range("CArray::InsertAt");
        if (i > GetSize()) SetSize(i);
        v_.insert(v_.begin() + i, static_cast<size_t>(count), e);
    }
    void RemoveAt(int i, int count = 1)
    {
        if (i < 0 || count < 0 || i + count > GetSize()) throw std::out_of_range("CArray::RemoveAt");
        v_.erase(v_.begin() + i, v_.begin() + i + count);
    }
    int Append(const CArray& src)
    {
        int first = GetSize();
        v_.insert(v_.end(), src.v_.begin(), src.v_.end());
        return first;
    }
    void Copy(const CArray& src) { v_ = src.v_; }

private:
    std::vector<TYPE> v_;
};

class CStringArray : public CArray<CString, LPCTSTR> {};
class CPtrArray : public CArray<void*, void*> {};
class CUIntArray : public CArray<UINT, UINT> {};
class CDWordArray : public CArray<DWORD, DWORD> {};

template <class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
class CMap : public CObject {
public:
    int GetCount() const { return static_cast<int>(m_.size()); }
    int GetSize() const { return GetCount(); }
    BOOL IsEmpty() const { return m_.empty(); }
    BOOL Lookup(ARG_KEY key, VALUE& value) const
    {
        auto it = m_.find(key);
        if (it == m_.end()) return FALSE;
        value = it->second;
        return TRUE;
    }
    VALUE& operator[](ARG_KEY key) { return m_[key]; }
    void SetAt(ARG_KEY key, ARG_VALUE value) { m_[key] = value; }
    BOOL RemoveKey(ARG_KEY key) { return m_.erase(key) != 0; }
    void RemoveAll() { m_.clear(); }
    // Walks the entries: POSITION is the 1-based index of the next entry, null at the end.
    POSITION GetStartPosition() const { return m_.empty() ? nullptr : reinterpret_cast<POSITION>(uintptr_t{1}); }
    void GetNextAssoc(POSITION& pos, KEY& key, VALUE& value) const
    {
        auto n = reinterpret_cast<uintptr_t>(pos);
        if (n == 0 || n > m_.size()) throw std::out_of_range("CMap::GetNextAssoc");
        auto it = m_.begin();
        std::advance(it, static_cast<long>(n - 1));
        key = it->first;
        value = it->second;
        pos = n < m_.size() ? reinterpret_cast<POSITION>(n + 1) : nullptr;
    }

private:
    std::map<KEY, VALUE> m_;
};
