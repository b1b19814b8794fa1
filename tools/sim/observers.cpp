// What the platform records beside the access trace: the lines written to
// the debug console, and the image's executed blocks for --coverage.
#include <unicorn/unicorn.h>

#include "platform.h"
#include "report.h"

namespace peimsim {
namespace {

// A line longer than this is shown in pieces, so that a module that never
// writes a line break still shows its text, in bounded memory.
constexpr size_t kConsoleLineLimit = 256;

}  // namespace

void Platform::OnConsole(const Event &out) {
  // Firmware writes its debug text a byte at a time; the trace shows it as
  // the lines it makes. A wider OUT writes its bytes in order.
  for (int i = 0; i < out.width / 8; i++) {
    char c = char(out.value >> (8 * i));
    if (consoleLine_.empty()) {
      consoleEip_ = out.eip;
      consolePhase_ = out.phase;
    }
    if (c == '\n') {
      FlushConsole(true);
      continue;
    }
    if (c == '\r') continue;
    consoleLine_ += c;
    if (consoleLine_.size() >= kConsoleLineLimit) FlushConsole(false);
  }
}

void Platform::FlushConsole(bool lineBreak) {
  if (consoleLine_.empty() && !lineBreak) return;
  Event e;
  e.kind = EventKind::kConsole;
  e.phase = consolePhase_;
  e.write = true;
  e.eip = consoleEip_;
  e.service = int(consoleLines_.size());
  if (Record(e)) consoleLines_.push_back(consoleLine_);
  consoleLine_.clear();
}

void Platform::ResetObservers() {
  consoleLines_.clear();
  consoleLine_.clear();
}

void Platform::CoverageHook(uc_engine *, uint64_t address, uint32_t size, void *user) {
  Platform *p = static_cast<Platform *>(user);
  // A block the run stopped at (the budget, a processor-control
  // instruction) does not run.
  if (p->stopped_) return;
  p->coverage_.Add(uint32_t(address) - p->LoadAddress(), size);
}

bool Platform::AttachCoverage(std::string &error) {
  if (!options_.coverage) return true;
  // Added after the block hook that counts instructions and stops a run,
  // so that it sees whether the block will run.
  uc_hook h;
  uc_err e = uc_hook_add(uc_, &h, UC_HOOK_BLOCK, (void *)CoverageHook, this, LoadAddress(),
                         uint64_t(ImageEnd() - 1));
  if (e) error = std::string("cannot set up coverage: ") + uc_strerror(e);
  return !e;
}

std::vector<uint8_t> CoverageFile(const Platform &p, const std::string &path) {
  CoverageModule m;
  m.path = path;
  m.base = p.LoadAddress();
  m.end = p.ImageEnd();
  m.entry = p.LoadAddress() + p.image().entryRva;
  m.timestamp = p.image().timeDateStamp;
  return DrcovFile(m, p.ImageCoverage().Blocks());
}

}  // namespace peimsim
