#include "util/sha256.h"

#include <cryptopp/sha.h>

#include <cctype>
#include <vector>

#include "platform/file.h"
#include "util/ascii.h"

namespace {

constexpr size_t kFileBuffer = 1 << 20;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

CSha256::CSha256() : hash_(std::make_unique<CryptoPP::SHA256>()) {}

CSha256::~CSha256() = default;

void CSha256::Update(const void* data, size_t len) {
    hash_->Update(static_cast<const CryptoPP::byte*>(data), len);
}

std::string CSha256::FinalHex() {
    CryptoPP::byte digest[kDigestSize];
    hash_->Final(digest);  // also restarts the hash
    static const char* kHex = "0123456789abcdef";
    std::string out;
    out.reserve(kHexSize);
    for (CryptoPP::byte b : digest) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

std::string CSha256::HexOf(const void* data, size_t len) {
    CSha256 h;
    h.Update(data, len);
    return h.FinalHex();
}

bool CSha256::HexOfFile(const std::string& path, std::string* hex) {
    platform::File file;
    if (!file.Open(path, platform::File::Mode::Read))
        return false;
    CSha256 h;
    std::vector<char> buffer(kFileBuffer);
    for (;;) {
        const int64_t n = file.Read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            break;
        h.Update(buffer.data(), static_cast<size_t>(n));
    }
    *hex = h.FinalHex();
    return true;
}

bool CSha256::ParseSumText(const std::string& text, std::string* hex) {
    if (text.size() < kHexSize)
        return false;
    std::string digest;
    for (size_t i = 0; i < kHexSize; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c))
            return false;
        digest.push_back(ascii::Lower(static_cast<char>(c)));
    }
    size_t i = kHexSize;
    if (i < text.size() && !IsSpace(text[i]))
        return false;  // a 65th digit or a glued name: not this digest
    // The file name, if any, runs to the end of the first line; after it only white space.
    const size_t lineEnd = text.find('\n', i);
    if (lineEnd != std::string::npos) {
        for (size_t j = lineEnd; j < text.size(); ++j) {
            if (!IsSpace(text[j]))
                return false;
        }
    }
    *hex = std::move(digest);
    return true;
}
