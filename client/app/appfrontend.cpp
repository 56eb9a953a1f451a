#include "app/appfrontend.h"

#ifdef KESTRINE_WITH_QT
#include "ui/qtapp.h"
#endif

namespace {

class ConsoleAppFrontEnd : public AppFrontEnd {
  public:
    explicit ConsoleAppFrontEnd(platform::ConsoleFrontEnd::Handler handler) : front_(std::move(handler)) {}
    platform::IMainWindow* Window() override { return &front_; }
    int Run() override { return front_.Run(); }
    void Quit(int code) override { front_.Quit(code); }

  private:
    platform::ConsoleFrontEnd front_;
};

#ifdef KESTRINE_WITH_QT
class QtAppFrontEnd : public AppFrontEnd {
  public:
    explicit QtAppFrontEnd(std::unique_ptr<CQtApp> qt) : qt_(std::move(qt)) {}
    platform::IMainWindow* Window() override { return qt_->Window(); }
    int Run() override { return qt_->Run(); }
    void Quit(int code) override { qt_->Quit(code); }
    CQtApp* Qt() override { return qt_.get(); }

  private:
    std::unique_ptr<CQtApp> qt_;
};
#endif

}  // namespace

std::unique_ptr<AppFrontEnd> AppFrontEnd::Choose(platform::ConsoleFrontEnd::Handler consoleHandler,
                                                 IFrameOwner* owner, const std::string& resourceDir) {
#ifdef KESTRINE_WITH_QT
    if (std::unique_ptr<CQtApp> qt = CQtApp::Create(owner, resourceDir))
        return std::make_unique<QtAppFrontEnd>(std::move(qt));
#else
    (void)owner;
    (void)resourceDir;
#endif
    return std::make_unique<ConsoleAppFrontEnd>(std::move(consoleHandler));
}
