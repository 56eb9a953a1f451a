// The about box: its title and version text, and "检查更新" stepping aside for the update check.
#include "ui/aboutdlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

TEST(AboutDlg, ShowsTheBuildAndStepsAsideForTheUpdateCheck) {
    bool visibleDuringCheck = true, enabledDuringCheck = true;
    int checks = 0;
    CAboutDlg* self = nullptr;
    CAboutDlg about(
        [&] {
            ++checks;
            visibleDuringCheck = self->isVisible();
            enabledDuringCheck = self->isEnabled();
        },
        QString(KESTRINE_SOURCE_DIR "/res/kestrine.png"));
    self = &about;
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8("关于Kestrine"));
    EXPECT_EQ(about.VersionLabel()->text(), QString("Version 1.0 (build 120401)"));
    EXPECT_EQ(about.CheckButton()->text(), QString::fromUtf8("检查更新"));

    about.show();
    about.CheckButton()->click();
    EXPECT_EQ(checks, 1);
    EXPECT_FALSE(visibleDuringCheck);
    EXPECT_FALSE(enabledDuringCheck);
    EXPECT_FALSE(about.isVisible());  // closed once the check returns
    EXPECT_EQ(about.result(), QDialog::Accepted);
}
