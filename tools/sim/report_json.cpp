// The run as one JSON object (peim-sim --json).
#include <cstdio>

#include "disasm.h"
#include "report.h"
#include "report_internal.h"

namespace peimsim {
namespace {


// A JSON string. Paths come from the command line and saved traces from
// files, so any byte can turn up: control characters (C0, DEL, C1) are
// escaped, and a byte that is not part of well-formed UTF-8 becomes U+FFFD,
// so that the output is always valid JSON in valid UTF-8.
std::string Json(const std::string &s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    size_t n = Utf8Sequence(s, i, cp);
    if (n == 0) {
      out += "\\ufffd";
      i++;
      continue;
    }
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += char(cp);
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", unsigned(cp));
      out += b;
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  return out + "\"";
}

std::string Json(bool b) { return b ? "true" : "false"; }
std::string Json(uint64_t v) { return std::to_string(v); }
std::string Json(double v) {
  char b[32];
  snprintf(b, sizeof b, "%.3f", v);
  return b;
}

class Object {
 public:
  template <typename T>
  Object &Add(const std::string &key, const T &value) {
    return Raw(key, Json(value));
  }
  Object &Raw(const std::string &key, const std::string &json) {
    text_ += (text_.empty() ? "" : ", ") + Json(key) + ": " + json;
    return *this;
  }
  std::string Str() const { return "{" + text_ + "}"; }

 private:
  std::string text_;
};

std::string Array(const std::vector<std::string> &items, const char *sep = ", ") {
  std::string s = "[";
  for (size_t i = 0; i < items.size(); i++) s += (i ? sep : "") + items[i];
  return s + "]";
}

const char *PhaseName(Phase p) {
  return p == Phase::kEntry ? "entry" : p == Phase::kConsumer ? "consumer" : "call";
}

}  // namespace

std::string RenderJson(const RunReport &r, bool quiet) {
  const Platform &p = *r.platform;
  const pe::Image &img = p.image();
  Object root;
  if (!quiet) {
    std::vector<std::string> sections;
    for (const pe::Section &s : img.sections)
      sections.push_back(Object()
                             .Add("name", s.name)
                             .Add("rva", uint64_t(s.virtualAddress))
                             .Add("virtual_size", uint64_t(s.virtualSize))
                             .Add("raw_size", uint64_t(s.rawSize))
                             .Add("characteristics", uint64_t(s.characteristics))
                             .Str());
    root.Raw("image", Object()
                          .Add("path", r.imagePath)
                          .Add("source", r.source.empty() ? std::string("PE32 image") : r.source)
                          .Raw("dispatch", r.dispatch.empty() ? "null" : Json(r.dispatch))
                          .Add("format", std::string(img.IsTe() ? "TE" : "PE32"))
                          .Add("machine", uint64_t(img.machine))
                          .Add("subsystem", uint64_t(img.subsystem))
                          .Add("file_size", uint64_t(img.bytes.size()))
                          .Add("size_of_image", uint64_t(img.sizeOfImage))
                          .Raw("sections", Array(sections))
                          .Add("relocations", uint64_t(img.relocations.size()))
                          .Add("entry_rva", uint64_t(img.entryRva))
                          .Add("preferred_base", uint64_t(img.imageBase))
                          .Add("load_address", uint64_t(p.LoadAddress()))
                          .Str());
    const PlatformOptions &o = p.options();
    std::vector<std::string> failures;
    for (const Failure &f : o.failures)
      failures.push_back(Object()
                             .Add("service", f.service)
                             .Add("status", uint64_t(f.status))
                             .Add("call", uint64_t(f.call))
                             .Str());
    root.Raw("platform", Object()
                             .Add("boot_mode", uint64_t(o.bootMode))
                             .Add("boot_mode_name", BootModeName(o.bootMode))
                             .Add("stall_ppi", o.stallPpi)
                             .Raw("memory_world", o.anyPeim ? Json(MemoryWorldText(o.memory))
                                                            : std::string("null"))
                             .Raw("failures", Array(failures))
                             .Add("registers_set", uint64_t(o.presets.size()))
                             .Add("randomized", o.randomize)
                             .Str());
    std::vector<std::string> trace;
    int n = 0;
    for (const Event &e : p.Events()) {
      ++n;
      if (r.view && !Shown(*r.view, p, e)) continue;
      Object o;
      o.Add("index", uint64_t(n)).Add("phase", std::string(PhaseName(e.phase)));
      if (p.InImage(e.eip))
        o.Add("offset", uint64_t(e.eip - p.LoadAddress()));
      else
        o.Raw("offset", "null");
      if (e.kind == EventKind::kConsole) {
        o.Add("kind", std::string("console")).Add("text", p.ConsoleLines()[e.service]);
      } else if (e.kind == EventKind::kService) {
        const ServiceCall &s = p.Services()[e.service];
        o.Add("kind", std::string("service"))
            .Add("service", s.name)
            .Add("arguments", s.arguments)
            .Add("results", s.results)
            .Add("status", uint64_t(s.status))
            .Add("status_name", StatusName(s.status))
            .Add("injected", s.injected)
            .Add("expected", s.expected);
      } else {
        o.Add("kind", std::string(e.kind == EventKind::kPort ? "io" : e.kind == EventKind::kMemory ? "mmio" : "ram"))
            .Add("op", std::string(e.write ? "write" : "read"))
            .Add("width", uint64_t(e.width))
            .Add(e.kind == EventKind::kPort ? "port" : "address", uint64_t(e.address))
            .Add("value", e.value)
            .Add("target", TargetText(p, e));
        if (e.kind != EventKind::kRamWrite)
          o.Add("claimed", e.kind == EventKind::kPort ? e.portKind == PortKind::kConfigAddress || e.target.claimed
                                                      : e.target.claimed);
      }
      if (r.disasm) {
        std::string insn = InstructionText(p, e.eip);
        if (insn.empty()) o.Raw("instruction", "null");
        else o.Add("instruction", insn);
      }
      trace.push_back(o.Str());
    }
    root.Raw("trace", Array(trace, ",\n  "));
    // What the consumer was not handed is null, never the sentinel or stale
    // contents of its variables: a status only for a call that returned, a
    // type or base only where the call wrote it.
    const ConsumerView &c = r.consumer;
    std::vector<std::string> queries;
    for (const ConsumerQuery &q : c.queries) {
      Object o;
      o.Add("id", uint64_t(q.id)).Add("returned", q.returned);
      if (q.returned)
        o.Add("status", uint64_t(q.status)).Add("status_name", StatusName(q.status));
      else
        o.Raw("status", "null").Raw("status_name", "null");
      if (q.typeWritten) o.Add("type", uint64_t(q.type));
      else o.Raw("type", "null");
      if (q.baseWritten) o.Add("base", uint64_t(q.base));
      else o.Raw("base", "null");
      queries.push_back(o.Add("outputs_written", q.typeWritten || q.baseWritten).Str());
    }
    Object consumer;
    consumer.Add("found", c.found).Add("locate_status", uint64_t(c.locateStatus));
    for (auto field : {std::make_pair("descriptor", c.descriptor), std::make_pair("flags", c.flags),
                       std::make_pair("ppi", c.ppi), std::make_pair("get_usb_controller", c.function)}) {
      if (c.found) consumer.Add(field.first, uint64_t(field.second));
      else consumer.Raw(field.first, "null");
    }
    root.Raw("consumer", p.options().anyPeim ? std::string("null")
                                             : consumer.Raw("queries", Array(queries)).Str());
  }
  const EventCounts &f = Count(p);
  std::vector<std::string> stalls, pages, violations;
  for (uint32_t us : p.StallRequests()) stalls.push_back(std::to_string(us));
  for (const Allocation &a : p.Allocations())
    pages.push_back(Object()
                        .Add("address", uint64_t(a.address))
                        .Add("kind", std::string(a.pages ? "pages" : a.type == 0 ? "hob" : "pool"))
                        .Add("pages", uint64_t(a.pages))
                        .Add("bytes", uint64_t(a.pages ? uint64_t(a.pages) * kPageSize : a.bytes))
                        .Add("type", uint64_t(a.type))
                        .Str());
  std::vector<std::string> absent;
  for (const AbsentAccess &a : p.AbsentAccesses()) {
    Object o;
    o.Add("function", Bdf(a.configAddress)).Add("register", uint64_t(a.offset))
        .Add("width", uint64_t(a.width)).Add("op", std::string(a.write ? "write" : "read"))
        .Add("count", a.count);
    if (p.InImage(a.eip)) o.Add("offset", uint64_t(a.eip - p.LoadAddress()));
    else o.Raw("offset", "null");
    absent.push_back(o.Str());
  }
  auto strings = [](const std::vector<std::string> &items) {
    std::vector<std::string> json;
    for (const std::string &i : items) json.push_back(Json(i));
    return Array(json);
  };
  ModuleWork work = Work(p);
  for (const Violation &v : p.Violations()) {
    Object o;
    o.Add("kind", v.kind).Add("message", v.message).Add("count", v.count);
    std::string insn = v.hasEip ? InstructionText(p, v.eip) : "";
    if (insn.empty()) o.Raw("instruction", "null");
    else o.Add("instruction", insn);
    if (v.hasEip && p.InImage(v.eip))
      o.Add("offset", uint64_t(v.eip - p.LoadAddress()));
    else
      o.Raw("offset", "null");
    violations.push_back(o.Str());
  }
  Object summary;
  summary.Add("entry_returned", r.entry.returned);
  if (r.entry.returned)
    summary.Add("entry_status", uint64_t(r.entry.eax)).Add("entry_status_name", StatusName(r.entry.eax));
  else
    summary.Raw("entry_status", "null").Raw("entry_status_name", "null");
  summary.Add("instructions", p.EntryInstructions())
      .Add("hardware_accesses", f.Hardware())
      .Add("port_accesses", f.ports)
      .Add("mmio_accesses", f.mmio)
      .Add("instructions_per_access", f.Hardware() ? double(p.EntryInstructions()) / double(f.Hardware()) : 0.0)
      .Add("service_calls", f.services)
      .Raw("stalls_us", Array(stalls))
      .Add("stall_calls", p.StallCalls())
      .Raw("allocations", Array(pages))
      .Raw("absent_pci_accesses", Array(absent));
  if (p.options().anyPeim)
    summary.Raw("ppis_installed", strings(work.installed))
        .Raw("notifications", strings(work.registered))
        .Raw("entry_only", Json(!work.waiting.empty()))
        .Raw("waiting", strings(work.waiting));
  summary
      .Add("trace_events", uint64_t(p.Events().size()) + p.DroppedEvents())
      .Add("trace_truncated", p.DroppedEvents() != 0)
      .Add("clean", CleanRun(r));
  root.Raw("summary", summary.Str());
  root.Raw("violations", Array(violations, ",\n  "));
  if (r.expect)
    root.Raw("expect", Object().Add("file", r.expect->path).Add("match", r.expect->match).Add("difference", r.expect->difference).Str());
  if (r.repeat)
    root.Raw("repeat", Object()
                           .Add("dispatches", r.repeat->dispatches)
                           .Add("seconds", r.repeat->seconds)
                           .Add("per_second", r.repeat->seconds > 0 ? double(r.repeat->dispatches) / r.repeat->seconds : 0.0)
                           .Str());
  return root.Str() + "\n";
}

}  // namespace peimsim
