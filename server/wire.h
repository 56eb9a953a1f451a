// Wire-level helpers of the reference service: reason codes, the spelling of file names in
// requests and replies, and strict readers for the numbers and names that arrive from clients.
// Everything here treats its input as untrusted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The service compares paths without regard to ASCII letter case, as its clients do.
#include "util/ascii.h"

namespace kserver {

// Reason codes put into a refused reply head (the client's error table, 1..29; their texts:
// CUtil::EnglishReasonText).
enum Reason : int {
    kOk = 0,
    kDuplicatedUser = 1,
    kHostNotExist = 2,
    kOldFileNotExist = 3,
    kIsFolder = 5,
    kPasswordWrong = 6,
    kFileNotExist = 7,
    kDatabaseError = 8,
    kFormatError = 9,
    kNotFolder = 10,
    kFolderShared = 14,
    kFolderNotShared = 15,
    kFileFormatError = 16,
    kOwnerCannotLeave = 17,
    kNotOwner = 18,
    kNotYours = 19,
    kParentNotExist = 20,
    kKeyNotExist = 21,
    kUserNotExist = 23,
    kFlowError = 24,
    kNewFileExists = 26,
    kHostMismatch = 28,
    kPassportInvalid = 29,
};

constexpr int64_t kChunkSize = 4194304;  // largest chunk a client sends
constexpr size_t kMaxPathBytes = 4096;   // a whole server path
constexpr size_t kMaxNameBytes = 255;    // one path component
constexpr int64_t kMaxChunksPerFile = 1 << 20;

// A UTF-8 name as the client reads it back: every character beyond ASCII of the Basic
// Multilingual Plane as "&#xHHHH;" and "&" as "&#x0026;" (the client decodes these references);
// characters beyond the BMP stay UTF-8.
std::string EncodeWireName(std::string_view utf8);
// A name as a client sent it: the client escapes "&" as "&amp;" before its XML layer escapes the
// text again, so one level of "&amp;" is undone here.
std::string DecodeRequestName(std::string_view text);

bool ValidUtf8(std::string_view s);
// Splits a server path at "/" and checks every component: not empty, not "." or "..", no NUL or
// other control character, valid UTF-8, within the length bounds. False for any violation.
bool SplitPath(std::string_view path, std::vector<std::string>* parts);
std::string JoinPath(const std::vector<std::string>& parts, size_t from = 0);

bool IsMd5Hex(std::string_view s);
// Strict decimal integers: optional "-", digits only, no overflow. Empty is not a number.
bool ParseInt64(std::string_view s, int64_t* out);

// Random lower-case hexadecimal text from a per-thread generator seeded by the system.
std::string RandomHex(size_t digits);

}  // namespace kserver
