// CUtil's text helpers: encodings, digest texts, Base64, inflation, conflict names, reason texts.
#include "util/util.h"

#include <zlib.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "platform/codepage.h"
#include "platform/system.h"
#include "platform/translate.h"
#include "util/ascii.h"
#include "util/base64.h"
#include "util/md5.h"

namespace {

std::atomic<bool> g_digestUpperCase{false};

bool SameCodeset(const std::string& a, const std::string& b) {
    auto norm = [](const std::string& s) {
        std::string n;
        for (char c : s) {
            if (c == '-' || c == '_')
                continue;
            n.push_back(ascii::Upper(c));
        }
        return n;
    };
    return norm(a) == norm(b);
}

// Converts without giving up on a bad character: a character the target lacks, or a byte
// sequence the source does not know, becomes "?" and the rest goes on.
// Conversions between equal code sets keep the bytes as they are.
std::string ConvertLossy(const std::string& from, const std::string& to, const std::string& in) {
    if (in.empty() || SameCodeset(from, to))
        return in;
    std::string out;
    if (platform::ConvertCodeset(from, to, in, &out))
        return out;
    // Slow path, only for text that does not convert whole: one character at a time, trying
    // the lengths a character can have in the code sets met here (up to four bytes). A whole
    // character the target lacks gives one "?", a byte the source does not know gives one too.
    out.clear();
    size_t i = 0;
    while (i < in.size()) {
        size_t used = 0;
        for (size_t n = 1; n <= 4 && i + n <= in.size(); ++n) {
            const std::string one = in.substr(i, n);
            std::string piece;
            if (platform::ConvertCodeset(from, to, one, &piece)) {
                out += piece;
                used = n;
                break;
            }
            if (platform::ConvertCodeset(from, "UTF-32LE", one, &piece)) {
                out.push_back('?');
                used = n;
                break;
            }
        }
        if (used == 0) {
            out.push_back('?');
            used = 1;
        }
        i += used;
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads n hex digits; false when one of them is not a hex digit.
bool ReadHex(const char* p, int n, unsigned* value) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) {
        const int d = HexDigit(p[i]);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<unsigned>(d);
    }
    *value = v;
    return true;
}

// One UCS-2 code unit (high byte first) in the ANSI code set; empty when it has no form there.
std::string UnitToAnsi(unsigned unit) {
    const char ucs2[2] = {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
    std::string out;
    if (!platform::ConvertCodeset("UCS-2BE", platform::AnsiCodeset(), std::string(ucs2, 2), &out))
        return std::string();
    return out;
}

// U+0000..U+00FF through UTF-8, then to the ANSI code set.
std::string Latin1ToAnsi(unsigned value) {
    const char ucs2[2] = {0, static_cast<char>(value & 0xFF)};
    std::string out;
    if (!platform::ConvertCodeset("UCS-2BE", "UTF-8", std::string(ucs2, 2), &out))
        return std::string();
    CUtil::Utf8ToAnsi(out);
    return out;
}

// Appends a decoded character, which may take no more bytes than the reference it replaces, so
// the output never outgrows the input. U+0000 and characters without a form become "?": a NUL
// would silently cut the name short.
size_t PutDecoded(char* out, size_t o, const std::string& bytes, size_t consumed, unsigned value) {
    if (value == 0 || bytes.empty() || bytes.size() > consumed || bytes.find('\0') != std::string::npos) {
        out[o] = '?';
        return o + 1;
    }
    std::memcpy(out + o, bytes.data(), bytes.size());
    return o + bytes.size();
}

// The server writes "&#x"; a decimal reference such as "&#20013;" would otherwise be misread as
// hex digits of the wrong character, so the "x" is required.
bool RefStart(const char* p) {
    return p[0] == '&' && p[1] == '#' && (p[2] == 'x' || p[2] == 'X');
}

size_t DecodeReferences(const char* in, size_t len, char* out) {
    size_t o = 0;
    size_t i = 0;
    while (i < len) {
        unsigned value = 0;
        if (i + 7 < len && RefStart(in + i) && in[i + 7] == ';' && ReadHex(in + i + 3, 4, &value)) {
            o = PutDecoded(out, o, UnitToAnsi(value), 8, value);
            i += 8;
        } else if (i + 5 < len && RefStart(in + i) && in[i + 5] == ';' && ReadHex(in + i + 3, 2, &value)) {
            o = PutDecoded(out, o, Latin1ToAnsi(value), 6, value);
            i += 6;
        } else {
            out[o++] = in[i++];
        }
    }
    out[o] = '\0';
    return o;
}

// The server's reason codes 1..29 in order: the English text (the service's messages) and the
// Chinese text the client shows.
struct ReasonTexts {
    const char* english;
    const char* chinese;
};
constexpr ReasonTexts kReasonTexts[] = {
    {"duplicated user", "重复用户"},
    {"host not exist", "主机名不存在"},
    {"old file not exist", "旧文件不存在"},
    {"old file deleted", "旧文件被删除"},
    {"it is a folder", "目录"},
    {"password not right", "密码不正确"},
    {"file not exist", "文件不存在"},
    {"server database error", "服务器数据库错误"},
    {"request format error", "请求数据流错误"},
    {"it is not a folder", "操作对象不是目录"},
    {"file not deleted", "文件未删除"},
    {"folder has not version", "目录没有版本信息"},
    {"server system memory not enough", "服务器系统内存不足"},
    {"folder has been shared", "目录已经被共享"},
    {"folder is not shared", "目录不是共享目录"},
    {"file format error", "文件格式错误"},
    {"owner can not leave share", "目录拥有者不能离开共享"},
    {"you are not the owner", "您不是目录拥有者"},
    {"file not belong to you", "文件不属于你"},
    {"father folder not exist", "父目录不存在"},
    {"key not exist", "关键字不存在"},
    {"user status error", "用户状态错误"},
    {"user not exist", "用户不存在"},
    {"server flow error", "服务器流错误"},
    {"total file size exceed threshold", "文件总容量超出最大限额"},
    {"rename file: new file exist", "修改文件名：新文件"},
    {"restore the same version", "存储相同的版本"},
    {"host id mismatch", "主机名不匹配"},
    {"passport invalid", "验证码失效"},
};
constexpr int kLastReason = 29;
static_assert(sizeof(kReasonTexts) / sizeof(kReasonTexts[0]) == kLastReason);

// "garbage", NUL-terminated, cut to what fits.
void WriteGarbage(char* out, size_t capacity) {
    static const char kGarbage[] = "garbage";
    const size_t n = capacity - 1 < sizeof(kGarbage) - 1 ? capacity - 1 : sizeof(kGarbage) - 1;
    std::memcpy(out, kGarbage, n);
    out[n] = '\0';
}

}  // namespace

int getGbkFromUnicode(char* out, const char* in) {
    if (out == nullptr || in == nullptr)
        return -1;
    DecodeReferences(in, std::strlen(in), out);
    return 0;
}

std::string CUtil::ChnDecode(const char* text) {
    if (text == nullptr) {
        Log(kLogError, "CUtil::ChnDecode", "invalid input string");
        return std::string();
    }
    const size_t len = strnlen(text, kMaxChnDecodeInput + 1);
    if (len > kMaxChnDecodeInput) {
        Log(kLogError, "CUtil::ChnDecode", "invalid input string, too long string");
        return std::string();
    }
    std::string out(len + 1, '\0');
    if (getGbkFromUnicode(out.data(), text) < 0) {
        Log(kLogError, "CUtil::ChnDecode", "Fail to getGbkFromUnicode");
        return std::string();
    }
    out.resize(std::strlen(out.c_str()));
    return out;
}

void CUtil::Utf8ToAnsi(std::string& text) {
    text = ConvertLossy("UTF-8", platform::AnsiCodeset(), text);
}

std::string CUtil::TrShown(const char* context, const char* text) {
    return AnsiFromUtf8(platform::Tr(context, text));
}

void CUtil::AnsiToUtf8(std::string& text) {
    text = ConvertLossy(platform::AnsiCodeset(), "UTF-8", text);
}

std::string CUtil::FileApiToUtf8(const char* text) {
    if (text == nullptr)
        return std::string();
    // The file functions take the ANSI code set here; there is no OEM mode.
    return ConvertLossy(platform::AnsiCodeset(), "UTF-8", text);
}

std::string CUtil::XmlEncode(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else
            out.push_back(c);
    }
    AnsiToUtf8(out);
    return out;
}

bool CUtil::GetMd5String(const void* data, size_t len, std::string* out) {
    if (data == nullptr || len == 0 || out == nullptr)
        return false;
    uint8_t digest[CMd5::kDigestSize];
    CMd5::Digest(data, len, digest);
    const char* digits =
        g_digestUpperCase.load(std::memory_order_relaxed) ? "0123456789ABCDEF" : "0123456789abcdef";
    out->resize(32);
    for (size_t i = 0; i < 16; ++i) {
        (*out)[2 * i] = digits[digest[i] >> 4];
        (*out)[2 * i + 1] = digits[digest[i] & 15];
    }
    return true;
}

bool CUtil::Md5ToHex(const uint8_t digest[16], std::string* out) {
    if (digest == nullptr || out == nullptr)
        return false;
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 16; ++i) {
        out->push_back(kDigits[digest[i] >> 4]);
        out->push_back(kDigits[digest[i] & 15]);
    }
    return true;
}

bool CUtil::HexToMd5(const std::string& hex, uint8_t digest[16]) {
    if (digest == nullptr || hex.size() != 32)
        return false;
    uint8_t bytes[16];
    for (size_t i = 0; i < 16; ++i) {
        unsigned v = 0;
        if (!ReadHex(hex.data() + 2 * i, 2, &v))
            return false;
        bytes[i] = static_cast<uint8_t>(v);
    }
    std::memcpy(digest, bytes, 16);
    return true;
}

void CUtil::SetDigestUpperCase(bool upper) {
    g_digestUpperCase.store(upper, std::memory_order_relaxed);
}

bool CUtil::DigestUpperCase() {
    return g_digestUpperCase.load(std::memory_order_relaxed);
}

bool CUtil::Base64Encode(const std::string& text, std::string* out) {
    if (out == nullptr)
        return false;
    const size_t len = strnlen(text.data(), text.size());
    if (len == 0) {
        out->clear();
        return false;
    }
    *out = base64::Encode(text.data(), len);
    return true;
}

bool CUtil::Base64Decode(const std::string& text, std::string* out) {
    if (out == nullptr)
        return false;
    const size_t len = strnlen(text.data(), text.size());
    out->clear();
    if (len == 0)
        return false;
    base64::Decode(text.data(), len, out);
    out->resize(strnlen(out->data(), out->size()));
    return true;
}

std::string CUtil::Base64EncodeBytes(const void* data, size_t len) {
    return base64::Encode(data, len);
}

bool CUtil::Base64DecodeBytes(const char* text, size_t len, std::string* out) {
    if (out == nullptr)
        return false;
    out->clear();
    if (text == nullptr || len == 0)
        return false;
    base64::Decode(text, len, out);
    return true;
}

bool CUtil::UnCompress(const std::string& text, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) {
        Log(kLogError, "CUtil::UnCompress", " UnCompress string fail, error code :%d", Z_BUF_ERROR);
        return false;
    }
    std::string packed;
    base64::Decode(text.data(), text.size(), &packed);
    WriteGarbage(out, capacity);
    // The caller reads the result as a text: keep the last byte for its terminator.
    uLongf outLen = static_cast<uLongf>(capacity - 1);
    const int rc =
        uncompress(reinterpret_cast<Bytef*>(out), &outLen, reinterpret_cast<const Bytef*>(packed.data()),
                   static_cast<uLong>(packed.size()));
    if (rc != Z_OK) {
        Log(kLogError, "CUtil::UnCompress", " UnCompress string fail, error code :%d", rc);
        WriteGarbage(out, capacity);
        return false;
    }
    out[outLen] = '\0';
    return true;
}

std::string CUtil::GetConflictName(const std::string& path) {
    return GetConflictName(path, platform::GetLocalTime());
}

std::string CUtil::GetConflictName(const std::string& path, const platform::LocalTime& t) {
    char suffix[128];
    std::snprintf(suffix, sizeof(suffix), ".conflict(%4d-%02d-%02d-%02d-%02d-%02d-%03d)", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.millisecond);
    return path + suffix;
}

std::string CUtil::GetErrorMessage(int code) {
    if (code >= 1 && code <= kLastReason)
        return kReasonTexts[code - 1].chinese;
    // -29 is the first reason's English text and -1 the last one's.
    if (code >= -kLastReason && code <= -1)
        return kReasonTexts[code + kLastReason].english;
    return std::string();
}

std::string CUtil::EnglishReasonText(int reason) {
    return reason >= 1 && reason <= kLastReason ? kReasonTexts[reason - 1].english : "";
}
