// syscalls_test - the real system-call table's boot id: the kernel's, cut
// to the caller's buffer and always terminated, the same on every call
// (it is read once per process).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "syscalls.h"

namespace {

TEST(RealSysCalls, BootIdIsTheKernelsAtAnyBufferSize) {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string kernel;
    if (!std::getline(in, kernel)) GTEST_SKIP() << "no /proc here";
    ASSERT_EQ(kernel.size(), 36u) << "got " << kernel;
    MQResetSysCalls();
    struct Case {
        size_t size;
        int want;  // the length returned
    } cases[] = {{64, 36}, {37, 36}, {36, 35}, {9, 8}, {1, 0}, {0, -1}};
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            char out[80];
            std::memset(out, 'x', sizeof out);
            int got = MQSysCallTable()->bootid(out, c.size);
            EXPECT_EQ(got, c.want) << "buffer of " << c.size << ", call " << round + 1;
            if (got < 0) continue;
            EXPECT_EQ(std::string(out), kernel.substr(0, static_cast<size_t>(got)))
                << "buffer of " << c.size << ", call " << round + 1;
            EXPECT_EQ(out[c.size], 'x') << "wrote past a buffer of " << c.size;
        }
    }
}

}  // namespace
