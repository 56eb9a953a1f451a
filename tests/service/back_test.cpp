// CBack against the reference service: registration and sign-in, the upload conversation to its
// commit, listings (plain and compressed), one file's description, names with "&" and Chinese
// characters, shared folders, rename and remove, refusals with their reasons, and the time-out.
#include "back_fixture.h"

#include <regex>

using backtest::BackServiceTest;
using backtest::FileOf;
using backtest::FolderOf;
using backtest::Md5;
using testsupport::TestServer;

namespace {

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    while (out.size() < n)
        out += s;
    out.resize(n);
    return out;
}

}  // namespace

TEST_F(BackServiceTest, RegistersAndSignsIn) {
    EXPECT_TRUE(std::regex_match(hostId_, std::regex("[0-9a-f]{32}"))) << hostId_;
    EXPECT_EQ(back_.GetReason(), "");
    EXPECT_EQ(back_.GetLastReason(), "");
    EXPECT_TRUE(log_.Contains("request:<operation name=\"login\" version=\"version01\" src=\"windows\">"));
    EXPECT_TRUE(log_.Contains("reponse:<operation"));
}

TEST_F(BackServiceTest, RefusalKeepsReasonAndLastReasonUntilCleared) {
    CBack other;
    ASSERT_TRUE(other.Init(server_.BackUrl(), TestServer::kUser, TestServer::kPassword, hostId_, ""));
    other.SetCredentials(TestServer::kUser, TestServer::kPassword, std::string(32, '0'));
    std::string ack = "before";
    EXPECT_FALSE(other.Login(&ack));
    EXPECT_EQ(ack, "fail");
    EXPECT_EQ(other.GetReason(), "29");
    EXPECT_EQ(other.GetLastReason(), "29");
    EXPECT_TRUE(log_.Contains("Get a ack (fail) with reason (29)"));

    other.ClearReason();
    EXPECT_EQ(other.GetReason(), "");
    EXPECT_EQ(other.GetLastReason(), "29") << "ClearReason empties the reason only";

    // A reply that says "OK" empties both.
    other.SetCredentials(TestServer::kUser, TestServer::kPassword, passport_);
    EXPECT_TRUE(other.Login(&ack));
    EXPECT_EQ(other.GetLastReason(), "");

    // A wrong password digest is refused with its own code.
    other.SetCredentials(TestServer::kUser, "wrong", passport_);
    EXPECT_FALSE(other.Login(&ack));
    EXPECT_EQ(other.GetLastReason(), "6");
}

TEST_F(BackServiceTest, UploadConversationCommitsAndListingsDescribeTheFile) {
    const std::string a = Repeat("chunk A bytes ", 5000), b = Repeat("chunk B ", 1234);
    CFileInfo f = FileOf("alice/docs/plan.doc", {a, b}, 133000000000000000LL);
    ASSERT_EQ(UploadAll(FolderOf("alice/docs"), nullptr, {}), "all_chunk_exist");

    // The first answer names the first missing chunk and its storage key.
    std::string ack;
    CChunkInfo next;
    ASSERT_TRUE(back_.Upload(f, nullptr, &ack, &next)) << log_.Text();
    EXPECT_EQ(ack, "upload_chunk");
    EXPECT_EQ(next.key, Md5(a));
    EXPECT_TRUE(std::regex_match(next.storageKey, std::regex("sk[0-9a-f]{32}"))) << next.storageKey;
    EXPECT_EQ(next.size, 0) << "only key and storage key are filled";
    ASSERT_EQ(UploadAll(f, nullptr, {a, b}), "all_chunk_exist") << log_.Text();

    CBack::FileMap map;
    ASSERT_TRUE(back_.GetList("alice", &ack, &map)) << log_.Text();
    EXPECT_EQ(ack, "OK");
    ASSERT_EQ(map.count("alice/docs/plan.doc"), 1u);
    const CFileInfo& listed = map["alice/docs/plan.doc"];
    EXPECT_EQ(listed.path, "alice/docs/plan.doc");
    EXPECT_EQ(listed.dirFlag, 0);
    EXPECT_EQ(listed.size, f.size);
    EXPECT_EQ(listed.modifyTime, f.modifyTime);
    EXPECT_EQ(listed.chunkCount, 2);
    EXPECT_EQ(listed.chunkListText, f.chunkListText);
    ASSERT_EQ(listed.chunks.size(), 2u);
    EXPECT_EQ(listed.chunks[1].key, Md5(b));
    EXPECT_EQ(map["alice/docs"].dirFlag, 1);

    CFileInfo described;
    ASSERT_TRUE(back_.Download("alice/docs/plan.doc", &ack, &described)) << log_.Text();
    EXPECT_EQ(described.path, "alice/docs/plan.doc");
    EXPECT_EQ(described.size, f.size);
    EXPECT_EQ(described.chunkListText, f.chunkListText);
    ASSERT_EQ(described.chunks.size(), 2u);
    EXPECT_EQ(described.chunks[0].size, static_cast<int32_t>(a.size()));
    EXPECT_FALSE(described.chunks[0].storageKey.empty());

    std::vector<CFileInfo> all;
    ASSERT_TRUE(back_.DownloadAll(&ack, &all)) << log_.Text();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].path, "alice") << "the root comes first";
    EXPECT_NE(all[0].dirFlag, 0);
    EXPECT_EQ(all[2].path, "alice/docs/plan.doc");
    EXPECT_EQ(all[2].chunkListText, f.chunkListText);
    EXPECT_EQ(all[2].chunks[1].size, static_cast<int32_t>(b.size()));

    // The same content again, as a change of the stored version, needs no chunk.
    CFileInfo previous = described;
    CFileInfo again = f;
    again.modifyTime += 10000000;
    EXPECT_TRUE(back_.Upload(again, &previous, &ack, &next)) << log_.Text();
    EXPECT_EQ(ack, "all_chunk_exist");
    EXPECT_TRUE(next.key.empty());

    // A new file over a different existing one is a conflict the caller resolves.
    CFileInfo clash = FileOf("alice/docs/plan.doc", {b}, 133000000000000001LL);
    EXPECT_TRUE(back_.Upload(clash, nullptr, &ack, &next));
    EXPECT_EQ(ack, "move_conflic_file");
    EXPECT_TRUE(log_.Contains("!!!Get ack: move_conflic_file"));
}

TEST_F(BackServiceTest, CompressedListingsReadLikePlainOnes) {
    PutFortyFiles();
    if (HasFatalFailure())
        return;
    std::string ack;
    ASSERT_TRUE(server_.SetCompressThreshold(-1));
    CBack::FileMap plainMap, packedMap;
    std::vector<CFileInfo> plainAll, packedAll;
    ASSERT_TRUE(back_.GetList("alice", &ack, &plainMap));
    ASSERT_TRUE(back_.DownloadAll(&ack, &plainAll));
    ASSERT_TRUE(server_.SetCompressThreshold(0));
    const size_t before = log_.Text().size();
    ASSERT_TRUE(back_.GetList("alice", &ack, &packedMap)) << log_.Text();
    ASSERT_TRUE(back_.DownloadAll(&ack, &packedAll)) << log_.Text();
    const std::string packedLog = log_.Text().substr(before);
    EXPECT_FALSE(packedLog.find("compress=\"0\"") != std::string::npos)
        << "the listings travelled compressed";
    EXPECT_TRUE(packedLog.find("<file_list_rsp compress=\"") != std::string::npos);

    ASSERT_EQ(plainMap.size(), 41u);
    ASSERT_EQ(packedMap.size(), plainMap.size());
    for (const auto& [key, info] : plainMap) {
        ASSERT_EQ(packedMap.count(key), 1u) << key;
        const CFileInfo& p = packedMap[key];
        EXPECT_EQ(p.path, info.path);
        EXPECT_EQ(p.size, info.size);
        EXPECT_EQ(p.modifyTime, info.modifyTime);
        EXPECT_EQ(p.chunkListText, info.chunkListText);
    }
    EXPECT_EQ(plainMap.count("alice/d/file7.txt"), 1u) << "keys are lower-cased";
    EXPECT_EQ(plainMap["alice/d/file7.txt"].path, "alice/d/File7.txt");
    ASSERT_EQ(packedAll.size(), plainAll.size());
    for (size_t i = 0; i < plainAll.size(); ++i) {
        EXPECT_EQ(packedAll[i].path, plainAll[i].path);
        EXPECT_EQ(packedAll[i].chunkListText, plainAll[i].chunkListText);
    }
}

TEST_F(BackServiceTest, NamesWithAmpersandAndChineseTravelBothWays) {
    // "计划 & 预算" in the (UTF-8) code page of the test machine.
    const std::string folder = "alice/\xE8\xAE\xA1\xE5\x88\x92 & \xE9\xA2\x84\xE7\xAE\x97";
    ASSERT_EQ(UploadAll(FolderOf(folder), nullptr, {}), "all_chunk_exist") << log_.Text();
    const std::string piece = "R&D numbers";
    CFileInfo f = FileOf(folder + "/a&b.txt", {piece}, 5);
    ASSERT_EQ(UploadAll(f, nullptr, {piece}), "all_chunk_exist") << log_.Text();

    std::string ack;
    CBack::FileMap map;
    ASSERT_TRUE(back_.GetList("alice", &ack, &map));
    ASSERT_EQ(map.count(CBack::ListKey(f.path)), 1u);
    // Decoding is one level deep: the service stored "a&b.txt", not an escaped form.
    EXPECT_EQ(map[CBack::ListKey(f.path)].path, f.path);
    EXPECT_TRUE(log_.Contains("&amp;#x8BA1;")) << "names come back as references";

    ASSERT_TRUE(back_.Rename(f.path, folder + "/c&d.txt", &ack)) << log_.Text();
    CFileInfo described;
    ASSERT_TRUE(back_.Download(folder + "/c&d.txt", &ack, &described));
    EXPECT_EQ(described.path, folder + "/c&d.txt");

    ASSERT_TRUE(back_.Remove(folder, &ack));
    ASSERT_TRUE(back_.GetList("alice", &ack, &map));
    EXPECT_TRUE(map.empty());
    EXPECT_FALSE(back_.Download(folder + "/c&d.txt", &ack, &described));
    EXPECT_EQ(ack, "fail");
    EXPECT_EQ(back_.GetReason(), "7");
}

TEST_F(BackServiceTest, SharedFolderCarriesItsIdAndOwner) {
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    testsupport::TempDir local;
    local.WriteFile("team/notes.txt", "shared notes");
    ASSERT_TRUE(server_.Put("bob", local.Sub("team"), "team"));
    // The id printed by the command line is not relied on: the listing names it.
    ASSERT_EQ(server_.Cli("share", {"bob", "team", TestServer::kUser}), 0);

    std::string ack;
    CBack::FileMap map;
    ASSERT_TRUE(back_.GetList("alice", &ack, &map)) << log_.Text();
    ASSERT_EQ(map.count("alice/team"), 1u) << log_.Text();
    const int32_t id = map["alice/team"].dirFlag;
    EXPECT_GE(id, 10);
    EXPECT_EQ(map["alice/team"].ownerName, "bob");
    ASSERT_EQ(map.count(std::to_string(id) + "/notes.txt"), 1u);
    EXPECT_EQ(map[std::to_string(id) + "/notes.txt"].size, 12);

    std::vector<CFileInfo> all;
    ASSERT_TRUE(back_.DownloadAll(&ack, &all));
    bool found = false;
    for (const CFileInfo& e : all)
        found = found || (e.path == "alice/team" && e.dirFlag == id && e.ownerName == "bob");
    EXPECT_TRUE(found);
}

TEST_F(BackServiceTest, RefusalsFromTheServiceAreWordedPerOperation) {
    const std::string piece = "x";
    CFileInfo f = FileOf("alice/x.txt", {piece}, 5);
    std::string ack;
    CChunkInfo next;

    ASSERT_TRUE(server_.Fault("upload_file", "refuse", 1, 9));
    EXPECT_FALSE(back_.Upload(f, nullptr, &ack, &next));
    EXPECT_EQ(ack, "fail");
    EXPECT_TRUE(log_.Contains("get a ack (fail) with reason (9)"));

    ASSERT_TRUE(back_.Upload(f, nullptr, &ack, &next));
    ASSERT_EQ(ack, "upload_chunk");
    ASSERT_TRUE(backtest::StoreChunk(server_, TestServer::kUser, TestServer::kPassword, hostId_, next.key,
                                     next.storageKey, piece));
    ASSERT_TRUE(server_.Fault("chunk_uploaded", "refuse", 1, 8));
    EXPECT_FALSE(back_.ChunkDone(f, next, &ack, &next));
    EXPECT_EQ(log_.LastError(), "Get a ack (fail) with reason (8)") << "chunk done refusals are errors";

    // "delay" is the server's word for "try again later": it reaches the caller as the ack.
    ASSERT_TRUE(server_.Fault("login", "delay", 1));
    EXPECT_FALSE(back_.Login(&ack));
    EXPECT_EQ(ack, "delay");
    EXPECT_EQ(back_.GetLastReason(), "24");

    ASSERT_TRUE(back_.Rename("alice/none.txt", "alice/other.txt", &ack) == false);
    EXPECT_EQ(back_.GetReason(), "7");
    EXPECT_TRUE(log_.Contains("Get a ack (fail) with reason (7)"));
}

TEST_F(BackServiceTest, StalledServiceIsGivenUpAfterTheDeadline) {
    back_.Channel().SetDeadlineMs(300);
    ASSERT_TRUE(server_.Fault("file_list", "stall", 1, -1, 2000));
    std::string ack = "untouched";
    CBack::FileMap map;
    map["kept"] = CFileInfo("kept");
    EXPECT_FALSE(back_.GetList("alice", &ack, &map));
    EXPECT_EQ(ack, "untouched");
    EXPECT_EQ(map.size(), 1u) << "the caller's map is left as it was";
    EXPECT_EQ(log_.LastError(), "get filelist time out!");

    // The abandoned call does not spoil the next one.
    back_.Channel().SetDeadlineMs(37000);
    EXPECT_TRUE(back_.GetList("alice", &ack, &map)) << log_.Text();
    EXPECT_EQ(ack, "OK");
    EXPECT_TRUE(map.empty());
}
