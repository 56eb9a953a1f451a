#include "e2e/campaign.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

namespace e2e::campaign {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kChunk = 4 * kMiB;
constexpr const char* kAnchor = "anchor.txt";
// Names drawn again and again, so that the sides meet on the same paths.
const std::vector<std::string> kFileNames = {"a.txt",    "b.txt",   "notes.md",  "plan 2.doc",
                                             "data.bin", "ünï.txt", "photo.jpg", "log"};
// "log" is in both lists: a file on one side and a folder on the other is a race too.
const std::vector<std::string> kFolderNames = {"docs", "pics", "deep", "new folder", "src", "Ärchiv", "log"};
constexpr int kQuietMs = 3000;  // three heartbeats without a change
constexpr int kPollMs = 300;

std::string Join(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "/" + name;
}

bool IsUnder(const std::string& rel, const std::string& folder) {
    return rel.size() > folder.size() && rel.compare(0, folder.size(), folder) == 0 &&
           rel[folder.size()] == '/';
}

bool AtOrUnder(const std::string& rel, const std::string& top) {
    return rel == top || IsUnder(rel, top);
}

std::string SizeOf(const std::string& sig) {
    return sig == "dir" ? sig : sig.substr(0, sig.find(':'));
}

std::string ReadWhole(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// path -> "dir" or the size: what the service's listing tells of a tree.
using Listing = std::map<std::string, std::string>;

Listing ListingOf(const Tree& tree) {
    Listing out;
    for (const auto& [rel, sig] : tree)
        out[rel] = SizeOf(sig);
    return out;
}

// The service's listing text as a Listing; a line it cannot read shows as one of its own.
Listing ServiceListing(const std::string& text) {
    Listing out;
    std::vector<std::string> unreadable;
    for (const testsupport::ListedItem& item : testsupport::ParseListing(text, &unreadable))
        out[item.path] = item.dir ? "dir" : std::to_string(item.size);
    for (const std::string& line : unreadable)
        out["(unreadable line) " + line] = "?";
    return out;
}

std::string DescribeListing(const Listing& listing) {
    std::string out;
    for (const auto& [rel, size] : listing)
        out += "  " + rel + "  " + size + "\n";
    return out.empty() ? "  (empty)\n" : out;
}

std::string Short(const std::string& sig) {
    // "<size>:<first 8 hex digits>" is enough to tell contents apart in a report.
    const size_t colon = sig.find(':');
    return colon == std::string::npos ? sig : sig.substr(0, std::min(sig.size(), colon + 9));
}

std::string HolderText(const SideRound& s, const std::string& rel, const Entry& e) {
    std::string out = std::string(SideName(s.side)) + " held it at " + rel;
    if (e.written) {
        for (auto op = s.ops.rbegin(); op != s.ops.rend(); ++op) {
            if (op->sig == e.sig)
                return out + ", written by its operation \"" + op->Describe() + "\"";
        }
        return out + ", written in this round";
    }
    return out + (e.origin == rel ? ", untouched by it" : ", moved by it from " + e.origin);
}

}  // namespace

const char* SideName(Side side) {
    switch (side) {
        case Side::kLaptop:
            return "laptop";
        case Side::kDesktop:
            return "desktop";
        case Side::kService:
            return "service";
    }
    return "?";
}

bool IsConflictCopy(const std::string& rel) {
    static const std::regex suffix(R"(.*\.conflict\(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d-\d{3}\))");
    return std::regex_match(rel, suffix);
}

bool Related(const std::string& a, const std::string& b) {
    return a == b || IsUnder(a, b) || IsUnder(b, a);
}

View ViewOf(const std::string& folder) {
    View view;
    for (const auto& [rel, sig] : ReadTree(folder)) {
        Entry e;
        e.dir = sig == "dir";
        e.sig = sig;
        if (!e.dir) {
            e.data = std::make_shared<const std::string>(ReadWhole(fs::path(folder) / rel));
            e.sig = FileSig(*e.data);  // read again: the one the operations will change
            e.origin = rel;
        }
        view[rel] = e;
    }
    return view;
}

View ViewOfTree(const Tree& tree) {
    View view;
    for (const auto& [rel, sig] : tree) {
        Entry e;
        e.dir = sig == "dir";
        e.sig = sig;
        e.origin = e.dir ? std::string() : rel;
        view[rel] = e;
    }
    return view;
}

Tree TreeOf(const View& view) {
    Tree tree;
    for (const auto& [rel, e] : view)
        tree[rel] = e.sig;
    return tree;
}

std::vector<std::string> Op::Paths() const {
    return to.empty() ? std::vector<std::string>{path} : std::vector<std::string>{path, to};
}

std::string Op::Describe() const {
    const std::string who = std::string(SideName(side)) + ": ";
    const std::string what = data ? " (" + Short(sig) + ")" : std::string();
    switch (kind) {
        case OpKind::kNewFile:
            return who + "new file " + path + what;
        case OpKind::kEdit:
            return who + "edit " + path + what;
        case OpKind::kByteEdit:
            return who + "one-byte edit of " + path + " at " + std::to_string(byteAt) + what;
        case OpKind::kDeleteFile:
            return who + "delete file " + path;
        case OpKind::kRenameFile:
            return who + "rename file " + path + " -> " + to;
        case OpKind::kMakeFolder:
            return who + "new folder " + path;
        case OpKind::kDeleteFolder:
            return who + "delete folder " + path;
        case OpKind::kRenameFolder:
            return who + "rename folder " + path + " -> " + to;
        case OpKind::kServicePut:
            return who + "put " + path +
                   (byteAt >= 0 ? " (one byte changed at " + std::to_string(byteAt) + ")" : "") + what;
        case OpKind::kServiceRm:
            return who + "rm " + path;
    }
    return who + "?";
}

void SideRound::Drop(const std::string& rel) {
    for (auto it = view.lower_bound(rel); it != view.end() && AtOrUnder(it->first, rel);) {
        if (!it->second.dir && !it->second.written)
            destroyed.insert(it->second.origin);
        it = view.erase(it);
    }
}

void SideRound::Apply(const Op& op) {
    for (const std::string& p : op.Paths())
        footprint.insert(p);
    switch (op.kind) {
        case OpKind::kNewFile:
        case OpKind::kEdit:
        case OpKind::kByteEdit:
        case OpKind::kServicePut: {
            Drop(op.path);
            Entry e;
            e.data = op.data;
            e.sig = op.sig;
            e.written = true;
            view[op.path] = e;
            break;
        }
        case OpKind::kMakeFolder:
            view[op.path] = Entry{true, nullptr, "dir", false, ""};
            break;
        case OpKind::kDeleteFile:
        case OpKind::kDeleteFolder:
        case OpKind::kServiceRm:
            Drop(op.path);
            break;
        case OpKind::kRenameFile:
        case OpKind::kRenameFolder: {
            View moved;
            for (auto it = view.lower_bound(op.path); it != view.end() && AtOrUnder(it->first, op.path);) {
                moved[op.to + it->first.substr(op.path.size())] = it->second;
                it = view.erase(it);
            }
            view.insert(moved.begin(), moved.end());
            break;
        }
    }
    ops.push_back(op);
}

std::string Describe(const Violation& v) {
    std::string out = v.invariant + ": " + v.path;
    if (!v.sig.empty())
        out += " content " + v.sig;
    return out + "\n      " + v.detail;
}

namespace {

// Every content a side left behind is somewhere in the settled tree, unless it is a pre-round
// content another side deleted or overwrote on purpose.
void CheckSurvival(const Sides& sides, const Tree& after, std::vector<Violation>* found) {
    std::set<std::string> present, reported;
    for (const auto& [rel, sig] : after)
        present.insert(sig);
    for (const SideRound& s : sides) {
        for (const auto& [rel, e] : s.view) {
            if (e.dir || present.count(e.sig) || reported.count(e.sig))
                continue;
            bool replaced = false;
            for (const SideRound& other : sides)
                replaced =
                    replaced || (other.side != s.side && !e.written && other.destroyed.count(e.origin));
            if (replaced)
                continue;
            reported.insert(e.sig);
            std::vector<std::string> clues = {rel};
            if (!e.written && e.origin != rel)
                clues.push_back(e.origin);
            found->push_back(
                {"lost", rel, e.sig, HolderText(s, rel, e) + "; the settled tree has it nowhere", clues});
        }
    }
}

// An entry whose path, and every folder above it, no side named stays as it was.
void CheckUntouched(const View& before, const Sides& sides, const Tree& after,
                    std::vector<Violation>* found) {
    for (const auto& [rel, e] : before) {
        bool touched = false;
        for (const SideRound& s : sides) {
            for (const std::string& t : s.footprint)
                touched = touched || AtOrUnder(rel, t);
        }
        const auto now = after.find(rel);
        if (touched || (now != after.end() && now->second == e.sig))
            continue;
        const std::string seen = now == after.end() ? "nothing" : Short(now->second);
        found->push_back({"untouched changed",
                          rel,
                          "",
                          "nobody touched it or a folder above it; it was " + Short(e.sig) +
                              ", the settled tree has " + seen,
                          {rel}});
    }
}

// The settled tree against what side `s` left at and below `x`, leaving out paths a contested
// operation named (and what lies above or below them) and conflict copies the side never had.
void CompareBelow(const SideRound& s, const Op& op, const std::string& x,
                  const std::vector<std::string>& contested, const Tree& after,
                  std::set<std::string>* checked, std::vector<Violation>* found) {
    std::set<std::string> ys;
    for (auto it = s.view.lower_bound(x); it != s.view.end() && AtOrUnder(it->first, x); ++it)
        ys.insert(it->first);
    for (auto it = after.lower_bound(x); it != after.end() && AtOrUnder(it->first, x); ++it)
        ys.insert(it->first);
    for (const std::string& y : ys) {
        bool skip = !checked->insert(y).second || (IsConflictCopy(y) && !s.view.count(y));
        for (const std::string& c : contested)
            skip = skip || Related(c, y);
        const auto want = s.view.find(y);
        const auto got = after.find(y);
        const std::string wantSig = want == s.view.end() ? "nothing" : want->second.sig;
        const std::string gotSig = got == after.end() ? "nothing" : got->second;
        if (skip || wantSig == gotSig)
            continue;
        found->push_back({"one-sided change not carried out", y, "",
                          "after \"" + op.Describe() + "\", which no other side came near, " +
                              SideName(s.side) + " holds " + Short(wantSig) + " there, the settled tree " +
                              Short(gotSig),
                          op.Paths()});
    }
}

// A change no other side came near (its paths, the folders above them and everything below them)
// ends up exactly as its side left it. A rename of what an earlier, contested operation of the
// same side made or moved (a folder renamed twice, the first time into a race) is contested too.
void CheckOneSided(const Sides& sides, const Tree& after, std::vector<Violation>* found) {
    std::vector<std::string> contested;
    std::vector<std::vector<bool>> lonely(sides.size());
    for (size_t i = 0; i < sides.size(); ++i) {
        std::vector<std::string> chain;  // paths of this side's contested operations so far
        for (const Op& op : sides[i].ops) {
            const std::vector<std::string> paths = op.Paths();
            bool alone = Lonely(op, sides);
            for (const std::string& x : paths)
                for (const std::string& c : chain)
                    alone = alone && !Related(x, c);
            lonely[i].push_back(alone);
            if (!alone) {
                chain.insert(chain.end(), paths.begin(), paths.end());
                contested.insert(contested.end(), paths.begin(), paths.end());
            }
        }
    }
    std::set<std::string> checked;
    for (size_t i = 0; i < sides.size(); ++i) {
        for (size_t k = 0; k < sides[i].ops.size(); ++k) {
            if (!lonely[i][k])
                continue;
            const Op& op = sides[i].ops[k];
            for (const std::string& x : op.Paths())
                CompareBelow(sides[i], op, x, contested, after, &checked, found);
        }
    }
}

// Every settled path lies in a tree some side held: the tree before the round or a side's view
// after its operations, at the path or at a folder above it. Conflict copies are the client's own.
// A path outside all of them (a folder's name between two renames, say) was made up on the way.
void CheckInvented(const View& before, const Sides& sides, const Tree& after, std::vector<Violation>* found) {
    std::vector<std::string> flagged;
    for (const auto& [rel, sig] : after) {
        bool known = false;
        for (size_t end = 0; !known && end != std::string::npos;) {
            end = rel.find('/', end + 1);
            const std::string prefix = rel.substr(0, end);
            known = before.count(prefix) || IsConflictCopy(prefix);
            for (const SideRound& s : sides)
                known = known || s.view.count(prefix);
        }
        bool inFlagged = false;
        for (const std::string& f : flagged)
            inFlagged = inFlagged || IsUnder(rel, f);
        if (known || inFlagged)
            continue;
        flagged.push_back(rel);
        found->push_back({"invented path",
                          rel,
                          "",
                          "no side held it or a folder above it, before the round or after its operations; "
                          "the settled tree has " +
                              Short(sig) + " there",
                          {rel}});
    }
}

}  // namespace

bool Lonely(const Op& op, const Sides& sides) {
    for (const std::string& x : op.Paths()) {
        for (const SideRound& other : sides) {
            if (other.side == op.side)
                continue;
            for (const std::string& t : other.footprint) {
                if (Related(x, t))
                    return false;
            }
        }
    }
    return true;
}

std::vector<Violation> CheckRound(const View& before, const Sides& sides, const Tree& after) {
    std::vector<Violation> found;
    CheckSurvival(sides, after, &found);
    CheckUntouched(before, sides, after, &found);
    CheckOneSided(sides, after, &found);
    CheckInvented(before, sides, after, &found);
    return found;
}

std::shared_ptr<const std::string> Planner::Content(const std::string& label, size_t size) {
    std::string out = label + "\n";
    size_t at = out.size();
    if (at < size)
        out.resize(size);
    for (; at < out.size(); at += 8) {
        const uint64_t x = rng_();
        std::memcpy(&out[at], &x, std::min<size_t>(8, out.size() - at));
    }
    return std::make_shared<const std::string>(std::move(out));
}

size_t Planner::SmallSize() {
    // Mostly a few KiB; now and then a file that takes the client a moment to move.
    return Below(8) == 0 ? 100 * 1024 + Below(500 * 1024) : 1 + Below(6000);
}

std::vector<std::string> Planner::Folders(const View& view) {
    std::vector<std::string> out = {""};
    for (const auto& [rel, e] : view) {
        if (e.dir)
            out.push_back(rel);
    }
    return out;
}

View Planner::InitialTree(const std::string& anchor) {
    View view;
    auto add = [&](const std::string& rel, std::shared_ptr<const std::string> data) {
        Entry e;
        e.sig = FileSig(*data);
        e.data = std::move(data);
        e.origin = rel;
        view[rel] = e;
    };
    add(anchor, Content("the anchor: no operation touches it, so the tree is never empty", 64));
    const size_t folders = 3 + Below(3);
    for (size_t i = 0; i < folders; ++i)
        view[FreeName(view, Pick(Folders(view)), true)] = Entry{true, nullptr, "dir", false, ""};
    const size_t files = 5 + Below(4);
    for (size_t i = 0; i < files; ++i)
        add(FreeName(view, Pick(Folders(view)), false),
            Content("initial #" + std::to_string(++made_), SmallSize()));
    // Not a whole number of chunks, so the last chunk is a short one.
    const size_t big = 8 * kMiB + 1 + Below(4 * kMiB - 1);
    add(FreeName(view, Pick(Folders(view)), false),
        Content("initial multi-chunk #" + std::to_string(++made_), big));
    return view;
}

std::string Planner::FreeName(const View& view, const std::string& parent, bool dir) {
    const std::vector<std::string>& pool = dir ? kFolderNames : kFileNames;
    const size_t start = Below(pool.size());
    for (size_t i = 0; i < pool.size(); ++i) {
        const std::string rel = Join(parent, pool[(start + i) % pool.size()]);
        if (!view.count(rel))
            return rel;
    }
    return Join(parent, std::to_string(++made_) + " " + pool[start]);
}

std::vector<std::string> Planner::Candidates(const View& view, bool dirs, const std::set<std::string>& hints,
                                             const std::string& anchor) {
    std::vector<std::string> all, near;
    for (const auto& [rel, e] : view) {
        if (e.dir != dirs || rel == anchor)
            continue;
        all.push_back(rel);
        for (const std::string& h : hints) {
            if (Related(rel, h)) {
                near.push_back(rel);
                break;
            }
        }
    }
    return !near.empty() && Below(2) == 0 ? near : all;
}

Op Planner::Next(Side side, const View& view, const std::set<std::string>& hints, const std::string& anchor) {
    static const std::vector<std::pair<OpKind, size_t>> kClient = {
        {OpKind::kNewFile, 3},      {OpKind::kEdit, 3},        {OpKind::kByteEdit, 1},
        {OpKind::kDeleteFile, 2},   {OpKind::kRenameFile, 2},  {OpKind::kMakeFolder, 1},
        {OpKind::kDeleteFolder, 1}, {OpKind::kRenameFolder, 2}};
    static const std::vector<std::pair<OpKind, size_t>> kService = {{OpKind::kServicePut, 3},
                                                                    {OpKind::kServiceRm, 1}};
    const auto& table = side == Side::kService ? kService : kClient;
    size_t total = 0;
    for (const auto& [kind, weight] : table)
        total += weight;
    // A new file, and a put, always fit, so this ends.
    for (;;) {
        size_t r = Below(total);
        OpKind kind = table.front().first;
        for (const auto& [k, weight] : table) {
            if (r < weight) {
                kind = k;
                break;
            }
            r -= weight;
        }
        Op op;
        op.side = side;
        op.kind = kind;
        if (Plan(view, hints, anchor, &op)) {
            if (op.data)
                op.sig = FileSig(*op.data);
            return op;
        }
    }
}

void Planner::ByteEdit(const Entry& e, Op* op) {
    auto data = std::make_shared<std::string>(*e.data);
    op->byteAt = static_cast<long long>(Below(data->size()));
    (*data)[static_cast<size_t>(op->byteAt)] ^= static_cast<char>(1 + Below(255));
    op->data = std::move(data);
}

bool Planner::Plan(const View& view, const std::set<std::string>& hints, const std::string& anchor, Op* op) {
    const std::vector<std::string> files = Candidates(view, false, hints, anchor);
    const std::string label = std::string(SideName(op->side)) + " #" + std::to_string(made_ + 1);
    switch (op->kind) {
        case OpKind::kNewFile:
            op->path = FreeName(view, Pick(Folders(view)), false);
            break;
        case OpKind::kEdit:
        case OpKind::kDeleteFile:
            if (files.empty())
                return false;
            op->path = Pick(files);
            break;
        case OpKind::kByteEdit: {
            std::vector<std::string> big;
            for (const std::string& rel : files) {
                if (view.at(rel).data->size() > kChunk)
                    big.push_back(rel);
            }
            if (big.empty())
                return false;
            op->path = Pick(big);
            ByteEdit(view.at(op->path), op);
            break;
        }
        case OpKind::kRenameFile:
            return PlanRename(view, files, op);
        case OpKind::kMakeFolder:
            op->path = FreeName(view, Pick(Folders(view)), true);
            return true;
        case OpKind::kDeleteFolder:
        case OpKind::kRenameFolder: {
            const std::vector<std::string> dirs = Candidates(view, true, hints, anchor);
            if (dirs.empty())
                return false;
            if (op->kind == OpKind::kRenameFolder)
                return PlanRename(view, dirs, op);
            op->path = Pick(dirs);
            return true;
        }
        case OpKind::kServicePut:
            return PlanPut(view, files, label, op);
        case OpKind::kServiceRm: {
            std::vector<std::string> any = files;
            for (const std::string& rel : Candidates(view, true, hints, anchor))
                any.push_back(rel);
            if (any.empty())
                return false;
            op->path = Pick(any);
            return true;
        }
    }
    if ((op->kind == OpKind::kNewFile || op->kind == OpKind::kEdit) && !op->data) {
        ++made_;
        op->data = Content(label, SmallSize());
    }
    return true;
}

bool Planner::PlanPut(const View& view, const std::vector<std::string>& files, const std::string& label,
                      Op* op) {
    if (files.empty() || Below(2) == 0) {
        op->path = FreeName(view, Pick(Folders(view)), false);
    } else {
        op->path = Pick(files);
        const Entry& e = view.at(op->path);
        if (e.data->size() > kChunk) {
            // A new version of a multi-chunk file from another host differs in one byte.
            ByteEdit(e, op);
            return true;
        }
    }
    ++made_;
    op->data = Content(label, SmallSize());
    return true;
}

bool Planner::PlanRename(const View& view, const std::vector<std::string>& from, Op* op) {
    if (from.empty())
        return false;
    op->path = Pick(from);
    const bool dir = view.at(op->path).dir;
    std::vector<std::string> parents;
    for (const std::string& p : Folders(view)) {
        // A folder cannot move into itself.
        if (!dir || !AtOrUnder(p, op->path))
            parents.push_back(p);
    }
    op->to = FreeName(view, Pick(parents), dir);
    return true;
}

}  // namespace e2e::campaign

namespace e2e::campaign {

RoundPlan PlanRound(Planner& planner, const View& before) {
    RoundPlan plan;
    std::set<std::string> hints;
    for (size_t i = 0; i < kSides; ++i) {
        SideRound& s = plan.sides[i];
        s.side = static_cast<Side>(i);
        s.view = before;
        const size_t count = s.side == Side::kService ? (planner.Below(3) == 0 ? 1 + planner.Below(2) : 0)
                                                      : 1 + planner.Below(6);
        for (size_t k = 0; k < count; ++k)
            s.Apply(planner.Next(s.side, s.view, hints, kAnchor));
        hints.insert(s.footprint.begin(), s.footprint.end());
    }
    if (planner.Below(4) == 0) {
        plan.killed = planner.Below(2) == 0 ? Side::kLaptop : Side::kDesktop;
        plan.killAfterMs = static_cast<int>(planner.Below(1501));
    }
    return plan;
}

std::optional<FaultPlan> PlanFault(std::mt19937_64& rng) {
    static const char* const kOps[] = {
        "file_list",    "download_specific_file", "download_chunk", "upload_file",
        "upload_chunk", "chunk_uploaded",         "remove",         "rename"};
    if (rng() % 3 != 0)
        return std::nullopt;
    FaultPlan f;
    f.op = kOps[rng() % std::size(kOps)];
    f.count = 1 + static_cast<int>(rng() % 2);
    if (rng() % 2 == 0) {
        f.action = "drop";
    } else {
        f.action = "stall";
        f.ms = 1000 + static_cast<int>(rng() % 4000);
        f.thenDrop = rng() % 2 == 0;
    }
    return f;
}

std::string FaultPlan::Describe() const {
    std::string out = op + " " + action + " x" + std::to_string(count);
    if (action == "stall")
        out += " " + std::to_string(ms) + " ms" + (thenDrop ? " then dropped" : " then answered");
    return out;
}

std::optional<std::vector<uint64_t>> ParseSeeds(const std::string& text) {
    static const std::regex item(R"((\d{1,9})(?:-(\d{1,9}))?)");
    std::vector<uint64_t> out;
    std::istringstream parts(text);
    for (std::string part; std::getline(parts, part, ',');) {
        std::smatch m;
        if (!std::regex_match(part, m, item))
            return std::nullopt;
        const uint64_t from = std::stoull(m[1]);
        const uint64_t to = m[2].matched ? std::stoull(m[2]) : from;
        if (to < from)
            return std::nullopt;
        for (uint64_t s = from; s <= to; ++s)
            out.push_back(s);
    }
    // A trailing comma leaves no empty part for getline to report.
    if (out.empty() || text.back() == ',')
        return std::nullopt;
    return out;
}

std::vector<uint64_t> SeedsFromEnvironment(const std::vector<uint64_t>& fallback) {
    const char* text = std::getenv("KESTRINE_CAMPAIGN_SEEDS");
    if (!text || !*text)
        return fallback;
    const auto seeds = ParseSeeds(text);
    if (!seeds) {
        // The list names the tests; running none would look like a pass.
        std::fprintf(stderr, "KESTRINE_CAMPAIGN_SEEDS=\"%s\" is not a list like 1,2,7 or 1-20\n", text);
        std::exit(2);
    }
    return *seeds;
}

int RoundsFromEnvironment(int fallback) {
    const char* text = std::getenv("KESTRINE_CAMPAIGN_ROUNDS");
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || n < 1 || n > 100000) {
        std::fprintf(stderr, "KESTRINE_CAMPAIGN_ROUNDS=\"%s\" is not a positive number\n", text);
        std::exit(2);
    }
    return static_cast<int>(n);
}

}  // namespace e2e::campaign

namespace e2e::campaign {

struct Run::Settled {
    bool ok = false;
    std::string why;
    Tree laptop, desktop;
    Listing service;
    double seconds = 0;
};

Run::Run(uint64_t seed, testsupport::TestServer& server, Computer& laptop, Computer& desktop)
    : seed_(seed),
      rng_(seed),
      faultRng_(seed ^ 0x5eedfa17u),
      planner_(rng_),
      server_(server),
      laptop_(laptop),
      desktop_(desktop) {}

Run::~Run() {
    // A failed round may end between freeze and thaw; the fixture then stops the clients.
    laptop_.Thaw();
    desktop_.Thaw();
}

::testing::AssertionResult Run::Setup() {
    std::printf("[campaign] seed %llu\n", static_cast<unsigned long long>(seed_));
    before_ = planner_.InitialTree(kAnchor);
    for (const auto& [rel, e] : before_) {
        if (e.dir)
            scratch_.MakeDirs("initial/" + rel);
        else
            scratch_.WriteFile("initial/" + rel, *e.data);
    }
    for (const auto& [rel, e] : before_) {
        if (rel.find('/') == std::string::npos &&
            !server_.Put(testsupport::TestServer::kUser, scratch_.Sub("initial/" + rel), rel))
            return ::testing::AssertionFailure() << "the service's command line did not put " << rel;
    }
    history_ = "initial tree:\n" + e2e::Describe(TreeOf(before_));
    for (Computer* c : {&laptop_, &desktop_}) {
        std::string error;
        if (!c->Start(&error) || !c->WaitSignedIn())
            return ::testing::AssertionFailure() << c->Name() << " did not sign in: " << error << "\n"
                                                 << c->Console() << Tail(c->Log());
    }
    const Settled s = Settle();
    if (!s.ok)
        return Failure(0, s.why, s);
    if (s.laptop != TreeOf(before_))
        return Failure(0, "the settled tree is not the initial tree", s);
    std::printf("[campaign] seed %llu: initial tree of %zu entries settled in %.1f s\n",
                static_cast<unsigned long long>(seed_), before_.size(), s.seconds);
    return ::testing::AssertionSuccess();
}

std::string Run::DescribePlan(int round, const RoundPlan& plan) const {
    std::string out = "round " + std::to_string(round) + ":\n";
    for (const SideRound& s : plan.sides) {
        for (const Op& op : s.ops)
            out += "  " + op.Describe() + "\n";
    }
    if (plan.killed)
        out += "  " + std::string(SideName(*plan.killed)) + " killed " + std::to_string(plan.killAfterMs) +
               " ms after the thaw, then started again\n";
    return out;
}

::testing::AssertionResult Run::Execute(const Op& op) {
    if (op.side == Side::kService) {
        bool done = false;
        if (op.kind == OpKind::kServicePut) {
            scratch_.WriteFile("put", *op.data);
            done = server_.Put(testsupport::TestServer::kUser, scratch_.Sub("put"), op.path);
        } else {
            done = server_.Rm(testsupport::TestServer::kUser, op.path);
        }
        if (!done)
            return ::testing::AssertionFailure() << "the service's command line failed: " << op.Describe();
        return ::testing::AssertionSuccess();
    }
    Computer& c = Client(op.side);
    switch (op.kind) {
        case OpKind::kNewFile:
        case OpKind::kEdit:
        case OpKind::kByteEdit:
            c.Write(op.path, *op.data);
            break;
        case OpKind::kDeleteFile:
        case OpKind::kDeleteFolder:
            c.Remove(op.path);
            break;
        case OpKind::kRenameFile:
        case OpKind::kRenameFolder:
            c.Rename(op.path, op.to);
            break;
        case OpKind::kMakeFolder:
            c.MakeDir(op.path);
            break;
        case OpKind::kServicePut:
        case OpKind::kServiceRm:
            return ::testing::AssertionFailure() << "a service operation for a computer: " << op.Describe();
    }
    if (::testing::Test::HasFatalFailure())
        return ::testing::AssertionFailure() << "the harness could not apply " << op.Describe();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Run::KillAndRestart(Computer& c, int delayMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    c.Kill();
    std::string error;
    if (!c.Start(&error))
        return ::testing::AssertionFailure() << c.Name() << " did not start again: " << error;
    if (!c.WaitSignedIn())
        return ::testing::AssertionFailure() << c.Name() << " did not sign in again after the kill";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Run::Round(int round) {
    RoundPlan plan = PlanRound(planner_, before_);
    const std::optional<FaultPlan> fault = PlanFault(faultRng_);
    std::string text = DescribePlan(round, plan);
    if (fault)
        text += "  the service's next " + fault->Describe() + "\n";
    history_ += text;
    std::printf("[campaign] seed %llu %s", static_cast<unsigned long long>(seed_), text.c_str());
    if (!laptop_.Freeze() || !desktop_.Freeze())
        return Failure(round, "a client could not be frozen (has it ended?)", Snapshot());
    for (const SideRound& s : plan.sides) {
        for (const Op& op : s.ops) {
            if (auto done = Execute(op); !done)
                return Failure(round, done.message(), Snapshot());
        }
    }
    if (!laptop_.Frozen() || !desktop_.Frozen())
        return Failure(round, "a client ran while it was frozen", Snapshot());
    if (fault && !server_.Fault(fault->op, fault->action, fault->count, -1, fault->ms, fault->thenDrop))
        return Failure(round, "the service did not arm " + fault->Describe(), Snapshot());
    laptop_.Thaw();
    desktop_.Thaw();
    if (plan.killed) {
        if (auto done = KillAndRestart(Client(*plan.killed), plan.killAfterMs); !done)
            return Failure(round, done.message(), Snapshot());
    }
    const Settled s = Settle();
    // A fault no client ran into (its call was not needed) must not reach the next round.
    server_.ResetFaults();
    if (!s.ok)
        return Failure(round, s.why, s);
    const std::vector<Violation> found = CheckRound(before_, plan.sides, s.laptop);
    if (!found.empty())
        return Failure(round, "the settled tree breaks what the round promised", s, found);
    before_ = ViewOf(laptop_.HomeFolder());
    std::string tree;
    for (const auto& [rel, e] : before_)
        tree += "  " + rel + "  " + Short(e.sig) + "\n";
    std::printf("[campaign] seed %llu round %d: settled in %.1f s on %zu entries:\n%s",
                static_cast<unsigned long long>(seed_), round, s.seconds, before_.size(), tree.c_str());
    return ::testing::AssertionSuccess();
}

Run::Settled Run::Snapshot() {
    Settled s;
    s.laptop = laptop_.Files();
    s.desktop = desktop_.Files();
    s.service = ServiceListing(server_.Ls(testsupport::TestServer::kUser));
    return s;
}

Run::Settled Run::Settle() {
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    std::optional<Tree> agreed;
    long long agreedAt = 0;
    for (;;) {
        Settled s = Snapshot();
        for (Computer* c : {&laptop_, &desktop_}) {
            if (!c->Running()) {
                s.why = c->Name() + " has ended:\n" + Tail(c->Console(), 3000);
                return s;
            }
        }
        const bool agree = s.laptop == s.desktop && ListingOf(s.laptop) == s.service;
        if (!agree) {
            agreed.reset();
        } else if (!agreed || *agreed != s.laptop) {
            agreed = s.laptop;
            agreedAt = elapsedMs();
        } else if (elapsedMs() - agreedAt >= kQuietMs) {
            s.ok = true;
            s.seconds = static_cast<double>(agreedAt) / 1000.0;
            return s;
        }
        if (elapsedMs() > ConvergeMs()) {
            s.why = "the two homes and the service's listing did not agree and hold still for " +
                    std::to_string(kQuietMs / 1000) + " s within " + std::to_string(ConvergeMs() / 1000) +
                    " s";
            return s;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

std::string Run::LogLinesAbout(const Computer& c, const std::vector<Violation>& found) const {
    // A path counts where it starts a name: "/docs/a.txt" or "{docs/a.txt}", not "olddocs/a.txt".
    auto mention = [](const std::string& line, const std::string& rel) {
        for (size_t at = line.find(rel); at != std::string::npos; at = line.find(rel, at + 1)) {
            const unsigned char before = at == 0 ? ' ' : static_cast<unsigned char>(line[at - 1]);
            if (!std::isalnum(before) && before != '.' && before != '_' && before != '-' && before < 0x80)
                return at;
        }
        return std::string::npos;
    };
    std::vector<std::string> lines;
    std::istringstream log(c.Log());
    for (std::string line; std::getline(log, line);) {
        size_t at = std::string::npos;
        for (const Violation& v : found) {
            for (const std::string& clue : v.clues)
                at = std::min(at, mention(line, clue));
        }
        // The listings of every pass name every path and tell nothing about this one.
        if (at == std::string::npos || line.find("file_list_rsp") != std::string::npos ||
            line.find("download_all_file_rsp") != std::string::npos)
            continue;
        // Requests and replies are logged whole: their start and the part naming the path do.
        constexpr size_t kHead = 140, kAround = 160;
        if (line.size() > kHead + kAround + 40 && at > kHead)
            line = line.substr(0, kHead) + " ... " +
                   line.substr(at - std::min<size_t>(at - kHead, 60), kAround) + " ...";
        lines.push_back(line);
    }
    constexpr size_t kKeep = 60;
    std::string out;
    for (size_t i = lines.size() > kKeep ? lines.size() - kKeep : 0; i < lines.size(); ++i)
        out += "  " + lines[i] + "\n";
    return out.empty() ? "  (none)\n" : out;
}

::testing::AssertionResult Run::Failure(int round, const std::string& what, const Settled& s,
                                        const std::vector<Violation>& found) {
    std::ostringstream out;
    const std::string seed = std::to_string(seed_);
    out << "campaign seed " << seed << (round == 0 ? ", setting up" : ", round " + std::to_string(round))
        << ": " << what << "\nreplay: tools/campaign.sh --seeds " << seed << " --rounds "
        << std::max(round, 1) << "\n";
    for (const Violation& v : found)
        out << "  " << Describe(v) << "\n";
    out << "operations so far:\n"
        << history_ << "tree before this round:\n"
        << e2e::Describe(TreeOf(before_)) << "laptop now:\n"
        << e2e::Describe(s.laptop) << "desktop now:\n"
        << e2e::Describe(s.desktop) << "service listing now (path, size):\n"
        << DescribeListing(s.service);
    if (!found.empty()) {
        out << "laptop log lines naming those paths:\n"
            << LogLinesAbout(laptop_, found) << "desktop log lines naming those paths:\n"
            << LogLinesAbout(desktop_, found);
    }
    out << "laptop console (end):\n"
        << Tail(laptop_.Console(), 2000) << "desktop console (end):\n"
        << Tail(desktop_.Console(), 2000) << "laptop log (end):\n"
        << Tail(laptop_.Log(), 8000) << "desktop log (end):\n"
        << Tail(desktop_.Log(), 8000);
    KeepEvidence(out.str());
    return ::testing::AssertionFailure() << out.str();
}

void Run::KeepEvidence(const std::string& report) {
    const char* keep = std::getenv("KESTRINE_CAMPAIGN_KEEP");
    if (!keep || !*keep)
        return;
    const fs::path dir = fs::path(keep) / ("seed-" + std::to_string(seed_));
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::vector<std::pair<std::string, std::string>> files = {{"report.txt", report},
                                                                    {"laptop.log", laptop_.Log()},
                                                                    {"desktop.log", desktop_.Log()},
                                                                    {"laptop.console", laptop_.Console()},
                                                                    {"desktop.console", desktop_.Console()},
                                                                    {"service.log", server_.Output()}};
    for (const auto& [name, text] : files) {
        std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::printf("[campaign] seed %llu: the whole logs are in %s\n", static_cast<unsigned long long>(seed_),
                dir.c_str());
}

}  // namespace e2e::campaign
