#include "tablesync/AndroidOperationQuery.h"

#include "log/Log.h"

namespace {

// The smallest row is its column count; the smallest pair is two empty texts.
constexpr int32_t kMinRowBytes = 4;
constexpr int32_t kMinPairBytes = 4;

}  // namespace

int32_t AndroidOperationQuery::Serialize(ByteArray& out) const {
    AppendHead(out);
    out.AppendInt32(static_cast<uint32_t>(mnQueryParam));
    out.AppendInt32(static_cast<uint32_t>(mProjection.size()));
    for (const std::string& column : mProjection) AppendWireText(out, column);
    AppendWireText(out, mstrSelection);
    AppendWireText(out, mstrQueryText);
    return out.AppendInt32Front(static_cast<uint32_t>(out.GetLength()));
}

std::unique_ptr<AndroidOperation> AndroidOperationQuery::Clone() const {
    return std::make_unique<AndroidOperationQuery>(*this);
}

bool AndroidOperationQuery::IsEncodable() const {
    if (!AndroidOperation::IsEncodable() || !FitsWireText(mstrSelection) ||
        !FitsWireText(mstrQueryText))
        return false;
    for (const std::string& column : mProjection)
        if (!FitsWireText(column)) return false;
    return true;
}

std::unique_ptr<AndroidOperationQuery> AndroidOperationQuery::ParseResult(ByteArray& body) {
    if (body.GetRemain() < 4) {
        QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
        return nullptr;
    }
    const int32_t rowCount = static_cast<int32_t>(body.ReadInt32());
    if (rowCount < 0 || rowCount > body.GetRemain() / kMinRowBytes) {
        QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
        return nullptr;
    }
    std::vector<Row> rows;
    rows.reserve(static_cast<size_t>(rowCount));
    for (int32_t r = 0; r < rowCount; ++r) {
        if (body.GetRemain() < 4) {
            QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
            return nullptr;
        }
        const int32_t columnCount = static_cast<int32_t>(body.ReadInt32());
        if (columnCount < 0 || columnCount > body.GetRemain() / kMinPairBytes) {
            QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
            return nullptr;
        }
        Row row;
        for (int32_t c = 0; c < columnCount; ++c) {
            std::string name, value;
            if (!ReadWireText(body, name) || !ReadWireText(body, value)) {
                QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
                return nullptr;
            }
            row.emplace(std::move(name), std::move(value));  // the first value of a name stays
        }
        rows.push_back(std::move(row));
    }
    auto result = std::make_unique<AndroidOperationQuery>();
    result->mnRowCount = rowCount;
    result->mRows = std::move(rows);
    return result;
}
