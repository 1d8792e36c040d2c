// lmtp_fuzz.cpp - the LMTP session's parser under arbitrary bytes.
//
// Each input is fed to one session whole and to another in pieces whose
// sizes the input itself chooses; the two must give the same replies and
// hand the same bodies to their sinks (a session must not care where the
// reads split the stream). Besides, the sink is called in its order (Begin,
// Appends, then Commit or Abort), a body never passes the size limit, a
// commit always has recipients, every reply is a CRLF-ended line starting
// with a three-digit code, and DATA's end gives one reply per recipient.
// A violated rule aborts, which the fuzzer reports with the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lmtpsession.h"

namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "lmtp_fuzz: %s\n", what);
        std::abort();
    }
}

class CheckingSink : public mqlmtpd::MessageSink {
public:
    explicit CheckingSink(uint64_t limit) : m_limit(limit) {}
    std::string CheckAddress(const std::string& address) override {
        return address.find('!') != std::string::npos ? "refused" : "";
    }
    void Begin() override {
        Require(!m_open, "Begin inside a body");
        m_open = true;
        m_body.clear();
    }
    void Append(const char* data, size_t size) override {
        Require(m_open, "Append outside a body");
        m_body.append(data, size);
        Require(m_body.size() <= m_limit, "body past the size limit");
    }
    mqlmtpd::PutResult Commit(const std::string& sender,
                              const std::vector<std::string>& recipients) override {
        Require(m_open, "Commit outside a body");
        Require(!recipients.empty(), "Commit without recipients");
        Require(!sender.empty(), "Commit without a sender");
        m_open = false;
        m_log += "commit " + sender + " " + std::to_string(recipients.size()) + " " + m_body + "\n";
        mqlmtpd::PutResult r;
        // Every third message fails, as a store can.
        r.kind = ++m_commits % 3 == 0 ? mqlmtpd::PutResult::Kind::kTempFail
                                      : mqlmtpd::PutResult::Kind::kStored;
        r.id = std::to_string(m_commits);
        m_lastRecipients = recipients.size();
        return r;
    }
    void Abort() override {
        Require(m_open, "Abort outside a body");
        m_open = false;
        m_log += "abort\n";
    }
    const std::string& Log() const { return m_log; }

private:
    uint64_t m_limit;
    bool m_open = false;
    std::string m_body;
    std::string m_log;
    int m_commits = 0;
    size_t m_lastRecipients = 0;
};

void CheckReplies(const std::string& out) {
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find("\r\n", pos);
        Require(end != std::string::npos, "a reply without its CRLF");
        Require(end - pos >= 4, "a reply line too short");
        for (size_t k = 0; k < 3; ++k) {
            Require(out[pos + k] >= '0' && out[pos + k] <= '9', "a reply without its code");
        }
        Require(out[pos + 3] == ' ' || out[pos + 3] == '-', "a reply code not followed by ' ' or '-'");
        pos = end + 2;
    }
}

// Run - feeds data to a fresh session in pieces (whole when step is 0);
// returns its replies and what its sink saw.
std::string Run(const uint8_t* data, size_t size, size_t step) {
    mqlmtpd::SessionLimits limits;
    limits.maxSize = 300;
    limits.maxRecipients = 5;
    limits.maxLine = 64;
    CheckingSink sink(limits.maxSize);
    mqlmtpd::LmtpSession session(&sink, limits, "fuzz.test", nullptr);
    session.Greet();
    std::string out;
    size_t i = 0;
    while (i < size && !session.Closed()) {
        size_t n = step == 0 ? size - i : std::min(step + (i % 3), size - i);
        session.Feed(reinterpret_cast<const char*>(data) + i, n);
        std::string part = session.TakeOutput();
        CheckReplies(part);
        out += part;
        i += n;
    }
    if (!session.Closed()) session.Disconnected();
    out += session.TakeOutput();
    return out + "--\n" + sink.Log();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t step = size > 0 ? (data[0] % 7) + 1 : 1;
    std::string whole = Run(data, size, 0);
    std::string pieces = Run(data, size, step);
    Require(whole == pieces, "the replies or bodies depend on where the input was split");
    return 0;
}
