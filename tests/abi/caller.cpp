// caller.cpp - an application built from declared.h alone, linked against
// the toolkit and its four platform layers. Linking proves that every name
// the old interface declares is exported with its documented types; running
// it puts one message through the queue with objects laid out as the old
// interface lays them out, and checks that the library's constructors and
// destructors stay inside them.
//
// usage: caller CHANNEL    (MQ_CONFIG_DIR names a directory whose daduv.ini
//                           has an InstallDirectory with CHANNEL registered)
// Prints "caller: ok" and exits 0, or says what failed and exits 1.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "declared.h"

namespace {

// The sizes and field offsets an application compiled from declared.h
// relies on, for the two architectures the library is built for.
#if defined(__x86_64__)
static_assert(sizeof(cMQ) == 128, "cMQ");
static_assert(sizeof(cChannel) == 152, "cChannel");
static_assert(sizeof(cEnvHeader) == 32 && sizeof(cMessage) == 24 && sizeof(cUserInfo) == 24,
              "message model");
static_assert(sizeof(cList<cUserInfo*>) == 24 && sizeof(cList<cUserInfo*>::st) == 16, "cList");
static_assert(sizeof(stEnvelope) == 64 && sizeof(_envFrom) == 40 && sizeof(_envRecip) == 40,
              "envelope");
static_assert(sizeof(MQchannelDBStr) == 296, "MQchannelDBStr");
static_assert(sizeof(attrval) == 592 && sizeof(SearchReq) == 272, "directory records");
#elif defined(__i386__)
static_assert(sizeof(cMQ) == 72, "cMQ");
static_assert(sizeof(cChannel) == 140, "cChannel");
static_assert(sizeof(cEnvHeader) == 16 && sizeof(cMessage) == 12 && sizeof(cUserInfo) == 12,
              "message model");
static_assert(sizeof(cList<cUserInfo*>) == 12 && sizeof(cList<cUserInfo*>::st) == 8, "cList");
static_assert(sizeof(stEnvelope) == 36 && sizeof(_envFrom) == 24 && sizeof(_envRecip) == 20,
              "envelope");
static_assert(sizeof(MQchannelDBStr) == 296, "MQchannelDBStr");
static_assert(sizeof(attrval) == 584 && sizeof(SearchReq) == 264, "directory records");
#else
#error "the old interface is laid out for i386 and x86_64 only"
#endif

int failures = 0;

void Fail(const char* what) {
    std::fprintf(stderr, "caller: %s\n", what);
    ++failures;
}

// A buffer that holds one object of size n followed by guard bytes; Intact
// tells whether anything wrote past the object.
template <size_t n>
struct Guarded {
    static constexpr size_t kGuard = 256;
    alignas(16) unsigned char bytes[n + kGuard];

    Guarded() { std::memset(bytes, 0xA5, sizeof bytes); }
    void* place() { return bytes; }
    bool Intact() const {
        for (size_t i = n; i < sizeof bytes; ++i) {
            if (bytes[i] != 0xA5) return false;
        }
        return true;
    }
};

// Every exported name, taken by its exact type; never called from here.
struct Referenced {
    int (cMQ::*open)(char*, char*) = &cMQ::OpenMQChannel;
    int (cMQ::*close)() = &cMQ::CloseMQChannel;
    int (cMQ::*del)() = &cMQ::DelMsg;
    char* (cMQ::*pathName)(unsigned long, char*) = &cMQ::GetPathName;
    int (cMQ::*put)(cMessage*, char*) = &cMQ::PutMsg;
    cMessage* (cMQ::*get)(char*) = &cMQ::GetMsg;
    cMessage* (cMQ::*getEnv)(unsigned long) = &cMQ::GetMsgEnv;
    char* (cMQ::*dest)(char*) = &cMQ::GetMsgDest;

    void (cUserInfo::*setName)(char*) = &cUserInfo::setName;
    char* (cUserInfo::*getName)() = &cUserInfo::getName;
    int (cUserInfo::*setAddr)(char*) = &cUserInfo::setLan_addr;
    char* (cUserInfo::*getAddr)() = &cUserInfo::getLan_addr;
    void (cUserInfo::*setQueue)(char*) = &cUserInfo::setQueueName;
    char* (cUserInfo::*getQueue)() = &cUserInfo::getQueueName;

    int (cEnvHeader::*add)(cUserInfo*) = &cEnvHeader::add;
    cUserInfo* (cEnvHeader::*find)(char*) = &cEnvHeader::get;
    int (cEnvHeader::*unlist)(char*) = &cEnvHeader::del;
    int (cEnvHeader::*unlistAll)() = &cEnvHeader::delAll;
    cUserInfo* (cEnvHeader::*first)() = &cEnvHeader::getFirst;
    cUserInfo* (cEnvHeader::*next)() = &cEnvHeader::getNext;
    void (cEnvHeader::*display)() = &cEnvHeader::display;

    void (cMessage::*setFrom)(cEnvHeader*) = &cMessage::setFrom;
    void (cMessage::*setTo)(cEnvHeader*) = &cMessage::setTo;
    cEnvHeader* (cMessage::*getFrom)() = &cMessage::getFrom;
    cEnvHeader* (cMessage::*getTo)() = &cMessage::getTo;
    void (cMessage::*setPath)(char*) = &cMessage::setMsgpath;
    char* (cMessage::*getPath)() = &cMessage::getMsgpath;

    bool (cChannel::*isExist)(char*) = &cChannel::IsExist;
    int (cChannel::*chanAdd)(char*, char*, char*, char) = &cChannel::Add;
    int (cChannel::*chanDel)(char*) = &cChannel::Del;

    DWORD (clLock::*lock)(DWORD) = &clLock::Lock;
    BOOL (clLock::*unlock)() = &clLock::Unlock;

    int (ldapClient::*connect)(char*, int) = &ldapClient::ldapClientConnect;
    int (ldapClient::*bind)(char*, char*) = &ldapClient::ldapClientBind;
    SearchReq* (ldapClient::*search)(char*, int, int, char*, int*) = &ldapClient::ldapClientSearch;
    int (ldapClient::*modify)(char*, attrval*) = &ldapClient::ldapClientModify;
    void (ldapClient::*srchFree)(SearchReq*) = &ldapClient::srch_free;
    void (ldapClient::*unbind)() = &ldapClient::ldapClientUnbind;

    char* (*toDC)(char*) = &ToDC;
    int (*breakDown)(char*, char***) = &BreakDownDomain;
    void (*freeDomains)(int, char**) = &FreeDomainList;
    bool (*addModule)(char*, char*) = &AddModuleName;
    bool (*delModule)(char*, char*) = &DelModuleName;
    bool (*isLineSpace)(char*) = &IsLineSpace;
    void (*parseBuf)(char*, char*, char*) = &ParseBuf;

    bool (*init)(char*, char*) = &MQInit;
    MQContext* (*openChannel)(char*) = &OpenMQChannel;
    unsigned long (*firstMessage)(MQContext*, bool) = &GetFirstMessage;
    unsigned long (*nextMessage)(MQContext*, bool) = &GetNextMessage;
    stEnvelope* (*getEnvelope)(unsigned long) = &GetMQEnvelope;
    void (*freeEnvelope)(stEnvelope*) = &FreeMQEnvelope;
    char* (*idPath)(unsigned long, char*) = &GetMQPathName;
    bool (*remove)(MQContext*) = &RemoveMQChannel;
    bool (*closeChannel)(MQContext*) = &CloseMQChannel;
    MQContext* (*createEntry)() = &CreateMQEntry;
    bool (*insert)(MQContext*, char*, int) = &InsertMQChannel;
    bool (*putEnvelope)(MQContext*, stEnvelope*) = &PutMQEnvelope;
    char* (*entryPath)(MQContext*, char*) = &GetMQPathName;
    bool (*closeEntry)(MQContext*) = &CloseMQEntry;
    void (*discard)(MQContext*) = &DiscardMQEntry;
    MQConfig* config = &OneMQ;

    int (*profile)(char*, char*, char*, char*, int, char*) = &GetPrivateProfileString;
    void (*log)(int, char*, char*) = &LogMessage;
};

// The members of the four list instantiations and the constructors and
// destructors of every class, which can't be named by address: used here,
// in a function that runs only when asked to.
template <class T>
void UseList(T element) {
    cList<T> list;
    list.Add(element);
    list.Reset();
    list.Next();
    list.Delete(element);
    list.Count();
    list.Clear();
}

void UseEverything() {
    UseList<cUserInfo*>(nullptr);
    UseList<_envFrom*>(nullptr);
    UseList<_envRecip*>(nullptr);
    UseList<MQchannelDBStr*>(nullptr);
    clLock lock;
    ldapClient client;
}

// Constructs and destroys an object of type T in a guarded buffer.
template <class T>
void CheckFits(const char* name) {
    Guarded<sizeof(T)> buffer;
    T* object = new (buffer.place()) T;
    object->~T();
    if (!buffer.Intact()) {
        std::fprintf(stderr, "caller: %s wrote past its %zu bytes\n", name, sizeof(T));
        ++failures;
    }
}

bool WriteBody(const char* path, const char* text) {
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr) return false;
    const bool written = std::fputs(text, f) >= 0;
    return std::fclose(f) == 0 && written;
}

// Puts one message into channel and takes it back, as an application of the
// old interface does, every object on the stack in guarded buffers.
void RoundTrip(char* channel) {
    char app[] = "caller";
    char ldap[] = "ldap";  // a setting string, not a file name
    char alice[] = "alice@example.org";
    char bob[] = "bob@example.org";
    char msgExt[] = ".msg";
    char tmpExt[] = ".tmp";

    Guarded<sizeof(cMQ)> mqBuffer;
    cMQ* mq = new (mqBuffer.place()) cMQ;
    if (mq->OpenMQChannel(app, ldap) != 0) {
        Fail("OpenMQChannel with the setting string \"ldap\" failed");
        mq->~cMQ();
        return;
    }
    cUserInfo from;
    cUserInfo to;
    if (from.setLan_addr(alice) != 0 || to.setLan_addr(bob) != 0) Fail("setLan_addr refused");
    cEnvHeader senders;
    cEnvHeader recipients;
    senders.add(&from);
    recipients.add(&to);
    cMessage message;
    message.setFrom(&senders);
    message.setTo(&recipients);

    if (mq->PutMsg(&message, channel) != 0) {
        Fail("PutMsg failed");
    } else {
        char tmp[4096];
        char* dest = mq->GetMsgDest(tmpExt);
        std::snprintf(tmp, sizeof tmp, "%s", dest != nullptr ? dest : "");
        const char* final = mq->GetMsgDest(msgExt);
        if (dest == nullptr || final == nullptr || !WriteBody(tmp, "body\n") ||
            std::rename(tmp, final) != 0) {
            Fail("writing the body by the rename pattern failed");
        }
    }
    cMessage* got = mq->GetMsg(channel);
    if (got == nullptr) {
        Fail("GetMsg returned nothing");
    } else {
        cUserInfo* sender = got->getFrom() != nullptr ? got->getFrom()->getFirst() : nullptr;
        if (sender == nullptr || std::strcmp(sender->getLan_addr(), alice) != 0) {
            Fail("GetMsg's sender is not the one put");
        }
        if (mq->DelMsg() != 0) Fail("DelMsg failed");
    }
    if (mq->CloseMQChannel() != 0) Fail("CloseMQChannel failed");
    mq->~cMQ();
    if (!mqBuffer.Intact()) Fail("cMQ wrote past its declared size");
    message.setFrom(nullptr);
    message.setTo(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    volatile Referenced names;
    (void)names;
    if (argc > 2) UseEverything();  // linked, not run
    if (argc != 2) {
        std::fprintf(stderr, "usage: caller CHANNEL\n");
        return 2;
    }
    CheckFits<cMQ>("cMQ");
    CheckFits<cChannel>("cChannel");
    CheckFits<cMessage>("cMessage");
    CheckFits<cEnvHeader>("cEnvHeader");
    CheckFits<cUserInfo>("cUserInfo");
    RoundTrip(argv[1]);
    if (failures != 0) return 1;
    std::puts("caller: ok");
    return 0;
}
