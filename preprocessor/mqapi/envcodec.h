// envcodec.h - envelopes as the store keeps them: copied out of a writer's
// stEnvelope, encoded into one database value, decoded again, and handed to
// readers as an stEnvelope whose records and strings the store allocated.
//
// Ownership: EnvelopeData holds copies. BuildEnvelope's result belongs to
// the caller, released with ReleaseEnvelope (FreeMQEnvelope), never delete.
// Thread safety: reentrant.
#ifndef MQ_ENVCODEC_H
#define MQ_ENVCODEC_H

#include <cstdint>
#include <string>
#include <vector>

#include "mq.h"

namespace mqstore {

struct SenderRecord {
    std::string address, envid, lanAddress, queue;
    int32_t ret = 0;
    int32_t body = 0;
};

struct RecipientRecord {
    std::string address, orcpt, lanAddress, queue;
    int32_t notify = 0;
};

struct EnvelopeData {
    std::vector<SenderRecord> from;
    std::vector<RecipientRecord> to;
    int32_t priority = 0;
};

// Copies every record of envelope (null strings read as ""), walking the
// lists by their links so that the writer's cursors stay where they were.
// Returns false for a null record in a list.
bool CopyEnvelope(const stEnvelope& envelope, EnvelopeData* out);

std::string EncodeEnvelope(const EnvelopeData& data);
// Returns false when bytes is no envelope this store wrote (cut short or
// damaged); *out is then unspecified.
bool DecodeEnvelope(const std::string& bytes, EnvelopeData* out);

// A store-owned stEnvelope holding data, dwSize set to bodySize; null when
// memory runs out (nothing is left allocated).
stEnvelope* BuildEnvelope(const EnvelopeData& data, uint32_t bodySize);
// Frees an envelope BuildEnvelope made: records, strings, and the object.
void ReleaseEnvelope(stEnvelope* envelope);

}  // namespace mqstore

#endif
