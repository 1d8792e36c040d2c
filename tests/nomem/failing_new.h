// failing_new.h - the allocation-failure seam: this test program replaces
// the global operator new (failing_new.cpp), so that the libraries it calls
// find their C++ allocations failing on demand. Allocations through malloc
// (strdup, calloc) are not affected.
//
// Thread safety: the countdown is the calling thread's own.
#ifndef MQ_TESTS_FAILING_NEW_H
#define MQ_TESTS_FAILING_NEW_H

namespace nomem {

// FailAfter - from now on, the n-th operator new of this thread (0: the
// next) and every one after it fails. Stop ends that.
void FailAfter(long n);
void Stop();
// Failed - whether an allocation failed since the last FailAfter.
bool Failed();

}  // namespace nomem

#endif
