// The fuzz targets' own checks: a broken rule aborts, which libFuzzer and the replay tests both
// report as a crash with the input that caused it.
#pragma once

#include <cstdlib>

#include "store/fileinfo.h"

namespace fuzzcheck {

inline void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Every chunk record a listing parser accepted is well formed (and sized, where sizes are sent).
inline void CheckChunks(const CFileInfo& f, bool sized) {
    for (const CChunkInfo& c : f.chunks) {
        Check(CFileInfo::IsChunkKey(c.key));
        if (sized)
            Check(c.size >= 1 && c.size <= CFileInfo::kChunkSize);
    }
}

}  // namespace fuzzcheck
