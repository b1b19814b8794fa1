// peim-sim: runs a PEI module's IA-32 image on the emulated platform and
// shows every access it makes.
#include <chrono>
#include <cstdio>

#include "options.h"
#include "pe_image.h"
#include "report.h"

using namespace peimsim;

static int Fail(const std::string &message) {
  fprintf(stderr, "peim-sim: %s\n", message.c_str());
  return 2;
}

int main(int argc, char **argv) {
  CommandLine cl;
  std::string error;
  if (!ParseCommandLine(argc, argv, cl, error)) return Fail(error);
  if (cl.help) {
    fputs(HelpText().c_str(), stdout);
    return 0;
  }
  std::vector<uint8_t> bytes;
  pe::Image image;
  if (!pe::ReadFile(cl.imagePath, bytes, error)) return Fail(error);
  if (!pe::Parse(std::move(bytes), image, error)) return Fail(cl.imagePath + ": " + error);
  std::string saved;
  if (!cl.expectPath.empty()) {
    std::vector<uint8_t> text;
    if (!pe::ReadFile(cl.expectPath, text, error)) return Fail("--expect: " + error);
    saved.assign(text.begin(), text.end());
  }
  Platform platform;
  if (!platform.Load(image, cl.platform, error)) return Fail(cl.imagePath + ": " + error);

  RunReport report;
  report.imagePath = cl.imagePath;
  report.platform = &platform;
  if (cl.repeat) {
    auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < cl.repeat; i++) {
      platform.Reset();
      platform.RunEntry();
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    report.repeat = RepeatFigures{cl.repeat, took.count()};
  }
  platform.Reset();
  report.entry = platform.RunEntry();
  report.consumer = platform.QueryConsumer();
  if (!cl.expectPath.empty()) {
    report.expect = CompareTrace(TraceLines(platform), saved);
    report.expect->path = cl.expectPath;
  }
  std::string out = cl.json ? RenderJson(report, cl.quiet) : RenderText(report, cl.quiet);
  fputs(out.c_str(), stdout);
  return CleanRun(report) ? 0 : 1;
}
