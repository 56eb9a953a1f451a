// A fresh folder under $TMPDIR (else /tmp) for one test, removed with everything in it when the
// object goes out of scope (read-only files and folders included; links are removed, never
// followed). Small helpers write and read files relative to it.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path() + "/" + rel.
    std::string Sub(const std::string& rel) const;

    // Writes `data` to Sub(rel), creating missing parent folders; aborts the test on failure.
    void WriteFile(const std::string& rel, const std::string& data) const;
    // The whole content of Sub(rel); empty when it cannot be read.
    std::string ReadFile(const std::string& rel) const;
    // Creates Sub(rel) with its parents.
    void MakeDirs(const std::string& rel) const;
    bool Exists(const std::string& rel) const;

  private:
    std::string path_;
};

// Removes a file or folder tree without following links, making read-only folders writable
// first. True when nothing is left.
bool RemoveTree(const std::string& path);

}  // namespace testsupport
