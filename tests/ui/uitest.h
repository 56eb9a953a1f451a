// Small helpers of the Qt tests: UTF-8 literals as QString, and a bounded wait that keeps the
// event loop turning (the dialogs hear from the worker and the service through it).
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QThread>
#include <functional>

#include "support/wait.h"

namespace uitest {

inline QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
    return testsupport::WaitUntil(done, timeoutMs, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    });
}

}  // namespace uitest
