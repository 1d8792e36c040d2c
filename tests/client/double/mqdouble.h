// mqdouble.h - a recording double of the queue store, built as a library
// with the store's name and SONAME (libmqapi.so.1): a test program that
// finds it first on LD_LIBRARY_PATH runs the toolkit against it instead of
// the real store. It defines the whole store API of mq.h and OneMQ, records
// every call with its arguments, and answers as the test scripts it.
//
// Calls are recorded as text, "Name(arg,...)": read handles are R1, R2...,
// new entries E1, E2..., envelopes env<id>, a null pointer "null". Handles
// and envelopes are really allocated and freed as the store's contract says
// (freed by CloseMQChannel/CloseMQEntry on true, DiscardMQEntry, and
// FreeMQEnvelope), so a client that uses one after it was freed, or never
// gives one back, is caught by the sanitizers.
//
// Thread safety: the record is guarded; scripting is done by the test
// thread while no client call runs.
#ifndef MQ_TEST_MQDOUBLE_H
#define MQ_TEST_MQDOUBLE_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "mqapi_export.h"

namespace mqdouble {

// One envelope GetMQEnvelope hands out: an address and a queue name per
// sender and per recipient (a record with a null address when the text is
// "(null)").
struct Party {
    std::string address;
    std::string queue;
};
struct EnvelopeShape {
    std::vector<Party> from;
    std::vector<Party> to;
};

// The answers; Reset() restores these defaults.
struct Script {
    bool init = true;                              // MQInit
    bool open = true;                              // OpenMQChannel
    std::deque<unsigned long> ids;                 // GetFirst/NextMessage, then 0
    std::map<unsigned long, EnvelopeShape> envelopes;  // ids without one: null
    bool idPath = true;                            // GetMQPathName(id): false gives null
    bool entryPath = true;                         // GetMQPathName(entry): false gives null
    std::string entryPathText;                     // when set, that entry path instead
    bool remove = true;                            // RemoveMQChannel
    std::deque<bool> closeChannel;                 // CloseMQChannel, then true
    bool create = true;                            // CreateMQEntry
    bool insert = true;                            // InsertMQChannel
    bool putEnvelope = true;                       // PutMQEnvelope
    bool closeEntry = true;                        // CloseMQEntry
    bool writeBody = true;                         // WriteMQBody, WriteMQBodyFd
};

// What PutMQEnvelope was given, field by field.
struct PutRecord {
    struct From {
        const char* addressPtr;
        std::string address, envid, lan_address, szQueue;
        int32_t ret, body;
    };
    struct Recip {
        const char* addressPtr;
        std::string address, orcpt, lan_address, szQueue;
        int32_t notify;
    };
    std::vector<From> from;
    std::vector<Recip> to;
    uint32_t dwSize;
    int32_t iPri;
};

MQAPI_EXPORT Script& script();
// Forgets every call and put, restores the default answers and numbers
// handles from 1 again. Handles and envelopes still out stay counted.
MQAPI_EXPORT void Reset();
// Forgets the calls recorded so far, nothing else.
MQAPI_EXPORT void ClearCalls();
// Replaces OneMQ.myQList by records of these channel names (truncated to
// the record's 19 characters).
MQAPI_EXPORT void SetChannels(const std::vector<std::string>& names);

MQAPI_EXPORT std::vector<std::string> Calls();
MQAPI_EXPORT std::vector<PutRecord> Puts();
// The pointer the last GetMQPathName call returned.
MQAPI_EXPORT const char* LastPath();
// Handles and envelopes handed out and not yet given back.
MQAPI_EXPORT int LiveHandles();
MQAPI_EXPORT int LiveEnvelopes();
// The text the double returns for the path of id or of entry n.
MQAPI_EXPORT std::string IdPath(unsigned long id, const std::string& ext);
MQAPI_EXPORT std::string EntryPath(int n, const std::string& ext);

}  // namespace mqdouble

#endif
