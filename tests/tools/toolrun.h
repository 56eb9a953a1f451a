// The tool tests' run of build/kestrine-tool: the program started with the given arguments and
// waited for to its end, with its exit status and both outputs. A start or an end that fails
// fails the calling test too.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// `tmpdir` (when given) is the tool's TMPDIR.
inline ToolRun RunTool(const std::vector<std::string>& args, const std::optional<std::string>& tmpdir = {}) {
    testsupport::LaunchPlan how;
    how.program = testsupport::BuildProgram("kestrine-tool");
    how.args = args;
    if (tmpdir)
        how.env["TMPDIR"] = *tmpdir;
    testsupport::ChildProcess child;
    ToolRun r;
    std::string error;
    EXPECT_TRUE(child.Start(how, &error)) << error;
    EXPECT_TRUE(child.Wait(120000, &r.status));
    // Waits for the end of the child's output (a text it never prints).
    child.WaitForOutput("\x01never\x01", 10000);
    child.WaitForOutput("\x01never\x01", 10000, true);
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
}
