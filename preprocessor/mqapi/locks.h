// locks.h - the spool's lock file ("<spool>/queue.lck"): the writers' lock,
// and the slots by which processes show that they live.
//
// Writers' lock. Every write transaction of the store is taken under an
// exclusive open-file-description lock on byte 0; a holder that dies lets go
// by dying. A free lock costs one call. A waiter for a busy one sleeps on a
// futex in the shared page (below) that each release bumps, waking one
// waiter, so that the lock passes on at once instead of lying idle while
// its waiters sleep. A waiter also tries again after at most 5 ms, for a
// holder that let go without waking anyone (a dead one, or a process of an
// earlier release); without the shared page, it tries after pauses growing
// from 50 us to 5 ms. It waits at most kWaitMs: a writer stuck while
// holding it (a stopped process, a hung disk) makes the others fail as a
// temporary fault after that wait, the same as SQLite's busy timeout,
// rather than hang them (and a mail system's delivery agents with them) for
// good. The kernel has no bounded wait for a lock (F_OFD_SETLKW waits
// without end). Within a process the store's mutex (OneMQ.csStore) already
// serialises callers, so one process waits here with at most one thread.
//
// Slots. Each process using the store holds, for as long as it runs, an
// exclusive lock on one byte (its slot, 1 to kSlots) and has written a
// random non-zero nonce at the slot's place in the nonce area. Leases,
// writers' claims and identifier blocks are recorded with (slot, nonce). A
// record's process lives exactly when its slot's byte is locked by someone
// else and the nonce there is still the record's: the kernel drops the lock
// when the process dies, whatever its PID namespace and whatever /proc
// shows, and a later holder of the slot writes a new nonce, so a reused
// slot (or process id) never passes for the dead one. A nonce is written
// before anything is recorded under it, so a live holder's nonce is never
// read half written.
//
// Group commit: the byte just before the nonces (kSyncByte, past every
// slot's byte) orders the processes that sync the log, and a page past the
// nonces holds the commit numbers (see SyncCovering) and the writers' lock's
// release count and waiters.
//
// Forks: the child shares the parent's lock file description; Forget()
// closes the child's copy of the descriptor (which releases nothing) so that
// the parent's death still shows once the parent is gone.
//
// Failures return a failed Status, "operation path: strerror".
// Thread safety: none; used under OneMQ.csStore.
#ifndef MQ_LOCKS_H
#define MQ_LOCKS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "status.h"

namespace mqstore {

// Who recorded something: the slot and nonce, and the process id for the
// log only (it says nothing reliable about liveness).
struct Holder {
    int64_t slot = 0;
    int64_t nonce = 0;
    int64_t pid = 0;
};

class LockFile {
  public:
    static constexpr int64_t kSlots = 16384;
    // The store's wait: how long a writer waits for the writers' lock, and
    // a reader for SQLite's (its busy timeout), before failing.
    static constexpr int kWaitMs = 10000;

    // Opens (creating) the lock file of spool root and takes a free slot,
    // into *out. Fails, *out untouched, when it can't (no slot is free when
    // kSlots processes use the store at once).
    static mq::Status Open(const std::string& spoolRoot, std::unique_ptr<LockFile>* out);
    // Opens the existing lock file of spool root for reading only, taking no
    // slot and creating nothing: such a process can tell live holders from
    // dead ones (Alive) but can't write (LockWriters refuses).
    static mq::Status OpenForReading(const std::string& spoolRoot, std::unique_ptr<LockFile>* out);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    const Holder& Self() const { return m_self; }
    // True when opened by OpenForReading: nothing may be written.
    bool ReadOnly() const { return m_readOnly; }

    // Waits for the writers' lock, at most kWaitMs; fails when the kernel
    // refuses the lock, the wait ran out (the cause then says the store is
    // busy and for how long it was waited for) or the file was opened for
    // reading only.
    mq::Status LockWriters();
    void UnlockWriters();

    // Group commit's bookkeeping, shared by every process through a page of
    // the lock file: commits are numbered, and the highest number known
    // synced is kept. NoteCommit (REQUIRES: the writers' lock held, the
    // commit done) numbers a commit. SyncCovering returns once a sync that
    // began after commit ticket has finished: at once when another
    // process's sync already covered it, else after sync() run by the one
    // process (the leader, holding a byte lock) that syncs for every commit
    // so far, the others asleep on a futex in the shared page meanwhile,
    // woken when a leader is done. Returns sync()'s failure when the
    // sync this call relied on failed. Without the shared page (it could
    // not be allocated: a full disk), every call simply runs sync().
    uint64_t NoteCommit();
    mq::Status SyncCovering(uint64_t ticket, const std::function<mq::Status()>& sync);

    // True while the process that recorded holder runs (see above). A slot
    // that can't be examined is taken for alive, so that nothing is taken
    // from a process on a mere doubt.
    bool Alive(const Holder& holder) const;

    // In a forked child: closes this process's copy of the descriptor
    // without touching the parent's locks. The object is unusable after.
    void Forget();

  private:
    LockFile(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    mq::Status TakeSlot();

    struct Shared;
    // Gives the nonces and the shared page their blocks, once for the file
    // (false when the disk has no room for them). Writing into a hole fails
    // on a full disk (a slot's nonce: the process could not open the store
    // to take and remove entries, freeing room) or kills the process (the
    // shared mapping), whichever slot its process id picks.
    bool Allocate();
    // Maps the shared page; REQUIRES: Allocate() succeeded.
    void MapShared();

    int m_fd;
    std::string m_path;
    Holder m_self;
    bool m_writing = false;
    bool m_readOnly = false;
    Shared* m_shared = nullptr;
};

}  // namespace mqstore

#endif
