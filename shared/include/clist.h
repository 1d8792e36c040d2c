// clist.h - cList, a singly linked list of pointers with one built-in cursor.
//
// The list owns its link nodes only, never the elements they point to. Nodes
// are malloc'ed one at a time and released with free, and the layout (pBase,
// pCurrent, lCt; nodes of stUser and pNext) is shared with the queue store's
// records, so it must not change. The toolkit and the queue store share it
// (with clLock) as part of both their interfaces.
//
// A walk is Reset() followed by Next() until it returns null; the first Next()
// after Reset() yields the first element.
//
// Thread safety: none. A list is used by one thread at a time; the store's
// shared channel list is guarded by the store's own locks.
#ifndef MQ_CLIST_H
#define MQ_CLIST_H

#include <cstdint>
#include <cstdlib>
#include <type_traits>

// Default visibility: the toolkit exports the instantiations of its
// interface (mqexports.cpp); everywhere else the members stay weak copies.
template <typename T>
class __attribute__((visibility("default"))) cList {
    static_assert(std::is_pointer<T>::value, "cList holds pointers");

public:
    struct st {
        T stUser;
        st* pNext;
    };

    cList();
    ~cList();
    cList(const cList&) = delete;
    cList& operator=(const cList&) = delete;

    // Appends stMe and moves the cursor onto it. Returns stMe, or null when no
    // node could be allocated (the list is then unchanged).
    T Add(T stMe);

    // Inserts stMe right behind the cursor (at the front when the cursor stands
    // before the first element) and moves the cursor onto it. Returns stMe, or
    // null when no node could be allocated.
    T Insert(T stMe);

    // Puts the cursor before the first element and returns the first element
    // (null for an empty list) without moving onto it.
    T Reset();

    // Moves the cursor one node on and returns that node's element; at the end
    // returns null and leaves the cursor where it was.
    T Next();

    // Unlinks and frees every node holding stMatch. Returns how many went.
    // A cursor standing on a removed node moves back to the node before it
    // (or before the first element), so that the next Next() yields the
    // element that followed the removed one: a walk may delete as it goes.
    uint32_t Delete(T stMatch);

    // Removes every node whose element satisfies pred(element, arg); the
    // cursor is treated as by Delete. Returns how many went.
    uint32_t DeleteMultiple(bool (*pred)(T, T), T arg);

    // Replaces the element of the first node holding stOld by stNew. Returns
    // stNew, or null when no node holds stOld.
    T Edit(T stOld, T stNew);

    // The number of nodes. Both forms: the non-const one is the symbol
    // applications of the old interface link to.
    uint32_t Count();
    uint32_t Count() const;

    // Frees every node (never the elements); the cursor ends up null.
    void Clear();

private:
    static st* NewNode(T stMe);
    template <typename Pred>
    uint32_t RemoveIf(Pred matches);

public:
    // Layout shared with the queue store: do not reorder.
    st* pBase;
    st* pCurrent;
    uint32_t lCt;
};

// The members are defined outside the class, so that they are not inline:
// the toolkit instantiates the lists of its interface explicitly and exports
// every member, as applications of the old interface expect.

template <typename T>
cList<T>::cList() : pBase(nullptr), pCurrent(nullptr), lCt(0) {}

template <typename T>
cList<T>::~cList() {
    Clear();
}

template <typename T>
T cList<T>::Add(T stMe) {
    st* node = NewNode(stMe);
    if (node == nullptr) return nullptr;
    if (pBase == nullptr) {
        pBase = node;
    } else {
        st* last = pCurrent != nullptr ? pCurrent : pBase;
        while (last->pNext != nullptr) last = last->pNext;
        last->pNext = node;
    }
    pCurrent = node;
    ++lCt;
    return stMe;
}

template <typename T>
T cList<T>::Insert(T stMe) {
    st* node = NewNode(stMe);
    if (node == nullptr) return nullptr;
    st** link = pCurrent != nullptr ? &pCurrent->pNext : &pBase;
    node->pNext = *link;
    *link = node;
    pCurrent = node;
    ++lCt;
    return stMe;
}

template <typename T>
T cList<T>::Reset() {
    pCurrent = nullptr;
    return pBase != nullptr ? pBase->stUser : nullptr;
}

template <typename T>
T cList<T>::Next() {
    st* next = pCurrent != nullptr ? pCurrent->pNext : pBase;
    if (next == nullptr) return nullptr;
    pCurrent = next;
    return next->stUser;
}

template <typename T>
uint32_t cList<T>::Delete(T stMatch) {
    return RemoveIf([stMatch](T e) { return e == stMatch; });
}

template <typename T>
uint32_t cList<T>::DeleteMultiple(bool (*pred)(T, T), T arg) {
    if (pred == nullptr) return 0;
    return RemoveIf([pred, arg](T e) { return pred(e, arg); });
}

template <typename T>
T cList<T>::Edit(T stOld, T stNew) {
    for (st* n = pBase; n != nullptr; n = n->pNext) {
        if (n->stUser == stOld) {
            n->stUser = stNew;
            return stNew;
        }
    }
    return nullptr;
}

template <typename T>
uint32_t cList<T>::Count() {
    return lCt;
}

template <typename T>
uint32_t cList<T>::Count() const {
    return lCt;
}

template <typename T>
void cList<T>::Clear() {
    st* n = pBase;
    while (n != nullptr) {
        st* next = n->pNext;
        std::free(n);
        n = next;
    }
    pBase = nullptr;
    pCurrent = nullptr;
    lCt = 0;
}

template <typename T>
typename cList<T>::st* cList<T>::NewNode(T stMe) {
    st* node = static_cast<st*>(std::malloc(sizeof(st)));
    if (node != nullptr) {
        node->stUser = stMe;
        node->pNext = nullptr;
    }
    return node;
}

template <typename T>
template <typename Pred>
uint32_t cList<T>::RemoveIf(Pred matches) {
    uint32_t removed = 0;
    st* kept = nullptr;  // the last node that stays, behind the walk
    st** link = &pBase;
    while (*link != nullptr) {
        st* n = *link;
        if (!matches(n->stUser)) {
            kept = n;
            link = &n->pNext;
            continue;
        }
        if (n == pCurrent) pCurrent = kept;
        *link = n->pNext;
        std::free(n);
        --lCt;
        ++removed;
    }
    return removed;
}

#endif
