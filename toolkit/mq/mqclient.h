// mqclient.h - cMQ, one application's use of the queue store: putting
// messages into channels, taking the messages of one channel one by one, and
// looking up envelopes and paths.
//
// Ownership: a cMQ owns its message object (the one GetMsg and GetMsgEnv
// return and refill), its two headers and the users listed in them, its
// application name and its last put path. The caller owns every object it
// builds for PutMsg. Store handles and envelopes are released only through
// the store.
//
// Thread safety: one cMQ is used by one thread at a time; separate objects
// may be used on separate threads.
#ifndef MQ_MQCLIENT_H
#define MQ_MQCLIENT_H

#include <cstdint>

#include "mqexport.h"
#include "mqmessage.h"

class MQ_EXPORT cMQ {
public:
    cMQ();
    ~cMQ();
    cMQ(const cMQ&) = delete;
    cMQ& operator=(const cMQ&) = delete;

    // Initialises the queue store for this application. Returns 0, or
    // MQ_ERR_INIT when the store can't be initialised.
    int OpenMQChannel(const char* appname, const char* ldap);
    // Closes the channel GetMsg opened. Returns 0 (also when none is open),
    // or MQ_ERR_CLOSE_CHANNEL.
    int CloseMQChannel();
    // Removes the current message from its channel. Returns 0, or
    // MQ_ERR_REMOVE (also when there is no current message).
    int DelMsg();
    // The store's path of the message file of entry id; not to be freed.
    char* GetPathName(unsigned long id, const char* ext);

    // Puts msg into channel in. Returns 0 or a result code.
    int PutMsg(cMessage* msg, const char* in);
    // The next message of channel out, or null. The object stays the cMQ's.
    cMessage* GetMsg(const char* out);
    // The envelope of entry id added to the cMQ's message, or null.
    cMessage* GetMsgEnv(unsigned long id);
    // The last put path with its extension replaced by ext, or null.
    char* GetMsgDest(const char* ext);

private:
    friend struct cMQTestAccess;

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
};

#endif
