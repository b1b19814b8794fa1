// The project's one version (VERSION at the top of the tree), as every tool
// states it in --version and --help.
#ifndef TOOLS_COMMON_TOOL_VERSION_H_
#define TOOLS_COMMON_TOOL_VERSION_H_

#include <string>

#ifndef USB_PEIM_VERSION
#error "USB_PEIM_VERSION comes from cmake/version.cmake through the toolio library"
#endif

namespace toolio {

inline constexpr const char kVersion[] = USB_PEIM_VERSION;

// "NAME VERSION", the first line of --version and of --help.
inline std::string VersionLine(const char *tool) { return std::string(tool) + " " + kVersion; }

}  // namespace toolio

#endif  // TOOLS_COMMON_TOOL_VERSION_H_
