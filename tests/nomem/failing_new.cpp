// failing_new.cpp - the global operator new and delete of the test program,
// on malloc and free, with a per-thread countdown to failure.
#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace {

thread_local long t_left = -1;  // allocations still allowed; -1: no limit
thread_local bool t_failed = false;

void* Allocate(std::size_t size) noexcept {
    if (t_left == 0) {
        t_failed = true;
        return nullptr;
    }
    if (t_left > 0) --t_left;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

namespace nomem {

void FailAfter(long n) {
    t_failed = false;
    t_left = n;
}

void Stop() { t_left = -1; }

bool Failed() { return t_failed; }

}  // namespace nomem

// Visible: the libraries must bind to these, not to the runtime's.
#define MQ_REPLACES __attribute__((visibility("default")))

MQ_REPLACES void* operator new(std::size_t size) {
    void* p = Allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
MQ_REPLACES void* operator new[](std::size_t size) { return operator new(size); }
MQ_REPLACES void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
MQ_REPLACES void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
MQ_REPLACES void operator delete(void* p) noexcept { std::free(p); }
MQ_REPLACES void operator delete[](void* p) noexcept { std::free(p); }
MQ_REPLACES void operator delete(void* p, std::size_t) noexcept { std::free(p); }
MQ_REPLACES void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
