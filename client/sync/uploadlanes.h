// CUploadLanes: sends new small files up several at a time, each lane on its own connections to
// the back server and the transmitter. A file's exchange is three requests, most of the time
// spent waiting for the service (it makes every chunk durable before it answers), so a few lanes
// in flight multiply the rate of small files. A lane only talks to the service: the worker
// writes every journal row and every state the user sees, for each file only after the service
// confirmed it. Owned by CWork for one pass; Run is called on the worker thread and returns when
// every lane has finished the batch.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/back.h"
#include "service/transmitter.h"
#include "store/fileinfo.h"

struct UploadLaneSetup {
    std::string backEndpoint;
    std::string transmitterEndpoint;
    std::string user;
    std::string password;
    std::string hostId;
    std::string passport;
    std::string installFolder;
    std::string proxyKind, proxyAddress, proxyUser, proxyPassword;
};

class CUploadLanes {
  public:
    static constexpr size_t kLanes = 4;
    // A lane takes a new file of at most this size; larger files gain little from company and
    // keep their bytes in memory for the whole exchange.
    static constexpr int64_t kMaxFileBytes = 1024 * 1024;
    static constexpr size_t kMaxBatch = 32;

    CUploadLanes() = default;
    CUploadLanes(const CUploadLanes&) = delete;
    CUploadLanes& operator=(const CUploadLanes&) = delete;

    // Opens the lanes' channels; false (and no lane) when any of them cannot be set up.
    bool Init(const UploadLaneSetup& setup);
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

    // One new file's whole exchange on one lane's channels.
    static Result SendNew(CBack* back, CTransmitter* transmitter, CFileInfo* file,
                          const std::function<bool()>& stop);

  private:
    struct Lane {
        CBack back;
        CTransmitter transmitter;
    };
    std::vector<std::unique_ptr<Lane>> lanes_;
};
