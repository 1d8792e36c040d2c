// mqresult.h - the toolkit's result codes, each with its name and meaning.
// 0 is success; 7 and 13 are not produced by this toolkit.
//
// MQ_RESULT_CODES is the one list of the codes: the enum below,
// MQResultName and MQResultText are made from it, and a test holds the
// table of mqtoolkit(3) to it. Add or change a code here only.
#ifndef MQ_MQRESULT_H
#define MQ_MQRESULT_H

#include "mqtoolkit_export.h"

// X(name, code, meaning)
#define MQ_RESULT_CODES(X)                                                              \
    X(MQ_SUCCESS, 0, "the operation succeeded")                                         \
    X(MQ_ERR_ADD, 1, "adding a user to an envelope header failed")                      \
    X(MQ_ERR_NOT_FOUND, 2, "no user matched the key")                                   \
    X(MQ_ERR_EMPTY, 3, "the envelope header holds no users")                            \
    X(MQ_ERR_BAD_ADDRESS, 4, "the address fails the address check")                     \
    X(MQ_ERR_NO_CHANNEL, 5, "the channel is not in the queue store's channel list")     \
    X(MQ_ERR_INIT, 6, "initialising the queue store failed")                            \
    X(MQ_ERR_CLOSE_CHANNEL, 8, "the queue store refused to close the channel")          \
    X(MQ_ERR_CREATE_ENTRY, 9, "the queue store failed to create a new entry")           \
    X(MQ_ERR_NO_MEMORY, 10, "allocating an envelope record failed")                     \
    X(MQ_ERR_NO_SENDER, 11, "the message has no usable sender")                         \
    X(MQ_ERR_NO_RECIPIENT, 12, "the message has no usable recipient")                   \
    X(MQ_ERR_FILE, 14,                                                                  \
      "opening, positioning or replacing the channel file, or creating its temporary "  \
      "file, failed")                                                                   \
    X(MQ_ERR_INSERT_CHANNEL, 15, "inserting the new entry into the channel failed")     \
    X(MQ_ERR_PUT_ENVELOPE, 16, "writing the envelope failed")                           \
    X(MQ_ERR_CLOSE_ENTRY, 17, "closing the new entry failed")                           \
    X(MQ_ERR_DIRECTORY_ADD, 18, "adding the module name to the directory failed")       \
    X(MQ_ERR_CHANNEL_REQUEST, 19,                                                       \
      "the channel is already registered (add) or not registered (delete), or the "     \
      "direction or flag letter is not acceptable")                                     \
    X(MQ_ERR_REMOVE, 20, "the queue store failed to remove the message")                \
    X(MQ_ERR_DIRECTORY_DEL, 21, "removing the module name from the directory failed")

#define MQ_RESULT_ENUMERATOR_(name, code, text) name = code,
enum { MQ_RESULT_CODES(MQ_RESULT_ENUMERATOR_) };
#undef MQ_RESULT_ENUMERATOR_

// The constant's name ("MQ_ERR_FILE") and the meaning above of a result
// code; for an unknown code "MQ_UNKNOWN" and "unknown result code". The texts
// are static.
MQTOOLKIT_EXPORT const char* MQResultName(int code);
MQTOOLKIT_EXPORT const char* MQResultText(int code);

#endif
