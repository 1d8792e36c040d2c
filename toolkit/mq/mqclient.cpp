// mqclient.cpp - cMQ, the queue client: the transfer of messages between the
// message model and the queue store's envelopes.
//
// The store's handles and envelopes live in untyped fields (the class layout
// is fixed); each is set to null as soon as it designates nothing, so that a
// call made out of the usual order (a second DelMsg, a second
// CloseMQChannel, a GetMsg after a close) has nothing to release twice.
#include "mqclient.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "addrchars.h"
#include "log.h"
#include "mq.h"
#include "durable.h"
#include "mqput.h"
#include "mqconfig.h"
#include "mqresult.h"
#include "registered.h"

namespace {

const char kMsgExt[] = ".msg";

// The one empty string of every envelope field the client leaves empty. The
// store copies what it needs during PutMQEnvelope and never writes to it.
char kEmpty[] = "";

// WarnUnregistered - logs, once per channel name (letter case ignored) in
// this process, that a reader asked for a channel the store's list lacks:
// otherwise a misspelled channel looks exactly like an empty queue. Never
// throws; a name that can't be remembered is warned about again.
void WarnUnregistered(const char* channel) {
    static std::mutex lock;
    static std::set<std::string> warned;
    try {
        std::string key = channel != nullptr ? channel : "";
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!warned.insert(key).second) return;
        }
        LogMessage(MQLOG_WARNING, "API_MQ",
                   ("GetMsg: channel \"" + std::string(channel != nullptr ? channel : "(null)") +
                    "\" is not in the channel list; nothing will ever be waiting in it")
                       .c_str());
    } catch (...) {
        // No memory for the text: the warning is dropped, the call goes on.
    }
}

// The envelope PutMsg builds, and the owner of its records: whatever step
// fails, the records go with it (the lists themselves never own them).
class OutgoingEnvelope {
public:
    OutgoingEnvelope() = default;
    ~OutgoingEnvelope() { Release(); }
    OutgoingEnvelope(const OutgoingEnvelope&) = delete;
    OutgoingEnvelope& operator=(const OutgoingEnvelope&) = delete;

    stEnvelope* get() { return &env_; }

    // AddSender / AddRecipient - append a record for address. Return
    // MQ_SUCCESS, or MQ_ERR_NO_MEMORY when the record or its list node
    // can't be allocated (nothing is then appended).
    int AddSender(char* address) {
        std::unique_ptr<_envFrom> rec(new (std::nothrow) _envFrom);
        if (!rec) return MQ_ERR_NO_MEMORY;
        *rec = _envFrom{address, kEmpty, 0, 0, kEmpty, kEmpty};
        if (env_.caFrom.Add(rec.get()) == nullptr) return MQ_ERR_NO_MEMORY;
        rec.release();
        return MQ_SUCCESS;
    }
    int AddRecipient(char* address) {
        std::unique_ptr<_envRecip> rec(new (std::nothrow) _envRecip);
        if (!rec) return MQ_ERR_NO_MEMORY;
        *rec = _envRecip{address, kEmpty, 0, kEmpty, kEmpty};
        if (env_.caTo.Add(rec.get()) == nullptr) return MQ_ERR_NO_MEMORY;
        rec.release();
        return MQ_SUCCESS;
    }

    // Release - destroys every record, recipients first, and empties both
    // lists.
    void Release() {
        env_.caTo.Reset();
        for (_envRecip* r = env_.caTo.Next(); r != nullptr; r = env_.caTo.Next()) delete r;
        env_.caTo.Clear();
        env_.caFrom.Reset();
        for (_envFrom* f = env_.caFrom.Next(); f != nullptr; f = env_.caFrom.Next()) delete f;
        env_.caFrom.Clear();
    }

private:
    stEnvelope env_;
};

// BuildEnvelope - one sender record from the first sender, one recipient
// record per recipient, in header order. Returns MQ_SUCCESS,
// MQ_ERR_NO_SENDER, MQ_ERR_NO_RECIPIENT, MQ_ERR_NO_MEMORY, or
// MQ_ERR_BAD_ADDRESS for an address holding a control character (addrchars.h).
int BuildEnvelope(cMessage* message, OutgoingEnvelope* out) {
    cEnvHeader* senders = message != nullptr ? message->getFrom() : nullptr;
    if (senders == nullptr) return MQ_ERR_NO_SENDER;
    cUserInfo* sender = senders->getFirst();
    if (sender == nullptr || sender->getLan_addr() == nullptr) return MQ_ERR_NO_SENDER;
    if (mqcommon::FirstControlCharacter(sender->getLan_addr()) >= 0) return MQ_ERR_BAD_ADDRESS;
    int rc = out->AddSender(sender->getLan_addr());
    if (rc != MQ_SUCCESS) return rc;

    cEnvHeader* recipients = message->getTo();
    if (recipients == nullptr) return MQ_ERR_NO_RECIPIENT;
    recipients->getFirst();
    int count = 0;
    for (cUserInfo* u = recipients->getNext(); u != nullptr; u = recipients->getNext()) {
        // One recipient without an address stops the whole put: delivering
        // to the others only would pass for a complete put.
        if (u->getLan_addr() == nullptr) return MQ_ERR_NO_RECIPIENT;
        if (mqcommon::FirstControlCharacter(u->getLan_addr()) >= 0) return MQ_ERR_BAD_ADDRESS;
        rc = out->AddRecipient(u->getLan_addr());
        if (rc != MQ_SUCCESS) return rc;
        ++count;
    }
    // A message for nobody would sit in the queue undeliverable.
    return count > 0 ? MQ_SUCCESS : MQ_ERR_NO_RECIPIENT;
}

// AddUsers - appends to header one new user per record of records, holding
// the record's address (when the address check takes it) and, withQueue,
// its queue name. The header's users are the cMQ's own: DestroyUsers
// releases them. Returns false when memory runs out (the users listed so
// far stay listed).
template <typename Record>
bool AddUsers(cList<Record*>& records, bool withQueue, cEnvHeader* header) {
    records.Reset();
    for (Record* rec = records.Next(); rec != nullptr; rec = records.Next()) {
        std::unique_ptr<cUserInfo> user(new (std::nothrow) cUserInfo);
        if (!user) return false;
        // A refused address leaves the user without one, still listed: the
        // caller sees that the envelope held a party it can't address.
        if (user->setLan_addr(rec->address) == MQ_ERR_NO_MEMORY) return false;
        if (withQueue && user->setQueueName(rec->szQueue) != MQ_SUCCESS) return false;
        // A user silently missing from its header would pass for a complete
        // message with fewer recipients.
        if (header->add(user.get()) != MQ_SUCCESS) return false;
        user.release();
    }
    return true;
}

// ExtensionDot - the dot that begins the extension of a path's file name
// (its first dot: the store's message files are "<id>.msg"), or null.
char* ExtensionDot(char* path) {
    char* name = std::strrchr(path, '/');
    return std::strchr(name != nullptr ? name : path, '.');
}

// EntryIdOf - the entry identifier a message path's file name ("<id>.msg")
// gives, 0 when it gives none.
unsigned long EntryIdOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    if (*name < '1' || *name > '9') return 0;
    uint64_t id = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        id = id * 10 + static_cast<uint64_t>(*name - '0');
        if (id > 0xFFFFFFFFull) return 0;
    }
    return *name == '.' ? static_cast<unsigned long>(id) : 0;
}

// EnsureMessageFile - asks the store for the message file of the entry
// path names, which writes it when the store keeps the body in the entry's
// commit and has not written it yet (or it may be stale). False when the
// store can't: the path would name no whole file. A path that names no
// entry is left to the caller as it is.
bool EnsureMessageFile(const char* path) {
    unsigned long id = EntryIdOf(path);
    return id == 0 || GetMQPathName(id, kMsgExt) != nullptr;
}

// CopyPutPath - a malloc'ed copy of the store's path for GetMsgDest, with
// room for three characters and a NUL after the extension's dot whatever the
// store's path ends in. Null when memory runs out.
char* CopyPutPath(const char* storePath) {
    const size_t len = std::strlen(storePath);
    char* copy = static_cast<char*>(std::malloc(len + 4));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, storePath, len + 1);
    return copy;
}

// DestroyUsers - destroys the users one of the cMQ's own headers lists (each
// made by AddUsers and listed once), then empties the header. The walk reads
// list nodes only, never a destroyed user.
void DestroyUsers(cEnvHeader* header) {
    header->getFirst();
    for (cUserInfo* u = header->getNext(); u != nullptr; u = header->getNext()) delete u;
    header->delAll();
}

// StartPut - the start of every put: checks that channel in is registered,
// creates the entry (into *entry and *handle, the cMQ's inMQ), and gives it
// the channel and message's envelope. Returns MQ_SUCCESS or a result code;
// *entry stays null when no entry was made, and otherwise holds the entry
// still open, which EndPut then commits or discards.
int StartPut(cMessage* message, const char* in, void** handle, MQContext** entry) {
    *entry = nullptr;
    if (!mqshared::IsRegisteredChannel(OneMQ.myQList, OneMQ.csQList, in)) return MQ_ERR_NO_CHANNEL;
    *entry = CreateMQEntry();
    *handle = *entry;
    if (*entry == nullptr) return MQ_ERR_CREATE_ENTRY;
    OutgoingEnvelope envelope;
    int rc = BuildEnvelope(message, &envelope);
    if (rc == MQ_SUCCESS && !InsertMQChannel(*entry, in, 0)) rc = MQ_ERR_INSERT_CHANNEL;
    if (rc == MQ_SUCCESS && !PutMQEnvelope(*entry, envelope.get())) rc = MQ_ERR_PUT_ENVELOPE;
    return rc;
}

// EndPut - commits entry when rc is MQ_SUCCESS, and discards it (with any
// body the store wrote) otherwise or when the commit fails. Either way the
// store frees the handle, so *handle is cleared. Returns MQ_SUCCESS or the
// result code.
int EndPut(int rc, MQContext* entry, void** handle) {
    if (rc == MQ_SUCCESS && CloseMQEntry(entry)) {
        *handle = nullptr;
        return MQ_SUCCESS;
    }
    if (rc == MQ_SUCCESS) rc = MQ_ERR_CLOSE_ENTRY;
    DiscardMQEntry(entry);
    *handle = nullptr;
    return rc;
}

}  // namespace

cMQ::cMQ()
    : count(0),
      initial(true),
      appname(nullptr),
      inMQ(nullptr),
      outMQ(nullptr),
      myEnv(nullptr),
      msg(new cMessage),
      path(nullptr),
      bDelete(false),
      idx(0) {}

cMQ::~cMQ() {
    DestroyUsers(&from);
    DestroyUsers(&to);
    delete msg;
    msg = nullptr;
    std::free(appname);
    std::free(path);
    // The store's envelope and read handle would otherwise outlive the
    // object, and the handle's entries stay leased until the process ends.
    ReleaseEnvelope();
    if (outMQ != nullptr) ::CloseMQChannel(static_cast<MQContext*>(outMQ));
}

int cMQ::OpenMQChannel(const char* app, const char* ldap) {
    // The store takes its strings the other way round.
    if (!MQInit(ldap, app)) return MQ_ERR_INIT;
    char* copy = app != nullptr ? strdup(app) : nullptr;
    std::free(appname);
    appname = copy;
    return MQ_SUCCESS;
}

int cMQ::CloseMQChannel() {
    if (outMQ == nullptr) return MQ_SUCCESS;
    if (!::CloseMQChannel(static_cast<MQContext*>(outMQ))) return MQ_ERR_CLOSE_CHANNEL;
    // The store freed the handle; reading again opens the channel anew.
    outMQ = nullptr;
    initial = true;
    return MQ_SUCCESS;
}

int cMQ::DelMsg() {
    if (myEnv == nullptr) return MQ_ERR_REMOVE;
    // Only the entry the last GetMsg returned, not yet removed, is current;
    // an envelope GetMsgEnv read beside it is released all the same.
    const bool current = outMQ != nullptr && idx != 0 && !bDelete;
    ReleaseEnvelope();
    if (!current) return MQ_ERR_REMOVE;
    if (!RemoveMQChannel(static_cast<MQContext*>(outMQ))) return MQ_ERR_REMOVE;
    bDelete = true;
    return MQ_SUCCESS;
}

char* cMQ::GetPathName(unsigned long id, const char* ext) {
    (void)ext;  // message files are always asked for, as GetMsg and PutMsg do
    return GetMQPathName(id, kMsgExt);
}

int cMQ::PutMsg(cMessage* message, const char* in) {
    MQContext* entry = nullptr;
    int rc = StartPut(message, in, &inMQ, &entry);
    if (entry == nullptr) return rc;
    if (rc == MQ_SUCCESS) {
        // The old path named an earlier entry's file: a caller must never be
        // handed it for this one, so it goes whatever happens next.
        std::free(path);
        path = nullptr;
        const char* storePath = GetMQPathName(entry, kMsgExt);
        if (storePath == nullptr) {
            rc = MQ_ERR_CLOSE_ENTRY;  // the body would have nowhere to go
        } else {
            path = CopyPutPath(storePath);
            if (path == nullptr) rc = MQ_ERR_NO_MEMORY;
        }
    }
    return EndPut(rc, entry, &inMQ);
}

cMessage* cMQ::GetMsg(const char* out) {
    if (!mqshared::IsRegisteredChannel(OneMQ.myQList, OneMQ.csQList, out)) {
        WarnUnregistered(out);
        DropMessage();
        return nullptr;
    }
    if (!EnsureMessage()) return nullptr;
    if (initial) {
        outMQ = ::OpenMQChannel(out);
        if (outMQ == nullptr) {
            EmptyMessage();
            return nullptr;
        }
    }
    // Moving on: the previous message is no longer current.
    ReleaseEnvelope();
    MQContext* handle = static_cast<MQContext*>(outMQ);
    unsigned long id;
    if (initial) {
        id = GetFirstMessage(handle, false);
        initial = false;
    } else {
        id = GetNextMessage(handle, false);
        bDelete = false;
    }
    idx = static_cast<uint32_t>(id);
    if (id == 0) {
        EmptyMessage();
        return nullptr;
    }
    // An envelope that can't be read is left in the store, not removed: a
    // failed read (a busy or damaged database) must not delete mail. The
    // store offers the entry again once this handle closes.
    // Nor may a DelMsg after it remove that entry, which the caller never
    // saw: nothing is current until a GetMsg returns a message.
    myEnv = GetMQEnvelope(id);
    if (myEnv == nullptr) {
        idx = 0;
        EmptyMessage();
        return nullptr;
    }
    EmptyMessage();
    const char* msgPath = GetMQPathName(id, kMsgExt);
    if (!FillMessage(false) || msgPath == nullptr || msg->setMsgpath(msgPath) != MQ_SUCCESS) {
        // A message without its file or with users missing is no message.
        idx = 0;
        EmptyMessage();
        ReleaseEnvelope();
        return nullptr;
    }
    return msg;
}

cMessage* cMQ::GetMsgEnv(unsigned long id) {
    if (!EnsureMessage()) return nullptr;
    stEnvelope* env = GetMQEnvelope(id);
    if (env == nullptr) return nullptr;  // the current envelope stays current
    ReleaseEnvelope();
    myEnv = env;
    if (!FillMessage(true)) {
        EmptyMessage();
        ReleaseEnvelope();
        return nullptr;
    }
    return msg;
}

char* cMQ::GetMsgDest(const char* ext) {
    if (path == nullptr || ext == nullptr || ext[0] == '\0') return nullptr;
    // Up to three characters after ext's first; a shorter extension is
    // copied with its terminator, so the path ends where the extension does.
    // A '/' would name a file in another directory: refused.
    const char* tail = ext + 1;
    const size_t n = strnlen(tail, 3);
    if (std::memchr(tail, '/', n) != nullptr) return nullptr;
    // Every call starts from the store's path, "<dir>/<id>.msg": the
    // extension begins after the first dot of the file name, however an
    // earlier call rewrote or shortened it, so ".msg" names the message file
    // again and one extension never leaks into the next.
    char* dot = ExtensionDot(path);
    if (strcasecmp(ext, kMsgExt) == 0) {
        if (dot != nullptr) std::memcpy(dot + 1, kMsgExt + 1, sizeof kMsgExt - 1);
        // The caller reads or writes the file next: one the store keeps in
        // the entry's commit is written now, when its path is asked for,
        // not at the put. No path rather than one to no file.
        return EnsureMessageFile(path) ? path : nullptr;
    }
    if (dot == nullptr) return nullptr;  // no extension to replace
    char* extStart = dot + 1;
    std::memcpy(extStart, tail, n);
    extStart[n] = '\0';
    return path;
}

// EmptyMessage - unhooks the message's headers and path, empties the cMQ's
// headers and destroys the users made for them.
void cMQ::EmptyMessage() {
    // The users first: the message's headers are (normally) the cMQ's own,
    // and unhooking them below empties them.
    DestroyUsers(&from);
    DestroyUsers(&to);
    if (msg != nullptr) {
        if (msg->getFrom() != nullptr) {
            msg->getFrom()->delAll();
            msg->setFrom(nullptr);
        }
        if (msg->getTo() != nullptr) {
            msg->getTo()->delAll();
            msg->setTo(nullptr);
        }
        msg->setMsgpath(nullptr);
    }
}

// DropMessage - destroys the message object, as an unknown channel name
// does; EnsureMessage makes a new one when it is next needed.
void cMQ::DropMessage() {
    DestroyUsers(&from);
    DestroyUsers(&to);
    delete msg;
    msg = nullptr;
}

// EnsureMessage - makes a new empty message object if there is none.
// Returns false when it can't be allocated.
bool cMQ::EnsureMessage() {
    if (msg == nullptr) msg = new (std::nothrow) cMessage;
    return msg != nullptr;
}

// ReleaseEnvelope - gives the current envelope back to the store.
void cMQ::ReleaseEnvelope() {
    if (myEnv == nullptr) return;
    FreeMQEnvelope(static_cast<stEnvelope*>(myEnv));
    myEnv = nullptr;
}

// FillMessage - appends one user per record of myEnv to the cMQ's headers
// (with queue names when withQueue) and hangs the headers on the message.
// Returns false when memory runs out.
bool cMQ::FillMessage(bool withQueue) {
    stEnvelope* env = static_cast<stEnvelope*>(myEnv);
    if (!AddUsers(env->caFrom, withQueue, &from) || !AddUsers(env->caTo, withQueue, &to)) {
        return false;
    }
    msg->setFrom(&from);
    msg->setTo(&to);
    return true;
}

// The one-call put's store calls are newer than the old interface: the
// toolkit refers to them weakly, so that it still loads and runs on a site's
// own store, where PutMsgBody falls back on PutMsg and the rename pattern.
bool WriteMQBody(MQContext* entry, const void* body, size_t size) __attribute__((weak));
bool WriteMQBodyFd(MQContext* entry, int fd) __attribute__((weak));

namespace {

// PutThenRename - PutMsgBody on a store without the one-call put: PutMsg,
// then the body by the rename pattern through the durable-file module. A
// body that can't be written then leaves the committed entry without it
// (MQ_ERR_FILE), as with PutMsg and a failed rename.
int PutThenRename(cMQ* mq, cMessage* message, const char* in, const mqdurable::Source& body) {
    int rc = mq->PutMsg(message, in);
    if (rc != MQ_SUCCESS) return rc;
    try {
        std::string tmp = mq->GetMsgDest(".tmp");
        std::string final = mq->GetMsgDest(".msg");
        mq::Status status = mqdurable::Replace(tmp, final, body);
        if (!status.ok()) {
            LogMessage(MQLOG_ERROR, "API_MQ", ("PutMsgBody: " + status.Cause()).c_str());
            return MQ_ERR_FILE;
        }
        return MQ_SUCCESS;
    } catch (...) {
        return MQ_ERR_NO_MEMORY;
    }
}

// PutEntryWithBody - the one-call put: entry, channel and envelope as PutMsg
// makes them, then writeBody has the store write the body, then the
// commit. *handle holds the entry while it is open (the cMQ's inMQ). On
// success *path (freed first) is a copy of the new entry's message path, or
// null when memory ran out. Returns MQ_SUCCESS or a result code, with the
// entry discarded.
template <typename WriteBody>
int PutEntryWithBody(cMessage* message, const char* in, WriteBody writeBody, void** handle,
                     char** path) {
    MQContext* entry = nullptr;
    int rc = StartPut(message, in, handle, &entry);
    if (entry == nullptr) return rc;
    if (rc == MQ_SUCCESS && !writeBody(entry)) rc = MQ_ERR_FILE;
    // The entry's file, for the caller to name it (GetMsgDest): asked before
    // the commit, which frees the handle.
    char* copy = nullptr;
    if (rc == MQ_SUCCESS) {
        const char* storePath = GetMQPathName(entry, kMsgExt);
        if (storePath != nullptr) copy = CopyPutPath(storePath);
    }
    rc = EndPut(rc, entry, handle);
    if (rc != MQ_SUCCESS) {
        std::free(copy);
        return rc;
    }
    std::free(*path);
    *path = copy;
    return MQ_SUCCESS;
}

}  // namespace

int cMQ::PutMsgBody(cMessage* message, const char* in, const void* body, size_t size) {
    int rc;
    if (WriteMQBody != nullptr) {
        rc = PutEntryWithBody(
            message, in,
            [body, size](MQContext* entry) { return WriteMQBody(entry, body, size); }, &inMQ,
            &path);
        if (rc == MQ_SUCCESS) return rc;
    } else {
        mqdurable::Source source;
        source.data = body;
        source.size = size;
        rc = PutThenRename(this, message, in, source);
        if (rc == MQ_SUCCESS) return rc;
    }
    // The put failed: an earlier put's path must not pass for this one's.
    std::free(path);
    path = nullptr;
    return rc;
}

int cMQ::PutMsgBodyFd(cMessage* message, const char* in, int fd) {
    int rc;
    if (WriteMQBodyFd != nullptr) {
        rc = PutEntryWithBody(
            message, in, [fd](MQContext* entry) { return WriteMQBodyFd(entry, fd); }, &inMQ,
            &path);
        if (rc == MQ_SUCCESS) return rc;
    } else {
        mqdurable::Source source;
        source.fd = fd;
        rc = PutThenRename(this, message, in, source);
        if (rc == MQ_SUCCESS) return rc;
    }
    std::free(path);
    path = nullptr;
    return rc;
}
