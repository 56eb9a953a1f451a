// Fuzz target: any bytes as a request line on the control socket (ParseRequest) and as the
// running instance's answer that `kestrine status` reads back into lines (DescribeStatus). Both
// come from another process: they must be judged or refused, never read past their end; a status
// answer the writer made must always read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/statuscommand.h"
#include "platform/controlsocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    (void)platform::control::ParseRequest(bytes);
    std::string text;
    (void)statuscmd::DescribeStatus(bytes, &text);

    // The same bytes as names in an answer: whatever they hold, the answer reads back.
    statuscmd::Facts facts;
    facts.started = true;
    facts.signedIn = true;
    facts.account = bytes;
    facts.status.currentAction = "upload";
    facts.status.currentItem = bytes;
    facts.notSynced.push_back({bytes, bytes});
    facts.status.conflictCopies.push_back(bytes);
    if (!statuscmd::DescribeStatus(statuscmd::StatusJson(facts), &text))
        std::abort();
    return 0;
}
