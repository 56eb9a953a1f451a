// The window's English: every text the main frame and the not-synced window pass to tr() has a
// translation in client/ui/translations/window_en.ts, and with those translations installed the
// window speaks English while the worker's own texts pass through unchanged.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>
#include <map>
#include <memory>
#include <utility>

#include "platform/messages.h"
#include "ui/commands.h"
#include "ui/mainfrm.h"
#include "uitest.h"

namespace {

using Key = std::pair<QString, QString>;  // context, source

// The TS file's messages; a parse error leaves `error` set.
std::map<Key, QString> ReadTs(const QString& file, QString* error) {
    std::map<Key, QString> out;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = "cannot open " + file;
        return out;
    }
    QXmlStreamReader xml(&f);
    QString context, source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.name() == QLatin1String("source"))
            source = xml.readElementText();
        else if (xml.name() == QLatin1String("translation"))
            out[{context, source}] = xml.readElementText();
    }
    if (xml.hasError())
        *error = xml.errorString();
    return out;
}

// A translator answering from the TS file, as the compiled translation would.
class TsTranslator : public QTranslator {
  public:
    explicit TsTranslator(std::map<Key, QString> messages) : messages_(std::move(messages)) {}
    QString translate(const char* context, const char* source, const char*, int) const override {
        auto it = messages_.find({QString::fromUtf8(context), QString::fromUtf8(source)});
        return it == messages_.end() ? QString() : it->second;
    }
    bool isEmpty() const override { return messages_.empty(); }

  private:
    std::map<Key, QString> messages_;
};

const QString kTs = QStringLiteral(KESTRINE_SOURCE_DIR "/client/ui/translations/window_en.ts");

class NoOwner : public IFrameOwner {
  public:
    CWork* GetWorker() const override { return nullptr; }
    bool IsCommandEnabled(int) override { return true; }
    void OnCommand(int) override {}
};

}  // namespace

TEST(WindowTranslation, EveryTextOfTheWindowHasItsEnglish) {
    QString error;
    const std::map<Key, QString> ts = ReadTs(kTs, &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const std::pair<const char*, const char*> files[] = {
        {"client/ui/mainfrm.cpp", "CMainFrame"},
        {"client/ui/notsyncedwindow.cpp", "CNotSyncedWindow"},
    };
    const QRegularExpression literal(QStringLiteral("\\btr\\(\"([^\"]*)\"\\)"));
    int found = 0;
    for (const auto& [file, context] : files) {
        QFile f(QStringLiteral(KESTRINE_SOURCE_DIR "/") + file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << file;
        const QString code = QString::fromUtf8(f.readAll());
        for (auto it = literal.globalMatch(code); it.hasNext();) {
            const QString source = it.next().captured(1);
            ++found;
            auto entry = ts.find({QString::fromLatin1(context), source});
            ASSERT_NE(entry, ts.end()) << file << ": " << source.toStdString();
            EXPECT_FALSE(entry->second.isEmpty()) << source.toStdString();
        }
    }
    EXPECT_GT(found, 40) << "the pattern no longer finds the window's texts";
    EXPECT_EQ(ts.count({QStringLiteral("CMainFrame"), QString::fromUtf8(ui::kProductTitle)}), 1u);
}

TEST(WindowTranslation, WithTheEnglishInstalledTheWindowSpeaksEnglish) {
    QString error;
    TsTranslator translator(ReadTs(kTs, &error));
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    struct Removal {
        QTranslator* t;
        ~Removal() { QCoreApplication::removeTranslator(t); }
    } removal{&translator};

    NoOwner owner;
    CMainFrame frame(&owner, QString(KESTRINE_SOURCE_DIR "/res"), [] { return false; });
    frame.SetQuitQuestion([] { return false; });
    frame.OnMessage([] {
        platform::WindowMessage m;
        m.code = platform::WM_TRAY_ICON;
        m.wParam = 1;
        m.text = "alice";
        return m;
    }());
    platform::WindowMessage done;
    done.code = platform::WM_TRAY_STATE;
    done.wParam = platform::kTrayDone;
    frame.OnMessage(done);
    EXPECT_EQ(frame.StateText(), QString("Up to date"));
    EXPECT_EQ(frame.AccountText(), QString("alice"));
    EXPECT_EQ(frame.TrayAction(ui::ID_SHOW_WINDOW)->text(), QString("&Main Window"));
    EXPECT_EQ(frame.windowTitle(), QString("Kestrine - alice")) << "the worker's tooltip is its own";
}
