// status.cpp - Status: the one place a failed system call becomes a cause.
#include "status.h"

#include <cerrno>
#include <cstring>

namespace mq {

const int Status::kNoErrno = EIO;

Status Status::FromErrno(const char* operation, const std::string& path, int error) {
    if (error == 0) error = EIO;  // a failure must never read as success
    return Status(error, std::string(operation) + " " + path + ": " + std::strerror(error));
}

Status Status::Error(std::string cause, int code) {
    return Status(code != 0 ? code : EIO, std::move(cause));
}

Status Status::With(const std::string& more) const {
    if (ok()) return *this;
    return Status(m_code, m_cause + " (" + more + ")");
}

}  // namespace mq
