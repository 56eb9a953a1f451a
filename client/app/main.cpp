// The Kestrine client: a single-instance program that keeps ~/Kestrine/home in step with the
// user's folder tree on the service.
#include <clocale>

#include "app/mirnclient.h"

int main() {
    // The ANSI code page of the design is the locale's character set.
    std::setlocale(LC_ALL, "");
    CMirnClientApp app;
    return app.Run();
}
