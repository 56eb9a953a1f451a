// Encodings, server reference decoding, inflation, conflict names and reason texts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/system.h"
#include "support/logcapture.h"
#include "util/util.h"

namespace {

// Sets the ANSI code set for one test and restores the locale's afterwards.
struct AnsiCodeset {
    explicit AnsiCodeset(const char* cs) { platform::SetAnsiCodesetForTest(cs); }
    ~AnsiCodeset() { platform::SetAnsiCodesetForTest(""); }
};

const std::string kZhongGbk = "\xD6\xD0";       // U+4E2D in GBK
const std::string kZhongUtf8 = "\xE4\xB8\xAD";  // U+4E2D in UTF-8

TEST(ChnDecode, ReferenceFormsInGbk) {
    AnsiCodeset gbk("GBK");
    const struct {
        std::string in, out;
    } cases[] = {
        {"a&#x4E2D;b", "a" + kZhongGbk + "b"},
        {"a&#x4e2d;b", "a" + kZhongGbk + "b"},
        {"&#x4E2D;", kZhongGbk},  // ends exactly at the last character
        {"ab&#x4E2D;", "ab" + kZhongGbk},
        {"ab&#x4E2D", "ab&#x4E2D"},  // would need a character beyond the end
        {"a&#x4E2Db", "a&#x4E2Db"},  // no semicolon
        {"&#x41;", "A"},             // two-digit form
        {"x&#x41;&#x4E2D;&#x42;y", "xA" + kZhongGbk + "By"},
        {"&#x4G2D;", "&#x4G2D;"},  // not hex: copied
        {"&#20013;", "&#20013;"},  // decimal references are not decoded
        {"&amp;", "&amp;"},        // nor named entities
        {"&#x0000;", "?"},         // never a NUL inside a name
        {"&#xD800;", "?"},         // a lone surrogate has no GBK form
        {"&#x41;a;", "Aa;"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CUtil::ChnDecode(c.in), c.out) << c.in;
}

TEST(ChnDecode, Utf8AnsiCodeset) {
    AnsiCodeset utf8("UTF-8");
    EXPECT_EQ(CUtil::ChnDecode("a&#x4E2D;b"), "a" + kZhongUtf8 + "b");
    EXPECT_EQ(CUtil::ChnDecode("caf&#xE9;"), "caf\xC3\xA9");
}

TEST(ChnDecode, LengthLimitAndNull) {
    testsupport::LogCapture log;
    const std::string limit(CUtil::kMaxChnDecodeInput, 'a');
    EXPECT_EQ(CUtil::ChnDecode(limit), limit);
    std::string withRef = limit.substr(0, limit.size() - 8) + "&#x41;zz";
    EXPECT_EQ(CUtil::ChnDecode(withRef), limit.substr(0, limit.size() - 8) + "Azz");
    EXPECT_FALSE(log.Contains("invalid input string"));

    EXPECT_EQ(CUtil::ChnDecode(limit + "a"), "");
    EXPECT_EQ(log.LastError(), "invalid input string, too long string");
    EXPECT_EQ(CUtil::ChnDecode(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(log.LastError(), "invalid input string");
    EXPECT_TRUE(log.Contains("[CUtil::ChnDecode]"));
}

TEST(ChnDecode, WalkerContract) {
    AnsiCodeset gbk("GBK");
    char out[32];
    EXPECT_EQ(getGbkFromUnicode(nullptr, "a"), -1);
    EXPECT_EQ(getGbkFromUnicode(out, nullptr), -1);
    // The output never outgrows the input: a buffer of strlen + 1 is enough for any reference.
    const char* in = "&#xFFFF;&#x4E2D;&#xFF;";
    std::vector<char> buf(strlen(in) + 1, 'Z');
    ASSERT_EQ(getGbkFromUnicode(buf.data(), in), 0);
    EXPECT_LE(strlen(buf.data()), strlen(in));
}

TEST(Encodings, AnsiUtf8Conversions) {
    {
        AnsiCodeset gbk("GBK");
        std::string s = "a" + kZhongUtf8;
        CUtil::Utf8ToAnsi(s);
        EXPECT_EQ(s, "a" + kZhongGbk);
        CUtil::AnsiToUtf8(s);
        EXPECT_EQ(s, "a" + kZhongUtf8);
        // A character GBK lacks, and bytes that are not GBK, become "?" and the rest survives.
        s = "x\xF0\x9F\x98\x80y";  // U+1F600
        CUtil::Utf8ToAnsi(s);
        EXPECT_EQ(s, "x?y");
        s = "x\xFFy" + kZhongGbk;
        CUtil::AnsiToUtf8(s);
        EXPECT_EQ(s, "x?y" + kZhongUtf8);
        EXPECT_EQ(CUtil::FileApiToUtf8(kZhongGbk.c_str()), kZhongUtf8);
        EXPECT_EQ(CUtil::XmlEncode("a&b<" + kZhongGbk), "a&amp;b<" + kZhongUtf8);
    }
    AnsiCodeset utf8("UTF-8");
    std::string s = "plain " + kZhongUtf8;
    CUtil::Utf8ToAnsi(s);
    EXPECT_EQ(s, "plain " + kZhongUtf8);
    EXPECT_EQ(CUtil::FileApiToUtf8(nullptr), "");
    EXPECT_EQ(CUtil::XmlEncode("&&"), "&amp;&amp;");
}

std::string Compress(const std::string& text) {
    uLongf len = compressBound(text.size());
    std::string out(len, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(out.data()), &len,
                       reinterpret_cast<const Bytef*>(text.data()), text.size()),
              Z_OK);
    out.resize(len);
    return CUtil::Base64EncodeBytes(out.data(), out.size());
}

TEST(UnCompress, InflatesIntoTheCallersBuffer) {
    std::string listing;
    for (int i = 0; i < 200; ++i)
        listing += "<file name=\"f" + std::to_string(i) + "\"/>";
    const std::string packed = Compress(listing);
    std::vector<char> buf(listing.size() + 4, '\0');
    ASSERT_TRUE(CUtil::UnCompress(packed, buf.data(), buf.size()));
    EXPECT_EQ(std::string(buf.data()), listing);
    // Line breaks inside the Base64 text are skipped.
    std::string wrapped = packed;
    wrapped.insert(10, "\r\n");
    std::fill(buf.begin(), buf.end(), '\0');
    ASSERT_TRUE(CUtil::UnCompress(wrapped, buf.data(), buf.size()));
    EXPECT_EQ(std::string(buf.data()), listing);
}

// Failures: too small a buffer (including one that leaves no room for the terminator), input
// that is not a zlib stream. Guard bytes after the given capacity must survive.
TEST(UnCompress, FailuresStayInsideTheBuffer) {
    const std::string text(1000, 'q');
    const std::string packed = Compress(text);
    const struct {
        std::string in;
        size_t capacity;
        int zlibCode;
        std::string content;
    } cases[] = {
        {packed, 500, Z_BUF_ERROR, "garbage"},
        {packed, text.size(), Z_BUF_ERROR, "garbage"},  // no room for the NUL
        {packed, 8, Z_BUF_ERROR, "garbage"},
        {packed, 3, Z_BUF_ERROR, "ga"},
        {packed, 1, Z_DATA_ERROR, ""},                  // zlib's own code for a zero-byte output
        {"bm90IHpsaWI=", 64, Z_DATA_ERROR, "garbage"},  // "not zlib"
        {"", 64, Z_DATA_ERROR, "garbage"},
        {packed.substr(0, packed.size() / 2), 2000, Z_DATA_ERROR, "garbage"},  // truncated stream
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        std::vector<char> buf(c.capacity + 16, '#');
        EXPECT_FALSE(CUtil::UnCompress(c.in, buf.data(), c.capacity)) << c.capacity;
        EXPECT_EQ(std::string(buf.data()), c.content);
        for (size_t i = c.capacity; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], '#') << "byte " << i << " written";
        EXPECT_EQ(log.LastError(), " UnCompress string fail, error code :" + std::to_string(c.zlibCode))
            << c.capacity << " " << c.in.size();
    }
    testsupport::LogCapture log;
    EXPECT_FALSE(CUtil::UnCompress(packed, nullptr, 10));
    char one;
    EXPECT_FALSE(CUtil::UnCompress(packed, &one, 0));
}

TEST(ConflictName, Format) {
    const struct {
        platform::LocalTime t;
        std::string out;
    } cases[] = {
        {{2012, 6, 1, 9, 5, 3, 42}, "plan.doc.conflict(2012-06-01-09-05-03-042)"},
        {{2024, 12, 31, 23, 59, 59, 999}, "plan.doc.conflict(2024-12-31-23-59-59-999)"},
        {{999, 1, 2, 0, 0, 0, 0}, "plan.doc.conflict( 999-01-02-00-00-00-000)"},  // spaces, not zeros
    };
    for (const auto& c : cases)
        EXPECT_EQ(CUtil::GetConflictName("plan.doc", c.t), c.out);
    const std::string now = CUtil::GetConflictName("/a/b.txt");
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(/a/b\.txt\.conflict\(\d{4}(-\d{2}){5}-\d{3}\))"))) << now;
}

TEST(ErrorMessage, TableAndBounds) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {29, "验证码失效"},
        {1, "重复用户"},
        {5, "目录"},
        {26, "修改文件名：新文件"},
        {0, ""},
        {-1, "passport invalid"},
        {-29, "duplicated user"},
        {-25, "it is a folder"},
        {-4, "rename file: new file exist"},
        {30, ""},
        {-30, ""},
        {INT_MIN, ""},
        {INT_MAX, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CUtil::GetErrorMessage(c.code), c.text) << c.code;
}

}  // namespace
