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
#include "platform/thread.h"

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

bool HttpClient::ConnectWithRetries(const char* host, int32_t port, const std::atomic<uint8_t>* stopFlag,
                                    uint32_t noAnswerMs) {
    for (int32_t attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (Raised(stopFlag)) return false;
        const int32_t result = mSocket.Connect(host, port, stopFlag, noAnswerMs);
        if (result == 0) return true;
        ::qslog::LogToDebugger(u"Connect Error, Try Again, Pls Wait...\r\n");
        // A refused attempt is retried at once. A host that did not answer
        // within the connect bound will not answer the next attempts either,
        // and a stop ends the loop at its next check.
        if (result == -5 || result == -6) return false;
    }
    return false;
}

int32_t HttpClient::AwaitSocket(Await what, std::chrono::steady_clock::time_point lastActivity,
                                std::chrono::steady_clock::duration timeout, const std::atomic<uint8_t>* stopFlag) {
    for (;;) {
        if (Raised(stopFlag)) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -6;
        }
        if (std::chrono::steady_clock::now() - lastActivity >= timeout) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -5;
        }
        // Wake as soon as bytes (or the peer's close) arrive or the send
        // buffer has room, at the latest after one poll interval for the stop
        // and time-out checks.
        const int32_t ready = what == Await::kReadable ? mSocket.WaitReadable(kReceivePollMs)
                                                       : mSocket.WaitWritable(kReceivePollMs);
        if (ready > 0) return 0;
        if (ready < 0) {
            // The wait itself failed: no later one can be trusted either,
            // and the peer may still be at work on the request.
            mWaitFailed = true;
            QS_LOG_SOCKET("HttpClient::Request");
            return what == Await::kReadable ? -4 : -3;
        }
    }
}

int32_t HttpClient::SendRequest(const std::string& head, const void* body, int32_t bodyLength,
                                int32_t timeoutSeconds, const std::atomic<uint8_t>* stopFlag) {
    using Clock = std::chrono::steady_clock;
    const auto timeout = std::chrono::seconds(std::max(timeoutSeconds, 0));
    const int64_t total = static_cast<int64_t>(head.size()) + bodyLength;
    int64_t sent = 0;
    auto lastProgress = Clock::now();
    for (;;) {
        const int64_t before = sent;
        if (mSocket.SendSome(head.data(), static_cast<int32_t>(head.size()), body, bodyLength, &sent) != 0) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -3;
        }
        if (sent == total) return 0;
        if (sent > before) lastProgress = Clock::now();
        const int32_t awaited = AwaitSocket(Await::kWritable, lastProgress, timeout, stopFlag);
        if (awaited != 0) return awaited;
    }
}

int32_t HttpClient::ReceiveResponse(ByteArray* response, int32_t timeoutSeconds,
                                    const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    using Clock = std::chrono::steady_clock;
    // The header block and whatever body arrives with it; the rest of the
    // body goes straight into the response.
    constexpr int32_t kFirstReceive = 4096;
    const auto timeout = std::chrono::seconds(std::max(timeoutSeconds, 0));
    std::vector<uint8_t> head(kFirstReceive);
    int32_t have = 0;
    ResponseScan scan(maxBody);
    auto lastActivity = Clock::now();
    int32_t examined = -1;
    while (examined == -1) {
        const int32_t awaited = AwaitSocket(Await::kReadable, lastActivity, timeout, stopFlag);
        if (awaited != 0) return awaited;
        if (have == static_cast<int32_t>(head.size())) head.resize(head.size() * 2);
        int32_t got = 0;
        // -1 is a socket error; -2 an orderly close before the response was
        // complete, which no later cycle can repair.
        if (mSocket.ReceiveInto(head.data() + have, static_cast<int32_t>(head.size()) - have, &got) != 0) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -4;
        }
        if (got == 0) continue;
        lastActivity = Clock::now();
        have += got;
        examined = scan.Examine(head.data(), have, nullptr);
        if (examined == -3) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -4;
        }
    }
    const int32_t bodyLength = std::max(scan.BodyLength(), 0);
    const int32_t kept = response ? response->GetLength() : 0;
    // The body's own buffer, sized from its Content-Length; without a
    // response to append to, the bytes still have to be taken off the wire.
    std::vector<uint8_t> discard;
    uint8_t* body = nullptr;
    if (bodyLength > 0) {
        if (response) {
            body = response->Extend(bodyLength);
        } else {
            discard.resize(static_cast<size_t>(bodyLength));
            body = discard.data();
        }
    }
    int32_t filled = std::min(have - scan.BodyStart(), bodyLength);
    if (filled > 0) std::memcpy(body, head.data() + scan.BodyStart(), static_cast<size_t>(filled));
    head = std::vector<uint8_t>();
    while (filled < bodyLength) {
        const int32_t awaited = AwaitSocket(Await::kReadable, lastActivity, timeout, stopFlag);
        int32_t got = 0;
        if (awaited == 0 && mSocket.ReceiveInto(body + filled, bodyLength - filled, &got) != 0) {
            QS_LOG_SOCKET("HttpClient::Request");
            if (response) response->Truncate(kept);
            return -4;
        }
        if (awaited != 0) {
            if (response) response->Truncate(kept);
            return awaited;
        }
        if (got > 0) {
            lastActivity = Clock::now();
            filled += got;
        }
    }
    // The peer closes after its answer; letting it close first leaves
    // TIME_WAIT on its side. A peer that keeps the connection open costs at
    // most this short wait.
    mSocket.WaitReadable(kPeerCloseWaitMs);
    return bodyLength;
}

int32_t HttpClient::Request(const char* host, int32_t port, const char* path,
                            const char* requestLineFormat, const void* body, int32_t bodyLength,
                            ByteArray* response, int32_t timeoutSeconds,
                            const std::atomic<uint8_t>* stopFlag, int32_t maxBody) {
    if (!host || port < 1 || !path || !requestLineFormat || bodyLength < 0) {
        QS_LOG_SOCKET("HttpClient::Request");
        return -1;
    }
    const bool hasBody = body && bodyLength != 0;
    std::string head = RequestLine(requestLineFormat, path);
    head += kCacheHeader;
    if (hasBody) {
        char lengthLine[48];
        std::snprintf(lengthLine, sizeof lengthLine, "Content-Length:%d\r\n", bodyLength);
        head += lengthLine;
    }
    head += kBlankLine;
    const int64_t total = static_cast<int64_t>(head.size()) + (hasBody ? bodyLength : 0);
    if (total > INT32_MAX) {
        QS_LOG_SOCKET("HttpClient::Request");
        return -1;
    }

    Settle();
    mWaitFailed = false;
    mSocket.Close();
    // A request with a short time-out (a clean-up after Stop) waits no
    // longer than that for a host that does not answer at all.
    const uint32_t noAnswerMs =
        timeoutSeconds > 0 && timeoutSeconds < static_cast<int32_t>(SocketClient::kConnectTimeoutMs / 1000)
            ? static_cast<uint32_t>(timeoutSeconds) * 1000u
            : SocketClient::kConnectTimeoutMs;
    if (!ConnectWithRetries(host, port, stopFlag, noAnswerMs)) {
        QS_LOG_SOCKET("HttpClient::Request");
        return -2;
    }
    ::qslog::LogToDebugger(u"Connect Success.\r\n");

    const int32_t sent = SendRequest(head, hasBody ? body : nullptr, hasBody ? bodyLength : 0, timeoutSeconds,
                                     stopFlag);
    if (sent != 0) return sent;
    mAwaitingAnswer = true;
    const int32_t received = ReceiveResponse(response, timeoutSeconds, stopFlag, std::min(maxBody, kMaxResponseBody));
    // An answer, or a peer that closed or answered nonsense: the peer is done
    // with the request. A stop or a time-out leaves it possibly at work.
    if (received >= 0 || (received == -4 && !mWaitFailed)) mAwaitingAnswer = false;
    Settle();
    return received;
}

void HttpClient::Settle() noexcept {
    if (!mAwaitingAnswer) return;
    mAwaitingAnswer = false;
    if (mSettleMs == 0) return;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(mSettleMs);
    uint8_t sink[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        const int32_t ready = mSocket.WaitReadable(static_cast<uint32_t>(std::min<int64_t>(left, kReceivePollMs)));
        if (ready < 0) return;
        if (ready == 0) continue;
        int32_t got = 0;
        if (mSocket.ReceiveInto(sink, static_cast<int32_t>(sizeof sink), &got) != 0) return;  // closed: done
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
