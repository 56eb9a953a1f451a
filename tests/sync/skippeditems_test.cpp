// The list of skipped items: the wait before a retry, and when an item leaves the list.
#include "sync/skippeditems.h"

#include <gtest/gtest.h>

#include "sync/decide.h"

namespace {

TEST(RetryDelay, DoublesFromTheBaseUpToTheCap) {
    struct Case {
        int failures;
        int64_t base, cap, expected;
    } cases[] = {
        {1, 10000, 600000, 10000},  {2, 10000, 600000, 20000},     {6, 10000, 600000, 320000},
        {7, 10000, 600000, 600000}, {1000, 10000, 600000, 600000}, {1, 0, 0, 0},
        {0, 10000, 600000, 0},      {3, 10000, 15000, 15000},      {1, 50000, 20000, 20000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decide::RetryDelayMs(c.failures, c.base, c.cap), c.expected)
            << c.failures << " failures, base " << c.base << ", cap " << c.cap;
    }
}

TEST(SkippedItems, AFailureWaitsItsTurnAndAPassThatNoLongerMeetsItDropsIt) {
    CSkippedItems list;
    list.SetDelays(1000, 8000);
    list.BeginPass();
    EXPECT_TRUE(list.Fail("/a", "could not upload", 100));
    EXPECT_FALSE(list.Fail("/a", "could not upload", 100)) << "told once";
    EXPECT_TRUE(list.Note("/Case", "clash"));
    EXPECT_EQ(list.NextRetryMs(), 100 + 2000) << "two failures: twice the base; notes never due";
    list.EndPass();
    EXPECT_EQ(list.Count(), 2u);

    list.BeginPass();
    EXPECT_FALSE(list.MayTry("/a", 2099)) << "still waiting, but met";
    EXPECT_TRUE(list.MayTry("/b", 0)) << "not listed";
    list.EndPass();
    EXPECT_EQ(list.Count(), 1u) << "the note was not met again";
    EXPECT_EQ(list.Items()[0].path, "/a");

    list.BeginPass();
    EXPECT_TRUE(list.MayTry("/a", 2100));
    list.RetryAllNow();
    EXPECT_TRUE(list.MayTry("/a", 0));
    list.Succeed("/a");
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.NextRetryMs(), 0);
}

}  // namespace
