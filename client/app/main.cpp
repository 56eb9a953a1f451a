// The Kestrine client: a single-instance program that keeps ~/Kestrine/home in step with the
// user's folder tree on the service.
#include <clocale>

#include "app/mirnclient.h"

int main() {
    // Texts and paths are in the locale's character set (the client's "ANSI" code page).
    std::setlocale(LC_ALL, "");
    CMirnClientApp app;
    return app.Run();
}
