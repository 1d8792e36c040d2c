// mqclient.cpp - cMQ, the queue client: the transfer of messages between the
// message model and the queue store's envelopes.
//
// The store's handles and envelopes live in untyped fields (the class layout
// is fixed); each is set to null as soon as it designates nothing, so that a
// call made out of the usual order (a second DelMsg, a second
// CloseMQChannel, a GetMsg after a close) has nothing to release twice.
#include "mqclient.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "mq.h"
#include "mqput.h"
#include "mqconfig.h"
#include "mqresult.h"

namespace {

const char kMsgExt[] = ".msg";

// The one empty string of every envelope field the client leaves empty. The
// store copies what it needs during PutMQEnvelope and never writes to it.
char kEmpty[] = "";

// IsRegistered - true when channel names a record of the store's channel
// list, letter case ignored. The walk moves the list's shared cursor, so it
// holds OneMQ.csQList from Reset to the end.
bool IsRegistered(const char* channel) {
    if (channel == nullptr) return false;
    const size_t len = std::strlen(channel);
    clLockGuard hold(OneMQ.csQList);
    OneMQ.myQList.Reset();
    for (MQchannelDBStr* rec = OneMQ.myQList.Next(); rec != nullptr;
         rec = OneMQ.myQList.Next()) {
        // Bounded: a record filled to its last byte must not be read past.
        const size_t recLen = strnlen(rec->szQueue, sizeof rec->szQueue);
        if (recLen == len && strncasecmp(rec->szQueue, channel, len) == 0) return true;
    }
    return false;
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
// MQ_ERR_NO_SENDER, MQ_ERR_NO_RECIPIENT or MQ_ERR_NO_MEMORY.
int BuildEnvelope(cMessage* message, OutgoingEnvelope* out) {
    cEnvHeader* senders = message != nullptr ? message->getFrom() : nullptr;
    if (senders == nullptr) return MQ_ERR_NO_SENDER;
    cUserInfo* sender = senders->getFirst();
    if (sender == nullptr || sender->getLan_addr() == nullptr) return MQ_ERR_NO_SENDER;
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
        rc = out->AddRecipient(u->getLan_addr());
        if (rc != MQ_SUCCESS) return rc;
        ++count;
    }
    // A message for nobody would sit in the queue undeliverable.
    return count > 0 ? MQ_SUCCESS : MQ_ERR_NO_RECIPIENT;
}

// AddUsers - appends to header one new user per record of records, holding
// the record's address (when the address check takes it) and, withQueue,
// its queue name; each user goes into made, which owns it. Returns false
// when memory runs out (the users made so far stay in made).
template <typename Record>
bool AddUsers(cList<Record*>& records, bool withQueue, cEnvHeader* header,
              std::vector<std::unique_ptr<cUserInfo>>* made) {
    records.Reset();
    for (Record* rec = records.Next(); rec != nullptr; rec = records.Next()) {
        std::unique_ptr<cUserInfo> user(new (std::nothrow) cUserInfo);
        if (!user) return false;
        // A refused address leaves the user without one, still listed: the
        // caller sees that the envelope held a party it can't address.
        if (user->setLan_addr(rec->address) == MQ_ERR_NO_MEMORY) return false;
        if (withQueue && user->setQueueName(rec->szQueue) != MQ_SUCCESS) return false;
        cUserInfo* raw = user.get();
        try {
            made->push_back(std::move(user));
        } catch (const std::bad_alloc&) {
            return false;
        }
        // A user silently missing from its header would pass for a complete
        // message with fewer recipients.
        if (header->add(raw) != MQ_SUCCESS) return false;
    }
    return true;
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
    from.delAll();
    to.delAll();
    delete msg;
    msg = nullptr;
    madeUsers.clear();
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
    if (!IsRegistered(in)) return MQ_ERR_NO_CHANNEL;
    MQContext* entry = CreateMQEntry();
    inMQ = entry;
    if (entry == nullptr) return MQ_ERR_CREATE_ENTRY;

    int rc;
    {
        OutgoingEnvelope envelope;
        rc = BuildEnvelope(message, &envelope);
        if (rc == MQ_SUCCESS && !InsertMQChannel(entry, in, 0)) rc = MQ_ERR_INSERT_CHANNEL;
        if (rc == MQ_SUCCESS && !PutMQEnvelope(entry, envelope.get())) rc = MQ_ERR_PUT_ENVELOPE;
    }
    if (rc == MQ_SUCCESS) {
        // The old path named an earlier entry's file: a caller must never be
        // handed it for this one, so it goes whatever happens next.
        std::free(path);
        path = nullptr;
        putPath.clear();
        const char* storePath = GetMQPathName(entry, kMsgExt);
        if (storePath == nullptr) {
            rc = MQ_ERR_CLOSE_ENTRY;  // the body would have nowhere to go
        } else {
            try {
                putPath = storePath;
                path = strdup(storePath);
            } catch (const std::bad_alloc&) {
            }
            if (path == nullptr) {
                putPath.clear();
                rc = MQ_ERR_NO_MEMORY;
            }
        }
    }
    if (rc == MQ_SUCCESS && CloseMQEntry(entry)) {
        inMQ = nullptr;  // the store freed the handle
        return MQ_SUCCESS;
    }
    if (rc == MQ_SUCCESS) rc = MQ_ERR_CLOSE_ENTRY;
    DiscardMQEntry(entry);
    inMQ = nullptr;
    return rc;
}

cMessage* cMQ::GetMsg(const char* out) {
    if (!IsRegistered(out)) {
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
    myEnv = GetMQEnvelope(id);
    if (myEnv == nullptr) {
        EmptyMessage();
        return nullptr;
    }
    EmptyMessage();
    const char* msgPath = GetMQPathName(id, kMsgExt);
    if (!FillMessage(false) || msgPath == nullptr || msg->setMsgpath(msgPath) != MQ_SUCCESS) {
        // A message without its file or with users missing is no message.
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
    // Every call starts from the path the store gave, so that one extension
    // never leaks into the next request and ".msg" names the message file
    // again after another extension.
    std::memcpy(path, putPath.c_str(), putPath.size() + 1);
    if (strcasecmp(ext, kMsgExt) == 0) return path;
    const size_t len = putPath.size();
    if (len < 3) return nullptr;  // no extension to replace
    // Up to three characters after the dot; a shorter extension is copied
    // with its terminator, so the path ends where the extension does.
    const char* tail = ext + 1;
    const size_t n = strnlen(tail, 3);
    std::memcpy(path + len - 3, tail, n);
    path[len - 3 + n] = '\0';
    return path;
}

// EmptyMessage - unhooks the message's headers and path, empties the cMQ's
// headers and destroys the users made for them.
void cMQ::EmptyMessage() {
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
    from.delAll();
    to.delAll();
    madeUsers.clear();
}

// DropMessage - destroys the message object, as an unknown channel name
// does; EnsureMessage makes a new one when it is next needed.
void cMQ::DropMessage() {
    delete msg;
    msg = nullptr;
    from.delAll();
    to.delAll();
    madeUsers.clear();
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
    if (!AddUsers(env->caFrom, withQueue, &from, &madeUsers) ||
        !AddUsers(env->caTo, withQueue, &to, &madeUsers)) {
        return false;
    }
    msg->setFrom(&from);
    msg->setTo(&to);
    return true;
}

namespace {

// PutEntryWithBody - the one-call put: entry, channel and envelope as PutMsg
// makes them, then writeBody has the store write the body, then the
// commit. *handle holds the entry while it is open (the cMQ's inMQ).
// Returns MQ_SUCCESS or a result code, with the entry discarded.
template <typename WriteBody>
int PutEntryWithBody(cMessage* message, const char* in, WriteBody writeBody, void** handle) {
    if (!IsRegistered(in)) return MQ_ERR_NO_CHANNEL;
    MQContext* entry = CreateMQEntry();
    *handle = entry;
    if (entry == nullptr) return MQ_ERR_CREATE_ENTRY;
    int rc;
    {
        OutgoingEnvelope envelope;
        rc = BuildEnvelope(message, &envelope);
        if (rc == MQ_SUCCESS && !InsertMQChannel(entry, in, 0)) rc = MQ_ERR_INSERT_CHANNEL;
        if (rc == MQ_SUCCESS && !PutMQEnvelope(entry, envelope.get())) rc = MQ_ERR_PUT_ENVELOPE;
    }
    if (rc == MQ_SUCCESS && !writeBody(entry)) rc = MQ_ERR_FILE;
    if (rc == MQ_SUCCESS && CloseMQEntry(entry)) {
        *handle = nullptr;  // the store freed the handle
        return MQ_SUCCESS;
    }
    if (rc == MQ_SUCCESS) rc = MQ_ERR_CLOSE_ENTRY;
    DiscardMQEntry(entry);  // removes the body written, too
    *handle = nullptr;
    return rc;
}

}  // namespace

int cMQ::PutMsgBody(cMessage* message, const char* in, const void* body, size_t size) {
    // No path to rename to: an earlier put's must not pass for this one's.
    std::free(path);
    path = nullptr;
    return PutEntryWithBody(
        message, in, [body, size](MQContext* entry) { return WriteMQBody(entry, body, size); },
        &inMQ);
}

int cMQ::PutMsgBodyFd(cMessage* message, const char* in, int fd) {
    std::free(path);
    path = nullptr;
    return PutEntryWithBody(
        message, in, [fd](MQContext* entry) { return WriteMQBodyFd(entry, fd); }, &inMQ);
}
