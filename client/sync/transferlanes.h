// CTransferLanes: several connections to the service at once, for many small transfers. A
// small file's exchange is a few requests, most of the time spent waiting for the service (it
// makes every chunk durable before it answers), so a few lanes in flight multiply the rate:
// new small files go up side by side, and the descriptions and chunks of new small files come
// down ahead of the worker. A lane only talks to the service: the worker writes every file, journal row and
// state the user sees, for an upload only after the service confirmed the file, for a download from bytes
// whose digest the transmitter checked. Owned by CWork for one pass; Run and FetchChunks are called on the
// worker thread and return when every lane has finished.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/back.h"
#include "service/transmitter.h"
#include "store/chunkbuffer.h"
#include "store/fileinfo.h"

struct TransferLaneSetup {
    std::string backEndpoint;
    std::string transmitterEndpoint;
    std::string user;
    std::string password;
    std::string hostId;
    std::string passport;
    std::string installFolder;
    std::string proxyKind, proxyAddress, proxyUser, proxyPassword;
};

class CTransferLanes {
  public:
    static constexpr size_t kLanes = 4;
    // A lane takes a new file of at most this size; larger files gain little from company and
    // keep their bytes in memory for the whole exchange.
    static constexpr int64_t kMaxFileBytes = 1024 * 1024;
    static constexpr size_t kMaxBatch = 32;

    CTransferLanes() = default;
    CTransferLanes(const CTransferLanes&) = delete;
    CTransferLanes& operator=(const CTransferLanes&) = delete;

    // Opens the lanes' channels; false (and no lane) when any of them cannot be set up.
    bool Init(const TransferLaneSetup& setup);
    // How one file's exchange ended. kRefused: the back server answered with a refusal, whose
    // reason is kept; kOther: anything else (no answer, a conflict, a step the lane leaves to
    // the one-by-one path).
    enum class Outcome { kSent, kRefused, kOther };
    struct Result {
        Outcome outcome = Outcome::kOther;
        std::string reason;
    };
    // Sends each file of `batch` (server paths, chunks loaded in memory) as a new file; on kSent
    // the file's chunks carry their storage keys. `stop` is asked between requests.
    void Run(std::vector<CFileInfo>* batch, std::vector<Result>* results, const std::function<bool()>& stop);

    // Fetches each chunk (key, storage key and size known) into (*buffers)[i]; null where it
    // could not be had (the worker then fetches it itself).
    void FetchChunks(const std::vector<CChunkInfo>& chunks,
                     std::vector<std::unique_ptr<CChunkBuffer>>* buffers, const std::function<bool()>& stop);

    // Asks the back server for each file's description (its chunks' storage keys and sizes):
    // (*found)[i] is set for the ones answered; the others stay empty.
    void FetchDescriptions(const std::vector<std::string>& paths, std::vector<CFileInfo>* found,
                           std::vector<char>* answered, const std::function<bool()>& stop);

    // One new file's whole exchange on one lane's channels.
    static Result SendNew(CBack* back, CTransmitter* transmitter, CFileInfo* file,
                          const std::function<bool()>& stop);

  private:
    struct Lane {
        CBack back;
        CTransmitter transmitter;
    };
    // Runs task(lane, i) for every i below count, the lanes taking the next i as they finish.
    void _OnLanes(size_t count, const std::function<void(Lane*, size_t)>& task);

    std::vector<std::unique_ptr<Lane>> lanes_;
};
