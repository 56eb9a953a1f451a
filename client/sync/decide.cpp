// The decisions of a pass as pure functions; see decide.h.
#include "sync/decide.h"

#include <algorithm>
#include <set>

#include "journal/filejournal.h"
#include "sync/serverpath.h"
#include "util/ascii.h"

namespace decide {

using serverpath::IsBelow;
using serverpath::ParentOf;

namespace {

bool SameIdentity(const CFileInfo& a, const CFileInfo& b) {
    return a.fileInode != 0 && a.fileInode == b.fileInode && a.fileDevice == b.fileDevice;
}

bool IdentityKnown(const CFileInfo& a, const CFileInfo& b) {
    return a.fileInode != 0 && b.fileInode != 0;
}

// The same file version as far as a rename leaves it: kind, size and time.
bool SameShape(const CFileInfo& a, const CFileInfo& b) {
    if (IsFolder(a) || IsFolder(b))
        return IsFolder(a) && IsFolder(b);
    return a.size == b.size && a.modifyTime == b.modifyTime;
}

bool FolderMatches(const Vanished& v, const Appeared& a) {
    if (IdentityKnown(v.seen, a.entry)) {
        if (!SameIdentity(v.seen, a.entry))
            return false;
        // An inode number can be used again for a new folder: the contents must agree too.
        if (v.children.empty() && a.children.empty())
            return true;
        return std::any_of(v.children.begin(), v.children.end(), [&](const auto& child) {
            auto there = a.children.find(child.first);
            return there != a.children.end() && SameShape(child.second, there->second);
        });
    }
    // Without the old identity only the contents speak: every child the folder had is there.
    if (v.children.empty())
        return false;
    return std::all_of(v.children.begin(), v.children.end(), [&](const auto& child) {
        auto there = a.children.find(child.first);
        return there != a.children.end() && SameShape(child.second, there->second);
    });
}

bool FileMatches(const Vanished& v, const Appeared& a) {
    if (!MayBeRenameOf(v, a))
        return false;
    if (IdentityKnown(v.seen, a.entry))
        return SameIdentity(v.seen, a.entry);
    if (v.seen.size > 0 && a.entry.chunkListText.empty())
        return false;  // not read: no proof
    return SameContent(v.seen, a.entry);
}

// Pairs where each side has exactly one candidate among the entries still in play.
template <typename Match>
void UniquePairs(const std::vector<Vanished>& vanished, const std::vector<Appeared>& appeared,
                 const std::vector<bool>& vOut, const std::vector<bool>& aOut, Match match,
                 std::vector<RenamePair>* pairs) {
    std::vector<int> vCount(vanished.size(), 0), aCount(appeared.size(), 0);
    std::vector<size_t> vWith(vanished.size(), 0);
    for (size_t i = 0; i < vanished.size(); ++i) {
        if (vOut[i])
            continue;
        for (size_t j = 0; j < appeared.size(); ++j) {
            if (aOut[j] || !match(vanished[i], appeared[j]))
                continue;
            ++vCount[i];
            ++aCount[j];
            vWith[i] = j;
        }
    }
    for (size_t i = 0; i < vanished.size(); ++i) {
        if (vCount[i] == 1 && aCount[vWith[i]] == 1)
            pairs->push_back({i, vWith[i]});
    }
}

}  // namespace

bool IsFolder(const CFileInfo& info) {
    return info.dirFlag != 0;
}

bool SameContent(const CFileInfo& a, const CFileInfo& b) {
    if (IsFolder(a) || IsFolder(b))
        return a.dirFlag == b.dirFlag;
    return a.size == b.size && ascii::EqualNoCase(a.chunkListText, b.chunkListText);
}

bool NeedsFetch(const CJournalItem* record, const CFileInfo& listed, bool listedShare) {
    if (record == nullptr || !record->onDisk || listedShare)
        return true;
    return !listed.IsUnchanged(record->active);
}

bool NewPathNeedsContent(Local local, const CFileInfo& U) {
    return local == Local::kFile && !IsFolder(U);
}

NewPath OnNewPath(Local local, const CFileInfo& U, bool sameContent) {
    switch (local) {
        case Local::kNone:
            return NewPath::kFetch;
        case Local::kFolder:
            if (U.dirFlag == 1)
                return NewPath::kKeep;
            return U.dirFlag >= 2 ? NewPath::kMarkShare : NewPath::kAsideThenFetch;
        case Local::kFile:
            return !IsFolder(U) && sameContent ? NewPath::kSetTime : NewPath::kAsideThenFetch;
        case Local::kOther:
            break;
    }
    return NewPath::kAsideThenFetch;  // a link or special file is never written through
}

Changed OnChangedVersion(Local local, bool unchanged, bool sameAsU) {
    if (local == Local::kNone)
        return Changed::kFetchAsConflict;
    if (sameAsU)
        return Changed::kSetTime;
    return unchanged ? Changed::kReplace : Changed::kAsideThenFetch;
}

bool ServerDeletedNeedsContent(Local local, const CFileInfo& L, const CFileInfo& T) {
    return local == Local::kFile && !IsFolder(T) && !T.IsSameVersion(L);
}

ServerDeleted OnServerDeletion(Local local, const CFileInfo& L, const CFileInfo& T, bool sameContent) {
    if (local == Local::kNone || local == Local::kOther)
        return ServerDeleted::kNothing;
    if (local == Local::kFolder && IsFolder(T))
        return ServerDeleted::kClearFolder;
    if (IsFolder(L) == IsFolder(T) && (T.IsSameVersion(L) || sameContent))
        return ServerDeleted::kRemove;
    return ServerDeleted::kKeepAsConflict;
}

LocalEntry OnLocalEntry(const CJournalItem* record, const CFileInfo& scanned) {
    if (record == nullptr)
        return LocalEntry::kNew;
    if (record->onDisk != 1)
        return LocalEntry::kWaitForService;
    const CFileInfo& active = record->active;
    if (IsFolder(active) != IsFolder(scanned))
        return LocalEntry::kReplaceKind;
    return active.IsSameVersion(scanned) ? LocalEntry::kInStep : LocalEntry::kModified;
}

Removal OnLocalDeletion(const CFileInfo& seen, Fresh look, const CFileInfo& fresh) {
    switch (look) {
        case Fresh::kFailed:
            return Removal::kRetry;
        case Fresh::kMissing:
            return Removal::kGone;
        case Fresh::kOtherKind:
            return Removal::kLeave;
        case Fresh::kEntry:
            break;
    }
    if (IsFolder(seen) != IsFolder(fresh))
        return Removal::kLeave;
    return IsFolder(seen) || SameContent(seen, fresh) ? Removal::kRemove : Removal::kLeave;
}

bool SeenAsListed(const CJournalItem* record, const CFileInfo& listed) {
    if (record == nullptr || record->onDisk != 1)
        return false;
    // A folder that became shared since is not the folder that was seen: its removal reaches
    // other accounts.
    return SameContent(record->active, listed);
}

FolderRemoval PlanFolderRemoval(const std::string& folderKey, const std::string& contentsKey,
                                const std::map<std::string, CFileInfo>& listing,
                                const JournalLookup& journal) {
    // The listing names a shared folder's contents by the folder id ("17/x"): their parent is
    // the listed mount of that id.
    std::map<std::string, std::string> mounts;
    for (const auto& [key, entry] : listing) {
        if (entry.dirFlag >= 2)
            mounts[std::to_string(entry.dirFlag)] = key;
    }
    auto parentKey = [&](const std::string& key) {
        std::string parent = ParentOf(key);
        if (parent == contentsKey)
            return folderKey;
        auto mount = mounts.find(parent);
        return mount != mounts.end() && parent.find('/') == std::string::npos ? mount->second : parent;
    };
    std::map<std::string, std::vector<std::string>> children;
    std::map<std::string, bool> allSeen;
    for (const auto& [key, entry] : listing) {
        children[parentKey(key)].push_back(key);
        allSeen[key] = SeenAsListed(journal(key), entry);
    }
    // A subtree is seen whole when every entry in it is; deepest keys first.
    std::vector<std::string> byDepth;
    byDepth.reserve(listing.size());
    for (const auto& [key, entry] : listing)
        byDepth.push_back(key);
    auto depth = [&](const std::string& key) {
        int d = 0;
        for (std::string k = key; !k.empty() && k != folderKey && d < 4096; k = parentKey(k))
            ++d;
        return d;
    };
    std::map<std::string, int> depths;
    for (const std::string& key : byDepth)
        depths[key] = depth(key);
    std::stable_sort(byDepth.begin(), byDepth.end(),
                     [&](const std::string& a, const std::string& b) { return depths[a] > depths[b]; });
    for (const std::string& key : byDepth) {
        const std::string parent = parentKey(key);
        if (!allSeen[key] && allSeen.count(parent))
            allSeen[parent] = false;
    }

    FolderRemoval plan;
    const bool whole = std::all_of(allSeen.begin(), allSeen.end(), [](const auto& e) { return e.second; });
    if (whole) {
        plan.whole = true;
        return plan;
    }
    plan.forget.push_back(folderKey);
    // Top down: a subtree seen whole goes in one removal; anything else stays, and so do the
    // folders that hold it.
    std::vector<std::string> todo = children[folderKey];
    std::set<std::string> visited;
    while (!todo.empty()) {
        const std::string key = todo.back();
        todo.pop_back();
        if (!visited.insert(key).second)
            continue;
        if (allSeen[key]) {
            plan.remove.push_back(listing.at(key).path);
            continue;
        }
        plan.forget.push_back(key);
        for (const std::string& child : children[key])
            todo.push_back(child);
    }
    std::sort(plan.remove.begin(), plan.remove.end());
    return plan;
}

bool MayBeRenameOf(const Vanished& v, const Appeared& a) {
    return SameShape(v.seen, a.entry);
}

std::vector<RenamePair> MatchRenames(const std::vector<Vanished>& vanished,
                                     const std::vector<Appeared>& appeared) {
    std::vector<RenamePair> pairs;
    std::vector<bool> vOut(vanished.size()), aOut(appeared.size());
    for (size_t i = 0; i < vanished.size(); ++i)
        vOut[i] = !IsFolder(vanished[i].seen) || vanished[i].seen.dirFlag >= 2;
    for (size_t j = 0; j < appeared.size(); ++j)
        aOut[j] = !IsFolder(appeared[j].entry) || appeared[j].entry.dirFlag >= 2;
    UniquePairs(vanished, appeared, vOut, aOut, FolderMatches, &pairs);

    // What moved with a folder is carried by the folder's rename, and so is a folder inside one.
    std::vector<RenamePair> outer;
    for (const RenamePair& p : pairs) {
        const bool inner = std::any_of(pairs.begin(), pairs.end(), [&](const RenamePair& q) {
            return IsBelow(vanished[p.vanished].rel, vanished[q.vanished].rel) &&
                   IsBelow(appeared[p.appeared].rel, appeared[q.appeared].rel);
        });
        if (!inner)
            outer.push_back(p);
    }
    for (size_t i = 0; i < vanished.size(); ++i) {
        vOut[i] =
            IsFolder(vanished[i].seen) || std::any_of(outer.begin(), outer.end(), [&](const RenamePair& p) {
                return IsBelow(vanished[i].rel, vanished[p.vanished].rel);
            });
    }
    for (size_t j = 0; j < appeared.size(); ++j) {
        aOut[j] =
            IsFolder(appeared[j].entry) || std::any_of(outer.begin(), outer.end(), [&](const RenamePair& p) {
                return IsBelow(appeared[j].rel, appeared[p.appeared].rel);
            });
    }
    UniquePairs(vanished, appeared, vOut, aOut, FileMatches, &outer);
    return outer;
}

bool IsMassRemoval(size_t removals, size_t journalEntries) {
    return removals > static_cast<size_t>(kMassRemovalMinimum) && removals * 2 > journalEntries;
}

int64_t RetryDelayMs(int failures, int64_t baseMs, int64_t capMs) {
    if (baseMs <= 0 || failures <= 0)
        return 0;
    int64_t delay = std::min(baseMs, capMs);
    for (int i = 1; i < failures && delay < capMs; ++i)
        delay = std::min(delay * 2, capMs);
    return delay;
}

}  // namespace decide
