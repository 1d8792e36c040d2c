// storesink.cpp - a session's messages into the queue store.
#include "storesink.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <mqadmin.h>
#include <mqapi.h>

namespace mqlmtpd {

namespace {

// Room the spool's file system must have left for a store failure to be
// taken for anything but a full disk.
const unsigned long long kLowSpace = 1ull << 20;

// SpoolNearlyFull - true when the file system of dir has less than need
// bytes (plus a margin) left for this user, or no inodes.
bool SpoolNearlyFull(const std::string& dir, size_t need) {
    struct statvfs st;
    if (statvfs(dir.c_str(), &st) != 0) return false;
    unsigned long long room = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
    return room < need + kLowSpace || (st.f_files > 0 && st.f_favail == 0);
}

}  // namespace

std::string AddressFault(const std::string& address) {
    for (unsigned char c : address) {
        if (c < 0x20 || c == 0x7f) return "it holds a control character";
    }
    cUserInfo user;
    if (user.setLan_addr(address.c_str()) != MQ_SUCCESS) return "it fails the queue's address check";
    return "";
}

StoreSink::StoreSink(cMQ* mq, std::string channel, std::string spoolDir, size_t spillSize)
    : m_mq(mq), m_channel(std::move(channel)), m_spoolDir(std::move(spoolDir)),
      m_spillSize(spillSize) {}

StoreSink::~StoreSink() { CloseFile(); }

std::string StoreSink::CheckAddress(const std::string& address) { return AddressFault(address); }

void StoreSink::CloseFile() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

void StoreSink::Begin() {
    CloseFile();
    m_body.clear();
    m_error = 0;
    m_why.clear();
}

void StoreSink::Fail(int err, const std::string& why) {
    if (m_error != 0) return;
    m_error = err != 0 ? err : EIO;
    m_why = why;
    CloseFile();
    std::string().swap(m_body);
}

// Spill - moves the body so far into an unnamed file in the spool's
// directory (a named one, unlinked at once, where the file system has no
// unnamed files). Returns false after Fail.
bool StoreSink::Spill() {
    int fd = open(m_spoolDir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string name = m_spoolDir + "/.mqlmtpd.XXXXXX";
        fd = mkostemp(&name[0], O_CLOEXEC);
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) {
        int err = errno;
        Fail(err, "create a file in " + m_spoolDir + ": " + std::strerror(err));
        return false;
    }
    m_fd = fd;
    const char* p = m_body.data();
    size_t left = m_body.size();
    while (left > 0) {
        ssize_t n = write(m_fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            Fail(err, std::string("write the body: ") + std::strerror(err));
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    std::string().swap(m_body);
    return true;
}

void StoreSink::Append(const char* data, size_t size) {
    if (m_error != 0) return;
    if (m_fd < 0) {
        m_body.append(data, size);
        if (m_body.size() <= m_spillSize) return;
        Spill();
        return;
    }
    while (size > 0) {
        ssize_t n = write(m_fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            Fail(err, std::string("write the body: ") + std::strerror(err));
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void StoreSink::Abort() {
    CloseFile();
    std::string().swap(m_body);
    m_error = 0;
}

PutResult StoreSink::Failure(const std::string& why) {
    PutResult r;
    r.why = why;
    r.kind = SpoolNearlyFull(m_spoolDir, m_body.size()) ? PutResult::Kind::kDiskFull
                                                         : PutResult::Kind::kTempFail;
    return r;
}

PutResult StoreSink::Commit(const std::string& sender, const std::vector<std::string>& recipients) {
    struct Done {
        StoreSink* s;
        ~Done() { s->Abort(); }
    } done{this};
    if (m_error != 0) {
        PutResult r;
        r.why = m_why;
        r.kind = m_error == ENOSPC || m_error == EDQUOT ? PutResult::Kind::kDiskFull
                                                       : PutResult::Kind::kTempFail;
        return r;
    }
    cUserInfo from;
    if (from.setLan_addr(sender.c_str()) != MQ_SUCCESS) return Failure("sender refused");
    std::vector<std::unique_ptr<cUserInfo>> users;
    cEnvHeader fromHeader, toHeader;
    fromHeader.add(&from);
    for (const std::string& r : recipients) {
        users.push_back(std::make_unique<cUserInfo>());
        if (users.back()->setLan_addr(r.c_str()) != MQ_SUCCESS) return Failure("recipient refused");
        toHeader.add(users.back().get());
    }
    cMessage msg;
    msg.setFrom(&fromHeader);
    msg.setTo(&toHeader);
    int rc = MQ_SUCCESS;
    if (m_fd >= 0) {
        if (lseek(m_fd, 0, SEEK_SET) != 0) {
            int err = errno;
            return Failure(std::string("rewind the body: ") + std::strerror(err));
        }
        rc = m_mq->PutMsgBodyFd(&msg, m_channel.c_str(), m_fd);
    } else {
        rc = m_mq->PutMsgBody(&msg, m_channel.c_str(), m_body.data(), m_body.size());
    }
    if (rc != MQ_SUCCESS) {
        char why[64];
        std::snprintf(why, sizeof why, "the store refused the put (result %d)", rc);
        return Failure(rc == MQ_ERR_NO_CHANNEL ? "channel " + m_channel + " is not in queue.cfg"
                                               : why);
    }
    PutResult r;
    r.kind = PutResult::Kind::kStored;
    const char* path = m_mq->GetMsgDest(".msg");
    unsigned long id = path != nullptr ? mqadmin::EntryIdFromPath(path) : 0;
    r.id = id != 0 ? std::to_string(id) : "(unknown id)";
    return r;
}

}  // namespace mqlmtpd
