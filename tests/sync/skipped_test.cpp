// One item that fails, or that this computer cannot hold, is skipped and listed with its reason:
// the rest of the pass (uploads included) goes on, the pass counts as finished so the heartbeat
// does not ask again at every cycle, and the item is tried again after its wait or when the user
// asks for a sync.
#include <unistd.h>

#include <string>

#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "service/heartbeat.h"
#include "support/tempdir.h"
#include "upload_fixture.h"

namespace {

constexpr int64_t kOld = 1600000000;

// A server path the service takes (about 4,000 bytes) whose local path is longer than this
// computer allows.
std::string OverlongPath() {
    std::string path;
    for (int i = 0; i < 20; ++i)
        path += std::string(200, static_cast<char>('a' + i)) + "/";
    return path + "f.txt";
}

class SkippedTest : public uptest::UploadTest {
  public:
    // The listed item whose path holds `part`, or an empty one.
    CSkippedItems::Item Listed(const std::string& part) const {
        for (const CSkippedItems::Item& item : work_->GetSkipped().Items()) {
            if (item.path.find(part) != std::string::npos)
                return item;
        }
        return {};
    }
    int Told(const std::string& part) {
        int n = 0;
        for (const platform::WindowMessage& m : front_.MessagesWithCode(platform::WM_ITEM_NOT_SYNCED))
            n += m.text.find(part) != std::string::npos ? 1 : 0;
        return n;
    }
};

TEST_F(SkippedTest, AnEntryThatCannotBeWrittenHereDoesNotHoldBackTheNewLocalFiles) {
    testsupport::TempDir outside;
    Put("known/a.txt", "a", kOld);
    StartUploadEngine();
    ASSERT_TRUE(platform::RemoveFile(Local("known/a.txt")));
    ASSERT_TRUE(platform::RemoveDir(Local("known")));
    ASSERT_EQ(symlink(outside.Path().c_str(), Local("known").c_str()), 0);

    struct Case {
        const char* what;
        std::string serverPath;  // put on the service before the pass
        std::string part;        // of the listed path
        const char* reason;
    } cases[] = {
        {"a path longer than this computer allows", OverlongPath(), "/f.txt", notsynced::kTooLong},
        {"a link in place of a known folder", "known/y.txt", "/known/y.txt", notsynced::kInTheWay},
        {"a name that climbs out of the home folder", "..\\x.txt", "x.txt", notsynced::kUnsafeName},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Put(c.serverPath, "server", kOld);
        const std::string mine = "mine-" + std::to_string(++n) + ".txt";
        WriteLocal(mine, "mine");
        ASSERT_TRUE(Sync());
        EXPECT_EQ(ServerBytes(mine), "mine") << "the same pass sends the local file";
        EXPECT_EQ(LastStatus(), "Sync unfinished");
        EXPECT_EQ(Listed(c.part).reason, c.reason);
        // The main window shows the pass as not finished, with the count.
        const std::vector<platform::WindowMessage> halts = front_.MessagesWithCode(platform::WM_SYNC_HALTED);
        ASSERT_FALSE(halts.empty());
        EXPECT_EQ(halts.back().wParam, platform::kSyncError);
        EXPECT_EQ(halts.back().text,
                  std::to_string(work_->GetSkipped().Count()) +
                      (work_->GetSkipped().Count() == 1 ? " item not synced" : " items not synced"));
        EXPECT_EQ(engine_->Reported(), 1) << "the pass counts as finished";
        EXPECT_EQ(engine_->RetryAt(), 0) << "no retry of its own: the next change looks again";

        // Listed as long as the service lists it, and told to the front end once.
        ASSERT_TRUE(Sync());
        EXPECT_EQ(Listed(c.part).reason, c.reason);
        EXPECT_EQ(Told(c.part), 1);
    }
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::ListDir(outside.Path(), &entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(SkippedTest, AFailedUploadWaitsItsTurnUnlessTheUserAsksForASync) {
    StartUploadEngine();
    work_->SetRetryDelays(60000, 600000);
    WriteLocal("a.txt", "first");
    WriteLocal("b.txt", "second");
    ASSERT_TRUE(server_.Fault("upload_file", "refuse", 1, 8));
    const int64_t before = CHeartBeat::SteadyNowMs();
    ASSERT_TRUE(Sync());
    // New small files go up side by side: the refusal meets whichever offer came first.
    const bool aRefused = ServerBytes("a.txt") == "<missing>";
    const std::string refused = aRefused ? "a.txt" : "b.txt", content = aRefused ? "first" : "second";
    EXPECT_EQ(ServerBytes(aRefused ? "b.txt" : "a.txt"), aRefused ? "second" : "first");
    EXPECT_EQ(ServerBytes(refused), "<missing>");
    EXPECT_EQ(Listed("/" + refused).reason, notsynced::kUpload);
    EXPECT_EQ(engine_->Reported(), 1);
    EXPECT_GE(engine_->RetryAt(), before + 60000) << "the heartbeat asks when it is due";

    // A pass for another change leaves it waiting.
    const int uploads = Requests("upload_file");
    WriteLocal("c.txt", "third");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(ServerBytes("c.txt"), "third");
    EXPECT_EQ(Requests("upload_file") - uploads, 1) << "only c.txt was offered";
    EXPECT_EQ(Listed("/" + refused).failures, 1);

    // The user's sync tries it at once; it leaves the list as it succeeds.
    const int ends = PassEnds();
    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, platform::kMainWindowHandle), 1);
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_EQ(ServerBytes(refused), content);
    EXPECT_EQ(work_->GetSkipped().Count(), 0u);
    // The window heard which item the pass took up.
    bool told = false;
    for (const platform::WindowMessage& m : front_.MessagesWithCode(platform::WM_SYNC_PROGRESS))
        told = told || m.text == "/" + refused;
    EXPECT_TRUE(told);
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(engine_->RetryAt(), 0);
}

// A refusal of the session is not the item's: the pass fails, and the driver signs in again.
TEST_F(SkippedTest, ASessionRefusedInTheMiddleOfTheUploadsIsNotASkippedItem) {
    StartUploadEngine();
    WriteLocal("a.txt", "first");
    const int logins = engine_->Logins();
    ASSERT_TRUE(server_.Fault("upload_file", "refuse", 1, 29));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(engine_->Logins(), logins + 1);
    EXPECT_EQ(Listed("/a.txt").path, "");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(ServerBytes("a.txt"), "first");
}

TEST_F(SkippedTest, NamesThatDifferOnlyInLetterCaseAreListedUntilTheClashIsGone) {
    StartUploadEngine();
    WriteLocal("Report.txt", "upper");
    WriteLocal("report.txt", "lower");
    WriteLocal("other.txt", "other");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(ServerBytes("other.txt"), "other");
    EXPECT_EQ(work_->GetSkipped().Count(), 1u) << ServerLs() << log_.Text();
    const CSkippedItems::Item clash = Listed("eport.txt");
    EXPECT_EQ(clash.reason, notsynced::kCaseClash);
    EXPECT_EQ(engine_->Reported(), 1);

    ASSERT_TRUE(platform::RemoveFile(Local(clash.path.substr(1))));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(work_->GetSkipped().Count(), 0u) << "a pass that no longer meets it drops it";
    EXPECT_EQ(LastStatus(), "Sync finished");
}

}  // namespace
