// Fuzz target: requests to the reference service's SOAP handling (fuzz/server_targets.h), against
// a store in a temporary folder that is removed at exit.
#include <stdlib.h>

#include <filesystem>

#include "server_targets.h"

namespace {

fuzztarget::ServerFixture& Fixture() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kestrine-fuzz-XXXXXX";
        const char* d = mkdtemp(tmpl);
        if (!d)
            std::abort();
        return std::string(d);
    }();
    static fuzztarget::ServerFixture fx;
    static bool opened = [] {
        if (!fx.Open(dir))
            std::abort();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
        return true;
    }();
    (void)opened;
    return fx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzztarget::ServerRequest(Fixture(), data, size);
}
