// What peim-sim prints: the header, the numbered trace, the consumer's
// view and the summary, as aligned text or as one JSON object; and the
// comparison of a trace with a saved one.
#ifndef TOOLS_SIM_REPORT_H_
#define TOOLS_SIM_REPORT_H_

#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace peimsim {

struct ExpectResult {
  std::string path;
  bool match = false;
  std::string difference;  // the first difference, when !match
};

struct RepeatFigures {
  uint64_t dispatches = 0;
  double seconds = 0;
};

struct RunReport {
  std::string imagePath;
  const Platform *platform = nullptr;
  CallOutcome entry;
  ConsumerView consumer;
  std::optional<ExpectResult> expect;
  std::optional<RepeatFigures> repeat;
};

// The trace as numbered text lines, one per event.
std::vector<std::string> TraceLines(const Platform &platform);

// Compares trace lines with the trace in a saved peim-sim text output. The
// image offsets are not compared, so an expectation survives a rebuild of
// the image that does not change its behaviour.
ExpectResult CompareTrace(const std::vector<std::string> &actual, const std::string &savedOutput);

// A clean run: the entry came back and no check was violated.
bool CleanRun(const RunReport &report);

std::string RenderText(const RunReport &report, bool quiet);
std::string RenderJson(const RunReport &report, bool quiet);

}  // namespace peimsim

#endif  // TOOLS_SIM_REPORT_H_
