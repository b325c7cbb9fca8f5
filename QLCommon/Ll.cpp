#include "QLCommon/Ll.h"

#include <cstdlib>
#include <cstring>

#include "QLCommon/ConfigMap.h"

namespace {

// The item's header; the data follows it at a 16-byte boundary.
struct alignas(16) ItemHeader {
    uint8_t refs;
    uint32_t size;
};
static_assert(sizeof(ItemHeader) == 16);

ItemHeader* header(const void* item)
{
    return reinterpret_cast<ItemHeader*>(static_cast<unsigned char*>(const_cast<void*>(item)) - sizeof(ItemHeader));
}

class Held {
public:
    explicit Held(ll_tList* list) : m_list(list)
    {
        WaitForSingleObject(m_list->mutex, INFINITE);
        m_list->busy = 1;
    }
    ~Held()
    {
        m_list->busy = 0;
        ReleaseMutex(m_list->mutex);
    }

private:
    ll_tList* m_list;
};

// Links a node holding data before (or after) the given node; null links at the ends.
bool Link(ll_tList* list, ll_tNode* at, int where, void* data, uint32_t size)
{
    void* item = data;
    if (list->flags & LL_COPY_ITEMS) {
        item = list->allocate != nullptr ? list->allocate(size) : ll_alloc(size);
        if (item == nullptr)
            return false;
        if (size != 0)
            std::memcpy(item, data, size);
    }
    if (item == nullptr)
        return false;
    header(item)->size = size;
    header(item)->refs++;
    auto* node = new ll_tNode{nullptr, nullptr, item};
    if (list->first == nullptr) {
        list->first = list->last = node;
    } else if (where == LL_BEFORE) {
        ll_tNode* next = at != nullptr ? at : list->first;
        node->next = next;
        node->prev = next->prev;
        if (next->prev != nullptr)
            next->prev->next = node;
        else
            list->first = node;
        next->prev = node;
    } else {
        ll_tNode* prev = at != nullptr ? at : list->last;
        node->prev = prev;
        node->next = prev->next;
        if (prev->next != nullptr)
            prev->next->prev = node;
        else
            list->last = node;
        prev->next = node;
    }
    list->count++;
    return true;
}

// Unlinks a node; the item is given back with its reference dropped.
void* Unlink(ll_tList* list, ll_tNode* node)
{
    if (node->prev != nullptr)
        node->prev->next = node->next;
    else
        list->first = node->next;
    if (node->next != nullptr)
        node->next->prev = node->prev;
    else
        list->last = node->prev;
    void* item = node->item;
    delete node;
    list->count--;
    if (header(item)->refs > 0)
        header(item)->refs--;
    return item;
}

void Release(ll_tList* list, void* item)
{
    if (list->release != nullptr)
        list->release(item);
    else
        ll_Free(item);
}

}  // namespace

void* ll_alloc(uint32_t size)
{
    auto* h = static_cast<ItemHeader*>(std::calloc(1, sizeof(ItemHeader) + size));
    if (h == nullptr)
        return nullptr;
    h->refs = 0;
    h->size = size;
    return h + 1;
}

void ll_Free(void* item)
{
    if (item == nullptr)
        return;
    ItemHeader* h = header(item);
    if (h->refs != 0) {
        ZEL_TRACE(1, "ll_Free: item %p still referenced (%d)", item, h->refs);
        return;
    }
    std::free(h);
}

uint32_t ll_ItemSize(const void* item) { return header(item)->size; }
uint8_t ll_ItemRefCount(const void* item) { return header(item)->refs; }

void ll_CreateList(ll_tList* list, uint16_t flags, ll_AllocFn allocate, ll_ReleaseFn release)
{
    std::memset(list, 0, sizeof *list);
    list->flags = flags;
    list->allocate = allocate;
    list->release = release;
    list->mutex = CreateMutexA(nullptr, FALSE, nullptr);
}

bool ll_IsCreated(const ll_tList* list) { return list->flags != 0; }

void ll_RemoveAll(ll_tList* list)
{
    if (list->mutex == nullptr)
        return;
    Held held(list);
    while (list->first != nullptr)
        Release(list, Unlink(list, list->first));
}

void ll_DestroyList(ll_tList* list)
{
    if (list->mutex == nullptr)
        return;
    ll_RemoveAll(list);
    CloseHandle(list->mutex);
    std::memset(list, 0, sizeof *list);
}

uint32_t ll_Count(ll_tList* list)
{
    Held held(list);
    return list->count;
}

void ll_CreateIterator(ll_tIterator* it, ll_tList* list)
{
    Held held(list);
    it->list = list;
    it->current = list->first;
}

void* ll_First(ll_tIterator* it)
{
    Held held(it->list);
    it->current = it->list->first;
    return it->current != nullptr ? it->current->item : nullptr;
}

void* ll_Last(ll_tIterator* it)
{
    Held held(it->list);
    it->current = it->list->last;
    return it->current != nullptr ? it->current->item : nullptr;
}

void* ll_Current(ll_tIterator* it)
{
    Held held(it->list);
    return it->current != nullptr ? it->current->item : nullptr;
}

void* ll_Next(ll_tIterator* it)
{
    Held held(it->list);
    if (it->current == nullptr || it->current->next == nullptr)
        return nullptr;
    it->current = it->current->next;
    return it->current->item;
}

void* ll_Prev(ll_tIterator* it)
{
    Held held(it->list);
    if (it->current == nullptr || it->current->prev == nullptr)
        return nullptr;
    it->current = it->current->prev;
    return it->current->item;
}

uint32_t ll_CurrentSize(ll_tIterator* it)
{
    Held held(it->list);
    return it->current != nullptr ? header(it->current->item)->size : 0;
}

bool ll_Insert(ll_tIterator* it, int where, void* data, uint32_t size)
{
    Held held(it->list);
    return Link(it->list, it->current, where, data, size);
}

bool ll_Append(ll_tList* list, void* data, uint32_t size)
{
    Held held(list);
    return Link(list, list->last, LL_AFTER, data, size);
}

bool ll_InsertHead(ll_tList* list, void* data, uint32_t size)
{
    Held held(list);
    return Link(list, list->first, LL_BEFORE, data, size);
}

void* ll_RemoveCurrent(ll_tIterator* it)
{
    Held held(it->list);
    ll_tNode* node = it->current;
    if (node == nullptr)
        return nullptr;
    it->current = node->next != nullptr ? node->next : node->prev;
    Release(it->list, Unlink(it->list, node));
    return it->current != nullptr ? it->current->item : nullptr;
}

long ll_RemoveHead(ll_tList* list, void* buffer, uint32_t size)
{
    Held held(list);
    if (list->first == nullptr)
        return -1;
    uint32_t itemSize = header(list->first->item)->size;
    if (itemSize > size)
        return (long)itemSize;
    std::memcpy(buffer, list->first->item, itemSize);
    Release(list, Unlink(list, list->first));
    return 0;
}

void* ll_TakeFirst(ll_tList* list)
{
    Held held(list);
    if (list->first == nullptr)
        return nullptr;
    return Unlink(list, list->first);
}

void ll_CopyList(ll_tList* destination, ll_tList* source)
{
    if (!ll_IsCreated(destination))
        ll_CreateList(destination, LL_COPY_ITEMS, ll_alloc, ll_Free);
    Held held(source);
    for (ll_tNode* n = source->first; n != nullptr; n = n->next)
        ll_Append(destination, n->item, header(n->item)->size);
}
