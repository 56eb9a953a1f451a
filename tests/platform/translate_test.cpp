// The translation hook: an installed translator's answer wins, a missing entry (empty answer)
// and a removed translator give the original text back.
#include "platform/translate.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(TranslateTest, TranslatorAnswersOrTheOriginalStays) {
    EXPECT_EQ(platform::Tr("Ctx", "原文"), "原文");
    platform::SetTranslator([](const char* context, const char* text) -> std::string {
        if (std::strcmp(context, "Ctx") == 0 && std::strcmp(text, "原文") == 0)
            return "original";
        return "";
    });
    EXPECT_EQ(platform::Tr("Ctx", "原文"), "original");
    EXPECT_EQ(platform::Tr("Other", "原文"), "原文");
    EXPECT_EQ(platform::Tr("Ctx", "别的"), "别的");
    platform::SetTranslator(nullptr);
    EXPECT_EQ(platform::Tr("Ctx", "原文"), "原文");
}

}  // namespace

namespace {

// A value goes where the translation puts its marker; one call fills the lowest-numbered marker
// everywhere it appears, and a value that itself holds a marker is never filled again.
TEST(TranslateTest, WithArgFillsTheLowestMarker) {
    const struct {
        const char* text;
        const char* value;
        const char* want;
    } cases[] = {
        {"主文件夹 %1 不见了", "/home/u/Kestrine", "主文件夹 /home/u/Kestrine 不见了"},
        {"%2 of %1", "a", "%2 of a"},
        {"%1 and %1", "x", "x and x"},
        {"no marker", "x", "no marker"},
        {"100% done %1", "ok", "100% done ok"},
        {"%1", "/tmp/%2 %1", "/tmp/%2 %1"},
        {"%1 end %", "v", "v end %"},
        {"", "v", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::WithArg(c.text, c.value), c.want) << c.text;
    EXPECT_EQ(platform::WithArg(platform::WithArg("%1 小时 %2 分钟", "1"), "2"), "1 小时 2 分钟");
}

}  // namespace
