// The consumer's side: what another PEIM sees of PEI_USB_CONTROLLER_PPI
// through the PPI database, and its GetUsbController answers.
#include "platform.h"

namespace peimsim {
namespace {

constexpr uint32_t kCallerSentinelType = 0xC1C1C1C1;
constexpr uint32_t kCallerSentinelBase = 0xC2C2C2C2;

}  // namespace

ConsumerView Platform::QueryConsumer() {
  ConsumerView v;
  v.locateStatus = kEfiNotFound;
  for (const InstalledPpi &p : ppis_) {
    if (p.guid != kUsbControllerPpiGuid) continue;
    v.found = true;
    v.locateStatus = kEfiSuccess;
    v.descriptor = p.descriptor;
    v.flags = p.flags;
    v.guidAddress = p.guidAddress;
    v.ppi = p.ppi;
    break;
  }
  if (!v.found) return v;
  if (!Read(v.ppi, &v.function, 4)) return v;
  const uint32_t typeCell = kCallerData + 0x10, baseCell = kCallerData + 0x14;
  uint32_t ehci = 0, reported = 0;
  for (int i = 0; i < chipset_.FunctionCount(); i++) ehci += chipset_.Function(i).ehci;
  for (uint32_t id = 0; id < 256; id++) {
    HostWrite(typeCell, &kCallerSentinelType, 4);
    HostWrite(baseCell, &kCallerSentinelBase, 4);
    CallOutcome o = Call(v.function, {kPeiServicesCell, v.ppi, kIdSlotFill | id, typeCell, baseCell},
                         {{typeCell, 4}, {baseCell, 4}}, Phase::kConsumer);
    ConsumerQuery q;
    q.id = id;
    q.status = o.eax;
    q.returned = o.returned;
    q.type = Read32(typeCell);
    q.base = Read32(baseCell);
    q.typeWritten = q.type != kCallerSentinelType;
    q.baseWritten = q.base != kCallerSentinelBase;
    v.queries.push_back(q);
    if (!o.returned || (q.status & kErrorBit)) break;
    // A consumer goes on to use what a successful call handed back.
    std::string call = "GetUsbController (Id " + std::to_string(id) + ")";
    if (!q.typeWritten || !q.baseWritten) {
      AddViolation("consumer-outputs",
                   call + " returned " + StatusName(q.status) + " without writing " +
                       (!q.typeWritten && !q.baseWritten ? "ControllerType and BaseAddress"
                        : !q.typeWritten                 ? "ControllerType"
                                                         : "BaseAddress"),
                   false);
      break;
    }
    if (++reported > ehci) {
      AddViolation("consumer-count", call + " reported a controller, but the platform has " +
                                         std::to_string(ehci) + " EHCI controllers",
                   false);
      break;
    }
  }
  return v;
}

}  // namespace peimsim
