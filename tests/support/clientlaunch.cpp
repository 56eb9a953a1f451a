#include "support/clientlaunch.h"

namespace testsupport {

LaunchPlan ClientInHome(const FakeHome& home, const std::optional<std::string>& serviceHost) {
    LaunchPlan how;
    how.program = BuildProgram("kestrine");
    how.env["HOME"] = home.Home();
    how.env["XDG_RUNTIME_DIR"] = home.Runtime();
    how.env["XDG_CONFIG_HOME"] = std::nullopt;
    how.env["KESTRINE_SERVICE_HOST"] = serviceHost;
    how.env["KESTRINE_OPEN_LOG"] = home.Dir().Sub("opened.txt");
    how.env["LC_ALL"] = "C.UTF-8";
    return how;
}

void OnTheConsole(LaunchPlan* how) {
    how->env["DISPLAY"] = std::nullopt;
    how->env["WAYLAND_DISPLAY"] = std::nullopt;
    how->env["QT_QPA_PLATFORM"] = std::nullopt;
}

void InChinese(LaunchPlan* how) {
    how->env["LANGUAGE"] = "zh_CN";
}

}  // namespace testsupport
