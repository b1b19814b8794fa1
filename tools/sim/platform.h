// The emulated platform a PEI module image runs on: a 32-bit flat
// protected-mode CPU, RAM with a stack and a page pool, a PEI Foundation of
// our own (services table, PPI database, page allocator, Stall PPI), the
// chipset model, and the checks made on every access.
#ifndef TOOLS_SIM_PLATFORM_H_
#define TOOLS_SIM_PLATFORM_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "checks.h"
#include "chipset.h"
#include "coverage.h"
#include "devices/flash.h"
#include "foundation.h"
#include "memory_map.h"
#include "pe_image.h"
#include "pi_names.h"

struct uc_struct;

namespace peimsim {

enum class Phase : uint8_t { kEntry, kConsumer, kCall };

// kConsole: a line written to the debug console port.
enum class EventKind : uint8_t { kService, kPort, kMemory, kRamWrite, kConsole };

struct Event {
  EventKind kind = EventKind::kPort;
  Phase phase = Phase::kEntry;
  bool write = false;
  uint8_t width = 0;      // bits
  uint32_t address = 0;   // port or memory address
  uint64_t value = 0;
  uint32_t eip = 0;       // the instruction that made it (the call, for services)
  PortKind portKind = PortKind::kUnclaimed;
  uint32_t configAddress = 0;  // CONFIG_ADDRESS at the time (port events)
  Target target;
  int service = -1;  // index into Platform::Services() for kService, ConsoleLines() for kConsole
};

struct RegisterPreset {
  enum Space { kConfig, kFunctionMemory, kChipsetMemory } space = kConfig;
  std::string bdf;
  uint32_t address = 0;  // offset, or the chipset address
  int width = 32;
  uint32_t value = 0;
};

// Where a PEIM runs: before permanent memory (a PEIM may install it; the
// MemoryDiscovered PPI and the entries registered for shadowing follow once
// it returns), or after it (the MemoryDiscovered PPI installed from the
// start; a PEIM that registers for shadowing is entered again at once).
enum class MemoryWorld : uint8_t { kBefore, kAfter };
inline const char *MemoryWorldText(MemoryWorld w) {
  return w == MemoryWorld::kBefore ? "before permanent memory" : "after permanent memory";
}

struct PlatformOptions {
  uint32_t loadAddress = kDefaultLoadAddress;
  uint32_t bootMode = 0;
  bool stallPpi = true;
  std::vector<Failure> failures;
  bool randomize = false;
  uint32_t randomizeStart = 0;
  std::vector<RegisterPreset> presets;
  uint64_t budget = 1000000;  // instructions per call into the image
  // Also count instructions one by one with a per-instruction hook (slow;
  // for checking the per-block count).
  bool countEachInstruction = false;
  size_t eventLimit = kEventLimit;  // events kept in the trace
  // Record the image's executed blocks (--coverage), with a block hook of
  // its own, so that a run without it pays nothing.
  bool coverage = false;
  // The devices (--platform); null for the built-in USB chipset.
  std::shared_ptr<const PlatformDescription> description;
  // The firmware flash below 4 GiB (--flash, --vars); null for none.
  std::shared_ptr<const Flash> flash;
  // Any PEIM rather than UsbControllerPeim: every service is carried out, an
  // absent PCI function reads all ones without complaint, and no consumer
  // asks for controllers.
  bool anyPeim = false;
  // Wall-clock bound per call into the image, in milliseconds, besides the
  // instruction budget.
  uint64_t timeLimitMs = 60000;
  // With anyPeim: the memory world (--memory).
  MemoryWorld memory = MemoryWorld::kAfter;
  // The services table's CpuIo and PciCfg as a platform's PEIMs install
  // them, reaching the devices (--io-ppis), rather than the PEI core's own,
  // which answer EFI_NOT_AVAILABLE_YET and read 0.
  bool ioPpis = false;
};

// Events of one phase, recorded or not.
struct EventCounts {
  uint64_t ports = 0, portReads = 0, mmio = 0, mmioReads = 0, services = 0, ramWrites = 0;
  uint64_t Hardware() const { return ports + mmio; }
  uint64_t All() const { return ports + mmio + services + ramWrites; }
};

struct CallOutcome {
  bool returned = false;  // came back to its caller with the stack balanced
  uint32_t eax = 0;
  uint64_t instructions = 0;
};

struct ConsumerQuery {
  uint32_t id = 0;
  uint32_t status = 0;
  bool returned = false;
  uint32_t type = 0, base = 0;
  bool typeWritten = false, baseWritten = false;
};

struct ConsumerView {
  bool found = false;
  uint32_t locateStatus = 0;
  uint32_t descriptor = 0, flags = 0, guidAddress = 0, ppi = 0, function = 0;
  std::vector<ConsumerQuery> queries;
};

class Platform {
 public:
  Platform();
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  // Checks that the image can run here, maps it at options.loadAddress with
  // its relocations applied, read+execute only, and builds the platform.
  // False with a one-line error for an image or options it cannot take.
  bool Load(const pe::Image &image, const PlatformOptions &options, std::string &error);

  // Puts memory, registers, the chipset and the PPI database back into the
  // state they had after Load, and forgets the last run's trace.
  void Reset();

  // The PEI Foundation dispatches the module: its entry is called with the
  // module's file handle and the PEI services pointer.
  CallOutcome RunEntry();

  // What a consumer sees: LocatePpi(gPeiUsbControllerPpiGuid) in the PPI
  // database, then GetUsbController for ids 0, 1, 2, ... up to the first
  // error (or 256 ids).
  ConsumerView QueryConsumer();

  // Calls cdecl code at address with 32-bit stack arguments; the caller's
  // variables listed in outputs (address, size) may be written by it.
  CallOutcome Call(uint32_t address, const std::vector<uint32_t> &args,
                   const std::vector<std::pair<uint32_t, uint32_t>> &outputs = {},
                   Phase phase = Phase::kCall);

  // Memory access from the host side (no checks, no trace).
  bool Read(uint32_t address, void *data, size_t size) const;
  bool Write(uint32_t address, const void *data, size_t size);
  uint32_t Read32(uint32_t address) const;

  // Records every processor write into [address, address + size) as a
  // memory event (for checking store patterns). Cleared by Reset.
  void WatchWrites(uint32_t address, uint32_t size);
  // MMX register 0 before the next call; its value after the last call.
  void SetMm0(uint64_t value) { mm0 = value; }
  uint64_t Mm0After() const { return mm0After_; }

  // The recorded events: the first options().eventLimit of the run.
  const std::vector<Event> &Events() const { return events_; }
  // Every event of a phase, recorded or not; and how many were not recorded.
  const EventCounts &Counts(Phase phase) const { return counts_[int(phase)]; }
  uint64_t DroppedEvents() const { return droppedEvents_; }
  const std::vector<ServiceCall> &Services() const { return services_; }
  const std::vector<Violation> &Violations() const { return violations_; }
  const std::vector<InstalledPpi> &Ppis() const { return ppis_; }
  const std::vector<Allocation> &Allocations() const { return allocations_; }
  // The debug console's lines, as kConsole events index them.
  const std::vector<std::string> &ConsoleLines() const { return consoleLines_; }
  // The image's blocks run since Load (with options().coverage).
  const Coverage &ImageCoverage() const { return coverage_; }
  // The Stall requests of the recorded events; all of them counted.
  const std::vector<uint32_t> &StallRequests() const { return stalls_; }
  uint64_t StallCalls() const { return stallCalls_; }
  uint64_t StalledMicroseconds() const { return stalledUs_; }
  const Chipset &chipset() const { return chipset_; }
  const pe::Image &image() const { return image_; }
  const PlatformOptions &options() const { return options_; }
  uint32_t LoadAddress() const { return options_.loadAddress; }
  uint32_t ImageEnd() const { return options_.loadAddress + image_.sizeOfImage; }
  bool InImage(uint32_t address) const {
    return address - options_.loadAddress < image_.sizeOfImage;
  }
  uint64_t EntryInstructions() const { return entryInstructions_; }
  // Instructions counted one by one since Reset (countEachInstruction).
  uint64_t CountedOneByOne() const { return oneByOne_; }
  uint64_t HardwareAccesses(Phase phase) const;

  // The firmware the Foundation serves with its volume services: bytes
  // copied into RAM (read-only to the module), returning their address or 0
  // with an error when they do not fit; then the volumes and lone files
  // found in them, with the addresses filled in.
  uint32_t MapBytes(const uint8_t *data, size_t size, std::string &error);
  void AddVolume(const FvVolume &volume);
  void AddLooseFile(const FvFile &file);
  const std::vector<FvVolume> &Volumes() const { return volumes_; }
  // A PEIM the Foundation dispatches before the module (from its volume):
  // loaded in RAM, run to its end, its trace and violations dropped; what
  // it installed, allocated and registered stays. `outcome` says how it
  // ended; false with an error when it cannot be loaded. KeepState then
  // makes the platform as they left it the state Reset restores.
  bool Predispatch(const pe::Image &image, const std::string &name, uint32_t fileHandle,
                   std::string &outcome, std::string &error);
  void KeepState();
  // In an image dispatched before the module (for messages and checks).
  bool InOtherImage(uint32_t address) const;

  // The FileHandle the entry receives: the module's file in a mapped volume.
  void SetFileHandle(uint32_t handle) { fileHandle_ = handle; }
  uint32_t FileHandle() const { return fileHandle_; }
  bool ImageInRam() const { return imageInRam_; }
  // Whether the run ended in ResetSystem; the notifications registered.
  bool ResetRequested() const { return resetRequested_; }
  const std::vector<Notification> &Notifications() const { return notifications_; }
  // How many of Notifications() the PEIMs dispatched before the module
  // registered (the module's follow); whether a notification's callback ran.
  size_t EarlierNotifications() const { return initialNotifications_.size(); }
  bool CallbackRan(uint32_t function) const;
  // Where the HOB list ended when the module was dispatched: the HOBs and
  // pool buffers above it are the module's.
  uint32_t EarlierHobEnd() const { return initialHobEnd_; }
  // The module registered for shadowing and its entry was not called again.
  bool ShadowPending() const { return shadowRegistered_ && !shadowRun_; }
  // Accesses to absent PCI functions, each distinct one with its count.
  const std::vector<AbsentAccess> &AbsentAccesses() const { return absentAccesses_; }

  // Describes an address for messages: "stack", "page 0x001FF000+0x4", "image+0x34C".
  std::string Where(uint32_t address) const;

  // After a run: every --fail that never made a call fail is a violation,
  // since the run did not test what was asked.
  void CheckInjectedFailures();

 private:
  friend struct Hooks;

  bool MapMemory(std::string &error);
  void BuildFoundation();
  void AddViolation(const std::string &kind, const std::string &message, bool atEip = true);
  void AddViolationAt(const std::string &kind, const std::string &message, uint32_t eip);
  void PushViolation(const std::string &kind, const std::string &message, bool hasEip,
                     uint32_t eip);
  void NoteAbsentAccess(const Event &e);
  // A notify callback (by its function) is being called.
  void NoteCallback(uint32_t function);
  // The descriptor tables and code the checks rely on (cpu.cpp).
  void CheckDescriptorTables();
  void CodeWritten(uint32_t address, uint32_t size);
  bool LoopStateRepeats(uint32_t address);
  // Keeps the event if the trace has room; counts it either way. False when
  // it was not kept.
  bool Record(const Event &e);
  void CheckControlRegisters();
  // Stops the run once the call has taken longer than the time limit.
  void CheckClock();
  uint32_t CurrentEip() const;
  uint8_t *Host(uint32_t address, uint32_t size) const;  // RAM or device window, else null
  void HostWrite(uint32_t address, const void *data, size_t size);
  void MarkDirty(uint32_t address, uint32_t size);
  bool Allocated(uint32_t address, uint32_t size) const;
  bool WritableByModule(uint32_t address, uint32_t size) const;
  // In a writable section of an image loaded in RAM (its data).
  bool InWritableSection(uint32_t address, uint32_t size) const;
  uint32_t CallSite(uint32_t returnAddress) const;

  // Memory whose contents Reset puts back (the Foundation's tables, the HOB
  // list, an image in RAM, the volumes), rather than filling with
  // kUninitialisedByte.
  void KeepPages(uint32_t address, uint32_t size);
  uint32_t CurrentEsp() const;

  // Hook bodies.
  void OnMemory(bool write, uint32_t address, int size, uint64_t value);
  void OnPortIn(uint16_t port, int size, uint32_t &value);
  void OnPortOut(uint16_t port, int size, uint32_t value);
  // The device models and the processor model (device_access.cpp).
  void DeviceMisused(uint32_t eip);
  void OnCpuid();
  void OnProcessorInstruction(uint32_t address);
  bool CarriedOutByProcessor(const char *system) const;
  void CheckPort(const Event &e);
  // A port or device-window access made on the module's behalf (CpuIo,
  // PciCfg) or by the processor, traced and checked alike.
  uint32_t PortAccess(bool write, uint16_t port, int size, uint32_t value, uint32_t eip);
  uint64_t DeviceMemoryAccess(bool write, uint32_t address, int size, uint64_t value, uint32_t eip);
  void OnService(uint32_t address);
  void OnBlock(uint32_t address, uint32_t size);
  // The debug console and coverage (observers.cpp).
  void OnConsole(const Event &out);
  void FlushConsole(bool lineBreak);
  void ResetObservers();
  bool AttachCoverage(std::string &error);
  static void CoverageHook(uc_struct *uc, uint64_t address, uint32_t size, void *user);
  uint32_t PortInstruction();
  void OnFault(const char *what, uint32_t address, int size);
  void OnInterrupt(uint32_t number);

  // The Foundation's services.
  uint32_t ServiceStatus(const std::string &name, uint32_t defaultStatus, bool &injected);
  void DoInstallPpi(ServiceCall &call);
  void DoLocatePpi(ServiceCall &call);
  void DoGetBootMode(ServiceCall &call);
  void DoAllocatePages(ServiceCall &call);
  void DoStall(ServiceCall &call);
  bool ServiceOutput(ServiceCall &call, uint32_t address, const void *data, size_t size,
                     const char *what);
  // The services of services.cpp and fv_services.cpp; false for one the
  // Foundation does not carry out.
  bool CarryOut(ServiceCall &call, int entry);
  void DoReInstallPpi(ServiceCall &call);
  void DoNotifyPpi(ServiceCall &call);
  void DoSetBootMode(ServiceCall &call);
  void DoGetHobList(ServiceCall &call);
  void DoCreateHob(ServiceCall &call);
  void DoAllocatePool(ServiceCall &call);
  void DoFreePages(ServiceCall &call);
  void DoInstallPeiMemory(ServiceCall &call);
  void DoCopyOrSetMem(ServiceCall &call);
  void DoReportStatusCode(ServiceCall &call);
  void DoResetSystem(ServiceCall &call);
  void DoRegisterForShadow(ServiceCall &call);
  void DoCpuIo(ServiceCall &call, int member);
  void DoPciCfg(ServiceCall &call, int member);
  bool DoVolumeService(ServiceCall &call);
  uint64_t ServiceAccess(bool io, bool write, uint32_t address, int size, uint64_t value,
                         uint32_t eip);
  const FvFile *FindFvFile(uint32_t handle) const;
  const FvVolume *FindFvVolume(uint32_t handle) const;
  // HOBs: the initial list, the PHIT's free-memory fields, a new HOB before
  // the end marker (0 when there is no room).
  void BuildHobList();
  void UpdateHandoff();
  uint32_t AppendHob(uint16_t type, uint32_t length);
  void AddMemoryAllocationHob(uint32_t address, uint32_t bytes, uint32_t type);
  // Before memory: once the PEIM that called InstallPeiMemory has returned,
  // the MemoryDiscovered PPI (its callbacks called) and the entry again when
  // it registered for shadowing. The outcome of the last call made.
  CallOutcome AfterEntry(uint32_t entry, uint32_t fileHandle, CallOutcome o);
  // Notify callbacks: queued by the service that makes them due, run one
  // after another below its return address, then the service returns.
  void QueueCallbacks(const std::vector<InstalledPpi> &ppis,
                      const std::vector<Notification> &notifications);
  void StartCallbacks(uint32_t esp, uint32_t status);
  void RunNextCallback();
  void OnNotifyReturn(uint32_t esp);
  void RunDispatchNotifications();
  // ReportStatusCode handed to the status code PPI's function, run below
  // the service's return address; its status becomes the service's.
  void StartStatusCode(uint32_t esp, uint32_t function, const ServiceCall &call, size_t service);
  void OnStatusCodeReturn(uint32_t esp);
  static constexpr size_t kNoEntry = ~size_t(0);
  static constexpr size_t kStatusCodeDepth = 16;
  struct StatusCodeCall {
    uint32_t esp = 0;    // the service's return address lies here
    size_t service = 0;  // its entry in services_, or kNoEntry
  };
  std::vector<StatusCodeCall> statusCodeCalls_;
  uint32_t statusCodeFunction_ = 0;  // due once the current service is traced
  void RunNotifications(const std::vector<std::pair<Notification, InstalledPpi>> &due,
                        const char *kind);
  // The MemoryDiscovered PPI as the Foundation installs it (no interface).
  InstalledPpi MemoryDiscoveredPpi() const;
  // An image loaded and relocated in RAM after the others, as the
  // Foundation loads a PEIM in memory: its base, or 0 with an error. Those
  // loaded since KeepState go at Reset.
  uint32_t LoadInRam(const pe::Image &image, const std::string &name, std::string &error);
  size_t keptOthers_ = 0;
  uint32_t keptRamImageNext_ = 0;

  uc_struct *uc_ = nullptr;
  pe::Image image_;
  PlatformOptions options_;
  Chipset initialChipset_, chipset_;
  uint8_t *ram_ = nullptr;      // kRamEnd bytes, indexed by address
  uint8_t *devices_ = nullptr;  // the device window, indexed by address - kDeviceWindowBase
  uint8_t *imageMemory_ = nullptr;  // the image's pages, mapped read+execute
  uint32_t imageMapBase_ = 0, imageMapSize_ = 0;
  uint8_t *pristine_ = nullptr;  // kRamEnd bytes: the kept pages' contents
  std::vector<uint8_t> kept_;    // one flag per RAM page
  std::vector<uint8_t> dirty_;           // one flag per RAM page
  std::vector<uint32_t> dirtyList_;

  std::vector<Event> events_;
  std::vector<ServiceCall> services_;
  std::vector<Violation> violations_;
  std::vector<InstalledPpi> initialPpis_, ppis_;
  std::vector<Allocation> allocations_;
  std::vector<uint32_t> stalls_;
  uint64_t stallCalls_ = 0, stalledUs_ = 0;
  EventCounts counts_[3];
  uint64_t droppedEvents_ = 0;
  uint32_t cr0_ = 0, cr3_ = 0, cr4_ = 0;  // as the platform set them up
  uint32_t idtBase_ = 0, gdtBase_ = 0, idtLimit_ = 0, gdtLimit_ = 0;
  std::unordered_map<uint64_t, size_t> violationAt_;  // (eip, kind) -> its violation
  std::vector<AbsentAccess> absentAccesses_;
  std::vector<uint32_t> callbacksRun_;
  // Writes to each page of RAM that may hold code (images loaded in RAM),
  // so that a block translated before its code changed is decoded again.
  std::vector<uint32_t> codeWrites_;
  std::vector<uint32_t> serviceCalls_;  // calls per service slot (+ Stall at the end)
  std::vector<std::pair<uint32_t, uint32_t>> outputs_;
  std::vector<std::pair<uint32_t, uint32_t>> watches_;
  uint32_t poolNext_ = kPoolBase + kPoolPages * kPageSize;  // allocates downwards
  uint32_t hobEnd_ = 0, initialHobEnd_ = 0;  // the end-of-list HOB
  uint32_t bootMode_ = 0;
  bool installedMemory_ = false;
  bool resetRequested_ = false;
  bool imageInRam_ = false;
  bool shadowRegistered_ = false, shadowRun_ = false;
  struct OtherImage {
    std::string name;
    pe::Image image;
    uint32_t base = 0, size = 0;
  };
  std::vector<OtherImage> others_;
  uint32_t ramImageNext_ = kRamImageBase;
  std::vector<Allocation> initialAllocations_;
  std::vector<Notification> initialNotifications_;
  uint32_t initialPoolNext_ = kPoolBase + kPoolPages * kPageSize;
  uint32_t fileHandle_ = kFileHandle;
  uint32_t volumeNext_ = kVolumeBase;
  std::vector<FvVolume> volumes_;
  std::vector<FvFile> looseFiles_;
  std::vector<Notification> notifications_;
  std::vector<std::pair<Notification, InstalledPpi>> callbacks_;  // due after this service
  std::vector<PendingReturn> pending_;
  uint64_t blocksSinceClock_ = 0;
  // The dead-loop check: where the repeating code is, how often it ran, and
  // the writes and events counted when it started.
  uint32_t loopBlock_ = 0;
  uint64_t loopCount_ = 0, loopActivity_ = 0, memoryWrites_ = 0;
  // The registers at the block where a suspected dead loop is checked: the
  // same state there again, with nothing written in between, repeats for ever.
  uint32_t loopCheckAt_ = 0;
  bool loopChecking_ = false;
  uint32_t loopRegisters_[10] = {};
  std::chrono::steady_clock::time_point callStart_;

  // The current call.
  Phase phase_ = Phase::kEntry;
  uint32_t frameLimit_ = kStackTop;  // the caller's frame starts here
  uint64_t instructions_ = 0;
  uint64_t entryInstructions_ = 0;
  bool stopped_ = false;
  int splitReadsToSkip_ = 0;
  uint64_t mm0 = 0x0123456789ABCDEFull;
  uint64_t mm0After_ = 0;
  std::mt19937 scratch_;  // values for scratch registers
  // Translated blocks of the image seen so far, by address << 16 | size.
  struct Block {
    uint16_t instructions = 0;
    std::vector<uint32_t> ports;  // addresses of its IN/OUT instructions, in order
    const char *system = nullptr;  // its first instruction that changes the processor's mode
    uint64_t codeWrites = 0;       // writes to its pages when it was decoded (code in RAM)
    uint32_t systemAt = 0;
  };
  std::unordered_map<uint64_t, Block> blocks_;
  const Block *block_ = nullptr;  // the block executing now
  size_t blockPorts_ = 0;         // its port instructions already executed
  uint64_t oneByOne_ = 0;
  Coverage coverage_;
  std::vector<std::string> consoleLines_;
  std::string consoleLine_;  // written since the console's last line
  uint32_t consoleEip_ = 0;  // the OUT that wrote the line's first byte
  Phase consolePhase_ = Phase::kEntry;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_PLATFORM_H_
