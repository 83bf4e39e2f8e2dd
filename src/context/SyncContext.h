// The process-wide sync context every job shares: the phone service's host
// and port, the device root, the host window and the stop flag. Set up and
// read by the entry points (export layer) only: an export hands what its job
// needs (a PhoneEndpoint, the window) down as parameters.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "quellsync_http.h"

// The stop flag: one byte, written by Stop (1) and by context set-up (0), read
// by job loops and transfer workers, all without a lock.
using StopFlag = std::atomic<uint8_t>;

struct SyncContext {
    std::string host;  // dotted IPv4 text, UTF-8
    int32_t port;
    std::string device;  // phone root folder, UTF-8; empty: fixed folders as they stand
    HWND window;
    StopFlag stopRequested;
};

// The address used before any set-up has supplied one.
constexpr char kInitialTestHost[] = "192.168.43.1";
constexpr int32_t kInitialPort = 8182;

// The one context of the process, in its initial state before any export runs.
SyncContext& GetSyncContext();
