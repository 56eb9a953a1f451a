// The Kestrine client: a single-instance program that keeps ~/Kestrine/home in step with the
// user's folder tree on the service. With arguments it is a command to the running instance
// (status, sync) or answers --version and --help.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "app/mirnclient.h"
#include "app/statuscommand.h"
#ifdef KESTRINE_WITH_QT
#include "ui/translation.h"
#endif

int main(int argc, char** argv) {
    // Texts and paths are in the locale's character set (the client's "ANSI" code page).
    std::setlocale(LC_ALL, "");
#ifdef KESTRINE_WITH_QT
    // The commands' answers and --help are in the user's language too; the client itself loads it
    // again at start (which keeps the same choice).
    ui::InstallUserLanguage();
#endif
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (std::optional<int> code = statuscmd::RunCommandLine(args, std::cout, std::cerr))
        return *code;
    CMirnClientApp app;
    return app.Run();
}
