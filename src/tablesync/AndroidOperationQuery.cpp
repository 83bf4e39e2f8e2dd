#include "tablesync/AndroidOperationQuery.h"

#include "log/Log.h"

namespace {

// The smallest row is its column count; the smallest pair is two empty texts.
constexpr size_t kMinRowBytes = 4;
constexpr size_t kMinPairBytes = 4;

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

std::unique_ptr<AndroidOperationQuery> AndroidOperationQuery::ParseResult(ByteReader& in) {
    uint32_t rowCount = 0;
    if (!in.Int32(rowCount) || rowCount > in.Remain() / kMinRowBytes) {
        QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
        return nullptr;
    }
    std::vector<Row> rows;
    rows.reserve(rowCount);
    for (uint32_t r = 0; r < rowCount; ++r) {
        uint32_t columnCount = 0;
        if (!in.Int32(columnCount) || columnCount > in.Remain() / kMinPairBytes) {
            QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
            return nullptr;
        }
        Row row;
        for (uint32_t c = 0; c < columnCount; ++c) {
            std::string name, value;
            if (!ReadWireText(in, name) || !ReadWireText(in, value)) {
                QS_LOG_TABLE("AndroidOperationQuery::ParseResult");
                return nullptr;
            }
            row.emplace(std::move(name), std::move(value));  // the first value of a name stays
        }
        rows.push_back(std::move(row));
    }
    auto result = std::make_unique<AndroidOperationQuery>();
    result->mnRowCount = static_cast<int32_t>(rowCount);
    result->mRows = std::move(rows);
    return result;
}
