// A seeded randomized campaign: two computers of one account (and the service's command line as a
// third host) change the same small tree while both clients are frozen, then race to agree. After
// every round the settled tree is held against a model of what each side did: nothing a side left
// behind may be lost, untouched entries stay as they were, a change nobody else came near is
// carried out everywhere, and no path appears that no side ever held.
//
// The model (SideRound, CheckRound, Planner) is plain data and logic; Run drives the real clients.
// All randomness comes from one std::mt19937_64 seeded by the campaign's seed, so a seed replays
// the same operations for as long as the earlier rounds settled on the same trees. Every object
// here belongs to the one test thread that made it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace e2e::campaign {

enum class Side { kLaptop = 0, kDesktop = 1, kService = 2 };
const char* SideName(Side side);
constexpr size_t kSides = 3;

// A file name the client gives a moved-aside local edit ("<name>.conflict(YYYY-MM-...-mmm)").
bool IsConflictCopy(const std::string& rel);
// True when one path is the other or lies inside it.
bool Related(const std::string& a, const std::string& b);

// One entry of a side's view of the tree during a round.
struct Entry {
    bool dir = false;
    std::shared_ptr<const std::string> data;  // files only
    std::string sig;                          // "dir", or "<size>:<md5>" of data
    bool written = false;                     // content this side made in this round
    std::string origin;                       // a file from before the round: its path then
};
using View = std::map<std::string, Entry>;

// The view of a settled tree at the start of a round (every file carried from its own path).
View ViewOf(const std::string& folder);
View ViewOfTree(const Tree& tree);  // without contents, for the model's own tests
Tree TreeOf(const View& view);

enum class OpKind {
    kNewFile,
    kEdit,      // new content saved in place
    kByteEdit,  // one byte of a multi-chunk file changed, saved in place
    kDeleteFile,
    kRenameFile,  // also into another folder
    kMakeFolder,
    kDeleteFolder,  // with its contents
    kRenameFolder,
    kServicePut,  // a new file or a new version, from another host
    kServiceRm,   // a file or a folder, from another host
};

struct Op {
    Side side = Side::kLaptop;
    OpKind kind = OpKind::kNewFile;
    std::string path, to;                     // `to` for renames
    std::shared_ptr<const std::string> data;  // new content for writes
    std::string sig;                          // of data
    long long byteAt = -1;                    // the changed byte of kByteEdit

    std::vector<std::string> Paths() const;
    std::string Describe() const;
};

// What one side did in a round: its view after its operations, every path its operations named,
// and the pre-round paths whose content it deleted or overwrote on purpose.
struct SideRound {
    Side side = Side::kLaptop;
    View view;
    std::vector<Op> ops;
    std::set<std::string> footprint;
    std::set<std::string> destroyed;

    void Apply(const Op& op);

  private:
    void Drop(const std::string& rel);  // the entry and everything under it
};
using Sides = std::array<SideRound, kSides>;

struct Violation {
    // "lost", "untouched changed", "one-sided change not carried out", "invented path"
    std::string invariant;
    std::string path;  // where the checked content or entry was
    std::string sig;   // the content that went missing, when one did
    std::string detail;
    std::vector<std::string> clues;  // paths whose log lines tell what happened
};
std::string Describe(const Violation& v);

// Holds the settled tree `after` against the round; `before` is the tree all sides started from.
// Where two sides touched related paths only the survival of their contents is asked for: which
// version wins a path, and how many conflict copies appear, is the client's choice.
std::vector<Violation> CheckRound(const View& before, const Sides& sides, const Tree& after);

// Random operations and contents, all from the campaign's one generator.
class Planner {
  public:
    explicit Planner(std::mt19937_64& rng) : rng_(rng) {}

    // The tree the campaign starts from: folders, nested folders, small files and one file of
    // 8 to 12 MiB; `anchor` is a file no operation touches, so the tree is never empty.
    View InitialTree(const std::string& anchor);
    // One operation of `side` on its current view; half of the time it aims at entries related to
    // `hints` (what the other sides touched this round), so that sides race for the same paths.
    Op Next(Side side, const View& view, const std::set<std::string>& hints, const std::string& anchor);
    std::shared_ptr<const std::string> Content(const std::string& label, size_t size);
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng_() % n); }

  private:
    // Fills in op->path, op->to and op->data for op->kind; false when the view has nothing to
    // apply it to.
    bool Plan(const View& view, const std::set<std::string>& hints, const std::string& anchor, Op* op);
    bool PlanPut(const View& view, const std::vector<std::string>& files, const std::string& label, Op* op);
    bool PlanRename(const View& view, const std::vector<std::string>& from, Op* op);
    void ByteEdit(const Entry& e, Op* op);
    // Entries of one kind (folders or files, never the anchor) in path order; half of the time
    // only those related to a hint, when there are any.
    std::vector<std::string> Candidates(const View& view, bool dirs, const std::set<std::string>& hints,
                                        const std::string& anchor);
    std::string Pick(const std::vector<std::string>& from) { return from[Below(from.size())]; }
    // A name from the small shared pool that `parent` does not hold yet.
    std::string FreeName(const View& view, const std::string& parent, bool dir);
    static std::vector<std::string> Folders(const View& view);  // "" for the top, then every folder
    size_t SmallSize();

    std::mt19937_64& rng_;
    int made_ = 0;
};

// One round's operations of each side on the tree `before` (the laptop's, then the desktop's aimed
// at what the laptop touched, then in one round of three the service's aimed at both), and the
// client killed after the thaw in one round of four.
struct RoundPlan {
    Sides sides;
    std::optional<Side> killed;
    int killAfterMs = 0;
};
RoundPlan PlanRound(Planner& planner, const View& before);

// A service call that goes wrong in a round, for whichever client makes it first: dropped, or
// stalled for a few seconds (then answered, or dropped). The clients skip what it hit and try again.
struct FaultPlan {
    std::string op, action;
    int count = 1;
    int ms = -1;
    bool thenDrop = false;
    std::string Describe() const;
};
// One round in three has a fault. It is drawn from a generator of its own, so a seed's operations
// stay what they were before faults were added.
std::optional<FaultPlan> PlanFault(std::mt19937_64& rng);
// True when no other side named a path at, above or below any path `op` names.
bool Lonely(const Op& op, const Sides& sides);

// "1,2,7", "1-20", "3,10-12": the seeds in order; nullopt for anything else or an empty list.
std::optional<std::vector<uint64_t>> ParseSeeds(const std::string& text);
// KESTRINE_CAMPAIGN_SEEDS when set (the process ends with a message when it does not parse),
// otherwise `fallback`.
std::vector<uint64_t> SeedsFromEnvironment(const std::vector<uint64_t>& fallback);
// KESTRINE_CAMPAIGN_ROUNDS when set to a positive number, otherwise `fallback`.
int RoundsFromEnvironment(int fallback);

// One campaign on a running service and two computers of one account that have not started yet.
// The computers and the service are the caller's; Run starts, freezes, thaws and kills clients,
// and leaves them running (thawed) when it ends.
class Run {
  public:
    Run(uint64_t seed, testsupport::TestServer& server, Computer& laptop, Computer& desktop);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Puts the initial tree on the service, starts both clients and waits until all three agree.
    ::testing::AssertionResult Setup();
    // One round: operations while frozen, maybe a kill, the wait for quiet, the checks.
    ::testing::AssertionResult Round(int round);

  private:
    struct Settled;
    std::string DescribePlan(int round, const RoundPlan& plan) const;
    ::testing::AssertionResult Execute(const Op& op);
    ::testing::AssertionResult KillAndRestart(Computer& c, int delayMs);
    Settled Snapshot();  // the three trees as they are now
    // Waits until both homes and the service's listing agree and hold still for a few seconds.
    Settled Settle();
    ::testing::AssertionResult Failure(int round, const std::string& what, const Settled& s,
                                       const std::vector<Violation>& found = {});
    std::string LogLinesAbout(const Computer& c, const std::vector<Violation>& found) const;
    void KeepEvidence(const std::string& report);
    Computer& Client(Side side) { return side == Side::kLaptop ? laptop_ : desktop_; }

    uint64_t seed_;
    std::mt19937_64 rng_;
    std::mt19937_64 faultRng_;
    Planner planner_;
    testsupport::TestServer& server_;
    Computer& laptop_;
    Computer& desktop_;
    testsupport::TempDir scratch_;
    View before_;          // the settled tree the current round starts from
    std::string history_;  // every round's operations so far, for a failure report
};

}  // namespace e2e::campaign
