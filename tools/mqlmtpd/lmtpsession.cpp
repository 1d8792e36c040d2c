// lmtpsession.cpp - the LMTP session's commands, replies and data phase.
#include "lmtpsession.h"

#include <cstring>
#include <strings.h>

namespace mqlmtpd {

namespace {

// Upper-cased copy of the command word of line (up to the first space or
// colon).
std::string Verb(const std::string& line) {
    std::string verb;
    for (char c : line) {
        if (c == ' ' || c == ':') break;
        verb += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return verb;
}

// True when text starts with prefix, letter case ignored.
bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

std::string TrimSpaces(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// Printable - text for a log line: control characters, backslashes,
// quotes and bytes above 126 as \xNN, at most 200 characters.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= 200) {
            out += "...";
            break;
        }
        if (c < 0x20 || c >= 0x7f || c == '\\' || c == '"') {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// ParseDecimal - a whole number of digits only that fits 64 bits.
bool ParseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace

bool ParsePath(const std::string& text, std::string* address, std::string* rest) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i >= text.size() || text[i] != '<') return false;
    ++i;
    // A source route, "@a,@b:", is skipped (RFC 5321 4.1.2: to be ignored).
    if (i < text.size() && text[i] == '@') {
        size_t colon = text.find(':', i);
        if (colon == std::string::npos) return false;
        i = colon + 1;
    }
    std::string addr;
    bool quoted = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            addr += c;
            if (c == '\\' && i + 1 < text.size()) {
                addr += text[++i];
            } else if (c == '"') {
                quoted = false;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
            addr += c;
            continue;
        }
        if (c == '>') break;
        if (c == '<' || c == ' ') return false;
        addr += c;
    }
    if (i >= text.size()) return false;  // no closing '>'
    *address = addr;
    *rest = text.substr(i + 1);
    return true;
}

LmtpSession::LmtpSession(MessageSink* sink, const SessionLimits& limits, std::string hostname,
                         std::function<void(const std::string&)> log)
    : m_sink(sink), m_limits(limits), m_hostname(std::move(hostname)), m_log(std::move(log)) {}

void LmtpSession::Greet() { Reply(220, "", m_hostname + " LMTP ready"); }

std::string LmtpSession::TakeOutput() {
    std::string out;
    out.swap(m_out);
    return out;
}

void LmtpSession::Reply(int code, const std::string& enhanced, const std::string& text) {
    m_out += std::to_string(code);
    m_out += ' ';
    if (!enhanced.empty()) {
        m_out += enhanced;
        m_out += ' ';
    }
    m_out += text;
    m_out += "\r\n";
}

void LmtpSession::Refused(const std::string& command, int code, const std::string& enhanced,
                          const std::string& text) {
    Reply(code, enhanced, text);
    if (m_log) {
        m_log("event=refused command=\"" + Printable(command) + "\" status=" +
              std::to_string(code) + " reason=\"" + text + "\"");
    }
}

void LmtpSession::ResetTransaction() {
    m_haveSender = false;
    m_sender.clear();
    m_recipients.clear();
}

void LmtpSession::Feed(const char* data, size_t size) {
    size_t i = 0;
    while (i < size && !m_closed) {
        if (m_stopping && m_state == State::kCommand) {
            Close("4.3.2", "shutting down");
            break;
        }
        if (m_state == State::kData) {
            i += FeedData(data + i, size - i);
            continue;
        }
        const char* nl = static_cast<const char*>(std::memchr(data + i, '\n', size - i));
        size_t end = nl != nullptr ? static_cast<size_t>(nl - data) : size;
        if (!m_overlong) {
            m_line.append(data + i, end - i);
            // The line end counts towards the limit.
            if (m_line.size() + 2 > m_limits.maxLine) {
                m_overlong = true;
                m_line.clear();
            }
        }
        i = end;
        if (nl == nullptr) break;
        ++i;  // the LF
        if (m_overlong) {
            m_overlong = false;
            Refused("(line over " + std::to_string(m_limits.maxLine) + " bytes)", 500, "5.5.2",
                    "Line too long");
            continue;
        }
        std::string line;
        line.swap(m_line);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Command(line);
    }
}

void LmtpSession::Command(const std::string& line) {
    std::string verb = Verb(line);
    std::string arg = line.size() > verb.size() ? line.substr(verb.size()) : "";
    if (verb == "LHLO") return Lhlo(TrimSpaces(arg));
    if (verb == "MAIL") return Mail(arg);
    if (verb == "RCPT") return Rcpt(arg);
    if (verb == "DATA") return Data(arg);
    if (verb == "RSET") {
        if (!TrimSpaces(arg).empty()) return Refused(line, 501, "5.5.4", "Syntax: RSET");
        ResetTransaction();
        return Reply(250, "2.0.0", "Ok");
    }
    if (verb == "NOOP") return Reply(250, "2.0.0", "Ok");
    if (verb == "QUIT") {
        Reply(221, "2.0.0", m_hostname + " closing connection");
        m_closed = true;
        return;
    }
    if (verb == "VRFY") return Reply(252, "2.5.2", "Cannot VRFY user");
    if (verb == "HELO" || verb == "EHLO") {
        return Refused(line, 500, "5.5.1", "This is an LMTP server: use LHLO");
    }
    if (line.empty()) return Refused(line, 500, "5.5.2", "Empty command");
    Refused(line, 500, "5.5.2", "Command unrecognized");
}

void LmtpSession::Lhlo(const std::string& arg) {
    if (arg.empty()) return Refused("LHLO", 501, "5.5.4", "Syntax: LHLO hostname");
    ResetTransaction();
    m_greeted = true;
    m_out += "250-" + m_hostname + "\r\n";
    m_out += "250-PIPELINING\r\n";
    m_out += "250-ENHANCEDSTATUSCODES\r\n";
    m_out += "250-SIZE " + std::to_string(m_limits.maxSize) + "\r\n";
    m_out += "250 8BITMIME\r\n";
}

void LmtpSession::Mail(const std::string& arg) {
    const std::string line = "MAIL" + arg;
    if (!m_greeted) return Refused(line, 503, "5.5.1", "Send LHLO first");
    if (m_haveSender) return Refused(line, 503, "5.5.1", "Nested MAIL command");
    if (!StartsWithNoCase(arg, " FROM:")) return Refused(line, 501, "5.5.4", "Syntax: MAIL FROM:<address>");
    std::string address, rest;
    if (!ParsePath(arg.substr(6), &address, &rest)) {
        return Refused(line, 501, "5.1.7", "Bad sender address syntax");
    }
    // Parameters: SIZE and BODY, as advertised.
    size_t pos = 0;
    while (pos < rest.size()) {
        if (rest[pos] == ' ') {
            ++pos;
            continue;
        }
        size_t end = rest.find(' ', pos);
        if (end == std::string::npos) end = rest.size();
        std::string param = rest.substr(pos, end - pos);
        pos = end;
        size_t eq = param.find('=');
        std::string key = param.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : param.substr(eq + 1);
        if (strcasecmp(key.c_str(), "SIZE") == 0 && eq != std::string::npos) {
            uint64_t size = 0;
            if (!ParseDecimal(value, &size)) return Refused(line, 501, "5.5.4", "Bad SIZE value");
            if (size > m_limits.maxSize) {
                return Refused(line, 552, "5.3.4", "Message size exceeds fixed maximum message size");
            }
        } else if (strcasecmp(key.c_str(), "BODY") == 0 &&
                   (strcasecmp(value.c_str(), "7BIT") == 0 ||
                    strcasecmp(value.c_str(), "8BITMIME") == 0)) {
            // Stored as it comes either way.
        } else {
            return Refused(line, 555, "5.5.4", "Unsupported MAIL parameter " + Printable(key));
        }
    }
    std::string sender = address.empty() ? "<>" : address;
    std::string why = m_sink->CheckAddress(sender);
    if (!why.empty()) return Refused(line, 553, "5.1.7", "Sender address rejected: " + why);
    m_sender = sender;
    m_haveSender = true;
    Reply(250, "2.1.0", "Ok");
}

void LmtpSession::Rcpt(const std::string& arg) {
    const std::string line = "RCPT" + arg;
    if (!m_haveSender) return Refused(line, 503, "5.5.1", "Need MAIL before RCPT");
    if (!StartsWithNoCase(arg, " TO:")) return Refused(line, 501, "5.5.4", "Syntax: RCPT TO:<address>");
    std::string address, rest;
    if (!ParsePath(arg.substr(4), &address, &rest) || address.empty()) {
        return Refused(line, 501, "5.1.3", "Bad recipient address syntax");
    }
    if (!TrimSpaces(rest).empty()) return Refused(line, 555, "5.5.4", "Unsupported RCPT parameter");
    if (m_recipients.size() >= m_limits.maxRecipients) {
        return Refused(line, 452, "4.5.3", "Too many recipients");
    }
    std::string why = m_sink->CheckAddress(address);
    if (!why.empty()) return Refused(line, 550, "5.1.3", "Recipient address rejected: " + why);
    m_recipients.push_back(address);
    Reply(250, "2.1.5", "Ok");
}

void LmtpSession::Data(const std::string& arg) {
    if (!TrimSpaces(arg).empty()) return Refused("DATA" + arg, 501, "5.5.4", "Syntax: DATA");
    if (!m_haveSender) return Refused("DATA", 503, "5.5.1", "Need MAIL command");
    if (m_recipients.empty()) return Refused("DATA", 554, "5.5.1", "No valid recipients");
    m_sink->Begin();
    m_state = State::kData;
    m_dataState = DataState::kLineStart;
    m_pendingCr = false;
    m_bodySize = 0;
    Reply(354, "", "End data with <CR><LF>.<CR><LF>");
}

void LmtpSession::Body(const char* data, size_t size) {
    if (size == 0) return;
    // Past the limit nothing more is kept: the message is refused at its end.
    if (m_bodySize <= m_limits.maxSize) {
        uint64_t room = m_limits.maxSize - m_bodySize;
        m_sink->Append(data, size <= room ? size : static_cast<size_t>(room));
    }
    m_bodySize += size;
}

// FeedData - the data phase over bytes: a line is ended by LF, a CR just
// before it is dropped (a bare CR elsewhere is kept), a leading dot is
// removed, and a line of one dot ends the message. Returns the bytes
// consumed (up to and including the end of the message).
size_t LmtpSession::FeedData(const char* data, size_t size) {
    size_t i = 0;
    while (i < size) {
        char c = data[i];
        switch (m_dataState) {
            case DataState::kLineStart:
                ++i;
                if (c == '.') {
                    m_dataState = DataState::kDot;
                    break;
                }
                m_dataState = DataState::kInLine;
                --i;  // seen again as the line's first byte
                break;
            case DataState::kDot:
                if (c == '\n') {
                    ++i;
                    // "." or ".\r" alone: the end (a pending CR belongs to it).
                    m_pendingCr = false;
                    EndOfData();
                    return i;
                }
                if (c == '\r' && !m_pendingCr) {
                    m_pendingCr = true;
                    ++i;
                    break;
                }
                // A stuffed dot: dropped; what follows is the line's.
                m_dataState = DataState::kInLine;
                break;
            case DataState::kInLine: {
                // Runs of ordinary bytes go in one call.
                size_t j = i;
                while (j < size && data[j] != '\r' && data[j] != '\n') ++j;
                if (j > i) {
                    if (m_pendingCr) {
                        Body("\r", 1);
                        m_pendingCr = false;
                    }
                    Body(data + i, j - i);
                    i = j;
                    break;
                }
                ++i;
                if (c == '\r') {
                    if (m_pendingCr) Body("\r", 1);
                    m_pendingCr = true;
                } else {  // LF
                    m_pendingCr = false;
                    Body("\n", 1);
                    m_dataState = DataState::kLineStart;
                }
                break;
            }
        }
    }
    return i;
}

void LmtpSession::EndOfData() {
    m_state = State::kCommand;
    std::string size = std::to_string(m_bodySize);
    std::string rcpts = std::to_string(m_recipients.size());
    if (m_bodySize > m_limits.maxSize) {
        m_sink->Abort();
        for (size_t k = 0; k < m_recipients.size(); ++k) {
            Reply(552, "5.3.4", "Message size exceeds fixed maximum message size");
        }
        if (m_log) {
            m_log("event=message status=refused size=" + size + " rcpts=" + rcpts +
                  " reason=\"over the size limit\"");
        }
        ResetTransaction();
        return;
    }
    PutResult r = m_sink->Commit(m_sender, m_recipients);
    for (const std::string& rcpt : m_recipients) {
        switch (r.kind) {
            case PutResult::Kind::kStored:
                Reply(250, "2.0.0", "<" + Printable(rcpt) + "> queued as " + r.id);
                break;
            case PutResult::Kind::kDiskFull:
                Reply(452, "4.3.1", "Insufficient system storage");
                break;
            case PutResult::Kind::kTempFail:
                Reply(451, "4.3.0", "Queue unavailable, try again later");
                break;
        }
    }
    if (m_log) {
        std::string line = "event=message";
        if (r.kind == PutResult::Kind::kStored) line += " id=" + r.id;
        line += " from=\"" + Printable(m_sender) + "\" size=" + size + " rcpts=" + rcpts;
        line += r.kind == PutResult::Kind::kStored ? " status=sent" : " status=deferred";
        if (r.kind != PutResult::Kind::kStored) line += " reason=\"" + Printable(r.why) + "\"";
        m_log(line);
    }
    ResetTransaction();
}

void LmtpSession::RequestStop() {
    m_stopping = true;
    if (m_state == State::kCommand) Close("4.3.2", "shutting down");
}

void LmtpSession::Disconnected() {
    if (m_state == State::kData) {
        m_sink->Abort();
        if (m_log) m_log("event=message status=dropped reason=\"client gone in DATA\"");
        m_state = State::kCommand;
    }
    m_closed = true;
}

void LmtpSession::Close(const std::string& enhanced, const std::string& text) {
    if (m_closed) return;
    if (m_state == State::kData) {
        m_sink->Abort();
        if (m_log) m_log("event=message status=dropped reason=\"" + text + "\"");
        m_state = State::kCommand;
    }
    Reply(421, enhanced, m_hostname + " " + text);
    m_closed = true;
}

}  // namespace mqlmtpd
