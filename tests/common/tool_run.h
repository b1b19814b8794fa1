// Runs a built tool as a separate process, the way the build and the test
// bed run it: no shell, stdin from /dev/null, stdout and stderr captured.
#pragma once

#include <string>
#include <vector>

namespace testtool {

struct ToolRun {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out, err;
  long maxRssKb = 0;  // the tool's peak resident memory
};

// Runs tool with args. Its output goes through a pair of files in
// scratchDir (created if missing), named by the test process's id, since
// ctest runs test processes side by side. A tool that hangs is ended after
// two minutes (SIGALRM), so that a test fails rather than waits.
ToolRun RunTool(const std::string &tool, const std::vector<std::string> &args,
                const std::string &scratchDir);

// The whole file, or "" if it cannot be read.
std::string ReadText(const std::string &path);

}  // namespace testtool
