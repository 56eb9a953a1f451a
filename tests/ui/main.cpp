// The Qt front-end tests share one QApplication on the main thread. Without a platform chosen by
// the environment they run offscreen, so no window ever reaches a real display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLoggingCategory>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // The offscreen platform has no tray; Qt says so at every tray icon it is given.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qobject.connect.warning=false"));
    return RUN_ALL_TESTS();
}
