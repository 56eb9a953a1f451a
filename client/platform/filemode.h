// Permission bits of the client's own folders and files: the data root's folders are kept 0700
// and the files holding the account (client.db, the logs, the chunk cache) 0600, whatever the
// umask says. The process umask stays as it is, so files synced into the home folder keep the
// user's default modes. Plain functions without state; each can fail through fault.h (Op::SetMode
// for the permission change, Op::MakeDir, Op::Open, Op::Xattr) and sets LastError() when it fails. None
// follows a symbolic link.
#pragma once

#include <string>

namespace platform {

constexpr unsigned kPrivateDirMode = 0700;
constexpr unsigned kPrivateFileMode = 0600;
// The client's own extended attributes (the stored attribute bits) begin so.
constexpr const char* kOwnXattrPrefix = "user.kestrine.";

// Sets the permission bits of `path` (a file or a folder); false for a link or a missing path.
bool SetMode(const std::string& path, unsigned mode);
// The permission bits (07777) of `path` as lstat reports them; false when it cannot be read.
bool GetMode(const std::string& path, unsigned* mode);

// Copies the extended attributes of the regular file `from` onto the regular file `to`, except
// the names beginning with `skipPrefix` (the client's own). Links are not followed. Every
// attribute is tried; false, with LastError() of the last failure, when one could not be listed,
// read or set (Op::Xattr fails the call for the path of the file it reads or writes). A file
// system without extended attributes has none to copy: true.
bool CopyExtendedAttributes(const std::string& from, const std::string& to, const std::string& skipPrefix);

// Creates the folder (one level) 0700, or brings an existing folder to 0700. False when it is not
// a folder afterwards or its mode could not be set.
bool MakeDirPrivate(const std::string& path);
// Creates an empty file 0600 when missing, or brings an existing regular file to 0600; call it
// before the file's first byte is written. False for a link or another kind of entry.
bool MakeFilePrivate(const std::string& path);
// Brings an existing regular file to 0600; true when the path does not exist (nothing to tighten).
bool TightenFile(const std::string& path);

}  // namespace platform
