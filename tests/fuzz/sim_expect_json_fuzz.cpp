// The JSON reader --expect runs on a saved output, on any bytes. What it
// accepts must come back the same through the writer (written, read again,
// written: the same text), it must say where it stopped when it refuses,
// and reading the saved trace must agree with it.
#include <cstdint>
#include <string>

#include "expect_json.h"
#include "fuzz_check.h"

using namespace peimsim;
using fuzzcheck::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  JsonValue value;
  std::string error;
  bool ok = ParseJson(text, value, error);
  Check(ok == error.empty());
  if (!ok) {
    Check(error.rfind("line ", 0) == 0 && error.find(", column ") != std::string::npos);
    Check(error.find('\n') == std::string::npos);
  } else {
    std::string written = JsonText(value);
    JsonValue again;
    std::string why;
    Check(ParseJson(written, again, why));
    Check(JsonText(again) == written);
  }
  SavedJsonTrace trace;
  std::string readError;
  SavedJson read = ReadSavedJsonTrace(text, trace, readError);
  Check(ok || read == SavedJson::kMalformed);
  Check((read == SavedJson::kMalformed) != readError.empty());
  if (read == SavedJson::kRead)
    for (const JsonValue &e : trace.events) Check(e.type == JsonValue::Type::kObject);
  return 0;
}
