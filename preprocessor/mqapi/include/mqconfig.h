// mqconfig.h - the queue store's configuration object OneMQ and its records
// of registered channels.
//
// OneMQ.myQList lists the channels of the installation's channel file, loaded
// by MQInit. The records and the list belong to the store.
//
// Thread safety: walking myQList moves its cursor, so every walk (the store's
// and the toolkit's) holds OneMQ.csQList for its whole length. csStore guards
// the store's own shared state (its connection and its entry bookkeeping).
#ifndef MQ_MQCONFIG_H
#define MQ_MQCONFIG_H

#include <cstdint>

#include "cllock.h"
#include "clist.h"
#include "mqapi_export.h"

// One registered channel, as read from a record of the channel file.
struct MQAPI_EXPORT MQchannelDBStr {
    uint32_t QueueID;        // position of the record in the channel file, from 1
    int32_t bStopped;        // never set by this store: 0
    int32_t bOut;            // direction "out" (any letter case)
    int32_t bCompatibility;  // the record carries the flag letter C or c
    int32_t bInstalled;      // the channel is usable by the store: 1
    char szQueue[20];        // channel name, at most 19 characters
    char szAppName[255];     // application serving the channel, at most 254
};

class MQConfig {
public:
    MQConfig() = default;
    MQConfig(const MQConfig&) = delete;
    MQConfig& operator=(const MQConfig&) = delete;
    ~MQConfig();

    cList<MQchannelDBStr*> myQList;  // registered channels, in file order
    clLock csQList;                  // held across every walk of myQList
    clLock csStore;                  // guards the store's shared state
};

MQAPI_EXPORT extern MQConfig OneMQ;

#endif
