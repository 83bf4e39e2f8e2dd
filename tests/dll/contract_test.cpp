// The contract cases of tests/contract/cases.txt through the exported entry
// points: each PC file goes where MirroredPhonePath and the header's folder
// of its kind say, and the export gives the result the table gives. qsync's
// tests run the same table through qsync.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "contract_cases.h"
#include "platform/host_memory.h"
#include "platform/utf.h"
#include "quellsync_http.h"
#include "support/one_upload_job.h"
#include "support/phone_service.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using platform::AsHostText;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

struct ContractCase {
    std::string kind, pcName;
    int32_t result;
};

std::vector<ContractCase> ReadCases() {
    std::vector<ContractCase> cases;
    std::istringstream lines(kContractCases);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t first = line.find('\t'), second = line.find('\t', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            ADD_FAILURE() << "malformed case: " << line;
            continue;
        }
        cases.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1),
                         std::stoi(line.substr(second + 1))});
    }
    return cases;
}

struct Kind {
    int32_t(QS_CALL* run)(ConnectParams*, JobParams*);
    const char* folder;
};

std::string Mirrored(const std::u16string& pcPath, const std::string& phoneFolder) {
    const std::u16string folder = Utf8ToUtf16(phoneFolder);
    const int32_t length = MirroredPhonePath(AsHostText(pcPath), AsHostText(folder), nullptr, 0);
    EXPECT_GT(length, 0);
    std::u16string out(static_cast<size_t>(length) + 1, u'\0');
    EXPECT_EQ(MirroredPhonePath(AsHostText(pcPath), AsHostText(folder), reinterpret_cast<QS_WCHAR*>(&out[0]),
                                length + 1),
              length);
    out.resize(static_cast<size_t>(length));
    return Utf16ToUtf8(out);
}

}  // namespace

TEST(Contract, EveryCaseLandsWhereTheHeaderSaysWithItsResult) {
    const std::map<std::string, Kind> kinds = {
        {"music", {&SyncMusicFile, QS_FOLDER_MUSIC}},        {"photos", {&SyncPhotoFile, QS_FOLDER_PICTURES}},
        {"videos", {&SyncVideoFile, QS_FOLDER_MOVIES}},      {"documents", {&SyncDocumentFile, QS_FOLDER_DOCUMENTS}},
        {"playlists", {&SyncPlaylistFile, QS_FOLDER_PLAYLISTS}},
    };
    const auto service = PhoneService::Start();
    ASSERT_TRUE(service);
    const std::string device = "/sdcard/" + Unique("contract");
    const std::u16string url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(service->port()) + "/");
    const std::u16string role = u"device=" + Utf8ToUtf16(device);
    ScratchDir pc;
    const std::vector<ContractCase> cases = ReadCases();
    ASSERT_GE(cases.size(), 5u);
    for (const ContractCase& c : cases) {
        ASSERT_EQ(kinds.count(c.kind), 1u) << c.kind;
        const Kind& kind = kinds.at(c.kind);
        const fs::path file = pc.path() / fs::u8path(c.pcName);
        const std::string content = "content of " + c.pcName;
        if (c.result == 0) {
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << content;
        }
        const std::u16string pcPath = file.u16string();
        OneUploadJob upload(pcPath, url, role);
        const SyncItem& item = upload.item;
        EXPECT_EQ(kind.run(&upload.connect, &upload.job), c.result) << c.kind << " " << c.pcName;
        const std::string expected = Mirrored(pcPath, device + kind.folder);
        if (c.result != 0) {
            EXPECT_EQ(item.phonePath, nullptr) << c.pcName;
            EXPECT_FALSE(fs::exists(service->OnDisk(expected))) << c.pcName;
            continue;
        }
        ASSERT_NE(item.phonePath, nullptr) << c.pcName;
        EXPECT_EQ(Utf16ToUtf8(platform::FromHostText(item.phonePath)), expected) << c.kind << " " << c.pcName;
        EXPECT_EQ(ReadWholeFile(service->OnDisk(expected)), content) << c.pcName;
        platform::FreeHostText(item.phonePath);
    }
    // The answer's own edges: a null text, and a buffer too small to hold it.
    const std::u16string some = u"x";
    EXPECT_EQ(MirroredPhonePath(nullptr, AsHostText(some), nullptr, 0), -1);
    QS_WCHAR tiny[2] = {u'?', u'?'};
    const int32_t length = MirroredPhonePath(AsHostText(some), AsHostText(some), tiny, 2);
    EXPECT_GT(length, 1);
    EXPECT_EQ(tiny[0], u'?') << "nothing written when it does not fit";
}
