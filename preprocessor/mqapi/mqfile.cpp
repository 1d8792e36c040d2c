// mqfile.cpp - mqfile.h's calls, on the durable-file module.
#include "mqfile.h"

#include <cerrno>
#include <string>

#include "durable.h"

int MQWriteNewFile(const char* path, const void* data, size_t size) {
    if (path == nullptr || (data == nullptr && size > 0)) return EINVAL;
    try {
        mqdurable::Source source;
        source.data = data;
        source.size = size;
        return mqdurable::WriteNew(path, source, true).Code();
    } catch (...) {
        return ENOMEM;
    }
}

int MQCopyNewFile(const char* path, int fd) {
    if (path == nullptr || fd < 0) return EINVAL;
    try {
        mqdurable::Source source;
        source.fd = fd;
        return mqdurable::WriteNew(path, source, true).Code();
    } catch (...) {
        return ENOMEM;
    }
}

int MQReplaceFile(const char* tmp, const char* path, const void* data, size_t size) {
    if (tmp == nullptr || path == nullptr || (data == nullptr && size > 0)) return EINVAL;
    try {
        mqdurable::Source source;
        source.data = data;
        source.size = size;
        return mqdurable::Replace(tmp, path, source).Code();
    } catch (...) {
        return ENOMEM;
    }
}
