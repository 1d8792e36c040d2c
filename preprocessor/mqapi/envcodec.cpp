// envcodec.cpp - copying, encoding and rebuilding envelopes.
//
// The encoding is a version byte followed by length-prefixed fields in a
// fixed order, little-endian. It is private to the store: only its own
// database holds it, and the version byte lets a later store read older
// entries.
#include "envcodec.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace mqstore {

namespace {

const unsigned char kVersion = 1;
// An envelope larger than this is no envelope of ours: refuse it rather
// than allocate for a damaged length.
const uint32_t kMaxCount = 1u << 20;

std::string Text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

class Writer {
public:
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m_out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    void Str(const std::string& s) {
        U32(static_cast<uint32_t>(s.size()));
        m_out += s;
    }
    void Byte(unsigned char b) { m_out.push_back(static_cast<char>(b)); }
    std::string Take() { return std::move(m_out); }

private:
    std::string m_out;
};

class Reader {
public:
    explicit Reader(const std::string& in) : m_in(in) {}
    bool U32(uint32_t* v) {
        if (m_in.size() - m_pos < 4) return false;
        *v = 0;
        for (int i = 0; i < 4; ++i) {
            *v |= static_cast<uint32_t>(static_cast<unsigned char>(m_in[m_pos + i])) << (8 * i);
        }
        m_pos += 4;
        return true;
    }
    bool I32(int32_t* v) {
        uint32_t u;
        if (!U32(&u)) return false;
        *v = static_cast<int32_t>(u);
        return true;
    }
    bool Str(std::string* s) {
        uint32_t length;
        if (!U32(&length) || m_in.size() - m_pos < length) return false;
        s->assign(m_in, m_pos, length);
        m_pos += length;
        // A C string can't hold a NUL: one here means damage.
        return s->find('\0') == std::string::npos;
    }
    bool Byte(unsigned char* b) {
        if (m_pos >= m_in.size()) return false;
        *b = static_cast<unsigned char>(m_in[m_pos++]);
        return true;
    }
    bool AtEnd() const { return m_pos == m_in.size(); }

private:
    const std::string& m_in;
    size_t m_pos = 0;
};

char* Dup(const std::string& s) {
    char* copy = static_cast<char*>(std::malloc(s.size() + 1));
    if (copy != nullptr) std::memcpy(copy, s.c_str(), s.size() + 1);
    return copy;
}

void FreeSender(_envFrom* r) {
    if (r == nullptr) return;
    std::free(r->address);
    std::free(r->envid);
    std::free(r->lan_address);
    std::free(r->szQueue);
    std::free(r);
}

void FreeRecipient(_envRecip* r) {
    if (r == nullptr) return;
    std::free(r->address);
    std::free(r->orcpt);
    std::free(r->lan_address);
    std::free(r->szQueue);
    std::free(r);
}

_envFrom* NewSender(const SenderRecord& s) {
    auto* r = static_cast<_envFrom*>(std::calloc(1, sizeof(_envFrom)));
    if (r == nullptr) return nullptr;
    r->address = Dup(s.address);
    r->envid = Dup(s.envid);
    r->lan_address = Dup(s.lanAddress);
    r->szQueue = Dup(s.queue);
    r->ret = s.ret;
    r->body = s.body;
    if (!r->address || !r->envid || !r->lan_address || !r->szQueue) {
        FreeSender(r);
        return nullptr;
    }
    return r;
}

_envRecip* NewRecipient(const RecipientRecord& s) {
    auto* r = static_cast<_envRecip*>(std::calloc(1, sizeof(_envRecip)));
    if (r == nullptr) return nullptr;
    r->address = Dup(s.address);
    r->orcpt = Dup(s.orcpt);
    r->lan_address = Dup(s.lanAddress);
    r->szQueue = Dup(s.queue);
    r->notify = s.notify;
    if (!r->address || !r->orcpt || !r->lan_address || !r->szQueue) {
        FreeRecipient(r);
        return nullptr;
    }
    return r;
}

}  // namespace

}  // namespace mqstore

// The one place that marks an envelope as the store's (mq.h befriends it).
class MQEnvelopeFactory {
public:
    static stEnvelope* Make() {
        auto* envelope = new (std::nothrow) stEnvelope();
        if (envelope != nullptr) envelope->bOwnMemoryAlloc = true;
        return envelope;
    }
};

namespace mqstore {

bool CopyEnvelope(const stEnvelope& envelope, EnvelopeData* out) {
    out->from.clear();
    out->to.clear();
    out->priority = envelope.iPri;
    for (auto* node = envelope.caFrom.pBase; node != nullptr; node = node->pNext) {
        const _envFrom* r = node->stUser;
        if (r == nullptr) return false;
        out->from.push_back({Text(r->address), Text(r->envid), Text(r->lan_address),
                             Text(r->szQueue), r->ret, r->body});
    }
    for (auto* node = envelope.caTo.pBase; node != nullptr; node = node->pNext) {
        const _envRecip* r = node->stUser;
        if (r == nullptr) return false;
        out->to.push_back({Text(r->address), Text(r->orcpt), Text(r->lan_address),
                           Text(r->szQueue), r->notify});
    }
    return true;
}

std::string EncodeEnvelope(const EnvelopeData& data) {
    Writer w;
    w.Byte(kVersion);
    w.I32(data.priority);
    w.U32(static_cast<uint32_t>(data.from.size()));
    for (const SenderRecord& s : data.from) {
        w.Str(s.address);
        w.Str(s.envid);
        w.I32(s.ret);
        w.I32(s.body);
        w.Str(s.lanAddress);
        w.Str(s.queue);
    }
    w.U32(static_cast<uint32_t>(data.to.size()));
    for (const RecipientRecord& r : data.to) {
        w.Str(r.address);
        w.Str(r.orcpt);
        w.I32(r.notify);
        w.Str(r.lanAddress);
        w.Str(r.queue);
    }
    return w.Take();
}

bool DecodeEnvelope(const std::string& bytes, EnvelopeData* out) {
    Reader r(bytes);
    unsigned char version = 0;
    uint32_t count = 0;
    out->from.clear();
    out->to.clear();
    if (!r.Byte(&version) || version != kVersion || !r.I32(&out->priority)) return false;
    if (!r.U32(&count) || count > kMaxCount) return false;
    for (uint32_t i = 0; i < count; ++i) {
        SenderRecord s;
        if (!r.Str(&s.address) || !r.Str(&s.envid) || !r.I32(&s.ret) || !r.I32(&s.body) ||
            !r.Str(&s.lanAddress) || !r.Str(&s.queue)) {
            return false;
        }
        out->from.push_back(std::move(s));
    }
    if (!r.U32(&count) || count > kMaxCount) return false;
    for (uint32_t i = 0; i < count; ++i) {
        RecipientRecord t;
        if (!r.Str(&t.address) || !r.Str(&t.orcpt) || !r.I32(&t.notify) ||
            !r.Str(&t.lanAddress) || !r.Str(&t.queue)) {
            return false;
        }
        out->to.push_back(std::move(t));
    }
    return r.AtEnd();
}

stEnvelope* BuildEnvelope(const EnvelopeData& data, uint32_t bodySize) {
    stEnvelope* envelope = MQEnvelopeFactory::Make();
    if (envelope == nullptr) return nullptr;
    envelope->dwSize = bodySize;
    envelope->iPri = data.priority;
    for (const SenderRecord& s : data.from) {
        _envFrom* r = NewSender(s);
        if (r == nullptr || envelope->caFrom.Add(r) == nullptr) {
            FreeSender(r);
            ReleaseEnvelope(envelope);
            return nullptr;
        }
    }
    for (const RecipientRecord& t : data.to) {
        _envRecip* r = NewRecipient(t);
        if (r == nullptr || envelope->caTo.Add(r) == nullptr) {
            FreeRecipient(r);
            ReleaseEnvelope(envelope);
            return nullptr;
        }
    }
    return envelope;
}

void ReleaseEnvelope(stEnvelope* envelope) {
    if (envelope == nullptr) return;
    for (auto* node = envelope->caFrom.pBase; node != nullptr; node = node->pNext) {
        FreeSender(node->stUser);
    }
    for (auto* node = envelope->caTo.pBase; node != nullptr; node = node->pNext) {
        FreeRecipient(node->stUser);
    }
    delete envelope;
}

}  // namespace mqstore
