// mqresult.h - the toolkit's result codes. 0 is success; 7 and 13 are not
// produced by this toolkit.
#ifndef MQ_MQRESULT_H
#define MQ_MQRESULT_H

#include "mqtoolkit_export.h"

enum {
    MQ_SUCCESS = 0,              // the operation succeeded
    MQ_ERR_ADD = 1,              // adding a user to an envelope header failed
    MQ_ERR_NOT_FOUND = 2,        // no user matched the key
    MQ_ERR_EMPTY = 3,            // the envelope header holds no users
    MQ_ERR_BAD_ADDRESS = 4,      // the address fails the address check
    MQ_ERR_NO_CHANNEL = 5,       // the channel is not in the store's channel list
    MQ_ERR_INIT = 6,             // initialising the queue store failed
    MQ_ERR_CLOSE_CHANNEL = 8,    // the queue store refused to close the channel
    MQ_ERR_CREATE_ENTRY = 9,     // the queue store failed to create a new entry
    MQ_ERR_NO_MEMORY = 10,       // allocating an envelope record failed
    MQ_ERR_NO_SENDER = 11,       // the message has no usable sender
    MQ_ERR_NO_RECIPIENT = 12,    // the message has no usable recipient
    MQ_ERR_FILE = 14,            // the channel file or its temporary file failed
    MQ_ERR_INSERT_CHANNEL = 15,  // inserting the new entry into the channel failed
    MQ_ERR_PUT_ENVELOPE = 16,    // writing the envelope failed
    MQ_ERR_CLOSE_ENTRY = 17,     // closing the new entry failed
    MQ_ERR_DIRECTORY_ADD = 18,   // adding the module name to the directory failed
    MQ_ERR_CHANNEL_REQUEST = 19, // channel already (not) registered, or bad direction/flag
    MQ_ERR_REMOVE = 20,          // the queue store failed to remove the message
    MQ_ERR_DIRECTORY_DEL = 21    // removing the module name from the directory failed
};

// The constant's name ("MQ_ERR_FILE") and a one-line meaning of a result
// code; for an unknown code "MQ_UNKNOWN" and "unknown result code". The texts
// are static.
MQTOOLKIT_EXPORT const char* MQResultName(int code);
MQTOOLKIT_EXPORT const char* MQResultText(int code);

#endif
