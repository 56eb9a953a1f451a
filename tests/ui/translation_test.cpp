// The user's language: which locales keep the Chinese texts, what the dialogs, the console front
// end and the engine's tray texts show with the English translation and without it, and that
// every text the translation tools find in client/ has a finished English translation free of
// Chinese characters.
#include "ui/translation.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <string>
#include <vector>

#include "fakeowner.h"
#include "platform/codepage.h"
#include "platform/frontends.h"
#include "platform/messages.h"
#include "platform/translate.h"
#include "sync/work.h"
#include "ui/aboutdlg.h"
#include "ui/downloaddlg.h"
#include "ui/downloadtask.h"
#include "ui/logindlg.h"
#include "ui/option.h"
#include "ui/updatecheck.h"
#include "uitest.h"
#include "util/util.h"

namespace {

using uitest::U;

bool HasCjk(const QString& text) {
    for (const char32_t c : text.toUcs4()) {
        if ((c >= 0x3000 && c <= 0x303F) || (c >= 0x3400 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
            (c >= 0xFF00 && c <= 0xFFEF))
            return true;
    }
    return false;
}

bool HasCjk(const std::string& utf8) {
    return HasCjk(QString::fromStdString(utf8));
}

// Every text a widget and its children show: titles, labels, buttons, tabs, combo items.
QStringList ShownTexts(QWidget* root) {
    QStringList texts{root->windowTitle()};
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(w))
            texts << label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        else if (auto* group = qobject_cast<QGroupBox*>(w))
            texts << group->title();
        else if (auto* tabs = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < tabs->count(); ++i)
                texts << tabs->tabText(i);
        else if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
    }
    texts.removeAll(QString());
    return texts;
}

class TranslationTest : public ::testing::Test {
  protected:
    void TearDown() override {
        ui::RemoveUserLanguage();
        platform::SetAnsiCodesetForTest("");
    }
    void English() { ASSERT_TRUE(ui::InstallUserLanguage(QLocale(QLocale::English, QLocale::UnitedStates))); }
    testsupport::FakeOwner owner_;
};

TEST_F(TranslationTest, OnlyChineseLocalesKeepTheTextsAsWritten) {
    const struct {
        const char* name;
        bool chinese;
    } cases[] = {
        {"zh_CN", true},  {"zh_TW", true},  {"zh_HK", true},  {"zh_SG", true}, {"en_US", false},
        {"en_GB", false}, {"de_DE", false}, {"ja_JP", false}, {"C", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ui::KeepsChineseTexts(QLocale(QString::fromLatin1(c.name))), c.chinese) << c.name;
}

TEST_F(TranslationTest, ChineseLocaleInstallsNoTranslator) {
    ASSERT_TRUE(ui::InstallUserLanguage(QLocale(QLocale::Chinese, QLocale::China)));
    EXPECT_EQ(platform::Tr("Console", "注销成功"), "注销成功");
    CLoginDlg dialog(&owner_);
    EXPECT_EQ(dialog.windowTitle(), U("Kestrine - 用户登录"));
}

TEST_F(TranslationTest, EnglishDialogsShowNoChinese) {
    English();
    CLoginDlg login(&owner_);
    COption options(&owner_);
    CAboutDlg about([] {}, QString());
    CDownloadDlg download("http://127.0.0.1:1/x", "x.bin", "/nonexistent/x.bin");
    for (QWidget* dialog : std::vector<QWidget*>{&login, &options, &about, &download}) {
        const QStringList texts = ShownTexts(dialog);
        EXPECT_FALSE(texts.isEmpty());
        for (const QString& t : texts)
            EXPECT_FALSE(HasCjk(t)) << dialog->metaObject()->className() << ": " << t.toStdString();
    }
    EXPECT_EQ(login.windowTitle(), U("Kestrine - Sign in"));
}

TEST_F(TranslationTest, WithoutTranslatorDialogsKeepTheirChineseTexts) {
    CLoginDlg login(&owner_);
    COption options(&owner_);
    EXPECT_EQ(login.windowTitle(), U("Kestrine - 用户登录"));
    EXPECT_EQ(options.windowTitle(), U("选项"));
    EXPECT_TRUE(ShownTexts(&login).contains(U("记住密码")));
}

// The proxy type is stored by its own name: a translated item must not change what is written.
TEST_F(TranslationTest, TranslatedProxyTypeKeepsItsStoredName) {
    English();
    COption options(&owner_);
    QComboBox* types = options.findChild<QComboBox*>();
    ASSERT_NE(types, nullptr);
    const int browser = types->findData(U("浏览器设置"));
    ASSERT_GE(browser, 0);
    EXPECT_FALSE(HasCjk(types->itemText(browser)));
}

TEST_F(TranslationTest, ConsoleAndEngineTextsFollowTheTranslator) {
    platform::WindowMessage logout{};
    logout.code = platform::WM_LOGOUT_DONE;
    EXPECT_EQ(platform::ConsoleFrontEnd::Describe(logout), "[status] 注销成功");
    EXPECT_EQ(CWork::ServerMessage(6), "服务器信息: 密码不正确");
    EXPECT_EQ(CDownloadMeter::FormatDuration(3725), "1 小时 2 分钟 ");

    English();
    EXPECT_EQ(platform::ConsoleFrontEnd::Describe(logout), "[status] Signed out");
    EXPECT_EQ(CDownloadMeter::FormatDuration(3725), "1 h 2 min ");
    EXPECT_EQ(CDownloadMeter::FormatDuration(59), " 59 s");
    EXPECT_FALSE(HasCjk(CUpdateCheck::Caption()));
    // The tray finds a recent entry's path after the label's first space: a label is one word.
    for (const char* label : {"下载", "修改", "删除"}) {
        const std::string english = platform::Tr("Work", label);
        EXPECT_FALSE(HasCjk(english)) << label;
        EXPECT_EQ(english.find(' '), std::string::npos) << english;
    }
    // Every reason the service can give is shown in English, not only the ones listed here.
    for (int code = 1; code <= 29; ++code) {
        const std::string shown = CWork::ServerMessage(code);
        EXPECT_FALSE(HasCjk(shown)) << code << ": " << shown;
        EXPECT_NE(shown, "Server message: ") << code;
    }
}

// Texts go to the main window and the terminal in the locale's character set: a GBK locale gets
// GBK bytes, not the UTF-8 of the source.
TEST_F(TranslationTest, ShownTextsAreInTheLocaleCharacterSet) {
    platform::SetAnsiCodesetForTest("GBK");
    platform::WindowMessage logout{};
    logout.code = platform::WM_LOGOUT_DONE;
    const struct {
        std::string shown, utf8;
    } cases[] = {
        {platform::ConsoleFrontEnd::Describe(logout), "[status] 注销成功"},
        {CWork::ServerMessage(6), "服务器信息: 密码不正确"},
        {CDownloadMeter::FormatDuration(5), " 5 秒"},
    };
    for (const auto& c : cases) {
        std::string back = c.shown;
        CUtil::AnsiToUtf8(back);
        EXPECT_EQ(back, c.utf8);
        EXPECT_NE(c.shown, c.utf8);  // GBK and UTF-8 differ for these characters
    }
}

// What lupdate finds in client/ (platform::Tr and KESTRINE_TR_NOOP included) merged with every
// translations/*_en.ts: no message may be left unfinished, and no English may hold Chinese.
TEST(Translations, EveryShownTextHasAFinishedEnglishTranslation) {
    const QString bin = QString::fromUtf8(KESTRINE_QT_BIN_DIR);
    const QString source = QString::fromUtf8(KESTRINE_SOURCE_DIR);
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString merged = tmp.filePath("merged_en.ts");
    QStringList inputs;
    for (const QFileInfo& ts :
         QDir(source + "/client/ui/translations").entryInfoList({"*_en.ts"}, QDir::Files))
        inputs << "-i" << ts.absoluteFilePath();
    ASSERT_FALSE(inputs.isEmpty());
    const auto run = [](const QString& program, const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        const bool ok =
            p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        return ok ? QString() : program + ": " + QString::fromUtf8(p.readAll());
    };
    ASSERT_EQ(run(bin + "/lconvert", inputs + QStringList{"-o", merged}), QString());
    ASSERT_EQ(
        run(bin + "/lupdate", {"-recursive", source + "/client", "-extensions", "cpp,h", "-tr-function-alias",
                               "translate+=Tr,translate+=TrShown,QT_TRANSLATE_NOOP+=KESTRINE_TR_NOOP",
                               "-no-obsolete", "-locations", "none", "-silent", "-ts", merged}),
        QString());

    QFile file(merged);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString context, text;
    int messages = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"name") {
            context = xml.readElementText();
        } else if (xml.name() == u"source") {
            text = xml.readElementText();
        } else if (xml.name() == u"translation") {
            const QString type = xml.attributes().value("type").toString();
            const QString english = xml.readElementText();
            ++messages;
            const std::string where = (context + " / " + text).toStdString();
            EXPECT_TRUE(type.isEmpty() && !english.isEmpty()) << "untranslated: " << where;
            EXPECT_FALSE(HasCjk(english)) << "Chinese in the English of " << where;
        }
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_GT(messages, 100);
}

}  // namespace
