// utf8.h - recognising well-formed UTF-8, for the places that print or log
// stored bytes and must tell text from other bytes (the store's trail lines,
// mqctl's output).
//
// Thread safety: pure functions. Ownership: none.
#ifndef MQSHARED_UTF8_H
#define MQSHARED_UTF8_H

#include <cstddef>
#include <string>

namespace mqshared {

// Utf8Length - the length of the well-formed UTF-8 character of two to four
// bytes that starts at text[i], or 0 when none does (an ASCII byte, a stray
// byte, an overlong form, a surrogate, a code point past U+10FFFF, a
// character cut short). REQUIRES: i < text.size().
size_t Utf8Length(const std::string& text, size_t i);

}  // namespace mqshared

#endif
