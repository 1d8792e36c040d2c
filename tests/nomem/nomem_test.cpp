// nomem_test.cpp - the exported functions of the INI reader, the directory
// client and the toolkit when C++ allocations fail: each is called with its
// n-th allocation failing, for every n until a call runs through, and must
// answer with its own result (success, or the failure it documents), never
// with an exception, a leak (the sanitizer's leak check) or a half-made
// change. Only allocations through operator new fail (failing_new.h).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "temp_dir.h"
#include "failing_new.h"
#include "ldapclient.h"
#include "mqapi.h"
#include "profile.h"

namespace {

enum Outcome { kSucceeded, kFailedAsDocumented, kWrong };

struct Case {
    const char* name;
    std::function<Outcome()> call;
    bool canSucceed;  // with memory to spare, the call succeeds
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class NoMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        dir_.Write("daduv.ini", "[Config]\nInstallDirectory = " + dir_.path() +
                                    "\n[Ldap]\nHostName = 127.0.0.1\nPort = 1\n"
                                    "Hostname = host.example.org\n");
        dir_.Write("queue.cfg", "RELAY\t\tsmtp\t\tout\r\n");
        setenv("MQ_CONFIG_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("MQ_CONFIG_DIR"); }

    // Runs c with its n-th allocation failing, n = 0, 1, ... until it runs
    // through without a failure.
    void Exhaust(const Case& c) {
        SCOPED_TRACE(c.name);
        for (long n = 0; n < 10000; ++n) {
            Outcome got = kWrong;
            nomem::FailAfter(n);
            try {
                got = c.call();
            } catch (...) {
                nomem::Stop();
                ADD_FAILURE() << "an exception left the call when allocation " << n << " failed";
                return;
            }
            nomem::Stop();
            const bool injected = nomem::Failed();
            EXPECT_NE(got, kWrong) << "allocation " << n << " failed";
            if (!injected) {
                EXPECT_EQ(got, c.canSucceed ? kSucceeded : kFailedAsDocumented)
                    << "with no allocation failing";
                EXPECT_GT(n, 0) << "the call allocates nothing: the case tests nothing";
                return;
            }
        }
        ADD_FAILURE() << "still allocating after 10000 allocations";
    }

    mqtest::TempDir dir_;
};

TEST_F(NoMemory, ExportedCallsAnswerWithTheirOwnResults) {
    const std::string cfg = dir_.File("queue.cfg");
    const std::string registry = Slurp(cfg);
    const Case cases[] = {
        {"GetPrivateProfileString",
         [] {
             char value[64];
             errno = 0;
             GetPrivateProfileString("Ldap", "Hostname", "none", value, sizeof value, "daduv.ini");
             if (std::strcmp(value, "host.example.org") == 0) return kSucceeded;
             return std::strcmp(value, "none") == 0 && errno == ENOMEM ? kFailedAsDocumented
                                                                       : kWrong;
         },
         true},
        {"ToDC",
         [] {
             char* dc = ToDC("alpha.beta.gamma");
             if (dc == nullptr) return kFailedAsDocumented;
             Outcome o = std::strcmp(dc, "dc=alpha,dc=beta,dc=gamma") == 0 ? kSucceeded : kWrong;
             std::free(dc);
             return o;
         },
         true},
        {"ldapClientConnect, no server listening",
         [] {
             ldapClient client;
             return client.ldapClientConnect("127.0.0.1", 1) != 0 ? kFailedAsDocumented : kWrong;
         },
         false},
        {"ldapClientConnect, unusable host",
         [] {
             ldapClient client;
             return client.ldapClientConnect("no host", 389) != 0 ? kFailedAsDocumented : kWrong;
         },
         false},
        {"AddModuleName, directory unreachable",
         [] { return AddModuleName("host.example.org", "smtp") ? kWrong : kFailedAsDocumented; },
         false},
        {"cChannel::IsExist",
         [] {
             cChannel channels;
             return channels.IsExist("relay") ? kSucceeded : kFailedAsDocumented;
         },
         true},
        {"cChannel::List",
         [] {
             cChannel channels;
             int seen = 0;
             int rc = channels.List(
                 [](void* n, const char*, const char*, const char*, char) {
                     ++*static_cast<int*>(n);
                     return 0;
                 },
                 &seen);
             if (rc == MQ_SUCCESS) return seen == 1 ? kSucceeded : kWrong;
             return rc == MQ_ERR_FILE ? kFailedAsDocumented : kWrong;
         },
         true},
        {"cChannel::Add, directory unreachable",
         [&cfg, &registry] {
             cChannel channels;
             int rc = channels.Add("BOUNCE", "bounced", "in", 0);
             nomem::Stop();                              // the checks below allocate
             if (Slurp(cfg) != registry) return kWrong;  // nothing half-made
             return rc == MQ_ERR_DIRECTORY_ADD || rc == MQ_ERR_FILE ? kFailedAsDocumented : kWrong;
         },
         false},
    };
    for (const Case& c : cases) Exhaust(c);
}

}  // namespace
