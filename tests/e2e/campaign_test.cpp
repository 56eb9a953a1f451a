// The randomized race campaign (campaign.h): two computers of one account and a third host change
// the same tree at once, round after round, and no file a user left behind may be lost. Also the
// campaign's own model, which must flag a lost content and let allowed outcomes pass.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <utility>

#include "e2e/campaign.h"

namespace {

using e2e::Computer;
using e2e::FileSig;
using e2e::Tree;
namespace campaign = e2e::campaign;

// The seeds every `make test` runs (KESTRINE_CAMPAIGN_SEEDS replaces them). A seed that caught an
// engine fault belongs here as a regression case once the engine handles it.
const std::vector<uint64_t> kRegressionSeeds = {1, 2, 3};
constexpr int kRounds = 4;  // KESTRINE_CAMPAIGN_ROUNDS replaces it

class Campaign : public ::testing::TestWithParam<uint64_t> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start()) << server_.Error();
        laptop_ = std::make_unique<Computer>(server_, "laptop");
        desktop_ = std::make_unique<Computer>(server_, "desktop");
    }

    void TearDown() override {
        for (Computer* c : {laptop_.get(), desktop_.get()}) {
            if (c && c->Running()) {
                EXPECT_TRUE(c->Stop()) << c->Name() << " did not end cleanly:\n" << c->Console();
            }
        }
    }

    testsupport::TestServer server_;
    std::unique_ptr<Computer> laptop_, desktop_;
};

TEST_P(Campaign, NoFileIsLostWhenTwoComputersRace) {
    campaign::Run run(GetParam(), server_, *laptop_, *desktop_);
    ASSERT_TRUE(run.Setup());
    const int rounds = campaign::RoundsFromEnvironment(kRounds);
    for (int round = 1; round <= rounds; ++round)
        ASSERT_TRUE(run.Round(round));
}

INSTANTIATE_TEST_SUITE_P(Seeds, Campaign,
                         ::testing::ValuesIn(campaign::SeedsFromEnvironment(kRegressionSeeds)),
                         [](const ::testing::TestParamInfo<uint64_t>& info) {
                             return "seed_" + std::to_string(info.param);
                         });

// --- The model, without any client ---

campaign::Op MakeOp(campaign::Side side, campaign::OpKind kind, const std::string& path,
                    const std::string& content = "", const std::string& to = "") {
    campaign::Op op;
    op.side = side;
    op.kind = kind;
    op.path = path;
    op.to = to;
    if (!content.empty()) {
        op.data = std::make_shared<const std::string>(content);
        op.sig = FileSig(content);
    }
    return op;
}

struct ModelCase {
    const char* name;
    Tree before;
    std::vector<campaign::Op> ops;
    Tree after;
    std::set<std::pair<std::string, std::string>> want;  // (invariant, path) of every violation
};

// `base` with some entries changed ("" removes one).
Tree With(Tree base, const std::vector<std::pair<std::string, std::string>>& changes) {
    for (const auto& [rel, sig] : changes) {
        if (sig.empty())
            base.erase(rel);
        else
            base[rel] = sig;
    }
    return base;
}

std::vector<ModelCase> ModelCases() {
    using campaign::OpKind;
    using campaign::Side;
    const std::string v1 = "version one", v2 = "version two", v3 = "version three";
    const std::string copy = ".conflict(2024-01-31-23-59-59-999)";
    const Tree base = {
        {"anchor", FileSig("anchor")}, {"a.txt", FileSig(v1)}, {"d", "dir"}, {"d/x", FileSig(v3)}};
    return {
        {"edit against delete, the edit kept as a conflict copy",
         base,
         {MakeOp(Side::kLaptop, OpKind::kEdit, "a.txt", v2),
          MakeOp(Side::kDesktop, OpKind::kDeleteFile, "a.txt")},
         With(base, {{"a.txt", ""}, {"a.txt" + copy, FileSig(v2)}}),
         {}},
        {"edit against delete, the edit gone",
         base,
         {MakeOp(Side::kLaptop, OpKind::kEdit, "a.txt", v2),
          MakeOp(Side::kDesktop, OpKind::kDeleteFile, "a.txt")},
         With(base, {{"a.txt", ""}}),
         {{"lost", "a.txt"}}},
        {"a deletion nobody else came near, not carried out",
         base,
         {MakeOp(Side::kLaptop, OpKind::kDeleteFile, "a.txt")},
         base,
         {{"one-sided change not carried out", "a.txt"}}},
        {"a rename nobody else came near, not carried out",
         base,
         {MakeOp(Side::kDesktop, OpKind::kRenameFile, "a.txt", "", "d/a.txt")},
         base,
         {{"one-sided change not carried out", "a.txt"}, {"one-sided change not carried out", "d/a.txt"}}},
        {"a folder renamed while the other side adds a file in it: the added file kept",
         base,
         {MakeOp(Side::kLaptop, OpKind::kRenameFolder, "d", "", "e"),
          MakeOp(Side::kDesktop, OpKind::kNewFile, "d/y", v2)},
         With(base, {{"d", ""}, {"d/x", ""}, {"e", "dir"}, {"e/x", FileSig(v3)}, {"e/y", FileSig(v2)}}),
         {}},
        {"a folder renamed while the other side adds a file in it: the added file gone",
         base,
         {MakeOp(Side::kLaptop, OpKind::kRenameFolder, "d", "", "e"),
          MakeOp(Side::kDesktop, OpKind::kNewFile, "d/y", v2)},
         With(base, {{"d", ""}, {"d/x", ""}, {"e", "dir"}, {"e/x", FileSig(v3)}}),
         {{"lost", "d/y"}}},
        {"a content replaced by the other side may go; an extra conflict copy is fine",
         base,
         {MakeOp(Side::kDesktop, OpKind::kEdit, "a.txt", v2)},
         With(base, {{"a.txt", FileSig(v2)}, {"a.txt" + copy, FileSig(v1)}}),
         {}},
        {"the service removes a folder the laptop adds to: the added file kept",
         base,
         {MakeOp(Side::kService, OpKind::kServiceRm, "d"),
          MakeOp(Side::kLaptop, OpKind::kNewFile, "d/y", v2)},
         With(base, {{"d/x", ""}, {"d/y", FileSig(v2)}}),
         {}},
        {"the service removes a folder the laptop adds to: everything gone",
         base,
         {MakeOp(Side::kService, OpKind::kServiceRm, "d"),
          MakeOp(Side::kLaptop, OpKind::kNewFile, "d/y", v2)},
         With(base, {{"d", ""}, {"d/x", ""}}),
         {{"lost", "d/y"}}},
        {"an untouched file changed, and its content with it",
         base,
         {MakeOp(Side::kLaptop, OpKind::kNewFile, "n.txt", v2)},
         With(base, {{"n.txt", FileSig(v2)}, {"d/x", FileSig(v1)}}),
         {{"untouched changed", "d/x"}, {"lost", "d/x"}}},
        {"a folder renamed twice while the other side adds a file in it: the name between comes back",
         base,
         {MakeOp(Side::kDesktop, OpKind::kRenameFolder, "d", "", "e"),
          MakeOp(Side::kDesktop, OpKind::kRenameFolder, "e", "", "f"),
          MakeOp(Side::kLaptop, OpKind::kNewFile, "d/y", v2)},
         With(base, {{"d/x", ""},
                     {"d/y", FileSig(v2)},
                     {"e", "dir"},
                     {"e/x", FileSig(v3)},
                     {"f", "dir"},
                     {"f/x", FileSig(v3)}}),
         {{"invented path", "e"}}},
    };
}

TEST(CampaignModel, FlagsLossesAndLetsAllowedOutcomesPass) {
    using campaign::Side;
    for (const ModelCase& c : ModelCases()) {
        campaign::Sides sides;
        for (size_t i = 0; i < campaign::kSides; ++i) {
            sides[i].side = static_cast<Side>(i);
            sides[i].view = campaign::ViewOfTree(c.before);
        }
        for (const campaign::Op& op : c.ops)
            sides[static_cast<size_t>(op.side)].Apply(op);
        std::set<std::pair<std::string, std::string>> got;
        std::string text;
        for (const campaign::Violation& v :
             campaign::CheckRound(campaign::ViewOfTree(c.before), sides, c.after)) {
            got.insert({v.invariant, v.path});
            text += campaign::Describe(v) + "\n";
        }
        EXPECT_EQ(got, c.want) << c.name << ":\n" << text;
    }
}

TEST(CampaignSeeds, ParsesListsAndRanges) {
    const std::vector<std::pair<std::string, std::optional<std::vector<uint64_t>>>> cases = {
        {"7", std::vector<uint64_t>{7}},
        {"1,2,7", std::vector<uint64_t>{1, 2, 7}},
        {"1-4", std::vector<uint64_t>{1, 2, 3, 4}},
        {"3,10-12", std::vector<uint64_t>{3, 10, 11, 12}},
        {"5-5", std::vector<uint64_t>{5}},
        {"", std::nullopt},
        {"4-2", std::nullopt},
        {"1,,2", std::nullopt},
        {"1,", std::nullopt},
        {"-3", std::nullopt},
        {"one", std::nullopt},
        {"1 2", std::nullopt},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(campaign::ParseSeeds(text), want) << '"' << text << '"';
}

}  // namespace
