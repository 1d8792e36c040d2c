// Host names to domain components: the pure functions, case by case, and
// their use from several threads at once.
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mqdirectory.h"

namespace {

// The slots of a domain list as texts; the list is freed.
std::vector<std::string> Slots(int n, char** dc) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.emplace_back(dc[i]);
    FreeDomainList(n, dc);
    return out;
}

std::string Joined(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& x : v) s += "[" + x + "]";
    return s;
}

TEST(ToDC, Forms) {
    struct Case {
        const char* host;
        const char* want;  // null: no form
    } cases[] = {
        {"alpha.beta.gamma", "dc=alpha,dc=beta,dc=gamma"},
        {"alpha", "dc=alpha"},
        {"", nullptr},
        {".", nullptr},
        {"...", nullptr},
        {"alpha.beta.", "dc=alpha,dc=beta"},
        {".alpha", "dc=alpha"},
        {"alpha..beta", "dc=alpha,dc=beta"},
        {"Alpha.Beta", "dc=Alpha,dc=Beta"},
        {"a,b=c .d", "dc=a,b=c ,dc=d"},  // only the dot is special
    };
    for (const Case& c : cases) {
        std::string before = c.host;
        char* got = ToDC(c.host);
        if (c.want == nullptr) {
            EXPECT_EQ(got, nullptr) << "ToDC(\"" << c.host << "\"): got \"" << got
                                    << "\", want null";
        } else {
            ASSERT_NE(got, nullptr) << "ToDC(\"" << c.host << "\"): got null, want " << c.want;
            EXPECT_STREQ(got, c.want) << "ToDC(\"" << c.host << "\")";
        }
        std::free(got);
        EXPECT_EQ(before, c.host) << "ToDC modified its input";
    }
}

TEST(BreakDownDomain, Lists) {
    struct Case {
        const char* host;
        int want;
        std::vector<std::string> slots;
    } cases[] = {
        {"alpha.beta.gamma", 3, {"dc=alpha,dc=beta,dc=gamma", "dc=beta,dc=gamma", "dc=gamma"}},
        {"alpha", 1, {"dc=alpha"}},
        {"", 0, {}},
        {"alpha.beta.", 2, {"dc=alpha,dc=beta", "dc=beta"}},
        {".alpha", 2, {"dc=alpha", "dc=alpha"}},
        {"alpha..beta", 3, {"dc=alpha,dc=beta", "dc=beta", "dc=beta"}},
        {"Alpha.Beta", 2, {"dc=Alpha,dc=Beta", "dc=Beta"}},
    };
    for (const Case& c : cases) {
        std::string before = c.host;
        char** dc = nullptr;
        int n = BreakDownDomain(c.host, &dc);
        ASSERT_EQ(n, c.want) << "BreakDownDomain(\"" << c.host << "\"): got " << n << ", want "
                             << c.want;
        ASSERT_NE(dc, nullptr) << "BreakDownDomain(\"" << c.host << "\") handed out no array";
        std::vector<std::string> got = Slots(n, dc);
        EXPECT_EQ(got, c.slots) << "BreakDownDomain(\"" << c.host << "\"): got " << Joined(got)
                                << ", want " << Joined(c.slots);
        EXPECT_EQ(before, c.host) << "BreakDownDomain modified its input";
    }
}

TEST(BreakDownDomain, NullHostIsEmpty) {
    char** dc = nullptr;
    ASSERT_EQ(BreakDownDomain(nullptr, &dc), 0);
    ASSERT_NE(dc, nullptr);
    FreeDomainList(0, dc);
}

TEST(BreakDownDomain, FailsWithoutTouchingTheCallersPointer) {
    for (const char* host : {"alpha..", ".", "..", "alpha.beta..."}) {
        char* sentinel[1] = {nullptr};
        char** dc = sentinel;
        int n = BreakDownDomain(host, &dc);
        EXPECT_EQ(n, -1) << "BreakDownDomain(\"" << host << "\"): got " << n << ", want -1";
        EXPECT_EQ(dc, sentinel) << "BreakDownDomain(\"" << host << "\") changed *dc on failure";
    }
}

// Each thread splits its own names; a splitter whose position the threads
// shared would hand one thread another's labels.
TEST(BreakDownDomain, ThreadsDontInterfere) {
    const int kThreads = 4;
    const int kRounds = 2000;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            std::string label = "t" + std::to_string(t);
            std::string host = label + "a." + label + "b." + label + "c." + label + "d";
            std::string want = "dc=" + label + "b,dc=" + label + "c,dc=" + label + "d";
            for (int i = 0; i < kRounds; ++i) {
                char** dc = nullptr;
                int n = BreakDownDomain(host.c_str(), &dc);
                if (n != 4 || want != dc[1]) ++wrong[t];
                if (n >= 0) FreeDomainList(n, dc);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t << ": got " << wrong[t] << " wrong lists of "
                               << kRounds << ", want 0";
    }
}

}  // namespace
