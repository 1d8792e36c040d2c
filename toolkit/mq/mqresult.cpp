// mqresult.cpp - names and meanings of the result codes, for messages that
// people read.
#include "mqresult.h"

#include <iterator>

namespace {

struct ResultInfo {
    int code;
    const char* name;
    const char* text;
};

const ResultInfo kResults[] = {
    {MQ_SUCCESS, "MQ_SUCCESS", "the operation succeeded"},
    {MQ_ERR_ADD, "MQ_ERR_ADD", "adding a user to an envelope header failed"},
    {MQ_ERR_NOT_FOUND, "MQ_ERR_NOT_FOUND", "no user matched the key"},
    {MQ_ERR_EMPTY, "MQ_ERR_EMPTY", "the envelope header holds no users"},
    {MQ_ERR_BAD_ADDRESS, "MQ_ERR_BAD_ADDRESS", "the address fails the address check"},
    {MQ_ERR_NO_CHANNEL, "MQ_ERR_NO_CHANNEL",
     "the channel is not in the queue store's channel list"},
    {MQ_ERR_INIT, "MQ_ERR_INIT", "initialising the queue store failed"},
    {MQ_ERR_CLOSE_CHANNEL, "MQ_ERR_CLOSE_CHANNEL", "the queue store refused to close the channel"},
    {MQ_ERR_CREATE_ENTRY, "MQ_ERR_CREATE_ENTRY", "the queue store failed to create a new entry"},
    {MQ_ERR_NO_MEMORY, "MQ_ERR_NO_MEMORY", "allocating an envelope record failed"},
    {MQ_ERR_NO_SENDER, "MQ_ERR_NO_SENDER", "the message has no usable sender"},
    {MQ_ERR_NO_RECIPIENT, "MQ_ERR_NO_RECIPIENT", "the message has no usable recipient"},
    {MQ_ERR_FILE, "MQ_ERR_FILE",
     "opening, positioning or replacing the channel file, or creating its temporary file, "
     "failed"},
    {MQ_ERR_INSERT_CHANNEL, "MQ_ERR_INSERT_CHANNEL",
     "inserting the new entry into the channel failed"},
    {MQ_ERR_PUT_ENVELOPE, "MQ_ERR_PUT_ENVELOPE", "writing the envelope failed"},
    {MQ_ERR_CLOSE_ENTRY, "MQ_ERR_CLOSE_ENTRY", "closing the new entry failed"},
    {MQ_ERR_DIRECTORY_ADD, "MQ_ERR_DIRECTORY_ADD",
     "adding the module name to the directory failed"},
    {MQ_ERR_CHANNEL_REQUEST, "MQ_ERR_CHANNEL_REQUEST",
     "the channel is already registered (add) or not registered (delete), or the direction or "
     "flag letter is not acceptable"},
    {MQ_ERR_REMOVE, "MQ_ERR_REMOVE", "the queue store failed to remove the message"},
    {MQ_ERR_DIRECTORY_DEL, "MQ_ERR_DIRECTORY_DEL",
     "removing the module name from the directory failed"},
};

const ResultInfo* Find(int code) {
    for (const ResultInfo& r : kResults) {
        if (r.code == code) return &r;
    }
    return nullptr;
}

}  // namespace

const char* MQResultName(int code) {
    const ResultInfo* r = Find(code);
    return r != nullptr ? r->name : "MQ_UNKNOWN";
}

const char* MQResultText(int code) {
    const ResultInfo* r = Find(code);
    return r != nullptr ? r->text : "unknown result code";
}
