// End-to-end tests of the phone-service binary: every request goes over
// loopback TCP to a freshly started service on a free port.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include "service_harness.h"

namespace phone_service::test {
namespace {

namespace fs = std::filesystem;

struct Info {
    std::string name;
    std::int32_t can_read = 0, can_write = 0, is_file = 0, is_dir = 0, is_hidden = 0;
    std::int64_t size = 0, modified = 0;
};

bool ReadInfo(WireReader& in, Info& i) {
    return in.String(i.name) && in.Int32(i.can_read) && in.Int32(i.can_write) && in.Int64(i.size) &&
           in.Int32(i.is_file) && in.Int32(i.is_dir) && in.Int32(i.is_hidden) && in.Int64(i.modified);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Str(const std::string& s) { WireWriter w; w.String(s); return w.Take(); }
Bytes I32(std::int32_t v) { WireWriter w; w.Int32(v); return w.Take(); }
Bytes Blk(const std::string& s) {
    WireWriter w;
    w.Block(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    return w.Take();
}
Bytes Raw(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Bytes written as hexadecimal pairs, blanks ignored.
Bytes Hex(const std::string& hex) {
    Bytes out;
    std::string digits;
    for (char c : hex)
        if (c != ' ') digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { StartWith({}); }
    // A clean exit also tells that the service never crashed and, under
    // the sanitizers, that it leaked nothing and raced nowhere.
    void TearDown() override { StopService(); }

    void StopService() {
        if (service_) {
            EXPECT_EQ(service_->Stop(), 0) << "service did not exit cleanly";
        }
        service_.reset();
    }

    void StartWith(std::vector<std::string> extra, bool capture_stderr = false) {
        StopService();
        std::vector<std::string> args{"--root", root()};
        args.insert(args.end(), extra.begin(), extra.end());
        service_ = std::make_unique<ServiceProcess>(args, capture_stderr);
        ASSERT_TRUE(service_->started()) << "service did not report its port";
    }

    std::string root() const { return dir_ / "root"; }
    std::string Local(const std::string& phone_path) const { return root() + phone_path; }
    int port() const { return service_->port(); }

    FileAnswer Call(std::int32_t cmd, const Bytes& payload) { return FileCall(port(), cmd, payload); }
    std::int32_t Status(std::int32_t cmd, const std::string& path) { return Call(cmd, PathPayload(path)).status; }

    FileAnswer Put(const std::string& path, std::int32_t offset, const std::string& data) {
        return Call(12, Concat({Str(path), I32(offset), Blk(data)}));
    }
    std::optional<std::string> Get(const std::string& path, std::int32_t offset, std::int32_t length = 65536) {
        FileAnswer a = Call(11, Concat({Str(path), I32(offset), I32(length)}));
        if (!a.framed || a.status != 1) return std::nullopt;
        WireReader r = a.Result();
        const std::uint8_t* p = nullptr;
        std::size_t n = 0;
        if (!r.Block(p, n)) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(p), n);
    }
    // status, list flag and entries of a listing.
    std::tuple<std::int32_t, std::int32_t, std::vector<Info>> List(const std::string& path) {
        FileAnswer a = Call(15, PathPayload(path));
        std::vector<Info> entries;
        std::int32_t word = 0, flag = -1, count = 0;
        WireReader r = a.Result();
        if (a.status == 1 && r.Int32(word) && r.Int32(flag) && flag == 1 && r.Int32(count)) {
            for (std::int32_t i = 0; i < count; ++i) {
                Info info;
                EXPECT_TRUE(ReadInfo(r, info));
                entries.push_back(info);
            }
            EXPECT_EQ(r.remaining(), 0u);
        }
        return {a.status, flag, entries};
    }
    std::vector<std::string> Names(const std::vector<Info>& entries) {
        std::vector<std::string> n;
        for (const auto& e : entries) n.push_back(e.name);
        return n;
    }

    TempDir dir_;
    std::unique_ptr<ServiceProcess> service_;
};

// ---------------------------------------------------------------- /filesync

TEST_F(ServiceTest, StatRequestFromDataFileAnswersFullInfo) {
    WriteFileBytes(Local("/sdcard/a.mp3"), "sixbyt");
    const Bytes request = ReadFileBytes(PHONE_SERVICE_TEST_DATA "/stat-request.bin");
    ASSERT_EQ(request.size(), 43u);
    EXPECT_EQ(request, FileRequest(14, PathPayload("/sdcard/a.mp3")));

    HttpResult http = Exchange(port(), "/filesync", request);
    ASSERT_TRUE(http.answered);
    EXPECT_EQ(http.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(http.head.find("\r\nContent-Length: " + std::to_string(http.body.size()) + "\r\n"), std::string::npos);

    FileAnswer a = ParseFileAnswer(http.body);
    ASSERT_TRUE(a.framed);
    EXPECT_EQ(a.status, 1);
    WireReader r = a.Result();
    std::int32_t word = 0, found = 0;
    Info info;
    ASSERT_TRUE(r.Int32(word) && r.Int32(found) && ReadInfo(r, info));
    EXPECT_EQ(found, 1);
    EXPECT_EQ(info.name, "/sdcard/a.mp3");
    EXPECT_EQ(info.size, 6);
    EXPECT_EQ(info.is_file, 1);
    EXPECT_EQ(info.is_dir, 0);
    EXPECT_EQ(info.is_hidden, 0);
    EXPECT_EQ(info.can_read, 1);
    struct stat st {};
    ASSERT_EQ(::stat(Local("/sdcard/a.mp3").c_str(), &st), 0);
    EXPECT_EQ(info.modified / 1000, st.st_mtim.tv_sec);  // milliseconds since 1970
    EXPECT_EQ(r.remaining(), 0u);
}

TEST_F(ServiceTest, StatTellsAbsentFromFolder) {
    fs::create_directories(Local("/sdcard/DCIM"));
    FileAnswer absent = Call(14, PathPayload("/sdcard/none.mp3"));
    std::int32_t word = 0, found = -1;
    WireReader r = absent.Result();
    EXPECT_EQ(absent.status, 1);
    ASSERT_TRUE(r.Int32(word) && r.Int32(found));
    EXPECT_EQ(found, 0);
    EXPECT_EQ(r.remaining(), 0u);

    // Sizes past 4 GiB's half travel as full 64-bit values (a sparse file).
    fs::create_directories(Local("/sdcard/Movies"));
    { std::ofstream touch(Local("/sdcard/Movies/big.mkv")); }
    fs::resize_file(Local("/sdcard/Movies/big.mkv"), 3ull << 30);
    FileAnswer big = Call(14, PathPayload("/sdcard/Movies/big.mkv"));
    WireReader b = big.Result();
    Info big_info;
    ASSERT_TRUE(b.Int32(word) && b.Int32(found) && ReadInfo(b, big_info));
    EXPECT_EQ(big_info.size, static_cast<std::int64_t>(3ull << 30));

    FileAnswer folder = Call(14, PathPayload("/sdcard/DCIM/"));
    Info info;
    WireReader f = folder.Result();
    ASSERT_TRUE(f.Int32(word) && f.Int32(found) && ReadInfo(f, info));
    EXPECT_EQ(found, 1);
    EXPECT_EQ(info.is_dir, 1);
    EXPECT_EQ(info.is_file, 0);
}

TEST_F(ServiceTest, ChunksInAnyOrderOverParallelConnectionsMakeTheFile) {
    std::string data(3 * 65536 + 1234, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7 + i / 65536) & 0xff);
    const std::vector<int> order{3, 1, 0, 2};
    std::vector<std::thread> workers;
    std::atomic<int> accepted{0};
    for (int c : order)
        workers.emplace_back([&, c] {
            const std::size_t off = static_cast<std::size_t>(c) * 65536;
            if (Put("/sdcard/Music/x/y.bin", static_cast<std::int32_t>(off), data.substr(off, 65536)).status == 1)
                ++accepted;
        });
    for (auto& t : workers) t.join();
    EXPECT_EQ(accepted.load(), 4);
    EXPECT_EQ(Text(ReadFileBytes(Local("/sdcard/Music/x/y.bin"))), data);

    std::string back;
    for (std::int32_t off = 0; off < static_cast<std::int32_t>(data.size()); off += 65536) {
        auto chunk = Get("/sdcard/Music/x/y.bin", off);
        ASSERT_TRUE(chunk);
        EXPECT_EQ(chunk->size(), std::min<std::size_t>(65536, data.size() - static_cast<std::size_t>(off)));
        back += *chunk;
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(Get("/sdcard/Music/x/y.bin", static_cast<std::int32_t>(data.size())), std::string());
    EXPECT_EQ(Get("/sdcard/Music/x/y.bin", 1 << 30), std::string());
    EXPECT_FALSE(Get("/sdcard/Music/x/none.bin", 0));
    EXPECT_FALSE(Get("/sdcard/Music/x/y.bin", -1));
}

TEST_F(ServiceTest, ChunkWriteIsInPlaceAndDoesNotTruncate) {
    WriteFileBytes(Local("/sdcard/t.txt"), "abcdefgh");
    EXPECT_EQ(Put("/sdcard/t.txt", 2, "XY").status, 1);
    EXPECT_EQ(Text(ReadFileBytes(Local("/sdcard/t.txt"))), "abXYefgh");
    EXPECT_EQ(Put("/sdcard/t.txt", -4, "no").status, 0);
    EXPECT_EQ(Put("/sdcard", 0, "folder").status, 0);
    // A block count larger than the bytes sent is refused, not read past.
    EXPECT_EQ(Call(12, Concat({Str("/sdcard/t.txt"), I32(0), I32(1000), Raw("short")})).status, 0);
    EXPECT_EQ(Text(ReadFileBytes(Local("/sdcard/t.txt"))), "abXYefgh");
}

TEST_F(ServiceTest, DeleteFileTreeAndEmptyFolders) {
    WriteFileBytes(Local("/sdcard/a.mp3"), "a");
    EXPECT_EQ(Status(13, "/sdcard/a.mp3"), 1);
    EXPECT_FALSE(fs::exists(Local("/sdcard/a.mp3")));
    EXPECT_EQ(Status(13, "/sdcard/a.mp3"), 1) << "nothing to do is success";
    EXPECT_EQ(Status(13, "/sdcard"), 0) << "a folder is not a file";

    WriteFileBytes(Local("/sdcard/Old/x/y/z.txt"), "z");
    EXPECT_EQ(Status(17, "/sdcard/Old"), 1);
    EXPECT_FALSE(fs::exists(Local("/sdcard/Old")));
    EXPECT_EQ(Status(17, "/sdcard/Old"), 1);
    EXPECT_EQ(Status(17, "/"), 0);
    EXPECT_EQ(Status(17, "//"), 0);
    EXPECT_TRUE(fs::exists(Local("/sdcard")));

    fs::create_directories(Local("/sdcard/Music/a/b/c"));
    fs::create_directories(Local("/sdcard/Music/e"));
    WriteFileBytes(Local("/sdcard/Music/d/keep.mp3"), "k");
    EXPECT_EQ(Status(18, "/sdcard/Music"), 1);
    EXPECT_TRUE(fs::exists(Local("/sdcard/Music")));
    EXPECT_FALSE(fs::exists(Local("/sdcard/Music/a")));
    EXPECT_FALSE(fs::exists(Local("/sdcard/Music/e")));
    EXPECT_TRUE(fs::exists(Local("/sdcard/Music/d/keep.mp3")));
    EXPECT_EQ(Status(18, "/sdcard/NoSuch"), 1);
    EXPECT_EQ(Status(18, "/sdcard/Music/d/keep.mp3"), 0);
}

TEST_F(ServiceTest, ListingIsSortedWithPathsThatBeginAsSent) {
    WriteFileBytes(Local("/sdcard/Music/b.mp3"), "bb");
    WriteFileBytes(Local("/sdcard/Music/a.mp3"), "a");
    WriteFileBytes(Local("/sdcard/Music/.nomedia"), "");
    fs::create_directories(Local("/sdcard/Music/sub"));
    fs::create_directories(Local("/sdcard/Empty"));

    auto [status, flag, entries] = List("/sdcard/Music");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"/sdcard/Music/.nomedia", "/sdcard/Music/a.mp3",
                                                        "/sdcard/Music/b.mp3", "/sdcard/Music/sub"}));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].is_hidden, 1);
    EXPECT_EQ(entries[2].size, 2);
    EXPECT_EQ(entries[2].is_file, 1);
    EXPECT_EQ(entries[3].is_dir, 1);
    EXPECT_EQ(entries[3].is_file, 0);
    EXPECT_EQ(entries[3].can_read, 1);

    EXPECT_EQ(Names(std::get<2>(List("/sdcard/Music/")))[1], "/sdcard/Music/a.mp3");
    EXPECT_EQ(Names(std::get<2>(List("//sdcard//Music")))[1], "//sdcard//Music/a.mp3");

    auto [es, ef, ee] = List("/sdcard/Empty");
    EXPECT_EQ(es, 1);
    EXPECT_EQ(ef, 1) << "an empty folder still has a list";
    EXPECT_TRUE(ee.empty());
    auto [ms, mf, me] = List("/sdcard/Downloads");
    EXPECT_EQ(ms, 1);
    EXPECT_EQ(mf, 0) << "a missing folder is an empty answer";
    EXPECT_EQ(std::get<0>(List("/sdcard/Music/a.mp3")), 0) << "a file is no folder";
}

TEST_F(ServiceTest, RenameMovesAndNeverReplaces) {
    WriteFileBytes(Local("/sdcard/a.txt"), "a");
    WriteFileBytes(Local("/sdcard/b.txt"), "b");
    EXPECT_EQ(Call(20, Concat({Str("/sdcard/a.txt"), Str("/sdcard/new/c.txt")})).status, 1);
    EXPECT_EQ(Text(ReadFileBytes(Local("/sdcard/new/c.txt"))), "a");
    EXPECT_FALSE(fs::exists(Local("/sdcard/a.txt")));
    EXPECT_EQ(Call(20, Concat({Str("/sdcard/b.txt"), Str("/sdcard/new/c.txt")})).status, 0);
    EXPECT_EQ(Text(ReadFileBytes(Local("/sdcard/new/c.txt"))), "a");
    EXPECT_EQ(Call(20, Concat({Str("/sdcard/none"), Str("/sdcard/x")})).status, 0);
}

TEST_F(ServiceTest, MediaScanGivesStableIdsPerPath) {
    WriteFileBytes(Local("/sdcard/Music/a.mp3"), "a");
    WriteFileBytes(Local("/sdcard/DCIM/b.JPG"), "b");
    auto scan = [&](const std::vector<std::string>& paths) {
        Bytes payload = I32(static_cast<std::int32_t>(paths.size()));
        for (const auto& p : paths) payload = Concat({payload, Str(p)});
        FileAnswer a = Call(16, payload);
        EXPECT_EQ(a.status, 1);
        std::vector<std::array<std::string, 3>> out;
        WireReader r = a.Result();
        std::int32_t word = 0, n = 0;
        EXPECT_TRUE(r.Int32(word) && r.Int32(n));
        for (std::int32_t i = 0; i < n; ++i) {
            std::array<std::string, 3> e;
            EXPECT_TRUE(r.String(e[0]) && r.String(e[1]) && r.String(e[2]));
            out.push_back(e);
        }
        EXPECT_EQ(r.remaining(), 0u);
        return out;
    };
    auto first = scan({"/sdcard/Music/a.mp3", "/sdcard//DCIM/b.JPG", "/sdcard/Music/none.mp3", "/sdcard/Music"});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0][0], "/sdcard/Music/a.mp3");
    EXPECT_EQ(first[0][1], "audio/mpeg");
    EXPECT_EQ(first[1][0], "/sdcard//DCIM/b.JPG") << "Path is echoed byte for byte";
    EXPECT_EQ(first[1][1], "image/jpeg");
    EXPECT_NE(first[0][2], first[1][2]);

    // Deleted and uploaded again: the row stays, and so does its id.
    EXPECT_EQ(Status(13, "/sdcard/Music/a.mp3"), 1);
    EXPECT_TRUE(scan({"/sdcard/Music/a.mp3"}).empty());
    EXPECT_EQ(Put("/sdcard/Music/a.mp3", 0, "again").status, 1);
    auto again = scan({"/sdcard/Music//a.mp3/"});
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0][2], first[0][2]);
    EXPECT_TRUE(scan({}).empty());
    EXPECT_EQ(Call(16, I32(1000)).status, 0) << "a count larger than the request is refused";
}

TEST_F(ServiceTest, MessagePartsStayInTheirFolder) {
    EXPECT_EQ(Call(22, Concat({Str("PART_1"), Blk("part-bytes")})).status, 1);
    FileAnswer got = Call(21, Str("PART_1"));
    ASSERT_EQ(got.status, 1);
    WireReader r = got.Result();
    const std::uint8_t* p = nullptr;
    std::size_t n = 0;
    ASSERT_TRUE(r.Block(p, n));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), n), "part-bytes");
    EXPECT_EQ(Call(22, Concat({Str("/app_parts/PART_2"), Blk("")})).status, 1);
    EXPECT_EQ(Call(21, Str("PART_9")).status, 0);
    EXPECT_EQ(Call(22, Concat({Str("../../escaped"), Blk("x")})).status, 0);
    EXPECT_FALSE(fs::exists(dir_ / "escaped"));
    EXPECT_FALSE(fs::exists(root() + "/escaped"));
    // The parts folder is not reachable as a phone path.
    EXPECT_EQ(Status(14, "/mms_parts/PART_1"), 0);
}

// ------------------------------------------------------------- confinement

TEST_F(ServiceTest, PathsThatLeaveTheRootAreRefusedAndTouchNothing) {
    WriteFileBytes(dir_ / "outside/secret.txt", "secret");
    fs::create_directories(Local("/sdcard"));
    fs::create_directory_symlink(dir_ / "outside", Local("/sdcard/out"));
    fs::create_symlink(dir_ / "outside/secret.txt", Local("/sdcard/secret-link"));
    fs::create_symlink(dir_ / "outside/nothing-yet", Local("/sdcard/dangling"));
    WriteFileBytes(Local("/sdcard/Music/in.mp3"), "in");
    fs::create_directory_symlink(Local("/sdcard/Music"), Local("/sdcard/music-link"));

    const std::vector<std::string> escapes{
        "/../outside/secret.txt", "/sdcard/../../outside/secret.txt", "/sdcard/out/secret.txt",
        "/sdcard/out", "/sdcard/secret-link", "/sdcard/dangling", std::string("/sdcard/a\0b", 11),
        "sdcard/Music/in.mp3", "", "/media.db"};
    for (const auto& p : escapes) {
        SCOPED_TRACE(p);
        for (std::int32_t cmd : {13, 14, 15, 17, 18}) EXPECT_EQ(Status(cmd, p), 0) << "command " << cmd;
        EXPECT_EQ(Put(p, 0, "overwritten").status, 0);
        EXPECT_FALSE(Get(p, 0));
        EXPECT_EQ(Call(20, Concat({Str(p), Str("/sdcard/moved")})).status, 0);
        EXPECT_EQ(Call(20, Concat({Str("/sdcard/Music/in.mp3"), Str(p)})).status, 0);
    }
    EXPECT_EQ(Put("/sdcard/out/new.txt", 0, "x").status, 0);
    EXPECT_EQ(Put("/sdcard/dangling", 0, "x").status, 0);
    EXPECT_EQ(Text(ReadFileBytes(dir_ / "outside/secret.txt")), "secret");
    EXPECT_FALSE(fs::exists(dir_ / "outside/new.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "outside/nothing-yet"));
    EXPECT_TRUE(fs::exists(Local("/sdcard/Music/in.mp3")));
    EXPECT_GT(fs::file_size(Local("/media.db")), 0u);

    // Links that stay inside work; links that lead out are not listed.
    EXPECT_EQ(Get("/sdcard/music-link/in.mp3", 0), std::string("in"));
    EXPECT_EQ(Names(std::get<2>(List("/sdcard"))),
              (std::vector<std::string>{"/sdcard/Music", "/sdcard/music-link"}));
    EXPECT_EQ(Names(std::get<2>(List("/"))), (std::vector<std::string>{"/sdcard"}))
        << "the service's own files stay hidden";
}

// -------------------------------------------------------------------- HTTP

TEST_F(ServiceTest, MalformedRequestsAreAnsweredOrDroppedAndServiceStays) {
    auto raw = [&](const std::string& req) {
        UniqueFd fd = Connect(port());
        SendAll(fd.get(), req);
        return ParseHttp(ReadAll(fd.get(), 10000));
    };
    EXPECT_EQ(raw("GET /filesync HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n").status, 413);
    EXPECT_EQ(raw("GET /filesync HTTP/1.1\r\nContent-Length: -5\r\n\r\n").status, 400);
    EXPECT_EQ(raw("GET /filesync HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n").status, 400);
    EXPECT_EQ(raw("GET /filesync HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").status, 501);
    EXPECT_EQ(raw("garbage\r\n\r\n").status, 400);
    EXPECT_EQ(raw("GET /other HTTP/1.1\r\n\r\n").status, 404);
    EXPECT_EQ(raw(std::string(20000, 'A')).status, 431);
    EXPECT_EQ(raw(std::string("\0\r\n\r\n", 5)).status, 400);
    {
        // A client that disappears in the middle of its body.
        UniqueFd fd = Connect(port());
        SendAll(fd.get(), "GET /filesync HTTP/1.1\r\nContent-Length:1000\r\n\r\n<Hello");
    }
    // Bodies that are no frame get a framed refusal.
    for (const Bytes& body : {Bytes{}, Raw("<Hello Velmora Sync"), Raw("<Hello Velmora Sync>\0\0\0")}) {
        FileAnswer a = ParseFileAnswer(Exchange(port(), "/filesync", body).body);
        EXPECT_TRUE(a.framed);
        EXPECT_EQ(a.status, 0);
    }
    EXPECT_EQ(Call(99, {}).status, 0);
    EXPECT_EQ(Call(19, {}).status, 0);
    EXPECT_EQ(Call(14, Raw("\xff\xff")).status, 0) << "string count past the end";
    WriteFileBytes(Local("/sdcard/a.mp3"), "a");
    EXPECT_EQ(Status(14, "/sdcard/a.mp3"), 1);
}

TEST_F(ServiceTest, IdleConnectionIsClosed) {
    StartWith({"--idle-timeout", "1"});
    UniqueFd fd = Connect(port());
    SendAll(fd.get(), "GET /filesync HTTP/1.1\r\n");
    const auto start = std::chrono::steady_clock::now();
    const std::string got = ReadAll(fd.get(), 8000);  // returns when the service closes
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(got.empty());
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST_F(ServiceTest, ServesThirtyTwoConnectionsAtOnce) {
    WriteFileBytes(Local("/sdcard/a.mp3"), "a");
    const std::string req = LibraryRequest("/filesync", FileRequest(14, PathPayload("/sdcard/a.mp3")));
    // Every connection holds a worker until its last byte arrives, so all
    // 32 are open in the service at the same time.
    std::vector<UniqueFd> conns;
    for (int i = 0; i < 32; ++i) {
        conns.push_back(Connect(port()));
        ASSERT_TRUE(conns.back().valid());
        ASSERT_TRUE(SendAll(conns.back().get(), req.substr(0, req.size() - 1)));
    }
    for (auto& c : conns) ASSERT_TRUE(SendAll(c.get(), req.substr(req.size() - 1)));
    for (auto& c : conns) {
        FileAnswer a = ParseFileAnswer(ParseHttp(ReadAll(c.get())).body);
        EXPECT_EQ(a.status, 1);
    }

    // And a bounded burst of parallel writers to one file.
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                if (Put("/sdcard/burst.bin", (t * 10 + i) * 4, "abcd").status == 1) ++ok;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 80);
    EXPECT_EQ(ReadFileBytes(Local("/sdcard/burst.bin")).size(), 320u);
}

TEST_F(ServiceTest, VerboseLogsOneLinePerRequestAndSignalStopsCleanly) {
    StartWith({"--verbose"}, true);
    WriteFileBytes(Local("/sdcard/a.mp3"), "a");
    EXPECT_EQ(Status(14, "/sdcard/a.mp3"), 1);
    const std::string log = service_->WaitForStderr("us=");
    EXPECT_NE(log.find("cmd=14 path=\"/sdcard/a.mp3\" status=1 in=43 out="), std::string::npos) << log;

    // A client holding a half-sent request does not delay the stop until
    // its idle time-out (5 s) runs out.
    UniqueFd idle = Connect(port());
    SendAll(idle.get(), "GET /filesync HTTP/1.1\r\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service_->Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(ServiceTest, AsksForTheBodyWhenTheClientExpectsContinue) {
    WriteFileBytes(Local("/sdcard/a.mp3"), "a");
    const Bytes body = FileRequest(14, PathPayload("/sdcard/a.mp3"));
    UniqueFd fd = Connect(port());
    ASSERT_TRUE(SendAll(fd.get(), "GET /filesync HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n"));
    std::string interim;
    char c;
    while (interim.find("\r\n\r\n") == std::string::npos && ::recv(fd.get(), &c, 1, 0) == 1) interim += c;
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(SendAll(fd.get(), Text(body)));
    EXPECT_EQ(ParseFileAnswer(ParseHttp(ReadAll(fd.get())).body).status, 1);
}

// -------------------------------------------------------------- /tablesync

struct TableResult {
    std::int32_t seq = 0, kind = 0, code = -1;
    std::string text;
    std::vector<std::map<std::string, std::string>> rows;
};

std::optional<std::vector<TableResult>> ParseTableAnswer(const Bytes& body) {
    WireReader r(body);
    std::int32_t follows = 0, n = 0;
    if (!r.Expect(kSyncMarker) || !r.Int32(follows) || static_cast<std::size_t>(follows) != r.remaining() ||
        !r.Int32(n))
        return std::nullopt;
    std::vector<TableResult> out;
    for (std::int32_t i = 0; i < n; ++i) {
        TableResult t;
        std::int32_t len = 0;
        if (!r.Int32(len) || static_cast<std::size_t>(len) > r.remaining()) return std::nullopt;
        const std::size_t end = r.position() + static_cast<std::size_t>(len);
        if (!r.Int32(t.seq) || !r.Int32(t.kind) || !r.Int32(t.code)) return std::nullopt;
        if (t.code == 1 && t.kind == 4) {
            std::int32_t rows = 0;
            if (!r.Int32(rows)) return std::nullopt;
            for (std::int32_t k = 0; k < rows; ++k) {
                std::int32_t c = 0;
                std::map<std::string, std::string> row;
                if (!r.Int32(c)) return std::nullopt;
                for (std::int32_t j = 0; j < c; ++j) {
                    std::string name, value;
                    if (!r.String(name) || !r.String(value)) return std::nullopt;
                    row[name] = value;
                }
                t.rows.push_back(row);
            }
        } else if (t.code == 1 && !r.String(t.text)) {
            return std::nullopt;
        }
        if (r.position() != end) return std::nullopt;
        out.push_back(t);
    }
    return r.remaining() == 0 ? std::optional(out) : std::nullopt;
}

Bytes TableRequest(const std::vector<Bytes>& records) {
    Bytes all = I32(static_cast<std::int32_t>(records.size()));
    for (const auto& rec : records) all = Concat({all, I32(static_cast<std::int32_t>(rec.size())), rec});
    return Concat({Raw(std::string(kSyncMarker)), I32(static_cast<std::int32_t>(all.size())), all});
}

const std::string kPlaylists = "content://media/external/audio/playlists";
std::string Members(int id) { return kPlaylists + "/" + std::to_string(id) + "/members"; }

Bytes InsertName(std::int32_t seq, const std::string& name) {
    return Concat({I32(seq), I32(1), Str(kPlaylists), I32(1), Str("name"), I32(2), Str(name), I32(0)});
}
Bytes InsertMember(std::int32_t seq, int playlist, int playlist_col, int audio, int order) {
    return Concat({I32(seq), I32(1), Str(Members(playlist)), I32(3), Str("playlist_id"), I32(1), Str("audio_id"),
                   I32(1), Str("play_order"), I32(1), I32(playlist_col), I32(audio), I32(order), I32(0)});
}
Bytes Delete(std::int32_t seq, const std::string& uri, const std::string& selection) {
    return Concat({I32(seq), I32(2), Str(uri), Str(selection)});
}
Bytes UpdateName(std::int32_t seq, const std::string& selection, const std::string& name) {
    return Concat({I32(seq), I32(3), Str(kPlaylists), I32(1), Str("name"), I32(2), Str(name), Str(selection)});
}
Bytes Query(std::int32_t seq, const std::string& uri, const std::vector<std::string>& projection) {
    Bytes b = Concat({I32(seq), I32(4), Str(uri), I32(0), I32(static_cast<std::int32_t>(projection.size()))});
    for (const auto& p : projection) b = Concat({b, Str(p)});
    return Concat({b, Str(""), Str("")});
}

class TableTest : public ServiceTest {
protected:
    std::vector<TableResult> Sync(const std::vector<Bytes>& records) {
        HttpResult h = Exchange(port(), "/tablesync", TableRequest(records));
        auto parsed = ParseTableAnswer(h.body);
        EXPECT_TRUE(parsed) << "answer is not well formed";
        return parsed.value_or(std::vector<TableResult>{});
    }
    std::vector<std::int32_t> Codes(const std::vector<TableResult>& results) {
        std::vector<std::int32_t> c;
        for (const auto& r : results) c.push_back(r.code);
        return c;
    }
    // Rows of a query on the database file, as the service left it.
    std::vector<std::vector<std::string>> Sql(const std::string& query) {
        sqlite3* raw = nullptr;
        std::vector<std::vector<std::string>> rows;
        if (sqlite3_open_v2((root() + "/media.db").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(raw);
            ADD_FAILURE() << "cannot open the database";
            return rows;
        }
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, &sqlite3_close);
        sqlite3_busy_timeout(db.get(), 5000);
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db.get(), query.c_str(), -1, &st, nullptr), SQLITE_OK) << query;
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(st, &sqlite3_finalize);
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* t = sqlite3_column_text(st, i);
                row.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
            }
            rows.push_back(row);
        }
        return rows;
    }
};

TEST_F(TableTest, PlaylistAndMemberInsertExamplesAnswerByteForByte) {
    // Four playlists first, so the example's insert gets row id 5.
    EXPECT_EQ(Codes(Sync({InsertName(1, "a"), InsertName(2, "b"), InsertName(3, "c"), InsertName(4, "d")})),
              (std::vector<std::int32_t>{1, 1, 1, 1}));

    const Bytes insert_rock = Concat({Raw(std::string(kSyncMarker)), Hex(
        "00000052 00000001 0000004a 00000001 00000001 0028"), Raw(kPlaylists), Hex(
        "00000001 0004 6e616d65 00000002 0004 526f636b 00000000")});
    ASSERT_EQ(insert_rock.size(), 106u);
    HttpResult h = Exchange(port(), "/tablesync", insert_rock);
    const Bytes expected = Concat({Raw(std::string(kSyncMarker)), Hex(
        "00000017 00000001 0000000f 00000001 00000001 00000001 000135")});
    ASSERT_EQ(expected.size(), 47u);
    EXPECT_EQ(h.body, expected);

    const Bytes member = Concat({Hex("0000007f 00000002 00000001 0032"), Raw(Members(5)), Hex(
        "00000003 000b"), Raw("playlist_id"), Hex("00000001 0008"), Raw("audio_id"), Hex(
        "00000001 000a"), Raw("play_order"), Hex("00000001 00000005 00000029 00000001 00000000")});
    ASSERT_EQ(member.size(), 131u);
    const Bytes body = Concat({Raw(std::string(kSyncMarker)), I32(static_cast<std::int32_t>(4 + member.size())),
                               I32(1), member});
    auto results = ParseTableAnswer(Exchange(port(), "/tablesync", body).body);
    ASSERT_TRUE(results);
    ASSERT_EQ(results->size(), 1u);
    EXPECT_EQ((*results)[0].seq, 2);
    EXPECT_EQ((*results)[0].code, 1);
    EXPECT_EQ(Sql("SELECT name FROM playlists WHERE _id = 5"), (std::vector<std::vector<std::string>>{{"Rock"}}));
    EXPECT_EQ(Sql("SELECT playlist_id, audio_id, play_order FROM playlist_members"),
              (std::vector<std::vector<std::string>>{{"5", "41", "1"}}));
}

TEST_F(TableTest, UpdatesAndDeletesChangeRowsAndCountThem) {
    auto ins = Sync({InsertName(1, "Rock"), InsertName(2, "J\xc3\xa4zz")});
    ASSERT_EQ(ins.size(), 2u);
    EXPECT_EQ(ins[0].text, "1");
    EXPECT_EQ(ins[1].text, "2");
    EXPECT_EQ(Codes(Sync({InsertMember(3, 1, 1, 41, 1), InsertMember(4, 1, 1, 7, 2), InsertMember(5, 2, 2, 19, 1)})),
              (std::vector<std::int32_t>{1, 1, 1}));

    auto upd = Sync({UpdateName(6, "_id=1", "Metal"), UpdateName(7, " _id = '2' ", "Blues"),
                     UpdateName(8, "_id=99", "None"), Delete(9, Members(1), ""), Delete(10, kPlaylists, "_id=2")});
    EXPECT_EQ(Codes(upd), (std::vector<std::int32_t>{1, 1, 1, 1, 1}));
    std::vector<std::string> texts;
    for (const auto& r : upd) texts.push_back(r.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"1", "1", "0", "2", "1"}));
    EXPECT_EQ(upd[3].seq, 9);
    EXPECT_EQ(upd[3].kind, 2);
    EXPECT_EQ(Sql("SELECT _id, name FROM playlists"), (std::vector<std::vector<std::string>>{{"1", "Metal"}}));
    EXPECT_TRUE(Sql("SELECT * FROM playlist_members").empty()) << "members of a deleted playlist go with it";
}

TEST_F(TableTest, RecordsThatCannotApplyAnswerZeroAndTheOthersRun) {
    ASSERT_EQ(Codes(Sync({InsertName(1, "Keep")})), (std::vector<std::int32_t>{1}));
    Bytes unknown_type = Concat({I32(7), I32(1), Str(kPlaylists), I32(1), Str("name"), I32(-1), I32(0)});
    Bytes unknown_column = Concat({I32(8), I32(1), Str(kPlaylists), I32(1), Str("owner"), I32(2), Str("x"), I32(0)});
    Bytes short_record = Concat({I32(9), I32(2), Str(kPlaylists)});  // selection missing
    auto results = Sync({InsertName(2, "First"),
                         Delete(3, "content://media/external/images/media", ""),
                         Delete(4, kPlaylists, "_id=1 OR 1=1"),
                         Delete(5, kPlaylists, "name='Keep'"),
                         InsertMember(6, 77, 77, 1, 1),   // no such playlist
                         InsertMember(6, 1, 2, 1, 1),     // playlist_id differs from the URI
                         unknown_type, unknown_column, short_record,
                         Query(10, kPlaylists, {"_id", "secret"}),
                         InsertName(11, "Last")});
    EXPECT_EQ(Codes(results), (std::vector<std::int32_t>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(results[8].seq, 9) << "a malformed record is still answered in its place";
    EXPECT_EQ(Sql("SELECT name FROM playlists ORDER BY _id"),
              (std::vector<std::vector<std::string>>{{"Keep"}, {"First"}, {"Last"}}));
    EXPECT_TRUE(Sql("SELECT * FROM playlist_members").empty());
}

TEST_F(TableTest, QueriesAnswerRows) {
    WriteFileBytes(Local("/sdcard/Music/a.mp3"), "a");
    ASSERT_EQ(Call(16, Concat({I32(1), Str("/sdcard/Music/a.mp3")})).status, 1);
    Sync({InsertName(1, "Rock"), InsertName(2, "Pop"), InsertMember(3, 2, 2, 1, 1)});
    auto results = Sync({Query(4, kPlaylists, {"_id", "name"}), Query(5, Members(2), {}),
                         Query(6, "content://media/external/audio/media", {"_id", "_data", "mime_type"})});
    ASSERT_EQ(Codes(results), (std::vector<std::int32_t>{1, 1, 1}));
    using Rows = std::vector<std::map<std::string, std::string>>;
    EXPECT_EQ(results[0].rows, (Rows{{{"_id", "1"}, {"name", "Rock"}}, {{"_id", "2"}, {"name", "Pop"}}}));
    ASSERT_EQ(results[1].rows.size(), 1u);
    EXPECT_EQ(results[1].rows[0].at("audio_id"), "1");
    EXPECT_EQ(results[1].rows[0].at("playlist_id"), "2");
    EXPECT_EQ(results[2].rows,
              (Rows{{{"_id", "1"}, {"_data", "/sdcard/Music/a.mp3"}, {"mime_type", "audio/mpeg"}}}));
}

TEST_F(TableTest, BrokenEnvelopesAnswerNoRecords) {
    auto none = [](const Bytes& body) {
        auto r = ParseTableAnswer(body);
        return r && r->empty();
    };
    EXPECT_TRUE(none(Exchange(port(), "/tablesync", Raw("<Hello Velmora Sync!")).body));
    EXPECT_TRUE(none(Exchange(port(), "/tablesync", Concat({Raw(std::string(kSyncMarker)), I32(500), I32(1)})).body));
    EXPECT_TRUE(none(Exchange(port(), "/tablesync", TableRequest({})).body));
    // A count far above what the body holds, and a record length past the end.
    Bytes huge = Concat({Raw(std::string(kSyncMarker)), I32(8), I32(0x7fffffff), I32(1000)});
    EXPECT_TRUE(none(Exchange(port(), "/tablesync", huge).body));
    EXPECT_TRUE(Sql("SELECT * FROM playlists").empty());
}

// ------------------------------------------------------------------ faults

TEST_F(ServiceTest, FaultStatus0HitsOnlyTheNthMatchingRequest) {
    StartWith({"--fault", "status0:cmd=14,nth=2"});
    WriteFileBytes(Local("/sdcard/a.mp3"), "a");
    EXPECT_EQ(Status(14, "/sdcard/a.mp3"), 1);
    EXPECT_EQ(Status(15, "/sdcard"), 1) << "other commands do not count";
    EXPECT_EQ(Status(14, "/sdcard/a.mp3"), 0);
    EXPECT_EQ(Status(14, "/sdcard/a.mp3"), 1);
}

TEST_F(ServiceTest, FaultCloseAnswersNothingAndDoesNothing) {
    StartWith({"--fault", "close:cmd=13"});
    WriteFileBytes(Local("/sdcard/a.mp3"), "a");
    HttpResult h = Exchange(port(), "/filesync", FileRequest(13, PathPayload("/sdcard/a.mp3")));
    EXPECT_FALSE(h.answered);
    EXPECT_TRUE(fs::exists(Local("/sdcard/a.mp3")));
    EXPECT_EQ(Status(14, "/sdcard/a.mp3"), 1);
}

TEST_F(ServiceTest, FaultDelayTruncateAndMarker) {
    StartWith({"--fault", "delay:ms=300,cmd=14", "--fault", "truncate:bytes=10,cmd=15", "--fault",
               "marker:cmd=18"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Status(14, "/sdcard"), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    HttpResult t = Exchange(port(), "/filesync", FileRequest(15, PathPayload("/")));
    EXPECT_EQ(t.body, Raw(std::string(kSyncMarker.substr(0, 10))));
    EXPECT_NE(t.head.find("Content-Length: 10\r\n"), std::string::npos);

    HttpResult m = Exchange(port(), "/filesync", FileRequest(18, PathPayload("/")));
    ASSERT_EQ(m.body.size(), 28u);
    EXPECT_NE(m.body[0], '<');
    EXPECT_EQ(Text(Bytes(m.body.begin() + 1, m.body.begin() + 20)), std::string(kSyncMarker.substr(1)));
}

// A hold fault armed at run time holds a matching request, its work done,
// until a control request releases it; control waits tell when it is held.
// Requests it does not match pass, and a stop ends a hold.
TEST_F(ServiceTest, FaultHoldIsArmedWaitedForAndReleasedThroughControlRequests) {
    auto control = [this](const std::string& command) {
        HttpResult h = Exchange(port(), "/control", Raw(command));
        return std::to_string(h.status) + " " + Text(h.body);
    };
    EXPECT_EQ(control("arm hold:cmd=12,path=/sdcard/held/"), "200 1\n");
    std::atomic<std::int32_t> held_status{-1};
    std::thread client([&] { held_status = Put("/sdcard/held/a.bin", 0, "abc").status; });
    EXPECT_EQ(control("wait 1 1"), "200 held 1\n");
    EXPECT_EQ(Text(ReadFileBytes(Local("/sdcard/held/a.bin"))), "abc");  // written, not answered
    EXPECT_EQ(held_status.load(), -1);
    EXPECT_EQ(Put("/sdcard/other.bin", 0, "x").status, 1);  // another path passes
    EXPECT_EQ(control("release 1"), "200 held 1\n");
    client.join();
    EXPECT_EQ(held_status.load(), 1);
    EXPECT_EQ(Put("/sdcard/held/a.bin", 3, "d").status, 1);  // released: no longer held
    EXPECT_EQ(control("disarm 1"), "200 held 1\n");

    for (const char* refused : {"arm explode", "arm hold:path=", "wait 1", "wait x 1", "release", "hold", ""})
        EXPECT_EQ(control(refused).substr(0, 4), "400 ") << refused;
    EXPECT_EQ(control("release 1").substr(0, 4), "404 ");  // disarmed
    EXPECT_EQ(control("arm hold:nth=2,cmd=14"), "200 2\n");
    EXPECT_EQ(control("wait 2 1 50"), "408 held 0\n");  // nothing held within its bound

    // The second stat is held, and a stop ends the hold without an answer.
    EXPECT_EQ(Status(14, "/sdcard"), 1);
    std::atomic<bool> answered{true};
    std::thread stat([&] { answered = Exchange(port(), "/filesync", FileRequest(14, PathPayload("/sdcard"))).answered; });
    EXPECT_EQ(control("wait 2 1"), "200 held 1\n");
    StopService();
    stat.join();
    EXPECT_FALSE(answered.load());
}

TEST_F(TableTest, FaultRecord0FailsOneRecordOnly) {
    StartWith({"--fault", "record0:record=2,nth=1"});
    EXPECT_EQ(Codes(Sync({InsertName(1, "a"), InsertName(2, "b"), InsertName(3, "c")})),
              (std::vector<std::int32_t>{1, 0, 1}));
    EXPECT_EQ(Codes(Sync({InsertName(4, "d"), InsertName(5, "e")})), (std::vector<std::int32_t>{1, 1}));
    EXPECT_EQ(Sql("SELECT name FROM playlists ORDER BY _id"),
              (std::vector<std::vector<std::string>>{{"a"}, {"c"}, {"d"}, {"e"}}));
}

// A drop fault, armed at run time, does the work of the requests it hits
// and leaves them unanswered: the chunk is written, the file deleted, the
// row inserted. Requests it does not hit are answered.
TEST_F(TableTest, FaultDropDoesTheWorkAndAnswersNothing) {
    auto arm = [this](const std::string& fault) {
        return Text(Exchange(port(), "/control", Raw("arm " + fault)).body);
    };
    EXPECT_EQ(arm("drop:cmd=12,path=/sdcard/d/,nth=1"), "1\n");
    EXPECT_EQ(arm("drop:cmd=13"), "2\n");
    EXPECT_EQ(arm("drop:cmd=table,nth=2"), "3\n");

    EXPECT_FALSE(Exchange(port(), "/filesync", FileRequest(12, Concat({Str("/sdcard/d/a.bin"), I32(0), Blk("abc")}))).answered);
    EXPECT_EQ(Text(ReadFileBytes(Local("/sdcard/d/a.bin"))), "abc");
    EXPECT_EQ(Put("/sdcard/d/a.bin", 3, "d").status, 1);  // nth=1: the second one is answered
    EXPECT_FALSE(Exchange(port(), "/filesync", FileRequest(13, PathPayload("/sdcard/d/a.bin"))).answered);
    EXPECT_FALSE(fs::exists(Local("/sdcard/d/a.bin")));

    EXPECT_EQ(Codes(Sync({InsertName(1, "a")})), (std::vector<std::int32_t>{1}));
    EXPECT_FALSE(Exchange(port(), "/tablesync", TableRequest({InsertName(2, "b")})).answered);
    EXPECT_EQ(Sql("SELECT name FROM playlists ORDER BY _id"),
              (std::vector<std::vector<std::string>>{{"a"}, {"b"}}));
}

TEST(CommandLine, BadFaultOptionsAndMissingRootAreRejected) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--root", dir.path(), "--fault", "explode"},
          std::vector<std::string>{"--root", dir.path(), "--fault", "status0:nth=0"},
          std::vector<std::string>{"--root", dir.path(), "--fault", "record0:cmd=14"},
          std::vector<std::string>{"--root", dir.path(), "--fault", "hold:cmd=table,path=/sdcard"},
          std::vector<std::string>{"--port", "70000"},
          std::vector<std::string>{}}) {
        ServiceProcess p(args);
        EXPECT_FALSE(p.started());
        EXPECT_EQ(p.Stop(), 2);
    }
}

}  // namespace
}  // namespace phone_service::test
