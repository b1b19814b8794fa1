// JSON values for peim-sim: the per-event object the JSON trace is made of,
// a strict reader for saved JSON outputs (files from anywhere, so bounded in
// depth, size and count), and --expect's comparison of a run's trace with
// the one in a saved JSON output.
#ifndef TOOLS_SIM_EXPECT_JSON_H_
#define TOOLS_SIM_EXPECT_JSON_H_

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"

namespace peimsim {

// A JSON value. Numbers keep their text (the renderer writes integers, which
// compare exactly as text); an object keeps its members in order.
struct JsonValue {
  enum class Type : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  std::string text;               // a number's digits, a string's contents
  std::vector<JsonValue> items;   // an array's elements, an object's values
  std::vector<std::string> keys;  // an object's keys, one per value

  static JsonValue Null() { return {}; }
  static JsonValue Bool(bool b);
  static JsonValue Number(uint64_t n);
  static JsonValue String(const std::string &s);
  static JsonValue Array();
  static JsonValue Object();
  // An object's member, added last; an array's element.
  JsonValue &Add(const std::string &key, JsonValue value);
  JsonValue &Push(JsonValue value);
  // An object's member, or null.
  const JsonValue *Find(const std::string &key) const;
};

// A string as JSON: control characters (C0, DEL, C1) escaped, a byte that
// is not part of well-formed UTF-8 written as U+FFFD.
std::string JsonQuote(const std::string &s);
// The value as the JSON output writes it: {"key": value, ...}, [a, b].
std::string JsonText(const JsonValue &value);

// The reader's limits: nesting, input size, values in all.
constexpr int kMaxJsonDepth = 64;
constexpr size_t kMaxJsonBytes = 64u << 20;
constexpr size_t kMaxJsonValues = size_t(1) << 22;

// Parses one JSON value, the whole text (RFC 8259: no comments, no trailing
// commas, strings in valid UTF-8 with their surrogate escapes paired, no
// key twice in an object). False with the place and the problem in one
// line ("line 3, column 17: expected ':' after the key") otherwise.
bool ParseJson(const std::string &text, JsonValue &value, std::string &error);

// A saved --format json output: its first non-blank byte is '{'.
bool LooksLikeJsonOutput(const std::string &saved);

// The trace of a saved JSON output, and how it ended.
struct SavedJsonTrace {
  std::vector<JsonValue> events;
  bool truncated = false;  // summary.trace_truncated
  uint64_t counted = 0;    // summary.trace_events
};
enum class SavedJson { kRead, kNoTrace, kMalformed };
// kNoTrace for an output without a trace (--quiet); kMalformed with a
// one-line error for a file that is no JSON, or whose trace is no array of
// objects.
SavedJson ReadSavedJsonTrace(const std::string &saved, SavedJsonTrace &trace, std::string &error);

// The JSON object of one trace event, `number` its place in the trace
// (1-based), as RenderJson writes it; with `instruction`, the --disasm field.
JsonValue EventJson(const RunReport &report, const Event &event, uint64_t number,
                    bool instruction);

// Compares this run's trace events (those the report's view shows), as
// EventJson makes them, with the saved ones, ignoring each event's "index",
// "offset", "instruction" and "symbol" (at any depth), so that a rebuild
// that keeps the behaviour still matches. Objects compare whatever the
// order of their keys. Every differing event is listed in one line each as
// CompareTrace does (the first 20, then their count).
ExpectResult CompareJsonTrace(const RunReport &report, const SavedJsonTrace &saved);

}  // namespace peimsim

#endif  // TOOLS_SIM_EXPECT_JSON_H_
