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

bool HttpClient::ConnectWithRetries(const char* host, int32_t port,
                                    const std::atomic<uint8_t>* stopFlag) {
    for (int32_t attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (Raised(stopFlag)) return false;
        const int32_t result = mSocket.Connect(host, port, stopFlag);
        if (result == 0) return true;
        ::qslog::LogToDebugger(u"Connect Error, Try Again, Pls Wait...\r\n");
        // A refused attempt is retried at once. A host that did not answer
        // within the connect bound will not answer the next attempts either,
        // and a stop ends the loop at its next check.
        if (result == -5 || result == -6) return false;
    }
    return false;
}

int32_t HttpClient::ReceiveResponse(ByteArray* response, int32_t timeoutSeconds,
                                    const std::atomic<uint8_t>* stopFlag) {
    using Clock = std::chrono::steady_clock;
    const auto timeout = std::chrono::seconds(std::max(timeoutSeconds, 0));
    std::vector<uint8_t> received;  // grows with amortised capacity
    ResponseScan scan;
    auto lastActivity = Clock::now();
    for (;;) {
        if (Raised(stopFlag)) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -6;
        }
        std::unique_ptr<uint8_t[]> block;
        int32_t blockLength = 0;
        // -1 is a socket error; -2 an orderly close before the response was
        // complete, which no later cycle can repair.
        if (mSocket.Recv(block, blockLength) != 0) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -4;
        }
        if (blockLength > 0) {
            lastActivity = Clock::now();
            received.insert(received.end(), block.get(), block.get() + blockLength);
            block.reset();
            const int32_t result =
                scan.Examine(received.data(), static_cast<int32_t>(received.size()), response);
            if (result >= 0) {
                // The peer closes after its answer; letting it close first
                // leaves TIME_WAIT on its side. A peer that keeps the
                // connection open costs at most this short wait.
                mSocket.WaitReadable(kPeerCloseWaitMs);
                return result;
            }
            if (result == -3) {
                QS_LOG_SOCKET("HttpClient::Request");
                return -4;
            }
        }
        if (Clock::now() - lastActivity >= timeout) {
            QS_LOG_SOCKET("HttpClient::Request");
            return -5;
        }
        // Wake as soon as bytes (or the peer's close) arrive, at the latest
        // after one poll interval for the stop and time-out checks.
        if (mSocket.WaitReadable(kReceivePollMs) < 0)
            platform::SleepMilliseconds(kReceivePollMs);
    }
}

int32_t HttpClient::Request(const char* host, int32_t port, const char* path,
                            const char* requestLineFormat, const void* body, int32_t bodyLength,
                            ByteArray* response, int32_t timeoutSeconds,
                            const std::atomic<uint8_t>* stopFlag) {
    if (!host || port < 1 || !path || !requestLineFormat || bodyLength < 0) {
        QS_LOG_SOCKET("HttpClient::Request");
        return -1;
    }
    const bool hasBody = body && bodyLength != 0;
    const std::string line = RequestLine(requestLineFormat, path);
    char lengthLine[48] = "";
    if (hasBody) std::snprintf(lengthLine, sizeof lengthLine, "Content-Length:%d\r\n", bodyLength);
    const int64_t total = static_cast<int64_t>(line.size()) + std::strlen(kCacheHeader) +
                          std::strlen(lengthLine) + std::strlen(kBlankLine) +
                          (hasBody ? bodyLength : 0);
    if (total > INT32_MAX) {
        QS_LOG_SOCKET("HttpClient::Request");
        return -1;
    }

    mSocket.Close();
    if (!ConnectWithRetries(host, port, stopFlag)) {
        QS_LOG_SOCKET("HttpClient::Request");
        return -2;
    }
    ::qslog::LogToDebugger(u"Connect Success.\r\n");

    ByteArray request;
    request.Reserve(static_cast<int32_t>(total));
    if (!line.empty()) request.AppendData(line.data(), static_cast<int32_t>(line.size()));
    request.AppendData(kCacheHeader, static_cast<int32_t>(std::strlen(kCacheHeader)));
    if (hasBody) request.AppendData(lengthLine, static_cast<int32_t>(std::strlen(lengthLine)));
    request.AppendData(kBlankLine, static_cast<int32_t>(std::strlen(kBlankLine)));
    if (hasBody) request.AppendData(body, bodyLength);

    if (mSocket.Send(request.GetData(), request.GetLength()) != 0) {
        QS_LOG_SOCKET("HttpClient::Request");
        return -3;
    }
    return ReceiveResponse(response, timeoutSeconds, stopFlag);
}

int32_t HttpClient::Get(const char* host, int32_t port, const char* path, const void* body,
                        int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                        const std::atomic<uint8_t>* stopFlag) {
    return Request(host, port, path, kGetLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag);
}

int32_t HttpClient::Put(const char* host, int32_t port, const char* path, const void* body,
                        int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                        const std::atomic<uint8_t>* stopFlag) {
    return Request(host, port, path, kPutLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag);
}

int32_t HttpClient::Post(const char* host, int32_t port, const char* path, const void* body,
                         int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                         const std::atomic<uint8_t>* stopFlag) {
    return Request(host, port, path, kPostLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag);
}

int32_t HttpClient::Delete(const char* host, int32_t port, const char* path, const void* body,
                           int32_t bodyLength, ByteArray* response, int32_t timeoutSeconds,
                           const std::atomic<uint8_t>* stopFlag) {
    return Request(host, port, path, kDeleteLine, body, bodyLength, response, timeoutSeconds,
                   stopFlag);
}
