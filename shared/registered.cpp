// registered.cpp - the look-up of a channel in OneMQ.myQList.
#include "registered.h"

#include <strings.h>

#include <cstring>

#include "mqconfig.h"

namespace mqshared {

bool IsRegisteredChannel(const char* channel) {
    if (channel == nullptr) return false;
    const size_t len = std::strlen(channel);
    clLockGuard hold(OneMQ.csQList);
    for (auto* node = OneMQ.myQList.pBase; node != nullptr; node = node->pNext) {
        const MQchannelDBStr* rec = node->stUser;
        const size_t recLen = strnlen(rec->szQueue, sizeof rec->szQueue);
        if (recLen == len && strncasecmp(rec->szQueue, channel, len) == 0) return true;
    }
    return false;
}

}  // namespace mqshared
