// Shared by the peim-sim tests: loading the module image, building small
// PE32 images with code of their own, and running the command-line tool.
#ifndef TESTS_SIM_TEST_SUPPORT_H_
#define TESTS_SIM_TEST_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"
#include "platform.h"
#include "tool_run.h"

namespace simtest {

// The module image, parsed; fails the test when it cannot be read.
pe::Image ModuleImage();
std::vector<uint8_t> ModuleBytes();

// A minimal IA-32 PE32 (subsystem 11, ImageBase 0, alignment 32) holding
// `code` in .text at RVA 0x200, entry at its start. Each offset in `fixups`
// holds a 32-bit RVA that the .reloc section relocates.
// `characteristics` are .text's section flags (code, read, execute by
// default; 0xE0000020 makes it writable too, so that it loads in RAM).
std::vector<uint8_t> BuildImage(const std::vector<uint8_t> &code,
                                const std::vector<uint32_t> &fixups = {},
                                uint32_t characteristics = 0x60000020);
constexpr uint32_t kCodeRva = 0x200;

// Writes bytes to a file in the test's scratch directory; returns its path.
std::string ScratchFile(const std::string &name, const std::vector<uint8_t> &bytes);

// The lines of a text output's Trace part, its column heading left out.
std::vector<std::string> TraceLines(const std::string &out);

using testtool::ToolRun;
// Runs build/peim-sim with the arguments (see testtool::RunTool).
ToolRun RunTool(const std::vector<std::string> &args);

}  // namespace simtest

#endif  // TESTS_SIM_TEST_SUPPORT_H_
