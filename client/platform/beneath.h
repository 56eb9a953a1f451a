// Confinement of file operations beneath the client's own folders. A folder registered with
// ConfineBeneath (the synced home, the chunk cache, the trash) is a boundary: a path below it is
// resolved from an open descriptor of that folder with no link followed in any component, so a
// folder swapped for a link in the middle of an operation cannot send a write elsewhere. The
// registered folder's own path is trusted as the system resolves it; paths outside every
// registered folder resolve as before (the layer's own sources resolve through
// internal::AtPath). The registry is process-wide and thread-safe.
#pragma once

#include <string>

namespace platform {

// Registers `root` as a boundary (counted: two stores on one folder register it twice).
void ConfineBeneath(const std::string& root);
// Drops one registration of `root`.
void ReleaseConfinement(const std::string& root);
// True when `path` lies strictly below a registered folder.
bool IsConfined(const std::string& path);

// One registration owned by an object (a store's home folder): moved by Set, dropped with it.
class Boundary {
  public:
    Boundary() = default;
    ~Boundary() { Set(""); }
    Boundary(const Boundary&) = delete;
    Boundary& operator=(const Boundary&) = delete;
    void Set(const std::string& root);  // "" drops the registration

  private:
    std::string root_;
};
}  // namespace platform
