// bench_tally_test - the benchmark's bytes-written and system-call counts
// come out of /proc/PID/io and strace's summary as the kernel and strace
// write them: a misread column would report another call's count as syncs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "tally.h"

namespace mqbench {
namespace {

TEST(ParseProcIo, ReadsTheWriteSide) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        uint64_t written, cancelled;
    };
    const std::string full =
        "rchar: 1948\nwchar: 7\nsyscr: 6\nsyscw: 1\nread_bytes: 8192\n"
        "write_bytes: 40960\ncancelled_write_bytes: 4096\n";
    const Case cases[] = {
        {"as the kernel writes it", full, true, 40960, 4096},
        {"large counts", "write_bytes: 18446744073709551615\ncancelled_write_bytes: 0\n", true,
         18446744073709551615ULL, 0},
        {"no cancelled line", "read_bytes: 1\nwrite_bytes: 2\n", false, 0, 0},
        {"no write line", "cancelled_write_bytes: 2\n", false, 0, 0},
        {"a value that is not a number", "write_bytes: x\ncancelled_write_bytes: 2\n", false, 0, 0},
        {"read_bytes is not write_bytes", "read_bytes: 5\ncancelled_write_bytes: 2\n", false, 0, 0},
        {"empty", "", false, 0, 0},
    };
    for (const Case& c : cases) {
        IoBytes got{7, 7};
        bool ok = ParseProcIo(c.text, &got);
        EXPECT_EQ(ok, c.ok) << c.name;
        uint64_t wantWritten = c.ok ? c.written : 7, wantCancelled = c.ok ? c.cancelled : 7;
        EXPECT_EQ(got.written, wantWritten) << c.name << ": got " << got.written;
        EXPECT_EQ(got.cancelled, wantCancelled) << c.name << ": got " << got.cancelled;
    }
}

TEST(ReadSelfIo, CountsWhatThisProcessWrites) {
    IoBytes before, after;
    ASSERT_TRUE(ReadSelfIo(&before)) << "got no /proc/self/io";
    const char path[] = "bench_tally_test.out";
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::string block(65536, 'x');
    EXPECT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    EXPECT_EQ(fsync(fd), 0);
    close(fd);
    unlink(path);
    ASSERT_TRUE(ReadSelfIo(&after));
    EXPECT_GE(after.written - before.written, block.size())
        << "got " << after.written - before.written << " bytes written, want the 64 KiB block";
}

TEST(ParseStraceSummary, TakesTheCallsColumn) {
    // strace 6: every column; a row without errors leaves that column blank.
    const std::string withErrors =
        "% time     seconds  usecs/call     calls    errors syscall\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        " 62.82    0.003073         512         6         3 wait4\n"
        " 18.40    0.000900         900         1           fdatasync\n"
        "  7.26    0.000355           3        99        39 openat\n"
        "  0.00    0.000000           0         2           fsync\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        "100.00    0.004892          10       472        69 total\n";
    // The total row without usecs/call and without errors, as older
    // versions write it: counting words would take 472 for errors.
    const std::string shortTotal =
        "% time     seconds  usecs/call     calls    errors syscall\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        " 99.00    0.003000        1500         2           fdatasync\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        "100.00    0.003000                   472           total\n";
    struct Case {
        const char* name;
        std::string text;
        std::map<std::string, uint64_t> want;
    };
    const Case cases[] = {
        {"strace 6", withErrors,
         {{"wait4", 6}, {"fdatasync", 1}, {"openat", 99}, {"fsync", 2}, {"total", 472}}},
        {"blank columns", shortTotal, {{"fdatasync", 2}, {"total", 472}}},
        {"no header: no table", " 62.82    0.003073         512         6         3 wait4\n", {}},
        {"a process's own output around the table",
         "exited with 0\n" + withErrors + "+++ exited with 0 +++\n",
         {{"wait4", 6}, {"fdatasync", 1}, {"openat", 99}, {"fsync", 2}, {"total", 472}}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        std::map<std::string, uint64_t> got = ParseStraceSummary(c.text);
        EXPECT_EQ(got, c.want) << c.name;
    }
}

}  // namespace
}  // namespace mqbench
