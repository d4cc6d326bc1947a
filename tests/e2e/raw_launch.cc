// raw_launch [--hold <file>] [--pipe <name>] <program path> <command line in hex>
// raw_launch [--hold <file>] [--pipe <name>] --utf16 <program path in hex> <line in hex>
//
// Starts the program with exactly the given command line, bytes unchanged, on
// this process's own standard handles, and exits with the program's exit code.
// Wine's own launcher would quote arguments; the tool must see raw lines.
// With --utf16 the path and the line are UTF-8, and the program gets them as
// UTF-16 (CreateProcessW), as from a shell that keeps every character; its
// ANSI command line is then Windows' own conversion of that line.
// With --hold the file stays open while the program runs, for reading and
// with every share flag, as a viewer would hold it. With --pipe a server
// listens on the named pipe while the program runs, and raw_launch fails
// (exit code 3) when the program connected to it: opening a pipe, as opening
// a port, acts on what is behind it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

static bool FromHex(const char* hex, std::string* bytes) {
  const size_t length = std::strlen(hex);
  if (length % 2 || std::strspn(hex, "0123456789abcdefABCDEF") != length) return false;
  for (unsigned byte = 0; std::sscanf(hex, "%2x", &byte) == 1; hex += 2) bytes->push_back(byte);
  return true;
}

static std::wstring FromUtf8(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, &wide[0],
                                        static_cast<int>(wide.size()));
  wide.resize(units > 0 ? units - 1 : 0);
  return wide;
}

// The child writes where this process writes.
template <typename StartupInfo>
static StartupInfo OwnStandardHandles() {
  StartupInfo startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return startup;
}

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--hold") == 0) {
    // Open until this process ends, after the program has.
    const DWORD everyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (CreateFileA(argv[2], GENERIC_READ, everyShare, nullptr, OPEN_EXISTING, 0, nullptr) ==
        INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "raw_launch: cannot hold %s (%lu)\n", argv[2], GetLastError());
      return 2;
    }
    argc -= 2;
    argv += 2;
  }
  // The connection is waited for in the background; its event is set once a
  // client came, even one that has gone again.
  OVERLAPPED connection = {};
  const char* pipeName = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "--pipe") == 0) {
    pipeName = argv[2];
    const HANDLE pipe = CreateNamedPipeA(pipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE, 1, 512, 512, 0, nullptr);
    connection.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || !connection.hEvent ||
        (!ConnectNamedPipe(pipe, &connection) && GetLastError() != ERROR_IO_PENDING)) {
      std::fprintf(stderr, "raw_launch: cannot serve %s (%lu)\n", pipeName, GetLastError());
      return 2;
    }
    argc -= 2;
    argv += 2;
  }
  const bool utf16 = argc == 4 && std::strcmp(argv[1], "--utf16") == 0;
  if (argc != 3 && !utf16) {
    std::fprintf(stderr,
                 "usage: raw_launch [--hold <file>] [--pipe <name>] [--utf16] <program> "
                 "<hex command line>\n");
    return 2;
  }
  std::string program = utf16 ? "" : argv[1], line;
  if ((utf16 && !FromHex(argv[2], &program)) || !FromHex(argv[argc - 1], &line)) {
    std::fprintf(stderr, "raw_launch: bad hex\n");
    return 2;
  }

  PROCESS_INFORMATION process = {};
  BOOL started;
  if (utf16) {
    STARTUPINFOW startup = OwnStandardHandles<STARTUPINFOW>();
    std::wstring wideLine = FromUtf8(line);
    started = CreateProcessW(FromUtf8(program).c_str(), &wideLine[0], nullptr, nullptr, TRUE, 0,
                             nullptr, nullptr, &startup, &process);
  } else {
    STARTUPINFOA startup = OwnStandardHandles<STARTUPINFOA>();
    started = CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &process);
  }
  if (!started) {
    std::fprintf(stderr, "raw_launch: CreateProcess failed (%lu)\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 2;
  GetExitCodeProcess(process.hProcess, &exitCode);
  if (pipeName && WaitForSingleObject(connection.hEvent, 0) == WAIT_OBJECT_0) {
    std::fprintf(stderr, "raw_launch: the program connected to %s\n", pipeName);
    return 3;
  }
  return static_cast<int>(exitCode);
}
