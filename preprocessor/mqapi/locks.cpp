// locks.cpp - the writers' lock and the process slots on the lock file.
#include "locks.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <thread>

#include "status.h"
#include "syscalls.h"

namespace mqstore {

namespace {

// The nonces start well past the slot bytes; the file stays sparse.
const off_t kNonceArea = 1 << 20;
// Byte 0: the writers' lock; byte kSyncByte: the syncing leader's.
const off_t kSyncByte = kNonceArea - 1;
// The shared page of commit numbers, past the nonces.
const off_t kSharedPage = 2 << 20;
const size_t kSharedSize = 4096;

struct flock Range(short type, off_t start) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = 1;
    return lock;
}

int64_t NewNonce() {
    uint64_t value = 0;
    while (value == 0 || value > INT64_MAX) {
        if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
            // No entropy source: time and process id still tell processes apart.
            value = static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(time(nullptr));
        }
        value &= INT64_MAX;
    }
    return static_cast<int64_t>(value);
}

// A waiter for the writers' lock sleeps at most this long between tries:
// the bound on how late it notices a holder that let go without waking it
// (a holder that died, or a process of an earlier release that never
// wakes anyone).
const auto kLongestPause = std::chrono::milliseconds(5);

// The futex call with a 64-bit timeout, whatever the C library's time_t:
// 32-bit systems name it futex_time64, 64-bit ones plain futex.
#ifdef SYS_futex_time64
const long kFutexCall = SYS_futex_time64;
#else
const long kFutexCall = SYS_futex;
static_assert(sizeof(long) == 8, "futex's timeout is two longs");
#endif
struct FutexTimeout {
    int64_t seconds;
    int64_t nanoseconds;
};

// Sleeps until *word no longer holds seen, a wake comes, or timeout passes;
// the word lives in a shared file mapping, so the futex is a shared one. A
// kernel without the call makes it a plain sleep.
void WaitWhile(std::atomic<uint32_t>* word, uint32_t seen, std::chrono::nanoseconds timeout) {
    FutexTimeout t{timeout.count() / 1000000000, timeout.count() % 1000000000};
    if (syscall(kFutexCall, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, seen, &t, nullptr, 0) !=
            0 &&
        errno == ENOSYS) {
        std::this_thread::sleep_for(timeout);
    }
}

void Wake(std::atomic<uint32_t>* word, int how_many) {
    syscall(kFutexCall, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, how_many, nullptr, nullptr,
            0);
}

// A process waiting for another's sync looks again after at most this
// long, for a leader that let go without waking anyone (one that died, or
// one of an earlier release).
const auto kLongestSyncPause = std::chrono::milliseconds(2);

}  // namespace

// The lock file's shared page. The writers' lock itself is the byte lock:
// released counts its releases and waiting the processes waiting for it, so
// that a release wakes one waiter at once instead of leaving it to its
// next try. A page of an older release reads zeros here, which only means
// no waking.
struct LockFile::Shared {
    std::atomic<uint64_t> committed;
    std::atomic<uint64_t> synced;
    std::atomic<uint32_t> released;
    std::atomic<uint32_t> waiting;
    // Counts the leaders' ends: each leader bumps it once it has let go of
    // the sync byte, and wakes everyone waiting for its sync, as many as
    // syncWaiting counts (a lone writer's sync wakes nobody).
    std::atomic<uint32_t> syncsEnded;
    std::atomic<uint32_t> syncWaiting;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free &&
                  sizeof(std::atomic<uint32_t>) == sizeof(uint32_t),
              "a futex word shared by processes");

bool LockFile::Allocate() {
    return MQSysCallTable()->fallocate(m_fd, kNonceArea, kSharedPage + kSharedSize - kNonceArea) ==
           0;
}

void LockFile::MapShared() {
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "counters shared by processes");
    void* page = mmap(nullptr, kSharedSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, kSharedPage);
    if (page != MAP_FAILED) m_shared = static_cast<Shared*>(page);
}

uint64_t LockFile::NoteCommit() {
    return m_shared != nullptr ? m_shared->committed.fetch_add(1) + 1 : 0;
}

mq::Status LockFile::SyncCovering(uint64_t ticket, const std::function<mq::Status()>& sync) {
    if (m_shared == nullptr) return sync();
    // Whoever holds the sync byte is the leader. The others sleep on the
    // count of leaders' ends instead of queueing on the byte: a queue on a
    // byte lock wakes every waiter at each release only to let one through,
    // and each then takes its turn just to find its commit already synced.
    // A leader's sync that failed moves nothing, and its followers each
    // find their commit still unsynced and lead a sync of their own.
    for (;;) {
        if (m_shared->synced.load() >= ticket) return mq::Status::OK();
        // Read before the try: a leader that lets go after a failed try
        // bumps it, and the wait below then returns at once.
        uint32_t ended = m_shared->syncsEnded.load();
        struct flock lock = Range(F_WRLCK, kSyncByte);
        if (fcntl(m_fd, F_OFD_SETLK, &lock) == 0) break;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return sync();
        // Counted before the wait, as the writers' lock's waiters are.
        m_shared->syncWaiting.fetch_add(1);
        WaitWhile(&m_shared->syncsEnded, ended, kLongestSyncPause);
        m_shared->syncWaiting.fetch_sub(1);
    }
    mq::Status synced;
    if (m_shared->synced.load() < ticket) {
        // Everything committed up to here is in the log's pages: one sync
        // makes all of it durable.
        uint64_t target = m_shared->committed.load();
        synced = sync();
        uint64_t seen = m_shared->synced.load();
        while (synced.ok() && seen < target &&
               !m_shared->synced.compare_exchange_weak(seen, target)) {
        }
    }
    // Let go first, then wake: a follower woken for a sync that did not
    // cover it finds the byte free.
    struct flock unlock = Range(F_UNLCK, kSyncByte);
    fcntl(m_fd, F_OFD_SETLK, &unlock);
    m_shared->syncsEnded.fetch_add(1);
    if (m_shared->syncWaiting.load() > 0) Wake(&m_shared->syncsEnded, INT_MAX);
    return synced;
}

mq::Status LockFile::Open(const std::string& spoolRoot, std::unique_ptr<LockFile>* out) {
    std::string path = spoolRoot + "/queue.lck";
    int fd = MQSysCallTable()->open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0) return mq::Status::FromErrno("open", path, errno);
    std::unique_ptr<LockFile> file(new LockFile(fd, path));
    bool allocated = file->Allocate();
    mq::Status slot = file->TakeSlot();
    if (!slot.ok()) return slot;
    if (allocated) file->MapShared();
    *out = std::move(file);
    return mq::Status::OK();
}

mq::Status LockFile::OpenForReading(const std::string& spoolRoot, std::unique_ptr<LockFile>* out) {
    std::string path = spoolRoot + "/queue.lck";
    int fd = MQSysCallTable()->open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) return mq::Status::FromErrno("open", path, errno);
    std::unique_ptr<LockFile> file(new LockFile(fd, path));
    file->m_readOnly = true;
    *out = std::move(file);
    return mq::Status::OK();
}

LockFile::~LockFile() {
    if (m_shared != nullptr) munmap(m_shared, kSharedSize);
    if (m_fd >= 0) MQSysCallTable()->close(m_fd);
}

void LockFile::Forget() {
    if (m_shared != nullptr) munmap(m_shared, kSharedSize);
    m_shared = nullptr;
    if (m_fd >= 0) MQSysCallTable()->close(m_fd);
    m_fd = -1;
}

mq::Status LockFile::TakeSlot() {
    // Start at a slot chosen by the process id, so that processes starting
    // together do not all try the same bytes first.
    int64_t start = getpid() % kSlots;
    for (int64_t i = 0; i < kSlots; ++i) {
        int64_t slot = 1 + (start + i) % kSlots;
        struct flock lock = Range(F_WRLCK, slot);
        if (fcntl(m_fd, F_OFD_SETLK, &lock) != 0) {
            if (errno == EAGAIN || errno == EACCES) continue;
            return mq::Status::FromErrno("lock", m_path, errno);
        }
        int64_t nonce = NewNonce();
        ssize_t n = MQSysCallTable()->pwrite(m_fd, &nonce, sizeof nonce, kNonceArea + slot * 8);
        if (n != static_cast<ssize_t>(sizeof nonce)) {
            // the descriptor's close releases the slot
            return mq::Status::FromErrno("write", m_path, n < 0 ? errno : ENOSPC);
        }
        m_self.slot = slot;
        m_self.nonce = nonce;
        m_self.pid = getpid();
        return mq::Status::OK();
    }
    return mq::Status::Error(
        m_path + ": all " + std::to_string(kSlots) + " process slots are taken", EAGAIN);
}

mq::Status LockFile::LockWriters() {
    if (m_readOnly) {
        return mq::Status::Error(
            "the store is open for reading only: " + m_path + " was not opened for writing", EROFS);
    }
    struct flock lock = Range(F_WRLCK, 0);
    if (fcntl(m_fd, F_OFD_SETLK, &lock) == 0) {
        m_writing = true;
        return mq::Status::OK();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    // Without the shared page nobody wakes us: tries after pauses growing
    // from 50 us to the longest. With it, a release wakes one waiter, and
    // the pause is only the bound for a holder that let go without waking.
    std::chrono::nanoseconds pause = std::chrono::microseconds(50);
    if (m_shared != nullptr) {
        pause = kLongestPause;
        m_shared->waiting.fetch_add(1);
    }
    mq::Status s;
    for (;;) {
        // The release count is read before the try: a release after a
        // failed try changes it, and the wait below then returns at once.
        uint32_t released = m_shared != nullptr ? m_shared->released.load() : 0;
        if (fcntl(m_fd, F_OFD_SETLK, &lock) == 0) break;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            s = mq::Status::FromErrno("lock", m_path, errno);
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            s = mq::Status::Error("lock " + m_path +
                                      ": the store is busy: another process has held " +
                                      "the writers' lock for more than " +
                                      std::to_string(kWaitMs / 1000) + " seconds",
                                  EBUSY);
            break;
        }
        auto wait = std::min<std::chrono::nanoseconds>(pause, deadline - now);
        if (m_shared != nullptr) {
            WaitWhile(&m_shared->released, released, wait);
        } else {
            std::this_thread::sleep_for(wait);
            pause = std::min<std::chrono::nanoseconds>(pause * 2, kLongestPause);
        }
    }
    if (m_shared != nullptr) m_shared->waiting.fetch_sub(1);
    if (!s.ok()) return s;
    m_writing = true;
    return mq::Status::OK();
}

void LockFile::UnlockWriters() {
    if (!m_writing) return;
    struct flock lock = Range(F_UNLCK, 0);
    fcntl(m_fd, F_OFD_SETLK, &lock);
    m_writing = false;
    if (m_shared != nullptr) {
        m_shared->released.fetch_add(1);
        if (m_shared->waiting.load() > 0) Wake(&m_shared->released, 1);
    }
}

bool LockFile::Alive(const Holder& holder) const {
    if (holder.slot == m_self.slot && holder.nonce == m_self.nonce) return true;
    if (holder.slot < 1 || holder.slot > kSlots || m_fd < 0) return false;
    struct flock lock = Range(F_WRLCK, holder.slot);
    if (fcntl(m_fd, F_OFD_GETLK, &lock) != 0) return true;
    // Our own slot never shows as locked to us: a record of this slot with
    // another nonce is a dead predecessor's.
    if (lock.l_type == F_UNLCK) return false;
    int64_t nonce = 0;
    if (MQSysCallTable()->pread(m_fd, &nonce, sizeof nonce, kNonceArea + holder.slot * 8) !=
        static_cast<ssize_t>(sizeof nonce)) {
        return true;
    }
    return nonce == holder.nonce;
}

}  // namespace mqstore
