// durable.cpp - new files and replacements that survive a crash.
#include "durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mqfile.h"
#include "syscalls.h"

namespace mqdurable {

namespace {

std::string Cause(const char* operation, const std::string& path, int error) {
    return std::string(operation) + " " + path + ": " + std::strerror(error);
}

std::string DirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

NewFile::~NewFile() {
    MQSysCalls* sys = MQSysCallTable();
    if (m_fd >= 0) sys->close(m_fd);
    if (!m_path.empty() && !m_published) sys->unlink(m_path.c_str());
}

int NewFile::Fail(const char* operation, int error, std::string* text) {
    *text = Cause(operation, m_path, error);
    return error;
}

int NewFile::Create(const std::string& path, bool fresh, std::string* error, unsigned mode) {
    MQSysCalls* sys = MQSysCallTable();
    if (fresh && sys->unlink(path.c_str()) != 0 && errno != ENOENT) {
        int saved = errno;
        *error = Cause("remove", path, saved);
        return saved;
    }
    m_fd = sys->open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(mode));
    if (m_fd < 0) {
        int saved = errno;
        *error = Cause("create", path, saved);
        return saved;
    }
    m_path = path;
    return 0;
}

int NewFile::Write(const void* data, size_t size, std::string* error) {
    MQSysCalls* sys = MQSysCallTable();
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = sys->write(m_fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail("write", errno, error);
        if (n == 0) return Fail("write", ENOSPC, error);
        at += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int NewFile::Copy(int fd, std::string* error) {
    MQSysCalls* sys = MQSysCallTable();
    char buffer[65536];
    for (;;) {
        ssize_t n = sys->read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail("read the body for", errno, error);
        if (n == 0) return 0;
        int rc = Write(buffer, static_cast<size_t>(n), error);
        if (rc != 0) return rc;
    }
}

int NewFile::Publish(const std::string& target, bool syncDir, std::string* error) {
    MQSysCalls* sys = MQSysCallTable();
    // fdatasync covers the size too; the name is the directory's business.
    if (sys->fdatasync(m_fd) != 0) return Fail("sync", errno, error);
    int fd = m_fd;
    m_fd = -1;
    // close can report a write the file system failed late (NFS, quotas).
    if (sys->close(fd) != 0) return Fail("close", errno, error);
    if (target != m_path && sys->rename(m_path.c_str(), target.c_str()) != 0) {
        int saved = errno;
        *error = "rename " + m_path + " to " + target + ": " + std::strerror(saved);
        return saved;
    }
    m_published = true;
    return syncDir ? SyncDir(DirOf(target), error) : 0;
}

int SyncDir(const std::string& dir, std::string* error) {
    MQSysCalls* sys = MQSysCallTable();
    int fd = sys->open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        int saved = errno;
        *error = Cause("open", dir, saved);
        return saved;
    }
    int rc = sys->fsync(fd) == 0 ? 0 : errno;
    sys->close(fd);
    // The one policy for a directory that can't be synced: a file system
    // without directory sync (EINVAL) keeps names with their data or not at
    // all, and nothing more can be done there.
    if (rc == EINVAL) rc = 0;
    if (rc != 0) *error = Cause("sync", dir, rc);
    return rc;
}

int Remove(const std::string& path, std::string* error) {
    if (MQSysCallTable()->unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
    int saved = errno;
    *error = Cause("unlink", path, saved);
    return saved;
}

int WriteNew(const std::string& path, const Source& source, bool syncDir, std::string* error) {
    NewFile file;
    int rc = file.Create(path, false, error);
    if (rc == 0) {
        rc = source.fd >= 0 ? file.Copy(source.fd, error)
                            : file.Write(source.data, source.size, error);
    }
    if (rc == 0) rc = file.Publish(path, false, error);
    if (rc == 0 && syncDir) {
        rc = SyncDir(DirOf(path), error);
        // Not known to last: the caller is told, and the file goes.
        if (rc != 0) MQSysCallTable()->unlink(path.c_str());
    }
    return rc;
}

int Replace(const std::string& tmp, const std::string& path, const Source& source,
            std::string* error) {
    NewFile file;
    int rc = file.Create(tmp, true, error);
    if (rc == 0) {
        rc = source.fd >= 0 ? file.Copy(source.fd, error)
                            : file.Write(source.data, source.size, error);
    }
    return rc == 0 ? file.Publish(path, true, error) : rc;
}

}  // namespace mqdurable
