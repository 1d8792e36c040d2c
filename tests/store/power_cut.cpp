// power_cut.cpp - the recorder behind power_cut.h: which names and bytes
// under the watched root are on the disk for sure, and the trees a cut
// could leave.
#include "power_cut.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "syscalls.h"
#include "vfs_wrapper.h"

namespace powercut {

namespace {

// A file or a directory, followed across renames: the disk's view of it,
// which the page cache's (the real file now) may be ahead of.
struct Node {
    bool dir = false;
    std::string durable;                      // a file's content at its last sync
    std::map<std::string, int> durableNames;  // a directory's names at its last sync
    bool unnamed = false;                     // a file whose last name went
    std::string lastContent;                  // its content then
    // A directory's changes since its last sync, in order: a name given to
    // a node, or taken away (-1). A cut may keep any first part of them.
    std::vector<std::pair<std::string, int>> changes;
};

std::recursive_mutex g_mutex;
bool g_on = false;
std::string g_root;
int g_rootNode = -1;
std::vector<Node> g_nodes;
std::map<std::pair<dev_t, ino_t>, int> g_byInode;
std::function<void(const std::string&)> g_hook;
std::function<bool(const std::string&)> g_skip;
int g_syncs = 0;
int g_boot = 1;  // the boot the store is told it runs in

MQSysCalls g_real;
int (*g_openDirectory)(const char*, int*) = nullptr;

// --- plain file work (never through the table: the recorder's own) ---

std::string ReadAll(const std::string& path) {
    std::string content;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return content;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return content;
}

void WriteAll(const std::string& path, const std::string& content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) throw std::runtime_error("create " + path + ": " + std::strerror(errno));
    // Pages of zeros are left as holes (the lock file's gaps, the reserve):
    // far cheaper to write out at every cut, and the same bytes to a reader.
    const size_t kPage = 4096;
    for (size_t at = 0; at < content.size(); at += kPage) {
        size_t size = std::min(kPage, content.size() - at);
        if (std::all_of(content.begin() + at, content.begin() + at + size,
                        [](char c) { return c == '\0'; })) {
            continue;
        }
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::pwrite(fd, content.data() + at + done, size - done,
                                 static_cast<off_t>(at + done));
            if (n <= 0) {
                ::close(fd);
                throw std::runtime_error("write " + path + ": " + std::strerror(errno));
            }
            done += static_cast<size_t>(n);
        }
    }
    if (::ftruncate(fd, static_cast<off_t>(content.size())) != 0) {
        ::close(fd);
        throw std::runtime_error("truncate " + path + ": " + std::strerror(errno));
    }
    ::close(fd);
}

void MakeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0750) != 0) {
        throw std::runtime_error("mkdir " + path + ": " + std::strerror(errno));
    }
}

// The names in dir, "." and ".." left out.
std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* stream = opendir(dir.c_str())) {
        while (struct dirent* item = readdir(stream)) {
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) {
                names.push_back(item->d_name);
            }
        }
        closedir(stream);
    }
    return names;
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool Watched(const std::string& path) {
    return g_on && (path == g_root || path.compare(0, g_root.size() + 1, g_root + "/") == 0);
}

std::string Relative(const std::string& path) {
    return path == g_root ? "." : path.substr(g_root.size() + 1);
}

// The path an open descriptor was opened by, "" for one outside the root or
// whose file has lost its name.
std::string PathOf(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return std::string();
    std::string path(target, static_cast<size_t>(n));
    return Watched(path) ? path : std::string();
}

// --- identities ---

int NewNode(const struct stat& st) {
    g_nodes.emplace_back();
    g_nodes.back().dir = S_ISDIR(st.st_mode);
    int id = static_cast<int>(g_nodes.size()) - 1;
    g_byInode[{st.st_dev, st.st_ino}] = id;
    return id;
}

// The node of a file seen before, or a new one (never synced).
int NodeOf(const struct stat& st) {
    auto found = g_byInode.find({st.st_dev, st.st_ino});
    return found != g_byInode.end() ? found->second : NewNode(st);
}

// Notes that path now names node (-1: nothing) in its directory, a change
// that lasts only once the directory is synced.
void NameChanged(const std::string& path, int node) {
    std::string dir = ParentOf(path);
    struct stat st;
    if (!Watched(dir) || lstat(dir.c_str(), &st) != 0) return;
    int id = NodeOf(st);
    g_nodes[id].changes.emplace_back(path.substr(path.rfind('/') + 1), node);
}

// The node of what path names now, -1 for nothing.
int NodeAt(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? NodeOf(st) : -1;
}

// A file or directory just made at path: a node of its own, even if its
// inode number once belonged to another.
void Created(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) NameChanged(path, NewNode(st));
}

// path is about to lose its name. If it is the file's last one, keep what
// the file holds now (a cut that keeps unsynced data but not the removal
// brings that back) and return its key, which Unnamed then retires.
std::pair<dev_t, ino_t> LastName(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return {0, 0};
    Node& node = g_nodes[NodeOf(st)];
    node.lastContent = ReadAll(path);
    return {st.st_dev, st.st_ino};
}

void Unnamed(const std::pair<dev_t, ino_t>& key) {
    auto found = g_byInode.find(key);
    if (found == g_byInode.end()) return;
    g_nodes[found->second].unnamed = true;
    g_byInode.erase(found);
}

// --- what a sync makes durable ---

void DirSynced(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return;
    std::map<std::string, int> names;
    for (const std::string& name : Names(dir)) {
        struct stat item;
        if (lstat((dir + "/" + name).c_str(), &item) == 0) names[name] = NodeOf(item);
    }
    int id = NodeOf(st);
    g_nodes[id].durableNames = std::move(names);
    g_nodes[id].changes.clear();
}

void FileSynced(const std::string& path, const struct stat& st) {
    g_nodes[NodeOf(st)].durable = ReadAll(path);
}

// Before a sync of path: false when the test skips it. Otherwise a cut
// point.
bool SyncBegins(const std::string& path) {
    std::string relative = Relative(path);
    if (g_skip && g_skip(relative)) return false;
    ++g_syncs;
    if (g_hook) g_hook(relative);
    return true;
}

// --- the store's table ---

// A sync of the table. The disk's own sync is never made: what is durable
// is the recorder's to say, and no power goes.
int SyncFd(int fd) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (!g_on) return 0;
    std::string path = PathOf(fd);
    if (path.empty() || !SyncBegins(path)) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    // Read through the descriptor: it may be open for writing only.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (S_ISDIR(st.st_mode)) {
        DirSynced(path);
    } else {
        FileSynced(self, st);
    }
    return 0;
}

int Fsync(int fd) { return SyncFd(fd); }
int Fdatasync(int fd) { return SyncFd(fd); }

int Open(const char* path, int flags, mode_t mode) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    struct stat st;
    bool creates = Watched(path) && (flags & O_CREAT) != 0 && lstat(path, &st) != 0;
    int fd = g_real.open(path, flags, mode);
    if (fd >= 0 && creates) Created(path);
    return fd;
}

int Mkdir(const char* path, mode_t mode) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    int rc = g_real.mkdir(path, mode);
    if (rc == 0 && Watched(path)) Created(path);
    return rc;
}

int Unlink(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (!Watched(path)) return g_real.unlink(path);
    std::pair<dev_t, ino_t> key = LastName(path);
    int rc = g_real.unlink(path);
    if (rc == 0) {
        Unnamed(key);
        NameChanged(path, -1);
    }
    return rc;
}

int Rename(const char* from, const char* to) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (!Watched(to)) return g_real.rename(from, to);
    int moved = NodeAt(from);
    std::pair<dev_t, ino_t> replaced = LastName(to);
    int rc = g_real.rename(from, to);
    if (rc == 0) {
        Unnamed(replaced);
        NameChanged(from, -1);
        NameChanged(to, moved);
    }
    return rc;
}

int BootId(char* out, size_t size) {
    std::snprintf(out, size, "boot-%d", g_boot);
    return static_cast<int>(std::strlen(out));
}

// --- SQLite: hooks of the pass-through VFS (vfs_wrapper.h) over "unix" ---

int VfsSync(vfswrap::File* f, int flags) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    const char* path = f->path;
    if (path == nullptr || !Watched(path) || !SyncBegins(path)) return SQLITE_OK;
    // Made for real, unlike the table's: unix's sync of a new log or journal
    // syncs its directory too (OpenDirectory sees it), which only it knows
    // to do.
    int rc = vfswrap::Real(f)->pMethods->xSync(vfswrap::Real(f), flags);
    struct stat st;
    if (rc == SQLITE_OK && stat(path, &st) == 0) FileSynced(path, st);
    return rc;
}

int VfsOpen(sqlite3_vfs* real, sqlite3_filename name, vfswrap::File* f, int flags, int* outFlags) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    struct stat st;
    bool creates = name != nullptr && Watched(name) && (flags & SQLITE_OPEN_CREATE) != 0 &&
                   lstat(name, &st) != 0;
    int rc = real->xOpen(real, name, vfswrap::Real(f), flags, outFlags);
    if (rc == SQLITE_OK && creates) Created(name);
    return rc;
}

int VfsDelete(sqlite3_vfs* real, const char* name, int syncDir) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (!Watched(name)) return real->xDelete(real, name, syncDir);
    std::pair<dev_t, ino_t> key = LastName(name);
    int rc = real->xDelete(real, name, syncDir);
    if (rc == SQLITE_OK) {
        Unnamed(key);
        NameChanged(name, -1);
    }
    return rc;
}

// SQLite syncs a directory itself after creating a write-ahead log or a
// journal (and after deleting one when asked to): it opens the directory
// through this system call of "unix", then syncs and closes it.
int OpenDirectory(const char* file, int* fd) {
    int rc = g_openDirectory(file, fd);
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (rc == SQLITE_OK && Watched(file)) {
        std::string dir = ParentOf(file);
        if (!g_skip || !g_skip(Relative(dir))) DirSynced(dir);
    }
    return rc;
}

void InstallVfs() {
    sqlite3_vfs* os = sqlite3_vfs_find("unix");
    if (os == nullptr) throw std::runtime_error("SQLite has no \"unix\" VFS");
    g_openDirectory =
        reinterpret_cast<int (*)(const char*, int*)>(os->xGetSystemCall(os, "openDirectory"));
    if (g_openDirectory == nullptr ||
        os->xSetSystemCall(os, "openDirectory",
                           reinterpret_cast<sqlite3_syscall_ptr>(OpenDirectory)) != SQLITE_OK) {
        throw std::runtime_error("SQLite's \"unix\" VFS lets no one see its directory syncs");
    }
    vfswrap::Hooks hooks;
    hooks.open = VfsOpen;
    hooks.remove = VfsDelete;
    hooks.sync = VfsSync;
    if (vfswrap::Register("powercut", os, hooks) != SQLITE_OK) {
        throw std::runtime_error("can't register the recording VFS");
    }
}

// --- materialising a cut ---

// Writes out one cut: which names each directory keeps and which bytes
// each file, by the cut's kind.
class Writer {
  public:
    Writer(Cut cut, unsigned seed) : cut_(cut), random_(seed) { CurrentPaths(g_root); }

    void Directory(int id, const std::string& into, int depth) {
        if (depth > 32) throw std::runtime_error("directories in a loop under " + into);
        for (const auto& entry : NamesOf(id)) {
            std::string path = into + "/" + entry.first;
            if (g_nodes[entry.second].dir) {
                MakeDir(path);
                Directory(entry.second, path, depth + 1);
            } else {
                WriteAll(path, ContentOf(entry.second));
            }
        }
    }

  private:
    // Where each node is named now, walking the real tree from dir.
    void CurrentPaths(const std::string& dir) {
        struct stat st;
        if (dir == g_root && lstat(dir.c_str(), &st) == 0) current_[NodeOf(st)] = dir;
        for (const std::string& name : Names(dir)) {
            std::string path = dir + "/" + name;
            if (lstat(path.c_str(), &st) != 0) continue;
            current_[NodeOf(st)] = path;
            if (S_ISDIR(st.st_mode)) CurrentPaths(path);
        }
    }

    bool Coin() { return (random_() & 1) != 0; }

    std::map<std::string, int> NamesOf(int id) {
        const Node& node = g_nodes[id];
        auto now = current_.find(id);
        if (cut_ == Cut::DataDropped && now != current_.end()) {
            std::map<std::string, int> names;
            for (const std::string& name : Names(now->second)) {
                struct stat st;
                if (lstat((now->second + "/" + name).c_str(), &st) != 0) continue;
                if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) names[name] = NodeOf(st);
            }
            return names;
        }
        std::map<std::string, int> names = node.durableNames;
        if (cut_ != Cut::Mixed) return names;
        // The file system kept the directory's changes in order up to some
        // point: any first part of them.
        size_t kept = random_() % (node.changes.size() + 1);
        for (size_t i = 0; i < kept; ++i) {
            const auto& change = node.changes[i];
            if (change.second < 0) {
                names.erase(change.first);
            } else {
                names[change.first] = change.second;
            }
        }
        return names;
    }

    // What a file holds now, or held when its last name went.
    std::string Current(int id) {
        auto found = current_.find(id);
        if (found != current_.end()) return ReadAll(found->second);
        const Node& node = g_nodes[id];
        return node.unnamed ? node.lastContent : node.durable;
    }

    std::string ContentOf(int id) {
        const std::string& durable = g_nodes[id].durable;
        if (cut_ == Cut::Strict || cut_ == Cut::DataDropped) return durable;
        std::string now = Current(id);
        if (cut_ == Cut::NamesDropped || now == durable) return now;
        // Mixed: the disk wrote some of the pages written since the last
        // sync and not others, and kept the old size or the new; pages past
        // both hold zeros.
        const size_t kPage = 4096;
        std::string torn(Coin() ? now.size() : durable.size(), '\0');
        for (size_t at = 0; at < torn.size(); at += kPage) {
            const std::string& from = Coin() ? now : durable;
            if (at < from.size()) {
                size_t size = std::min({kPage, torn.size() - at, from.size() - at});
                torn.replace(at, size, from, at, size);
            }
        }
        return torn;
    }

    Cut cut_;
    std::mt19937 random_;
    std::map<int, std::string> current_;
};

// Everything under dir counts as durable.
void Baseline(const std::string& dir) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return;
    NodeOf(st);
    DirSynced(dir);
    for (const std::string& name : Names(dir)) {
        std::string path = dir + "/" + name;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            Baseline(path);
        } else if (S_ISREG(st.st_mode)) {
            FileSynced(path, st);
        }
    }
}

}  // namespace

const char* CutName(Cut cut) {
    switch (cut) {
        case Cut::Strict:
            return "strict";
        case Cut::NamesDropped:
            return "names dropped";
        case Cut::DataDropped:
            return "data dropped";
        case Cut::Mixed:
            return "mixed";
    }
    return "?";
}

void Install() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    static bool installed = false;
    if (installed) return;
    installed = true;
    InstallVfs();
    MQSysCalls* table = MQSysCallTable();
    g_real = *table;
    table->open = Open;
    table->fsync = Fsync;
    table->fdatasync = Fdatasync;
    table->rename = Rename;
    table->unlink = Unlink;
    table->mkdir = Mkdir;
    table->bootid = BootId;
}

void Begin(const std::string& root) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_nodes.clear();
    g_byInode.clear();
    g_syncs = 0;
    g_root = root;
    ++g_boot;
    Baseline(root);
    struct stat st;
    if (lstat(root.c_str(), &st) != 0) throw std::runtime_error("no directory " + root);
    g_rootNode = NodeOf(st);
    g_on = true;
}

void OnCut(const std::function<void(const std::string&)>& hook) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_hook = hook;
}

void SkipSyncs(const std::function<bool(const std::string&)>& predicate) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_skip = predicate;
}

void Materialise(Cut cut, const std::string& into, unsigned seed) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    MakeDir(into);
    Writer(cut, seed).Directory(g_rootNode, into, 0);
}

void End() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_on = false;
    g_hook = nullptr;
    g_skip = nullptr;
    ++g_boot;
}

int Syncs() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_syncs;
}

}  // namespace powercut
