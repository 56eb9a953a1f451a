// CUtil: the client's shared static helpers. Text: encodings (ANSI code page, UTF-8, the server's
// numeric character references), MD5 digest texts, Base64, inflation of compressed listings,
// conflict names and the server's reason texts. System: folders, shell-style file operations,
// the client's registry values, proxy, browser, log cleaning. No state apart from the
// process-wide upper-case digest switch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
struct LocalTime;
}

class CUtil {
  public:
    // --- Text encodings. "ANSI" is the platform's ANSI code set (platform/codepage.h).
    // Decodes the back server's "&#xHHHH;" / "&#xHH;" references into the ANSI code page; empty
    // (and logged) for a null text or one longer than kMaxChnDecodeInput characters.
    static constexpr size_t kMaxChnDecodeInput = 2080;
    static std::string ChnDecode(const char* text);
    static std::string ChnDecode(const std::string& text) { return ChnDecode(text.c_str()); }
    static void Utf8ToAnsi(std::string& text);
    static void AnsiToUtf8(std::string& text);
    // A UTF-8 text (a translated one, platform::Tr) in the ANSI code page, as the main window
    // and the console expect every text they show.
    static std::string AnsiFromUtf8(std::string text) {
        Utf8ToAnsi(text);
        return text;
    }
    // A text the user sees, in the user's language (platform::Tr) and the ANSI code page. Call it
    // with literals: the translation tools find it as an alias of `translate`.
    static std::string TrShown(const char* context, const char* text);
    static std::string FileApiToUtf8(const char* text);
    // "&" becomes "&amp;" (nothing else is escaped), then the text is converted to UTF-8.
    static std::string XmlEncode(const std::string& text);

    // --- Digests.
    // 32 hex digits of the MD5 of the bytes, lower case unless the upper-case switch is on;
    // false (and `out` untouched) for a null pointer or no bytes.
    static bool GetMd5String(const void* data, size_t len, std::string* out);
    // Appends the 16 bytes as 32 upper-case hex digits.
    static bool Md5ToHex(const uint8_t digest[16], std::string* out);
    // Exactly 32 hex digits into 16 bytes; false (output untouched) otherwise.
    static bool HexToMd5(const std::string& hex, uint8_t digest[16]);
    static void SetDigestUpperCase(bool upper);
    static bool DigestUpperCase();

    // --- Base64. The text forms stop at the first NUL of the input, and the decoded text is
    // kept up to its first NUL; false for an empty input (output emptied).
    static bool Base64Encode(const std::string& text, std::string* out);
    static bool Base64Decode(const std::string& text, std::string* out);
    // Byte forms for binary data (ciphertext, attachments): every byte counts.
    static std::string Base64EncodeBytes(const void* data, size_t len);
    static bool Base64DecodeBytes(const char* text, size_t len, std::string* out);

    // Base64-decodes `text` and inflates it (zlib) into `out` of `capacity` bytes. On success the
    // output is NUL-terminated within the capacity; on failure it holds "garbage" (as much as
    // fits) and the zlib code is logged. Never writes past `capacity`.
    static bool UnCompress(const std::string& text, char* out, size_t capacity);

    // "<path>.conflict(YYYY-MM-DD-hh-mm-ss-mmm)" at the local time now, or at `when`.
    static std::string GetConflictName(const std::string& path);
    static std::string GetConflictName(const std::string& path, const platform::LocalTime& when);
    // Server reason code 1..29 -> Chinese text, -29..-1 -> English text (-29: reason 1's, -1:
    // reason 29's), anything else -> "".
    static std::string GetErrorMessage(int code);
    // Server reason code 1..29 -> English text (the reference service's messages), else "".
    static std::string EnglishReasonText(int reason);

    // --- System integration.
    static bool IsDirectory(const std::string& path);  // a real folder, not a link to one
    static bool CreateFolder(const std::string& path);
    // Removes a folder and everything below it, clearing read-only on the way. A symbolic link
    // inside is removed itself; its target is never touched.
    static bool DeleteFolder(const std::string& folder);
    static bool ShellMove(const std::string& from, const std::string& to);
    static bool ShellCopy(const std::string& from, const std::string& to);
    static bool ShellDelete(const std::string& from, const std::string& to);
    static bool ShellRename(const std::string& from, const std::string& to);

    static bool GetInstallPath(std::string* path);
    static bool GetRootPath(std::string* path);
    static bool SetRootPath(const std::string& path);  // at most kMaxRootPath characters
    static bool SetShellFolderTarget(const std::string& path);
    static constexpr size_t kInstallPathBuffer = 80;
    static constexpr size_t kRootPathBuffer = 160;
    static constexpr size_t kMaxRootPath = kRootPathBuffer - 1;

    // The system's proxy for `url` as "host:port": http_proxy / https_proxy unless no_proxy
    // exempts the URL's host (util/proxyenv.h); false to go direct.
    static bool GetIEProxySet(const std::string& url, std::string* proxy);
    static std::string GetProxyHost(const std::string& proxy);
    static std::string GetProxyPort(const std::string& proxy);
    static bool GetDefaultBrowser(std::string* path);
    static void RefreshExplorer();
    // Deletes the "*.log" files of `folder` last written more than `days` days ago.
    static bool CleanLogs(const std::string& folder, int days);

    // --- Block signatures of a chunk (4096-byte blocks, the last one shorter).
    static constexpr size_t kSignatureBlockSize = 4096;
    // The rsync-style weak checksum of the bytes taken as signed values: (s1 mod 65536) + s2 * 65536,
    // s1 the sum of the bytes and s2 the sum of the running s1.
    static uint32_t WeakChecksum(const void* data, size_t len);
    // Per block "%u," of its weak checksum into `sums` and its MD5 as 32 upper-case hex digits and
    // "," into `hashes` (both replaced), and the block count. No bytes give empty texts and 0
    // blocks; false only for a null pointer with a non-zero length (outputs emptied).
    static bool GetBlockSignatures(const void* data, size_t len, std::string* sums, std::string* hashes,
                                   int32_t* blockCount);
};

// The reference walker behind ChnDecode: writes the decoded, NUL-terminated text of `in` to
// `out`, which must hold strlen(in) + 1 bytes (the decoded text is never longer than the input).
// 0, or -1 when either pointer is null.
int getGbkFromUnicode(char* out, const char* in);
