// spool.cpp - the spool directory: paths, directories, entry files.
#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "durable.h"
#include "status.h"
#include "syscalls.h"

namespace mqstore {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// ParentOf - the directory that holds path.
std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_not_of('/');
    slash = slash == std::string::npos ? std::string::npos : path.rfind('/', slash);
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// MakeDir - path as a directory: made when missing, then its parent synced,
// so that the new name survives a power cut before anything is put in it.
// One that exists costs a stat and nothing more.
mq::Status MakeDir(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return mq::Status::OK();
        return mq::Status::FromErrno("mkdir", path, ENOTDIR);
    }
    if (MQSysCallTable()->mkdir(path.c_str(), 0750) != 0) {
        int saved = errno;
        // Another process made it in the meantime and may not have synced
        // its parent yet: sync it here too, before anything is put in it.
        if (saved != EEXIST || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return mq::Status::FromErrno("mkdir", path, saved == EEXIST ? ENOTDIR : saved);
        }
    }
    return mqdurable::SyncDir(ParentOf(path));
}

bool IsAsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

bool IsValidExtension(const char* ext) {
    if (ext == nullptr || ext[0] != '.') return false;
    size_t length = 0;
    for (const char* p = ext + 1; *p != '\0'; ++p, ++length) {
        if (length == 7 || !IsAsciiAlnum(*p)) return false;
    }
    return length > 0;
}

unsigned long IdFromFileName(const char* name) {
    // Digits only, no leading zero, then a valid extension. Counted in 64
    // bits and checked at every digit: a 32-bit unsigned long would wrap, and
    // "4294967551.msg" would pass for entry 255.
    if (name[0] < '1' || name[0] > '9') return 0;
    uint64_t id = 0;
    const char* p = name;
    for (; *p >= '0' && *p <= '9'; ++p) {
        id = id * 10 + static_cast<uint64_t>(*p - '0');
        if (id > kMaxEntryId) return 0;
    }
    return IsValidExtension(p) ? static_cast<unsigned long>(id) : 0;
}

std::string Spool::EntryDir(unsigned long id) const {
    char part[8];
    std::snprintf(part, sizeof part, "/%02lx", id & 0xFFul);
    return MessageTree() + part;
}

std::string Spool::EntryPath(unsigned long id, const char* ext) const {
    char name[32];
    std::snprintf(name, sizeof name, "/%lu", id);
    return EntryDir(id) + name + ext;
}

mq::Status Spool::Prepare() const {
    // The directories are made in order, msg/ff last, each synced into its
    // parent: once msg/ff is there, so is everything before it, and a start
    // of an existing spool costs one stat.
    struct stat st;
    if (stat(EntryDir(0xFF).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return mq::Status::OK();
    mq::Status made = MakeDir(m_root);
    if (made.ok()) made = MakeDir(MessageTree());
    for (unsigned long low = 0; made.ok() && low < 256; ++low) made = MakeDir(EntryDir(low));
    return made;
}

int64_t Spool::BodySize(unsigned long id) const {
    struct stat st;
    if (stat(EntryPath(id, ".msg").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

mq::Status Spool::WriteLooseBody(unsigned long id, const std::string& body,
                                 bool replace) const {
    MQSysCalls* sys = MQSysCallTable();
    std::string target = EntryPath(id, ".msg");
    std::string path = target;
    if (replace) {
        char ext[16];
        std::snprintf(ext, sizeof ext, ".r%x", static_cast<unsigned>(getpid()) & 0xFFFFFFu);
        path = EntryPath(id, ext);
        if (sys->unlink(path.c_str()) != 0 && errno != ENOENT) {
            return mq::Status::FromErrno("remove", path, errno);
        }
    }
    int fd = sys->open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) return mq::Status::FromErrno("create", path, errno);
    const char* at = body.data();
    size_t left = body.size();
    int failed = 0;
    const char* operation = "write";
    while (left > 0 && failed == 0) {
        ssize_t n = sys->write(fd, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed = n < 0 ? errno : ENOSPC;
            break;
        }
        at += n;
        left -= static_cast<size_t>(n);
    }
    if (sys->close(fd) != 0 && failed == 0) {
        failed = errno;
        operation = "close";
    }
    if (failed == 0 && replace && sys->rename(path.c_str(), target.c_str()) != 0) {
        failed = errno;
        operation = "rename";
    }
    if (failed == 0) return mq::Status::OK();
    sys->unlink(path.c_str());
    return mq::Status::FromErrno(operation, path, failed);
}

mq::Status Spool::RemoveBody(unsigned long id) const {
    for (const char* ext : {".msg", ".tmp"}) {
        mq::Status removed = mqdurable::Remove(EntryPath(id, ext));
        if (!removed.ok()) return removed;
    }
    return mq::Status::OK();
}

mq::Status Spool::RemoveEntryFiles(unsigned long id) const {
    std::string dir = EntryDir(id);
    DirPtr stream(opendir(dir.c_str()));
    if (!stream) return mq::Status::FromErrno("opendir", dir, errno);
    char prefix[32];
    int prefixLength = std::snprintf(prefix, sizeof prefix, "%lu.", id);
    mq::Status result;
    errno = 0;
    while (struct dirent* item = readdir(stream.get())) {
        if (std::strncmp(item->d_name, prefix, static_cast<size_t>(prefixLength)) != 0) continue;
        std::string path = dir + "/" + item->d_name;
        if (MQSysCallTable()->unlink(path.c_str()) != 0 && errno != ENOENT && result.ok()) {
            result = mq::Status::FromErrno("unlink", path, errno);
        }
        errno = 0;
    }
    if (errno != 0 && result.ok()) result = mq::Status::FromErrno("readdir", dir, errno);
    return result;
}

unsigned long Spool::IdFromPath(const std::string& path) const {
    std::string tree = MessageTree() + "/";
    if (path.compare(0, tree.size(), tree) != 0) return 0;
    std::string rest = path.substr(tree.size());
    if (rest.size() < 4 || rest[2] != '/') return 0;
    unsigned long id = IdFromFileName(rest.c_str() + 3);
    if (id == 0 || EntryDir(id) + "/" != tree + rest.substr(0, 3)) return 0;
    return rest.find('/', 3) == std::string::npos ? id : 0;
}

mq::Status Spool::ForEachFile(
    const std::function<void(unsigned long, const std::string&)>& visit) const {
    for (unsigned long low = 0; low < 256; ++low) {
        std::string dir = EntryDir(low);
        DirPtr stream(opendir(dir.c_str()));
        if (!stream) {
            if (errno == ENOENT) continue;
            return mq::Status::FromErrno("opendir", dir, errno);
        }
        while (struct dirent* item = readdir(stream.get())) {
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) {
                continue;
            }
            unsigned long id = IdFromFileName(item->d_name);
            if (id != 0 && (id & 0xFFul) != low) id = 0;  // in the wrong directory
            visit(id, dir + "/" + item->d_name);
        }
    }
    return mq::Status::OK();
}

}  // namespace mqstore
