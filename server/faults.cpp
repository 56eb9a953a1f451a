#include "faults.h"

#include <chrono>

namespace kserver {

namespace {

const std::pair<FaultAction, const char*> kNames[] = {
    {FaultAction::Refuse, "refuse"},
    {FaultAction::Delay, "delay"},
    {FaultAction::Stall, "stall"},
    {FaultAction::Drop, "drop"},
    {FaultAction::BadSequence, "bad_sequence"},
    {FaultAction::Corrupt, "corrupt"},
};

}  // namespace

bool ParseFaultAction(const std::string& text, FaultAction* out) {
    for (const auto& [a, name] : kNames) {
        if (text == name) {
            *out = a;
            return true;
        }
    }
    return false;
}

const char* FaultActionName(FaultAction a) {
    for (const auto& [action, name] : kNames) {
        if (action == a)
            return name;
    }
    return "?";
}

void CFaults::Arm(const std::string& op, const Fault& f) {
    std::lock_guard<std::mutex> lock(mu_);
    armed_.emplace_back(op, f);
}

bool CFaults::Take(const std::string& op, Fault* out) {
    std::lock_guard<std::mutex> lock(mu_);
    bool portal = op.compare(0, 7, "portal_") == 0;
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        const std::string& name = it->first;
        if (name != op && name != "*" && !(portal && name == "portal"))
            continue;
        *out = it->second;
        if (--it->second.remaining <= 0)
            armed_.erase(it);
        return true;
    }
    return false;
}

void CFaults::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    armed_.clear();
    ++generation_;
    cv_.notify_all();
}

std::vector<std::pair<std::string, Fault>> CFaults::List() {
    std::lock_guard<std::mutex> lock(mu_);
    return armed_;
}

bool CFaults::Stall(int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    unsigned gen = generation_;
    return !cv_.wait_for(lock, std::chrono::milliseconds(ms),
                         [&] { return shutdown_ || generation_ != gen; });
}

void CFaults::Shutdown() {
    std::lock_guard<std::mutex> lock(mu_);
    shutdown_ = true;
    cv_.notify_all();
}

}  // namespace kserver
