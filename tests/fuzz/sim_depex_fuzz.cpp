// peim-sim's dependency expression evaluator on any bytes: the first 16
// bytes name the one installed PPI, the rest is the expression. What it
// accepts must be well formed (its text ends in END, every PUSHed GUID it
// lists as missing is not the installed one), and a valid expression's
// verdict must not depend on anything but the installed PPIs.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "depex.h"

using namespace peimsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 16) return 0;
  Guid installed;
  memcpy(installed.data(), data, 16);
  auto has = [&](const Guid &g) { return g == installed; };
  DepexResult r = EvaluateDepex(data + 16, size - 16, has);
  if (r.valid != r.error.empty()) abort();  // an error exactly when invalid
  if (r.valid) {
    if (r.text.size() < 3 || r.text.compare(r.text.size() - 3, 3, "END") != 0) abort();
    if (data[size - 1] != 0x08) abort();
  } else if (r.satisfied) {
    abort();  // a malformed expression never lets a PEIM run
  }
  for (const Guid &g : r.missing)
    if (g == installed) abort();
  DepexResult again = EvaluateDepex(data + 16, size - 16, has);
  if (again.valid != r.valid || again.satisfied != r.satisfied || again.text != r.text) abort();
  return 0;
}
