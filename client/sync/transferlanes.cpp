// CTransferLanes: small files and their chunks sent up and fetched on several connections at once.
#include "sync/transferlanes.h"

#include "core/log.h"
#include "platform/thread.h"
#include "sync/uploadstep.h"

bool CTransferLanes::Init(const TransferLaneSetup& setup) {
    lanes_.clear();
    std::vector<std::unique_ptr<Lane>> lanes;
    for (size_t i = 0; i < kLanes; ++i) {
        auto lane = std::make_unique<Lane>();
        lane->back.SetProxy(setup.proxyKind, setup.proxyAddress, setup.proxyUser, setup.proxyPassword);
        lane->transmitter.SetProxy(setup.proxyKind, setup.proxyAddress, setup.proxyUser, setup.proxyPassword);
        if (!lane->back.Init(setup.backEndpoint, setup.user, setup.password, setup.hostId,
                             setup.installFolder) ||
            !lane->transmitter.Init(setup.transmitterEndpoint, setup.user, setup.password, setup.hostId,
                                    setup.installFolder))
            return false;
        lane->back.SetCredentials(setup.user, setup.password, setup.passport);
        lanes.push_back(std::move(lane));
    }
    lanes_ = std::move(lanes);
    return true;
}

CTransferLanes::Result CTransferLanes::SendNew(CBack* back, CTransmitter* transmitter, CFileInfo* file,
                                               const std::function<bool()>& stop) {
    auto backFailed = [back] {
        Result r;
        if (!back->Channel().LastCallUnanswered() && !back->GetLastReason().empty()) {
            r.outcome = Outcome::kRefused;
            r.reason = back->GetLastReason();
        }
        return r;
    };
    std::string ack;
    CChunkInfo named;
    if (stop())
        return {};
    back->ClearReason();
    if (!back->Upload(*file, nullptr, &ack, &named))
        return backFailed();
    // A sound service asks for each chunk once; the bound keeps a confused one from looping.
    const size_t maxSteps = 4 * file->chunks.size() + 16;
    for (size_t step = 0; step < maxSteps; ++step) {
        const uploadstep::Step next = uploadstep::Parse(ack);
        if (next == uploadstep::Step::kAllChunksExist)
            return {Outcome::kSent, ""};
        if (next != uploadstep::Step::kUploadChunk || stop())
            return {};  // a conflict or a removal: the one-by-one path knows what to do
        // The chunk must be one of this file's, its bytes already read from the file.
        auto own = uploadstep::FindOwnChunk(file->chunks, named.key);
        if (own == file->chunks.end())
            return {};
        auto bytes = file->chunkBuffers.find(own->key);
        if (bytes == file->chunkBuffers.end() || !bytes->second)
            return {};
        CChunkInfo chunk = *own;
        chunk.storageKey = named.storageKey;
        std::string stored;
        if (!transmitter->UploadChunk(chunk, *bytes->second, &stored, false))
            return {};
        own->storageKey = named.storageKey;
        if (!back->ChunkDone(*file, chunk, &ack, &named))
            return backFailed();
    }
    Log(kLogError, "CTransferLanes::SendNew", "Too many steps in the upload of %s", file->path.c_str());
    return {};
}

void CTransferLanes::_OnLanes(size_t count, const std::function<void(Lane*, size_t)>& task) {
    std::atomic<size_t> next{0};
    auto work = [&](Lane* lane) {
        for (size_t i = next++; i < count; i = next++)
            task(lane, i);
    };
    // The worker thread is a lane itself; a helper that cannot start leaves its share to the others.
    std::vector<std::unique_ptr<platform::Thread>> helpers;
    for (size_t i = 1; i < lanes_.size() && i < count; ++i) {
        auto thread = std::make_unique<platform::Thread>();
        Lane* lane = lanes_[i].get();
        if (thread->Start([&work, lane] { work(lane); }))
            helpers.push_back(std::move(thread));
    }
    if (!lanes_.empty())
        work(lanes_[0].get());
    for (auto& thread : helpers)
        thread->Join();
}

void CTransferLanes::Run(std::vector<CFileInfo>* batch, std::vector<Result>* results,
                         const std::function<bool()>& stop) {
    results->assign(batch->size(), Result{});
    _OnLanes(batch->size(), [&](Lane* lane, size_t i) {
        (*results)[i] = SendNew(&lane->back, &lane->transmitter, &(*batch)[i], stop);
    });
}

void CTransferLanes::FetchChunks(const std::vector<CChunkInfo>& chunks,
                                 std::vector<std::unique_ptr<CChunkBuffer>>* buffers,
                                 const std::function<bool()>& stop) {
    buffers->clear();
    buffers->resize(chunks.size());
    _OnLanes(chunks.size(), [&](Lane* lane, size_t i) {
        auto buffer = std::make_unique<CChunkBuffer>();
        std::string ack;
        if (!stop() && lane->transmitter.DownloadChunk(chunks[i], &ack, buffer.get()))
            (*buffers)[i] = std::move(buffer);
    });
}

void CTransferLanes::FetchDescriptions(const std::vector<std::string>& paths, std::vector<CFileInfo>* found,
                                       std::vector<char>* answered, const std::function<bool()>& stop) {
    found->assign(paths.size(), CFileInfo{});
    answered->assign(paths.size(), 0);
    _OnLanes(paths.size(), [&](Lane* lane, size_t i) {
        std::string ack;
        if (!stop() && lane->back.Download(paths[i], &ack, &(*found)[i]))
            (*answered)[i] = 1;
    });
}
