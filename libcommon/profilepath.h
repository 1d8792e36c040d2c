// profilepath.h - where a configuration file name points.
//
// A bare file name ("daduv.ini") is looked up in the directory named by the
// environment variable MQ_CONFIG_DIR when that is set, else in the current
// directory, else in /etc; a name holding a slash is used as given. A set
// MQ_CONFIG_DIR is the only place looked in: no fall-back to the others.
//
// Linked into each library and program that uses it (mqcommon_parts), never
// exported: it may throw std::bad_alloc, which each library turns into its
// own failure result.
//
// Thread safety: reentrant.
#ifndef MQ_PROFILEPATH_H
#define MQ_PROFILEPATH_H

#include <string>

namespace mqcommon {

// The path szFileName resolves to; empty when a bare name is found in none
// of the places (or szFileName is null or empty).
std::string ResolveProfilePath(const char* szFileName);

}  // namespace mqcommon

#endif
