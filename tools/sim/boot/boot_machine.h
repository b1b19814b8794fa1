// The whole PEI phase of a firmware image on the q35 platform: the
// firmware's own PEI core, entered from the SEC stand-in's state, runs with
// its PEIMs until DxeIpl enters the DXE core. The real services table (the
// pointer below the IDT) is tapped: every service call is decoded and
// attributed, with every device access and instruction, to the image that
// holds the code, images being recognised as the core runs them in place,
// loads or shadows them.
#ifndef TOOLS_SIM_BOOT_BOOT_MACHINE_H_
#define TOOLS_SIM_BOOT_BOOT_MACHINE_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "chipset.h"
#include "sec_standin.h"

struct uc_struct;

namespace peimsim::boot {

constexpr uint32_t kRamSize = 0x10000000;  // the q35 machine's 256 MiB

struct BootOptions {
  bool migrationPpi = true;  // SEC passes the temporary RAM migration PPI
  // The USB chipset of the default platform beside q35's devices (its
  // functions and register blocks), for UsbControllerPeim inside the phase.
  bool usbChipset = false;
  uint64_t budget = 4000000000ull;
  uint64_t timeLimitMs = 120000;
  struct Fail {
    std::string service, peim;  // peim "" for any
    uint32_t status = 0x80000007;  // EFI_DEVICE_ERROR
    bool fired = false;
  };
  std::vector<Fail> failures;
  size_t eventLimit = 200000;
};

// An image as it ran: where, which file of the firmware it is.
struct RunImage {
  std::string name;
  int source = -1;  // index in SecHandOff::images, -1 for an image not in the firmware
  uint32_t base = 0, size = 0, entry = 0;
  bool inPlace = false;  // runs where the volume holds it
  int order = -1;        // dispatch order among the PEIMs (first entry), -1 before
  uint64_t instructions = 0, ports = 0, mmio = 0, pciConfig = 0, services = 0;
  std::vector<std::string> installed, notified, created, allocated;
};

enum class BootEventKind : uint8_t { kService, kPort, kMemory, kNote, kMsr };

struct BootEvent {
  BootEventKind kind = BootEventKind::kPort;
  bool write = false;
  uint8_t width = 0;  // bytes
  int image = -1;     // in RunImages(), the code that made it
  uint32_t eip = 0;
  uint32_t address = 0;  // port or memory address
  uint64_t value = 0;
  uint32_t configAddress = 0;  // PCI configuration accesses: CONFIG_ADDRESS at the time
  bool pciConfig = false;
  bool absent = false;  // a configuration access no function answered (reads all ones),
                        // or an MSR the processor model has no entry for
  bool tsc = false;     // kMsr: RDTSC rather than RDMSR
  int service = -1;  // index in Services()
};

struct BootService {
  std::string name;
  int slot = -1;
  int image = -1;  // the caller's
  uint32_t caller = 0;
  uint32_t args[8] = {};
  bool returned = false, injected = false;
  uint32_t status = 0;
  std::string arguments, results;
};

struct BootHob {
  uint16_t type = 0, length = 0;
  uint32_t address = 0;
  std::string text;
};

struct BootOutcome {
  bool reachedDxe = false;
  std::string kind;    // the named reason when not
  std::string reason;
  uint32_t dxeEntry = 0, hobList = 0;
  uint64_t instructions = 0;
  double seconds = 0;
};

class BootMachine {
 public:
  BootMachine();
  ~BootMachine();
  BootMachine(const BootMachine &) = delete;
  BootMachine &operator=(const BootMachine &) = delete;

  // Builds the machine: RAM, the flash (code and variable store), the
  // devices of the q35 platform, the volumes SEC unpacked and the stand-in's
  // frame. False with an error.
  bool Setup(const SecHandOff &handOff, const std::vector<uint8_t> &code,
             const std::vector<uint8_t> &vars, const BootOptions &options, std::string &error);
  BootOutcome Run();

  const std::vector<RunImage> &RunImages() const { return images_; }
  const std::vector<BootEvent> &Events() const { return events_; }
  const std::vector<BootService> &Services() const { return services_; }
  const std::vector<BootHob> &Hobs() const { return hobs_; }
  uint64_t DroppedEvents() const { return dropped_; }
  const SecHandOff &HandOff() const { return handOff_; }
  const BootOptions &options() const { return options_; }
  const Chipset &chipset() const { return chipset_; }
  // The distinct blocks run, as (address, size).
  std::vector<std::pair<uint32_t, uint32_t>> Blocks() const;
  int ImageAt(uint32_t address) const;
  std::string Where(uint32_t address) const;
  uint32_t ServicesTable() const { return table_; }
  uint64_t PciConfigAccesses() const { return pciConfigCount_; }
  uint32_t IdtBase() const;

  // Hook bodies.
  void OnBlock(uint32_t address, uint32_t size);
  void OnPort(bool write, uint16_t port, int size, uint32_t &value);
  uint64_t OnMmio(bool write, uint32_t address, int size, uint64_t value);
  void OnDeviceAccess(bool write, uint32_t address, int size, uint64_t value);
  void OnCpuid();
  void OnProcessorInstruction(uint32_t address);
  void OnInterrupt(uint32_t number);
  void OnFault(int type, uint32_t address, int size);

 private:
  struct Block {
    uint32_t instructions = 0;
    std::vector<uint32_t> ports;
    bool checked = false;
  };
  bool Read(uint32_t address, void *data, uint32_t size) const;
  uint32_t Read32(uint32_t address) const;
  bool Write(uint32_t address, const void *data, uint32_t size);
  void Stop(const std::string &kind, const std::string &reason);
  uint32_t Eip() const;
  uint32_t Esp() const;
  int Recognise(uint32_t address);
  void PollServicesTable();
  void ServiceEntry(int slot, uint32_t address);
  void ServiceReturn(size_t pending);
  void DecodeArguments(BootService &s);
  void DecodeResults(BootService &s);
  void Migrate();
  void DecodeHobs(uint32_t list);
  std::string GuidAt(uint32_t address) const;
  std::string PpiList(uint32_t descriptor, bool notify) const;
  void Record(const BootEvent &e);
  bool CheckInstructions(uint32_t address, uint32_t size, Block &b);

  uc_struct *uc_ = nullptr;
  uint8_t *ram_ = nullptr;
  uint8_t *window_ = nullptr;  // the device window's backing, between RAM and the flash
  std::vector<uint8_t> flash_;  // variable store then code, ending at 4 GiB
  uint32_t flashBase_ = 0;
  SecHandOff handOff_;
  BootOptions options_;
  Chipset chipset_;
  std::vector<RunImage> images_;
  std::vector<BootEvent> events_;
  std::vector<BootService> services_;
  std::vector<BootHob> hobs_;
  uint64_t dropped_ = 0, pciConfigCount_ = 0;
  std::unordered_map<uint64_t, Block> blocks_;
  const Block *block_ = nullptr;
  size_t blockPorts_ = 0;
  int current_ = -1;  // the image running now
  uint32_t curBase_ = 1, curSize_ = 0;
  uint64_t instructions_ = 0;
  int dispatched_ = 0;
  // The services table the pointer below the IDT leads to, and its entries.
  uint32_t table_ = 0;
  std::vector<uint32_t> slots_;
  std::unordered_map<uint32_t, int> serviceAt_;
  bool tableSeen_ = false;
  struct Pending {
    uint32_t returnAddress, esp;
    size_t service;
  };
  std::vector<Pending> pending_;
  std::vector<uint32_t> hooked_;  // processor instructions given a hook
  std::vector<uint32_t> toHook_;
  uint32_t restartAt_ = 0;
  bool restart_ = false, stopped_ = false, done_ = false;
  BootOutcome outcome_;
  std::chrono::steady_clock::time_point start_;
  uint64_t blocksSinceClock_ = 0;
};

}  // namespace peimsim::boot

#endif  // TOOLS_SIM_BOOT_BOOT_MACHINE_H_
