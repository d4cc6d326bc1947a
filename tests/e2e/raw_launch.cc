// raw_launch <program path> <command line in hex>
//
// Starts the program with exactly the given command line, bytes unchanged, on
// this process's own standard handles, and exits with the program's exit code.
// Wine's own launcher would quote arguments; the tool must see raw lines.
#include <windows.h>

#include <cstdio>
#include <string>

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: raw_launch <program> <hex command line>\n");
    return 2;
  }
  std::string line;
  for (const char* hex = argv[2]; hex[0] && hex[1]; hex += 2) {
    const int high = HexDigit(hex[0]), low = HexDigit(hex[1]);
    if (high < 0 || low < 0) {
      std::fprintf(stderr, "raw_launch: bad hex\n");
      return 2;
    }
    line.push_back(static_cast<char>(high * 16 + low));
  }

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(argv[1], &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "raw_launch: CreateProcessA failed (%lu)\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 2;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}
