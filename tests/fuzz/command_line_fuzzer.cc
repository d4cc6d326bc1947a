// Scans arbitrary bytes as a command line and checks the result against an
// oracle written from the command-line rules alone, and that nothing outside
// the name field of toolState is ever written. The name then goes through the
// platform's name check in the test double, with the rule for names in
// quotation marks that Windows uses, against the oracle's reading of it.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include "cli/command_line.h"
#include "common/tool_state.h"

namespace {

const unsigned char kCanary = 0xA5;
const size_t kLongestName = NAME_FIELD_SIZE - 1;

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  fprintf(stderr, "command_line_fuzzer: %s %s\n", what, detail.c_str());
  abort();
}

struct Scan {
  RunMode mode;
  std::string name;
};

// The rules, position by position over the line cut at its first control byte.
Scan Oracle(const unsigned char* data, size_t size) {
  std::string line;
  for (size_t i = 0; i < size && data[i] >= 0x20; ++i) line += static_cast<char>(data[i]);
  const auto folded = [&line](size_t i) { return static_cast<unsigned char>(line[i]) & 0x5F; };

  const size_t space = line.find(' ');
  if (space == std::string::npos) return {MODE_NONE, ""};

  // The first letter b or r, bit 5 ignored, with a space after it.
  size_t i = space + 1;
  while (i + 1 < line.size() && (line[i + 1] != ' ' || (folded(i) != 'B' && folded(i) != 'R'))) ++i;
  if (i + 1 >= line.size()) return {MODE_NONE, ""};
  const RunMode mode = folded(i) == 'B' ? MODE_BACKUP : MODE_RESTORE;

  const size_t nameStart = line.find_first_not_of(' ', i + 2);
  if (nameStart == std::string::npos) return {mode, ""};
  const std::string name = line.substr(nameStart);
  if (name.size() > kLongestName) return {MODE_NAME_TOO_LONG, ""};
  return {mode, name};
}

// The name that quotation marks enclose, with only spaces after the closing
// one; any other quotation mark refuses the name (false).
bool Unquoted(const std::string& typed, std::string* name) {
  if (typed.empty() || typed[0] != '"') {
    *name = typed;
    return typed.find('"') == std::string::npos;
  }
  const size_t close = typed.find('"', 1);
  if (close == std::string::npos || typed.find_first_not_of(' ', close + 1) != std::string::npos) {
    return false;
  }
  *name = typed.substr(1, close - 1);
  return true;
}

void CheckFence() {
  const unsigned char* state = reinterpret_cast<const unsigned char*>(&toolState);
  const size_t fieldStart = offsetof(ToolState, imageName);
  for (size_t i = 0; i < sizeof toolState; ++i) {
    if ((i < fieldStart || i >= fieldStart + NAME_FIELD_SIZE) && state[i] != kCanary) {
      Fail("wrote outside the name field at toolState offset", std::to_string(i));
    }
  }
}

// Runs the scan on `line` with everything around the name field fenced in.
Scan ScanFenced(const char* line) {
  memset(&toolState, kCanary, sizeof toolState);
  const RunMode mode = ScanCommandLine(line);
  CheckFence();
  const void* zero = memchr(toolState.imageName, '\0', NAME_FIELD_SIZE);
  if (!zero) Fail("name field holds no terminating zero");
  const size_t length = static_cast<const char*>(zero) - toolState.imageName;
  return {mode, std::string(toolState.imageName, length)};
}

void Expect(const Scan& expected, const Scan& actual, const char* which) {
  if (expected.mode == actual.mode && expected.name == actual.name) return;
  Fail(which, "mode " + std::to_string(actual.mode) + " and a name of " +
                  std::to_string(actual.name.size()) + " bytes, expected mode " +
                  std::to_string(expected.mode) + " and " + std::to_string(expected.name.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Scan expected = Oracle(data, size);

  // Exactly sized heap copies, so ASan flags a single byte read past the end.
  std::unique_ptr<char[]> terminated(new char[size + 1]);
  memcpy(terminated.get(), data, size);
  terminated[size] = '\0';
  Expect(expected, ScanFenced(terminated.get()), "zero-terminated line:");

  // A control byte inside the data ends the line as well; nothing after it
  // may be read, not even a terminating zero.
  if (std::any_of(data, data + size, [](uint8_t byte) { return byte < 0x20; })) {
    std::unique_ptr<char[]> bare(new char[size]);
    memcpy(bare.get(), data, size);
    Expect(expected, ScanFenced(bare.get()), "line ended by its own control byte:");
  }

  if (expected.mode == MODE_BACKUP || expected.mode == MODE_RESTORE) {
    ScanFenced(terminated.get());
    std::string name;
    const bool usable = Unquoted(expected.name, &name);
    const bool got = UnquoteName(toolState.imageName);
    CheckFence();
    if (usable != got) Fail(usable ? "usable name refused:" : "name not refused:", name);
    if (got && name != toolState.imageName) Fail("quoted name taken as", toolState.imageName);
    if (!got && expected.name != toolState.imageName) {
      Fail("refused name changed to", toolState.imageName);
    }
  }
  return 0;
}
