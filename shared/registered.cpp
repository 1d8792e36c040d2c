// registered.cpp - the comparison of a channel record's name.
#include "registered.h"

#include <strings.h>

#include <cstring>

namespace mqshared {

bool NameIs(const char* field, size_t fieldSize, const char* channel) {
    const size_t len = std::strlen(channel);
    return strnlen(field, fieldSize) == len && strncasecmp(field, channel, len) == 0;
}

}  // namespace mqshared
