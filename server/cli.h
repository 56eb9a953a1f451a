// The command line of kestrine-server: "serve" runs the service; add-user, share, put, get, ls
// and rm work on the same data folder (also while the service runs) so tests and the demo can
// play the other side of a sync.
#pragma once

namespace kserver {

// Returns the process exit code: 0 success, 1 failure, 2 usage error.
int RunCli(int argc, char** argv);

}  // namespace kserver
