// loadkinds.h - the one operation each process of a load repeats.
//
// A kind is a name, optionally with a body size after a colon:
//   put        PutMsg and its 4 KiB body by the rename pattern (synced)
//   put1[:S]   the one-call PutMsgBody of an S-byte body (default 4096)
//   get[:S]    GetMsg + DelMsg (the body not read)
//   getread:S  GetMsg, the whole body read from the path it names, DelMsg
//   maildir[:S] a Maildir-style delivery of S bytes: create, write, fsync,
//              close, rename into new/, fsync new/
//   mdtake:S   a Maildir-style take: open, read, close, unlink, fsync new/;
//              each of the load's processes takes its own share of the
//              files that were there when it started
//   insert     a one-row synced insert into the shared database
//   take       the oldest row selected and deleted in a synced transaction
// Bodies of size S go to channel SizeChannel(S) and Maildir maildir-S; the
// 4 KiB kinds without a size use channel BENCH and maildir/.
//
// Thread safety: one LoadOp per process.
#ifndef MQ_BENCH_LOADKINDS_H
#define MQ_BENCH_LOADKINDS_H

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <vector>

#include "benchmessage.h"
#include "mqapi.h"

namespace mqbench {

// The channel that holds the bodies of size bytes.
std::string SizeChannel(size_t size);

// The Maildir (relative to the load's directory) for bodies of size bytes.
std::string SizeMaildir(size_t size);

class LoadOp {
  public:
    // index: this process's place among the load's procs processes.
    LoadOp(const std::string& kind, const std::string& dir, int index, int procs);
    ~LoadOp();
    LoadOp(const LoadOp&) = delete;
    LoadOp& operator=(const LoadOp&) = delete;

    // Opens the store, database or folder. Returns "" or what failed.
    std::string Open();
    // One operation; false when it failed. n counts this process's
    // operations (names its Maildir files).
    bool Op(long n);
    // True once a taking kind found nothing left to take (that operation
    // is not counted).
    bool Empty() const { return empty_; }
    // Takes again after an empty queue (a taker that waits for more).
    void Rearm() { empty_ = false; }

  private:
    bool PutOne();
    bool GetOne(bool read);
    bool TakeFile();
    bool TakeRow();

    std::string base_, dir_, channel_, maildir_;
    size_t size_ = 4096;
    int index_, procs_;
    cMQ mq_;
    BenchMessage msg_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* oldest_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    std::string body_;
    std::vector<char> buffer_;
    std::vector<std::string> files_;  // mdtake: this process's share
    int newDir_ = -1;
    bool empty_ = false;
};

}  // namespace mqbench

#endif
