#include "expect_json.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "report_internal.h"

namespace peimsim {

JsonValue JsonValue::Bool(bool b) {
  JsonValue v;
  v.type = Type::kBool;
  v.boolean = b;
  return v;
}

JsonValue JsonValue::Number(uint64_t n) {
  JsonValue v;
  v.type = Type::kNumber;
  v.text = std::to_string(n);
  return v;
}

JsonValue JsonValue::String(const std::string &s) {
  JsonValue v;
  v.type = Type::kString;
  v.text = s;
  return v;
}

JsonValue JsonValue::Array() {
  JsonValue v;
  v.type = Type::kArray;
  return v;
}

JsonValue JsonValue::Object() {
  JsonValue v;
  v.type = Type::kObject;
  return v;
}

JsonValue &JsonValue::Add(const std::string &key, JsonValue value) {
  keys.push_back(key);
  items.push_back(std::move(value));
  return *this;
}

JsonValue &JsonValue::Push(JsonValue value) {
  items.push_back(std::move(value));
  return *this;
}

const JsonValue *JsonValue::Find(const std::string &key) const {
  for (size_t i = 0; i < keys.size(); i++)
    if (keys[i] == key) return &items[i];
  return nullptr;
}

// Paths come from the command line and saved traces from files, so any
// byte can turn up; the output is always valid JSON in valid UTF-8.
std::string JsonQuote(const std::string &s) {
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

namespace {

void AppendText(const JsonValue &v, std::string &out) {
  switch (v.type) {
    case JsonValue::Type::kNull: out += "null"; return;
    case JsonValue::Type::kBool: out += v.boolean ? "true" : "false"; return;
    case JsonValue::Type::kNumber: out += v.text; return;
    case JsonValue::Type::kString: out += JsonQuote(v.text); return;
    case JsonValue::Type::kArray:
      out += '[';
      for (size_t i = 0; i < v.items.size(); i++) {
        if (i) out += ", ";
        AppendText(v.items[i], out);
      }
      out += ']';
      return;
    case JsonValue::Type::kObject:
      out += '{';
      for (size_t i = 0; i < v.items.size(); i++) {
        if (i) out += ", ";
        out += JsonQuote(v.keys[i]) + ": ";
        AppendText(v.items[i], out);
      }
      out += '}';
      return;
  }
}

// ---- The reader -----------------------------------------------------------------

void AppendUtf8(uint32_t cp, std::string &out) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | cp >> 6);
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | cp >> 12);
    out += char(0x80 | (cp >> 6 & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | cp >> 18);
    out += char(0x80 | (cp >> 12 & 0x3F));
    out += char(0x80 | (cp >> 6 & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

class Reader {
 public:
  explicit Reader(const std::string &s) : s_(s) {}

  bool Document(JsonValue &v, std::string &error) {
    if (s_.size() > kMaxJsonBytes) {
      error = "more than " + std::to_string(kMaxJsonBytes >> 20) + " MiB";
      return false;
    }
    bool ok = Value(v, 0);
    if (ok) {
      Blank();
      ok = End() || Expected("the end of the file after the value");
    }
    if (!ok) error = Where() + ": " + error_;
    return ok;
  }

 private:
  bool End() const { return i_ >= s_.size(); }
  char Peek() const { return End() ? '\0' : s_[i_]; }
  static bool Digit(char c) { return c >= '0' && c <= '9'; }

  void Blank() {
    while (!End() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) i_++;
  }

  // What stands at the current place, for a message.
  std::string Found() const {
    if (End()) return "the end of the file";
    unsigned char c = (unsigned char)s_[i_];
    char b[16];
    if (c > 0x20 && c < 0x7F)
      snprintf(b, sizeof b, "'%c'", c);
    else
      snprintf(b, sizeof b, "byte 0x%02X", c);
    return b;
  }

  bool Fail(const std::string &what) {
    if (error_.empty()) {
      error_ = what;
      errorAt_ = i_;
    }
    return false;
  }
  bool Expected(const std::string &what) { return Fail("expected " + what + ", found " + Found()); }

  std::string Where() const {
    size_t line = 1, lineStart = 0, at = std::min(errorAt_, s_.size());
    for (size_t i = 0; i < at; i++)
      if (s_[i] == '\n') line++, lineStart = i + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(at - lineStart + 1);
  }

  bool Value(JsonValue &v, int depth) {
    if (++values_ > kMaxJsonValues)
      return Fail("more than " + std::to_string(kMaxJsonValues) + " values");
    Blank();
    char c = Peek();
    if (c == '{' || c == '[') {
      if (depth >= kMaxJsonDepth)
        return Fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
      return c == '{' ? Object(v, depth) : Array(v, depth);
    }
    if (c == '"') {
      v.type = JsonValue::Type::kString;
      return String(v.text);
    }
    if (c == '-' || Digit(c)) return Number(v);
    for (const char *word : {"true", "false", "null"}) {
      if (s_.compare(i_, strlen(word), word) != 0) continue;
      i_ += strlen(word);
      v.type = word[0] == 'n' ? JsonValue::Type::kNull : JsonValue::Type::kBool;
      v.boolean = word[0] == 't';
      return true;
    }
    return Expected("a value");
  }

  bool Object(JsonValue &v, int depth) {
    v.type = JsonValue::Type::kObject;
    i_++;
    Blank();
    if (Peek() == '}') return i_++, true;
    // Keys seen, looked up once an object has more than a few.
    std::unordered_set<std::string> seen;
    for (;;) {
      Blank();
      if (Peek() != '"') return Expected("a key (a string)");
      size_t keyAt = i_;
      std::string key;
      if (!String(key)) return false;
      bool twice = false;
      if (v.keys.size() < 8) {
        for (const std::string &k : v.keys) twice |= k == key;
      } else {
        if (seen.empty()) seen.insert(v.keys.begin(), v.keys.end());
        twice = !seen.insert(key).second;
      }
      if (twice) {
        i_ = keyAt;
        return Fail("the key " + JsonQuote(key) + " a second time in one object");
      }
      Blank();
      if (Peek() != ':') return Expected("':' after the key");
      i_++;
      v.keys.push_back(std::move(key));
      v.items.emplace_back();
      if (!Value(v.items.back(), depth + 1)) return false;
      Blank();
      if (Peek() == ',') {
        i_++;
        continue;
      }
      if (Peek() == '}') return i_++, true;
      return Expected("',' or '}' in an object");
    }
  }

  bool Array(JsonValue &v, int depth) {
    v.type = JsonValue::Type::kArray;
    i_++;
    Blank();
    if (Peek() == ']') return i_++, true;
    for (;;) {
      v.items.emplace_back();
      if (!Value(v.items.back(), depth + 1)) return false;
      Blank();
      if (Peek() == ',') {
        i_++;
        continue;
      }
      if (Peek() == ']') return i_++, true;
      return Expected("',' or ']' in an array");
    }
  }

  bool Number(JsonValue &v) {
    size_t start = i_;
    if (Peek() == '-') i_++;
    if (Peek() == '0') {
      i_++;
    } else if (Digit(Peek())) {
      while (Digit(Peek())) i_++;
    } else {
      return Expected("a digit");
    }
    if (Peek() == '.') {
      i_++;
      if (!Digit(Peek())) return Expected("a digit after '.'");
      while (Digit(Peek())) i_++;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      i_++;
      if (Peek() == '+' || Peek() == '-') i_++;
      if (!Digit(Peek())) return Expected("a digit in the exponent");
      while (Digit(Peek())) i_++;
    }
    v.type = JsonValue::Type::kNumber;
    v.text = s_.substr(start, i_ - start);
    return true;
  }

  bool Hex4(uint32_t &cp) {
    cp = 0;
    for (int k = 0; k < 4; k++, i_++) {
      char c = Peek();
      int d = Digit(c) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return Expected("four hex digits after \\u");
      cp = cp << 4 | uint32_t(d);
    }
    return true;
  }

  bool String(std::string &out) {
    i_++;  // the opening quote
    for (;;) {
      size_t run = i_;
      while (!End() && s_[i_] != '"' && s_[i_] != '\\' && (unsigned char)s_[i_] >= 0x20 &&
             (unsigned char)s_[i_] < 0x80)
        i_++;
      out.append(s_, run, i_ - run);
      if (End()) return Fail("the file ends inside a string");
      unsigned char c = (unsigned char)s_[i_];
      if (c == '"') return i_++, true;
      if (c < 0x20) return Fail("a control character (byte " + Found().substr(5) + ") inside a string");
      if (c >= 0x80) {
        uint32_t cp = 0;
        size_t n = Utf8Sequence(s_, i_, cp);
        if (n == 0) return Fail("a byte that is not UTF-8 (" + Found() + ") inside a string");
        out.append(s_, i_, n);
        i_ += n;
        continue;
      }
      // A backslash.
      size_t escape = i_++;
      char e = Peek();
      static const char kFrom[] = "\"\\/bfnrt", kTo[] = "\"\\/\b\f\n\r\t";
      const char *known = e ? strchr(kFrom, e) : nullptr;
      if (known) {
        out += kTo[known - kFrom];
        i_++;
        continue;
      }
      if (e != 'u') return Expected("an escape (one of \" \\ / b f n r t u) after '\\'");
      i_++;
      uint32_t cp = 0;
      if (!Hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) {
        i_ = escape;
        return Fail("a low surrogate escape with no high one before it");
      }
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        uint32_t low = 0;
        if (s_.compare(i_, 2, "\\u") != 0) {
          i_ = escape;
          return Fail("a high surrogate escape with no low one after it");
        }
        i_ += 2;
        if (!Hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) {
          i_ = escape;
          return Fail("a high surrogate escape with no low one after it");
        }
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      AppendUtf8(cp, out);
    }
  }

  const std::string &s_;
  size_t i_ = 0;
  size_t values_ = 0;
  std::string error_;
  size_t errorAt_ = 0;
};

// ---- The comparison -------------------------------------------------------------

bool Ignored(const std::string &key) {
  return key == "index" || key == "offset" || key == "instruction" || key == "symbol";
}

bool Equal(const JsonValue &a, const JsonValue &b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case JsonValue::Type::kNull: return true;
    case JsonValue::Type::kBool: return a.boolean == b.boolean;
    case JsonValue::Type::kNumber:
    case JsonValue::Type::kString: return a.text == b.text;
    case JsonValue::Type::kArray:
      if (a.items.size() != b.items.size()) return false;
      for (size_t i = 0; i < a.items.size(); i++)
        if (!Equal(a.items[i], b.items[i])) return false;
      return true;
    case JsonValue::Type::kObject: {
      // The same keys, ignored ones aside, with equal values, in any order.
      // The count first: a hostile saved object costs no more than this run's.
      size_t na = 0, nb = 0;
      for (const std::string &k : a.keys) na += !Ignored(k);
      for (const std::string &k : b.keys) nb += !Ignored(k);
      if (na != nb) return false;
      for (size_t i = 0; i < a.keys.size(); i++) {
        if (Ignored(a.keys[i])) continue;
        const JsonValue *other = b.Find(a.keys[i]);
        if (!other || !Equal(a.items[i], *other)) return false;
      }
      return true;
    }
  }
  return false;
}

// An event as one line of at most kLineBytes, as a firmware engineer reads
// it: its members as key=value without the ignored ones, addresses, ports
// and values in hex, a string bare when it is one word.
constexpr size_t kLineBytes = 1000;

// An event's register value in hex; a service argument's number (a count,
// microseconds) in decimal.
bool HexKey(const std::string &key, bool top) {
  return key == "address" || key == "port" || key == "status" || (top && key == "value");
}

bool Word(const std::string &s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isalnum((unsigned char)c) && !strchr("_.:+-", c)) return false;
  return s != "null" && s != "true" && s != "false";
}

// `braces`: an object inside the event, in {}.
void AppendReadable(const JsonValue &v, bool hex, bool braces, std::string &out) {
  switch (v.type) {
    case JsonValue::Type::kNumber: {
      // An integer this run could have written: in hex where the key asks.
      bool digits = hex && !v.text.empty() && v.text.size() <= 19 &&
                    v.text.find_first_not_of("0123456789") == std::string::npos;
      out += digits ? Hex(strtoull(v.text.c_str(), nullptr, 10)) : v.text;
      return;
    }
    case JsonValue::Type::kString: out += Word(v.text) ? v.text : JsonQuote(v.text); return;
    case JsonValue::Type::kArray:
      out += '[';
      for (size_t i = 0; i < v.items.size() && out.size() <= kLineBytes; i++) {
        if (i) out += ", ";
        AppendReadable(v.items[i], false, true, out);
      }
      out += ']';
      return;
    case JsonValue::Type::kObject: {
      if (braces) out += '{';
      bool first = true;
      for (size_t i = 0; i < v.items.size() && out.size() <= kLineBytes; i++) {
        if (Ignored(v.keys[i])) continue;
        if (!first) out += ' ';
        first = false;
        out += (Word(v.keys[i]) ? v.keys[i] : JsonQuote(v.keys[i])) + "=";
        AppendReadable(v.items[i], HexKey(v.keys[i], !braces), true, out);
      }
      if (braces) out += '}';
      return;
    }
    default: AppendText(v, out); return;
  }
}

std::string OneLine(const JsonValue &v) {
  std::string s;
  AppendReadable(v, false, false, s);
  if (s.size() <= kLineBytes) return s;
  size_t cut = kLineBytes;
  while (cut > 0 && ((unsigned char)s[cut] & 0xC0) == 0x80) cut--;  // not inside a character
  return s.substr(0, cut) + " ...";
}

// The top-level keys whose values differ, for the line naming the event.
std::string DifferingKeys(const JsonValue &expected, const JsonValue &actual) {
  if (expected.type != JsonValue::Type::kObject || actual.type != JsonValue::Type::kObject)
    return "";
  std::string keys;
  size_t n = 0;
  auto note = [&](const std::string &k) {
    if (n++ < 8) keys += (keys.empty() ? "" : ", ") + (Word(k) ? k : JsonQuote(k));
  };
  for (size_t i = 0; i < actual.keys.size(); i++) {
    if (Ignored(actual.keys[i])) continue;
    const JsonValue *e = expected.Find(actual.keys[i]);
    if (!e || !Equal(*e, actual.items[i])) note(actual.keys[i]);
  }
  for (size_t i = 0; i < expected.keys.size(); i++)
    if (!Ignored(expected.keys[i]) && !actual.Find(expected.keys[i])) note(expected.keys[i]);
  if (n > 8) keys += " and " + std::to_string(n - 8) + " more";
  return keys.empty() ? "" : " (" + keys + ")";
}

JsonValue TruncationEvent(uint64_t counted) {
  return JsonValue::String("trace truncated: " + std::to_string(counted) + " events counted");
}

}  // namespace

std::string JsonText(const JsonValue &value) {
  std::string out;
  AppendText(value, out);
  return out;
}

bool ParseJson(const std::string &text, JsonValue &value, std::string &error) {
  value = JsonValue();
  return Reader(text).Document(value, error);
}

bool LooksLikeJsonOutput(const std::string &saved) {
  size_t i = saved.find_first_not_of(" \t\r\n");
  return i != std::string::npos && saved[i] == '{';
}

SavedJson ReadSavedJsonTrace(const std::string &saved, SavedJsonTrace &trace, std::string &error) {
  trace = SavedJsonTrace();
  JsonValue root;
  if (!ParseJson(saved, root, error)) return SavedJson::kMalformed;
  if (root.type != JsonValue::Type::kObject) {
    error = "not a JSON object";
    return SavedJson::kMalformed;
  }
  JsonValue *events = nullptr;
  for (size_t i = 0; i < root.keys.size(); i++)
    if (root.keys[i] == "trace") events = &root.items[i];
  if (!events) return SavedJson::kNoTrace;
  if (events->type != JsonValue::Type::kArray) {
    error = "its \"trace\" is not an array";
    return SavedJson::kMalformed;
  }
  for (size_t i = 0; i < events->items.size(); i++) {
    if (events->items[i].type != JsonValue::Type::kObject) {
      error = "its trace event " + std::to_string(i + 1) + " is not an object";
      return SavedJson::kMalformed;
    }
  }
  trace.events = std::move(events->items);
  // A truncated trace compares as its events and how many were counted, as
  // the text's last line does.
  if (const JsonValue *summary = root.Find("summary")) {
    const JsonValue *cut = summary->Find("trace_truncated");
    const JsonValue *counted = summary->Find("trace_events");
    trace.truncated = cut && cut->type == JsonValue::Type::kBool && cut->boolean;
    if (trace.truncated && counted && counted->type == JsonValue::Type::kNumber)
      trace.counted = strtoull(counted->text.c_str(), nullptr, 10);
  }
  return SavedJson::kRead;
}

ExpectResult CompareJsonTrace(const RunReport &r, const SavedJsonTrace &saved) {
  // As CompareTrace: every differing event up to kListed, then their count.
  constexpr size_t kListed = 20;
  const Platform &p = *r.platform;
  JsonValue savedCut = TruncationEvent(saved.counted);
  size_t expectedCount = saved.events.size() + (saved.truncated ? 1 : 0);
  auto expectedAt = [&](size_t i) -> const JsonValue & {
    return i < saved.events.size() ? saved.events[i] : savedCut;
  };
  ExpectResult result;
  size_t position = 0, differing = 0;
  std::string more, firstExtra;
  auto step = [&](const JsonValue &actual) {
    size_t i = position++;
    if (i >= expectedCount) {
      if (i == expectedCount) firstExtra = OneLine(actual);
      return;
    }
    const JsonValue &expected = expectedAt(i);
    if (Equal(expected, actual)) return;
    differing++;
    const std::string pair =
        "  expected: " + OneLine(expected) + "\n  actual:   " + OneLine(actual);
    if (differing == 1)
      result.difference = "first difference at trace event " + std::to_string(i + 1) +
                          DifferingKeys(expected, actual) + ":\n" + pair;
    else if (differing <= kListed)
      more += "\n event " + std::to_string(i + 1) + DifferingKeys(expected, actual) + ":\n" + pair;
  };
  uint64_t number = 0;
  for (const Event &e : p.Events()) {
    ++number;
    if (r.view && !Shown(*r.view, p, e)) continue;
    step(EventJson(r, e, number, false));
  }
  if (p.DroppedEvents()) step(TruncationEvent(p.Events().size() + p.DroppedEvents()));
  if (differing > 1)
    result.difference += "\n" + std::to_string(differing) + " events differ in all" +
                         (differing > kListed ? " (the first " + std::to_string(kListed) + " shown)"
                                              : std::string()) +
                         ":" + more;
  if (position != expectedCount) {
    if (!result.difference.empty()) result.difference += "\n";
    result.difference += "the trace has " + std::to_string(position) + " events, the saved one " +
                         std::to_string(expectedCount) + "; first extra event:\n  " +
                         (position > expectedCount ? firstExtra : OneLine(expectedAt(position)));
  }
  result.match = result.difference.empty();
  return result;
}

}  // namespace peimsim
