// mqdouble.cpp - the recording double of the queue store (see mqdouble.h).
#include "mqdouble.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "mq.h"
#include "mqput.h"
#include "mqconfig.h"

MQConfig OneMQ;

MQConfig::~MQConfig() { myQList.Clear(); }

// A handle: its kind ('R' read, 'E' entry) and number. Reading it after it
// was freed is what the sanitizers are to catch.
struct MQContext {
    char kind;
    int n;
};

namespace mqdouble {
namespace {

std::mutex g_mu;
Script g_script;
std::vector<std::string> g_calls;
std::vector<PutRecord> g_puts;
std::vector<std::unique_ptr<MQchannelDBStr>> g_channels;
std::map<stEnvelope*, unsigned long> g_envelopes;
int g_liveHandles = 0;
int g_readHandles = 0;
int g_entries = 0;
std::string g_path;
const char* g_lastPath = nullptr;

std::string Str(const char* s) { return s != nullptr ? s : "null"; }

std::string Handle(const MQContext* h) {
    if (h == nullptr) return "null";
    return std::string(1, h->kind) + std::to_string(h->n);
}

void Record(const std::string& call) { g_calls.push_back(call); }

MQContext* NewHandle(char kind, int* counter) {
    ++g_liveHandles;
    return new MQContext{kind, ++*counter};
}

void FreeHandle(MQContext* h) {
    --g_liveHandles;
    delete h;
}

char* Dup(const std::string& s) {
    if (s == "(null)") return nullptr;
    return strdup(s.c_str());
}

const char* SetPath(const std::string& text) {
    g_path = text;
    g_lastPath = g_path.c_str();
    return g_lastPath;
}

}  // namespace

Script& script() { return g_script; }

void Reset() {
    std::lock_guard<std::mutex> hold(g_mu);
    g_script = Script();
    g_calls.clear();
    g_puts.clear();
    g_lastPath = nullptr;
    g_readHandles = 0;
    g_entries = 0;
}

void ClearCalls() {
    std::lock_guard<std::mutex> hold(g_mu);
    g_calls.clear();
}

void SetChannels(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> hold(g_mu);
    OneMQ.myQList.Clear();
    g_channels.clear();
    for (const std::string& name : names) {
        auto rec = std::make_unique<MQchannelDBStr>();
        std::memset(rec.get(), 0, sizeof *rec);
        std::strncpy(rec->szQueue, name.c_str(), sizeof rec->szQueue - 1);
        rec->QueueID = static_cast<uint32_t>(g_channels.size() + 1);
        rec->bInstalled = 1;
        OneMQ.myQList.Add(rec.get());
        g_channels.push_back(std::move(rec));
    }
}

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(g_mu);
    return g_calls;
}

std::vector<PutRecord> Puts() {
    std::lock_guard<std::mutex> hold(g_mu);
    return g_puts;
}

const char* LastPath() { return g_lastPath; }

int LiveHandles() {
    std::lock_guard<std::mutex> hold(g_mu);
    return g_liveHandles;
}

int LiveEnvelopes() {
    std::lock_guard<std::mutex> hold(g_mu);
    return static_cast<int>(g_envelopes.size());
}

std::string IdPath(unsigned long id, const std::string& ext) {
    return "/var/spool/mq/msg/" + std::to_string(id) + ext;
}

std::string EntryPath(int n, const std::string& ext) {
    return "/var/spool/mq/msg/entry" + std::to_string(n) + ext;
}

}  // namespace mqdouble

using namespace mqdouble;

bool MQInit(const char* ldap, const char* appname) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("MQInit(" + Str(ldap) + "," + Str(appname) + ")");
    return g_script.init;
}

MQContext* OpenMQChannel(const char* channel) {
    std::lock_guard<std::mutex> hold(g_mu);
    MQContext* h = g_script.open ? NewHandle('R', &g_readHandles) : nullptr;
    Record("OpenMQChannel(" + Str(channel) + ")=" + Handle(h));
    return h;
}

static unsigned long NextId(const char* name, MQContext* handle, bool bWait) {
    std::lock_guard<std::mutex> hold(g_mu);
    unsigned long id = 0;
    if (!g_script.ids.empty()) {
        id = g_script.ids.front();
        g_script.ids.pop_front();
    }
    Record(std::string(name) + "(" + Handle(handle) + "," + (bWait ? "true" : "false") +
           ")=" + std::to_string(id));
    return id;
}

unsigned long GetFirstMessage(MQContext* handle, bool bWait) {
    return NextId("GetFirstMessage", handle, bWait);
}

unsigned long GetNextMessage(MQContext* handle, bool bWait) {
    return NextId("GetNextMessage", handle, bWait);
}

stEnvelope* GetMQEnvelope(unsigned long id) {
    std::lock_guard<std::mutex> hold(g_mu);
    auto it = g_script.envelopes.find(id);
    Record("GetMQEnvelope(" + std::to_string(id) + ")" + (it == g_script.envelopes.end() ? "=null" : ""));
    if (it == g_script.envelopes.end()) return nullptr;
    auto* env = new stEnvelope;
    for (const Party& p : it->second.from) {
        env->caFrom.Add(new _envFrom{Dup(p.address), strdup(""), 0, 0, strdup(""), Dup(p.queue)});
    }
    for (const Party& p : it->second.to) {
        env->caTo.Add(new _envRecip{Dup(p.address), strdup(""), 0, strdup(""), Dup(p.queue)});
    }
    g_envelopes[env] = id;
    return env;
}

void FreeMQEnvelope(stEnvelope* envelope) {
    std::lock_guard<std::mutex> hold(g_mu);
    auto it = g_envelopes.find(envelope);
    if (it == g_envelopes.end()) {
        // Not one of ours, or given back twice: recorded, never touched.
        Record(std::string("FreeMQEnvelope(") + (envelope == nullptr ? "null" : "?") + ")");
        return;
    }
    Record("FreeMQEnvelope(env" + std::to_string(it->second) + ")");
    g_envelopes.erase(it);
    envelope->caFrom.Reset();
    for (_envFrom* f = envelope->caFrom.Next(); f != nullptr; f = envelope->caFrom.Next()) {
        std::free(f->address);
        std::free(f->envid);
        std::free(f->lan_address);
        std::free(f->szQueue);
        delete f;
    }
    envelope->caTo.Reset();
    for (_envRecip* r = envelope->caTo.Next(); r != nullptr; r = envelope->caTo.Next()) {
        std::free(r->address);
        std::free(r->orcpt);
        std::free(r->lan_address);
        std::free(r->szQueue);
        delete r;
    }
    delete envelope;
}

char* GetMQPathName(unsigned long id, const char* ext) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("GetMQPathName(" + std::to_string(id) + "," + Str(ext) + ")");
    if (!g_script.idPath || ext == nullptr) return nullptr;
    return const_cast<char*>(SetPath(IdPath(id, ext)));
}

char* GetMQPathName(MQContext* handle, const char* ext) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("GetMQPathName(" + Handle(handle) + "," + Str(ext) + ")");
    if (!g_script.entryPath || handle == nullptr || ext == nullptr) return nullptr;
    if (!g_script.entryPathText.empty()) return const_cast<char*>(SetPath(g_script.entryPathText));
    return const_cast<char*>(SetPath(EntryPath(handle->n, ext)));
}

bool RemoveMQChannel(MQContext* handle) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("RemoveMQChannel(" + Handle(handle) + ")");
    return handle != nullptr && g_script.remove;
}

bool CloseMQChannel(MQContext* handle) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("CloseMQChannel(" + Handle(handle) + ")");
    if (handle == nullptr) return false;
    bool ok = true;
    if (!g_script.closeChannel.empty()) {
        ok = g_script.closeChannel.front();
        g_script.closeChannel.pop_front();
    }
    if (ok) FreeHandle(handle);
    return ok;
}

MQContext* CreateMQEntry() {
    std::lock_guard<std::mutex> hold(g_mu);
    MQContext* h = g_script.create ? NewHandle('E', &g_entries) : nullptr;
    Record("CreateMQEntry()=" + Handle(h));
    return h;
}

bool InsertMQChannel(MQContext* entry, const char* channel, int iFlags) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("InsertMQChannel(" + Handle(entry) + "," + Str(channel) + "," +
           std::to_string(iFlags) + ")");
    return g_script.insert;
}

bool PutMQEnvelope(MQContext* entry, stEnvelope* envelope) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("PutMQEnvelope(" + Handle(entry) + ")");
    if (envelope == nullptr) return false;
    PutRecord put;
    envelope->caFrom.Reset();
    for (_envFrom* f = envelope->caFrom.Next(); f != nullptr; f = envelope->caFrom.Next()) {
        put.from.push_back({f->address, Str(f->address), Str(f->envid), Str(f->lan_address),
                            Str(f->szQueue), f->ret, f->body});
    }
    envelope->caTo.Reset();
    for (_envRecip* r = envelope->caTo.Next(); r != nullptr; r = envelope->caTo.Next()) {
        put.to.push_back({r->address, Str(r->address), Str(r->orcpt), Str(r->lan_address),
                          Str(r->szQueue), r->notify});
    }
    put.dwSize = envelope->dwSize;
    put.iPri = envelope->iPri;
    g_puts.push_back(std::move(put));
    return g_script.putEnvelope;
}

bool CloseMQEntry(MQContext* entry) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("CloseMQEntry(" + Handle(entry) + ")");
    if (entry == nullptr || !g_script.closeEntry) return false;
    FreeHandle(entry);
    return true;
}

void DiscardMQEntry(MQContext* entry) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("DiscardMQEntry(" + Handle(entry) + ")");
    if (entry != nullptr) FreeHandle(entry);
}

bool WriteMQBody(MQContext* entry, const void* body, size_t size) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("WriteMQBody(" + Handle(entry) + "," +
           std::string(static_cast<const char*>(body), size) + ")");
    return entry != nullptr && g_script.writeBody;
}

bool WriteMQBodyFd(MQContext* entry, int fd) {
    std::lock_guard<std::mutex> hold(g_mu);
    Record("WriteMQBodyFd(" + Handle(entry) + "," + std::to_string(fd) + ")");
    return entry != nullptr && g_script.writeBody;
}
