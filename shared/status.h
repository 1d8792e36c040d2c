// status.h - Status, the result of an operation of the store or of the
// durable-file module: success, or a failure with its cause.
//
// A failure carries an errno value (EIO when the cause is not a system call:
// SQLite's message, a refusal) and the cause as text, ready for the one log
// line that reports it: "operation path: strerror" for a failed system call
// (made in one place, FromErrno), or the text given. The store turns a
// status into its callers' results and its log line in one place
// (storestate.h, LogFailure).
//
// Thread safety: a value; copies are independent.
#ifndef MQ_STATUS_H
#define MQ_STATUS_H

#include <string>
#include <utility>

namespace mq {

class Status {
  public:
    // Success.
    Status() = default;
    static Status OK() { return Status(); }

    // The failure of a system call: operation on path gave error (an errno
    // value, non-zero). The cause reads "operation path: strerror(error)".
    static Status FromErrno(const char* operation, const std::string& path, int error);

    // A failure whose cause is already text; code is the errno value a
    // caller that speaks errno gets (EIO unless given).
    static Status Error(std::string cause, int code = kNoErrno);

    bool ok() const { return m_code == 0; }
    // The errno value; 0 on success.
    int Code() const { return m_code; }
    // The cause; "" on success.
    const std::string& Cause() const { return m_cause; }

    // The same failure with more said after its cause ("cause (more)");
    // success stays success.
    Status With(const std::string& more) const;

  private:
    static const int kNoErrno;
    Status(int code, std::string cause) : m_code(code), m_cause(std::move(cause)) {}

    int m_code = 0;
    std::string m_cause;
};

}  // namespace mq

#endif
