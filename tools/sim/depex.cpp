#include "depex.h"

#include <algorithm>
#include <cstring>

namespace peimsim {

DepexResult EvaluateDepex(const uint8_t *data, size_t size,
                          const std::function<bool(const Guid &)> &installed) {
  DepexResult r;
  auto fail = [&](size_t at, const std::string &why) {
    r.valid = false;
    r.satisfied = false;
    r.error = "offset " + Hex(at) + ": " + why;
    return r;
  };
  if (size == 0) return fail(0, "empty dependency expression (no END)");
  if (size > kDepexMaxBytes)
    return fail(0, "dependency expression longer than " + Hex(kDepexMaxBytes) + " bytes");
  std::vector<bool> stack;
  auto word = [&](const std::string &w) { r.text += (r.text.empty() ? "" : " ") + w; };
  for (size_t at = 0; at < size;) {
    uint8_t op = data[at];
    switch (op) {
      case 0x02: {  // PUSH
        if (size - at < 17) return fail(at, "PUSH without a whole GUID");
        if (stack.size() >= kDepexStackLimit)
          return fail(at, "more than " + std::to_string(kDepexStackLimit) + " values on the stack");
        Guid g;
        memcpy(g.data(), data + at + 1, 16);
        bool have = installed(g);
        if (!have && std::find(r.missing.begin(), r.missing.end(), g) == r.missing.end())
          r.missing.push_back(g);
        stack.push_back(have);
        word("PUSH " + GuidName(g));
        at += 17;
        continue;
      }
      case 0x03:
      case 0x04: {  // AND, OR
        if (stack.size() < 2)
          return fail(at, std::string(op == 3 ? "AND" : "OR") + " needs two values");
        bool b = stack.back();
        stack.pop_back();
        stack.back() = op == 3 ? (stack.back() && b) : (stack.back() || b);
        word(op == 3 ? "AND" : "OR");
        break;
      }
      case 0x05:  // NOT
        if (stack.empty()) return fail(at, "NOT needs a value");
        stack.back() = !stack.back();
        word("NOT");
        break;
      case 0x06:
      case 0x07:  // TRUE, FALSE
        if (stack.size() >= kDepexStackLimit)
          return fail(at, "more than " + std::to_string(kDepexStackLimit) + " values on the stack");
        stack.push_back(op == 6);
        word(op == 6 ? "TRUE" : "FALSE");
        break;
      case 0x08:  // END
        // The PEI Foundation stops reading at END: whatever follows it in the
        // section is never looked at.
        word("END");
        if (stack.size() != 1)
          return fail(at,
                      "END with " + std::to_string(stack.size()) + " values on the stack, not one");
        r.valid = true;
        r.satisfied = stack.back();
        return r;
      case 0x00:
      case 0x01:
      case 0x09:
        return fail(at, std::string(op == 0   ? "BEFORE"
                                    : op == 1 ? "AFTER"
                                              : "SOR") +
                            " belongs to DXE dependency expressions, not PEI ones");
      default:
        return fail(at, "unknown opcode " + Hex(op, 2));
    }
    at++;
  }
  return fail(size, "no END");
}

}  // namespace peimsim
