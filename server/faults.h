// Fault injection of the reference service, armed through its loopback control interface: the
// next N calls of a named operation refuse with a reason, answer "delay", stall, lose their
// connection, carry a wrong rsp_sequence or corrupt the chunk bytes they send. Thread-safe;
// a stall can be cut short by Clear() or by shutting the service down.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kserver {

enum class FaultAction { Refuse, Delay, Stall, Drop, BadSequence, Corrupt };

struct Fault {
    FaultAction action = FaultAction::Refuse;
    int reason = 8;         // Refuse, Delay: the reason code in the reply head
    int stallMs = 0;        // Stall: how long (0: the service's default)
    bool thenDrop = false;  // Stall: drop the connection afterwards instead of answering
    int remaining = 1;      // calls left
};

bool ParseFaultAction(const std::string& text, FaultAction* out);
const char* FaultActionName(FaultAction a);

class CFaults {
  public:
    explicit CFaults(int defaultStallMs = 40000) : defaultStallMs_(defaultStallMs) {}

    // `op` is an operation name ("upload_chunk", "login", "portal_login", ...), "portal" for every
    // portal request, or "*" for every request.
    void Arm(const std::string& op, const Fault& f);
    // Consumes one call of the first fault armed for `op`, for "portal" (portal ops) or for "*".
    bool Take(const std::string& op, Fault* out);
    void Clear();
    std::vector<std::pair<std::string, Fault>> List();

    // Sleeps for a stall; returns early (false) when the faults are cleared or Shutdown() is called.
    bool Stall(int ms);
    void Shutdown();
    int DefaultStallMs() const { return defaultStallMs_; }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::pair<std::string, Fault>> armed_;
    unsigned generation_ = 0;
    bool shutdown_ = false;
    int defaultStallMs_;
};

}  // namespace kserver
