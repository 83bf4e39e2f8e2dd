// The retry decision of one request, taken on the HTTP client's own result:
// the stop flag first, then whether the failure lost the connection (a
// drop), then whether the command may be repeated, then whether attempts
// remain.
//
// Drops: -2 (no connection) while the stop flag is clear, -3 (sending
// failed), -4 (receiving failed: a reset or a close before the announced
// body arrived) and -5 (no byte within the time-out). Never: -1 (nothing to
// send), -6 (a stop), a -4 whose header block was complete but malformed,
// and every complete answer, whatever it says: a refusal is the phone's
// decision and a malformed answer is not a lost one.
//
// Each retry writes one log line under the operation's name with its number
// and the failure it follows, and adds one to the policy's counter.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/HttpClient.h"
#include "transport/RetryPolicy.h"

enum class RepeatRule {
    kAfterAnyDrop,  // the request changes nothing, or repeating it changes nothing more
    kOnlyUnsent,    // only when no byte of it left: the phone may have acted on it
};

// Whether an exchange that ended with result lost the connection.
bool IsDrop(int32_t result, const HttpClient& client, const std::atomic<uint8_t>* stopFlag);

class RetryCourse {
public:
    // stopFlag: the job's flag, checked before each decision and ending the
    // waits (may be null). name: the operation's, for the log lines.
    RetryCourse(const RetryPolicy& policy, RepeatRule rule, const std::atomic<uint8_t>* stopFlag,
                const char* name)
        : mPolicy(policy), mRule(rule), mStop(stopFlag), mName(name) {}

    // After an attempt that ended with result (negative) on client: true
    // when another attempt is to be made. The retry is then logged and
    // counted; the caller waits DelayMs() (Wait, or its own event wait)
    // before it.
    bool Again(int32_t result, const HttpClient& client);
    // Another attempt after the last failure, which the caller has judged
    // safe to repeat (a rename a stat showed was never carried out): true,
    // logged and counted, when the stop flag is clear and attempts remain.
    bool Grant() { return Grant(mLastResult); }
    // The wait before the attempt Again allowed.
    uint32_t DelayMs() const { return mPolicy.DelayBefore(mRetries); }
    // Waits DelayMs(), ended at once by the stop flag: false when stopped.
    bool Wait() const;
    // Retries made so far, and how the last failed attempt ended.
    int32_t Retries() const { return mRetries; }
    bool LastWasDrop() const { return mLastDrop; }
    bool LastSent() const { return mLastSent; }
    const RetryPolicy& Policy() const { return mPolicy; }
    const std::atomic<uint8_t>* StopFlag() const { return mStop; }

private:
    bool Grant(int32_t result);

    const RetryPolicy& mPolicy;
    const RepeatRule mRule;
    const std::atomic<uint8_t>* mStop;
    const char* mName;
    int32_t mRetries = 0;
    int32_t mLastResult = 0;
    bool mLastDrop = false;
    bool mLastSent = false;
};

// Makes a request, and again while course.Again allows: attempt(client)
// makes one attempt with the client and returns its result. The last
// attempt's result: a complete answer (0 or more), or the failure of the
// last attempt; a wait ended by the stop flag returns the failure before it.
template <typename Attempt>
int32_t RequestWithRetries(RetryCourse& course, Attempt&& attempt) {
    for (;;) {
        HttpClient client;
        const int32_t result = attempt(client);
        if (result >= 0 || !course.Again(result, client)) return result;
        client.Close();
        if (!course.Wait()) return result;
    }
}
