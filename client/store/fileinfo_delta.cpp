#include "store/fileinfo.h"

bool CFileInfo::BuildBlockTable() {
    blockTable.Clear();
    return false;
}

bool CFileInfo::DeltaEncode(const CChunkBuffer&, CChunkBuffer* out) const {
    if (out != nullptr) {
        out->Reallocate(0);
    }
    return false;
}
