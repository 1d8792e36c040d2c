// addrchars.cpp - the control-character rule for addresses.
#include "addrchars.h"

namespace mqcommon {

int FirstControlCharacter(const char* text) {
    if (text == nullptr) return -1;
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) return c;
    }
    return -1;
}

}  // namespace mqcommon
