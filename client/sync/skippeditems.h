// CSkippedItems: the items the passes could not carry out (a download, upload or removal that
// failed, a name this computer cannot hold), each with the reason the user is shown and the time
// it is tried again. One bad item must not hold up the rest of a pass, nor make every pass try it
// again: the wait before the next try doubles with every failure, up to a cap. An item leaves the
// list when it succeeds, or when a whole pass no longer meets it (the user or the service removed
// it). Times are milliseconds of a steady clock, given by the caller.
// Thread rule: the worker writes; any thread reads (the front ends show the list). One mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The reasons the user is shown.
namespace notsynced {
constexpr const char* kUnsafeName = "the name the service gave is not safe to use here";
constexpr const char* kReservedName = "the name is one the client keeps for its own files";
constexpr const char* kTooLong = "the name or path is too long for this computer";
constexpr const char* kInTheWay = "a link or a file is in the way";
constexpr const char* kCaseClash = "another name differs from it only in letter case";
constexpr const char* kBackslash = "the name holds a \"\\\"";
constexpr const char* kNoEntry = "could not read the service's description";
constexpr const char* kDownload = "could not download";
constexpr const char* kServerDeletion = "could not carry out the service's deletion";
constexpr const char* kUpload = "could not upload";
constexpr const char* kRemove = "could not remove it on the service";
constexpr const char* kRead = "could not read the file (another program may hold it)";
}  // namespace notsynced

class CSkippedItems {
  public:
    struct Item {
        std::string path;    // root-relative ("/a/b"), or the service's path when it has none here
        std::string reason;  // for the user
        int failures = 0;
        int64_t retryAtMs = 0;  // not tried before this time
    };

    // The wait after the first failure, and its cap. A base of 0 retries at every pass.
    void SetDelays(int64_t baseMs, int64_t capMs);

    // A pass starts: what it does not meet again is dropped at its end.
    void BeginPass();
    // True when `path` may be tried now: it is not listed, or its wait is over. A listed item
    // counts as met by this pass either way.
    bool MayTry(const std::string& path, int64_t nowMs);
    // `path` failed (again): listed with `reason`, and its wait doubled. True when it is new to
    // the list (the caller tells the user once).
    bool Fail(const std::string& path, const std::string& reason, int64_t nowMs);
    // `path` cannot be synced as things are (a name this computer cannot hold, a link in the way):
    // listed with `reason`, looked at again by every pass, never scheduled for a retry of its own.
    bool Note(const std::string& path, const std::string& reason);
    void Succeed(const std::string& path);
    // The pass went through every phase: items it did not meet are gone.
    void EndPass();
    // Every listed item may be tried at the next pass (the user asked for a sync).
    void RetryAllNow();
    void Clear();

    size_t Count() const;
    std::vector<Item> Items() const;  // in path order
    // The earliest time an item may be tried again; 0 when the list is empty.
    int64_t NextRetryMs() const;

  private:
    struct Entry {
        Item item;
        uint64_t metInPass = 0;
        bool scheduled = true;  // false: noted, waits for a change instead of a time
    };
    mutable std::mutex mu_;
    // Path -> entry, in the letter case given: a name that clashes with another only in letter
    // case is an item of its own.
    std::map<std::string, Entry> items_;
    uint64_t pass_ = 0;
    int64_t baseMs_ = 10000;
    int64_t capMs_ = 600000;
};
