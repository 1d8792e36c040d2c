// mqstore.cpp - the queue store's calls (mq.h) over its database (queuedb.h)
// and spool (spool.h): initialisation, read handles and write handles.
//
// One SQLite connection per process, opened by MQInit and used under
// OneMQ.csStore. Handles carry the process that made them: a handle, like
// the connection, never crosses a fork, and a child calls MQInit again to
// get a connection of its own.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <mutex>
#include <new>
#include <vector>

#include "addrchars.h"
#include "chanlist.h"
#include "chanline.h"
#include "envcodec.h"
#include "log.h"
#include "durable.h"
#include "mq.h"
#include "mqadmin.h"
#include "mqput.h"
#include "profile.h"
#include "profilepath.h"
#include "registered.h"
#include "storestate.h"
#include "syscalls.h"
#include "trail.h"

namespace {

const uint32_t kHandleMagic = 0x4d51ca7e;
const uint32_t kDefaultMaxAttempts = 5;
// A reader that always finds work still looks after dead processes now and
// then; one that finds nothing looks every time.
const std::chrono::seconds kReclaimEvery(5);

// Set in a child by the fork handler: the fork happened while this process
// was in no store call (the handler held both locks), so the inherited
// connection had no transaction open and may be closed in the child.
std::atomic<bool> g_forkedIdle{false};

void BeforeFork() {
    OneMQ.csQList.Lock(0);
    OneMQ.csStore.Lock(0);
}

void AfterForkParent() {
    OneMQ.csStore.Unlock();
    OneMQ.csQList.Unlock();
}

void AfterForkChild() {
    mqstore::SetProcessId(getpid());
    g_forkedIdle = true;
    // The child must not keep the parent's process slot locked: its copy of
    // the lock file's descriptor goes now (the parent's lock stays).
    if (mqstore::State().queue) mqstore::State().queue->ForgetAfterFork();
    OneMQ.csStore.Unlock();
    OneMQ.csQList.Unlock();
}

// Connections inherited by a child that can't be closed safely: kept
// reachable for good, never used.
std::vector<std::unique_ptr<mqstore::QueueDb>>& Abandoned() {
    static auto* abandoned = new std::vector<std::unique_ptr<mqstore::QueueDb>>();
    return *abandoned;
}

}  // namespace

// A read handle (OpenMQChannel) or a write handle (CreateMQEntry).
struct MQContext {
    enum class Kind { Reader, Writer };
    uint32_t magic = kHandleMagic;
    Kind kind;
    pid_t pid = mqstore::ProcessId();
    std::string channel;   // reader: the channel read; writer: the one inserted into
    int64_t lease = 0;     // reader: its lease
    unsigned long id = 0;  // reader: the entry last returned; writer: the new entry
    mqstore::EnvelopeData envelope;  // writer
    std::string path;      // the text GetMQPathName returned for this handle
    bool bodyInPlace = false;  // writer: the store wrote the body (WriteMQBody)
    int64_t bodySize = -1;     // writer: its size, when known
    bool bodyInCommit = false; // writer: body rides in the entry's commit
    std::string body;          // writer: that body

    explicit MQContext(Kind k) : kind(k) {}
};

using mqstore::LogFailure;
using mqstore::QueueDb;
using mqstore::ReadyQueue;
using mqstore::State;

namespace {

// Checks a handle given to operation; logs and returns false when it is
// null, not a handle of the kind, or from another process.
bool ValidHandle(const MQContext* handle, MQContext::Kind kind, const char* operation) {
    if (handle == nullptr) {
        LogFailure(operation, "no handle");
        return false;
    }
    if (handle->magic != kHandleMagic || handle->kind != kind) {
        LogFailure(operation, kind == MQContext::Kind::Reader ? "not a read handle"
                                                              : "not an entry handle");
        return false;
    }
    if (handle->pid != mqstore::ProcessId()) {
        LogFailure(operation, "the handle belongs to process " + std::to_string(handle->pid) +
                                  " (handles do not cross a fork)");
        return false;
    }
    return true;
}

bool ValidEntryId(unsigned long id, const char* operation) {
    if (id != 0 && id <= mqstore::kMaxEntryId) return true;
    LogFailure(operation, "no entry has identifier " + std::to_string(id));
    return false;
}

std::string ReadSetting(const char* section, const char* key, const std::string& file) {
    char buffer[PATH_MAX];
    GetPrivateProfileString(section, key, "", buffer, sizeof buffer, file.c_str());
    return buffer;
}

// MaxAttempts: a whole number; 0 means entries are never set aside.
uint32_t ParseMaxAttempts(const std::string& text, const std::string& file,
                          const std::string& tag) {
    if (text.empty()) return kDefaultMaxAttempts;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || value > 1000000) {
        LogMessagef(MQLOG_WARNING, tag.c_str(),
                    "%s: MaxAttempts \"%s\" is no number from 0 to 1000000; using %u",
                    file.c_str(), text.c_str(), kDefaultMaxAttempts);
        return kDefaultMaxAttempts;
    }
    return static_cast<uint32_t>(value);
}

// A duration setting (mqadmin::ParseDuration): a bad one is logged and
// fallback used. zeroAllowed: 0 is a value (QueueLifetime: never).
int64_t ParseDurationSetting(const char* key, const std::string& text, int64_t fallback,
                             bool zeroAllowed, const std::string& file, const std::string& tag) {
    if (text.empty()) return fallback;
    int64_t seconds = 0;
    if (!mqadmin::ParseDuration(text.c_str(), &seconds) || (seconds == 0 && !zeroAllowed)) {
        LogMessagef(MQLOG_WARNING, tag.c_str(),
                    "%s: %s \"%s\" is no duration (seconds, or a number with s, m, h or d%s);"
                    " using %llds",
                    file.c_str(), key, text.c_str(), zeroAllowed ? "; 0 for never" : ", from 1",
                    static_cast<long long>(fallback));
        return fallback;
    }
    return seconds;
}

// BodyInCommitLimit: bytes, a whole number up to kMaxBodyInCommit; 0 puts
// every body in a synced file of its own.
const unsigned long kMaxBodyInCommit = 16ul << 20;

size_t ParseBodyLimit(const std::string& text, const std::string& file, const std::string& tag) {
    if (text.empty()) return mqstore::kDefaultBodyLimit;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || value > kMaxBodyInCommit) {
        LogMessagef(MQLOG_WARNING, tag.c_str(),
                    "%s: BodyInCommitLimit \"%s\" is no number from 0 to %lu; using %zu",
                    file.c_str(), text.c_str(), kMaxBodyInCommit, mqstore::kDefaultBodyLimit);
        return mqstore::kDefaultBodyLimit;
    }
    return static_cast<size_t>(value);
}

std::string Absolute(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
    return std::string(cwd) + "/" + path;
}

// ConfigFileName - the configuration file MQInit's first string stands for.
// Applications pass whatever their setting is (the old interface calls it
// "ldap"): only a text that holds a '/' or ends in ".ini" names a file;
// anything else means the default "daduv.ini", found as the INI reader does.
const char* ConfigFileName(const char* setting) {
    static const char kDefault[] = "daduv.ini";
    static const char kIni[] = ".ini";
    if (setting == nullptr) return kDefault;
    const size_t len = std::strlen(setting);
    const bool endsInIni =
        len >= sizeof kIni - 1 && strcasecmp(setting + len - (sizeof kIni - 1), kIni) == 0;
    return std::strchr(setting, '/') != nullptr || endsInIni ? setting : kDefault;
}

// Releases what dead readers hold and drops what dead writers left; a
// failure is logged and otherwise ignored, since the caller's own work may
// still succeed.
void ReclaimNow(QueueDb* queue, const char* operation) {
    mq::Status reclaimed = queue->Reclaim();
    if (!reclaimed.ok()) LogFailure(operation, reclaimed);
    State().lastReclaim = std::chrono::steady_clock::now();
}

// What MQInit reads from its configuration file.
struct InitSettings {
    std::string install;  // the installation directory, absolute
    uint32_t maxAttempts = kDefaultMaxAttempts;
    size_t bodyLimit = mqstore::kDefaultBodyLimit;
    mqstore::RetrySchedule schedule;
};

// ReadInitSettings - the settings of configuration ldap (MQInit's
// argument), into *out. Fails naming the file or setting that is missing or
// unreadable; a value out of range is logged, tagged tag, and its default
// used.
mq::Status ReadInitSettings(const char* ldap, const std::string& tag, InitSettings* out) {
    const char* name = ConfigFileName(ldap);
    std::string file = mqcommon::ResolveProfilePath(name);
    if (file.empty()) {
        return mq::Status::Error(std::string("configuration file ") + name + " not found");
    }
    if (access(file.c_str(), R_OK) != 0) return mq::Status::FromErrno("access", file, errno);
    std::string install = ReadSetting("Config", "InstallDirectory", file);
    if (install.empty()) return mq::Status::Error(file + ": no InstallDirectory in section Config");
    out->install = Absolute(install);
    if (out->install.empty()) {
        return mq::Status::Error(std::string("getcwd: ") + std::strerror(errno));
    }
    out->maxAttempts = ParseMaxAttempts(ReadSetting("Config", "MaxAttempts", file), file, tag);
    out->bodyLimit = ParseBodyLimit(ReadSetting("Config", "BodyInCommitLimit", file), file, tag);
    const mqstore::RetrySchedule defaults;
    mqstore::RetrySchedule& r = out->schedule;
    r.minimalBackoff = ParseDurationSetting("MinimalBackoff",
                                            ReadSetting("Config", "MinimalBackoff", file),
                                            defaults.minimalBackoff, false, file, tag);
    r.maximalBackoff = ParseDurationSetting("MaximalBackoff",
                                            ReadSetting("Config", "MaximalBackoff", file),
                                            defaults.maximalBackoff, false, file, tag);
    if (r.maximalBackoff < r.minimalBackoff) {
        LogMessagef(MQLOG_WARNING, tag.c_str(),
                    "%s: MaximalBackoff (%llds) is below MinimalBackoff (%llds); using %llds",
                    file.c_str(), static_cast<long long>(r.maximalBackoff),
                    static_cast<long long>(r.minimalBackoff),
                    static_cast<long long>(r.minimalBackoff));
        r.maximalBackoff = r.minimalBackoff;
    }
    r.queueLifetime = ParseDurationSetting("QueueLifetime",
                                           ReadSetting("Config", "QueueLifetime", file),
                                           defaults.queueLifetime, true, file, tag);
    return mq::Status::OK();
}

// PrepareSpool - the spool's directories made where missing; for a process
// that only reads, nothing is made and the spool must be there.
mq::Status PrepareSpool(const mqstore::Spool& spool, bool readOnly) {
    if (!readOnly) return spool.Prepare();
    // A spool that is not there yet holds nothing.
    struct stat st;
    if (stat(spool.Root().c_str(), &st) != 0) {
        int error = errno;
        return mq::Status::Error("stat " + spool.Root() + ": " + std::strerror(error) +
                                 (error == ENOENT ? " (no entry was ever put)" : ""));
    }
    return mq::Status::OK();
}

// DropStaleConnection - lets go of the connection s holds when this MQInit
// can't go on with it: the parent's after a fork, one whose database file
// was deleted or replaced (logged, tagged tag), one of another spool, or one
// opened for reading only when writing is wanted. Fails, keeping it, when
// handles of a connection that would have to go are still open.
// REQUIRES: OneMQ.csStore held.
mq::Status DropStaleConnection(mqstore::StoreState& s, const mqstore::Spool& spool,
                               const InitSettings& settings, bool readOnly,
                               const std::string& tag) {
    if (s.queue && s.pid != mqstore::ProcessId()) {
        // The parent's connection: closed when the fork met it idle,
        // which SQLite allows, and never used either way.
        if (g_forkedIdle) {
            s.queue.reset();
        } else {
            Abandoned().push_back(std::move(s.queue));
        }
        s.handles = 0;
    }
    g_forkedIdle = false;
    mq::Status same;
    if (s.queue && s.queue->GetSpool().Root() == spool.Root() &&
        !(same = s.queue->CheckFile()).ok()) {
        // The database was deleted or replaced: this connection's file
        // is no longer the store's. Handles of it die with it.
        LogMessagef(MQLOG_WARNING, tag.c_str(), "MQInit: %s; opening the new one",
                    same.Cause().c_str());
        s.queue.reset();
        s.handles = 0;
    }
    if (s.queue && s.queue->GetSpool().Root() != spool.Root()) {
        if (s.handles > 0) {
            return mq::Status::Error("the installation directory changed to " +
                                     settings.install + " while " + std::to_string(s.handles) +
                                     " handles are open");
        }
        s.queue.reset();
    }
    if (s.queue && s.queueReadOnly && !readOnly) {
        // Opened for reading before: writing wants a connection of its own.
        if (s.handles > 0) {
            return mq::Status::Error("the store is open for reading only while " +
                                     std::to_string(s.handles) + " handles are open");
        }
        s.queue.reset();
    }
    return mq::Status::OK();
}

// UseConnection - s's connection to spool, opened when there is none, with
// settings and the application name tag applied. REQUIRES: OneMQ.csStore
// held.
mq::Status UseConnection(mqstore::StoreState& s, const mqstore::Spool& spool,
                         const InitSettings& settings, bool readOnly, const std::string& tag) {
    mq::Status dropped = DropStaleConnection(s, spool, settings, readOnly, tag);
    if (!dropped.ok()) return dropped;
    if (!s.queue) {
        std::unique_ptr<QueueDb> queue;
        mq::Status opened =
            readOnly ? QueueDb::OpenForReading(spool, &queue) : QueueDb::Open(spool, &queue);
        s.queueReadOnly = readOnly;
        if (!opened.ok()) return opened;
        s.queue = std::move(queue);
        s.pid = mqstore::ProcessId();
    }
    mqstore::SetLogTag(tag);
    s.installDir = settings.install;
    s.maxAttempts = settings.maxAttempts;
    s.queue->SetAppName(tag);
    s.queue->SetMaxAttempts(settings.maxAttempts);
    s.schedule = settings.schedule;
    s.queue->SetSchedule(settings.schedule);
    s.queue->SetBodyLimit(settings.bodyLimit);
    if (!s.queueReadOnly) ReclaimNow(s.queue.get(), "MQInit");
    return mq::Status::OK();
}

}  // namespace

// XImpl does the work of the exported call X; X (at the end of this file)
// runs it under Guarded.

static bool MQInitImpl(const char* ldap, const char* appname) {
    static std::once_flag forkHandlers;
    std::call_once(forkHandlers,
                   [] {
                       pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild);
                       mqstore::SetProcessId(getpid());
                   });

    if (appname == nullptr || appname[0] == '\0') {
        LogFailure("MQInit", "no application name given");
        return false;
    }
    // Until the store has its connection, failures are tagged with the
    // application name given here.
    std::string tag = appname;
    InitSettings settings;
    std::vector<MQchannelDBStr> channels;
    mq::Status s = ReadInitSettings(ldap, tag, &settings);
    if (s.ok()) s = mqstore::ReadChannelFile(settings.install + "/queue.cfg", tag, &channels);
    mqstore::Spool spool(settings.install + "/spool");
    bool readOnly;
    {
        clLockGuard guard(OneMQ.csStore);
        readOnly = State().readOnly;
    }
    if (s.ok()) s = PrepareSpool(spool, readOnly);
    if (s.ok()) {
        clLockGuard guard(OneMQ.csStore);
        s = UseConnection(State(), spool, settings, readOnly, tag);
    }
    if (!s.ok()) {
        LogMessagef(MQLOG_ERROR, tag.c_str(), "MQInit: %s", s.Cause().c_str());
        return false;
    }
    mqstore::InstallChannelList(channels);
    return true;
}

static MQContext* OpenMQChannelImpl(const char* channel) {
    if (!mqcommon::IsUsableName(channel, mqcommon::kMaxChannelName) ||
        !mqshared::IsRegisteredChannel(OneMQ.myQList, OneMQ.csQList, channel)) {
        clLockGuard guard(OneMQ.csStore);
        LogFailure("OpenMQChannel", std::string("channel \"") + (channel ? channel : "(null)") +
                                        "\" is not registered");
        return nullptr;
    }
    clLockGuard guard(OneMQ.csStore);
    QueueDb* queue = ReadyQueue("OpenMQChannel");
    if (queue == nullptr) return nullptr;
    ReclaimNow(queue, "OpenMQChannel");
    std::unique_ptr<MQContext> handle(new MQContext(MQContext::Kind::Reader));
    handle->channel = channel;
    mq::Status opened = queue->OpenLease(handle->channel, &handle->lease);
    if (!opened.ok()) {
        LogFailure("OpenMQChannel", opened);
        return nullptr;
    }
    ++State().handles;
    return handle.release();
}

namespace {

unsigned long NextMessage(MQContext* handle, const char* operation) {
    if (!ValidHandle(handle, MQContext::Kind::Reader, operation)) return 0;
    clLockGuard guard(OneMQ.csStore);
    QueueDb* queue = ReadyQueue(operation);
    if (queue == nullptr) return 0;
    if (std::chrono::steady_clock::now() - State().lastReclaim > kReclaimEvery) {
        ReclaimNow(queue, operation);
    }
    unsigned long id = 0;
    mq::Status next = queue->NextEntry(handle->lease, handle->channel, &id);
    if (next.ok() && id == 0) {
        // Nothing waiting: perhaps only because a dead reader still holds it.
        ReclaimNow(queue, operation);
        next = queue->NextEntry(handle->lease, handle->channel, &id);
    }
    if (!next.ok()) {
        LogFailure(operation, next);
        return 0;
    }
    handle->id = id;
    return id;
}

}  // namespace

static unsigned long GetFirstMessageImpl(MQContext* handle, bool bWait) {
    (void)bWait;
    return NextMessage(handle, "GetFirstMessage");
}

static unsigned long GetNextMessageImpl(MQContext* handle, bool bWait) {
    (void)bWait;
    return NextMessage(handle, "GetNextMessage");
}

static stEnvelope* GetMQEnvelopeImpl(unsigned long id) {
    clLockGuard guard(OneMQ.csStore);
    if (!ValidEntryId(id, "GetMQEnvelope")) return nullptr;
    QueueDb* queue = ReadyQueue("GetMQEnvelope", mqstore::Access::kRead);
    if (queue == nullptr) return nullptr;
    mqstore::EnvelopeData data;
    bool found = false;
    mq::Status read = queue->ReadEnvelope(id, &data, &found);
    // The size given is the file's: it must be whole first.
    if (read.ok() && found) read = queue->EnsureBody(id);
    if (!read.ok()) {
        LogFailure("GetMQEnvelope", read);
        return nullptr;
    }
    if (!found) {
        LogFailure("GetMQEnvelope", "no entry " + std::to_string(id));
        return nullptr;
    }
    int64_t size = queue->GetSpool().BodySize(id);
    stEnvelope* envelope = mqstore::BuildEnvelope(
        data, size < 0 ? 0u : size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size));
    if (envelope == nullptr) LogFailure("GetMQEnvelope", "out of memory");
    return envelope;
}

static void FreeMQEnvelopeImpl(stEnvelope* envelope) {
    if (envelope == nullptr) return;
    if (!envelope->OwnsRecords()) {
        // A writer's envelope: its records are the writer's to free.
        clLockGuard guard(OneMQ.csStore);
        LogFailure("FreeMQEnvelope", "not an envelope of the store; left alone");
        return;
    }
    mqstore::ReleaseEnvelope(envelope);
}

namespace {

// Before a body's path is named: the file made whole from the entry's
// commit if it may be stale (queuedb.h). Logs and returns false when it
// can't be.
bool EnsureWhole(QueueDb* queue, unsigned long id, const char* ext) {
    if (std::strcmp(ext, ".msg") != 0) return true;
    mq::Status whole = queue->EnsureBody(id);
    if (!whole.ok()) LogFailure("GetMQPathName", whole);
    return whole.ok();
}

}  // namespace

static char* GetMQPathNameImpl(unsigned long id, const char* ext) {
    // Each thread keeps its own text, valid until its next call.
    thread_local std::string path;
    clLockGuard guard(OneMQ.csStore);
    if (!mqstore::IsValidExtension(ext)) {
        LogFailure("GetMQPathName", std::string("bad extension \"") + (ext ? ext : "(null)") +
                                        "\"");
        return nullptr;
    }
    if (!ValidEntryId(id, "GetMQPathName")) return nullptr;
    QueueDb* queue = ReadyQueue("GetMQPathName", mqstore::Access::kRead);
    if (queue == nullptr) return nullptr;
    if (!EnsureWhole(queue, id, ext)) return nullptr;
    path = queue->GetSpool().EntryPath(id, ext);
    return &path[0];
}

static char* GetMQPathNameImpl(MQContext* handle, const char* ext) {
    if (handle == nullptr || handle->magic != kHandleMagic) {
        ValidHandle(handle, MQContext::Kind::Writer, "GetMQPathName");
        return nullptr;
    }
    if (!ValidHandle(handle, handle->kind, "GetMQPathName")) return nullptr;
    clLockGuard guard(OneMQ.csStore);
    if (!mqstore::IsValidExtension(ext)) {
        LogFailure("GetMQPathName", std::string("bad extension \"") + (ext ? ext : "(null)") +
                                        "\"");
        return nullptr;
    }
    if (handle->id == 0) {
        LogFailure("GetMQPathName", "the read handle has returned no entry");
        return nullptr;
    }
    QueueDb* queue = ReadyQueue("GetMQPathName", mqstore::Access::kRead);
    if (queue == nullptr) return nullptr;
    if (handle->kind == MQContext::Kind::Reader && !EnsureWhole(queue, handle->id, ext)) {
        return nullptr;
    }
    handle->path = queue->GetSpool().EntryPath(handle->id, ext);
    return &handle->path[0];
}

static bool RemoveMQChannelImpl(MQContext* handle) {
    if (!ValidHandle(handle, MQContext::Kind::Reader, "RemoveMQChannel")) return false;
    clLockGuard guard(OneMQ.csStore);
    if (handle->id == 0) {
        LogFailure("RemoveMQChannel", "no entry to remove: none returned since the last removal");
        return false;
    }
    QueueDb* queue = ReadyQueue("RemoveMQChannel");
    if (queue == nullptr) return false;
    bool held = false;
    mq::Status removed = queue->RemoveLeased(handle->lease, handle->id, &held);
    if (!removed.ok()) {
        LogFailure("RemoveMQChannel", removed);
        return false;
    }
    if (!held) {
        LogFailure("RemoveMQChannel", "entry " + std::to_string(handle->id) +
                                          " is no longer held by this reader (removed by an "
                                          "operator?)");
        handle->id = 0;
        return false;
    }
    handle->id = 0;
    return true;
}

static bool CloseMQChannelImpl(MQContext* handle) {
    if (!ValidHandle(handle, MQContext::Kind::Reader, "CloseMQChannel")) return false;
    clLockGuard guard(OneMQ.csStore);
    QueueDb* queue = ReadyQueue("CloseMQChannel");
    if (queue == nullptr) return false;
    mq::Status closed = queue->CloseLease(handle->lease);
    if (!closed.ok()) {
        LogFailure("CloseMQChannel", closed);
        return false;
    }
    if (State().handles > 0) --State().handles;
    delete handle;
    return true;
}

static MQContext* CreateMQEntryImpl() {
    clLockGuard guard(OneMQ.csStore);
    QueueDb* queue = ReadyQueue("CreateMQEntry");
    if (queue == nullptr) return nullptr;
    std::unique_ptr<MQContext> handle(new MQContext(MQContext::Kind::Writer));
    mq::Status created = queue->CreateEntry(&handle->id);
    if (!created.ok()) {
        LogFailure("CreateMQEntry", created);
        return nullptr;
    }
    ++State().handles;
    return handle.release();
}

static bool InsertMQChannelImpl(MQContext* entry, const char* channel, int iFlags) {
    if (!ValidHandle(entry, MQContext::Kind::Writer, "InsertMQChannel")) return false;
    std::string cause;
    if (iFlags != 0) {
        cause = "flags " + std::to_string(iFlags) + " given, only 0 is known";
    } else if (!mqcommon::IsUsableName(channel, mqcommon::kMaxChannelName) ||
               !mqshared::IsRegisteredChannel(OneMQ.myQList, OneMQ.csQList, channel)) {
        cause = std::string("channel \"") + (channel ? channel : "(null)") + "\" is not registered";
    }
    if (!cause.empty()) {
        clLockGuard guard(OneMQ.csStore);
        LogFailure("InsertMQChannel", cause);
        return false;
    }
    entry->channel = channel;
    return true;
}

namespace {

// The first address of envelope that holds a control character, or null.
const std::string* AddressWithControlCharacter(const mqstore::EnvelopeData& envelope) {
    for (const mqstore::SenderRecord& r : envelope.from) {
        if (mqcommon::FirstControlCharacter(r.address.c_str()) >= 0) return &r.address;
    }
    for (const mqstore::RecipientRecord& r : envelope.to) {
        if (mqcommon::FirstControlCharacter(r.address.c_str()) >= 0) return &r.address;
    }
    return nullptr;
}

}  // namespace

static bool PutMQEnvelopeImpl(MQContext* entry, stEnvelope* envelope) {
    if (!ValidHandle(entry, MQContext::Kind::Writer, "PutMQEnvelope")) return false;
    mqstore::EnvelopeData data;
    if (envelope == nullptr || !mqstore::CopyEnvelope(*envelope, &data)) {
        clLockGuard guard(OneMQ.csStore);
        LogFailure("PutMQEnvelope", envelope == nullptr ? "no envelope" : "a record is missing");
        return false;
    }
    if (const std::string* bad = AddressWithControlCharacter(data)) {
        clLockGuard guard(OneMQ.csStore);
        LogFailure("PutMQEnvelope", "the address " + mqstore::TrailAddress(*bad) +
                                        " holds a control character");
        return false;
    }
    entry->envelope = std::move(data);
    return true;
}

static bool CloseMQEntryImpl(MQContext* entry) {
    if (!ValidHandle(entry, MQContext::Kind::Writer, "CloseMQEntry")) return false;
    clLockGuard guard(OneMQ.csStore);
    if (entry->channel.empty()) {
        LogFailure("CloseMQEntry", "entry " + std::to_string(entry->id) + " is in no channel");
        return false;
    }
    QueueDb* queue = ReadyQueue("CloseMQEntry");
    if (queue == nullptr) return false;
    mq::Status committed =
        queue->CommitEntry(entry->id, mqstore::LogTag(), entry->channel, entry->envelope,
                           entry->bodyInPlace, entry->bodyInCommit ? &entry->body : nullptr);
    if (!committed.ok()) {
        LogFailure("CloseMQEntry", committed);
        return false;
    }
    const mqstore::EnvelopeData& e = entry->envelope;
    mqstore::Trail(MQLOG_INFO, mqstore::LogTag(), static_cast<int64_t>(entry->id), "created",
                   {{"channel", mqstore::TrailValue(entry->channel)},
                    {"from", mqstore::TrailAddress(e.from.empty() ? "" : e.from.front().address)},
                    {"rcpts", std::to_string(e.to.size())},
                    {"size", entry->bodySize >= 0 ? std::to_string(entry->bodySize) : "-"}});
    if (State().handles > 0) --State().handles;
    delete entry;
    return true;
}

static void DiscardMQEntryImpl(MQContext* entry) {
    if (entry == nullptr) return;
    if (entry->magic != kHandleMagic || entry->kind != MQContext::Kind::Writer) {
        ValidHandle(entry, MQContext::Kind::Writer, "DiscardMQEntry");
        return;
    }
    clLockGuard guard(OneMQ.csStore);
    // A handle inherited over a fork is the parent's entry: only this
    // process's copy of the handle goes.
    if (entry->pid == mqstore::ProcessId()) {
        QueueDb* queue = ReadyQueue("DiscardMQEntry");
        if (queue != nullptr) {
            mq::Status removed = queue->RemoveUncommitted(entry->id);
            if (!removed.ok()) LogFailure("DiscardMQEntry", removed);
        }
        if (State().handles > 0) --State().handles;
    }
    delete entry;
}

namespace {

// Reads fd from its offset into *head until its end or past limit bytes.
// Returns OK (*whole true when the end came within limit) or the failure.
mq::Status ReadUpTo(int fd, size_t limit, const std::string& path, std::string* head,
                    bool* whole) {
    MQSysCalls* sys = MQSysCallTable();
    char buffer[65536];
    *whole = false;
    while (head->size() <= limit) {
        ssize_t n = sys->read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return mq::Status::FromErrno("read the body for", path, errno);
        if (n == 0) {
            *whole = true;
            break;
        }
        head->append(buffer, static_cast<size_t>(n));
    }
    return mq::Status::OK();
}

// A body above the limit: a synced file of its own, synced into its
// directory before the commit; head (already read from source's fd) first.
mq::Status WriteSynced(const std::string& path, const mqdurable::Source& source,
                       const std::string& head) {
    if (source.fd < 0) return mqdurable::WriteNew(path, source, true);
    mqdurable::NewFile file;
    mq::Status status = file.Create(path, false);
    if (status.ok()) status = file.Write(head.data(), head.size());
    if (status.ok()) status = file.Copy(source.fd);
    if (status.ok()) {
        status = file.Publish(path, true);
        // Not known to last: the caller is told, and the file goes.
        if (!status.ok()) MQSysCallTable()->unlink(path.c_str());
    }
    return status;
}

bool WriteBody(MQContext* entry, const mqdurable::Source& source, const char* operation) {
    if (!ValidHandle(entry, MQContext::Kind::Writer, operation)) return false;
    std::string path;
    size_t limit = 0;
    mqstore::Spool spool("");
    {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue(operation);
        if (queue == nullptr) return false;
        if (entry->bodyInPlace) {
            LogFailure(operation, "entry " + std::to_string(entry->id) + " has its body already");
            return false;
        }
        spool = queue->GetSpool();
        path = spool.EntryPath(entry->id, ".msg");
        limit = queue->BodyLimit();
    }
    // Read outside the store's lock: other threads go on meanwhile. A body
    // up to the limit rides in the commit and gets no file now: the file is
    // written from the commit when its path is first named (queuedb.h), so
    // a waiting body is kept once and the put writes one copy less.
    std::string head;
    bool small = false;
    if (source.fd < 0) {
        small = source.size <= limit;
        if (small) head.assign(static_cast<const char*>(source.data), source.size);
    } else {
        mq::Status read = ReadUpTo(source.fd, limit, path, &head, &small);
        if (!read.ok()) {
            LogFailure(operation, read);
            return false;
        }
    }
    if (small) {
        entry->bodySize = static_cast<int64_t>(head.size());
        entry->body.swap(head);
        entry->bodyInCommit = true;
        entry->bodyInPlace = true;
        return true;
    }
    mq::Status written = WriteSynced(path, source, head);
    if (!written.ok()) {
        LogFailure(operation, written);
        return false;
    }
    entry->bodyInPlace = true;
    if (source.fd < 0) entry->bodySize = static_cast<int64_t>(source.size);
    return true;
}

}  // namespace

bool WriteMQBody(MQContext* entry, const void* body, size_t size) {
    return mqstore::Guarded("WriteMQBody", false, [&] {
        if (body == nullptr && size > 0) {
            LogFailure("WriteMQBody", "no body");
            return false;
        }
        mqdurable::Source source;
        source.data = body;
        source.size = size;
        return WriteBody(entry, source, "WriteMQBody");
    });
}

bool WriteMQBodyFd(MQContext* entry, int fd) {
    return mqstore::Guarded("WriteMQBodyFd", false, [&] {
        if (fd < 0) {
            LogFailure("WriteMQBodyFd", "no file descriptor");
            return false;
        }
        mqdurable::Source source;
        source.fd = fd;
        return WriteBody(entry, source, "WriteMQBodyFd");
    });
}

// The exported calls: no exception (a failed allocation above all) ever
// leaves the store; each becomes the call's failure result, logged.

bool MQInit(const char* ldap, const char* appname) {
    return mqstore::Guarded("MQInit", false, [&] { return MQInitImpl(ldap, appname); });
}

MQContext* OpenMQChannel(const char* channel) {
    return mqstore::Guarded("OpenMQChannel", static_cast<MQContext*>(nullptr),
                            [&] { return OpenMQChannelImpl(channel); });
}

unsigned long GetFirstMessage(MQContext* handle, bool bWait) {
    return mqstore::Guarded("GetFirstMessage", 0ul,
                            [&] { return GetFirstMessageImpl(handle, bWait); });
}

unsigned long GetNextMessage(MQContext* handle, bool bWait) {
    return mqstore::Guarded("GetNextMessage", 0ul,
                            [&] { return GetNextMessageImpl(handle, bWait); });
}

stEnvelope* GetMQEnvelope(unsigned long id) {
    return mqstore::Guarded("GetMQEnvelope", static_cast<stEnvelope*>(nullptr),
                            [&] { return GetMQEnvelopeImpl(id); });
}

void FreeMQEnvelope(stEnvelope* envelope) {
    mqstore::Guarded("FreeMQEnvelope", [&] { FreeMQEnvelopeImpl(envelope); });
}

char* GetMQPathName(unsigned long id, const char* ext) {
    return mqstore::Guarded("GetMQPathName", static_cast<char*>(nullptr),
                            [&] { return GetMQPathNameImpl(id, ext); });
}

char* GetMQPathName(MQContext* handle, const char* ext) {
    return mqstore::Guarded("GetMQPathName", static_cast<char*>(nullptr),
                            [&] { return GetMQPathNameImpl(handle, ext); });
}

bool RemoveMQChannel(MQContext* handle) {
    return mqstore::Guarded("RemoveMQChannel", false, [&] { return RemoveMQChannelImpl(handle); });
}

bool CloseMQChannel(MQContext* handle) {
    return mqstore::Guarded("CloseMQChannel", false, [&] { return CloseMQChannelImpl(handle); });
}

MQContext* CreateMQEntry() {
    return mqstore::Guarded("CreateMQEntry", static_cast<MQContext*>(nullptr),
                            [&] { return CreateMQEntryImpl(); });
}

bool InsertMQChannel(MQContext* entry, const char* channel, int iFlags) {
    return mqstore::Guarded("InsertMQChannel", false,
                            [&] { return InsertMQChannelImpl(entry, channel, iFlags); });
}

bool PutMQEnvelope(MQContext* entry, stEnvelope* envelope) {
    return mqstore::Guarded("PutMQEnvelope", false,
                            [&] { return PutMQEnvelopeImpl(entry, envelope); });
}

bool CloseMQEntry(MQContext* entry) {
    return mqstore::Guarded("CloseMQEntry", false, [&] { return CloseMQEntryImpl(entry); });
}

void DiscardMQEntry(MQContext* entry) {
    mqstore::Guarded("DiscardMQEntry", [&] { DiscardMQEntryImpl(entry); });
}

bool MQLastCallFailed() { return mqstore::t_callFailed; }
