// ASCII letter case: only A-Z and a-z change, at their exact edges; bytes of UTF-8 characters and
// other 8-bit bytes stay as they are.
#include "util/ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Ascii, OnlyLettersChangeAndOnlyAtTheirEdges) {
    struct Case {
        std::string in, lower, upper;
    };
    const Case cases[] = {
        {"@AZ[", "@az[", "@AZ["},
        {"`az{", "`az{", "`AZ{"},
        {"Report.ODT", "report.odt", "REPORT.ODT"},
        {"\xC3\x84rger/\xC3\xA4", "\xC3\x84rger/\xC3\xA4", "\xC3\x84RGER/\xC3\xA4"},  // Ä and ä in UTF-8
        {"\xC4\xE4\xFF", "\xC4\xE4\xFF", "\xC4\xE4\xFF"},  // Latin-1 letters are not ASCII letters
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ascii::Lowered(c.in), c.lower) << c.in;
        EXPECT_EQ(ascii::Uppered(c.in), c.upper) << c.in;
    }
}

TEST(Ascii, ComparisonIgnoresLetterCaseOnly) {
    struct Case {
        const char* a;
        const char* b;
        bool equal, aStartsWithB;
    };
    const Case cases[] = {
        {"/Home/Docs", "/home/docs", true, true},
        {"/home/docs/x", "/HOME/DOCS", false, true},
        {"/home/doc", "/home/docs", false, false},
        {"a[", "A{", false, false},  // '[' and '{' are 32 apart but are not letters
        {"\xC3\x84", "\xC3\xA4", false, false},
        {"x", "", false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ascii::EqualNoCase(c.a, c.b), c.equal) << c.a << " ~ " << c.b;
        EXPECT_EQ(ascii::EqualNoCase(c.b, c.a), c.equal) << c.b << " ~ " << c.a;
        EXPECT_EQ(ascii::StartsWithNoCase(c.a, c.b), c.aStartsWithB) << c.a << " ~ " << c.b;
    }
}

}  // namespace
