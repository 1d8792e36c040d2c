// durable.cpp - new files and replacements that survive a crash.
#include "durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "syscalls.h"

namespace mqdurable {

namespace {

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

mq::Status NewFile::Fail(const char* operation, int error) const {
    return mq::Status::FromErrno(operation, m_path, error);
}

mq::Status NewFile::Create(const std::string& path, bool fresh, unsigned mode) {
    MQSysCalls* sys = MQSysCallTable();
    if (fresh && sys->unlink(path.c_str()) != 0 && errno != ENOENT) {
        return mq::Status::FromErrno("remove", path, errno);
    }
    m_fd = sys->open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(mode));
    if (m_fd < 0) return mq::Status::FromErrno("create", path, errno);
    m_path = path;
    return mq::Status::OK();
}

mq::Status NewFile::Write(const void* data, size_t size) {
    MQSysCalls* sys = MQSysCallTable();
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = sys->write(m_fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail("write", errno);
        if (n == 0) return Fail("write", ENOSPC);
        at += n;
        size -= static_cast<size_t>(n);
    }
    return mq::Status::OK();
}

mq::Status NewFile::Copy(int fd) {
    MQSysCalls* sys = MQSysCallTable();
    char buffer[65536];
    for (;;) {
        ssize_t n = sys->read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail("read the body for", errno);
        if (n == 0) return mq::Status::OK();
        mq::Status written = Write(buffer, static_cast<size_t>(n));
        if (!written.ok()) return written;
    }
}

mq::Status NewFile::Publish(const std::string& target, bool syncDir) {
    MQSysCalls* sys = MQSysCallTable();
    // fdatasync covers the size too; the name is the directory's business.
    if (sys->fdatasync(m_fd) != 0) return Fail("sync", errno);
    int fd = m_fd;
    m_fd = -1;
    // close can report a write the file system failed late (NFS, quotas).
    if (sys->close(fd) != 0) return Fail("close", errno);
    if (target != m_path && sys->rename(m_path.c_str(), target.c_str()) != 0) {
        int saved = errno;  // before the names are joined, which allocates
        return mq::Status::FromErrno("rename", m_path + " to " + target, saved);
    }
    m_published = true;
    return syncDir ? SyncDir(DirOf(target)) : mq::Status::OK();
}

mq::Status SyncDir(const std::string& dir) {
    MQSysCalls* sys = MQSysCallTable();
    int fd = sys->open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return mq::Status::FromErrno("open", dir, errno);
    int rc = sys->fsync(fd) == 0 ? 0 : errno;
    sys->close(fd);
    // The one policy for a directory that can't be synced: a file system
    // without directory sync (EINVAL) keeps names with their data or not at
    // all, and nothing more can be done there.
    if (rc == 0 || rc == EINVAL) return mq::Status::OK();
    return mq::Status::FromErrno("sync", dir, rc);
}

mq::Status Remove(const std::string& path) {
    if (MQSysCallTable()->unlink(path.c_str()) == 0 || errno == ENOENT) return mq::Status::OK();
    return mq::Status::FromErrno("unlink", path, errno);
}

namespace {

// Fills file from source.
mq::Status Fill(NewFile& file, const Source& source) {
    return source.fd >= 0 ? file.Copy(source.fd) : file.Write(source.data, source.size);
}

}  // namespace

mq::Status WriteNew(const std::string& path, const Source& source, bool syncDir) {
    NewFile file;
    mq::Status status = file.Create(path, false);
    if (status.ok()) status = Fill(file, source);
    if (status.ok()) status = file.Publish(path, false);
    if (status.ok() && syncDir) {
        status = SyncDir(DirOf(path));
        // Not known to last: the caller is told, and the file goes.
        if (!status.ok()) MQSysCallTable()->unlink(path.c_str());
    }
    return status;
}

mq::Status Replace(const std::string& tmp, const std::string& path, const Source& source) {
    NewFile file;
    mq::Status status = file.Create(tmp, true);
    if (status.ok()) status = Fill(file, source);
    return status.ok() ? file.Publish(path, true) : status;
}

}  // namespace mqdurable
