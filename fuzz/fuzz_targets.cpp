#include "fuzz_targets.h"

#include <string>

#include "export/TagParser.h"
#include "tablesync/AndroidOperationProvider.h"
#include "transport/ByteArray.h"
#include "transport/HttpClient.h"

int FuzzHttpResponse(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t split = 1 + data[0] % (size);
    const uint8_t* bytes = data + 1;
    const size_t length = size - 1;
    ByteArray response;
    // The whole buffer is examined again after every arrival, as Request does.
    for (size_t seen : {std::min(split, length), length}) {
        const int32_t result = HttpClient::HttpPkgFinished(bytes, static_cast<int32_t>(seen), &response);
        if (result >= 0 && response.GetLength() != result) return 1;  // the body must be what was announced
        if (result >= 0) break;
    }
    return 0;
}

int FuzzTableResponse(const uint8_t* data, size_t size) {
    ByteArray body;
    if (size > 0) body.AppendData(data, static_cast<int32_t>(size));
    AndroidOperationProvider provider;
    provider.ParseResponse(body);
    return body.GetReadPos() <= body.GetLength() ? 0 : 1;
}

int FuzzRoleString(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    CTagParser parser;
    parser.ParseRoleString(text.c_str(), static_cast<int32_t>(text.size()));
    parser.GetString(u"device");
    parser.GetInt(u"device");
    return 0;
}
