// Where one job's requests go and what ends them: the phone service's host
// and port, the stop flag its requests watch, the inactivity time-out of
// each exchange, and how a request the connection lost is made again. The export layer builds one when an export starts and hands
// it down; no layer below looks anywhere else for these values.
//
// The host text is the endpoint's own copy, so a later export that sets up
// another phone cannot change it under a running job. The stop flag belongs
// to whoever built the endpoint and outlives every request made with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "transport/RetryPolicy.h"

struct PhoneEndpoint {
    using StopFlag = std::atomic<uint8_t>;

    static constexpr int32_t kDefaultTimeoutSeconds = 60;

    std::string host;               // dotted IPv4 text, UTF-8
    int32_t port = 0;
    const StopFlag* stop = nullptr;  // may be null: nothing stops the requests
    int32_t timeout = kDefaultTimeoutSeconds;
    RetryPolicy retry;  // the default makes no retry

    bool Stopping() const { return stop != nullptr && stop->load() != 0; }
};
