// power_cut.h - what a power cut could leave of a directory tree, for the
// store's tests.
//
// The recorder sits in the store's system-call table (syscalls.h) and in an
// SQLite VFS wrapped around "unix" (made the default). It lets every call
// through to the real files and notes, for each file and directory under
// the root it watches, what a power cut could not take away:
//
//   - a file's durable image: its content as of its last fsync/fdatasync
//     (empty if it was never synced);
//   - a directory's durable names: the names it held, and which file or
//     directory each named, as of its last sync (none if never synced).
//
// A name that was created, removed or renamed since its directory's last
// sync may or may not have reached the disk; so may any data written since
// a file's last sync. Everything under the root when Begin is called counts
// as durable.
//
// Each sync made through the table or the VFS (a file's, a directory's,
// the database's, the write-ahead log's) is a cut point: just before it
// runs, the recorder calls the test's cut hook, which can write out the
// states a cut at that moment could leave (Materialise). The directory
// SQLite syncs of its own accord within a new log's first sync is recorded
// as synced there, the log's sync being the cut point. The cut may drop:
//
//   Strict         every unsynced name and every unsynced byte: each
//                  directory holds its durable names, each file its
//                  durable image;
//   NamesDropped   the unsynced names but none of the data: durable names,
//                  each file as it is now (or was when its last name went);
//   DataDropped    the unsynced data but none of the names: the names as
//                  they are now, each file its durable image;
//   Mixed          some of each, drawn from a seed: each directory its
//                  durable names and then a first part of the changes made
//                  to them since (in their order, as a journal keeps them);
//                  each file its old size or its new, and each 4 KiB page
//                  of it as synced or as written since (zeros past both).
//
// A real cut may leave any mix of these; the first three are its corners.
//
// Thread safety: one recorder per process (the table is global); the store
// may call it from any thread, and a mutex guards its records. The cut hook
// runs under that mutex and must not call the store.
#ifndef MQTEST_POWER_CUT_H
#define MQTEST_POWER_CUT_H

#include <functional>
#include <string>

namespace powercut {

enum class Cut { Strict, NamesDropped, DataDropped, Mixed };

// "strict", "names dropped", "data dropped" or "mixed".
const char* CutName(Cut cut);

// Registers the VFS as SQLite's default and puts the recorder's calls in
// the store's table (once per process; before the store opens anything).
// Until Begin, syncs are reported done and not made, as after End.
void Install();

// Starts watching root (an existing directory): what is under it now is
// durable. The kernel's boot id, as the store reads it, is a new one: the
// store runs in another boot than the one that made what is there.
void Begin(const std::string& root);

// Called at every cut point with what is about to be synced (a path
// relative to the root, such as "spool/msg/02" or "spool/queue.db-wal").
void OnCut(const std::function<void(const std::string& what)>& hook);

// Writes what a cut of kind cut, right now, would leave under the root, into
// into (a new directory, made here); seed draws a Mixed cut's choices. Files
// outside the root are not copied. Throws std::runtime_error when the copy
// can't be written.
void Materialise(Cut cut, const std::string& into, unsigned seed = 0);

// Stops watching; the calls go straight to the real ones again, but for
// syncs, which are reported done and not made (the copies a test checks
// after a cut need no durability, and a test runs the faster for it). The
// boot id is a new one, as after a restart: no boot id ever comes back.
//
// While watching, the store's own syncs (the table's) are recorded but not
// made either: no power really goes. SQLite's are made, so that what it
// does of its own accord in them (syncing a new log's directory) happens.
void End();

// Sync calls seen since Begin.
int Syncs();

// Per call, for checking that the tests find a missing sync: while
// predicate(path) is true for the path a sync would make durable, that sync
// is skipped (reported done, nothing made durable, no cut point). Null lets
// every sync through.
void SkipSyncs(const std::function<bool(const std::string& path)>& predicate);

}  // namespace powercut

#endif
