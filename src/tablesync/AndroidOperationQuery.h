// A query operation (kind 4) and, after a sync, its result rows.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tablesync/AndroidOperation.h"

class AndroidOperationQuery : public AndroidOperation {
public:
    // One row: column name -> value text, names unique, in byte order.
    using Row = std::map<std::string, std::string>;

    AndroidOperationQuery() { mnKind = kKindQuery; }
    int32_t Serialize(ByteArray& out) const override;
    std::unique_ptr<AndroidOperation> Clone() const override;
    bool IsEncodable() const override;

    // Reads the rows of a successful query record (the reader positioned
    // after its result code) and returns the result object, or null (logged)
    // when the rows cannot be parsed. Counts are checked against the bytes
    // left before anything is allocated for them.
    static std::unique_ptr<AndroidOperationQuery> ParseResult(ByteReader& in);

    int32_t mnQueryParam = 0;
    std::vector<std::string> mProjection;
    std::string mstrSelection;
    std::string mstrQueryText;

    int32_t mnRowCount = 0;
    std::vector<Row> mRows;
};
