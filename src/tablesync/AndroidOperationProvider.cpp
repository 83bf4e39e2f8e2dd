#include "tablesync/AndroidOperationProvider.h"

#include <filesystem>
#include <fstream>

#include "log/Log.h"
#include "platform/file.h"
#include "tablesync/AndroidOperationQuery.h"
#include "transport/HttpClient.h"
#include "transport/WireFrame.h"

namespace {

// Numbers every queued operation of the process: the first is 1.
std::atomic<int32_t> gSequence{0};

constexpr int32_t kTimeoutSeconds = 60;
constexpr char kMmsHost[] = "127.0.0.1";
// The smallest result record: length, sequence number, kind and code.
constexpr int32_t kMinRecordBytes = 16;
// An answer to a get holds marker, one word, status and the block count.
constexpr int64_t kMmsAnswerOverhead = WireFrame::kHeadBytes + 4;

// An answer's head, read from the buffer's position: 0 with the position
// after the two words, or the fault's result.
int32_t ReadAnswerHead(ByteArray& body, const WireFrame::HeadFaults& faults, uint32_t& length, uint32_t& word) {
    ByteReader in = body.Reader();
    const int32_t head = WireFrame::ReadHead(in, faults, length, word);
    body.ReadUpTo(in);
    return head;
}

}  // namespace

int32_t AndroidOperationProvider::ParseMmsPutAnswer(ByteArray& response) {
    static constexpr WireFrame::HeadFaults kFaults{-2, -5, -3, -5};
    uint32_t unused = 0, status = 0;
    const int32_t head = ReadAnswerHead(response, kFaults, unused, status);
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

int32_t AndroidOperationProvider::DoTableSync(int32_t port, const char* host) {
    for (const auto& operation : mOperations) {
        if (!operation->IsEncodable()) {
            QS_LOG_TABLE("AndroidOperationProvider::DoTableSync");
            return -6;
        }
    }
    const std::unique_ptr<ByteArray> request = BuildRequestBody();
    ByteArray response;
    HttpClient client;
    if (client.Get(host, port, "/tablesync", request->GetData(), request->GetLength(), &response,
                   kTimeoutSeconds, &mbCancel) < 0) {
        QS_LOG_TABLE("AndroidOperationProvider::DoTableSync");
        return -1;
    }
    const int32_t result = ParseResponse(response);
    if (result != 0) QS_LOG_TABLE("AndroidOperationProvider::DoTableSync");
    return result;
}

int32_t AndroidOperationProvider::ParseResponse(ByteArray& response) {
    static constexpr WireFrame::HeadFaults kFaults{-2, -5, -3, -4};
    uint32_t following = 0, records = 0;
    const int32_t head = ReadAnswerHead(response, kFaults, following, records);
    if (head != 0) return head;
    // The length counts the record count and everything after it.
    if (following > static_cast<uint32_t>(response.GetRemain()) + 4) return -4;
    const int32_t count = static_cast<int32_t>(records);
    // Every record needs at least its head, so a larger count cannot be true.
    if (count < 0 || count > response.GetRemain() / kMinRecordBytes) return -4;
    for (int32_t i = 0; i < count; ++i) {
        std::unique_ptr<AndroidOperation> parsed = ParseRespStream(response);
        if (!parsed) return -4;
        mResults.push_back(std::move(parsed));
    }
    return 0;
}

int32_t AndroidOperationProvider::PutMMSFileToPhone(int32_t port, const char* phoneName,
                                                    const char* localPath) {
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
    HttpClient client;
    if (client.Get(kMmsHost, port, "/filesync", request.GetData(), request.GetLength(), &response,
                   kTimeoutSeconds, &mbCancel) < 0) {
        QS_LOG_TABLE("AndroidOperationProvider::PutMMSFileToPhone");
        return -8;
    }
    const int32_t result = ParseMmsPutAnswer(response);
    if (result != 0) QS_LOG_TABLE("AndroidOperationProvider::PutMMSFileToPhone");
    return result;
}

int32_t AndroidOperationProvider::GetMMSFileFromPhone(int32_t port, const char* phoneName,
                                                      const char* localPath) {
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
    HttpClient client;
    if (client.Get(kMmsHost, port, "/filesync", request.GetData(), request.GetLength(), &response,
                   kTimeoutSeconds, &mbCancel) < 0) {
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
    if (body.GetRemain() < 4) {
        QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
        return nullptr;
    }
    const int64_t length = static_cast<int32_t>(body.ReadInt32());
    if (length > body.GetRemain()) {
        QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
        return nullptr;
    }
    // The record ends where its length says: fields that run past it make
    // it malformed, and bytes after its fields are skipped, so that the next
    // record is read from its own start.
    const int64_t end = body.GetReadPos() + length;
    int32_t head[3];  // sequence number, kind, result code
    for (int32_t& field : head) {
        if (body.GetRemain() < 4) {
            QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
            return nullptr;
        }
        field = static_cast<int32_t>(body.ReadInt32());
    }
    const int32_t kind = head[1];
    const int32_t code = head[2];

    std::unique_ptr<AndroidOperation> result;
    if (code != 1) {
        result = std::make_unique<AndroidOperation>();
    } else if (kind == kKindQuery) {
        result = AndroidOperationQuery::ParseResult(body);
        if (!result) return nullptr;
    } else {
        switch (kind) {
            case kKindInsert: result = std::make_unique<AndroidOperationInsert>(); break;
            case kKindDelete: result = std::make_unique<AndroidOperationDelete>(); break;
            case kKindUpdate: result = std::make_unique<AndroidOperationUpdate>(); break;
            case kKindFive: result = std::make_unique<AndroidOperationKind5>(); break;
            default: return nullptr;  // unknown kind: no object, no line
        }
        if (!ReadWireText(body, result->mstrResult)) {
            // The body ends inside the result text.
            QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
            return nullptr;
        }
    }
    if (body.GetReadPos() > end) {
        QS_LOG_TABLE("AndroidOperationProvider::ParseRespStream");
        return nullptr;
    }
    if (body.GetReadPos() < end) {
        std::string skipped;
        body.ReadBytes(skipped, static_cast<int32_t>(end - body.GetReadPos()));
    }
    result->mnId = head[0];
    result->mnKind = kind;
    result->mnResult = code;
    return result;
}
