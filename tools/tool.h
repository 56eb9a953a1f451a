// Subcommands of kestrine-tool register themselves here; each lives in its own tool_<name>.cpp.
#pragma once

#include <string>

namespace tool {

// Runs the subcommand with its own arguments (argv[0] is the subcommand's name); returns the
// process exit code.
using Command = int (*)(int argc, char** argv);

struct Registration {
    Registration(const char* name, const char* usage, Command command);
};

}  // namespace tool

// KESTRINE_TOOL_COMMAND(chunks, "chunks FILE", RunChunks);
#define KESTRINE_TOOL_COMMAND(name, usage, fn) \
    static const tool::Registration kToolRegistration_##name(#name, usage, fn)
