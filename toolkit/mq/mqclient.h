// mqclient.h - cMQ, one application's use of the queue store: putting
// messages into channels, taking the messages of one channel one by one, and
// looking up envelopes and paths.
//
// Ownership: a cMQ owns its message object (the one GetMsg and GetMsgEnv
// return and refill), its two headers and the users listed in them, its
// application name and its last put path. Every user in the cMQ's own
// headers is one GetMsg or GetMsgEnv made, so emptying a header destroys
// the users it lists; that happens when the message is refilled and in the
// destructor. The caller owns every object it builds for PutMsg. Store
// handles and envelopes are released only through the store, and the fields
// holding them are null whenever they designate nothing.
//
// Layout: exactly the twelve fields below, in this order, as applications of
// the old interface allocate the object; nothing may be added.
//
// Symbol names: the members that take texts take const char* and carry, as
// assembler labels, the names applications of the old interface (char*)
// link to.
//
// Thread safety: one cMQ is used by one thread at a time; separate objects
// may be used on separate threads. Every walk of the store's channel list
// holds OneMQ.csQList.
#ifndef MQ_MQCLIENT_H
#define MQ_MQCLIENT_H

#include <cstddef>
#include <cstdint>

#include "mqmessage.h"
#include "mqtoolkit_export.h"

// Members that are the object's own business, not part of the interface.
#define MQ_CLIENT_INTERNAL __attribute__((visibility("hidden")))

class MQTOOLKIT_EXPORT cMQ {
public:
    cMQ();
    // Destroys the users it made and its message; releases a current
    // envelope and closes a channel still open.
    ~cMQ();
    cMQ(const cMQ&) = delete;
    cMQ& operator=(const cMQ&) = delete;

    // Initialises the queue store for this application. Returns 0, or
    // MQ_ERR_INIT when the store can't be initialised (appname unchanged).
    int OpenMQChannel(const char* appname, const char* ldap)
        __asm__("_ZN3cMQ13OpenMQChannelEPcS0_");
    // Closes the channel GetMsg opened; a later GetMsg opens it again.
    // Returns 0 (also when none is open, without a store call), or
    // MQ_ERR_CLOSE_CHANNEL (the handle stays open and may be closed again).
    int CloseMQChannel();
    // Releases the current envelope and removes the current message from
    // its channel. Returns 0, or MQ_ERR_REMOVE (also when there is no
    // current message: then no store call is made).
    int DelMsg();
    // The store's path of the ".msg" file of entry id (ext is not used);
    // null when the store has none. The text is the store's: not to be freed.
    char* GetPathName(unsigned long id, const char* ext) __asm__("_ZN3cMQ11GetPathNameEmPc");

    // Puts msg into channel in; durable when it returns 0. Returns 0 or a
    // result code; on failure the new entry is discarded.
    int PutMsg(cMessage* msg, const char* in) __asm__("_ZN3cMQ6PutMsgEP8cMessagePc");
    // The next message of channel out, or null (nothing waiting, channel
    // unknown or not openable, envelope unreadable). The message stays the
    // cMQ's, refilled by the next call; the caller must not delete it.
    cMessage* GetMsg(const char* out) __asm__("_ZN3cMQ6GetMsgEPc");
    // The envelope of entry id appended to the cMQ's message, or null when
    // it can't be read (the message is then unchanged). Stays the cMQ's.
    cMessage* GetMsgEnv(unsigned long id);
    // The last put path with its extension replaced by ext (".msg" gives
    // the message file's path back), or null when nothing was put or ext is
    // not a dot and one to three letters or digits. The text is the cMQ's,
    // valid until the next PutMsg. For ".msg" the store is asked for the
    // entry's file first, which writes a body it keeps in the entry's
    // commit (PutMsgBody) to its file: null when it can't.
    char* GetMsgDest(const char* ext) __asm__("_ZN3cMQ10GetMsgDestEPc");

    // Puts msg into channel in together with its body of size bytes: the
    // store makes the body durable with the entry's commit (a small one in
    // the commit itself, its file written when its path is first asked for;
    // a larger one as a file synced before the commit), so that 0 means
    // envelope and body are both durable, and a failure leaves nothing
    // behind. Returns 0 or a result code as PutMsg does, or MQ_ERR_FILE when
    // the body can't be written. Afterwards GetMsgDest(".msg") names the new
    // entry's message file, written by then (null after a failure, and on a
    // store without the one-call put's calls).
    int PutMsgBody(cMessage* msg, const char* in, const void* body, size_t size);
    // As PutMsgBody, with the body read from fd (from its offset to its end).
    int PutMsgBodyFd(cMessage* msg, const char* in, int fd);

private:
    friend struct MQLayoutCheck;  // the tests hold the layout to the old one

    int32_t count;
    bool initial;
    char* appname;
    void* inMQ;
    void* outMQ;
    void* myEnv;
    cMessage* msg;
    cEnvHeader from;
    cEnvHeader to;
    char* path;
    bool bDelete;
    uint32_t idx;

    MQ_CLIENT_INTERNAL void EmptyMessage();
    MQ_CLIENT_INTERNAL void DropMessage();
    MQ_CLIENT_INTERNAL bool EnsureMessage();
    MQ_CLIENT_INTERNAL void ReleaseEnvelope();
    MQ_CLIENT_INTERNAL bool FillMessage(bool withQueue);
};

#undef MQ_CLIENT_INTERNAL

#endif
