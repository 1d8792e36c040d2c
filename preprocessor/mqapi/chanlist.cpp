// chanlist.cpp - OneMQ and its channel list.
#include "chanlist.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "chanline.h"
#include "log.h"
#include "syscalls.h"

MQConfig OneMQ;

MQConfig::~MQConfig() {
    for (auto* node = myQList.pBase; node != nullptr; node = node->pNext) delete node->stUser;
    myQList.Clear();
}

namespace mqstore {

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

mq::Status ReadChannelFile(const std::string& path, const std::string& log,
                           std::vector<MQchannelDBStr>* out) {
    out->clear();
    // Opened without blocking and taken only when it is a regular file: a
    // FIFO or a device put in its place must not hang MQInit.
    int fd = MQSysCallTable()->open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    if (fd < 0) {
        if (errno == ENOENT) return mq::Status::OK();  // no channel registered yet
        return mq::Status::FromErrno("open", path, errno);
    }
    struct stat st;
    mq::Status unusable;
    if (fstat(fd, &st) != 0) {
        unusable = mq::Status::FromErrno("fstat", path, errno);
    } else if (!S_ISREG(st.st_mode)) {
        unusable = mq::Status::Error(path + ": not a regular file");
    }
    std::unique_ptr<FILE, FileCloser> file(unusable.ok() ? fdopen(fd, "r") : nullptr);
    if (!file) {
        if (unusable.ok()) unusable = mq::Status::FromErrno("fdopen", path, errno);
        MQSysCallTable()->close(fd);
        return unusable;
    }
    std::string line;
    uint32_t position = 0;
    while (mqcommon::ReadLine(file.get(), &line)) {
        mqcommon::ChannelRecord record;
        if (!mqcommon::ParseChannelRecord(line.c_str(), &record)) continue;
        ++position;
        if (!mqcommon::IsUsableName(record.channel.c_str(), mqcommon::kMaxChannelName) ||
            !mqcommon::IsUsableName(record.application.c_str(), mqcommon::kMaxAppName)) {
            LogMessagef(MQLOG_WARNING, log.c_str(),
                        "%s: record %u skipped: channel \"%s\" or application \"%s\" is too "
                        "long or not a usable name",
                        path.c_str(), position, record.channel.c_str(),
                        record.application.c_str());
            continue;
        }
        MQchannelDBStr channel{};
        channel.QueueID = position;
        channel.bStopped = 0;
        channel.bOut = strcasecmp(record.direction.c_str(), "out") == 0 ? 1 : 0;
        channel.bCompatibility = record.flag != 0 ? 1 : 0;
        channel.bInstalled = 1;
        std::snprintf(channel.szQueue, sizeof channel.szQueue, "%s", record.channel.c_str());
        std::snprintf(channel.szAppName, sizeof channel.szAppName, "%s",
                      record.application.c_str());
        out->push_back(channel);
    }
    if (std::ferror(file.get())) {
        out->clear();
        return mq::Status::FromErrno("read", path, errno);
    }
    return mq::Status::OK();
}

void InstallChannelList(const std::vector<MQchannelDBStr>& channels) {
    // Records are made before the lock is taken, so that running out of
    // memory half-way leaves the old list in place.
    // Each record is owned before the vector grows: a growth that throws
    // must not strand it.
    std::vector<std::unique_ptr<MQchannelDBStr>> fresh;
    fresh.reserve(channels.size());
    for (const MQchannelDBStr& c : channels) {
        std::unique_ptr<MQchannelDBStr> record(new MQchannelDBStr(c));
        fresh.push_back(std::move(record));
    }

    clLockGuard guard(OneMQ.csQList);
    for (auto* node = OneMQ.myQList.pBase; node != nullptr; node = node->pNext) {
        delete node->stUser;
    }
    OneMQ.myQList.Clear();
    for (auto& record : fresh) {
        if (OneMQ.myQList.Add(record.get()) != nullptr) record.release();
    }
}

}  // namespace mqstore
