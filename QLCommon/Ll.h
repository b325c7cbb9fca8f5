// The management library's doubly linked list of variable-size items, safe for use from
// several threads: every public operation holds the list's mutex for its whole duration.
// Items are allocated with ll_alloc and carry a reference count and their size before
// the data the callers see.
#pragma once

#include <cstdint>

#include "platform/win32/windows.h"

enum : uint16_t {
    LL_COPY_ITEMS = 2,  // the list stores its own copies of inserted items
};

enum { LL_BEFORE = 1, LL_AFTER = 2 };

typedef void* (*ll_AllocFn)(uint32_t size);
typedef void (*ll_ReleaseFn)(void* item);

struct ll_tNode {
    ll_tNode* next;
    ll_tNode* prev;
    void* item;
};

struct ll_tList {
    ll_tNode* first;
    ll_tNode* last;
    uint16_t flags;  // 0: not created
    uint32_t count;
    HANDLE mutex;
    uint32_t busy;
    ll_AllocFn allocate;
    ll_ReleaseFn release;
};

struct ll_tIterator {
    ll_tList* list;
    ll_tNode* current;
};

void* ll_alloc(uint32_t size);
void ll_Free(void* item);
uint32_t ll_ItemSize(const void* item);
uint8_t ll_ItemRefCount(const void* item);

void ll_CreateList(ll_tList* list, uint16_t flags, ll_AllocFn allocate, ll_ReleaseFn release);
void ll_DestroyList(ll_tList* list);
void ll_RemoveAll(ll_tList* list);
bool ll_IsCreated(const ll_tList* list);
uint32_t ll_Count(ll_tList* list);

void ll_CreateIterator(ll_tIterator* it, ll_tList* list);
void* ll_First(ll_tIterator* it);
void* ll_Last(ll_tIterator* it);
void* ll_Current(ll_tIterator* it);
void* ll_Next(ll_tIterator* it);
void* ll_Prev(ll_tIterator* it);
uint32_t ll_CurrentSize(ll_tIterator* it);

bool ll_Insert(ll_tIterator* it, int where, void* data, uint32_t size);
bool ll_Append(ll_tList* list, void* data, uint32_t size);
bool ll_InsertHead(ll_tList* list, void* data, uint32_t size);
void* ll_RemoveCurrent(ll_tIterator* it);
// -1 when empty; the item's size when the buffer is smaller; else the item is copied
// out, removed, and 0 answered.
long ll_RemoveHead(ll_tList* list, void* buffer, uint32_t size);
// The first item, unlinked; the caller owns it (ll_Free).
void* ll_TakeFirst(ll_tList* list);
void ll_CopyList(ll_tList* destination, ll_tList* source);
