#include "journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using qsync::Journal;
using qsync::JournalEntry;
using qsync::JournalError;
using qsync::JournalMatch;
using qsync::JournalOpenOptions;
using qsync::PathStyle;

namespace {

std::string Utf8(const fs::path& path) { return path.u8string(); }

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string Describe(const std::vector<JournalEntry>& entries) {
    std::string out;
    for (const auto& e : entries) {
        std::string pc, phone;
        for (const char c : e.pc) pc += std::to_string(static_cast<unsigned char>(c)) + ".";
        for (const char c : e.phone) phone += std::to_string(static_cast<unsigned char>(c)) + ".";
        out += pc + " " + phone + " " + std::to_string(e.size) + " " + std::to_string(e.mtimeNs) + "\n";
    }
    return out;
}

// The expected journal contents, sorted as Journal::Entries() sorts them.
std::vector<JournalEntry> Sorted(std::vector<JournalEntry> entries) {
    std::sort(entries.begin(), entries.end(), [](const JournalEntry& a, const JournalEntry& b) {
        return a.pc != b.pc ? a.pc < b.pc : a.phone < b.phone;
    });
    return entries;
}

std::vector<JournalEntry> Reload(const std::string& path) { return Journal::Open(path)->Entries(); }

JournalError::Kind OpenFailure(const std::string& path, const JournalOpenOptions& options = {}) {
    try {
        Journal::Open(path, options);
    } catch (const JournalError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        return e.kind();
    }
    ADD_FAILURE() << "opened " << path;
    return JournalError::Kind::kIo;
}

// Names with every byte but NUL in every position, and random runs of the
// bytes that an escaping gets wrong: blanks, line ends, backslashes, "\x",
// DEL, bytes that are not UTF-8.
std::vector<std::string> HostileNames() {
    std::vector<std::string> names = {"", "\\", "\\x", "\\x4", "\\\\x41", " ", "\n", "\t", "+\t1\t2\ta\tb\t00000000", "-\ta\tb"};
    for (int byte = 1; byte < 256; ++byte) {
        names.push_back(std::string(1, static_cast<char>(byte)));
        names.push_back("/music/a" + std::string(1, static_cast<char>(byte)) + "b.mp3");
    }
    const std::string pool = std::string("\n\r\t \\x/:.%+-09aZ\x7f\x80\xbf\xc3\xa9\xed\xa0\x80\xff", 22);
    std::mt19937 random(12345);
    for (int i = 0; i < 400; ++i) {
        std::string name;
        const size_t length = random() % 40;
        for (size_t k = 0; k < length; ++k)
            name.push_back(random() % 4 ? pool[random() % pool.size()] : static_cast<char>(1 + random() % 255));
        names.push_back(name);
    }
    std::vector<std::string> unique;
    std::set<std::string> seen;
    for (const auto& name : names)
        if (seen.insert(name).second) unique.push_back(name);
    return unique;
}

}  // namespace

// Every name survives writing and loading, as appended records and after a
// rewrite, and every line of the file stays one line of printable text.
TEST(Journal, HostileNamesRoundTrip) {
    ScratchDir dir;
    const std::string path = Utf8(dir.path() / "j.journal");
    const std::vector<std::string> names = HostileNames();
    const int64_t mtimes[] = {0, -1, INT64_MIN, INT64_MAX, 1733731200123456789};
    const uint64_t sizes[] = {0, 1, UINT64_MAX, 20480};
    std::vector<JournalEntry> expected;
    {
        const auto journal = Journal::Open(path);
        for (size_t i = 0; i < names.size(); ++i) {
            const JournalEntry entry{names[i], names[names.size() - 1 - i], sizes[i % 4], mtimes[i % 5]};
            ASSERT_TRUE(journal->Put(entry)) << journal->error();
            // Every third one is dropped again, the keys differing in one field only.
            if (i % 3 == 0) {
                ASSERT_TRUE(journal->Put({entry.pc, entry.phone + "x", 1, 2}));
                ASSERT_TRUE(journal->Remove(entry.pc, entry.phone + "x"));
            }
            expected.push_back(entry);
        }
        // The same pair again replaces the entry.
        expected[7].size = 77;
        ASSERT_TRUE(journal->Put(expected[7]));
        ASSERT_TRUE(journal->Finish()) << journal->error();
        expected = Sorted(expected);
        expected.erase(std::unique(expected.begin(), expected.end(),
                                   [](const JournalEntry& a, const JournalEntry& b) {
                                       return a.pc == b.pc && a.phone == b.phone;
                                   }),
                       expected.end());
        EXPECT_EQ(Describe(journal->Entries()), Describe(expected));
    }
    EXPECT_EQ(Describe(Reload(path)), Describe(expected));
    const std::string text = ReadWholeFile(dir.path() / "j.journal");
    for (const char c : text) ASSERT_TRUE(c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 0x20);
    {
        const auto journal = Journal::Open(path);
        ASSERT_TRUE(journal->Compact()) << journal->error();
    }
    EXPECT_LT(ReadWholeFile(dir.path() / "j.journal").size(), text.size());
    EXPECT_EQ(Describe(Reload(path)), Describe(expected));
}

// A last record cut at any byte (a power cut in the middle of a write) is
// dropped and cut off the file, and the next record after it is whole; a
// record damaged in any byte costs that record alone. The header, torn or
// foreign, is handled without touching a file that is not a journal.
TEST(Journal, TornAndDamagedRecords) {
    ScratchDir dir;
    const std::string path = Utf8(dir.path() / "j.journal");
    const std::vector<JournalEntry> entries = {
        {"/pc/one", "/sdcard/Music/pc/one", 1, 10}, {"/pc/t\two\n", "/p/2", 2, 20}, {"/pc/3\t \\x", "/p/3", 3, 30}};
    {
        const auto journal = Journal::Open(path);
        for (const auto& e : entries) ASSERT_TRUE(journal->Put(e));
        ASSERT_TRUE(journal->Finish());
    }
    const std::string whole = ReadWholeFile(dir.path() / "j.journal");
    const size_t lastStart = whole.rfind('\n', whole.size() - 2) + 1;
    const size_t middleStart = whole.rfind('\n', lastStart - 2) + 1;
    const JournalEntry added{"/pc/added", "/p/added", 4, 40};
    for (size_t cut = lastStart; cut < whole.size(); ++cut) {
        WriteFile(dir.path() / "j.journal", whole.substr(0, cut));
        {
            const auto journal = Journal::Open(path);
            ASSERT_EQ(Describe(journal->Entries()), Describe(Sorted({entries[0], entries[1]}))) << "cut at " << cut;
            ASSERT_EQ(fs::file_size(dir.path() / "j.journal"), lastStart);
            ASSERT_TRUE(journal->Put(added));
        }
        ASSERT_EQ(Describe(Reload(path)), Describe(Sorted({entries[0], entries[1], added}))) << "cut at " << cut;
    }
    for (size_t at = middleStart; at + 1 < lastStart; ++at) {
        for (const char flip : {'\x01', '\x20'}) {
            std::string damaged = whole;
            damaged[at] = static_cast<char>(damaged[at] ^ flip);
            WriteFile(dir.path() / "j.journal", damaged);
            ASSERT_EQ(Describe(Reload(path)), Describe(Sorted({entries[0], entries[2]}))) << "damaged at " << at;
        }
    }
    // A header torn while the journal was made: a new, empty journal.
    WriteFile(dir.path() / "j.journal", "qsync-jou");
    EXPECT_EQ(Reload(path).size(), 0u);
    EXPECT_EQ(ReadWholeFile(dir.path() / "j.journal"), "qsync-journal 1\n");
    // Someone else's file, or a newer format: refused and left as it was.
    for (const std::string& foreign : {std::string("my notes\n+ 1 2 a b 0\n"), std::string("qsync-journal 2\n"),
                                      std::string("qsync-journal 1 "), std::string("\xff\xfe\x00", 3)}) {
        WriteFile(dir.path() / "j.journal", foreign);
        EXPECT_EQ(OpenFailure(path), JournalError::Kind::kNotAJournal);
        EXPECT_EQ(ReadWholeFile(dir.path() / "j.journal"), foreign);
    }
}

// Rewrites: when the temporary file cannot be made the journal stays whole
// and usable; Finish rewrites a file of mostly dead records; a journal
// that cannot be created fails with a message naming it.
TEST(Journal, RewriteAndFailures) {
    ScratchDir dir;
    const std::string path = Utf8(dir.path() / "j.journal");
    {
        const auto journal = Journal::Open(path);
        for (uint64_t i = 0; i < 2 * Journal::kCompactSlack; ++i) ASSERT_TRUE(journal->Put({"/pc/a", "/p/a", i, 1}));
        ASSERT_TRUE(journal->Put({"/pc/b", "/p/b", 5, 6}));
        // A folder where the temporary file goes: the rewrite cannot happen.
        fs::create_directories(dir.path() / "j.journal.tmp" / "in-the-way");
        EXPECT_FALSE(journal->Compact());
        EXPECT_NE(journal->error().find("j.journal"), std::string::npos) << journal->error();
        EXPECT_TRUE(journal->Put({"/pc/c", "/p/c", 7, 8})) << journal->error();
        EXPECT_FALSE(journal->Finish());  // still in the way, but the file is synced
        EXPECT_TRUE(journal->Put({"/pc/c", "/p/c", 7, 8})) << journal->error();
        fs::remove_all(dir.path() / "j.journal.tmp");
        ASSERT_TRUE(journal->Finish()) << journal->error();
    }
    // Finish rewrote it: the header and the three live entries.
    const std::string rewritten = ReadWholeFile(dir.path() / "j.journal");
    EXPECT_EQ(std::count(rewritten.begin(), rewritten.end(), '\n'), 4);
    EXPECT_EQ(Describe(Reload(path)), Describe({{"/pc/a", "/p/a", 2 * Journal::kCompactSlack - 1, 1},
                                                {"/pc/b", "/p/b", 5, 6},
                                                {"/pc/c", "/p/c", 7, 8}}));
    // A file where the folder should be.
    WriteFile(dir.path() / "file", "x");
    EXPECT_EQ(OpenFailure(Utf8(dir.path() / "file" / "sub" / "j.journal")), JournalError::Kind::kIo);
    // Nothing stays open once the journal is gone.
    const int handles = CountOpenHandles();
    { Journal::Open(path)->Put({"/pc/d", "/p/d", 1, 1}); }
    EXPECT_EQ(CountOpenHandles(), handles);
}

// A dry run reads the journal and changes nothing: no folder or file made,
// a torn last record left where it is.
TEST(Journal, ReadOnlyChangesNothing) {
    ScratchDir dir;
    JournalOpenOptions readOnly;
    readOnly.readOnly = true;
    const auto none = Journal::Open(Utf8(dir.path() / "state" / "j.journal"), readOnly);
    EXPECT_EQ(none->size(), 0u);
    EXPECT_FALSE(fs::exists(dir.path() / "state"));
    EXPECT_FALSE(none->Put({"/pc/a", "/p/a", 1, 1}));
    EXPECT_NE(none->error().find("read-only"), std::string::npos) << none->error();
    EXPECT_TRUE(none->Finish());

    const std::string path = Utf8(dir.path() / "j.journal");
    {
        const auto journal = Journal::Open(path);
        ASSERT_TRUE(journal->Put({"/pc/a", "/p/a", 1, 1}));
        ASSERT_TRUE(journal->Put({"/pc/b", "/p/b", 2, 2}));
    }
    const std::string torn = ReadWholeFile(dir.path() / "j.journal") + "+\t3\t3\t/pc/c";
    WriteFile(dir.path() / "j.journal", torn);
    const auto journal = Journal::Open(path, readOnly);
    EXPECT_EQ(journal->size(), 2u);
    EXPECT_FALSE(journal->Remove("/pc/a", "/p/a"));
    EXPECT_FALSE(journal->Compact());
    EXPECT_TRUE(journal->Finish());
    EXPECT_EQ(journal->size(), 2u);
    EXPECT_EQ(ReadWholeFile(dir.path() / "j.journal"), torn);
    EXPECT_FALSE(fs::exists(dir.path() / "j.journal.tmp"));
}

// Comparing a real PC file with its entry: unchanged, then rewritten at the
// same size with a later modification time.
TEST(Journal, ComparesRealFiles) {
    ScratchDir dir;
    const fs::path song = dir.path() / "song.mp3";
    WriteFile(song, "ID3 tags v1");
    const qsync::PcFileStat before = qsync::StatPcFile(Utf8(song));
    ASSERT_EQ(before.state, qsync::PcFileState::kFile);
    EXPECT_EQ(before.size, 11u);
    const auto journal = Journal::Open(Utf8(dir.path() / "j.journal"));
    EXPECT_EQ(journal->Compare(Utf8(song), "/p/song.mp3", before.size, before.mtimeNs), JournalMatch::kNotRecorded);
    ASSERT_TRUE(journal->Put({Utf8(song), "/p/song.mp3", before.size, before.mtimeNs}));
    EXPECT_EQ(journal->Compare(Utf8(song), "/p/song.mp3", before.size, before.mtimeNs), JournalMatch::kUnchanged);
    EXPECT_EQ(journal->Compare(Utf8(song), "/p/other.mp3", before.size, before.mtimeNs), JournalMatch::kNotRecorded);
    // A tag editor's rewrite in place: same size, later time (set whole
    // seconds later, as some runtimes set whole seconds only).
    const auto written = fs::last_write_time(song);
    WriteFile(song, "ID3 tags v2");
    fs::last_write_time(song, written + std::chrono::seconds(3));
    const qsync::PcFileStat after = qsync::StatPcFile(Utf8(song));
    EXPECT_GT(after.mtimeNs, before.mtimeNs + 1000000000LL) << before.mtimeNs;
    EXPECT_EQ(journal->Compare(Utf8(song), "/p/song.mp3", after.size, after.mtimeNs), JournalMatch::kChangedSameSize);
    EXPECT_EQ(journal->Compare(Utf8(song), "/p/song.mp3", 12, after.mtimeNs), JournalMatch::kChangedSize);
    EXPECT_EQ(qsync::StatPcFile(Utf8(dir.path() / "gone.mp3")).state, qsync::PcFileState::kAbsent);
    EXPECT_EQ(qsync::StatPcFile(Utf8(dir.path() / "gone" / "a.mp3")).state, qsync::PcFileState::kAbsent);
    EXPECT_EQ(qsync::StatPcFile(Utf8(song / "below-a-file")).state, qsync::PcFileState::kAbsent);
    EXPECT_EQ(qsync::StatPcFile(Utf8(dir.path())).state, qsync::PcFileState::kNotFile);
}

// `push --delete` candidates: below a named PC folder (not a sibling that
// shares its prefix), below the kind's phone folder, and gone from the PC.
TEST(Journal, VanishedEntries) {
    ScratchDir dir;
    const auto journal = Journal::Open(Utf8(dir.path() / "j.journal"));
    const std::vector<JournalEntry> all = {
        {"/m/a/1.mp3", "/sdcard/Music/m/a/1.mp3", 1, 1},    {"/m/a/2.mp3", "/sdcard/Music/m/a/2.mp3", 1, 1},
        {"/m/a/2.mp3", "/sdcard/Movies/m/a/2.mp3", 1, 1},   {"/m/ab/3.mp3", "/sdcard/Music/m/ab/3.mp3", 1, 1},
        {"/m/a/d/4.mp3", "/sdcard/Music/m/a/d/4.mp3", 1, 1}, {"/m/a/5.mp3", "/sdcard/Musicals/m/a/5.mp3", 1, 1},
        {"C:\\M\\a\\6.mp3", "/sdcard/Music/C/M/a/6.mp3", 1, 1}, {"C:\\M\\ab\\7.mp3", "/sdcard/Music/C/M/ab/7.mp3", 1, 1},
    };
    for (const auto& e : all) ASSERT_TRUE(journal->Put(e));
    const std::set<std::string> present = {"/m/a/1.mp3"};
    const auto gone = [&](const std::string& pc) { return present.count(pc) == 0; };
    const auto pcs = [](const std::vector<JournalEntry>& entries) {
        std::string out;
        for (const auto& e : entries) out += e.pc + " -> " + e.phone + "\n";
        return out;
    };
    EXPECT_EQ(pcs(journal->Vanished({"/m/a"}, "/sdcard/Music", PathStyle::kPosix, {}, gone)),
              "/m/a/2.mp3 -> /sdcard/Music/m/a/2.mp3\n/m/a/d/4.mp3 -> /sdcard/Music/m/a/d/4.mp3\n");
    EXPECT_EQ(journal->Vanished({"/m/a/"}, "/sdcard/Music/", PathStyle::kPosix, {}, gone).size(), 2u);
    EXPECT_EQ(journal->Vanished({"/m/a/d", "/m/ab"}, "/sdcard/Music", PathStyle::kPosix, {}, gone).size(), 2u);
    EXPECT_EQ(journal->Vanished({"/"}, "/sdcard/Movies", PathStyle::kPosix, {}, gone).size(), 1u);
    EXPECT_EQ(pcs(journal->Vanished({"C:\\M\\a"}, "/sdcard/Music", PathStyle::kWindows, {}, gone)),
              "C:\\M\\a\\6.mp3 -> /sdcard/Music/C/M/a/6.mp3\n");
    EXPECT_EQ(journal->Vanished({"C:\\M\\a"}, "/sdcard/Music", PathStyle::kPosix, {}, gone).size(), 0u);
    EXPECT_EQ(journal->Vanished({"/m/a"}, "/sdcard/Music", PathStyle::kPosix, {}, [](const std::string&) { return false; })
                  .size(),
              0u);
    // What `remove` of a phone folder or file takes out of the journal.
    EXPECT_EQ(pcs(journal->AtOrBelowPhone("/sdcard/Music/m/a/")),
              "/m/a/1.mp3 -> /sdcard/Music/m/a/1.mp3\n/m/a/2.mp3 -> /sdcard/Music/m/a/2.mp3\n"
              "/m/a/d/4.mp3 -> /sdcard/Music/m/a/d/4.mp3\n");
    EXPECT_EQ(journal->AtOrBelowPhone("/sdcard/Music/m/a/1.mp3").size(), 1u);
    EXPECT_EQ(journal->AtOrBelowPhone("/sdcard/Music/m/a/1").size(), 0u);
    EXPECT_EQ(journal->AtOrBelowPhone("/sdcard/Movies").size(), 1u);
}

// The phone's storage ignores letter case: "A.mp3" pushed, renamed to
// "a.mp3" on the PC and pushed again is one phone file under two entries.
// --delete must not remove it while a.mp3 is pushed, and a removal of it
// (either spelling, as a file or below a folder) drops both entries; a
// removal whose answer was lost leaves them, never unchanged again.
TEST(Journal, PhonePathsIgnoreCase) {
    ScratchDir dir;
    const std::string file = Utf8(dir.path() / "j.journal");
    const std::vector<JournalEntry> all = {
        {"/m/A.mp3", "/sdcard/Music/m/A.mp3", 5, 1}, {"/m/a.mp3", "/sdcard/Music/m/a.mp3", 5, 2},
        {"/m/b.mp3", "/sdcard/Music/m/b.mp3", 5, 3}, {"/n/A.mp3", "/sdcard/Music/n/A.mp3", 5, 4},
    };
    const auto gone = [](const std::string& pc) { return pc != "/m/a.mp3" && pc != "/m/b.mp3"; };
    for (const bool folder : {false, true}) {
        for (const std::string removed : {"/sdcard/Music/m/a.mp3", "/sdcard/MUSIC/M/A.MP3"}) {
            SCOPED_TRACE(removed + (folder ? " (folder)" : " (file)"));
            std::filesystem::remove(dir.path() / "j.journal");
            auto journal = Journal::Open(file);
            for (const auto& e : all) ASSERT_TRUE(journal->Put(e));
            EXPECT_TRUE(journal->Vanished({"/m"}, "/sdcard/Music", PathStyle::kPosix,
                                          {"/sdcard/Music/m/a.mp3", "/sdcard/Music/m/b.mp3"}, gone)
                            .empty());
            EXPECT_EQ(journal->Vanished({"/m"}, "/sdcard/Music", PathStyle::kPosix, {"/sdcard/Music/m/b.mp3"}, gone)
                          .size(),
                      1u);
            const std::string target = folder ? removed.substr(0, removed.rfind('/')) : removed;
            EXPECT_EQ(journal->AtOrBelowPhone(target, folder).size(), folder ? 3u : 2u);
            ASSERT_TRUE(journal->SpoilPhone(target, folder));
            EXPECT_EQ(journal->Compare("/m/a.mp3", "/sdcard/Music/m/a.mp3", 5, 2), JournalMatch::kChangedSameSize);
            EXPECT_EQ(journal->Compare("/n/A.mp3", "/sdcard/Music/n/A.mp3", 5, 4), JournalMatch::kUnchanged);
            journal.reset();
            journal = Journal::Open(file);  // spoiled and removed as stored
            EXPECT_EQ(journal->Compare("/m/A.mp3", "/sdcard/Music/m/A.mp3", 5, 1), JournalMatch::kChangedSameSize);
            ASSERT_TRUE(journal->RemovePhone(target, folder));
            EXPECT_EQ(journal->size(), folder ? 1u : 2u);
            journal.reset();
            journal = Journal::Open(file);
            EXPECT_EQ(journal->size(), folder ? 1u : 2u);
            EXPECT_EQ(journal->Compare("/m/a.mp3", "/sdcard/Music/m/a.mp3", 5, 2), JournalMatch::kNotRecorded);
            EXPECT_EQ(journal->Compare("/n/A.mp3", "/sdcard/Music/n/A.mp3", 5, 4), JournalMatch::kUnchanged);
        }
    }
}

// The phone a journal belongs to is recorded once and survives a rewrite;
// a journal written before it was recorded still loads, with its entries.
TEST(Journal, KnowsItsPhone) {
    ScratchDir dir;
    const std::string file = Utf8(dir.path() / "j.journal");
    {
        std::ofstream old(file, std::ios::binary);
        old << "qsync-journal 1\n+\t5\t7\t/m/a.mp3\t/sdcard/Music/m/a.mp3\t"
            << "55c3e3c2\n";
    }
    auto journal = Journal::Open(file);
    EXPECT_EQ(journal->identity(), "");
    ASSERT_TRUE(journal->SetIdentity("127.0.0.1:8182/sdcard"));
    ASSERT_TRUE(journal->SetIdentity("10.0.0.2:8182/sdcard"));  // the first one stays
    for (const bool compact : {false, true}) {
        if (compact) {
            ASSERT_TRUE(journal->Compact());
        }
        journal.reset();
        journal = Journal::Open(file);
        EXPECT_EQ(journal->identity(), "127.0.0.1:8182/sdcard");
        EXPECT_EQ(journal->Compare("/m/a.mp3", "/sdcard/Music/m/a.mp3", 5, 7), JournalMatch::kUnchanged);
    }
}

// Where the journals live, and a name per phone that Windows accepts and no
// other phone shares.
TEST(Journal, DefaultPlace) {
    qsync::JournalEnvironment env;
    EXPECT_EQ(qsync::JournalFolder(PathStyle::kPosix, env), "");
    env.home = "/home/me/";
    env.xdgStateHome = "relative/state";  // not absolute: ignored
    env.userProfile = "C:\\Users\\me";
    EXPECT_EQ(qsync::JournalFolder(PathStyle::kPosix, env), "/home/me/.local/state/qsync");
    EXPECT_EQ(qsync::JournalFolder(PathStyle::kWindows, env), "C:\\Users\\me\\qsync");
    env.xdgStateHome = "/var/state";
    env.localAppData = "C:\\Users\\me\\AppData\\Local\\";
    EXPECT_EQ(qsync::JournalFolder(PathStyle::kPosix, env), "/var/state/qsync");
    EXPECT_EQ(qsync::DefaultJournalPath(PathStyle::kWindows, env, "127.0.0.1", 8182, "/sdcard").rfind(
                  "C:\\Users\\me\\AppData\\Local\\qsync\\127.0.0.1-8182-sdcard-", 0),
              0u);
    std::set<std::string> names;
    for (const std::string host : {"127.0.0.1", "192.168.1.20"})
        for (const int port : {8182, 18182})
            for (const std::string root : {"", "/sdcard", "/sdcard/", "/sd-card", "/sd:card", "/sd.card", "/s\xc3\xa9"}) {
                const std::string name = qsync::JournalFileName(host, port, root);
                EXPECT_EQ(name.find_first_of(":/\\<>\"|?* "), std::string::npos) << name;
                names.insert(name);
            }
    EXPECT_EQ(names.size(), 2u * 2u * 7u);
}

// ---- two processes ----------------------------------------------------------

namespace {

std::string Counted(const std::string& prefix, uint64_t i) { return prefix + std::to_string(i); }

// The second processes: "hold PATH" takes the journal, says "locked" and
// keeps it until it reads a line; "churn PATH" puts, removes and rewrites
// until it is killed, saying what it has done after each step.
int HoldJournal(const std::string& path) {
    const auto journal = Journal::Open(path);
    if (!journal->Put({"/held", "/p/held", 1, 1})) return 1;
    std::cout << "locked" << std::endl;
    std::string line;
    std::getline(std::cin, line);
    return 0;
}

int ChurnJournal(const std::string& path) {
    const auto journal = Journal::Open(path);
    for (uint64_t i = 0; i < 1000000; ++i) {
        if (!journal->Put({Counted("/pc/", i), Counted("/p/", i), i, static_cast<int64_t>(i * 7)})) return 1;
        std::cout << "put " << i << std::endl;
        if (i % 3 == 2) {
            if (!journal->Remove(Counted("/pc/", i - 1), Counted("/p/", i - 1))) return 1;
            std::cout << "removed " << i - 1 << std::endl;
        }
        if (i % 20 == 19 && !journal->Compact()) return 1;
    }
    return 0;
}

}  // namespace

int RunChild(const std::vector<std::string>& arguments) {
    try {
        if (arguments.size() == 2 && arguments[0] == "hold") return HoldJournal(arguments[1]);
        if (arguments.size() == 2 && arguments[0] == "churn") return ChurnJournal(arguments[1]);
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
    return 2;
}

// One process at a time: the second finds the journal busy, or waits for it
// (ending the wait when told to stop), and a process killed while holding
// it leaves it free.
TEST(Journal, OneProcessAtATime) {
    ScratchDir dir;
    const std::string path = Utf8(dir.path() / "state" / "j.journal");
    {
        ChildProcess holder({"--child", "hold", path});
        std::string line;
        ASSERT_TRUE(holder.ReadLine(line));
        ASSERT_EQ(line, "locked");
        JournalOpenOptions failIfBusy;
        failIfBusy.lockMode = JournalOpenOptions::LockMode::kFailIfBusy;
        EXPECT_EQ(OpenFailure(path, failIfBusy), JournalError::Kind::kBusy);
        failIfBusy.readOnly = true;
        EXPECT_EQ(OpenFailure(path, failIfBusy), JournalError::Kind::kBusy);
        JournalOpenOptions stopWaiting;
        bool busy = false;
        stopWaiting.onBusy = [&] { busy = true; };
        stopWaiting.stop = [&] { return busy; };
        EXPECT_EQ(OpenFailure(path, stopWaiting), JournalError::Kind::kStopped);
        // Waits until the holder lets go: it is told to once this one waits.
        JournalOpenOptions wait;
        int told = 0;
        wait.pollInterval = std::chrono::milliseconds(5);
        wait.waitLimit = std::chrono::seconds(60);  // only against a hang
        wait.onBusy = [&] {
            ++told;
            holder.WriteLine("go");
        };
        const auto journal = Journal::Open(path, wait);
        EXPECT_EQ(told, 1);
        EXPECT_EQ(holder.Wait(), 0);
        EXPECT_EQ(journal->size(), 1u);
    }
    ChildProcess killed({"--child", "hold", path});
    std::string line;
    ASSERT_TRUE(killed.ReadLine(line));
    killed.Kill();
    killed.Wait();
    JournalOpenOptions failIfBusy;
    failIfBusy.lockMode = JournalOpenOptions::LockMode::kFailIfBusy;
    EXPECT_EQ(Journal::Open(path, failIfBusy)->size(), 1u);
}

// A process killed at any moment, rewrites included, keeps every change it
// reported, and the journal holds nothing else.
TEST(Journal, KilledWriterKeepsWhatItReported) {
    ScratchDir dir;
    const std::string path = Utf8(dir.path() / "j.journal");
    for (const uint64_t killAfter : {0, 1, 18, 19, 20, 41, 77, 150, 333}) {
        fs::remove(dir.path() / "j.journal");
        std::set<uint64_t> put, removed;
        {
            ChildProcess writer({"--child", "churn", path});
            std::string line;
            while (writer.ReadLine(line)) {
                const uint64_t i = std::stoull(line.substr(line.find(' ') + 1));
                (line[0] == 'p' ? put : removed).insert(i);
                if (line[0] == 'p' && i == killAfter) writer.Kill();
            }
            writer.Wait();
        }
        ASSERT_GT(put.size(), killAfter);
        const std::vector<JournalEntry> entries = Reload(path);
        std::set<uint64_t> present;
        for (const auto& e : entries) {
            const uint64_t i = std::stoull(e.pc.substr(4));
            ASSERT_EQ(e.pc, Counted("/pc/", i));
            ASSERT_EQ(e.phone, Counted("/p/", i));
            ASSERT_EQ(e.size, i);
            ASSERT_EQ(e.mtimeNs, static_cast<int64_t>(i * 7));
            present.insert(i);
        }
        const uint64_t lastPut = *put.rbegin();
        for (const uint64_t i : put) {
            // The removal that follows the last reported put may have been
            // done without being reported.
            if (i + 1 == lastPut && lastPut % 3 == 2 && !removed.count(i)) continue;
            EXPECT_EQ(present.count(i), removed.count(i) ? 0u : 1u) << "entry " << i << ", killed after " << killAfter;
        }
        for (const uint64_t i : present) EXPECT_LE(i, lastPut + 1) << "killed after " << killAfter;
    }
}
