// Status, the error type of the store and the durable-file module: what a
// caller that speaks errno and the one log line get from each kind of
// failure, and that no failure reads as success.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "status.h"

namespace {

// The operator's line: what failed, on what, and the system's own words for
// errno (whatever the C library calls it).
std::string Said(const char* what, int err) {
    return std::string(what) + ": " + std::strerror(err);
}

TEST(Status, CodesAndCauses) {
    struct Case {
        const char* name;
        mq::Status status;
        bool wantOk;
        int wantCode;
        std::string wantCause;
    } cases[] = {
        {"success", mq::Status::OK(), true, 0, ""},
        {"a failed system call", mq::Status::FromErrno("sync", "/spool/msg/01", EIO), false, EIO,
         Said("sync /spool/msg/01", EIO)},
        {"a system call that failed without an errno",
         mq::Status::FromErrno("close", "/x", 0), false, EIO, Said("close /x", EIO)},
        {"a cause in words", mq::Status::Error("database is locked"), false, EIO,
         "database is locked"},
        {"a cause in words with its errno", mq::Status::Error("no room", ENOSPC), false, ENOSPC,
         "no room"},
        {"a cause in words with errno 0", mq::Status::Error("refused", 0), false, EIO,
         "refused"},
        {"more said after the cause", mq::Status::FromErrno("open", "/db", ENOENT).With("MQInit"),
         false, ENOENT, Said("open /db", ENOENT) + " (MQInit)"},
        {"success stays success", mq::Status::OK().With("MQInit"), true, 0, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.status.ok(), c.wantOk) << c.name;
        EXPECT_EQ(c.status.Code(), c.wantCode) << c.name;
        EXPECT_EQ(c.status.Cause(), c.wantCause) << c.name;
    }
}

}  // namespace
