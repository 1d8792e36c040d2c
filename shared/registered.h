// registered.h - whether the store's channel list OneMQ.myQList names a
// channel: the one look-up the store (at OpenMQChannel and
// InsertMQChannel) and the toolkit (at every put and get) both make.
//
// Thread safety: walks OneMQ.myQList under OneMQ.csQList, as every walk of
// the list does.
#ifndef MQ_REGISTERED_H
#define MQ_REGISTERED_H

namespace mqshared {

// True when channel names a record of OneMQ.myQList, letter case ignored;
// a record's name is read no further than its field, so a record filled to
// its last byte is never read past. False for a null channel.
bool IsRegisteredChannel(const char* channel);

}  // namespace mqshared

#endif
