#include "transport/HttpClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "log/Log.h"

namespace {

constexpr char kCacheHeader[] = "Cache-Control: no-cache\r\n";
constexpr char kLengthName[] = "Content-Length:";
constexpr char kBlankLine[] = "\r\n";

bool Raised(const std::atomic<uint8_t>* flag) {
    return flag && flag->load(std::memory_order_relaxed) != 0;
}

// The request line: format with its first "%s" replaced by path. The format
// is never handed to printf, so a stray conversion in it cannot read memory.
std::string RequestLine(const char* format, const char* path) {
    std::string line(format);
    const size_t at = line.find("%s");
    if (at != std::string::npos) line.replace(at, 2, path);
    return line;
}

// Position of the first CR LF CR LF at or after from, looking only at
// positions i with i + 3 < end; -1 when there is none.
int32_t FindBlankLine(const uint8_t* data, int32_t from, int32_t end) {
    for (int32_t i = from; i + 3 < end; ++i) {
        const void* cr = std::memchr(data + i, '\r', static_cast<size_t>(end - 3 - i));
        if (!cr) return -1;
        i = static_cast<int32_t>(static_cast<const uint8_t*>(cr) - data);
        if (data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') return i;
    }
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

enum class LengthField { kAbsent, kValid, kMalformed };

// Reads the length from the value after "Content-Length:": blanks, a plain
// decimal number of at most kMaxResponseBody, blanks, and the line's CR.
// Anything else (a sign, no digits, other characters, a larger number) is
// malformed: it cannot be told what such a peer meant, and a negative or
// huge length must never reach the allocation or the copy of the body.
LengthField ParseLengthValue(std::string_view value, int32_t* length) {
    size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) ++i;
    const size_t digitsFrom = i;
    int64_t number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = number * 10 + (value[i] - '0');
        if (number > kMaxResponseBody) return LengthField::kMalformed;
    }
    if (i == digitsFrom) return LengthField::kMalformed;
    while (i < value.size() && IsBlank(value[i])) ++i;
    if (i < value.size() && value[i] == '\r') ++i;
    if (i != value.size()) return LengthField::kMalformed;
    *length = static_cast<int32_t>(number);
    return LengthField::kValid;
}

// Looks through the header lines (split at LF) for the first one that holds
// "Content-Length:" anywhere, case-sensitively, and reads its value.
LengthField ReadContentLength(std::string_view header, int32_t* length) {
    size_t lineStart = 0;
    while (lineStart <= header.size()) {
        size_t lineEnd = header.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = header.size();
        const std::string_view line = header.substr(lineStart, lineEnd - lineStart);
        const size_t name = line.find(kLengthName);
        if (name != std::string_view::npos)
            return ParseLengthValue(line.substr(name + std::strlen(kLengthName)), length);
        lineStart = lineEnd + 1;
    }
    return LengthField::kAbsent;
}

}  // namespace

int32_t HttpClient::ResponseScan::Examine(const uint8_t* data, int32_t length,
                                          ByteArray* response) {
    if (mbMalformed) return -3;
    if (mnHeaderEnd < 0) {
        const int32_t searchEnd = std::min(length, kMaxResponseHeader);
        const int32_t blank = FindBlankLine(data, mnSearchFrom, searchEnd);
        if (blank < 0) {
            // Positions below searchEnd - 3 have been ruled out for good.
            mnSearchFrom = std::max(mnSearchFrom, searchEnd - 3);
            if (length >= kMaxResponseHeader) {
                mbMalformed = true;
                QS_LOG_SOCKET("HttpClient::HttpPkgFinished");
                return -3;
            }
            QS_LOG_SOCKET("HttpClient::HttpPkgFinished");
            return -1;
        }
        mnHeaderEnd = blank + 2;
        const std::string_view header(reinterpret_cast<const char*>(data),
                                      static_cast<size_t>(mnHeaderEnd));
        int32_t announced = 0;
        switch (ReadContentLength(header, &announced)) {
            case LengthField::kAbsent:
                mnBodyLength = -1;
                break;
            case LengthField::kValid:
                if (announced > mnMaxBody) {
                    // More than this request's answer can hold: refused
                    // before anything is allocated for it.
                    mbMalformed = true;
                    QS_LOG_SOCKET("HttpClient::HttpPkgFinished");
                    return -3;
                }
                mnBodyLength = announced;
                break;
            case LengthField::kMalformed:
                mbMalformed = true;
                QS_LOG_SOCKET("HttpClient::HttpPkgFinished");
                return -3;
        }
    }
    if (mnBodyLength < 0) return 0;
    const int32_t bodyStart = mnHeaderEnd + 2;
    if (length - bodyStart < mnBodyLength) return -2;
    if (response && mnBodyLength > 0) response->AppendData(data + bodyStart, mnBodyLength);
    return mnBodyLength;
}

int32_t HttpClient::HttpPkgFinished(const uint8_t* data, int32_t length, ByteArray* response) {
    if (!data || length < 0) length = 0;
    ResponseScan scan;
    return scan.Examine(data, length, response);
}

HttpClient::~HttpClient() {
    Abandon();
    try {
        Drive();  // a settle wait receives into a buffer of its own: nothing throws
    } catch (...) {
    }
}

int32_t HttpClient::Request(const char* host, int32_t port, const char* path,
                            const char* requestLineFormat, const void* body, int32_t bodyLength,
                            ByteArray* response, int32_t timeoutSeconds,
                            const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    Begin(host, port, path, requestLineFormat, body, bodyLength, response, timeoutSeconds, stopFlag, maxBody);
    Drive();
    return mResult;
}

void HttpClient::Drive() {
    while (!Finished()) {
        platform::AwaitedSocket entry;
        entry.socket = &mSocket.Handle();
        entry.what = Awaited();
        Advance(platform::WaitForAny(&entry, 1, WaitBoundMs()), entry);
    }
}

void HttpClient::Begin(const char* host, int32_t port, const char* path, const char* requestLineFormat,
                       const void* body, int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                       const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    // An earlier exchange still under way ends first, its settle wait
    // included.
    Abandon();
    Drive();
    mResult = -1;
    mSent = 0;
    if (!host || port < 1 || !path || !requestLineFormat || bodyLength < 0) {
        QS_LOG_SOCKET("HttpClient::Request");
        return;
    }
    const bool hasBody = body && bodyLength != 0;
    mHead = RequestLine(requestLineFormat, path);
    mHead += kCacheHeader;
    if (hasBody) {
        char lengthLine[48];
        std::snprintf(lengthLine, sizeof lengthLine, "Content-Length:%d\r\n", bodyLength);
        mHead += lengthLine;
    }
    mHead += kBlankLine;
    const int64_t total = static_cast<int64_t>(mHead.size()) + (hasBody ? bodyLength : 0);
    if (total > INT32_MAX) {
        QS_LOG_SOCKET("HttpClient::Request");
        return;
    }

    mWaitFailed = false;
    mMalformed = false;
    mAwaitingAnswer = false;
    mSocket.Close();
    mHost = host;
    mPort = port;
    mStopFlag = stopFlag;
    mTimeout = std::chrono::seconds(std::max(timeoutSeconds, 0));
    // A request with a short time-out (a clean-up after Stop) waits no
    // longer than that for a host that does not answer at all.
    mNoAnswerMs =
        timeoutSeconds > 0 && timeoutSeconds < static_cast<int32_t>(SocketClient::kConnectTimeoutMs / 1000)
            ? static_cast<uint32_t>(timeoutSeconds) * 1000u
            : SocketClient::kConnectTimeoutMs;
    mBody = hasBody ? body : nullptr;
    mBodyLength = hasBody ? bodyLength : 0;
    mSent = 0;
    mResponse = response;
    mKept = response ? response->GetLength() : 0;
    mMaxBody = std::min(maxBody, kMaxResponseBody);
    mAttempts = 0;
    Attempt();
}

void HttpClient::Attempt() {
    while (mAttempts < kConnectAttempts) {
        ++mAttempts;
        if (Raised(mStopFlag)) break;
        const int32_t begun = mSocket.BeginConnect(mHost, mPort);
        if (begun == 0) return Connected();
        if (begun == 1) {
            mPhase = Phase::kConnecting;
            mDeadline = Clock::now() + std::chrono::milliseconds(std::min(mNoAnswerMs, SocketClient::kConnectTimeoutMs));
            return;
        }
        // A refused attempt is retried at once.
        ::qslog::LogToDebugger(u"Connect Error, Try Again, Pls Wait...\r\n");
    }
    QS_LOG_SOCKET("HttpClient::Request");
    mPhase = Phase::kIdle;
    mResult = -2;
}

void HttpClient::ConnectAttemptFailed() {
    ::qslog::LogToDebugger(u"Connect Error, Try Again, Pls Wait...\r\n");
    Attempt();
}

void HttpClient::GiveUpConnecting() {
    QS_LOG_SOCKET("SocketClient::Connect");
    ::qslog::LogToDebugger(u"Connect Error, Try Again, Pls Wait...\r\n");
    QS_LOG_SOCKET("HttpClient::Request");
    mPhase = Phase::kIdle;
    mResult = -2;
}

void HttpClient::Connected() {
    ::qslog::LogToDebugger(u"Connect Success.\r\n");
    mPhase = Phase::kSending;
    mLastActivity = Clock::now();
    SendStep();
}

platform::Awaited HttpClient::Awaited() const {
    switch (mPhase) {
        case Phase::kConnecting: return platform::Awaited::kConnected;
        case Phase::kSending: return platform::Awaited::kWritable;
        default: return platform::Awaited::kReadable;
    }
}

uint32_t HttpClient::WaitBoundMs() const {
    switch (mPhase) {
        case Phase::kConnecting:
        case Phase::kAwaitingClose:
        case Phase::kSettling: {
            // Rounded up, so that a wait never ends just short of the
            // deadline.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(mDeadline - Clock::now()).count();
            const uint32_t bound = mPhase == Phase::kAwaitingClose ? kPeerCloseWaitMs : kReceivePollMs;
            return left <= 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(left, bound));
        }
        default:
            return kReceivePollMs;
    }
}

void HttpClient::Advance(platform::Readiness waited, const platform::AwaitedSocket& entry) {
    const bool ready = waited == platform::Readiness::kReady && entry.ready;
    const bool waitFailed = waited == platform::Readiness::kFailed;
    switch (mPhase) {
        case Phase::kIdle:
            return;
        case Phase::kConnecting:
            // A stop or the no-answer bound ends the attempts; a refused or
            // failed attempt (a failed wait included) is retried.
            if (Raised(mStopFlag)) return GiveUpConnecting();
            if (ready) {
                if (mSocket.EndConnect(entry.failed) == 0) return Connected();
                return ConnectAttemptFailed();
            }
            if (waitFailed) {
                QS_LOG_SOCKET("SocketClient::Connect");
                return ConnectAttemptFailed();
            }
            // A host that did not answer within the bound will not answer
            // the next attempts either.
            if (Clock::now() >= mDeadline) GiveUpConnecting();
            return;
        case Phase::kSending:
        case Phase::kReceivingHead:
        case Phase::kReceivingBody: {
            const bool sending = mPhase == Phase::kSending;
            if (waitFailed) {
                // No later wait can be trusted either, and a peer that has
                // the request whole may still be at work on it.
                mWaitFailed = true;
                QS_LOG_SOCKET("HttpClient::Request");
                return Finish(sending ? -3 : -4);
            }
            if (ready) return sending ? SendStep() : ReceiveStep();
            InFlightChecks();
            return;
        }
        case Phase::kAwaitingClose:
            // The peer's close, anything it sends, a failed wait or the end
            // of the short wait: the connection is done with.
            if (ready || waitFailed || Clock::now() >= mDeadline) mPhase = Phase::kIdle;
            return;
        case Phase::kSettling: {
            bool over = waitFailed || Clock::now() >= mDeadline;
            if (ready && !over) {
                uint8_t sink[4096];
                int32_t got = 0;
                over = mSocket.ReceiveInto(sink, static_cast<int32_t>(sizeof sink), &got) != 0;  // closed: done
            }
            if (over) mPhase = Phase::kIdle;
            return;
        }
    }
}

void HttpClient::SendStep() {
    const int64_t total = static_cast<int64_t>(mHead.size()) + mBodyLength;
    const int64_t before = mSent;
    if (mSocket.SendSome(mHead.data(), static_cast<int32_t>(mHead.size()), mBody, mBodyLength, &mSent) != 0) {
        QS_LOG_SOCKET("HttpClient::Request");
        return Finish(-3);
    }
    if (mSent == total) {
        mAwaitingAnswer = true;
        return EnterReceive();
    }
    if (mSent > before) mLastActivity = Clock::now();
    InFlightChecks();
}

void HttpClient::InFlightChecks() {
    if (Raised(mStopFlag)) {
        QS_LOG_SOCKET("HttpClient::Request");
        Finish(-6);
    } else if (Clock::now() - mLastActivity >= mTimeout) {
        QS_LOG_SOCKET("HttpClient::Request");
        Finish(-5);
    }
}

void HttpClient::EnterReceive() {
    // The header block and whatever body arrives with it; the rest of the
    // body goes straight into the response.
    constexpr size_t kFirstReceive = 4096;
    mPhase = Phase::kReceivingHead;
    mHeadBuffer.resize(kFirstReceive);
    mHave = 0;
    mScan = ResponseScan(mMaxBody);
    mBodyInto = nullptr;
    mBodyTotal = 0;
    mBodyFilled = 0;
    mLastActivity = Clock::now();
    InFlightChecks();
}

void HttpClient::ReceiveStep() {
    int32_t got = 0;
    if (mPhase == Phase::kReceivingHead) {
        if (mHave == static_cast<int32_t>(mHeadBuffer.size())) mHeadBuffer.resize(mHeadBuffer.size() * 2);
        // -1 is a socket error; -2 an orderly close before the response was
        // complete, which no later step can repair.
        if (mSocket.ReceiveInto(mHeadBuffer.data() + mHave, static_cast<int32_t>(mHeadBuffer.size()) - mHave,
                                &got) != 0) {
            QS_LOG_SOCKET("HttpClient::Request");
            return Finish(-4);
        }
        if (got > 0) {
            mLastActivity = Clock::now();
            mHave += got;
            const int32_t examined = mScan.Examine(mHeadBuffer.data(), mHave, nullptr);
            if (examined == -3) {
                QS_LOG_SOCKET("HttpClient::Request");
                mMalformed = true;
                return Finish(-4);
            }
            if (examined != -1) {
                // The body's own buffer, sized from its Content-Length;
                // without a response to append to, the bytes still have to
                // be taken off the wire.
                mBodyTotal = std::max(mScan.BodyLength(), 0);
                if (mBodyTotal > 0) {
                    if (mResponse) {
                        mBodyInto = mResponse->Extend(mBodyTotal);
                    } else {
                        mDiscard.resize(static_cast<size_t>(mBodyTotal));
                        mBodyInto = mDiscard.data();
                    }
                }
                mBodyFilled = std::min(mHave - mScan.BodyStart(), mBodyTotal);
                if (mBodyFilled > 0)
                    std::memcpy(mBodyInto, mHeadBuffer.data() + mScan.BodyStart(), static_cast<size_t>(mBodyFilled));
                mPhase = Phase::kReceivingBody;
                if (mBodyFilled >= mBodyTotal) return Complete();
            }
        }
    } else {
        if (mSocket.ReceiveInto(mBodyInto + mBodyFilled, mBodyTotal - mBodyFilled, &got) != 0) {
            QS_LOG_SOCKET("HttpClient::Request");
            return Finish(-4);
        }
        if (got > 0) {
            mLastActivity = Clock::now();
            mBodyFilled += got;
            if (mBodyFilled >= mBodyTotal) return Complete();
        }
    }
    InFlightChecks();
}

void HttpClient::Complete() {
    mAwaitingAnswer = false;
    mResult = mBodyTotal;
    std::vector<uint8_t>().swap(mDiscard);
    // The peer closes after its answer; letting it close first leaves
    // TIME_WAIT on its side. A peer that keeps the connection open costs at
    // most this short wait.
    mPhase = Phase::kAwaitingClose;
    mDeadline = Clock::now() + std::chrono::milliseconds(kPeerCloseWaitMs);
}

void HttpClient::Finish(int32_t result) noexcept {
    // On a failure the response is left as it was.
    if (mResponse && mPhase == Phase::kReceivingBody) mResponse->Truncate(mKept);
    std::vector<uint8_t>().swap(mDiscard);
    mResult = result;
    // A peer that closed or answered nonsense is done with the request; a
    // stop, a time-out or a failed wait leaves it possibly at work.
    if (result == -4 && !mWaitFailed) mAwaitingAnswer = false;
    if (mAwaitingAnswer && mSettleMs > 0) return EnterSettle();
    mAwaitingAnswer = false;
    mPhase = Phase::kIdle;
}

void HttpClient::EnterSettle() noexcept {
    mAwaitingAnswer = false;
    mPhase = Phase::kSettling;
    mDeadline = Clock::now() + std::chrono::milliseconds(mSettleMs);
}

void HttpClient::Abandon() noexcept {
    switch (mPhase) {
        case Phase::kIdle:
        case Phase::kSettling:
            return;
        case Phase::kAwaitingClose:  // complete: the result stands
            mPhase = Phase::kIdle;
            return;
        default:
            // As a failure: a request sent whole settles if it owes that,
            // and a response being received is left as it was.
            Finish(-1);
    }
}

int32_t HttpClient::Get(const char* host, int32_t port, const char* path, const void* body,
                        int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                        const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    return Request(host, port, path, kGetLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag, maxBody);
}

int32_t HttpClient::Put(const char* host, int32_t port, const char* path, const void* body,
                        int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                        const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    return Request(host, port, path, kPutLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag, maxBody);
}

int32_t HttpClient::Post(const char* host, int32_t port, const char* path, const void* body,
                         int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                         const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    return Request(host, port, path, kPostLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag, maxBody);
}

int32_t HttpClient::Delete(const char* host, int32_t port, const char* path, const void* body,
                           int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                           const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    return Request(host, port, path, kDeleteLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag, maxBody);
}
