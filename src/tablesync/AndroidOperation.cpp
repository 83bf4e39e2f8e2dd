#include "tablesync/AndroidOperation.h"

#include <cctype>
#include <cstring>
#include <limits>

#include "log/Log.h"

namespace {

struct ColumnSchema {
    const char* name;
    int32_t type;
};

struct TableSchema {
    const char* table;
    const ColumnSchema* columns;
    size_t count;
};

constexpr ColumnSchema kSms[] = {
    {"_id", 1}, {"thread_id", 1}, {"toa", 1}, {"address", 2}, {"person", 1}, {"date", 4},
    {"protocol", 1}, {"read", 1}, {"status", 1}, {"type", 1}, {"reply_path_present", 1},
    {"subject", 2}, {"body", 2}, {"sc_toa", 1}, {"report_date", 1}, {"service_center", 2},
    {"locked", 1}, {"index_on_sim", 1}, {"callback_number", 2}, {"priority", 1},
    {"zelt_category", 1}, {"cs_timestamp", 4}, {"cs_id", 2}, {"cs_synced", 1},
    {"error_code", 1}, {"seen", 1}};
constexpr ColumnSchema kPlaylist[] = {{"_id", 1}, {"name", 2}, {"date_modified", 4}};
constexpr ColumnSchema kPlaylistPart[] = {
    {"_id", 1}, {"audio_id", 1}, {"playlist_id", 1}, {"play_order", 1}};
constexpr ColumnSchema kMms[] = {
    {"_id", 1}, {"thread_id", 1}, {"date", 4}, {"msg_box", 1}, {"read", 1}, {"m_id", 2},
    {"sub", 2}, {"sub_cs", 1}, {"ct_t", 2}, {"ct_l", 2}, {"exp", 1}, {"m_cls", 2},
    {"m_type", 1}, {"v", 1}, {"m_size", 1}, {"pri", 1}, {"rr", 1}, {"rpt_a", 1},
    {"resp_st", 1}, {"st", 1}, {"tr_id", 2}, {"retr_st", 1}, {"retr_txt", 2},
    {"retr_txt_cs", 1}, {"read_status", 1}, {"ct_cls", 1}, {"resp_txt", 2}, {"d_tm", 1},
    {"d_rpt", 1}, {"locked", 1}, {"zelt_category", 1}, {"cs_timestamp", 4}, {"cs_id", 2},
    {"cs_synced", 1}, {"seen", 1}};
constexpr ColumnSchema kPart[] = {
    {"_id", 1}, {"mid", 1}, {"seq", 1}, {"ct", 2}, {"name", 2}, {"chset", 1},
    {"cd", 2}, {"fn", 2}, {"cid", 2}, {"cl", 2}, {"ctt_s", 1}, {"ctt_t", 2},
    {"ExtraUri", 2}, {"vCALs", 1}, {"vCALe", 1}, {"_data", 2}, {"text", 2}};
constexpr ColumnSchema kAddr[] = {{"_id", 1}, {"msg_id", 1}, {"contact_id", 1},
                                  {"address", 2}, {"type", 1}, {"charset", 1}};
constexpr ColumnSchema kThreads[] = {
    {"_id", 1}, {"date", 4}, {"message_count", 1}, {"recipient_ids", 2},
    {"recipient_address", 2}, {"snippet", 2}, {"snippet_cs", 1}, {"read", 1},
    {"unread_count", 1}, {"body", 2}, {"name", 2}, {"priority", 1}, {"type", 1},
    {"error", 1}, {"has_attachment", 1}};

template <size_t N>
constexpr TableSchema Table(const char* name, const ColumnSchema (&columns)[N]) {
    return {name, columns, N};
}

// Looked up in this order; the first equal table name wins.
constexpr TableSchema kSchema[] = {
    Table("SMS", kSms),   Table("PLAYLIST", kPlaylist), Table("PLAYLIST_PART", kPlaylistPart),
    Table("MMS", kMms),   Table("PART", kPart),         Table("ADDR", kAddr),
    Table("THREADS", kThreads)};

// The leading decimal number of a text, read as the C runtime's atoi and
// _atoi64 read it (blanks, optional sign, digits), clamped to the range.
int64_t LeadingNumber(const std::string& text, int64_t min, int64_t max) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > limit) {
            magnitude = limit;
            break;
        }
    }
    if (!negative) return static_cast<int64_t>(magnitude);
    return magnitude == limit ? min : -static_cast<int64_t>(magnitude);
}

void AppendValue(ByteArray& out, int32_t type, const std::string& value) {
    switch (type) {
        case kColumnInt32:
            out.AppendInt32(static_cast<uint32_t>(static_cast<int32_t>(LeadingNumber(
                value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()))));
            break;
        case kColumnText:
            out.AppendInt16(static_cast<uint16_t>(value.size()));
            if (!value.empty()) out.AppendData(value.data(), static_cast<int32_t>(value.size()));
            break;
        case kColumnBlock:
            out.AppendBlock(value.data(), static_cast<int32_t>(value.size()));
            break;
        case kColumnInt64:
            out.AppendInt64(static_cast<uint64_t>(LeadingNumber(
                value, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max())));
            break;
        default:
            break;  // a column the schema lacks: no value bytes
    }
}

template <typename T>
std::unique_ptr<AndroidOperation> CloneOf(const T& self) {
    return std::make_unique<T>(self);
}

}  // namespace

void AppendWireText(ByteArray& out, const std::string& text) { AppendValue(out, kColumnText, text); }

bool ReadWireText(ByteReader& in, std::string& out) { return in.String(out); }

void AndroidOperation::AppendHead(ByteArray& out) const {
    out.AppendInt32(static_cast<uint32_t>(mnId));
    out.AppendInt32(static_cast<uint32_t>(mnKind));
    AppendWireText(out, mstrUri);
}

int32_t AndroidOperation::Serialize(ByteArray& out) const {
    AppendHead(out);
    return out.AppendInt32Front(static_cast<uint32_t>(out.GetLength()));
}

std::unique_ptr<AndroidOperation> AndroidOperation::Clone() const { return CloneOf(*this); }

bool AndroidOperation::IsEncodable() const { return FitsWireText(mstrUri); }

int32_t AndroidOperation::GetColumnType(const std::string& column) const {
    for (const TableSchema& table : kSchema) {
        if (mstrTable != table.table) continue;
        for (size_t i = 0; i < table.count; ++i)
            if (column == table.columns[i].name) return table.columns[i].type;
        return kColumnUnknown;
    }
    return kColumnUnknown;
}

void ColumnValues::Assign(const std::vector<std::string>* columns,
                          const std::vector<std::string>* values) {
    if (columns && values) {
        mColumns = *columns;
        mValues = *values;
        mnCount = static_cast<int32_t>(mColumns.size());
    } else {
        mColumns.clear();
        mValues.clear();
        mnCount = 0;
    }
}

bool ColumnValues::IsEncodable(const AndroidOperation& owner) const {
    if (mColumns.size() != mValues.size() || mColumns.size() != static_cast<size_t>(mnCount))
        return false;
    for (size_t i = 0; i < mColumns.size(); ++i) {
        if (!FitsWireText(mColumns[i])) return false;
        if (owner.GetColumnType(mColumns[i]) == kColumnText && !FitsWireText(mValues[i]))
            return false;
    }
    return true;
}

void ColumnValues::Append(const AndroidOperation& owner, ByteArray& out) const {
    out.AppendInt32(static_cast<uint32_t>(mnCount));
    for (const std::string& column : mColumns) {
        AppendWireText(out, column);
        out.AppendInt32(static_cast<uint32_t>(owner.GetColumnType(column)));
    }
    for (size_t i = 0; i < mColumns.size() && i < mValues.size(); ++i)
        AppendValue(out, owner.GetColumnType(mColumns[i]), mValues[i]);
}

int32_t AndroidOperationInsert::Serialize(ByteArray& out) const {
    AppendHead(out);
    mData.Append(*this, out);
    out.AppendInt32(static_cast<uint32_t>(mnOption));
    if (mnOption == 1) {
        out.AppendInt32(static_cast<uint32_t>(mnOptionValue));
        AppendWireText(out, mstrOptionText);
    }
    return out.AppendInt32Front(static_cast<uint32_t>(out.GetLength()));
}

std::unique_ptr<AndroidOperation> AndroidOperationInsert::Clone() const { return CloneOf(*this); }

bool AndroidOperationInsert::IsEncodable() const {
    return AndroidOperation::IsEncodable() && mData.IsEncodable(*this) &&
           FitsWireText(mstrOptionText);
}

int32_t AndroidOperationDelete::Serialize(ByteArray& out) const {
    AppendHead(out);
    AppendWireText(out, mstrSelection);
    return out.AppendInt32Front(static_cast<uint32_t>(out.GetLength()));
}

std::unique_ptr<AndroidOperation> AndroidOperationDelete::Clone() const { return CloneOf(*this); }

bool AndroidOperationDelete::IsEncodable() const {
    return AndroidOperation::IsEncodable() && FitsWireText(mstrSelection);
}

int32_t AndroidOperationUpdate::Serialize(ByteArray& out) const {
    AppendHead(out);
    mData.Append(*this, out);
    AppendWireText(out, mstrSelection);
    return out.AppendInt32Front(static_cast<uint32_t>(out.GetLength()));
}

std::unique_ptr<AndroidOperation> AndroidOperationUpdate::Clone() const { return CloneOf(*this); }

bool AndroidOperationUpdate::IsEncodable() const {
    return AndroidOperation::IsEncodable() && mData.IsEncodable(*this) &&
           FitsWireText(mstrSelection);
}

int32_t AndroidOperationKind5::Serialize(ByteArray& out) const {
    AppendHead(out);
    AppendWireText(out, mstrSelection);
    return out.AppendInt32Front(static_cast<uint32_t>(out.GetLength()));
}

std::unique_ptr<AndroidOperation> AndroidOperationKind5::Clone() const { return CloneOf(*this); }

bool AndroidOperationKind5::IsEncodable() const {
    return AndroidOperation::IsEncodable() && FitsWireText(mstrSelection);
}
