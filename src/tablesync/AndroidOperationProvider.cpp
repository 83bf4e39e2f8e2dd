#include "tablesync/AndroidOperationProvider.h"

#include <filesystem>
#include <fstream>

#include "log/Log.h"
#include "platform/file.h"
#include "tablesync/AndroidOperationQuery.h"
#include "transport/HttpClient.h"
#include "transport/Retry.h"
#include "transport/WireFrame.h"

namespace {

// Numbers every queued operation of the process: the first is 1.
std::atomic<int32_t> gSequence{0};

constexpr int32_t kTimeoutSeconds = 60;  // of the message-part exchanges
constexpr char kMmsHost[] = "127.0.0.1";
// The smallest result record: length, sequence number, kind and code.
constexpr int32_t kMinRecordBytes = 16;
// An answer to a get holds marker, one word, status and the block count.
constexpr int64_t kMmsAnswerOverhead = WireFrame::kHeadBytes + 4;

// An answer's head: 0 with the reader after the two words, or the fault's
// result.
int32_t ReadAnswerHead(ByteReader& in, const WireFrame::HeadFaults& faults, uint32_t& length, uint32_t& word) {
    return WireFrame::ReadHead(in, faults, length, word);
}

// One exchange with the phone over the given request path, made again after
// a drop as rule allows: the HTTP client's result of the last attempt. The
// exchange itself watches the provider's cancel byte; the retry decisions
// and waits watch stopFlag.
int32_t TableExchange(const char* host, int32_t port, const char* path, const ByteArray& request,
                      ByteArray& response, int32_t timeout, const std::atomic<uint8_t>* cancel,
                      const RetryPolicy& retry, RepeatRule rule, const std::atomic<uint8_t>* stopFlag,
                      const char* name) {
    RetryCourse course(retry, rule, stopFlag, name);
    return RequestWithRetries(course, [&](HttpClient& client) {
        return client.Get(host, port, path, request.GetData(), request.GetLength(), &response, timeout, cancel);
    });
}

}  // namespace

int32_t AndroidOperationProvider::ParseMmsPutAnswer(ByteArray& response) {
    static constexpr WireFrame::HeadFaults kFaults{-2, -5, -3, -5};
    uint32_t unused = 0, status = 0;
    ByteReader in = response.Reader();
    const int32_t head = ReadAnswerHead(in, kFaults, unused, status);
    response.ReadUpTo(in);
    if (head != 0) return head;
    return static_cast<int32_t>(status) == 1 ? 0 : -6;
}

int32_t AndroidOperationProvider::ParseMmsGetAnswer(ByteArray& response, int64_t& blockLength) {
    blockLength = 0;
    const int32_t result = ParseMmsPutAnswer(response);
    if (result != 0) return result;
    // The block must lie within the body; its bytes stay where they are,
    // and the position is left at them, past the count.
    ByteReader in = response.Reader();
    uint32_t count = 0;
    if (!in.Block(nullptr, count)) return -4;
    blockLength = count;
    response.ReadInt32();
    return 0;
}

void AndroidOperationProvider::SetSequenceForTesting(int32_t value) { gSequence.store(value); }

int32_t AndroidOperationProvider::Queue(std::unique_ptr<AndroidOperation> operation,
                                        const std::string& table, const std::string& uri) {
    operation->mstrTable = table;
    operation->mstrUri = uri;
    operation->mnId = ++gSequence;
    const int32_t id = operation->mnId;
    mOperations.push_back(std::move(operation));
    return id;
}

int32_t AndroidOperationProvider::AddInsert(const std::string& table, const std::string& uri,
                                            const std::vector<std::string>* columns,
                                            const std::vector<std::string>* values) {
    auto insert = std::make_unique<AndroidOperationInsert>();
    insert->mData.Assign(columns, values);
    return Queue(std::move(insert), table, uri);
}

int32_t AndroidOperationProvider::AddDelete(const std::string& table, const std::string& uri,
                                            const char* selection) {
    auto remove = std::make_unique<AndroidOperationDelete>();
    remove->mstrSelection = selection ? selection : "";
    return Queue(std::move(remove), table, uri);
}

int32_t AndroidOperationProvider::AddUpdate(const std::string& table, const std::string& uri,
                                            const char* selection,
                                            const std::vector<std::string>* columns,
                                            const std::vector<std::string>* values) {
    auto update = std::make_unique<AndroidOperationUpdate>();
    update->mstrSelection = selection ? selection : "";
    update->mData.Assign(columns, values);
    return Queue(std::move(update), table, uri);
}

int32_t AndroidOperationProvider::AddQuery(const std::string& table, const std::string& uri,
                                           int32_t param, const char* selection,
                                           const std::vector<std::string>* projection,
                                           const char* text) {
    auto query = std::make_unique<AndroidOperationQuery>();
    query->mnQueryParam = param;
    query->mstrSelection = selection ? selection : "";
    query->mstrQueryText = text ? text : "";
    if (projection) query->mProjection = *projection;
    return Queue(std::move(query), table, uri);
}

std::unique_ptr<ByteArray> AndroidOperationProvider::BuildRequestBody() const {
    auto body = std::make_unique<ByteArray>();
    WireFrame::Start(*body, static_cast<uint32_t>(mOperations.size()));
    for (const auto& operation : mOperations) {
        ByteArray record;
        operation->Serialize(record);
        body->AppendData(record.GetData(), record.GetLength());
    }
    WireFrame::Finish(*body);
    return body;
}

int32_t AndroidOperationProvider::DoTableSync(const PhoneEndpoint& phone) {
    static const char kName[] = "AndroidOperationProvider::DoTableSync";
    bool changes = false;
    for (const auto& operation : mOperations) {
        if (!operation->IsEncodable()) {
            QS_LOG_TABLE(kName);
            return -6;
        }
        changes = changes || operation->mnKind != kKindQuery;
    }
    const std::unique_ptr<ByteArray> request = BuildRequestBody();
    ByteArray response;
    // Queries change nothing and are repeated after any drop. An insert,
    // update or delete is repeated only when none of the request left: a
    // lost answer may hide a change the phone made, and a second insert
    // would add a second row.
    const RepeatRule rule = changes ? RepeatRule::kOnlyUnsent : RepeatRule::kAfterAnyDrop;
    if (TableExchange(phone.host.c_str(), phone.port, "/tablesync", *request, response, phone.timeout, &mbCancel,
                      phone.retry, rule, phone.stop, kName) < 0) {
        QS_LOG_TABLE(kName);
        return -1;
    }
    const int32_t result = ParseResponse(response);
    if (result != 0) QS_LOG_TABLE(kName);
    return result;
}

int32_t AndroidOperationProvider::ParseResponse(ByteArray& response) {
    ByteReader in = response.Reader();
    const int32_t result = ParseResponse(in);
    response.ReadUpTo(in);
    return result;
}

int32_t AndroidOperationProvider::ParseResponse(ByteReader& in) {
    static constexpr WireFrame::HeadFaults kFaults{-2, -5, -3, -4};
    uint32_t following = 0, records = 0;
    const int32_t head = ReadAnswerHead(in, kFaults, following, records);
    if (head != 0) return head;
    // The length counts the record count and everything after it.
    if (following > in.Remain() + 4) return -4;
    // Every record needs at least its head, so a larger count cannot be true.
    if (records > in.Remain() / kMinRecordBytes) return -4;
    for (uint32_t i = 0; i < records; ++i) {
        std::unique_ptr<AndroidOperation> parsed = ParseRespStream(in);
        if (!parsed) return -4;
        mResults.push_back(std::move(parsed));
    }
    return 0;
}

int32_t AndroidOperationProvider::PutMMSFileToPhone(int32_t port, const char* phoneName, const char* localPath,
                                                    const RetryPolicy& retry) {
    const std::string name = phoneName ? phoneName : "";
    std::ifstream in;
    if (localPath) in.open(std::filesystem::u8path(localPath), std::ios::binary | std::ios::ate);
    if (!in) {
        QS_LOG_TABLE("AndroidOperationProvider::PutMMSFileToPhone");
        return -7;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size + kMmsAnswerOverhead > kMaxResponseBody || !FitsWireText(name)) {
        QS_LOG_TABLE("AndroidOperationProvider::PutMMSFileToPhone");
        return -9;
    }
    std::string content(static_cast<size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(&content[0], size)) {
        QS_LOG_TABLE("AndroidOperationProvider::PutMMSFileToPhone");
        return -7;
    }
    in.close();

    ByteArray request;
    request.Reserve(static_cast<int32_t>(size + 64 + static_cast<std::streamoff>(name.size())));
    WireFrame::Start(request, CMD_PUT_MMS_PART);
    AppendWireText(request, name);
    request.AppendBlock(content.data(), static_cast<int32_t>(size));
    WireFrame::Finish(request);

    ByteArray response;
    // A part is always written whole, so writing it again changes nothing.
    if (TableExchange(kMmsHost, port, "/filesync", request, response, kTimeoutSeconds, &mbCancel, retry,
                      RepeatRule::kAfterAnyDrop, &mbCancel, "AndroidOperationProvider::PutMMSFileToPhone") < 0) {
        QS_LOG_TABLE("AndroidOperationProvider::PutMMSFileToPhone");
        return -8;
    }
    const int32_t result = ParseMmsPutAnswer(response);
    if (result != 0) QS_LOG_TABLE("AndroidOperationProvider::PutMMSFileToPhone");
    return result;
}

int32_t AndroidOperationProvider::GetMMSFileFromPhone(int32_t port, const char* phoneName, const char* localPath,
                                                      const RetryPolicy& retry) {
    const std::string name = phoneName ? phoneName : "";
    if (!FitsWireText(name)) {
        QS_LOG_TABLE("AndroidOperationProvider::GetMMSFileFromPhone");
        return -9;
    }
    ByteArray request;
    WireFrame::Start(request, CMD_GET_MMS_PART);
    AppendWireText(request, name);
    WireFrame::Finish(request);

    ByteArray response;
    if (TableExchange(kMmsHost, port, "/filesync", request, response, kTimeoutSeconds, &mbCancel, retry,
                      RepeatRule::kAfterAnyDrop, &mbCancel, "AndroidOperationProvider::GetMMSFileFromPhone") < 0) {
        QS_LOG_TABLE("AndroidOperationProvider::GetMMSFileFromPhone");
        return -8;
    }
    int64_t blockLength = 0;
    const int32_t result = ParseMmsGetAnswer(response, blockLength);
    if (result != 0) {
        QS_LOG_TABLE("AndroidOperationProvider::GetMMSFileFromPhone");
        return result;
    }

    // The content goes to a file beside the target first and takes the
    // target's name only once it is complete, so a failure never leaves a
    // truncated file behind.
    if (!localPath) {
        QS_LOG_TABLE("AndroidOperationProvider::GetMMSFileFromPhone");
        return -7;
    }
    const std::filesystem::path target = std::filesystem::u8path(localPath);
    const std::filesystem::path temporary(platform::TemporarySiblingName(target.u16string()));
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(reinterpret_cast<const char*>(response.GetData() + response.GetReadPos()),
                      static_cast<std::streamsize>(blockLength));
            out.close();
            written = !out.fail();
        }
    }
    std::error_code error;
    if (written) std::filesystem::rename(temporary, target, error);
    if (!written || error) {
        std::filesystem::remove(temporary, error);
        QS_LOG_TABLE("AndroidOperationProvider::GetMMSFileFromPhone");
        return -7;
    }
    return 0;
}

std::unique_ptr<AndroidOperation> AndroidOperationProvider::ParseRespStream(ByteArray& body) {
    ByteReader in = body.Reader();
    std::unique_ptr<AndroidOperation> result = ParseRespStream(in);
    body.ReadUpTo(in);
    return result;
}

std::unique_ptr<AndroidOperation> AndroidOperationProvider::ParseRespStream(ByteReader& in) {
    uint32_t length = 0;
    if (!in.Int32(length)) {
        QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
        return nullptr;
    }
    if (static_cast<int32_t>(length) > static_cast<int64_t>(in.Remain())) {
        QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
        return nullptr;
    }
    // The record ends where its length says: fields that run past it make
    // it malformed, and bytes after its fields are skipped, so that the next
    // record is read from its own start. A negative length ends it before
    // its fields.
    const int64_t end = static_cast<int64_t>(in.Pos()) + static_cast<int32_t>(length);
    int32_t head[3];  // sequence number, kind, result code
    for (int32_t& field : head) {
        if (!in.Signed32(field)) {
            QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
            return nullptr;
        }
    }
    const int32_t kind = head[1];
    const int32_t code = head[2];

    std::unique_ptr<AndroidOperation> result;
    if (code != 1) {
        result = std::make_unique<AndroidOperation>();
    } else if (kind == kKindQuery) {
        result = AndroidOperationQuery::ParseResult(in);
        if (!result) return nullptr;
    } else {
        switch (kind) {
            case kKindInsert: result = std::make_unique<AndroidOperationInsert>(); break;
            case kKindDelete: result = std::make_unique<AndroidOperationDelete>(); break;
            case kKindUpdate: result = std::make_unique<AndroidOperationUpdate>(); break;
            case kKindFive: result = std::make_unique<AndroidOperationKind5>(); break;
            default: return nullptr;  // unknown kind: no object, no line
        }
        if (!ReadWireText(in, result->mstrResult)) {
            // The body ends inside the result text.
            QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
            return nullptr;
        }
    }
    const int64_t at = static_cast<int64_t>(in.Pos());
    if (at > end) {
        QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
        return nullptr;
    }
    if (at < end) in.Skip(static_cast<size_t>(end - at));
    result->mnId = head[0];
    result->mnKind = kind;
    result->mnResult = code;
    return result;
}
