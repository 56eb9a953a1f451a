// Captures the process log for one test: a CLogger writing every level to a temporary file is
// installed as the application's logger and removed again at scope end.
#pragma once

#include <memory>
#include <string>

#include "support/tempdir.h"

class CLogger;

namespace testsupport {

// How many times `needle` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& needle);

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const;  // every line written so far
    bool Contains(const std::string& needle) const { return Text().find(needle) != std::string::npos; }
    size_t Count(const std::string& needle) const { return CountOf(Text(), needle); }  // so far
    std::string LastError() const;  // the logger's last error text

  private:
    TempDir dir_;
    std::unique_ptr<CLogger> logger_;
};

}  // namespace testsupport
