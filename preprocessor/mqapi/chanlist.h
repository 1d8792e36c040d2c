// chanlist.h - the store's channel list OneMQ.myQList, loaded from the
// installation's channel file "queue.cfg" through the parser shared with the
// channel registry (chanline.h).
//
// Ownership: the records in OneMQ.myQList are the store's; a reload frees
// the old ones.
// Thread safety: every call that touches OneMQ.myQList holds OneMQ.csQList
// for its whole length, as every other walk of the list does.
#ifndef MQ_CHANLIST_H
#define MQ_CHANLIST_H

#include <string>
#include <vector>

#include "mqconfig.h"
#include "status.h"

namespace mqstore {

// Reads the channel file at path into *out, one record per line that
// parses; records the store can't hold (a channel name longer than 19
// characters, an application name longer than 254, names with spaces,
// control characters or '/') are skipped with a warning tagged log. A
// missing file gives an empty list. Fails with "operation path: strerror",
// *out empty, when the file exists but can't be read.
mq::Status ReadChannelFile(const std::string& path, const std::string& log,
                           std::vector<MQchannelDBStr>* out);

// Replaces the records of OneMQ.myQList by copies of channels.
void InstallChannelList(const std::vector<MQchannelDBStr>& channels);

}  // namespace mqstore

#endif
