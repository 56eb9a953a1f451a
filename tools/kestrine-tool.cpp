// kestrine-tool: inspects what the client's local store computes (chunks, deltas, journals).
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tool.h"

namespace {

struct Entry {
    std::string usage;
    tool::Command command;
};

std::map<std::string, Entry>& Commands() {
    static std::map<std::string, Entry> commands;
    return commands;
}

int Usage() {
    std::fprintf(stderr, "usage: kestrine-tool <command> ...\n");
    for (const auto& [name, entry] : Commands())
        std::fprintf(stderr, "  kestrine-tool %s\n", entry.usage.c_str());
    return 2;
}

}  // namespace

tool::Registration::Registration(const char* name, const char* usage, Command command) {
    Commands()[name] = Entry{usage, command};
}

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    auto it = Commands().find(argv[1]);
    if (it == Commands().end())
        return Usage();
    return it->second.command(argc - 1, argv + 1);
}
