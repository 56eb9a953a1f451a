#include "platform/codepage.h"

#include <clocale>
#include <string>

#include <gtest/gtest.h>

using namespace platform;

namespace {

struct CodesetOverride {
    explicit CodesetOverride(const std::string& cs) { SetAnsiCodesetForTest(cs); }
    ~CodesetOverride() { SetAnsiCodesetForTest(""); }
};

}  // namespace

TEST(Codepage, Utf8GbkRoundTripOfChineseText) {
    const std::string utf8 = "同步完成: 中文文件名.txt";
    std::string gbk;
    ASSERT_TRUE(ConvertCodeset("UTF-8", "GBK", utf8, &gbk));
    // 中 is D6 D0 in GBK; ASCII stays as it is.
    EXPECT_EQ(std::string("\xD6\xD0", 2), gbk.substr(gbk.find(": ") + 2, 2));
    EXPECT_LT(gbk.size(), utf8.size());
    std::string back;
    ASSERT_TRUE(ConvertCodeset("GBK", "UTF-8", gbk, &back));
    EXPECT_EQ(utf8, back);
}

TEST(Codepage, Ucs2BigEndianToGbkAndUtf8) {
    const std::string ucs2("\x4E\x2D\x00\x41", 4);  // 中 A
    std::string out;
    ASSERT_TRUE(ConvertCodeset("UCS-2BE", "GBK", ucs2, &out));
    EXPECT_EQ(std::string("\xD6\xD0"
                          "A"),
              out);
    ASSERT_TRUE(ConvertCodeset("UCS-2BE", "utf-8", ucs2, &out));
    EXPECT_EQ("中A", out);
}

TEST(Codepage, InvalidInputStopsWithWhatWasConverted) {
    std::string out;
    EXPECT_FALSE(ConvertCodeset("UTF-8", "GBK", "ok\xff\xfe", &out));
    EXPECT_EQ("ok", out);
    EXPECT_FALSE(ConvertCodeset("UTF-8", "GBK", "ab\xE4\xB8", &out)) << "input ends inside a character";
    EXPECT_EQ("ab", out);
    EXPECT_FALSE(ConvertCodeset("UTF-8", "NO-SUCH-CODESET", "x", &out));
    EXPECT_FALSE(ConvertCodeset("UTF-8", "ISO-8859-1", "中", &out)) << "not representable";
}

TEST(Codepage, SameCodesetCopiesBytes) {
    std::string out;
    const std::string bytes("\xff\x00z", 3);
    for (const char* to : {"UTF-8", "utf8", "Utf_8"}) {
        ASSERT_TRUE(ConvertCodeset("UTF-8", to, bytes, &out)) << to;
        EXPECT_EQ(bytes, out);
    }
}

TEST(Codepage, LargeInputGrowsTheBuffer) {
    std::string utf8;
    for (int i = 0; i < 20000; ++i) {
        utf8 += "中a";
    }
    std::string ucs2;
    ASSERT_TRUE(ConvertCodeset("UTF-8", "UCS-2BE", utf8, &ucs2));
    EXPECT_EQ(20000u * 4, ucs2.size());
    std::string back;
    ASSERT_TRUE(ConvertCodeset("UCS-2BE", "UTF-8", ucs2, &back));
    EXPECT_EQ(utf8, back);
}

TEST(Codepage, AnsiCodesetFollowsOverrideThenLocale) {
    {
        CodesetOverride gbk("GBK");
        EXPECT_EQ("GBK", AnsiCodeset());
    }
    // The test program never calls setlocale: the C locale's ASCII counts as UTF-8.
    EXPECT_EQ("UTF-8", AnsiCodeset());
    if (std::setlocale(LC_CTYPE, "C.UTF-8")) {
        EXPECT_EQ("UTF-8", AnsiCodeset());
        std::setlocale(LC_CTYPE, "C");
    }
}
