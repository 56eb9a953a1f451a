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
