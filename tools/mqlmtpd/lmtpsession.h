// lmtpsession.h - one LMTP session (RFC 2033) as a state machine over bytes:
// the client's bytes go in through Feed, the replies come out through
// TakeOutput, and every accepted message goes to a MessageSink as it
// arrives, dot-unstuffed and with its CRLF line ends turned into LF.
//
// The session does no I/O of its own and never blocks except inside the
// sink's calls, so the same code serves a socket, a test and the fuzz
// harness. Replies carry RFC 3463 enhanced status codes; after DATA the
// session gives one reply per accepted recipient, all the same, since the
// message is stored once for all of them.
//
// Thread safety: none; one session is used by one thread. Ownership: the
// sink and the log callback are borrowed and must outlive the session.
#ifndef MQLMTPD_LMTPSESSION_H
#define MQLMTPD_LMTPSESSION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mqlmtpd {

// What became of a message handed to the sink.
struct PutResult {
    enum class Kind { kStored, kTempFail, kDiskFull };
    Kind kind = Kind::kTempFail;
    std::string id;   // the entry's identifier, when stored
    std::string why;  // the cause, for the log, when not
};

// Where a session's messages go. Begin starts a body, Append adds to it in
// order, and exactly one of Commit or Abort ends it. A sink that fails in
// Append is still fed to the end of the message; its Commit then reports
// the failure (nothing is stored).
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Empty when the queue takes address, else why it refuses it.
    virtual std::string CheckAddress(const std::string& address) = 0;
    virtual void Begin() = 0;
    virtual void Append(const char* data, size_t size) = 0;
    // Stores the body with its envelope; returns only once it is durable
    // (kStored) or known not to be stored.
    virtual PutResult Commit(const std::string& sender,
                             const std::vector<std::string>& recipients) = 0;
    virtual void Abort() = 0;
};

struct SessionLimits {
    uint64_t maxSize = 50ull << 20;  // bytes of body, after unstuffing
    size_t maxRecipients = 1000;     // per message; more get 452 4.5.3
    size_t maxLine = 4096;           // a command line, its line end included
};

class LmtpSession {
public:
    // log receives one key=value line per message and per refused command.
    LmtpSession(MessageSink* sink, const SessionLimits& limits, std::string hostname,
                std::function<void(const std::string&)> log);
    LmtpSession(const LmtpSession&) = delete;
    LmtpSession& operator=(const LmtpSession&) = delete;

    // Queues the greeting.
    void Greet();
    // Consumes the client's bytes, queueing replies. Bytes after QUIT are
    // ignored.
    void Feed(const char* data, size_t size);
    // The replies queued so far, which the caller sends; empties the queue.
    std::string TakeOutput();
    // The client is gone (end of file or a read error): a message in DATA
    // is dropped, nothing stored.
    void Disconnected();
    // Ends the session with a 421 reply of code and text (a timeout, a
    // shutdown); a message in DATA is dropped.
    void Close(const std::string& enhanced, const std::string& text);

    // The server is stopping: a message in DATA is still taken to its end
    // and answered, then the session ends with 421 4.3.2 instead of
    // reading any further command.
    void RequestStop();

    bool Closed() const { return m_closed; }
    bool InData() const { return m_state == State::kData; }

private:
    enum class State { kCommand, kData };
    enum class DataState { kLineStart, kDot, kInLine };

    void Reply(int code, const std::string& enhanced, const std::string& text);
    void Refused(const std::string& command, int code, const std::string& enhanced,
                 const std::string& text);
    void Command(const std::string& line);
    void Lhlo(const std::string& arg);
    void Mail(const std::string& arg);
    void Rcpt(const std::string& arg);
    void Data(const std::string& arg);
    void ResetTransaction();
    size_t FeedData(const char* data, size_t size);
    void Body(const char* data, size_t size);
    void EndOfData();

    MessageSink* m_sink;
    SessionLimits m_limits;
    std::string m_hostname;
    std::function<void(const std::string&)> m_log;

    State m_state = State::kCommand;
    bool m_closed = false;
    bool m_stopping = false;
    bool m_greeted = false;  // LHLO seen
    std::string m_out;
    std::string m_line;       // a command line being read
    bool m_overlong = false;  // discarding the rest of a line too long

    bool m_haveSender = false;
    std::string m_sender;
    std::vector<std::string> m_recipients;

    DataState m_dataState = DataState::kLineStart;
    bool m_pendingCr = false;
    uint64_t m_bodySize = 0;
};

// ParsePath - the address of "<address>" at the start of text (after
// "FROM:" or "TO:"), with *rest set to what follows it. A source route
// ("<@a,@b:user@c>") is dropped; a quoted local part may hold '>' and
// spaces. Returns false when text holds no well-formed path.
bool ParsePath(const std::string& text, std::string* address, std::string* rest);

}  // namespace mqlmtpd

#endif
