// Permission bits of the client's own folders and files: the data root's folders are kept 0700
// and the files holding the account (client.db, the logs, the chunk cache) 0600, whatever the
// umask says. The process umask stays as it is, so files synced into the home folder keep the
// user's default modes. Plain functions without state; each can fail through fault.h (Op::SetMode
// for the permission change, Op::MakeDir, Op::Open) and sets LastError() when it fails. None
// follows a symbolic link.
#pragma once

#include <string>

namespace platform {

constexpr unsigned kPrivateDirMode = 0700;
constexpr unsigned kPrivateFileMode = 0600;

// Sets the permission bits of `path` (a file or a folder); false for a link or a missing path.
bool SetMode(const std::string& path, unsigned mode);
// The permission bits (07777) of `path` as lstat reports them; false when it cannot be read.
bool GetMode(const std::string& path, unsigned* mode);

// Creates the folder (one level) 0700, or brings an existing folder to 0700. False when it is not
// a folder afterwards or its mode could not be set.
bool MakeDirPrivate(const std::string& path);
// Creates an empty file 0600 when missing, or brings an existing regular file to 0600; call it
// before the file's first byte is written. False for a link or another kind of entry.
bool MakeFilePrivate(const std::string& path);
// Brings an existing regular file to 0600; true when the path does not exist (nothing to tighten).
bool TightenFile(const std::string& path);

}  // namespace platform
