// CDataFolderMove: the file work of moving the data root to another place (the options page's
// "移动..."), free of Qt. The move renames when it can, copies across file systems otherwise;
// the old root is deleted only after the new place holds a complete copy, compared file by file.
#pragma once

#include <string>

class CDataFolderMove {
  public:
    enum class Result {
        Moved,    // the data is at the new place, the old root is gone
        OldLeft,  // the data is at the new place, (part of) the old root could not be deleted
        Failed,   // nothing moved: the old root is as it was, nothing of the copy is left behind
    };
    static constexpr const char* kFolderName = "KestrineData";

    // The picked folder + "/KestrineData".
    static std::string NewRoot(const std::string& picked);
    // True when the two paths name the same folder or one lies inside the other (links
    // resolved): such a move would delete or swallow the data it moves.
    static bool Overlaps(const std::string& a, const std::string& b);
    // Replaces a folder already at `to`, then moves `from` there. *error gets the system error
    // code of a failure.
    static Result Move(const std::string& from, const std::string& to, int* error);
    // Every folder, regular file and link under `from` exists under `to`: files with the same
    // bytes, links with the same target. Special files (sockets, pipes) hold no data and are not
    // compared.
    static bool IsCompleteCopy(const std::string& from, const std::string& to);
};
