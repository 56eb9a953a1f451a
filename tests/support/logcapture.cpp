#include "support/logcapture.h"

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/logger.h"

namespace testsupport {

LogCapture::LogCapture() : logger_(std::make_unique<CLogger>()) {
    if (!logger_->Open(dir_.Sub("test.log")))
        ADD_FAILURE() << "cannot open the test log";
    logger_->SetLevel(6);
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
