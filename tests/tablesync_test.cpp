#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/Log.h"
#include "support/table_query.h"
#include "tablesync/AndroidOperationProvider.h"
#include "tablesync/AndroidOperationQuery.h"
#include "transport/SyncMarker.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

const char kPlaylistsUri[] = "content://media/external/audio/playlists";

Bytes BytesOf(const ByteArray& buffer) {
    if (!buffer.GetData()) return {};
    return Bytes(buffer.GetData(), buffer.GetData() + buffer.GetLength());
}

void Put32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutText(Bytes& out, const std::string& text) {
    out.push_back(static_cast<uint8_t>(text.size() >> 8));
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

Bytes Marker() { return Bytes(SyncMarker, SyncMarker + SyncMarkerLength); }

// An answer body: marker, length of what follows, count, records.
Bytes Answer(int32_t count, const Bytes& records) {
    Bytes body = Marker();
    Put32(body, static_cast<uint32_t>(4 + records.size()));
    Put32(body, static_cast<uint32_t>(count));
    body.insert(body.end(), records.begin(), records.end());
    return body;
}

ByteArray Buffer(const Bytes& bytes) {
    ByteArray buffer;
    if (!bytes.empty()) buffer.AppendData(bytes.data(), static_cast<int32_t>(bytes.size()));
    return buffer;
}

// The record of one serialised operation, without its length word.
Bytes RecordOf(const AndroidOperation& operation) {
    ByteArray out;
    operation.Serialize(out);
    Bytes bytes = BytesOf(out);
    return Bytes(bytes.begin() + 4, bytes.end());
}

class QuietLog {
public:
    QuietLog() {
        qslog::SetCapture([this](qslog::Sink, const std::u16string& line) { lines.push_back(line); });
    }
    ~QuietLog() { qslog::SetCapture(nullptr); }
    std::vector<std::u16string> lines;
};

}  // namespace

TEST(ColumnSchemaTest, LooksUpByTableAndExactName) {
    AndroidOperation op;
    op.mstrTable = "PLAYLIST";
    EXPECT_EQ(op.GetColumnType("name"), 2);
    EXPECT_EQ(op.GetColumnType("date_modified"), 4);
    EXPECT_EQ(op.GetColumnType("_id"), 1);
    EXPECT_EQ(op.GetColumnType("NAME"), -1);
    op.mstrTable = "PLAYLIST_PART";
    EXPECT_EQ(op.GetColumnType("play_order"), 1);
    EXPECT_EQ(op.GetColumnType("name"), -1);
    op.mstrTable = "THREADS";
    EXPECT_EQ(op.GetColumnType("date"), 4);
    EXPECT_EQ(op.GetColumnType("has_attachment"), 1);
    op.mstrTable = "SMS";
    EXPECT_EQ(op.GetColumnType("cs_timestamp"), 4);
    EXPECT_EQ(op.GetColumnType("seen"), 1);
    op.mstrTable = "MMS";
    EXPECT_EQ(op.GetColumnType("seen"), 1);
    EXPECT_EQ(op.GetColumnType("retr_txt"), 2);
    op.mstrTable = "PART";
    EXPECT_EQ(op.GetColumnType("ExtraUri"), 2);
    EXPECT_EQ(op.GetColumnType("text"), 2);
    op.mstrTable = "ADDR";
    EXPECT_EQ(op.GetColumnType("charset"), 1);
    op.mstrTable = "playlist";
    EXPECT_EQ(op.GetColumnType("name"), -1);
    op.mstrTable = "";
    EXPECT_EQ(op.GetColumnType("_id"), -1);
}

TEST(TableRequestTest, FirstInsertOfTheProcessIsTheKnown106Bytes) {
    AndroidOperationProvider::SetSequenceForTesting(0);
    AndroidOperationProvider provider;
    const Strings columns = {"name"}, values = {"Rock"};
    EXPECT_EQ(provider.AddInsert("PLAYLIST", kPlaylistsUri, &columns, &values), 1);
    const auto body = provider.BuildRequestBody();
    Bytes expected = Marker();
    for (uint32_t word : {0x52u, 1u, 0x4au, 1u, 1u}) Put32(expected, word);
    PutText(expected, kPlaylistsUri);
    Put32(expected, 1);
    PutText(expected, "name");
    Put32(expected, 2);
    PutText(expected, "Rock");
    Put32(expected, 0);
    ASSERT_EQ(expected.size(), 106u);
    EXPECT_EQ(BytesOf(*body), expected);
    // Building leaves the queue as it was.
    EXPECT_EQ(BytesOf(*provider.BuildRequestBody()), expected);
}

TEST(TableRequestTest, MemberInsertRecordIsTheKnown131Bytes) {
    // The first member insert for playlist 5 and audio id 41, as the second
    // operation of the process.
    AndroidOperationProvider::SetSequenceForTesting(1);
    AndroidOperationProvider provider;
    const Strings columns = {"playlist_id", "audio_id", "play_order"}, values = {"5", "41", "1"};
    EXPECT_EQ(provider.AddInsert("PLAYLIST_PART", std::string(kPlaylistsUri) + "/5/members", &columns, &values), 2);
    ByteArray record;
    EXPECT_EQ(provider.mOperations[0]->Serialize(record), 131);
    Bytes expected;
    for (uint32_t word : {0x7fu, 2u, 1u}) Put32(expected, word);
    PutText(expected, std::string(kPlaylistsUri) + "/5/members");
    Put32(expected, 3);
    for (const char* column : {"playlist_id", "audio_id", "play_order"}) {
        PutText(expected, column);
        Put32(expected, 1);
    }
    for (uint32_t value : {5u, 41u, 1u, 0u}) Put32(expected, value);  // values, then the option flag
    ASSERT_EQ(expected.size(), 131u);
    EXPECT_EQ(BytesOf(record), expected);
}

TEST(TableRequestTest, SequenceNumbersRiseAcrossProviders) {
    int32_t first, second, third;
    {
        AndroidOperationProvider a;
        first = a.AddDelete("PLAYLIST", kPlaylistsUri, "_id=1");
        second = a.AddDelete("PLAYLIST", kPlaylistsUri, nullptr);
    }
    AndroidOperationProvider b;
    third = b.AddUpdate("PLAYLIST", kPlaylistsUri, nullptr, nullptr, nullptr);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(third, second + 1);
    EXPECT_EQ(b.mOperations[0]->mnId, third);
}

TEST(TableRequestTest, ValuesAreEncodedByColumnType) {
    AndroidOperationInsert insert;
    insert.mstrTable = "PLAYLIST";
    insert.mnId = 9;
    const Strings columns = {"_id", "bogus", "name", "date_modified"};
    const Strings values = {"12x", "ignored", "", "4294967297"};
    insert.mData.Assign(&columns, &values);
    Bytes expected;
    Put32(expected, 9);
    Put32(expected, 1);
    PutText(expected, "");
    Put32(expected, 4);
    PutText(expected, "_id");
    Put32(expected, 1);
    PutText(expected, "bogus");
    Put32(expected, 0xFFFFFFFFu);
    PutText(expected, "name");
    Put32(expected, 2);
    PutText(expected, "date_modified");
    Put32(expected, 4);
    Put32(expected, 12);            // "12x" read as atoi reads it
    PutText(expected, "");          // text; the unknown column has no value bytes
    Put32(expected, 1);             // 2^32 + 1 as a 64-bit value
    Put32(expected, 1);
    Put32(expected, 0);             // option flag
    EXPECT_EQ(RecordOf(insert), expected);

    AndroidOperationUpdate update;
    update.mstrTable = "PLAYLIST";
    const Strings numbers = {"_id", "date_modified"}, texts = {"abc", " -7"};
    update.mData.Assign(&numbers, &texts);
    Bytes tail = RecordOf(update);
    Bytes expectedTail;
    Put32(expectedTail, 0);                     // "abc" has no digits
    Put32(expectedTail, 0xFFFFFFFFu);           // -7 as 64 bits
    Put32(expectedTail, 0xFFFFFFF9u);
    PutText(expectedTail, "");                  // empty selection: 00 00
    ASSERT_GE(tail.size(), expectedTail.size());
    EXPECT_EQ(Bytes(tail.end() - expectedTail.size(), tail.end()), expectedTail);
}

TEST(TableRequestTest, ColumnsWithoutValuesQueueNoColumns) {
    AndroidOperationProvider provider;
    const Strings columns = {"name"};
    provider.AddInsert("PLAYLIST", kPlaylistsUri, &columns, nullptr);
    provider.AddInsert("PLAYLIST", kPlaylistsUri, nullptr, &columns);
    for (const auto& op : provider.mOperations) {
        const auto* insert = static_cast<const AndroidOperationInsert*>(op.get());
        EXPECT_EQ(insert->mData.mnCount, 0);
        Bytes record = RecordOf(*insert);
        Bytes tail(record.end() - 8, record.end());
        EXPECT_EQ(tail, (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));  // no columns, option 0
    }
}

TEST(TableRequestTest, DeleteQueryAndKind5Layouts) {
    AndroidOperationDelete remove;
    remove.mnId = 3;
    remove.mstrUri = "u";
    remove.mstrSelection = "_id=5";
    Bytes expected;
    Put32(expected, 3);
    Put32(expected, 2);
    PutText(expected, "u");
    PutText(expected, "_id=5");
    EXPECT_EQ(RecordOf(remove), expected);

    AndroidOperationKind5 five;
    five.mnId = 3;
    five.mstrUri = "u";
    five.mstrSelection = "_id=5";
    expected[7] = 5;
    EXPECT_EQ(RecordOf(five), expected);

    AndroidOperationQuery query;
    query.mnId = 4;
    query.mstrUri = "q";
    query.mnQueryParam = 7;
    query.mProjection = {"a", "bc"};
    query.mstrQueryText = "t";
    Bytes q;
    Put32(q, 4);
    Put32(q, 4);
    PutText(q, "q");
    Put32(q, 7);
    Put32(q, 2);
    PutText(q, "a");
    PutText(q, "bc");
    PutText(q, "");
    PutText(q, "t");
    EXPECT_EQ(RecordOf(query), q);

    // The length word counts the record after itself.
    ByteArray whole;
    EXPECT_EQ(query.Serialize(whole), static_cast<int32_t>(q.size() + 4));
    EXPECT_EQ(whole.ReadInt32(), q.size());
}

TEST(TableRequestTest, CloneCopiesEveryField) {
    AndroidOperationUpdate update;
    update.mstrTable = "PLAYLIST";
    update.mnId = 77;
    update.mstrUri = "x";
    update.mstrSelection = "_id=1";
    const Strings columns = {"name"}, values = {"A"};
    update.mData.Assign(&columns, &values);
    std::unique_ptr<AndroidOperation> copy = update.Clone();
    update.mData.mValues[0] = "changed";
    auto* typed = dynamic_cast<AndroidOperationUpdate*>(copy.get());
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->mData.mValues, Strings{"A"});
    EXPECT_EQ(typed->mstrSelection, "_id=1");
    EXPECT_EQ(typed->mnId, 77);
    EXPECT_EQ(RecordOf(*typed), [&] {
        update.mData.mValues[0] = "A";
        return RecordOf(update);
    }());
}

TEST(TableRequestTest, EmptyProviderStillBuildsABody) {
    AndroidOperationProvider provider;
    Bytes expected = Marker();
    Put32(expected, 4);
    Put32(expected, 0);
    EXPECT_EQ(BytesOf(*provider.BuildRequestBody()), expected);
}

TEST(TableRequestTest, LongTextsAreRefusedBeforeAnythingIsSent) {
    QuietLog log;
    AndroidOperationProvider provider;
    const Strings columns = {"name"}, values = {std::string(65536, 'n')};
    provider.AddInsert("PLAYLIST", kPlaylistsUri, &columns, &values);
    // Port 1 on loopback: a request would fail with -1, so -6 shows that
    // nothing was tried.
    EXPECT_EQ(provider.DoTableSync(LoopbackPhone(1)), -6);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(u".\\AndroidOperationProvider.cpp("), std::u16string::npos);
    EXPECT_NE(log.lines[0].find(u"Function = AndroidOperationProvider::DoTableSync GetLastError"),
              std::u16string::npos);

    AndroidOperationProvider selection;
    selection.AddDelete("PLAYLIST", kPlaylistsUri, std::string(70000, 's').c_str());
    EXPECT_EQ(selection.DoTableSync(LoopbackPhone(1)), -6);

    // A long value in a column the schema lacks sends no value bytes at all,
    // so it does not make the operation unencodable.
    AndroidOperationInsert unknown;
    unknown.mstrTable = "PLAYLIST";
    const Strings other = {"bogus"};
    unknown.mData.Assign(&other, &values);
    EXPECT_TRUE(unknown.IsEncodable());
    unknown.mstrUri = std::string(65535, 'u');
    EXPECT_TRUE(unknown.IsEncodable());
    unknown.mstrUri.push_back('u');
    EXPECT_FALSE(unknown.IsEncodable());
}

TEST(TableResponseTest, KnownInsertAnswer) {
    Bytes records;
    for (uint32_t word : {0x0fu, 1u, 1u, 1u}) Put32(records, word);
    PutText(records, "5");
    const Bytes body = Answer(1, records);
    ASSERT_EQ(body.size(), 47u);
    ByteArray buffer = Buffer(body);
    AndroidOperationProvider provider;
    ASSERT_EQ(provider.ParseResponse(buffer), 0);
    ASSERT_EQ(provider.mResults.size(), 1u);
    const AndroidOperation& result = *provider.mResults[0];
    EXPECT_NE(dynamic_cast<const AndroidOperationInsert*>(&result), nullptr);
    EXPECT_EQ(result.mnId, 1);
    EXPECT_EQ(result.mnKind, 1);
    EXPECT_EQ(result.mnResult, 1);
    EXPECT_EQ(result.mstrResult, "5");
    EXPECT_EQ(result.mstrUri, "");
    EXPECT_EQ(result.mstrTable, "");
}

// A record is read within its length: what a failed record carries beyond
// its three words (a phone's error text, say) is skipped, not taken for the
// next record.
TEST(TableResponseTest, FailedRecordIsPlainAndTheNextFollowsIt) {
    Bytes records;
    for (uint32_t word : {12u + 9u, 7u, 2u, 0u}) Put32(records, word);
    PutText(records, "refused");
    for (uint32_t word : {0x0fu, 8u, 3u, 1u}) Put32(records, word);
    PutText(records, "2");
    for (uint32_t word : {0x0fu, 9u, 5u, 1u}) Put32(records, word);
    PutText(records, "k");
    ByteArray buffer = Buffer(Answer(3, records));
    AndroidOperationProvider provider;
    ASSERT_EQ(provider.ParseResponse(buffer), 0);
    ASSERT_EQ(provider.mResults.size(), 3u);
    const AndroidOperation& failed = *provider.mResults[0];
    EXPECT_EQ(typeid(failed), typeid(AndroidOperation));
    EXPECT_EQ(failed.mnId, 7);
    EXPECT_EQ(failed.mnKind, 2);
    EXPECT_EQ(failed.mnResult, 0);
    EXPECT_EQ(failed.mstrResult, "");
    EXPECT_NE(dynamic_cast<const AndroidOperationUpdate*>(provider.mResults[1].get()), nullptr);
    EXPECT_EQ(provider.mResults[1]->mstrResult, "2");
    EXPECT_NE(dynamic_cast<const AndroidOperationKind5*>(provider.mResults[2].get()), nullptr);
}

TEST(TableResponseTest, EnvelopeFailures) {
    QuietLog log;
    auto parse = [](const Bytes& body, size_t* results = nullptr) {
        ByteArray buffer = Buffer(body);
        AndroidOperationProvider provider;
        const int32_t result = provider.ParseResponse(buffer);
        if (results) *results = provider.mResults.size();
        return result;
    };
    EXPECT_EQ(parse(Bytes(10, 'x')), -2);
    EXPECT_EQ(parse(Bytes{}), -2);
    Bytes wrong = Marker();
    wrong[1] = 'h';
    Put32(wrong, 4);
    Put32(wrong, 0);
    EXPECT_EQ(parse(wrong), -5);
    EXPECT_EQ(parse(Marker()), -3);
    Bytes shortLength = Marker();
    shortLength.resize(shortLength.size() + 3);  // three zero bytes of a four-byte length
    EXPECT_EQ(parse(shortLength), -3);

    Bytes empty = Marker();
    Put32(empty, 0);
    Put32(empty, 0);
    EXPECT_EQ(parse(empty), 0);

    Bytes tooLong = Marker();
    Put32(tooLong, 9);  // only 4 bytes follow
    Put32(tooLong, 0);
    EXPECT_EQ(parse(tooLong), -4);

    Bytes noCount = Marker();
    Put32(noCount, 0);
    EXPECT_EQ(parse(noCount), -4);

    // A count no body of this size could hold fails before any record.
    Bytes hugeCount = Marker();
    Put32(hugeCount, 4);
    Put32(hugeCount, 0x7FFFFFFF);
    EXPECT_EQ(parse(hugeCount), -4);
    Bytes negativeCount = Marker();
    Put32(negativeCount, 4);
    Put32(negativeCount, 0xFFFFFFFF);
    EXPECT_EQ(parse(negativeCount), -4);

    // Kind 6 with success fails the sync; the result before it is kept.
    Bytes records;
    for (uint32_t word : {12u, 1u, 2u, 0u}) Put32(records, word);
    for (uint32_t word : {0x0fu, 2u, 6u, 1u}) Put32(records, word);
    PutText(records, "x");
    size_t kept = 0;
    EXPECT_EQ(parse(Answer(2, records), &kept), -4);
    EXPECT_EQ(kept, 1u);

    // A record length beyond the body fails that record, and so does one
    // shorter than the fields it holds.
    Bytes bad;
    for (uint32_t word : {100u, 1u, 2u, 0u}) Put32(bad, word);
    EXPECT_EQ(parse(Answer(1, bad)), -4);
    for (uint32_t length : {0u, 12u, 14u, 0xFFFFFFFFu}) {
        Bytes overrun;
        for (uint32_t word : {length, 1u, 3u, 1u}) Put32(overrun, word);
        PutText(overrun, "2");
        for (uint32_t word : {12u, 2u, 2u, 0u}) Put32(overrun, word);
        EXPECT_EQ(parse(Answer(2, overrun), &kept), -4) << length;
        EXPECT_EQ(kept, 0u) << length;
    }
}

TEST(TableResponseTest, TruncatedAnswersNeverReadPastTheirEnd) {
    QuietLog log;
    Bytes records;
    for (uint32_t word : {0x0fu, 1u, 1u, 1u}) Put32(records, word);
    PutText(records, "5");
    for (uint32_t word : {12u, 2u, 2u, 0u}) Put32(records, word);
    for (uint32_t word : {40u, 3u, 4u, 1u}) Put32(records, word);
    Put32(records, 1);  // one row
    Put32(records, 2);  // two columns
    PutText(records, "_id");
    PutText(records, "3");
    PutText(records, "name");
    PutText(records, "Jazz");
    const Bytes full = Answer(3, records);
    for (size_t cut = 0; cut < full.size(); ++cut) {
        // Each cut is copied into a buffer of its own size, so the sanitizers
        // see any read past it.
        ByteArray buffer = Buffer(Bytes(full.begin(), full.begin() + cut));
        AndroidOperationProvider provider;
        EXPECT_LT(provider.ParseResponse(buffer), 0) << "cut at " << cut;
    }
    ByteArray whole = Buffer(full);
    AndroidOperationProvider provider;
    ASSERT_EQ(provider.ParseResponse(whole), 0);
    ASSERT_EQ(provider.mResults.size(), 3u);
    const auto* query = dynamic_cast<const AndroidOperationQuery*>(provider.mResults[2].get());
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(query->mnRowCount, 1);
    ASSERT_EQ(query->mRows.size(), 1u);
    EXPECT_EQ(query->mRows[0].at("name"), "Jazz");
}

TEST(QueryResultTest, Rows) {
    QuietLog log;
    auto parse = [](const Bytes& part) {
        ByteArray buffer = Buffer(part);
        ByteReader in = buffer.Reader();
        return AndroidOperationQuery::ParseResult(in);
    };
    Bytes none;
    Put32(none, 0);
    auto empty = parse(none);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->mnRowCount, 0);
    EXPECT_TRUE(empty->mRows.empty());

    Bytes rows;
    Put32(rows, 2);
    Put32(rows, 0);  // an empty row
    Put32(rows, 3);
    PutText(rows, "name");
    PutText(rows, "first");
    PutText(rows, "name");
    PutText(rows, "second");
    PutText(rows, "_id");
    PutText(rows, "4");
    auto parsed = parse(rows);
    ASSERT_NE(parsed, nullptr);
    ASSERT_EQ(parsed->mRows.size(), 2u);
    EXPECT_TRUE(parsed->mRows[0].empty());
    EXPECT_EQ(parsed->mRows[1].size(), 2u);
    EXPECT_EQ(parsed->mRows[1].at("name"), "first");
    EXPECT_EQ(parsed->mRows[1].begin()->first, "_id");  // byte order of names
    auto copy = parsed->Clone();
    EXPECT_EQ(static_cast<AndroidOperationQuery&>(*copy).mRows, parsed->mRows);

    Bytes cutAfterOneRow;
    Put32(cutAfterOneRow, 2);
    Put32(cutAfterOneRow, 1);
    PutText(cutAfterOneRow, "a");
    PutText(cutAfterOneRow, "b");
    EXPECT_EQ(parse(cutAfterOneRow), nullptr);

    Bytes hugeColumns;
    Put32(hugeColumns, 1);
    Put32(hugeColumns, 0x10000000);
    EXPECT_EQ(parse(hugeColumns), nullptr);
    EXPECT_FALSE(log.lines.empty());
    EXPECT_NE(log.lines.back().find(u"Function = AndroidOperationQuery::ParseResult"),
              std::u16string::npos);
}
