// The safety check of paths that come from the service. A listed path names where a file will be
// written under the home folder, so it is trusted only when every name in it is a plain name and
// nothing on the way down is a link or a file: otherwise it could reach outside the home folder.
// Plain functions without state.
#pragma once

#include <cstddef>
#include <string>

namespace serverpath {

// A server path ("root/a/b", or "17/a/b" inside a shared folder): a first component and at least
// one more, none of them empty, "." or "..", no NUL anywhere. "\" counts as a separator, as the
// journal turns it into "/".
bool IsSafeServerPath(const std::string& path);

// A root-relative path ("/a/b"): "/" followed by names that pass the same rules.
bool IsSafeRelativePath(const std::string& rel);

// Names the client keeps for its own files in the tree: the share marker, the folder decoration
// and the hidden files it builds a download in (".x.kestrine-part"), in any letter case, as a
// peer on a case-blind file system may send "Desktop.ini". Such an entry from the service would
// replace or pose as one of them, so it is never synced. The hidden names an interrupted
// removal leaves (".x.kestrine-removing-...") are not among them: they hold user data.
bool IsReservedName(const std::string& name);
// True when any name in the path (either form above, "/" or "\" separators) is reserved.
bool HasReservedName(const std::string& path);
// The reason an entry the service lists is not synced (notsynced::k...), or nullptr when it may be.
// Besides the reserved names anywhere, the hidden-name list right below the head (the home
// folder's or a shared folder's, CFileCache::kHiddenListName) is refused.
const char* RefusalOf(const std::string& serverPath);

// A folder name the portal gives (the account's telephone or e-mail, which name an earlier
// layout's folder beside the home folder) is used only when it is one plain, visible name: not
// empty, no separator, NUL or control character, not beginning with "." (the client's own
// ".db", ".log", ".cache" and ".trash" live there), and within the name limit.
bool IsPlainFolderName(const std::string& name);

// True when no folder between `root` and the entry `rel` exists as anything but a real folder (a
// link or a file there would take a write elsewhere). Missing folders are fine: the download path
// creates them.
bool StaysUnderRoot(const std::string& root, const std::string& rel);

// True when every name in the absolute path `abs` fits the file system's name limit, and the
// path, with `slack` bytes to spare (a file built beside it), fits its path limit.
bool FitsLocalLimits(const std::string& abs, size_t slack);

// Paths of one form ("a/b" or "/a/b", "/" separators, no trailing one): `path` is `folder` itself
// or lies in it (IsInside), or lies strictly in it (IsBelow). A plain text search would take
// "/ab/x" for a part of "/a".
bool IsInside(const std::string& path, const std::string& folder);
bool IsBelow(const std::string& path, const std::string& folder);
// `path` moved with `from` to `to`: the same place inside `to` when it lies inside `from`,
// unchanged otherwise.
std::string Rebase(const std::string& path, const std::string& from, const std::string& to);
// The folder holding `path`; empty for a top-level entry.
std::string ParentOf(const std::string& path);

}  // namespace serverpath
