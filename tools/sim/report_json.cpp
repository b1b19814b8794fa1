// The run as one JSON object (peim-sim --json).
#include <cstdio>

#include "disasm.h"
#include "expect_json.h"
#include "report.h"
#include "report_internal.h"

namespace peimsim {
namespace {

// A JSON string (see JsonQuote: any byte may turn up in a path or a name).
std::string Json(const std::string &s) { return JsonQuote(s); }

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

using J = JsonValue;

J NameOrNull(const std::string &name) { return name.empty() ? J::Null() : J::String(name); }

// A service call's argument or output: {"name", "kind", then its value}.
J FieldJson(const ServiceField &f) {
  J o = J::Object();
  o.Add("name", J::String(f.name));
  switch (f.kind) {
    case ServiceField::Kind::kGuid: {
      std::string text = GuidText(f.guid);
      o.Add("kind", J::String("guid"))
          .Add("guid", J::String(text))
          .Add("guid_name", NameOrNull(toolio::KnownGuidName(text)));
      break;
    }
    case ServiceField::Kind::kNumber:
      o.Add("kind", J::String("number")).Add("value", J::Number(f.value));
      break;
    case ServiceField::Kind::kPointer:
      o.Add("kind", J::String("pointer"))
          .Add("address", J::Number(f.value))
          .Add("where", f.hasWhere ? J::String(f.text) : J::Null());
      break;
    case ServiceField::Kind::kStatus:
      o.Add("kind", J::String("status"))
          .Add("value", J::Number(f.value))
          .Add("status_name", J::String(StatusName(uint32_t(f.value))));
      break;
    case ServiceField::Kind::kBootMode:
      o.Add("kind", J::String("boot_mode"))
          .Add("value", J::Number(f.value))
          .Add("boot_mode_name", NameOrNull(BootModeName(uint32_t(f.value))));
      break;
    case ServiceField::Kind::kMemoryType:
      o.Add("kind", J::String("memory_type"))
          .Add("value", J::Number(f.value))
          .Add("memory_type_name", NameOrNull(MemoryTypeName(uint32_t(f.value))));
      break;
    case ServiceField::Kind::kText:
      o.Add("kind", J::String("text")).Add("text", J::String(f.text));
      break;
  }
  return o;
}

J FieldsJson(const ServiceFields &fields) {
  J a = J::Array();
  for (const ServiceField &f : fields.list) a.Push(FieldJson(f));
  return a;
}

const char *PresetSpace(RegisterPreset::Space s) {
  return s == RegisterPreset::kConfig ? "config"
         : s == RegisterPreset::kFunctionMemory ? "mmio" : "chipset";
}

}  // namespace

JsonValue EventJson(const RunReport &r, const Event &e, uint64_t number, bool instruction) {
  const Platform &p = *r.platform;
  J o = J::Object();
  o.Add("index", J::Number(number)).Add("phase", J::String(PhaseName(e.phase)));
  o.Add("offset", p.InImage(e.eip) ? J::Number(e.eip - p.LoadAddress()) : J::Null());
  if (r.symbols)
    o.Add("symbol", NameOrNull(FunctionAt(p, r.symbols, e.eip)));
  if (e.kind == EventKind::kConsole) {
    o.Add("kind", J::String("console")).Add("text", J::String(p.ConsoleLines()[e.service]));
  } else if (e.kind == EventKind::kService) {
    const ServiceCall &s = p.Services()[e.service];
    o.Add("kind", J::String("service"))
        .Add("service", J::String(s.name))
        .Add("arguments", J::String(s.arguments))
        .Add("results", J::String(s.results))
        .Add("args", FieldsJson(s.in))
        .Add("outputs", FieldsJson(s.out))
        .Add("status", J::Number(s.status))
        .Add("status_name", J::String(StatusName(s.status)))
        .Add("injected", J::Bool(s.injected))
        .Add("expected", J::Bool(s.expected));
  } else {
    bool port = e.kind == EventKind::kPort;
    o.Add("kind", J::String(port ? "io" : e.kind == EventKind::kMemory ? "mmio" : "ram"))
        .Add("op", J::String(e.write ? "write" : "read"))
        .Add("width", J::Number(e.width))
        .Add(port ? "port" : "address", J::Number(e.address))
        .Add("value", J::Number(e.value))
        .Add("target", J::String(TargetText(p, e)));
    if (e.kind != EventKind::kRamWrite) {
      RegisterText named = NamedRegister(p, e);
      J fields = J::Null();
      if (!named.fields.empty()) {
        fields = J::Object();
        for (const auto &[name, bits] : named.values) fields.Add(name, J::Number(bits));
      }
      o.Add("register", NameOrNull(named.name)).Add("fields", fields);
    }
    if (e.kind != EventKind::kRamWrite)
      o.Add("claimed", J::Bool(port ? e.portKind == PortKind::kConfigAddress || e.target.claimed
                                    : e.target.claimed));
  }
  if (instruction) {
    std::string insn = InstructionText(p, e.eip);
    o.Add("instruction", insn.empty() ? J::Null() : J::String(insn));
  }
  return o;
}

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
    // The registers --pci and --mmio set: the function (null for a chipset
    // register), the offset in its space or file, or the chipset address.
    std::vector<std::string> presets;
    for (const RegisterPreset &q : o.presets) {
      bool chipset = q.space == RegisterPreset::kChipsetMemory;
      presets.push_back(Object()
                            .Add("space", std::string(PresetSpace(q.space)))
                            .Raw("function", chipset ? "null" : Json(q.bdf))
                            .Raw("offset", chipset ? "null" : Json(uint64_t(q.address)))
                            .Raw("address", chipset ? Json(uint64_t(q.address)) : "null")
                            .Add("width", uint64_t(q.width))
                            .Add("value", uint64_t(q.value))
                            .Str());
    }
    root.Raw("platform", Object()
                             .Add("boot_mode", uint64_t(o.bootMode))
                             .Add("boot_mode_name", BootModeName(o.bootMode))
                             .Add("stall_ppi", o.stallPpi)
                             .Raw("memory_world", o.anyPeim ? Json(MemoryWorldText(o.memory))
                                                            : std::string("null"))
                             .Raw("failures", Array(failures))
                             .Add("registers_set", uint64_t(o.presets.size()))
                             .Raw("presets", Array(presets))
                             .Add("randomized", o.randomize)
                             .Raw("randomize_seed", o.randomize ? Json(uint64_t(o.randomizeStart))
                                                                : std::string("null"))
                             .Str());
    std::vector<std::string> trace;
    int n = 0;
    for (const Event &e : p.Events()) {
      ++n;
      if (r.view && !Shown(*r.view, p, e)) continue;
      trace.push_back(JsonText(EventJson(r, e, uint64_t(n), r.disasm)));
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
