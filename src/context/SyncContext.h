// The process-wide sync context every job shares: the phone service's host
// and port, the device root, the host window, the stop flag and the request
// options (SetOption). Set up and
// read by the entry points (export layer) only: an export hands what its job
// needs (a PhoneEndpoint, the window) down as parameters.
//
// Exports may run on several host threads at once, so host, port, device and
// window are written and read under the context's lock; a job takes a copy
// of them when its export starts and works with that copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "quellsync_http.h"
#include "transport/RetryPolicy.h"

// The stop flag: one byte, written by Stop (1) and by context set-up (0), read
// by job loops and transfer workers. One flag for the process: a stop ends
// every running job.
using StopFlag = std::atomic<uint8_t>;

// The address used before any set-up has supplied one.
constexpr char kInitialTestHost[] = "192.168.43.1";
constexpr int32_t kInitialPort = 8182;

// What set-up stores and a job copies.
struct ContextValues {
    std::string host = kInitialTestHost;  // dotted IPv4 text, UTF-8
    int32_t port = kInitialPort;
    std::string device;  // phone root folder, UTF-8; empty: fixed folders as they stand
    HWND window = nullptr;
};

class SyncContext {
public:
    // A copy of the values as they are now.
    ContextValues Values() const {
        std::lock_guard<std::mutex> guard(mLock);
        return mValues;
    }
    // Runs change(values) under the lock and returns a copy of the values
    // as it left them, so a job works with exactly what its own set-up
    // stored even while another export sets the context up again.
    template <typename Change>
    ContextValues Update(const Change& change) {
        std::lock_guard<std::mutex> guard(mLock);
        change(mValues);
        return mValues;
    }
    // Stores the phone service's host and port; the values as they are then.
    ContextValues SetPhone(const std::string& host, int32_t port) {
        return Update([&](ContextValues& values) {
            values.host = host;
            values.port = port;
        });
    }

    StopFlag stopRequested{0};
    // Notified by Stop after it raised the flag: ends the waits between a
    // request's attempts at once.
    StopSignal stopSignal;

    // The request options, each read once by a job when its export starts.
    static constexpr int32_t kMaxRequestRetries = 100;
    static constexpr int32_t kMaxRetryDelayMs = 60000;
    static constexpr int32_t kDefaultRetryDelayMs = 100;
    std::atomic<int32_t> requestRetries{0};
    std::atomic<int32_t> retryDelayMs{kDefaultRetryDelayMs};
    // Retry attempts made by all jobs; the jobs count into it through the
    // pointer their endpoint carries.
    std::atomic<int32_t> retriesMade{0};

private:
    mutable std::mutex mLock;
    ContextValues mValues;
};

// The one context of the process, in its initial state before any export runs.
SyncContext& GetSyncContext();
