// The decision core against a model of one computer, its journal and the service, in the manner
// of a randomized canopy check: a base tree is perturbed twice (here and on the service, where
// "another computer" may also strike in the middle of the first pass), then passes built from
// the same decisions the worker takes run until nothing is left to do. Whatever the perturbations,
// every content a side still wanted survives somewhere, the two trees end equal, the journal
// matches them, and a further pass plans nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "journal/filejournal.h"
#include "sync/decide.h"

namespace {

// ---- The model's trees: path ("a/b") -> entry. A file's content is a number; each write makes
// a new one, and a touch changes only the time.
struct Node {
    bool dir = false;
    int content = 0;
    int64_t time = 1;
    bool operator==(const Node& o) const { return dir == o.dir && content == o.content && time == o.time; }
};
using Tree = std::map<std::string, Node>;

struct Row {
    bool onDisk = false;
    bool hasActive = false;
    Node active;
    bool hasUpdated = false;
    bool tombstone = false;
    Node updated;
    bool operator==(const Row& o) const {
        return onDisk == o.onDisk && hasActive == o.hasActive && (!hasActive || active == o.active) &&
               hasUpdated == o.hasUpdated && tombstone == o.tombstone &&
               (!hasUpdated || updated == o.updated);
    }
};
using Journal = std::map<std::string, Row>;

std::string ParentOf(const std::string& p) {
    const size_t s = p.rfind('/');
    return s == std::string::npos ? std::string() : p.substr(0, s);
}
bool IsBelow(const std::string& p, const std::string& folder) {
    return p.size() > folder.size() + 1 && p.compare(0, folder.size(), folder) == 0 &&
           p[folder.size()] == '/';
}
std::string Hex(int content) {
    char text[33];
    std::snprintf(text, sizeof text, "%032x", content);
    return text;
}

CFileInfo Info(const std::string& path, const Node& n) {
    CFileInfo f(path, n.dir ? 1 : 0, n.dir ? 0 : 1000 + n.content % 7);
    f.modifyTime = n.dir ? 1 : n.time;
    if (!n.dir)
        f.chunkListText = Hex(n.content);
    return f;
}

CJournalItem Item(const std::string& path, const Row& r) {
    CJournalItem item;
    item.key = path;
    item.onDisk = r.onDisk ? 1 : 0;
    if (r.hasActive)
        item.active = Info(path, r.active);
    if (r.hasUpdated) {
        item.updated = Info(path, r.updated);
        if (r.tombstone)
            item.updated.modifyTime = -item.updated.modifyTime;
    }
    return item;
}

decide::Local KindOf(const Tree& t, const std::string& p) {
    auto it = t.find(p);
    if (it == t.end())
        return decide::Local::kNone;
    return it->second.dir ? decide::Local::kFolder : decide::Local::kFile;
}

void EraseSubtree(Tree* t, const std::string& p) {
    for (auto it = t->begin(); it != t->end();)
        it = it->first == p || IsBelow(it->first, p) ? t->erase(it) : std::next(it);
}

// Moves p and what it holds to q (which must be free); false when it cannot.
bool MoveSubtree(Tree* t, const std::string& p, const std::string& q) {
    if (!t->count(p) || t->count(q) ||
        (!ParentOf(q).empty() && !(t->count(ParentOf(q)) && t->at(ParentOf(q)).dir)))
        return false;
    Tree moved;
    for (auto it = t->begin(); it != t->end();) {
        if (it->first == p || IsBelow(it->first, p)) {
            moved[q + it->first.substr(p.size())] = it->second;
            it = t->erase(it);
        } else {
            ++it;
        }
    }
    t->insert(moved.begin(), moved.end());
    return true;
}

// ---- One computer and the service, with the passes the worker runs.
enum class Removed { kLeft, kDone };

struct World {
    Tree local, service;
    Journal journal;
    int conflicts = 0;
    std::function<void()> midPass;     // another computer, between the download and upload phases
    std::function<bool()> fetchFails;  // a download that does not come through (the network)
    bool unfinished = false;           // an item failed: the pass is taken again

    std::string ConflictName(const std::string& p) {
        return p + ".conflict(" + std::to_string(++conflicts) + ")";
    }
    bool MoveAside(const std::string& p) { return MoveSubtree(&local, p, ConflictName(p)); }

    bool MakeParents(const std::string& p) {
        for (std::string parent = ParentOf(p); !parent.empty(); parent = ParentOf(parent)) {
            auto it = local.find(parent);
            if (it != local.end() && !it->second.dir)
                return false;
        }
        for (std::string parent = ParentOf(p); !parent.empty(); parent = ParentOf(parent))
            local.emplace(parent, Node{true, 0, 1});
        return true;
    }
    bool Fetch(const std::string& p, const Node& u) {
        if (!u.dir && fetchFails && fetchFails()) {
            unfinished = true;
            return false;
        }
        if (local.count(p) || !MakeParents(p))
            return false;
        local[p] = u;
        return true;
    }
    void OnDisk(const std::string& p, const Node& u) {
        Row& r = journal[p];
        r = Row{};
        r.onDisk = true;
        r.hasActive = true;
        r.active = u;
    }

    // -- Snapshot.
    void Snapshot() {
        for (const auto& [p, n] : service) {
            auto it = journal.find(p);
            CJournalItem item;
            if (it != journal.end())
                item = Item(p, it->second);
            if (!decide::NeedsFetch(it == journal.end() ? nullptr : &item, Info(p, n), false))
                continue;
            Row& r = journal[p];
            r.onDisk = false;
            r.hasUpdated = true;
            r.tombstone = false;
            r.updated = n;
        }
        for (auto it = journal.begin(); it != journal.end();) {
            Row& r = it->second;
            if (service.count(it->first)) {
                ++it;
            } else if (r.onDisk) {  // a tombstone of the version on the disk
                r.onDisk = false;
                r.hasUpdated = true;
                r.tombstone = true;
                r.updated = r.active;
                ++it;
            } else if (r.tombstone) {
                ++it;
            } else {  // a version that never reached the disk
                it = journal.erase(it);
            }
        }
    }

    // -- Download phase.
    // As the worker judges a file inside a deleted folder: the journal's size and time.
    bool KnownUnchanged(const std::string& p, const Node& n) {
        auto it = journal.find(p);
        if (it == journal.end() || !it->second.hasActive || it->second.active.dir || n.dir)
            return false;
        const CFileInfo a = Info(p, it->second.active), l = Info(p, n);
        return a.size == l.size && a.modifyTime > 0 && a.modifyTime == l.modifyTime;
    }
    // What a deleted folder holds that the journal knows unchanged goes; true when it is gone.
    bool ClearFolder(const std::string& p) {
        std::vector<std::string> inside;
        for (const auto& [q, n] : local)
            if (IsBelow(q, p))
                inside.push_back(q);
        std::sort(inside.rbegin(), inside.rend());  // deepest first
        for (const std::string& q : inside) {
            if (!local.count(q))
                continue;
            const Node n = local[q];
            if (!n.dir && KnownUnchanged(q, n))
                local.erase(q);
        }
        for (const std::string& q : inside) {
            const bool empty =
                std::none_of(local.begin(), local.end(), [&](const auto& e) { return IsBelow(e.first, q); });
            if (local.count(q) && local[q].dir && empty)
                local.erase(q);
        }
        const bool empty =
            std::none_of(local.begin(), local.end(), [&](const auto& e) { return IsBelow(e.first, p); });
        if (empty)
            local.erase(p);
        return empty;
    }
    void CheckNew(const std::string& p, const Node& u) {
        const decide::Local kind = KindOf(local, p);
        const bool same = decide::NewPathNeedsContent(kind, Info(p, u)) &&
                          decide::SameContent(Info(p, local[p]), Info(p, u));
        switch (decide::OnNewPath(kind, Info(p, u), same)) {
            case decide::NewPath::kFetch:
                if (!Fetch(p, u))
                    return;
                break;
            case decide::NewPath::kKeep:
            case decide::NewPath::kMarkShare:
                break;
            case decide::NewPath::kSetTime:
                local[p].time = u.time;
                break;
            case decide::NewPath::kAsideThenFetch:
                if (!MoveAside(p) || !Fetch(p, u))
                    return;
                break;
        }
        OnDisk(p, u);
    }
    void Replace(const std::string& p, const Node& a, const Node& u) {
        if (a.dir && u.dir)
            return;
        if (!a.dir && !u.dir) {
            // Built beside the file and swapped in: a failed download leaves the file as it was.
            if (fetchFails && fetchFails()) {
                unfinished = true;
                return;
            }
            local[p] = u;
            return;
        }
        if (a.dir) {
            if (!ClearFolder(p))
                MoveAside(p);
        } else {
            local.erase(p);  // to the trash
        }
        Fetch(p, u);
    }
    void CheckUpdated(const std::string& p, const Node& a, const Node& u) {
        const decide::Local kind = KindOf(local, p);
        bool unchanged = false, same = false;
        if (kind != decide::Local::kNone && local[p].dir == a.dir) {
            unchanged = Info(p, local[p]).IsUnchanged(Info(p, a));
            same = local[p].dir == u.dir && decide::SameContent(Info(p, local[p]), Info(p, u));
        }
        switch (decide::OnChangedVersion(kind, unchanged, same)) {
            case decide::Changed::kFetchAsConflict:
                if (!Fetch(p, u))
                    return;
                OnDisk(p, u);
                MoveAside(p);
                return;
            case decide::Changed::kSetTime:
                local[p].time = u.time;
                break;
            case decide::Changed::kReplace:
                Replace(p, a, u);
                if (!local.count(p) || !(local[p] == u))
                    return;
                break;
            case decide::Changed::kAsideThenFetch:
                MoveAside(p);
                journal[p].hasActive = false;
                if (!Fetch(p, u))
                    return;
                break;
        }
        OnDisk(p, u);
    }
    void ServerDeleted(const std::string& p, const Node& t) {
        const decide::Local kind = KindOf(local, p);
        const CFileInfo L = kind == decide::Local::kNone ? CFileInfo() : Info(p, local[p]);
        const bool same =
            decide::ServerDeletedNeedsContent(kind, L, Info(p, t)) && decide::SameContent(Info(p, t), L);
        switch (decide::OnServerDeletion(kind, L, Info(p, t), same)) {
            case decide::ServerDeleted::kNothing:
                break;
            case decide::ServerDeleted::kRemove:
                local.erase(p);
                break;
            case decide::ServerDeleted::kClearFolder:
                ClearFolder(p);
                break;
            case decide::ServerDeleted::kKeepAsConflict:
                MoveAside(p);
                break;
        }
        journal.erase(p);
    }
    void Download() {
        std::vector<std::string> pending, deleted;
        for (const auto& [p, r] : journal) {
            if (!r.onDisk && r.hasUpdated)
                (r.tombstone ? deleted : pending).push_back(p);
        }
        for (const std::string& p : pending) {
            const Row r = journal[p];
            if (r.hasActive)
                CheckUpdated(p, r.active, r.updated);
            else
                CheckNew(p, r.updated);
        }
        for (const std::string& p : deleted) {
            if (journal.count(p))
                ServerDeleted(p, journal[p].updated);
        }
    }

    // -- Upload phase.
    void DetectRenames() {
        std::vector<decide::Vanished> vanished;
        std::vector<decide::Appeared> appeared;
        auto children = [](const auto& entries, const std::string& p) {
            std::map<std::string, CFileInfo> out;
            for (const auto& [q, n] : entries)
                if (ParentOf(q) == p)
                    out[CFileJournal::MakeKey(q.substr(p.size() + 1))] = Info(q, n);
            return out;
        };
        std::map<std::string, Node> onDisk;
        for (const auto& [p, r] : journal)
            if (r.onDisk)
                onDisk[p] = r.active;
        for (const auto& [p, n] : onDisk)
            if (!local.count(p))
                vanished.push_back({p, p, Info(p, n), children(onDisk, p)});
        for (const auto& [p, n] : local)
            if (!journal.count(p))
                appeared.push_back({p, Info(p, n), children(local, p)});
        for (const decide::RenamePair& pair : decide::MatchRenames(vanished, appeared)) {
            const std::string from = vanished[pair.vanished].rel, to = appeared[pair.appeared].rel;
            if (!MoveSubtree(&service, from, to))
                continue;  // refused: the walks below take it up
            Journal moved;
            for (auto it = journal.begin(); it != journal.end();) {
                if (it->first == from || IsBelow(it->first, from)) {
                    moved[to + it->first.substr(from.size())] = it->second;
                    it = journal.erase(it);
                } else {
                    ++it;
                }
            }
            journal.insert(moved.begin(), moved.end());
        }
    }
    Removed RemoveSeen(const std::string& p) {
        const Row r = journal[p];
        if (!r.active.dir) {
            auto it = service.find(p);
            const decide::Fresh look = it == service.end() ? decide::Fresh::kMissing
                                       : it->second.dir    ? decide::Fresh::kOtherKind
                                                           : decide::Fresh::kEntry;
            const CFileInfo fresh = it == service.end() ? CFileInfo() : Info(p, it->second);
            const decide::Removal removal = decide::OnLocalDeletion(Info(p, r.active), look, fresh);
            if (removal == decide::Removal::kRemove)
                service.erase(p);
            journal.erase(p);
            return removal == decide::Removal::kLeave ? Removed::kLeft : Removed::kDone;
        }
        auto forgetUnder = [&](const std::string& q) {
            for (auto it = journal.begin(); it != journal.end();)
                it = it->first == q || IsBelow(it->first, q) ? journal.erase(it) : std::next(it);
        };
        auto it = service.find(p);
        if (it == service.end() || !it->second.dir) {
            forgetUnder(p);
            return it == service.end() ? Removed::kDone : Removed::kLeft;
        }
        std::map<std::string, CFileInfo> listing;
        for (const auto& [q, n] : service)
            if (IsBelow(q, p))
                listing[q] = Info(q, n);
        std::map<std::string, CJournalItem> items;
        for (const auto& [q, row] : journal)
            items[q] = Item(q, row);
        const decide::FolderRemoval plan =
            decide::PlanFolderRemoval(p, p, listing, [&](const std::string& key) {
                auto found = items.find(key);
                return found == items.end() ? nullptr : &found->second;
            });
        if (plan.whole) {
            EraseSubtree(&service, p);
            forgetUnder(p);
            return Removed::kDone;
        }
        for (const std::string& q : plan.remove) {
            EraseSubtree(&service, q);
            forgetUnder(q);
        }
        for (const std::string& key : plan.forget)
            journal.erase(key);
        for (auto row = journal.begin(); row != journal.end();)
            row = IsBelow(row->first, p) && !listing.count(row->first) ? journal.erase(row) : std::next(row);
        return Removed::kLeft;
    }
    bool ServiceParentOk(const std::string& p) {
        const std::string parent = ParentOf(p);
        return parent.empty() || (service.count(parent) && service[parent].dir);
    }
    // `known` is the journal's current half as the worker sends it with the upload: the version on
    // the disk, or the pending one.
    void UploadEntry(const std::string& p, const Node& n, const Node* known) {
        if (n.dir) {
            auto it = service.find(p);
            if ((it != service.end() && !it->second.dir) || !ServiceParentOk(p))
                return;  // refused: the next pass meets it as a conflict
            service[p] = n;
            OnDisk(p, n);
            return;
        }
        if (known && decide::SameContent(Info(p, n), Info(p, *known))) {
            local[p].time = known->time;  // only the time moved
            return;
        }
        auto it = service.find(p);
        const bool current = known ? it != service.end() && !it->second.dir &&
                                         decide::SameContent(Info(p, it->second), Info(p, *known))
                                   : it == service.end();
        if (!known && it != service.end() && !it->second.dir &&
            decide::SameContent(Info(p, it->second), Info(p, n))) {
            OnDisk(p, service[p]);  // the service holds it already
            local[p].time = service[p].time;
            return;
        }
        if (!current) {  // the service answers with a conflict: the edit stays beside its version
            MoveAside(p);
            journal.erase(p);
            return;
        }
        if (!ServiceParentOk(p))
            return;
        service[p] = n;
        OnDisk(p, n);
    }
    void CheckLocalAdd() {
        const Tree snapshot = local;
        for (const auto& [p, n] : snapshot) {
            if (!local.count(p) || !(local[p] == n))
                continue;
            auto row = journal.find(p);
            CJournalItem item;
            if (row != journal.end())
                item = Item(p, row->second);
            switch (decide::OnLocalEntry(row == journal.end() ? nullptr : &item, Info(p, n))) {
                case decide::LocalEntry::kInStep:
                case decide::LocalEntry::kWaitForService:
                    break;
                case decide::LocalEntry::kNew:
                    UploadEntry(p, n, nullptr);
                    break;
                case decide::LocalEntry::kModified: {
                    const Row& r = row->second;
                    const Node known = r.onDisk || !r.hasUpdated ? r.active : r.updated;
                    UploadEntry(p, n, &known);
                    break;
                }
                case decide::LocalEntry::kReplaceKind:
                    if (RemoveSeen(p) == Removed::kDone)
                        UploadEntry(p, n, nullptr);
                    break;
            }
        }
    }
    void CheckLocalDelete() {
        std::vector<std::string> deleted;
        std::string last;
        for (const auto& [p, r] : journal) {
            if (!r.onDisk || local.count(p))
                continue;
            if (!last.empty() && IsBelow(p, last))
                continue;
            last = p;
            deleted.push_back(p);
        }
        for (const std::string& p : deleted)
            if (journal.count(p))
                RemoveSeen(p);
    }

    void Pass() {
        unfinished = false;
        Snapshot();
        Download();
        if (midPass) {
            midPass();
            midPass = nullptr;
        }
        DetectRenames();
        CheckLocalAdd();
        CheckLocalDelete();
    }
};

std::string Show(const Tree& t) {
    std::ostringstream out;
    for (const auto& [p, n] : t)
        out << "  " << p << (n.dir ? " dir" : " #" + std::to_string(n.content) + "@" + std::to_string(n.time))
            << "\n";
    return out.str();
}

// ---- Perturbations, as a user makes them; every write is a new content.
struct Maker {
    std::mt19937_64 rng;
    int* nextContent;
    int64_t* clock;
    std::vector<std::string> log;

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
    std::vector<std::string> Paths(const Tree& t, int kind) {  // 0 any, 1 files, 2 folders
        std::vector<std::string> out;
        for (const auto& [p, n] : t)
            if (kind == 0 || (kind == 1) == !n.dir)
                out.push_back(p);
        return out;
    }
    std::string NewName(const Tree& t, const std::string& side) {
        std::vector<std::string> folders = Paths(t, 2);
        folders.push_back("");
        const std::string parent = folders[Pick(folders.size())];
        std::string name;
        do
            name = (parent.empty() ? "" : parent + "/") + side + std::to_string(Pick(1000));
        while (t.count(name));
        return name;
    }
    void Perturb(Tree* t, const std::string& side, int ops) {
        for (int i = 0; i < ops; ++i) {
            const std::vector<std::string> files = Paths(*t, 1), folders = Paths(*t, 2), any = Paths(*t, 0);
            switch (Pick(7)) {
                case 0: {  // new file
                    const std::string p = NewName(*t, side);
                    (*t)[p] = Node{false, ++*nextContent, ++*clock};
                    log.push_back(side + " new " + p);
                    break;
                }
                case 1:  // edit
                    if (!files.empty()) {
                        const std::string p = files[Pick(files.size())];
                        (*t)[p] = Node{false, ++*nextContent, ++*clock};
                        log.push_back(side + " edit " + p);
                    }
                    break;
                case 2:  // touch: the time only
                    if (!files.empty()) {
                        const std::string p = files[Pick(files.size())];
                        (*t)[p].time = ++*clock;
                        log.push_back(side + " touch " + p);
                    }
                    break;
                case 3:  // delete a file or a folder with its contents
                    if (!any.empty()) {
                        const std::string p = any[Pick(any.size())];
                        EraseSubtree(t, p);
                        log.push_back(side + " delete " + p);
                    }
                    break;
                case 4:  // rename a file or a folder
                    if (!any.empty()) {
                        const std::string p = any[Pick(any.size())];
                        const std::string q = NewName(*t, side);
                        if (!IsBelow(q, p) && MoveSubtree(t, p, q))
                            log.push_back(side + " rename " + p + " -> " + q);
                    }
                    break;
                case 5: {  // new folder
                    const std::string p = NewName(*t, side);
                    (*t)[p] = Node{true, 0, 1};
                    log.push_back(side + " mkdir " + p);
                    break;
                }
                default:  // a file becomes a folder or the other way
                    if (!any.empty()) {
                        const std::string p = any[Pick(any.size())];
                        const bool dir = (*t)[p].dir;
                        EraseSubtree(t, p);
                        (*t)[p] = dir ? Node{false, ++*nextContent, ++*clock} : Node{true, 0, 1};
                        log.push_back(side + " retype " + p);
                    }
                    break;
            }
        }
    }
};

// Contents and their paths in a tree.
std::multimap<int, std::string> Contents(const Tree& t) {
    std::multimap<int, std::string> out;
    for (const auto& [p, n] : t)
        if (!n.dir)
            out.emplace(n.content, p);
    return out;
}

// A base content survives unless one side changed it; every newer content always does.
void CheckSurvivors(const Tree& base, const Tree& here, const Tree& there, const Tree& end,
                    const std::string& trace) {
    const auto endContents = Contents(end);
    std::set<int> baseContents;
    for (const auto& [c, p] : Contents(base))
        baseContents.insert(c);
    for (const Tree* side : {&here, &there}) {
        for (const auto& [c, p] : Contents(*side)) {
            if (baseContents.count(c))
                continue;
            EXPECT_TRUE(endContents.count(c)) << "content #" << c << " made at " << p << " was lost\n"
                                              << trace;
        }
    }
    // A base content that one side still holds (where it was, or moved) and the other side left
    // in place untouched was replaced or deleted by nobody.
    for (const auto& [p, n] : base) {
        if (n.dir)
            continue;
        for (const auto& [side, other] : {std::pair{&here, &there}, std::pair{&there, &here}}) {
            auto kept = other->find(p);
            const bool otherUntouched = kept != other->end() && kept->second == n;
            const auto held = Contents(*side);
            if (otherUntouched && held.count(n.content)) {
                EXPECT_TRUE(endContents.count(n.content))
                    << "content #" << n.content << " of " << p << ", replaced by nobody, was lost\n"
                    << trace;
            }
        }
        auto inHere = here.find(p), inThere = there.find(p);
        if (inHere != here.end() && inHere->second == n && inThere != there.end() && inThere->second == n) {
            auto now = end.find(p);
            EXPECT_TRUE(now != end.end() && now->second.content == n.content)
                << "untouched " << p << " #" << n.content << " moved or changed\n"
                << trace;
        }
    }
}

void RunCase(uint64_t seed) {
    std::mt19937_64 rng(seed);
    int nextContent = 0;
    int64_t clock = 100;
    Maker maker{std::mt19937_64(seed * 7919 + 1), &nextContent, &clock, {}};

    // A base tree that both sides and the journal agree on.
    Tree base;
    maker.Perturb(&base, "b", 6 + static_cast<int>(rng() % 10));
    maker.log.clear();
    World w;
    w.local = base;
    w.service = base;
    for (const auto& [p, n] : base)
        w.OnDisk(p, n);

    maker.Perturb(&w.local, "L", 1 + static_cast<int>(rng() % 4));
    maker.Perturb(&w.service, "S", static_cast<int>(rng() % 4));
    const Tree localWanted = w.local;
    Tree serviceWanted = w.service;
    // Another computer strikes between this computer's look at the service and its upload.
    const bool race = rng() % 2 == 0;
    if (race) {
        w.midPass = [&]() {
            maker.Perturb(&w.service, "R", 1 + static_cast<int>(rng() % 3));
            serviceWanted = w.service;
        };
    }

    // Some downloads of the first passes fail and are taken up later.
    int failures = static_cast<int>(rng() % 3);
    w.fetchFails = [&]() { return failures > 0 && rng() % 2 == 0 && failures--; };

    int passes = 0;
    for (;; ++passes) {
        const Tree beforeLocal = w.local, beforeService = w.service;
        const Journal beforeJournal = w.journal;
        w.Pass();
        if (w.local == beforeLocal && w.service == beforeService && w.journal == beforeJournal &&
            !w.unfinished)
            break;
        if (passes > 12)
            break;
    }
    std::ostringstream trace;
    trace << "seed " << seed << "\n";
    for (const std::string& line : maker.log)
        trace << "  " << line << "\n";
    trace << "base:\n"
          << Show(base) << "local end:\n"
          << Show(w.local) << "service end:\n"
          << Show(w.service);
    ASSERT_LE(passes, 12) << "no quiet after 12 passes\n" << trace.str();
    // Contents agree; a time that only moved on the service does not travel (nothing to fetch).
    auto contents = [](const Tree& t) {
        std::map<std::string, int> out;
        for (const auto& [p, n] : t)
            out[p] = n.dir ? -1 : n.content;
        return out;
    };
    EXPECT_EQ(contents(w.local), contents(w.service)) << trace.str();
    for (const auto& [p, n] : w.local) {
        auto row = w.journal.find(p);
        EXPECT_TRUE(row != w.journal.end() && row->second.onDisk && row->second.active.content == n.content)
            << "journal misses " << p << "\n"
            << trace.str();
    }
    EXPECT_EQ(w.journal.size(), w.local.size()) << trace.str();
    CheckSurvivors(base, localWanted, serviceWanted, w.local, trace.str());
}

TEST(DecideModelTest, NoContentLostAndQuietAfterRandomRaces) {
    const char* seeds = std::getenv("KESTRINE_MODEL_SEEDS");
    const uint64_t count = seeds ? std::strtoull(seeds, nullptr, 10) : 3000;
    for (uint64_t seed = 1; seed <= count && !HasFailure(); ++seed)
        RunCase(seed);
}

}  // namespace
