// The recent names of a long session: only the last ones the tray shows are kept, while the count
// of names added keeps growing, so a pass can still tell which name it added last.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sync/recentnames.h"
#include "sync/work.h"

namespace {

std::string Name(size_t i) {
    return "下载 /h/f" + std::to_string(i);
}

TEST(RecentNames, OnlyTheLastShownAreKept) {
    const size_t kKept = static_cast<size_t>(recent::kKept);
    for (size_t added : {size_t{0}, size_t{1}, kKept - 1, kKept, kKept + 1, 5 * kKept + 3, size_t{20000}}) {
        SCOPED_TRACE(added);
        CWork w;
        for (size_t i = 0; i < added; ++i)
            w.AddRecentName(Name(i));
        ASSERT_EQ(w.GetRecentCount(), added);
        const size_t first = added > kKept ? added - kKept : 0;
        size_t kept = 0;
        for (size_t i = 0; i < added; ++i)
            kept += w.GetRecentItem(i).empty() ? 0 : 1;
        EXPECT_EQ(kept, std::min(added, kKept));
        for (size_t i = first; i < added; ++i)
            EXPECT_EQ(w.GetRecentItem(i), Name(i)) << i;
        EXPECT_EQ(w.GetRecentItem(added), std::string());
        // One more after the cut: the newest is found where a pass looks for it.
        w.AddRecentName("更新 /h/last");
        EXPECT_EQ(w.GetRecentCount(), added + 1);
        EXPECT_EQ(w.GetRecentItem(added), "更新 /h/last");
        if (added >= kKept) {
            EXPECT_EQ(w.GetRecentItem(added - kKept), std::string());
        }
    }
}

}  // namespace
