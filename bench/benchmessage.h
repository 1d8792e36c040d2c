// benchmessage.h - the message every put of the benchmark sends: one sender,
// two recipients, built once and reused. Not thread-safe; one per process.
#ifndef MQ_BENCH_BENCHMESSAGE_H
#define MQ_BENCH_BENCHMESSAGE_H

#include "mqapi.h"

class BenchMessage {
public:
    BenchMessage() {
        sender_.setLan_addr("sender@bench.example.org");
        a_.setLan_addr("first@example.org");
        b_.setLan_addr("second@example.org");
        from_.add(&sender_);
        to_.add(&a_);
        to_.add(&b_);
        msg_.setFrom(&from_);
        msg_.setTo(&to_);
    }
    BenchMessage(const BenchMessage&) = delete;
    BenchMessage& operator=(const BenchMessage&) = delete;
    cMessage* get() { return &msg_; }

private:
    cUserInfo sender_, a_, b_;
    cEnvHeader from_, to_;
    cMessage msg_;
};

#endif
