// The command line of `kestrine`: no arguments start the client; `status [--json]` and `sync`
// ask the running instance over the control socket (platform/controlsocket.h); `--version` and
// `--help` answer at once. Also the instance's side: the status answer as JSON, built from what
// the worker records, and the reader that turns an answer back into lines for the user.
// Thread rule: free functions without shared state; callable from any thread.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "sync/syncstatus.h"

namespace statuscmd {

// Exit codes of the commands: as usual 0 and 1, 2 a wrong command line, 3 no running instance.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoInstance = 3;

// The part of an answer the items not synced may fill; the rest are counted, not listed.
constexpr size_t kMaxListedBytes = 256 * 1024;

// What the instance knows when it is asked.
struct Facts {
    bool started = false;  // the worker is running
    bool signedIn = false;
    std::string account;
    CSyncStatus::Snapshot status;
    struct NotSynced {
        std::string path, reason;
    };
    std::vector<NotSynced> notSynced;
};

// The state word of the answer: "starting", "signed out", "connecting", "syncing", "up to date",
// "unfinished" (the last pass left items or failed) or "idle" (signed in, no pass yet).
std::string StateOf(const Facts& facts);

// The status answer: one line of JSON with fixed English keys.
std::string StatusJson(const Facts& facts);

// The lines `kestrine status` prints for an answer, in the user's language; false when the
// answer is not a status answer.
bool DescribeStatus(const std::string& json, std::string* text);

// Runs the command line; nullopt when it asks for the client itself (no arguments).
std::optional<int> RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace statuscmd
