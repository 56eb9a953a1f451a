// uploadstep: the back server's names of the upload exchange's steps.
#include "sync/uploadstep.h"

#include <algorithm>

#include "journal/filejournal.h"

namespace uploadstep {

Step Parse(const std::string& instruction) {
    static const struct {
        const char* name;
        Step step;
    } kNames[] = {
        {"all_chunk_exist", Step::kAllChunksExist}, {"upload_chunk", Step::kUploadChunk},
        {"remove_chunk", Step::kRemoveChunk},       {"move_conflic_file", Step::kMoveConflict},
        {"copy_conflic_file", Step::kCopyConflict},
    };
    for (const auto& entry : kNames) {
        if (instruction == entry.name)
            return entry.step;
    }
    return Step::kUnknown;
}

std::vector<CChunkInfo>::iterator FindOwnChunk(std::vector<CChunkInfo>& chunks, const std::string& key) {
    const std::string wanted = CFileJournal::MakeKey(key);
    return std::find_if(chunks.begin(), chunks.end(),
                        [&](const CChunkInfo& c) { return CFileJournal::MakeKey(c.key) == wanted; });
}

}  // namespace uploadstep
