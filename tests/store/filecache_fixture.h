// A file cache over a fresh temporary root ("root") and chunk cache ("cache"), with a recording
// front end for message boxes, a captured log and faults cleared after each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/fault.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "store/filecache.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

namespace fctest {

class FileCacheFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMainWindow(&frontEnd_);
        ASSERT_TRUE(cache_.SetRoot(Root()));
        ASSERT_TRUE(cache_.SetCache(t_.Sub("cache")));
    }
    void TearDown() override {
        platform::SetMainWindow(nullptr);
        platform::ClearFaults();
    }

    std::string Root() const { return t_.Sub("root"); }
    std::string Abs(const std::string& rel) const { return Root() + rel; }  // rel begins with "/"
    void Write(const std::string& rel, const std::string& data) { t_.WriteFile("root" + rel, data); }
    std::string Read(const std::string& rel) const { return t_.ReadFile("root" + rel); }
    bool Exists(const std::string& rel) const { return t_.Exists("root" + rel); }
    void MakeDirs(const std::string& rel) const { t_.MakeDirs("root" + rel); }

    testsupport::TempDir t_;
    platform::RecordingFrontEnd frontEnd_;
    testsupport::LogCapture log_;
    CFileCache cache_;
};

}  // namespace fctest
