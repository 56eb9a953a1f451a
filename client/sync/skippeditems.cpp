#include "sync/skippeditems.h"

#include <algorithm>

#include "sync/decide.h"

void CSkippedItems::SetDelays(int64_t baseMs, int64_t capMs) {
    std::lock_guard<std::mutex> lock(mu_);
    baseMs_ = baseMs;
    capMs_ = capMs;
}

void CSkippedItems::BeginPass() {
    std::lock_guard<std::mutex> lock(mu_);
    ++pass_;
}

bool CSkippedItems::MayTry(const std::string& path, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = items_.find(path);
    if (it == items_.end())
        return true;
    it->second.metInPass = pass_;
    return nowMs >= it->second.item.retryAtMs;
}

bool CSkippedItems::Fail(const std::string& path, const std::string& reason, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(mu_);
    auto [it, added] = items_.try_emplace(path);
    Entry& e = it->second;
    e.item.path = path;
    e.item.reason = reason;
    e.item.failures = std::min(e.item.failures + 1, 1000);
    e.item.retryAtMs = nowMs + decide::RetryDelayMs(e.item.failures, baseMs_, capMs_);
    e.metInPass = pass_;
    e.scheduled = true;
    return added;
}

bool CSkippedItems::Note(const std::string& path, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mu_);
    auto [it, added] = items_.try_emplace(path);
    Entry& e = it->second;
    e.item.path = path;
    e.item.reason = reason;
    e.item.failures = std::max(e.item.failures, 1);
    e.item.retryAtMs = 0;
    e.metInPass = pass_;
    e.scheduled = false;
    return added;
}

void CSkippedItems::Succeed(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    items_.erase(path);
}

void CSkippedItems::EndPass() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = items_.begin(); it != items_.end();) {
        if (it->second.metInPass == pass_)
            ++it;
        else
            it = items_.erase(it);
    }
}

void CSkippedItems::RetryAllNow() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [key, e] : items_)
        e.item.retryAtMs = 0;
}

void CSkippedItems::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    items_.clear();
}

size_t CSkippedItems::Count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return items_.size();
}

std::vector<CSkippedItems::Item> CSkippedItems::Items() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Item> out;
    out.reserve(items_.size());
    for (const auto& [key, e] : items_)
        out.push_back(e.item);
    return out;
}

int64_t CSkippedItems::NextRetryMs() const {
    std::lock_guard<std::mutex> lock(mu_);
    int64_t next = 0;
    for (const auto& [key, e] : items_) {
        if (!e.scheduled)
            continue;
        if (next == 0 || e.item.retryAtMs < next)
            next = std::max<int64_t>(e.item.retryAtMs, 1);
    }
    return next;
}
