#include "support/logcapture.h"

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/logger.h"

namespace testsupport {

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    if (needle.empty())
        return n;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

LogCapture::LogCapture() : logger_(std::make_unique<CLogger>()) {
    if (!logger_->Open(dir_.Sub("test.log")))
        ADD_FAILURE() << "cannot open the test log";
    logger_->SetLevel(6);
    logger_->SetMaxFileBytes(0);  // Text() reads the one file, however much a test logs
    SetAppLogger(logger_.get());
}

LogCapture::~LogCapture() {
    SetAppLogger(nullptr);
}

std::string LogCapture::Text() const {
    return dir_.ReadFile("test.log");
}

std::string LogCapture::LastError() const {
    return logger_->GetLastErrorText();
}

}  // namespace testsupport
