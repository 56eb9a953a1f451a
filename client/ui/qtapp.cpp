#include "ui/qtapp.h"

#include <QApplication>
#include <QIcon>

#include "core/log.h"
#include "ui/aboutdlg.h"
#include "ui/mainfrm.h"
#include "ui/qtfrontend.h"
#include "ui/translation.h"

namespace {

// QApplication keeps references to these for its whole life.
int gArgc = 1;
char gArg0[] = "kestrine";
char* gArgv[] = {gArg0, nullptr};

// Put last in the list of platforms to try: Qt falls back to it, instead of aborting, when it
// cannot open the display the environment names.
constexpr const char* kProbeFallback = "minimal";

}  // namespace

std::unique_ptr<CQtApp> CQtApp::Create(IFrameOwner* owner, const std::string& resourceDir) {
    const bool hasPlatform = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    const bool hasWayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const bool hasX = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (!hasPlatform && !hasWayland && !hasX)
        return nullptr;

    const QByteArray requested =
        hasPlatform ? qgetenv("QT_QPA_PLATFORM") : QByteArray(hasWayland ? "wayland;xcb" : "xcb");
    const bool probe = !requested.split(';').contains(kProbeFallback);
    qputenv("QT_QPA_PLATFORM", probe ? requested + ";" + kProbeFallback : requested);

    std::unique_ptr<CQtApp> qt(new CQtApp);
    qt->resourceDir_ = resourceDir;
    qt->app_ = std::make_unique<QApplication>(gArgc, gArgv);
    // The language was chosen at start, before there was an application to give it to.
    ui::AttachLanguageToApplication();

    // Programs the client starts (xdg-open) see the environment as it was.
    if (hasPlatform)
        qputenv("QT_QPA_PLATFORM", requested);
    else
        qunsetenv("QT_QPA_PLATFORM");
    if (probe && QGuiApplication::platformName() == QLatin1String(kProbeFallback)) {
        Log(kLogWarn, "CQtApp::Create", "Fail to open the display \"%s\"; using the console",
            requested.constData());
        return nullptr;
    }

    // Dialogs closing while the main window is hidden must not end the client.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Kestrine"));
    QApplication::setWindowIcon(QIcon(QString::fromStdString(resourceDir + "/kestrine.png")));

    qt->front_ = std::make_unique<CQtFrontEnd>();
    qt->frame_ = std::make_unique<CMainFrame>(owner, QString::fromStdString(resourceDir));
    CMainFrame* frame = qt->frame_.get();
    qt->front_->SetTarget([frame](const platform::WindowMessage& msg) { return frame->OnMessage(msg); });
    return qt;
}

CQtApp::~CQtApp() {
    if (front_)
        front_->Close();
    frame_.reset();
    front_.reset();
    app_.reset();
}

platform::IMainWindow* CQtApp::Window() const {
    return front_.get();
}

int CQtApp::Run() {
    return front_->Run();
}

void CQtApp::Quit(int code) {
    front_->Quit(code);
}

void CQtApp::ShowAbout(std::function<void()> checkUpdate) {
    CAboutDlg about(std::move(checkUpdate), QString::fromStdString(resourceDir_ + "/kestrine.png"));
    about.exec();
}
