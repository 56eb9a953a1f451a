// SHA-256 as lower-case hex, over Crypto++ (which the client links already): CSha256 digests a
// stream in pieces (Update any number of times, then FinalHex), so a large download is hashed
// as it arrives; HexOf and HexOfFile are the one-call forms. ParseSumText reads the digest a
// service publishes beside a file, in the form `sha256sum` prints. An object belongs to one
// thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace CryptoPP {
class SHA256;
}

class CSha256 {
  public:
    static constexpr size_t kDigestSize = 32;
    static constexpr size_t kHexSize = 2 * kDigestSize;

    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void Update(const void* data, size_t len);
    // The 64 lower-case hex digits of everything fed so far; the object starts afresh.
    std::string FinalHex();

    static std::string HexOf(const void* data, size_t len);
    // False when the file cannot be opened or read to its end.
    static bool HexOfFile(const std::string& path, std::string* hex);

    // A published digest: 64 hex digits at the very start, optionally followed by white space and
    // a file name on the same line (`sha256sum` output), then only white space. True with the
    // digest in lower case; anything else (several lines, short or long digits) is false.
    static bool ParseSumText(const std::string& text, std::string* hex);

  private:
    std::unique_ptr<CryptoPP::SHA256> hash_;
};
