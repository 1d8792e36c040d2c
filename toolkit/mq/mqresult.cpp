// mqresult.cpp - names and meanings of the result codes, for messages that
// people read, from the one list in mqresult.h.
#include "mqresult.h"

#include <iterator>

namespace {

struct ResultInfo {
    int code;
    const char* name;
    const char* text;
};

#define MQ_RESULT_INFO_(name, code, text) {name, #name, text},
const ResultInfo kResults[] = {MQ_RESULT_CODES(MQ_RESULT_INFO_)};
#undef MQ_RESULT_INFO_

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
