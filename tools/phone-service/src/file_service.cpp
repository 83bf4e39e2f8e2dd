#include "file_service.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"

namespace phone_service {
namespace {

constexpr std::int32_t kChunkSize = 65536;
constexpr std::int32_t kOk = 1;
constexpr std::int32_t kFailed = 0;
// Message parts are read whole into memory. The largest part whose answer (marker, word, status, block count) still
// fits the largest body the library accepts: 64 MiB.
constexpr off_t kMaxPartBytes = 64 * 1024 * 1024 - 32;
// Folder trees deeper than this are not walked by the empty-folder sweep.
constexpr int kMaxSweepDepth = 128;

struct Outcome {
    std::int32_t status = kFailed;
    Bytes result;
    std::string note;  // extra log detail
};

bool StatPath(const std::string& fs, struct stat& st) { return ::stat(fs.c_str(), &st) == 0; }

bool Exists(const std::string& fs) {
    struct stat st {};
    return ::lstat(fs.c_str(), &st) == 0;
}

std::int64_t MillisOf(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

void WriteInfo(WireWriter& w, const std::string& name, const std::string& fs, const struct stat& st) {
    const std::string base = fs.substr(fs.find_last_of('/') + 1);
    w.String(name);
    w.Int32(::access(fs.c_str(), R_OK) == 0 ? 1 : 0);
    w.Int32(::access(fs.c_str(), W_OK) == 0 ? 1 : 0);
    w.Int64(S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : 0);
    w.Int32(S_ISREG(st.st_mode) ? 1 : 0);
    w.Int32(S_ISDIR(st.st_mode) ? 1 : 0);
    w.Int32(!base.empty() && base[0] == '.' ? 1 : 0);
    w.Int64(MillisOf(st));
}

// mkdir -p for the folders above fs, each one inside the jail because the
// path was resolved by it. Folders made by a parallel request are fine.
bool MakeParents(const std::string& jail_root, const std::string& fs) {
    const std::size_t last = fs.find_last_of('/');
    if (last == std::string::npos || last <= jail_root.size()) return true;
    std::size_t pos = jail_root.size() + 1;
    while (pos <= last) {
        std::size_t next = fs.find('/', pos);
        if (next == std::string::npos || next > last) next = last;
        const std::string dir = fs.substr(0, next);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        pos = next + 1;
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t n, off_t offset) {
    while (n > 0) {
        const ssize_t k = ::pwrite(fd, data, n, offset);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        data += k;
        n -= static_cast<std::size_t>(k);
        offset += k;
    }
    return true;
}

bool ReadAt(int fd, Bytes& out, std::size_t n, off_t offset) {
    out.resize(n);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t k = ::pread(fd, out.data() + got, n - got, offset + static_cast<off_t>(got));
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return false;
        if (k == 0) break;
        got += static_cast<std::size_t>(k);
    }
    out.resize(got);
    return true;
}

// Removes the empty folders below dir, deepest first; dir itself stays.
// Links are never followed.
void SweepEmptyFolders(const std::string& dir, int depth) {
    if (depth > kMaxSweepDepth) return;
    std::vector<std::string> subdirs;
    {
        std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), &::closedir);
        if (!d) return;
        while (dirent* e = ::readdir(d.get())) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            const std::string sub = dir + "/" + e->d_name;
            struct stat st {};
            if (::lstat(sub.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) subdirs.push_back(sub);
        }
    }
    for (const auto& sub : subdirs) {
        SweepEmptyFolders(sub, depth + 1);
        ::rmdir(sub.c_str());  // fails, as intended, when something is left in it
    }
}

class Command {
public:
    Command(const PathJail& files, const PathJail& parts, MediaDb& db, const FileRequest& req)
        : files_(files), parts_(parts), db_(db), req_(req) {}

    std::string path;  // first path of the request, for the log

    Outcome Run() {
        switch (req_.command) {
            case kGetChunk: return GetChunk();
            case kPutChunk: return PutChunk();
            case kDeleteFile: return DeleteFile();
            case kGetInfo: return GetInfo();
            case kEnumDir: return EnumDir();
            case kScanMedia: return ScanMedia();
            case kDeletePath: return DeletePath();
            case kDeleteEmptyPath: return DeleteEmptyPath();
            case kRename: return Rename();
            case kGetMmsPart: return GetPart();
            case kPutMmsPart: return PutPart();
            default: return Refuse("unknown command");
        }
    }

private:
    static Outcome Refuse(std::string why) { Outcome o; o.note = std::move(why); return o; }
    static Outcome Done(Bytes result = {}) { Outcome o; o.status = kOk; o.result = std::move(result); return o; }

    // Resolves the request's first path; nullopt (with why set) when the
    // request is malformed or the path is refused.
    std::optional<ResolvedPath> ReadPath(const PathJail& jail, std::string& why) {
        if (req_.paths.empty()) { why = "malformed request"; return std::nullopt; }
        std::string p = req_.paths.front();
        if (path.empty()) path = p;
        // Part names are often bare ("PART_17"); they are taken relative
        // to the parts folder. Phone paths must be absolute.
        if (&jail == &parts_ && !p.empty() && p.front() != '/') p.insert(p.begin(), '/');
        auto r = jail.Resolve(p);
        if (!r) why = "path refused";
        return r;
    }

    Outcome GetChunk() {
        std::string why;
        auto r = ReadPath(files_, why);
        const std::int32_t offset = req_.offset, length = req_.length;
        if (req_.malformed) return Refuse("malformed request");
        if (!r) return Refuse(why);
        if (offset < 0 || length < 0) return Refuse("negative offset or length");
        UniqueFd fd(::open(r->fs.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Refuse("not a readable file");
        Bytes data;
        if (!ReadAt(fd.get(), data, static_cast<std::size_t>(std::min(length, kChunkSize)), offset))
            return Refuse("read failed");
        WireWriter w;
        w.Block(data);
        return Done(w.Take());
    }

    Outcome PutChunk() {
        std::string why;
        auto r = ReadPath(files_, why);
        const std::int32_t offset = req_.offset;
        const std::uint8_t* data = req_.data;
        const std::size_t n = req_.data_size;
        if (req_.malformed) return Refuse("malformed request");
        if (!r) return Refuse(why);
        if (r->is_root || offset < 0) return Refuse("bad target or offset");
        if (!MakeParents(files_.root(), r->fs)) return Refuse("cannot create folders");
        // No O_TRUNC: chunks arrive in any order over parallel connections
        // and each one is written in place.
        UniqueFd fd(::open(r->fs.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (!fd.valid()) return Refuse("cannot open for writing");
        if (!WriteAll(fd.get(), data, n, offset)) return Refuse("write failed");
        return Done();
    }

    Outcome DeleteFile() {
        std::string why;
        auto r = ReadPath(files_, why);
        if (!r) return Refuse(why);
        struct stat st {};
        if (::lstat(r->fs.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) { Outcome o = Done(); o.note = "absent"; return o; }
            return Refuse("cannot stat");
        }
        if (S_ISDIR(st.st_mode)) return Refuse("is a folder");
        if (::unlink(r->fs.c_str()) != 0) return Refuse("unlink failed");
        return Done();
    }

    Outcome GetInfo() {
        std::string why;
        auto r = ReadPath(files_, why);
        if (!r) return Refuse(why);
        WireWriter w;
        w.Int32(kGetInfo);
        struct stat st {};
        if (!StatPath(r->fs, st)) {
            w.Int32(0);  // found flag 0: absent, which is a successful answer
            Outcome o = Done(w.Take());
            o.note = "absent";
            return o;
        }
        w.Int32(1);
        WriteInfo(w, path, r->fs, st);
        return Done(w.Take());
    }

    Outcome EnumDir() {
        std::string why;
        auto r = ReadPath(files_, why);
        if (!r) return Refuse(why);
        WireWriter w;
        w.Int32(kEnumDir);
        struct stat st {};
        if (!StatPath(r->fs, st)) {
            // A folder the phone does not have is an empty answer, not a failure.
            w.Int32(0);
            Outcome o = Done(w.Take());
            o.note = "absent";
            return o;
        }
        if (!S_ISDIR(st.st_mode)) return Refuse("not a folder");
        std::vector<std::string> names;
        {
            std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(r->fs.c_str()), &::closedir);
            if (!d) return Refuse("cannot read folder");
            while (dirent* e = ::readdir(d.get())) {
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
                if (files_.EntryVisible(*r, e->d_name)) names.emplace_back(e->d_name);
            }
        }
        std::sort(names.begin(), names.end());
        const std::string prefix = (!path.empty() && path.back() == '/') ? path : path + "/";
        WireWriter entries;
        std::int32_t count = 0;
        for (const auto& name : names) {
            const std::string fs = r->fs + "/" + name;
            struct stat est {};
            if (!StatPath(fs, est)) continue;  // vanished meanwhile
            WriteInfo(entries, prefix + name, fs, est);
            ++count;
        }
        w.Int32(1);
        w.Int32(count);
        w.Raw(entries.bytes());
        Outcome o = Done(w.Take());
        o.note = std::to_string(count) + " entries";
        return o;
    }

    Outcome ScanMedia() {
        // The paths read before a malformed end are registered, then the
        // request is refused.
        WireWriter entries;
        std::int32_t found = 0;
        for (const std::string& p : req_.paths) {
            if (path.empty()) path = p;
            auto r = files_.Resolve(p);
            struct stat st {};
            if (!r || !StatPath(r->fs, st) || !S_ISREG(st.st_mode)) continue;
            auto id = db_.RegisterFile(r->canonical, MimeTypeFor(r->canonical), st.st_size, MillisOf(st));
            if (!id) return Refuse("database error");
            entries.String(p);  // byte for byte as asked: callers match on it
            entries.String(MimeTypeFor(r->canonical));
            entries.String(std::to_string(*id));
            ++found;
        }
        if (req_.malformed) return Refuse("malformed request");
        const std::size_t n = req_.paths.size();
        WireWriter w;
        w.Int32(kScanMedia);
        w.Int32(found);
        w.Raw(entries.bytes());
        Outcome o = Done(w.Take());
        o.note = std::to_string(found) + "/" + std::to_string(n) + " registered";
        return o;
    }

    Outcome DeletePath() {
        std::string why;
        auto r = ReadPath(files_, why);
        if (!r) return Refuse(why);
        if (r->is_root) return Refuse("will not delete the top folder");
        if (!Exists(r->fs)) { Outcome o = Done(); o.note = "absent"; return o; }
        std::error_code ec;
        std::filesystem::remove_all(r->fs, ec);  // does not follow links
        if (ec) return Refuse("remove failed");
        return Done();
    }

    Outcome DeleteEmptyPath() {
        std::string why;
        auto r = ReadPath(files_, why);
        if (!r) return Refuse(why);
        struct stat st {};
        if (!StatPath(r->fs, st)) { Outcome o = Done(); o.note = "absent"; return o; }
        if (!S_ISDIR(st.st_mode)) return Refuse("not a folder");
        SweepEmptyFolders(r->fs, 0);
        return Done();
    }

    Outcome Rename() {
        std::string why;
        auto from = ReadPath(files_, why);
        if (req_.malformed) return Refuse("malformed request");
        const std::string& second = req_.paths[1];
        if (!from) return Refuse(why);
        auto to = files_.Resolve(second);
        if (!to) return Refuse("second path refused");
        if (from->is_root || to->is_root) return Refuse("will not move the top folder");
        if (!Exists(from->fs)) return Refuse("source absent");
        // Refuse rather than silently replace what is already there.
        if (Exists(to->fs) && from->canonical != to->canonical) return Refuse("target exists");
        if (!MakeParents(files_.root(), to->fs)) return Refuse("cannot create folders");
        if (::rename(from->fs.c_str(), to->fs.c_str()) != 0) return Refuse("rename failed");
        return Done();
    }

    Outcome GetPart() {
        std::string why;
        auto r = ReadPath(parts_, why);
        if (!r) return Refuse(why);
        UniqueFd fd(::open(r->fs.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Refuse("no such part");
        if (st.st_size > kMaxPartBytes) return Refuse("part too large");
        Bytes data;
        if (!ReadAt(fd.get(), data, static_cast<std::size_t>(st.st_size), 0)) return Refuse("read failed");
        WireWriter w;
        w.Block(data);
        return Done(w.Take());
    }

    Outcome PutPart() {
        std::string why;
        auto r = ReadPath(parts_, why);
        const std::uint8_t* data = req_.data;
        const std::size_t n = req_.data_size;
        if (req_.malformed) return Refuse("malformed request");
        if (!r) return Refuse(why);
        if (r->is_root) return Refuse("no part name");
        if (!MakeParents(parts_.root(), r->fs)) return Refuse("cannot create folders");
        // A part is always sent whole, so it replaces what was there.
        UniqueFd fd(::open(r->fs.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid()) return Refuse("cannot open for writing");
        if (!WriteAll(fd.get(), data, n, 0)) return Refuse("write failed");
        return Done();
    }

    const PathJail& files_;
    const PathJail& parts_;
    MediaDb& db_;
    const FileRequest& req_;
};

}  // namespace

Bytes FrameFileAnswer(std::int32_t status, const Bytes& result) {
    WireWriter w;
    w.Raw(kSyncMarker);
    w.Int32(static_cast<std::int32_t>(4 + result.size()));
    w.Int32(status);
    w.Raw(result);
    return w.Take();
}

ServiceAnswer FileService::Handle(const Bytes& request) const {
    FileRequest req;
    ServiceAnswer a;
    if (!ParseFileRequest(request.data(), request.size(), req)) {
        a.body = FrameFileAnswer(kFailed);
        a.summary = "filesync malformed frame status=0";
        return a;
    }
    const std::int32_t code = req.command;
    Command cmd(files_, parts_, db_, req);
    Outcome o = cmd.Run();
    a.body = FrameFileAnswer(o.status, o.result);
    a.summary = "filesync cmd=" + std::to_string(code) + " path=\"" + LogQuote(cmd.path) + "\" status=" +
                std::to_string(o.status) + (o.note.empty() ? "" : " (" + o.note + ")");
    return a;
}

std::string LogQuote(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string MimeTypeFor(const std::string& path) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {"mp3", "audio/mpeg"},   {"m4a", "audio/mp4"},   {"aac", "audio/aac"},
        {"wav", "audio/x-wav"},  {"ogg", "audio/ogg"},   {"flac", "audio/flac"},
        {"wma", "audio/x-ms-wma"}, {"amr", "audio/amr"}, {"mid", "audio/midi"},
        {"jpg", "image/jpeg"},   {"jpeg", "image/jpeg"}, {"png", "image/png"},
        {"gif", "image/gif"},    {"bmp", "image/bmp"},   {"webp", "image/webp"},
        {"mp4", "video/mp4"},    {"3gp", "video/3gpp"},  {"avi", "video/avi"},
        {"mkv", "video/x-matroska"}, {"wmv", "video/x-ms-wmv"}, {"mov", "video/quicktime"},
        {"txt", "text/plain"},   {"pdf", "application/pdf"}, {"doc", "application/msword"},
        {"m3u", "audio/x-mpegurl"}, {"pls", "audio/x-scpls"}, {"wpl", "application/vnd.ms-wpl"},
    };
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "application/octet-stream";
    std::string ext = path.substr(dot + 1);
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& t : kTypes)
        if (ext == t.first) return t.second;
    return "application/octet-stream";
}

}  // namespace phone_service
