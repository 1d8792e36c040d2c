// client_fixture.h - what the queue client's double-based tests share:
// messages built the way a caller builds them, and a fixture that scripts
// the store double afresh for every test and checks that every handle and
// envelope went back to the store.
#ifndef MQ_TEST_CLIENT_FIXTURE_H
#define MQ_TEST_CLIENT_FIXTURE_H

#include <algorithm>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mqapi.h"
#include "mqdouble.h"

namespace clienttest {

// A message as a caller builds it for PutMsg. A null address makes a user
// without one; nullFrom / nullTo leave that header off the message.
class CallerMessage {
public:
    CallerMessage(const std::vector<const char*>& senders,
                  const std::vector<const char*>& recipients, bool nullFrom = false,
                  bool nullTo = false) {
        Fill(senders, &from);
        Fill(recipients, &to);
        if (!nullFrom) msg.setFrom(&from);
        if (!nullTo) msg.setTo(&to);
    }
    cMessage* get() { return &msg; }
    cUserInfo* user(size_t i) { return users[i].get(); }

private:
    void Fill(const std::vector<const char*>& addresses, cEnvHeader* header) {
        for (const char* a : addresses) {
            users.push_back(std::make_unique<cUserInfo>());
            if (a != nullptr) {
                EXPECT_EQ(users.back()->setLan_addr(a), MQ_SUCCESS) << a;
            }
            header->add(users.back().get());
        }
    }

    std::vector<std::unique_ptr<cUserInfo>> users;
    cEnvHeader from;
    cEnvHeader to;
    cMessage msg;  // last: its destructor empties the headers above
};

// The addresses (or "(none)") of a header's users, in order, joined by ' '.
inline std::string Addresses(cEnvHeader* header) {
    if (header == nullptr) return "(no header)";
    std::string out;
    header->getFirst();
    for (cUserInfo* u = header->getNext(); u != nullptr; u = header->getNext()) {
        if (!out.empty()) out += ' ';
        out += u->getLan_addr() != nullptr ? u->getLan_addr() : "(none)";
    }
    return out;
}

inline std::string Joined(const std::vector<std::string>& calls) {
    std::string out;
    for (const std::string& c : calls) out += "\n  " + c;
    return out.empty() ? "\n  (no calls)" : out;
}

// Expects the calls recorded since the last Reset() to be exactly want.
#define EXPECT_CALLS(...)                                                              \
    do {                                                                               \
        std::vector<std::string> want_ = __VA_ARGS__;                                  \
        std::vector<std::string> got_ = mqdouble::Calls();                             \
        EXPECT_EQ(got_, want_) << "got calls:" << clienttest::Joined(got_)             \
                               << "\nwant:" << clienttest::Joined(want_);              \
    } while (0)

// calls as a reader's interface orders them: the calls that open a
// channel, hand out, remove and close in the order made, then the reads of
// entries' parts (envelope, path) and the envelopes' releases sorted, since
// nothing fixes which part is read or let go of first (an entry's parts can
// only be asked for by an identifier already handed out).
inline std::vector<std::string> PartsUnordered(const std::vector<std::string>& calls) {
    std::vector<std::string> ordered, parts;
    for (const std::string& c : calls) {
        bool part = c.rfind("GetMQEnvelope(", 0) == 0 || c.rfind("GetMQPathName(", 0) == 0 ||
                    c.rfind("FreeMQEnvelope(", 0) == 0;
        (part ? parts : ordered).push_back(c);
    }
    std::sort(parts.begin(), parts.end());
    ordered.insert(ordered.end(), parts.begin(), parts.end());
    return ordered;
}

// EXPECT_CALLS, the parts of each entry read and released in any order.
#define EXPECT_READER_CALLS(...)                                                       \
    do {                                                                               \
        std::vector<std::string> want_ = clienttest::PartsUnordered(__VA_ARGS__);      \
        std::vector<std::string> got_ = clienttest::PartsUnordered(mqdouble::Calls()); \
        EXPECT_EQ(got_, want_) << "got calls:" << clienttest::Joined(got_)             \
                               << "\nwant:" << clienttest::Joined(want_);              \
    } while (0)

inline mqdouble::EnvelopeShape Env(const std::vector<std::string>& from,
                                  const std::vector<std::string>& to) {
    mqdouble::EnvelopeShape shape;
    for (const std::string& a : from) shape.from.push_back({a, ""});
    for (const std::string& a : to) shape.to.push_back({a, ""});
    return shape;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY", "local"});
        handles_ = mqdouble::LiveHandles();
        envelopes_ = mqdouble::LiveEnvelopes();
    }
    void TearDown() override {
        // Every cMQ of the test is gone by now: what it took, it gave back.
        EXPECT_EQ(mqdouble::LiveHandles(), handles_) << "store handles left open";
        EXPECT_EQ(mqdouble::LiveEnvelopes(), envelopes_) << "store envelopes never freed";
    }
    // Scripts entry id with the envelope from -> to and the next-id answers.
    static void Offer(std::vector<unsigned long> ids) {
        for (unsigned long id : ids) mqdouble::script().ids.push_back(id);
    }
    static void Envelope(unsigned long id, const std::vector<std::string>& from,
                         const std::vector<std::string>& to) {
        mqdouble::script().envelopes[id] = Env(from, to);
    }
    static void ForgetCalls() { mqdouble::ClearCalls(); }

private:
    int handles_ = 0;
    int envelopes_ = 0;
};

}  // namespace clienttest

#endif
