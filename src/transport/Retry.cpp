#include "transport/Retry.h"

#include <cstdio>

#include "log/Log.h"

namespace {

bool Raised(const std::atomic<uint8_t>* flag) { return flag != nullptr && flag->load() != 0; }

const char* Failure(int32_t result) {
    switch (result) {
        case -2: return "no connection";
        case -3: return "sending failed";
        case -4: return "receiving failed";
        case -5: return "no byte within the time-out";
        default: return "failed";
    }
}

}  // namespace

bool IsDrop(int32_t result, const HttpClient& client, const std::atomic<uint8_t>* stopFlag) {
    switch (result) {
        case -2: return !Raised(stopFlag);
        case -3: return true;
        case -4: return !client.AnswerMalformed();
        case -5: return true;
        default: return false;
    }
}

bool RetryCourse::Again(int32_t result, const HttpClient& client) {
    if (Raised(mStop)) return false;  // a stop is never retried
    mLastResult = result;
    mLastDrop = IsDrop(result, client, mStop);
    mLastSent = client.RequestSent();
    if (!mLastDrop) return false;
    if (mRule == RepeatRule::kOnlyUnsent && mLastSent) return false;
    return Grant(result);
}

bool RetryCourse::Grant(int32_t result) {
    if (Raised(mStop) || mRetries >= mPolicy.retries) return false;
    ++mRetries;
    mPolicy.CountRetry();
    char attempt[96];
    std::snprintf(attempt, sizeof attempt, "%d of %d after %d (%s)", mRetries, mPolicy.retries, result,
                  Failure(result));
    QS_LOG_NOTE(mName, "retry", attempt);
    return true;
}

bool RetryCourse::Wait() const {
    const uint32_t ms = DelayMs();
    if (Raised(mStop)) return false;
    if (mPolicy.stopSignal != nullptr) return !mPolicy.stopSignal->WaitFor(mStop, ms);
    // No signal to wake it (a caller without Stop): a plain timed wait.
    StopSignal alone;
    return !alone.WaitFor(mStop, ms);
}
