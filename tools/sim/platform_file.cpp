#include "platform_file.h"

#include <cctype>
#include <cstdio>

#include "file_io.h"
#include "memory_map.h"
#include "numbers.h"
#include "usb_chipset_platform.h"  // generated: kUsbChipsetPlatform, the default file's bytes
#include "q35_platform.h"          // generated: kQ35Platform

namespace peimsim {
namespace {

// The PCI configuration ports, which a console port may not take.
constexpr uint32_t kPciPortsFirst = 0xCF8, kPciPortsLast = 0xCFF;

std::string Hex8(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

class Parser {
 public:
  Parser(const std::string &name, PlatformDescription &out) : name_(name), out_(out) {}

  bool Run(const std::string &text, std::string &error) {
    if (text.size() > kMaxPlatformFileBytes)
      return Fail(0, "larger than " + std::to_string(kMaxPlatformFileBytes) + " bytes", error);
    size_t at = 0;
    unsigned number = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      at = end + 1;
      number++;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > kMaxPlatformLine)
        return Fail(number, "line longer than " + std::to_string(kMaxPlatformLine) + " bytes",
                    error);
      std::string why;
      line_ = number;
      if (!Line(line, why)) return Fail(number, why, error);
    }
    bool hasFwCfg = false;
    for (const ModelDescription &m : out_.models) hasFwCfg |= m.kind == "fw-cfg";
    if (fwCfgLine_ && !hasFwCfg)
      return Fail(fwCfgLine_, "fw_cfg items, but no device fw-cfg to serve them", error);
    return true;
  }

 private:
  bool Fail(unsigned line, const std::string &why, std::string &error) {
    error = name_ + (line ? ":" + std::to_string(line) : std::string()) + ": " + why;
    return false;
  }

  // Splits a line into words: blanks separate them, "..." is one word (its
  // quotes kept, to tell a name from a keyword), # starts a comment.
  static bool Words(const std::string &line, std::vector<std::string> &words, std::string &why) {
    for (size_t i = 0; i < line.size();) {
      unsigned char c = line[i];
      if (c == ' ' || c == '\t') {
        i++;
        continue;
      }
      if (c == '#') break;
      if (c == '"') {
        size_t close = line.find('"', i + 1);
        if (close == std::string::npos) {
          why = "a name's closing quote is missing";
          return false;
        }
        words.push_back(line.substr(i, close + 1 - i));
        i = close + 1;
        if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#') {
          why = "blank expected after a quoted name";
          return false;
        }
        continue;
      }
      size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#' &&
             line[i] != '"')
        i++;
      words.push_back(line.substr(start, i - start));
    }
    for (unsigned char c : line) {
      if (c != '\t' && (c < 0x20 || c > 0x7E)) {
        char b[64];
        snprintf(b, sizeof b, "byte 0x%02X is not printable ASCII", c);
        why = b;
        return false;
      }
    }
    return true;
  }

  static bool Number(const std::string &what, const std::string &text, uint64_t max,
                     uint64_t &value, std::string &why) {
    std::string e;
    if (toolio::ParseUnsigned(text, 0, max, value, e)) return true;
    why = what + ": " + e;
    return false;
  }

  static bool Bdf(const std::string &text, unsigned &bus, unsigned &dev, unsigned &fn,
                  std::string &why) {
    // BB:DD.F in hex, bus and device one or two digits, the function one.
    auto hex = [&](size_t &at, size_t most, unsigned &v) {
      size_t start = at;
      v = 0;
      while (at < text.size() && at - start < most && isxdigit((unsigned char)text[at])) {
        char c = text[at++];
        v = v * 16 + unsigned(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
      }
      return at > start;
    };
    size_t at = 0;
    bool ok = hex(at, 2, bus) && at < text.size() && text[at++] == ':' && hex(at, 2, dev) &&
              at < text.size() && text[at++] == '.' && hex(at, 1, fn) && at == text.size() &&
              dev < 32 && fn < 8;
    if (!ok) why = "bad PCI function '" + text + "' (expected BB:DD.F in hex, e.g. 00:12.2)";
    return ok;
  }

  FunctionDescription *FindFunction(const std::string &text, std::string &why) {
    unsigned bus, dev, fn;
    if (!Bdf(text, bus, dev, fn, why)) return nullptr;
    for (FunctionDescription &f : out_.functions)
      if (f.bus == bus && f.device == dev && f.function == fn) return &f;
    why = "PCI function " + text + " is not declared (a pci line must come first)";
    return nullptr;
  }

  // OFFSET/WIDTH or FIRST..LAST inside a space of `limit` bytes.
  struct Span {
    uint32_t offset = 0, bytes = 0;
    bool range = false;
  };
  static bool ParseSpan(const std::string &text, uint32_t limit, Span &s, std::string &why) {
    uint64_t a, b;
    size_t dots = text.find("..");
    if (dots != std::string::npos) {
      if (!Number("first offset", text.substr(0, dots), 0xFFFFFFFF, a, why) ||
          !Number("last offset", text.substr(dots + 2), 0xFFFFFFFF, b, why))
        return false;
      if (b < a) {
        why = "range " + text + " ends before it starts";
        return false;
      }
      s.range = true;
      s.offset = uint32_t(a);
      s.bytes = uint32_t(b - a + 1);
    } else {
      size_t slash = text.find('/');
      if (slash == std::string::npos) {
        why = "register '" + text + "' needs a width (OFFSET/8, /16 or /32) or a range FIRST..LAST";
        return false;
      }
      if (!Number("offset", text.substr(0, slash), 0xFFFFFFFF, a, why)) return false;
      std::string w = text.substr(slash + 1);
      if (w != "8" && w != "16" && w != "32") {
        why = "width '" + w + "' is not 8, 16 or 32";
        return false;
      }
      s.offset = uint32_t(a);
      s.bytes = uint32_t(std::stoul(w) / 8);
    }
    if (uint64_t(s.offset) + s.bytes > limit) {
      why = "register " + text + " lies outside the " + std::to_string(limit) + "-byte space";
      return false;
    }
    return true;
  }

  // REGISTER = VALUE [writable MASK] from words[first] on, into contents and mask.
  static bool Assign(const std::vector<std::string> &words, size_t first, uint32_t limit,
                     uint8_t *contents, uint8_t *mask, uint32_t lockedFirst,
                     uint32_t lockedEnd, std::string &why) {
    size_t n = words.size() - first;
    if (!(n == 3 || n == 5) || words[first + 1] != "=" ||
        (n == 5 && words[first + 3] != "writable")) {
      why = "expected REGISTER = VALUE [writable MASK]";
      return false;
    }
    Span s;
    if (!ParseSpan(words[first], limit, s, why)) return false;
    uint64_t most = s.range || s.bytes == 1 ? 0xFF : s.bytes == 2 ? 0xFFFF : 0xFFFFFFFF;
    const char *unit = s.range ? " (one byte, repeated over the range)" : "";
    uint64_t value, writable = 0;
    if (!Number(std::string("value") + unit, words[first + 2], most, value, why)) return false;
    if (n == 5 &&
        !Number(std::string("writable mask") + unit, words[first + 4], most, writable, why))
      return false;
    for (uint32_t i = 0; i < s.bytes; i++) {
      int shift = s.range ? 0 : 8 * int(i);
      uint32_t at = s.offset + i;
      if (n == 5 && at >= lockedFirst && at < lockedEnd) {
        why = "the writable bits of BAR0 follow from bar0=SIZE";
        return false;
      }
      contents[at] = uint8_t(value >> shift);
      if (n == 5) mask[at] = uint8_t(writable >> shift);
    }
    return true;
  }

  static bool Name(const std::string &word, std::string &name, std::string &why) {
    if (word.size() < 2 || word.front() != '"') {
      why = "expected a \"quoted name\", not '" + word + "'";
      return false;
    }
    name = word.substr(1, word.size() - 2);
    if (name.empty() || name.size() > kMaxPlatformName) {
      why = "a name has 1 to " + std::to_string(kMaxPlatformName) + " characters";
      return false;
    }
    return true;
  }

  bool Pci(const std::vector<std::string> &w, std::string &why) {
    if (w.size() < 3) {
      why = "expected pci BB:DD.F \"NAME\" [ehci] [bar0=SIZE]";
      return false;
    }
    unsigned bus, dev, fn;
    if (!Bdf(w[1], bus, dev, fn, why)) return false;
    for (const FunctionDescription &f : out_.functions) {
      if (f.bus == bus && f.device == dev && f.function == fn) {
        why = "PCI function " + w[1] + " is declared twice";
        return false;
      }
    }
    if (out_.functions.size() >= kMaxPlatformFunctions) {
      why = "more than " + std::to_string(kMaxPlatformFunctions) + " PCI functions";
      return false;
    }
    FunctionDescription f;
    f.bus = uint8_t(bus);
    f.device = uint8_t(dev);
    f.function = uint8_t(fn);
    if (!Name(w[2], f.name, why)) return false;
    bool sawKind = false, sawBar = false;
    for (size_t i = 3; i < w.size(); i++) {
      if (w[i] == "ehci" && !sawKind) {
        f.ehci = sawKind = true;
      } else if (w[i].rfind("bar0=", 0) == 0 && !sawBar) {
        sawBar = true;
        uint64_t size;
        if (!Number("bar0 size", w[i].substr(5), kMaxRegisterFile, size, why)) return false;
        if (size < 16 || (size & (size - 1))) {
          why = "bar0 size " + w[i].substr(5) + " is not a power of two from 16 to " +
                std::to_string(kMaxRegisterFile);
          return false;
        }
        f.barSize = uint32_t(size);
      } else {
        why = "unexpected '" + w[i] + "' (pci takes ehci and bar0=SIZE, each once)";
        return false;
      }
    }
    // A 32-bit non-prefetchable memory BAR: the size and type bits read 0.
    uint32_t barMask = f.barSize ? ~(f.barSize - 1) & ~0xFu : 0;
    for (int i = 0; i < 4; i++) f.configWriteMask[0x10 + i] = uint8_t(barMask >> (8 * i));
    f.regs.assign(f.barSize, 0);
    f.regsWriteMask.assign(f.barSize, 0xFF);  // plain storage unless said otherwise
    out_.functions.push_back(std::move(f));
    return true;
  }

  bool Config(const std::vector<std::string> &w, std::string &why) {
    if (w.size() < 2) {
      why = "expected config BB:DD.F REGISTER = VALUE [writable MASK]";
      return false;
    }
    FunctionDescription *f = FindFunction(w[1], why);
    if (!f) return false;
    if (!f->model.empty()) {
      why = "PCI function " + w[1] + " is the " + f->model + " model; its registers are its own";
      return false;
    }
    // BAR0's writable bits follow from its size.
    return Assign(w, 2, 256, f->config.data(), f->configWriteMask.data(), 0x10,
                  f->barSize ? 0x14 : 0x10, why);
  }

  bool Mmio(const std::vector<std::string> &w, std::string &why) {
    if (w.size() != 4) {
      why = "expected mmio ADDRESS SIZE \"NAME\"";
      return false;
    }
    if (out_.regions.size() >= kMaxPlatformRegions) {
      why = "more than " + std::to_string(kMaxPlatformRegions) + " register blocks";
      return false;
    }
    RegionDescription r;
    uint64_t base, size;
    if (!Number("address", w[1], 0xFFFFFFFF, base, why) ||
        !Number("size", w[2], kMaxRegisterFile, size, why) || !Name(w[3], r.name, why))
      return false;
    if (size == 0) {
      why = "a register block has at least one byte";
      return false;
    }
    if (base < kDeviceWindowBase || base + size > kDeviceWindowEnd) {
      why = "register block " + Hex8(uint32_t(base)) + "+" + std::to_string(size) +
            " lies outside the device window " + Hex8(kDeviceWindowBase) + "-" +
            Hex8(kDeviceWindowEnd - 1);
      return false;
    }
    for (const RegionDescription &o : out_.regions) {
      if (base < uint64_t(o.base) + o.size && o.base < base + size) {
        why = "register block " + Hex8(uint32_t(base)) + " overlaps \"" + o.name + "\" at " +
              Hex8(o.base);
        return false;
      }
    }
    r.base = uint32_t(base);
    r.size = uint32_t(size);
    r.regs.assign(r.size, 0);
    r.regsWriteMask.assign(r.size, 0xFF);
    out_.regions.push_back(std::move(r));
    return true;
  }

  bool Regs(const std::vector<std::string> &w, std::string &why) {
    if (w.size() < 2) {
      why = "expected regs BB:DD.F|ADDRESS REGISTER = VALUE [writable MASK]";
      return false;
    }
    std::vector<uint8_t> *regs = nullptr, *mask = nullptr;
    if (w[1].find(':') != std::string::npos) {
      FunctionDescription *f = FindFunction(w[1], why);
      if (!f) return false;
      if (!f->barSize) {
        why = "PCI function " + w[1] + " has no register file (give it bar0=SIZE)";
        return false;
      }
      regs = &f->regs;
      mask = &f->regsWriteMask;
    } else {
      uint64_t base;
      if (!Number("register block address", w[1], 0xFFFFFFFF, base, why)) return false;
      for (RegionDescription &r : out_.regions) {
        if (r.base == base) {
          regs = &r.regs;
          mask = &r.regsWriteMask;
        }
      }
      if (!regs) {
        why = "no register block starts at " + w[1] + " (an mmio line must come first)";
        return false;
      }
    }
    return Assign(w, 2, uint32_t(regs->size()), regs->data(), mask->data(), 0, 0, why);
  }

  bool Console(const std::vector<std::string> &w, std::string &why) {
    uint64_t port;
    if (w.size() != 2) {
      why = "expected console PORT";
      return false;
    }
    if (out_.console) {
      why = "a second console";
      return false;
    }
    if (!Number("console port", w[1], 0xFFFF, port, why)) return false;
    if (port >= kPciPortsFirst && port <= kPciPortsLast) {
      why = "the console port may not overlap the PCI configuration ports 0xCF8-0xCFF";
      return false;
    }
    out_.console = true;
    out_.consolePort = uint16_t(port);
    return true;
  }

  // device KIND [BB:DD.F] "NAME": a model of tools/sim/devices/.
  bool DeviceLine(const std::vector<std::string> &w, std::string &why) {
    static const char *const kPci[] = {"q35-mch", "ich9-lpc"};
    static const char *const kOther[] = {"cmos", "port92", "pic", "cpu-hotplug",
                                         "fw-cfg", "lapic", "tpm-absent"};
    if (w.size() < 3) {
      why = "expected device KIND [BB:DD.F] \"NAME\"";
      return false;
    }
    for (const char *k : kPci) {
      if (w[1] != k) continue;
      if (w.size() != 4) {
        why = "expected device " + w[1] + " BB:DD.F \"NAME\"";
        return false;
      }
      std::vector<std::string> pci = {"pci", w[2], w[3]};
      if (!Pci(pci, why)) return false;
      out_.functions.back().model = w[1];
      return true;
    }
    for (const char *k : kOther) {
      if (w[1] != k) continue;
      if (w.size() != 3) {
        why = "expected device " + w[1] + " \"NAME\"";
        return false;
      }
      for (const ModelDescription &m : out_.models)
        if (m.kind == w[1]) {
          why = "a second " + w[1] + " device";
          return false;
        }
      ModelDescription m;
      m.kind = w[1];
      if (!Name(w[2], m.name, why)) return false;
      out_.models.push_back(m);
      return true;
    }
    why = "unknown device '" + w[1] +
          "' (q35-mch, ich9-lpc, cmos, port92, pic, cpu-hotplug, fw-cfg, lapic or tpm-absent)";
    return false;
  }

  // config-write BB:DD.F OFFSET/WIDTH = VALUE: a write to a model's
  // configuration space before the run, through its own semantics.
  bool ConfigWrite(const std::vector<std::string> &w, std::string &why) {
    if (w.size() != 5 || w[3] != "=") {
      why = "expected config-write BB:DD.F OFFSET/WIDTH = VALUE";
      return false;
    }
    FunctionDescription *f = FindFunction(w[1], why);
    if (!f) return false;
    if (f->model.empty()) {
      why = "PCI function " + w[1] + " is no device model (give its contents with config)";
      return false;
    }
    Span s;
    if (!ParseSpan(w[2], 256, s, why)) return false;
    if (s.range) {
      why = "config-write takes one register, OFFSET/WIDTH";
      return false;
    }
    uint64_t value;
    if (!Number("value", w[4], s.bytes == 1 ? 0xFF : s.bytes == 2 ? 0xFFFF : 0xFFFFFFFF, value, why))
      return false;
    f->writes.push_back({s.offset, int(s.bytes), uint32_t(value)});
    return true;
  }

  bool ProcessorLine(const std::vector<std::string> &w, std::string &why) {
    if (w.size() != 2 || w[1] != "qemu32") {
      why = "expected processor qemu32 (the one processor model)";
      return false;
    }
    out_.processor = true;
    return true;
  }

  bool Ram(const std::vector<std::string> &w, std::string &why) {
    uint64_t size;
    if (w.size() != 2) {
      why = "expected ram SIZE";
      return false;
    }
    if (!Number("ram size", w[1], 0xB0000000, size, why)) return false;
    if (size < 0x1000000 || size % 0x100000) {
      why = "ram size " + w[1] + " is not a whole number of MiB from 16 MiB to 0xB0000000";
      return false;
    }
    out_.ramBytes = uint32_t(size);
    return true;
  }

  // Hex bytes, two digits each, nothing else.
  static bool HexBytes(const std::string &text, std::vector<uint8_t> &out, std::string &why) {
    if (text == "-") return true;  // no bytes
    if (text.size() % 2) {
      why = "contents '" + text.substr(0, 16) + "...' have an odd number of hex digits";
      return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
      unsigned v = 0;
      for (int d = 0; d < 2; d++) {
        char c = text[i + d];
        if (!isxdigit((unsigned char)c)) {
          why = std::string("contents: '") + c + "' is not a hex digit";
          return false;
        }
        v = v * 16 + unsigned(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
      }
      out.push_back(uint8_t(v));
    }
    return true;
  }

  // fwcfg ITEM = HEX; fwcfg-file "NAME" [writable] = HEX; fwcfg-file "NAME" size N.
  bool FwCfgLine(const std::vector<std::string> &w, std::string &why) {
    if (!out_.fwCfg) out_.fwCfg = std::make_shared<FwCfgData>();
    FwCfgItem item;
    size_t at = 2;
    if (w[0] == "fwcfg") {
      uint64_t key;
      if (w.size() != 4 || w[2] != "=") {
        why = "expected fwcfg ITEM = HEXBYTES";
        return false;
      }
      if (!Number("fw_cfg item", w[1], 0xFFFF, key, why)) return false;
      if (key == kFwCfgFileDir || (key & 0x3FFF) >= kFwCfgFileFirst) {
        why = "fw_cfg item " + w[1] + " is the file directory's or a file's number (files are "
              "numbered from 0x20 by name)";
        return false;
      }
      item.key = uint16_t(key);
    } else {
      if (w.size() < 4) {
        why = "expected fwcfg-file \"NAME\" [writable] = HEXBYTES, or fwcfg-file \"NAME\" size N";
        return false;
      }
      if (w[1].size() < 3 || w[1].front() != '"' || w[1].size() - 2 >= kFwCfgNameBytes) {
        why = "a fw_cfg file name is quoted and has 1 to " + std::to_string(kFwCfgNameBytes - 1) +
              " characters";
        return false;
      }
      item.file = w[1].substr(1, w[1].size() - 2);
      if (w[2] == "size") {
        uint64_t size;
        if (w.size() != 4) {
          why = "expected fwcfg-file \"NAME\" size N";
          return false;
        }
        if (!Number("fw_cfg file size", w[3], 0x1000000, size, why)) return false;
        item.size = uint32_t(size);
        item.served = false;
        return AddFwCfgItem(std::move(item), why);
      }
      if (w[2] == "writable") {
        item.writable = true;
        at = 3;
      }
      if (w.size() != at + 2 || w[at] != "=") {
        why = "expected fwcfg-file \"NAME\" [writable] = HEXBYTES";
        return false;
      }
      at++;
    }
    if (w[0] == "fwcfg") at = 3;
    if (!HexBytes(w[at], item.bytes, why)) return false;
    return AddFwCfgItem(std::move(item), why);
  }

  bool AddFwCfgItem(FwCfgItem item, std::string &why) {
    if (!fwCfgLine_) fwCfgLine_ = line_;
    for (const FwCfgItem &o : out_.fwCfg->items)
      if (item.file.empty() ? o.file.empty() && o.key == item.key : o.file == item.file) {
        why = "fw_cfg " + (item.file.empty() ? "item " + Hex8(item.key)
                                             : "file \"" + item.file + "\"") +
              " is given twice";
        return false;
      }
    if (item.served) item.size = uint32_t(item.bytes.size());
    if (out_.fwCfg->items.size() >= kFwCfgMaxFiles) {
      why = "more than " + std::to_string(kFwCfgMaxFiles) + " fw_cfg items";
      return false;
    }
    out_.fwCfg->items.push_back(std::move(item));
    return true;
  }

  // field config|regs BB:DD.F|*|ADDRESS OFFSET/WIDTH "NAME" [FIELD=BIT|FIELD=HI:LO]...
  bool Field(const std::vector<std::string> &w, std::string &why) {
    const char *usage =
        "expected field config|regs BB:DD.F|*|ADDRESS OFFSET/WIDTH \"NAME\" [FIELD=BIT|FIELD=HI:LO]...";
    if (w.size() < 5 || (w[1] != "config" && w[1] != "regs")) {
      why = usage;
      return false;
    }
    if (out_.registers.size() >= kMaxRegisterLayouts) {
      why = "more than " + std::to_string(kMaxRegisterLayouts) + " named registers";
      return false;
    }
    RegisterLayout r;
    r.line = line_;
    uint32_t limit = 256;
    r.space = w[1] == "config" ? RegisterLayout::kConfig : RegisterLayout::kRegs;
    if (w[2] == "*") {
      r.everyFunction = true;
      if (r.space == RegisterLayout::kRegs) limit = kMaxRegisterFile;
    } else if (w[2].find(':') != std::string::npos) {
      FunctionDescription *f = FindFunction(w[2], why);
      if (!f) return false;
      r.bus = f->bus;
      r.device = f->device;
      r.function = f->function;
      if (r.space == RegisterLayout::kRegs) {
        if (!f->barSize) {
          why = "PCI function " + w[2] + " has no register file (give it bar0=SIZE)";
          return false;
        }
        limit = f->barSize;
      }
    } else {
      uint64_t base;
      if (r.space == RegisterLayout::kConfig) {
        why = "a configuration register belongs to a PCI function (BB:DD.F or *), not '" + w[2] + "'";
        return false;
      }
      if (!Number("register block address", w[2], 0xFFFFFFFF, base, why)) return false;
      const RegionDescription *block = nullptr;
      for (const RegionDescription &b : out_.regions)
        if (b.base == base) block = &b;
      if (!block) {
        why = "no register block starts at " + w[2] + " (an mmio line must come first)";
        return false;
      }
      r.space = RegisterLayout::kBlock;
      r.block = block->base;
      limit = block->size;
    }
    Span span;
    if (!ParseSpan(w[3], limit, span, why)) return false;
    if (span.range) {
      why = "a named register is OFFSET/8, /16 or /32, not a range";
      return false;
    }
    r.offset = span.offset;
    r.bytes = span.bytes;
    if (!Name(w[4], r.name, why)) return false;
    for (size_t i = 5; i < w.size(); i++) {
      BitField f;
      size_t eq = w[i].find('=');
      f.name = w[i].substr(0, std::min(eq, w[i].size()));
      bool ident = !f.name.empty() && f.name.size() <= kMaxPlatformName &&
                   !isdigit((unsigned char)f.name[0]);
      for (char c : f.name) ident = ident && (isalnum((unsigned char)c) || c == '_');
      if (eq == std::string::npos || !ident) {
        why = "bit field '" + w[i] + "' is not NAME=BIT or NAME=HI:LO (a name of letters, digits "
              "and _, up to " + std::to_string(kMaxPlatformName) + ")";
        return false;
      }
      std::string bits = w[i].substr(eq + 1);
      size_t colon = bits.find(':');
      uint64_t hi, lo;
      uint64_t top = r.bytes * 8 - 1;
      if (!Number("bit", bits.substr(0, colon), top, hi, why) ||
          !Number("bit", colon == std::string::npos ? bits : bits.substr(colon + 1), top, lo, why)) {
        why = "field " + f.name + ": " + why + " (the register has bits 0 to " +
              std::to_string(top) + ")";
        return false;
      }
      if (lo > hi) {
        why = "field " + f.name + ": bits " + bits + " are HI:LO, the high one first";
        return false;
      }
      f.hi = uint8_t(hi);
      f.lo = uint8_t(lo);
      for (const BitField &o : r.fields) {
        if (o.name == f.name || (f.lo <= o.hi && o.lo <= f.hi)) {
          why = "field " + f.name + " " + (o.name == f.name ? "is named twice" : "overlaps " + o.name);
          return false;
        }
      }
      if (r.fields.size() >= kMaxBitFields) {
        why = "more than " + std::to_string(kMaxBitFields) + " fields in one register";
        return false;
      }
      r.fields.push_back(f);
    }
    for (const RegisterLayout &o : out_.registers) {
      bool same = o.space == r.space && o.everyFunction == r.everyFunction &&
                  (r.space == RegisterLayout::kBlock
                       ? o.block == r.block
                       : r.everyFunction || (o.bus == r.bus && o.device == r.device &&
                                             o.function == r.function));
      if (same && o.offset < r.offset + r.bytes && r.offset < o.offset + o.bytes) {
        why = "register \"" + r.name + "\" overlaps \"" + o.name + "\" of line " +
              std::to_string(o.line);
        return false;
      }
    }
    out_.registers.push_back(std::move(r));
    return true;
  }

  bool Line(const std::string &line, std::string &why) {
    std::vector<std::string> w;
    if (!Words(line, w, why)) return false;
    if (w.empty()) return true;
    if (w[0] == "pci") return Pci(w, why);
    if (w[0] == "config") return Config(w, why);
    if (w[0] == "mmio") return Mmio(w, why);
    if (w[0] == "regs") return Regs(w, why);
    if (w[0] == "console") return Console(w, why);
    if (w[0] == "device") return DeviceLine(w, why);
    if (w[0] == "config-write") return ConfigWrite(w, why);
    if (w[0] == "processor") return ProcessorLine(w, why);
    if (w[0] == "ram") return Ram(w, why);
    if (w[0] == "fwcfg" || w[0] == "fwcfg-file") return FwCfgLine(w, why);
    if (w[0] == "field") return Field(w, why);
    why = "unknown statement '" + w[0] +
          "' (pci, config, mmio, regs, console, device, config-write, processor, ram, fwcfg, "
          "fwcfg-file or field)";
    return false;
  }

  std::string name_;
  PlatformDescription &out_;
  unsigned line_ = 0, fwCfgLine_ = 0;  // the line being parsed; the first fw_cfg item's
};

}  // namespace

bool ParsePlatform(const std::string &text, const std::string &name, PlatformDescription &out,
                   std::string &error) {
  PlatformDescription d;
  Parser parser(name, d);
  if (!parser.Run(text, error)) return false;
  if (d.fwCfg && !d.fwCfg->Finish(error)) {
    error = name + ": " + error;
    return false;
  }
  // BAR0's size and type bits read 0 whatever the file gave as its value.
  for (FunctionDescription &f : d.functions)
    for (int i = 0x10; i < 0x14; i++)
      if (f.barSize) f.config[i] &= f.configWriteMask[i];
  out = std::move(d);
  return true;
}

bool ReadPlatformFile(const std::string &path, PlatformDescription &out, std::string &error) {
  std::vector<uint8_t> bytes;
  if (!toolio::ReadInput(path, bytes, error, kMaxPlatformFileBytes)) return false;
  return ParsePlatform(std::string(bytes.begin(), bytes.end()), path, out, error);
}

namespace {

// A built-in file, parsed. The tests check both; were one ever broken, its
// platform would have no functions and every run would say so.
PlatformDescription BuiltIn(const std::string &text, const char *name) {
  PlatformDescription d;
  std::string error;
  ParsePlatform(text, name, d, error);
  return d;
}

}  // namespace

const std::string &Q35PlatformText() {
  static const std::string text(reinterpret_cast<const char *>(kQ35Platform), sizeof kQ35Platform);
  return text;
}

const PlatformDescription &Q35Platform() {
  static const PlatformDescription platform = BuiltIn(Q35PlatformText(), kQ35PlatformName);
  return platform;
}

const std::string &DefaultPlatformText() {
  static const std::string text(reinterpret_cast<const char *>(kUsbChipsetPlatform),
                                sizeof kUsbChipsetPlatform);
  return text;
}

const PlatformDescription &DefaultPlatform() {
  static const PlatformDescription platform = BuiltIn(DefaultPlatformText(), kDefaultPlatformName);
  return platform;
}

}  // namespace peimsim
