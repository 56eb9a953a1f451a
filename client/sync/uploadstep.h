// uploadstep: the steps of a file's upload exchange as the back server names them. After the
// offer of a file and after each chunk the service answers with the next step; the one-by-one
// upload (CWork) and the lanes (CTransferLanes) read them alike. Plain functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "store/fileinfo.h"

namespace uploadstep {

enum class Step {
    kAllChunksExist,  // "all_chunk_exist": the service holds the whole file
    kUploadChunk,     // "upload_chunk": send the chunk named
    kRemoveChunk,     // "remove_chunk": drop the chunk named from the transmitter
    kMoveConflict,    // "move_conflic_file": the service holds a newer version
    kCopyConflict,    // "copy_conflic_file": the same, reported louder
    kUnknown,         // any other text
};

// The step an instruction names, compared exactly; kUnknown for any other text.
Step Parse(const std::string& instruction);

// The chunk of `chunks` whose key is `key` as the journal compares keys (ASCII letter case aside);
// chunks.end() when the file has none such.
std::vector<CChunkInfo>::iterator FindOwnChunk(std::vector<CChunkInfo>& chunks, const std::string& key);

}  // namespace uploadstep
