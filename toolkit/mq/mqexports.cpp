// mqexports.cpp - the list instantiations the toolkit exports: the lists of
// the message model's headers, of the store's envelopes and of its channel
// records. Applications of the old interface link to their members here
// rather than instantiating the template themselves.
#include "clist.h"
#include "envelope.h"
#include "mqconfig.h"
#include "mqmessage.h"

template class cList<cUserInfo*>;
template class cList<_envFrom*>;
template class cList<_envRecip*>;
template class cList<MQchannelDBStr*>;
