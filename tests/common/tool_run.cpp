#include "tool_run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

namespace testtool {

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ToolRun RunTool(const std::string &tool, const std::vector<std::string> &args,
                const std::string &scratchDir) {
  mkdir(scratchDir.c_str(), 0755);
  const std::string stem = scratchDir + "/tool." + std::to_string(getpid());
  const std::string out = stem + ".out", err = stem + ".err";
  std::vector<const char *> argv = {tool.c_str()};
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  ToolRun r;
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    alarm(120);
    execv(tool.c_str(), const_cast<char *const *>(argv.data()));
    _exit(127);
  }
  if (pid < 0) return r;
  int raw = 0;
  struct rusage usage {};
  while (wait4(pid, &raw, 0, &usage) < 0) {
    if (errno != EINTR) return r;
  }
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.maxRssKb = usage.ru_maxrss;
  r.out = ReadText(out);
  r.err = ReadText(err);
  unlink(out.c_str());
  unlink(err.c_str());
  return r;
}

}  // namespace testtool
