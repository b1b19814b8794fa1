#include "usb_log.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <utility>

namespace testbed {

const EhciAddress kEhciFunctions[3] = {{0x12, 2}, {0x13, 2}, {0x16, 2}};

namespace {

constexpr uint32_t kEhciType = 3;
constexpr uint32_t kInvalidParameter = 0x80000002;
constexpr uint32_t kEhciCapLength = 0x20;  // QEMU's EHCI: operational registers at base + 0x20
constexpr uint32_t kBlockSize = 512;
constexpr uint32_t kRunBlocks = 16;        // the reader's run in the middle
constexpr uint32_t kCommandMemory = 0x2;
constexpr uint32_t kCommandBusMaster = 0x4;
constexpr uint32_t kUsbCmdRun = 0x1;
// At most this many problems are kept; a log of garbage says so in the first few.
constexpr size_t kMaxProblems = 1000;

// Text of the log quoted in a problem or report: printable ASCII only, at
// most `limit` characters, so that each stays one short line.
std::string Quoted(const std::string &text, size_t limit = 64) {
  std::string out;
  for (char c : text) {
    if (out.size() == limit) return out + "...";
    unsigned char u = static_cast<unsigned char>(c);
    out += u >= 0x20 && u < 0x7F ? c : '?';
  }
  return out;
}

std::string Hex(uint32_t v) {
  std::ostringstream s;
  s << "0x" << std::hex << std::uppercase << v;
  return s.str();
}

// 0x-prefixed hexadecimal (1-8 digits) or decimal (up to 2^32 - 1).
std::optional<uint32_t> ParseNumber(const std::string &text) {
  uint64_t value = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 10) return std::nullopt;
    for (size_t i = 2; i < text.size(); i++) {
      char c = text[i];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return std::nullopt;
      value = value * 16 + uint64_t(d);
    }
    return uint32_t(value);
  }
  if (text.empty() || text.size() > 10) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return uint32_t(value);
}

// Splits a line of one of the two PEIMs; false (with why) if it does not read.
bool SplitLine(const std::string &text, size_t prefix, UsbLogLine &line, std::string &why) {
  std::vector<std::string> words;
  std::string word;
  for (size_t i = prefix; i <= text.size(); i++) {
    if (i == text.size() || text[i] == ' ') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += text[i];
    }
  }
  if (words.empty()) {
    why = "no event";
    return false;
  }
  line.event = words[0];
  for (size_t i = 1; i < words.size(); i++) {
    size_t eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      why = "a word that is not key=value";
      return false;
    }
    if (!line.fields.emplace(words[i].substr(0, eq), words[i].substr(eq + 1)).second) {
      why = "key '" + Quoted(words[i].substr(0, eq)) + "' given twice";
      return false;
    }
  }
  return true;
}

class Reader {
 public:
  explicit Reader(UsbBootReport &r) : r_(r) {}

  // A line of `source` that does not read.
  void Unreadable(const std::string &source) {
    if (source == "usb-reader") orderKnown_ = false;
  }

  void Line(const UsbLogLine &line) {
    line_ = &line;
    if (doneLine_) {
      Problem("line " + std::to_string(line.number) + ": " + line.source + " " + line.event +
              " after the reader's done (line " + std::to_string(*doneLine_) + ")");
      return;
    }
    if (line.source == "bus-master") {
      BusMaster();
    } else {
      UsbReader();
    }
  }

 private:
  void Problem(const std::string &text) {
    if (r_.problems.size() < kMaxProblems) r_.problems.push_back(Quoted(text, 200));
  }
  std::string Where() const {
    return "line " + std::to_string(line_->number) + ": " + line_->source + " " + Quoted(line_->event);
  }
  // The numeric fields, all of them or a problem.
  bool Numbers(std::initializer_list<std::pair<const char *, uint32_t *>> fields) {
    for (const auto &f : fields) {
      auto it = line_->fields.find(f.first);
      std::optional<uint32_t> v;
      if (it != line_->fields.end()) v = ParseNumber(it->second);
      if (!v) {
        Problem(Where() + ": " + f.first + (it == line_->fields.end() ? " missing" : " not a number"));
        if (line_->source == "usb-reader") orderKnown_ = false;
        return false;
      }
      *f.second = *v;
    }
    return true;
  }
  std::optional<uint32_t> Optional(const char *key) {
    auto it = line_->fields.find(key);
    return it == line_->fields.end() ? std::nullopt : ParseNumber(it->second);
  }
  bool Once(std::optional<size_t> &seen) {
    if (seen) {
      Problem(Where() + " given twice (first on line " + std::to_string(*seen) + ")");
      return false;
    }
    seen = line_->number;
    return true;
  }

  void BusMaster() {
    const std::string &e = line_->event;
    if (e == "entry") {
      return;
    }
    if (e == "enabled") {
      BusMasterChange c;
      c.line = line_->number;
      if (!Numbers({{"id", &c.id}, {"base", &c.base}, {"device", &c.device},
                    {"function", &c.function}, {"command-before", &c.before},
                    {"command-after", &c.after}}))
        return;
      if (!busMasterIds_.insert(c.id).second) {
        Problem(Where() + " for id " + std::to_string(c.id) + " given twice");
        return;
      }
      r_.busMaster.push_back(c);
    } else if (e == "done") {
      uint32_t n = 0;
      if (Numbers({{"controllers", &n}}) && Once(busMasterDone_)) r_.busMasterControllers = n;
    } else if (e == "no-function") {
      auto id = line_->fields.find("id");
      Problem(Where() + ": no PCI function has the base of controller " +
              (id != line_->fields.end() ? id->second : std::string("?")));
    } else {
      Problem(Where() + ": unknown event");
    }
  }

  // The reader writes its report in one order: its ending (block-io, with
  // the media and reads after it, or end-of-pei), the PPI's lookup, the
  // controllers by id from 0 up to the first refused one, the three EHCI
  // functions, done. A line out of that order is a problem: no boot writes it.
  // After a line of the reader that does not read, its place in that order is
  // unknown, and the order is not judged any more (that line is the problem).
  enum class Phase { kBefore, kBlockIo, kEndOfPei, kControllers, kFunctions };
  bool Order(bool ok, const std::string &why) {
    if (ok || !orderKnown_) return true;
    Problem(Where() + why);
    return false;
  }
  bool InPhase(std::initializer_list<Phase> allowed, const char *where) {
    bool ok = false;
    for (Phase p : allowed) ok = ok || phase_ == p;
    return Order(ok, std::string(" ") + where);
  }
  // The reader asks ids until one is refused (or its limit).
  bool ControllersEnded() const {
    return !r_.controllerPpiStatus || *r_.controllerPpiStatus != 0 || controllerRefused_ ||
           r_.controllers.size() >= kReaderIdLimit;
  }
  bool Ending(std::optional<size_t> &line, Phase next) {
    if (phase_ != Phase::kBefore) {
      const std::optional<size_t> &other = next == Phase::kBlockIo ? r_.endOfPeiLine : r_.blockIoLine;
      if (other) {
        Problem(Where() + ": the reader ends one way per boot, but " +
                (next == Phase::kBlockIo ? "end-of-pei" : "block-io") + " came on line " +
                std::to_string(*other));
      } else {
        Once(line);
      }
      return false;
    }
    if (!Once(line)) return false;
    phase_ = next;
    return true;
  }

  void UsbReader() {
    const std::string &e = line_->event;
    if (e == "entry") {
      if (Numbers({{"memory", &r_.entryMemory}, {"notify-status", &r_.notifyStatus}}))
        Once(r_.entryLine);
    } else if (e == "block-io") {
      uint32_t n = 0;
      if (Numbers({{"block-io-status", &r_.blockIoStatus},
                   {"block-io2-status", &r_.blockIo2Status},
                   {"usb2-host-controllers", &n}}) &&
          Ending(r_.blockIoLine, Phase::kBlockIo))
        r_.usb2HostControllers = n;
    } else if (e == "end-of-pei") {
      uint32_t n = 0;
      if (Numbers({{"usb2-host-controllers", &n}}) && Ending(r_.endOfPeiLine, Phase::kEndOfPei))
        r_.usb2HostControllers = n;
    } else if (e == "media") {
      if (InPhase({Phase::kBlockIo}, kOnlyAfterBlockIo)) Media();
    } else if (e == "read") {
      if (InPhase({Phase::kBlockIo}, kOnlyAfterBlockIo)) Read();
    } else if (e == "usb-controller-ppi") {
      uint32_t s = 0;
      if (Numbers({{"status", &s}})) {
        if (r_.controllerPpiStatus) {
          Problem(Where() + " given twice");
        } else if (InPhase({Phase::kBlockIo, Phase::kEndOfPei},
                           "before the reader's block-io or end-of-pei line")) {
          r_.controllerPpiStatus = s;
          phase_ = Phase::kControllers;
        }
      }
    } else if (e == "controller") {
      UsbController c;
      c.line = line_->number;
      if (!Numbers({{"id", &c.id}, {"status", &c.status}, {"type", &c.type}, {"base", &c.base}}))
        return;
      c.capLength = Optional("caplength");
      c.ports = Optional("ports");
      c.enabledPorts = Optional("enabled-ports");
      c.usbCmd = Optional("usbcmd");
      c.usbSts = Optional("usbsts");
      if (!controllerIds_.insert(c.id).second) {
        Problem(Where() + " for id " + std::to_string(c.id) + " given twice");
        return;
      }
      const std::string id = " for id " + std::to_string(c.id);
      const std::string stopped =
          controllerRefused_ ? "the refused id " + std::to_string(r_.controllers.back().id)
                             : "its last id";
      if (!InPhase({Phase::kControllers}, "outside the reader's list of controllers") ||
          !Order(r_.controllerPpiStatus == 0u, id + ", but the reader did not locate the PPI") ||
          !Order(!ControllersEnded(), id + " after the reader stopped at " + stopped) ||
          !Order(c.id == r_.controllers.size(), id + " where the reader asks id " +
                                                    std::to_string(r_.controllers.size()) +
                                                    " next"))
        return;
      controllerRefused_ = controllerRefused_ || c.status != 0;
      r_.controllers.push_back(c);
    } else if (e == "pci") {
      UsbPciFunction f;
      f.line = line_->number;
      if (!Numbers({{"device", &f.device}, {"function", &f.function}, {"id", &f.ids},
                    {"command", &f.command}, {"bar0", &f.bar0}}))
        return;
      if (!functions_.insert({f.device, f.function}).second) {
        Problem(Where() + " for " + Hex(f.device) + "." + std::to_string(f.function) +
                " given twice");
        return;
      }
      const size_t k = r_.functions.size();
      const bool next = k < 3 && f.device == kEhciFunctions[k].device &&
                        f.function == kEhciFunctions[k].function;
      if (!InPhase({Phase::kControllers, Phase::kFunctions},
                   "before the reader's lookup of the PPI") ||
          !Order(ControllersEnded(), " while the reader still asks for controllers (id " +
                                         std::to_string(r_.controllers.size()) + " next)") ||
          !Order(next, " for " + Hex(f.device) + "." + std::to_string(f.function) +
                           (k < 3 ? " where the reader reports " + Hex(kEhciFunctions[k].device) +
                                        "." + std::to_string(kEhciFunctions[k].function) + " next"
                                  : " after the reader's three functions")))
        return;
      phase_ = Phase::kFunctions;
      r_.functions.push_back(f);
    } else if (e == "no-buffer") {
      if (InPhase({Phase::kBlockIo}, kOnlyAfterBlockIo))
        Problem(Where() + ": the reader got no memory for its buffer");
    } else if (e == "done") {
      auto it = line_->fields.find("result");
      if (it == line_->fields.end()) {
        Problem(Where() + ": result missing");
        return;
      }
      r_.result = Quoted(it->second);
      doneLine_ = line_->number;
      const bool ended = phase_ != Phase::kBefore;
      const char *wanted = r_.blockIoLine ? "read" : "no-block-device";
      Order(ended, " before the reader's block-io or end-of-pei line") &&
          Order(!ended || it->second == wanted,
                " with result " + r_.result + " after " +
                    (r_.blockIoLine ? "block-io" : "end-of-pei") + ", where the reader writes " +
                    wanted) &&
          Order(phase_ == Phase::kFunctions && r_.functions.size() == 3,
                " before the reader reported the three EHCI functions");
    } else {
      Problem(Where() + ": unknown event");
    }
  }

  void Media() {
    auto it = line_->fields.find("interface");
    if (it == line_->fields.end() || (it->second != "block-io" && it->second != "block-io2")) {
      Problem(Where() + ": interface missing or unknown");
      return;
    }
    UsbMedia m;
    m.line = line_->number;
    if (!Numbers({{"count-status", &m.countStatus}, {"devices", &m.devices},
                  {"media-status", &m.mediaStatus}, {"present", &m.present},
                  {"block-size", &m.blockSize}, {"last-block", &m.lastBlock}}))
      return;
    std::optional<UsbMedia> &slot = it->second == "block-io" ? r_.media : r_.media2;
    if (it->second == "block-io2") {
      if (!Numbers({{"last-block-high", &m.lastBlockHigh}})) return;
    }
    if (slot) {
      Problem(Where() + " " + it->second + " given twice");
      return;
    }
    slot = m;
  }

  void Read() {
    auto it = line_->fields.find("interface");
    if (it == line_->fields.end() || (it->second != "block-io" && it->second != "block-io2")) {
      Problem(Where() + ": interface missing or unknown");
      return;
    }
    UsbRead rd;
    rd.line = line_->number;
    rd.interface = it->second;
    if (!Numbers({{"lba", &rd.lba}, {"blocks", &rd.blocks}, {"status", &rd.status},
                  {"tag", &rd.tag}, {"mismatches", &rd.mismatches},
                  {"first-mismatch", &rd.firstMismatch}}))
      return;
    if (!reads_.insert({rd.interface, rd.lba}).second) {
      Problem(Where() + " of " + rd.interface + " LBA " + std::to_string(rd.lba) + " given twice");
      return;
    }
    r_.reads.push_back(rd);
  }

  static constexpr const char *kOnlyAfterBlockIo =
      "outside the reader's block I/O part (after block-io, before usb-controller-ppi)";
  static constexpr size_t kReaderIdLimit = 256;

  UsbBootReport &r_;
  const UsbLogLine *line_ = nullptr;
  Phase phase_ = Phase::kBefore;
  bool orderKnown_ = true, controllerRefused_ = false;
  std::optional<size_t> doneLine_, busMasterDone_;
  std::set<uint32_t> controllerIds_, busMasterIds_;
  std::set<std::pair<uint32_t, uint32_t>> functions_;
  std::set<std::pair<std::string, uint32_t>> reads_;
};

UsbCheck Make(std::string what, bool ok, std::string detail = "") {
  return UsbCheck{std::move(what), ok, ok ? std::string() : std::move(detail)};
}

const UsbController *FindController(const UsbBootReport &r, uint32_t id) {
  for (const UsbController &c : r.controllers)
    if (c.id == id) return &c;
  return nullptr;
}

const UsbPciFunction *FindFunction(const UsbBootReport &r, uint32_t device, uint32_t function) {
  for (const UsbPciFunction &f : r.functions)
    if (f.device == device && f.function == function) return &f;
  return nullptr;
}

std::string FunctionName(uint32_t device, uint32_t function) {
  std::ostringstream s;
  s << "00:" << std::hex << std::uppercase << (device < 0x10 ? "0" : "") << device << "."
    << function;
  return s.str();
}

// Ids 0-2 EHCI at the BAR0 of their functions with the capability registers
// there, id 3 refused; detail says what differs.
bool ControllersRight(const UsbBootReport &r, std::string &detail) {
  for (uint32_t id = 0; id < 3; id++) {
    const UsbController *c = FindController(r, id);
    const EhciAddress &a = kEhciFunctions[id];
    const UsbPciFunction *f = FindFunction(r, a.device, a.function);
    std::string name = "id " + std::to_string(id);
    if (!c) {
      detail = name + " not reported";
      return false;
    }
    if (c->status != 0) {
      detail = name + " refused (status " + Hex(c->status) + ")";
      return false;
    }
    if (c->type != kEhciType) {
      detail = name + " has type " + Hex(c->type) + ", not EHCI (3)";
      return false;
    }
    if (!f) {
      detail = "no report of " + FunctionName(a.device, a.function);
      return false;
    }
    if (c->base == 0 || c->base != f->bar0) {
      detail = name + " base " + Hex(c->base) + ", but " + FunctionName(a.device, a.function) +
               " BAR0 is " + Hex(f->bar0);
      return false;
    }
    if (c->capLength != kEhciCapLength) {
      detail = name + ": CAPLENGTH through its base reads " +
               (c->capLength ? Hex(*c->capLength) : std::string("nothing")) + ", not 0x20";
      return false;
    }
  }
  const UsbController *c3 = FindController(r, 3);
  if (!c3 || c3->status != kInvalidParameter) {
    detail = c3 ? "id 3 answered with status " + Hex(c3->status) : "id 3 never asked";
    return false;
  }
  return true;
}

}  // namespace

UsbBootReport ReadUsbBootLog(const std::string &log) {
  UsbBootReport report;
  Reader reader(report);
  size_t number = 0;
  for (size_t start = 0; start < log.size();) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string text = log.substr(start, end - start);
    start = end + 1;
    number++;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    static const char *const kSources[] = {"usb-reader", "bus-master"};
    for (const char *source : kSources) {
      std::string prefix = std::string(source) + ": ";
      if (text.compare(0, prefix.size(), prefix) != 0) continue;
      UsbLogLine line;
      line.number = number;
      line.source = source;
      std::string why;
      if (!SplitLine(text, prefix.size(), line, why)) {
        reader.Unreadable(source);
        if (report.problems.size() < kMaxProblems)
          report.problems.push_back(Quoted("line " + std::to_string(number) + " does not read: " + why, 200));
      } else {
        reader.Line(line);
      }
    }
  }
  return report;
}

std::vector<UsbCheck> CheckUsbBoot(const UsbBootReport &r, const UsbExpectation &x) {
  std::vector<UsbCheck> out;
  out.push_back(Make("the log reads cleanly", r.problems.empty(),
                     std::to_string(r.problems.size()) + " problem(s), the first: " +
                         (r.problems.empty() ? "" : r.problems.front())));
  out.push_back(Make("the reader ran after memory and registered its notifications",
                     r.entryLine && r.entryMemory == 1 && r.notifyStatus == 0,
                     r.entryLine ? "memory=" + std::to_string(r.entryMemory) +
                                       " notify-status=" + Hex(r.notifyStatus)
                                 : "no entry line"));
  out.push_back(Make("the USB stack installed the block I/O PPIs", r.blockIoLine.has_value(),
                     r.endOfPeiLine ? "PEI ended first (line " + std::to_string(*r.endOfPeiLine) + ")"
                                    : "no block-io line"));
  out.push_back(Make("both block I/O PPIs located",
                     r.blockIoLine && r.blockIoStatus == 0 && r.blockIo2Status == 0,
                     "block-io " + Hex(r.blockIoStatus) + ", block-io2 " + Hex(r.blockIo2Status)));
  out.push_back(Make("EhciPei started all three EHCI controllers",
                     r.usb2HostControllers == 3u,
                     r.usb2HostControllers
                         ? std::to_string(*r.usb2HostControllers) + " host controller PPI(s)"
                         : "not reported"));

  // The media through each interface: one device, present, 512-byte blocks, the stick's size.
  const uint32_t last = x.blocks - 1;
  for (int k = 0; k < 2; k++) {
    const std::optional<UsbMedia> &m = k == 0 ? r.media : r.media2;
    std::string name = k == 0 ? "block-io" : "block-io2";
    std::string detail;
    if (!m) {
      detail = "not reported";
    } else {
      std::ostringstream s;
      s << "count-status " << Hex(m->countStatus) << ", devices " << m->devices
        << ", media-status " << Hex(m->mediaStatus) << ", present " << m->present
        << ", block size " << m->blockSize << ", last block " << m->lastBlock;
      if (m->lastBlockHigh) s << " (high " << Hex(m->lastBlockHigh) << ")";
      detail = s.str();
    }
    bool ok = m && m->countStatus == 0 && m->devices == 1 && m->mediaStatus == 0 &&
              m->present == 1 && m->blockSize == kBlockSize && m->lastBlock == last &&
              m->lastBlockHigh == 0;
    out.push_back(Make(name + ": one stick present, 512-byte blocks, last LBA " +
                           std::to_string(last),
                       ok, detail));
  }

  // The three reads through each interface, every byte as the stick's image holds it.
  const uint32_t middle = last / 2 - kRunBlocks / 2;
  const std::pair<uint32_t, uint32_t> wanted[] = {{0, 1}, {middle, kRunBlocks}, {last, 1}};
  for (const char *interface : {"block-io", "block-io2"}) {
    for (const auto &w : wanted) {
      const UsbRead *rd = nullptr;
      for (const UsbRead &c : r.reads)
        if (c.interface == interface && c.lba == w.first) rd = &c;
      std::string what = std::string(interface) + ": LBA " + std::to_string(w.first) +
                         (w.second > 1 ? "-" + std::to_string(w.first + w.second - 1) : "") +
                         " read as the stick holds it (tag " + Hex(x.tag) + ")";
      std::string detail;
      bool ok = false;
      if (!rd) {
        detail = "not read";
      } else {
        std::ostringstream s;
        s << "status " << Hex(rd->status) << ", " << rd->blocks << " block(s), tag " << Hex(rd->tag)
          << ", " << rd->mismatches << " byte(s) differ";
        if (rd->mismatches) s << ", the first at " << Hex(rd->firstMismatch);
        detail = s.str();
        ok = rd->status == 0 && rd->blocks == w.second && rd->tag == x.tag && rd->mismatches == 0;
      }
      out.push_back(Make(what, ok, detail));
    }
  }

  // The module, as the reader saw it through the PPI.
  std::string detail;
  out.push_back(Make("PEI_USB_CONTROLLER_PPI located", r.controllerPpiStatus == 0u,
                     r.controllerPpiStatus ? Hex(*r.controllerPpiStatus) : "not reported"));
  const bool controllersRight = ControllersRight(r, detail);  // fills detail first
  out.push_back(Make("ids 0-2: EHCI, each at its function's BAR0 with the capability registers "
                     "there; id 3 refused with EFI_INVALID_PARAMETER",
                     controllersRight, detail));

  // Where the stick was found: on the expected controller only, and that is the
  // expected PCI function.
  std::vector<uint32_t> holding;
  for (const UsbController &c : r.controllers)
    if (c.enabledPorts && *c.enabledPorts != 0) holding.push_back(c.id);
  {
    std::ostringstream s;
    s << "enabled ports on controller id(s)";
    for (uint32_t id : holding) s << " " << id;
    if (holding.empty()) s << " none";
    out.push_back(Make("the stick found on controller id " + std::to_string(x.controller) +
                           " only",
                       holding.size() == 1 && holding[0] == x.controller, s.str()));
  }
  {
    const UsbController *c = FindController(r, x.controller);
    const UsbPciFunction *f = FindFunction(r, x.device, x.function);
    bool ok = c && f && c->status == 0 && c->base != 0 && c->base == f->bar0;
    out.push_back(Make("controller id " + std::to_string(x.controller) + " is " +
                           FunctionName(x.device, x.function) + " (its base is that BAR0)",
                       ok,
                       !c   ? "id not reported"
                       : !f ? "function not reported"
                            : "base " + Hex(c->base) + ", BAR0 " + Hex(f->bar0)));
  }

  // Memory decoding on every EHCI function; bus mastering as the platform
  // PEIM left it (on) or as the module found it (off).
  for (const EhciAddress &a : kEhciFunctions) {
    const UsbPciFunction *f = FindFunction(r, a.device, a.function);
    bool wantBm = x.busMaster;
    bool ok = f && (f->command & kCommandMemory) &&
              ((f->command & kCommandBusMaster) != 0) == wantBm;
    out.push_back(Make(FunctionName(a.device, a.function) + ": memory decoding on, bus mastering " +
                           (wantBm ? "on" : "off"),
                       ok, f ? "command " + Hex(f->command) : "not reported"));
  }
  if (x.busMaster) {
    bool ok = r.busMaster.size() == 3 && r.busMasterControllers == 3u;
    for (const BusMasterChange &c : r.busMaster) {
      ok = ok && c.id < 3 && c.device == kEhciFunctions[c.id].device &&
           c.function == kEhciFunctions[c.id].function && !(c.before & kCommandBusMaster) &&
           (c.after & kCommandBusMaster);
    }
    out.push_back(Make("the bus-master PEIM turned bus mastering on for ids 0-2 at the PPI's "
                       "installation",
                       ok, std::to_string(r.busMaster.size()) + " change(s) logged"));
  } else {
    out.push_back(Make("no bus-master PEIM in this boot", r.busMaster.empty() &&
                                                              !r.busMasterControllers,
                       std::to_string(r.busMaster.size()) + " change(s) logged"));
  }
  out.push_back(Make("the reader finished its report after reading", r.result == "read",
                     r.result.empty() ? "no done line" : "result " + r.result));
  return out;
}

bool ScheduleStartMissed(const UsbBootReport &r, uint32_t *controller) {
  std::string detail;
  if (!r.problems.empty() || r.result.empty() || !r.usb2HostControllers ||
      !ControllersRight(r, detail))
    return false;
  uint32_t k = *r.usb2HostControllers;
  if (k >= 3) return false;
  for (uint32_t id = k; id < 3; id++) {
    const UsbController *c = FindController(r, id);
    if (!c->usbCmd) return false;
    bool running = (*c->usbCmd & kUsbCmdRun) != 0;
    if (running != (id == k)) return false;
  }
  if (controller) *controller = k;
  return true;
}

void PrintUsbReport(std::ostream &out, const UsbBootReport &r) {
  out << "USB reader: ";
  if (!r.entryLine) {
    out << "never ran\n";
  } else {
    out << "ran (line " << *r.entryLine << "), ";
    if (r.blockIoLine) {
      out << "the block I/O PPIs came (line " << *r.blockIoLine << ")";
    } else if (r.endOfPeiLine) {
      out << "PEI ended without a block device (line " << *r.endOfPeiLine << ")";
    } else {
      out << "no end to its report";
    }
    if (r.usb2HostControllers) out << "; EHCI host controller PPIs: " << *r.usb2HostControllers;
    out << "\n";
  }
  for (int k = 0; k < 2; k++) {
    const std::optional<UsbMedia> &m = k == 0 ? r.media : r.media2;
    if (!m) continue;
    out << "  " << (k == 0 ? "block-io " : "block-io2") << " devices " << m->devices << ", present "
        << m->present << ", block size " << m->blockSize << ", last LBA " << m->lastBlock << "\n";
  }
  size_t n = 0;
  for (const UsbRead &rd : r.reads) {
    if (n++ == kMaxUsbPrintedEvents) break;
    out << "  read " << rd.interface << " LBA " << rd.lba << " x" << rd.blocks << ": status "
        << Hex(rd.status) << ", tag " << Hex(rd.tag) << ", " << rd.mismatches
        << " byte(s) differ\n";
  }
  n = 0;
  for (const UsbController &c : r.controllers) {
    if (n++ == kMaxUsbPrintedEvents) break;
    out << "  controller id " << c.id << ": status " << Hex(c.status);
    if (c.status == 0) out << ", type " << Hex(c.type) << ", base " << Hex(c.base);
    if (c.enabledPorts)
      out << ", device on root port(s) " << Hex(*c.enabledPorts) << " of " << c.ports.value_or(0);
    if (c.usbCmd) out << ", USBCMD " << Hex(*c.usbCmd);
    out << "\n";
  }
  n = 0;
  for (const UsbPciFunction &f : r.functions) {
    if (n++ == kMaxUsbPrintedEvents) break;
    out << "  " << FunctionName(f.device, f.function) << " EHCI: command " << Hex(f.command)
        << ", BAR0 " << Hex(f.bar0) << "\n";
  }
  n = 0;
  for (const BusMasterChange &c : r.busMaster) {
    if (n++ == kMaxUsbPrintedEvents) break;
    out << "  bus-master PEIM: id " << c.id << " (" << FunctionName(c.device, c.function)
        << ") command " << Hex(c.before) << " -> " << Hex(c.after) << "\n";
  }
  if (!r.problems.empty()) {
    out << "Problems in the log:\n";
    for (size_t i = 0; i < r.problems.size() && i < kMaxUsbPrintedProblems; i++)
      out << "  " << r.problems[i] << "\n";
    if (r.problems.size() > kMaxUsbPrintedProblems)
      out << "  ... and " << r.problems.size() - kMaxUsbPrintedProblems << " more\n";
  }
}

}  // namespace testbed
