// One table operation of a "/tablesync" request, and after a sync one result.
//
// A request record is: int32 L (bytes that follow), int32 sequence number,
// int32 kind, text URI, then the kind's own part. Values are held as text and
// encoded on the wire by the column's type code from the fixed schema.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/ByteArray.h"

// Column type codes of the schema.
enum ColumnType : int32_t {
    kColumnInt32 = 1,
    kColumnText = 2,
    kColumnBlock = 3,
    kColumnInt64 = 4,
    kColumnUnknown = -1,
};

// The operation kinds on the wire.
enum OperationKind : int32_t {
    kKindInsert = 1,
    kKindDelete = 2,
    kKindUpdate = 3,
    kKindQuery = 4,
    kKindFive = 5,
};

// The longest text a 16-bit count can carry.
constexpr size_t kMaxWireText = 0xFFFF;

class AndroidOperation {
public:
    AndroidOperation() = default;
    virtual ~AndroidOperation() = default;

    // Writes the request record into the (empty) buffer and returns its
    // length. The base writes the common head only.
    virtual int32_t Serialize(ByteArray& out) const;
    virtual std::unique_ptr<AndroidOperation> Clone() const;
    // False when the record cannot be encoded faithfully: a text of 65,536
    // bytes or more, or columns and values of different counts.
    virtual bool IsEncodable() const;

    // Type code of column in the table named by mstrTable; -1 when the table
    // or the column is not in the schema.
    int32_t GetColumnType(const std::string& column) const;

    std::string mstrTable;
    int32_t mnId = 0;
    int32_t mnKind = 0;
    std::string mstrUri;
    int32_t mnResult = 0;
    std::string mstrResult;

protected:
    void AppendHead(ByteArray& out) const;
};

// Columns with one text value each, shared by inserts and updates.
struct ColumnValues {
    int32_t mnCount = 0;
    std::vector<std::string> mColumns;
    std::vector<std::string> mValues;

    // Both lists given: copied; otherwise no columns at all.
    void Assign(const std::vector<std::string>* columns, const std::vector<std::string>* values);
    bool IsEncodable(const AndroidOperation& owner) const;
    // Count, names with type codes, then the values encoded by type code.
    void Append(const AndroidOperation& owner, ByteArray& out) const;
};

class AndroidOperationInsert : public AndroidOperation {
public:
    AndroidOperationInsert() { mnKind = kKindInsert; }
    int32_t Serialize(ByteArray& out) const override;
    std::unique_ptr<AndroidOperation> Clone() const override;
    bool IsEncodable() const override;

    ColumnValues mData;
    int32_t mnOption = 0;
    int32_t mnOptionValue = 0;
    std::string mstrOptionText;
};

class AndroidOperationDelete : public AndroidOperation {
public:
    AndroidOperationDelete() { mnKind = kKindDelete; }
    int32_t Serialize(ByteArray& out) const override;
    std::unique_ptr<AndroidOperation> Clone() const override;
    bool IsEncodable() const override;

    std::string mstrSelection;
};

class AndroidOperationUpdate : public AndroidOperation {
public:
    AndroidOperationUpdate() { mnKind = kKindUpdate; }
    int32_t Serialize(ByteArray& out) const override;
    std::unique_ptr<AndroidOperation> Clone() const override;
    bool IsEncodable() const override;

    ColumnValues mData;
    std::string mstrSelection;
};

// Laid out as a delete; nothing in this library queues it, but its results
// are accepted.
class AndroidOperationKind5 : public AndroidOperation {
public:
    AndroidOperationKind5() { mnKind = kKindFive; }
    int32_t Serialize(ByteArray& out) const override;
    std::unique_ptr<AndroidOperation> Clone() const override;
    bool IsEncodable() const override;

    std::string mstrSelection;
};

// True when text fits a 16-bit count.
inline bool FitsWireText(const std::string& text) { return text.size() <= kMaxWireText; }

// Appends a text: 16-bit count and the bytes. The length comes from the
// string, not from a terminator; callers check FitsWireText first.
void AppendWireText(ByteArray& out, const std::string& text);
// Reads one text, failing (false, nothing consumed) when the body ends
// inside it.
bool ReadWireText(ByteReader& in, std::string& out);
