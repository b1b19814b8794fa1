// PEI dependency expressions: checked for form, shown as text, evaluated
// against the PPIs a Foundation has installed.
#ifndef TOOLS_SIM_DEPEX_H_
#define TOOLS_SIM_DEPEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pi_names.h"

namespace peimsim {

constexpr size_t kDepexStackLimit = 64;
constexpr size_t kDepexMaxBytes = 0x10000;

struct DepexResult {
  bool valid = false;      // well formed; otherwise `error` says where and why
  bool satisfied = false;  // the expression's value with the installed PPIs
  std::string error;       // "offset 0x12: ..."
  std::string text;        // "PUSH gEfiPeiStallPpiGuid END"
  std::vector<Guid> missing;  // PUSHed GUIDs that are not installed
};

// Evaluates the PEI_DEPEX section data (PUSH GUID, AND, OR, NOT, TRUE,
// FALSE, END; BEFORE, AFTER and SOR belong to DXE and are refused), as
// EDK2's PeimDispatchReadiness does: the expression ends at its first END
// (bytes after it are ignored) and must leave exactly one value there; the
// stack holds at most kDepexStackLimit values.
DepexResult EvaluateDepex(const uint8_t *data, size_t size,
                          const std::function<bool(const Guid &)> &installed);

}  // namespace peimsim

#endif  // TOOLS_SIM_DEPEX_H_
