// storesink.h - the sink that puts a session's messages into one channel of
// the queue store through cMQ's one-call put.
//
// The body is kept in memory up to a spill size; past it, everything so far
// and everything after goes to an unnamed file in the spool's directory as
// it arrives (a file that vanishes with the process), so that a message of
// any size costs the process at most the spill size. At the end the store
// takes the body from memory (PutMsgBody) or from that file
// (PutMsgBodyFd) and returns once envelope and body are durable.
//
// Thread safety: none; one sink per session. Ownership: the cMQ is
// borrowed (opened by the caller) and must outlive the sink.
#ifndef MQLMTPD_STORESINK_H
#define MQLMTPD_STORESINK_H

#include <cstddef>
#include <string>

#include "lmtpsession.h"

class cMQ;

namespace mqlmtpd {

class StoreSink : public MessageSink {
public:
    // spoolDir: where a spilled body's file is made (on the spool's file
    // system, so that the disk that fills is the queue's).
    StoreSink(cMQ* mq, std::string channel, std::string spoolDir, size_t spillSize);
    ~StoreSink() override;
    StoreSink(const StoreSink&) = delete;
    StoreSink& operator=(const StoreSink&) = delete;

    std::string CheckAddress(const std::string& address) override;
    void Begin() override;
    void Append(const char* data, size_t size) override;
    PutResult Commit(const std::string& sender,
                     const std::vector<std::string>& recipients) override;
    void Abort() override;

private:
    bool Spill();
    void Fail(int err, const std::string& why);
    PutResult Failure(const std::string& why);
    void CloseFile();

    cMQ* m_mq;
    std::string m_channel;
    std::string m_spoolDir;
    size_t m_spillSize;
    std::string m_body;
    int m_fd = -1;
    int m_error = 0;  // errno of the first write failure of this body
    std::string m_why;
};

// AddressFault - empty when the queue takes address, else why not: a
// control character (which the store refuses and which could end a
// delivery agent's protocol line) or the toolkit's address check.
std::string AddressFault(const std::string& address);

}  // namespace mqlmtpd

#endif
