// Queues table operations and carries them to the phone's "/tablesync"
// service in one request; also copies message-part files with the file
// service's commands 21 and 22.
//
// DoTableSync sends the queued operations to the endpoint's phone, waiting
// at most its time-out of silence, and reads the answer through the bounded
// reader (ByteReader): nothing past the body is read, and no count or length
// from the phone is trusted. With the endpoint's retries, a request of
// queries only is made again after any drop; one holding an insert, update
// or delete only when none of it was sent, since a lost answer may hide a
// change the phone made. The retry decisions and their waits watch the
// endpoint's stop flag; the exchange itself watches only the provider's
// cancel byte (mbCancel), which nothing in the library raises, so Stop does
// not cut an exchange short. Results:
//    0  the response was accepted and all its records parsed
//   -1  the HTTP request failed (the last attempt's failure)
//   -2  the response body is shorter than the 20-byte marker
//   -3  fewer than 4 bytes follow the marker
//   -4  the length after the marker exceeds the bytes that follow it, the
//       body ends inside the record count, or a record cannot be parsed
//   -5  the response body does not begin with the marker
//   -6  a queued operation cannot be encoded (a text of 65,536 bytes or more,
//       or columns and values of different counts); nothing was sent
//
// PutMMSFileToPhone / GetMMSFileFromPhone talk to the phone service on
// 127.0.0.1 at the given port; with retries, either is made again after any
// drop (a part is always written whole). Results:
//    0  success
//   -2  response shorter than the marker
//   -3  fewer than 4 bytes after the marker
//   -4  (get) the content block is longer than the bytes received
//   -5  wrong marker, or fewer than 4 bytes where the status should be
//   -6  status other than 1
//   -7  the PC file cannot be opened (reading for put, writing for get)
//   -8  the HTTP request failed
//   -9  the file (put) or the phone-side name (put, get) is too large to
//       send; nothing was sent.
//       A part must be small enough for its answer to a get to fit in the
//       transport's largest body, so everything that can be put can be
//       fetched again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tablesync/AndroidOperation.h"
#include "transport/PhoneEndpoint.h"
#include "transport/RetryPolicy.h"

class AndroidOperationProvider {
public:
    AndroidOperationProvider() = default;
    AndroidOperationProvider(const AndroidOperationProvider&) = delete;
    AndroidOperationProvider& operator=(const AndroidOperationProvider&) = delete;

    // Each returns the operation's sequence number. Lists may be null (an
    // insert or update then has no columns); a null selection is empty.
    int32_t AddInsert(const std::string& table, const std::string& uri,
                      const std::vector<std::string>* columns,
                      const std::vector<std::string>* values);
    int32_t AddDelete(const std::string& table, const std::string& uri, const char* selection);
    int32_t AddUpdate(const std::string& table, const std::string& uri, const char* selection,
                      const std::vector<std::string>* columns,
                      const std::vector<std::string>* values);
    int32_t AddQuery(const std::string& table, const std::string& uri, int32_t param,
                     const char* selection, const std::vector<std::string>* projection,
                     const char* text);

    // The complete request body for the queued operations (the queue is left
    // as it is).
    std::unique_ptr<ByteArray> BuildRequestBody() const;

    int32_t DoTableSync(const PhoneEndpoint& phone);
    // The part of DoTableSync after the exchange: checks the envelope of a
    // response body and appends one result object per record to mResults.
    // Returns 0 or -2 to -5 as DoTableSync does (the caller logs). The
    // buffer's form reads from its cursor and leaves it where reading ended.
    int32_t ParseResponse(ByteArray& response);
    int32_t ParseResponse(ByteReader& in);
    // Reads one result record at the reader's position and returns its
    // result object, or null (logged) when the record cannot be parsed, its
    // fields included running past the record's length. Leaves the position
    // at the record's end, past bytes it does not read. Never reads past the
    // end of the body.
    static std::unique_ptr<AndroidOperation> ParseRespStream(ByteArray& body);
    static std::unique_ptr<AndroidOperation> ParseRespStream(ByteReader& in);

    // The part of PutMMSFileToPhone after the exchange: checks an answer up
    // to its status word; 0 when the status is 1, else -2, -3, -5 or -6 as
    // PutMMSFileToPhone returns them (the caller logs).
    static int32_t ParseMmsPutAnswer(ByteArray& response);
    // The same for an answer to a get, followed by its content block: on 0
    // the block's blockLength bytes start at the read position and lie
    // inside the body; -4 when the block's count is missing or larger.
    static int32_t ParseMmsGetAnswer(ByteArray& response, int64_t& blockLength);

    int32_t PutMMSFileToPhone(int32_t port, const char* phoneName, const char* localPath,
                              const RetryPolicy& retry = RetryPolicy());
    int32_t GetMMSFileFromPhone(int32_t port, const char* phoneName, const char* localPath,
                                const RetryPolicy& retry = RetryPolicy());

    // Test seam: the process-wide sequence counter (the next operation gets
    // value + 1).
    static void SetSequenceForTesting(int32_t value);

    // Handed to the HTTP client as its stop flag; nothing in the library sets
    // it, so Stop does not cut a table sync's exchange short.
    std::atomic<uint8_t> mbCancel{0};
    std::vector<std::unique_ptr<AndroidOperation>> mOperations;
    std::vector<std::unique_ptr<AndroidOperation>> mResults;

private:
    int32_t Queue(std::unique_ptr<AndroidOperation> operation, const std::string& table,
                  const std::string& uri);
};
