#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace fs = std::filesystem;

static Bytes Banner() {
  const Bytes stars(54, '*');
  return "\r\n" + stars + "\r\n* KEMBU fwimage header backup - restore by ZEM v0.00 *\r\n" + stars;
}

Bytes Usage() {
  return Banner() +
         "\r\n Type \"kembu b fwimage.fw\""
         "\r\n     to Backup header BEFORE unpacking by trelm.exe"
         "\r\n Type \"kembu r fwimage.fw\""
         "\r\n     to Restore header AFTER  packing by trelm.exe\r\n";
}

Bytes Said(const Bytes& message) { return Banner() + "\r\n" + message + "\r\n"; }

static std::string Setting(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

bool UnderWine() { return !Setting("KEMBU_E2E_WINE").empty(); }

std::string NfsMount() { return Setting("KEMBU_E2E_NFS"); }
bool NfsV4() { return NfsMount().rfind("v4", 0) == 0; }

static void DropPrivileges() {
  if (UnderWine()) {
    const std::string prefix = Setting("KEMBU_E2E_NOBODY_WINEPREFIX");
    if (prefix.empty() || setenv("WINEPREFIX", prefix.c_str(), 1) != 0 ||
        setenv("HOME", fs::path(prefix).parent_path().c_str(), 1) != 0) {
      _exit(126);
    }
  }
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

void LimitFileSize(long bytes) {
  // A write past the limit raises SIGXFSZ, which ends a process by default:
  // kembu must not let it. Wine, which kembu.exe cannot tell, is spared it.
  signal(SIGXFSZ, UnderWine() ? SIG_IGN : SIG_DFL);
  // The hard limit stays, so that a coverage build of kembu can lift the
  // cap again to write its counters when it ends.
  rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
}

std::vector<std::string> FailCall(long number, int error, int arg, unsigned long mask) {
  return {KEMBU_E2E_FAIL_CALL, std::to_string(number), std::to_string(error), std::to_string(arg),
          std::to_string(mask), "--"};
}

void E2eTest::SetUp() {
  // The build found that this machine cannot run the program (tests/CMakeLists.txt).
  const std::string notRun = Setting("KEMBU_E2E_NOT_RUN");
  if (!notRun.empty()) GTEST_SKIP() << "not run here: " << notRun;
  ASSERT_FALSE(Setting("KEMBU_E2E_PROGRAM").empty()) << "KEMBU_E2E_PROGRAM is not set";
  std::string pattern = (fs::temp_directory_path() / "kembu-e2e-XXXXXX").string();
  ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
  base_ = pattern;
  dir_ = base_ + "/files";
  // Open to all, for the runs that drop privileges.
  chmod(base_.c_str(), 0755);
  ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
}

void E2eTest::TearDown() {
  if (base_.empty()) return;
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(base_, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      chmod(entry.path().c_str(), 0755);
    }
  }
  fs::remove_all(base_, ignored);
}

static std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) hex += {digits[byte >> 4], digits[byte & 15]};
  return hex;
}

std::string WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

std::string ProgramPath() { return fs::absolute(Setting("KEMBU_E2E_PROGRAM")).string(); }

// Natively the line is split on every single space, so that the program, which
// joins its arguments with one space each, sees exactly this line again; a
// word in single quotes stays one argument.
std::vector<std::string> CommandFor(const std::string& line, const RunOptions& options) {
  const std::string program = options.program.empty() ? ProgramPath() : options.program;
  if (UnderWine()) {
    const std::string windowsPath = WindowsPath(program);
    const std::string launcher =
        options.launcher.empty() ? Setting("KEMBU_E2E_LAUNCHER") : options.launcher;
    std::vector<std::string> command = {Setting("KEMBU_E2E_WINE"), launcher};
    if (!options.hold.empty()) command.insert(command.end(), {"--hold", options.hold});
    if (!options.pipe.empty()) command.insert(command.end(), {"--pipe", options.pipe});
    if (!options.utf16) {
      command.insert(command.end(), {windowsPath, Hex(line)});
      return command;
    }
    // A UTF-8 locale: Wine then takes Linux file names as UTF-8.
    command.insert(command.begin(), {"/usr/bin/env", "LC_ALL=" + options.locale});
    command.insert(command.end(), {"--utf16", Hex(windowsPath), Hex(line)});
    return command;
  }
  // A Linux program of another architecture runs under qemu-user.
  std::vector<std::string> command = {Setting("KEMBU_E2E_EMULATOR"), program};
  if (command[0].empty()) command.erase(command.begin());
  size_t space = line.find(' ');
  while (space != std::string::npos) {
    const bool quoted = line[space + 1] == '\'';
    const size_t start = space + 1 + quoted;
    const size_t end = line.find(quoted ? '\'' : ' ', start);
    command.push_back(line.substr(start, end == std::string::npos ? end : end - start));
    space = end == std::string::npos ? end : line.find(' ', end);
  }
  return command;
}

Started Start(const std::string& dir, std::vector<std::string> command,
              const std::function<void()>& before) {
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {-1, -1, -1};
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int null = open("/dev/null", O_RDONLY);
    if (chdir(dir.c_str()) != 0 || dup2(null, 0) != 0 || dup2(out[1], 1) != 1 ||
        dup2(err[1], 2) != 2) {
      _exit(125);
    }
    close(null);
    if (before) before();
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return {pid, out[0], err[0]};
}

// Collected until the program ends, not until the pipes close: a helper it
// leaves behind (Wine's server) may hold them open longer.
Outcome Finish(const Started& started, std::chrono::steady_clock::time_point deadline) {
  Outcome outcome;
  if (started.pid <= 0) return outcome;
  pollfd fds[2] = {{started.out, POLLIN, 0}, {started.err, POLLIN, 0}};
  Bytes* streams[2] = {&outcome.out, &outcome.err};
  auto collect = [&] {
    for (int i = 0; i < 2; ++i) {
      char buffer[4096];
      ssize_t got = 0;
      while (fds[i].fd >= 0 && (got = read(fds[i].fd, buffer, sizeof buffer)) > 0) {
        streams[i]->append(buffer, got);
      }
      if (got == 0) fds[i].fd = -1;
    }
  };
  for (const pollfd& fd : fds) fcntl(fd.fd, F_SETFL, O_NONBLOCK);
  int status = 0;
  while (waitpid(started.pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-started.pid, SIGKILL);
      waitpid(started.pid, &status, 0);
      status = -1;
      break;
    }
    poll(fds, 2, 50);
    collect();
  }
  collect();
  close(started.out);
  close(started.err);
  outcome.status = status;
  return outcome;
}

std::string E2eTest::Reachable(const std::string& path) {
  const std::string copy = base_ + "/" + fs::path(path).filename().string();
  std::error_code error;
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing, error);
  EXPECT_FALSE(error) << "cannot copy " << path << ": " << error.message();
  chmod(copy.c_str(), 0755);
  return copy;
}

Bytes E2eTest::Run(const std::string& line, const RunOptions& given) {
  if (given.serverFirst && UnderWine()) {
    EXPECT_EQ(Run("kembu"), Usage());
  }
  RunOptions options = given;
  if (given.asNobody && geteuid() == 0) {
    options.program = Reachable(given.program.empty() ? ProgramPath() : given.program);
    if (UnderWine()) options.launcher = Reachable(Setting("KEMBU_E2E_LAUNCHER"));
    options.inChild = [inChild = given.inChild] {
      DropPrivileges();
      if (inChild) inChild();
    };
  }
  std::vector<std::string> command = options.wrapper;
  for (const std::string& word : CommandFor(line, options)) command.push_back(word);
  // A run that Wine did not start (NotStarted) did nothing: it is made again.
  Outcome run;
  for (int attempt = 1;; ++attempt) {
    std::thread meanwhile;
    const Started started = Start(dir_, command, options.inChild);
    if (options.meanwhile) meanwhile = std::thread(options.meanwhile);
    run = Finish(started, std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds));
    if (meanwhile.joinable()) meanwhile.join();
    if (!NotStarted(run) || attempt == 3) break;
    std::printf("not started by Wine, run again: %s (exit code %d, stderr \"%s\")\n",
                line.c_str(), WEXITSTATUS(run.status), run.err.c_str());
  }
  EXPECT_NE(run.status, -1) << "timed out: " << line;
  EXPECT_EQ(run.status, 0) << "wait status of \"" << line << "\" (exit code 0 expected)";
  EXPECT_EQ(run.err, "") << "stderr of \"" << line << "\"";
  return run.out;
}

bool NotStarted(const Outcome& run) {
  return UnderWine() && run.status > 0 && run.out.empty();
}

void E2eTest::Put(const std::string& name, const Bytes& bytes) {
  std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
}

void E2eTest::Lay(const Files& files) {
  for (const auto& [name, bytes] : files) {
    fs::create_directories(fs::path(Path(name)).parent_path());
    if (bytes == "<dir>") {
      fs::create_directories(Path(name));
    } else if (bytes == "<fifo>") {
      EXPECT_EQ(mkfifo(Path(name).c_str(), 0644), 0) << name;
    } else if (bytes.rfind("-> ", 0) == 0) {
      EXPECT_EQ(symlink(bytes.substr(3).c_str(), Path(name).c_str()), 0) << name;
    } else {
      Put(name, bytes);
    }
  }
}

Bytes E2eTest::Get(const std::string& name) {
  std::ifstream file(Path(name), std::ios::binary);
  EXPECT_TRUE(file.is_open()) << name << " cannot be read";
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

Files E2eTest::Snapshot() {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
    // Lexically: a symbolic link is named where it is, not where it points.
    const std::string name = entry.path().lexically_relative(dir_).string();
    if (entry.is_symlink()) {
      files[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      files[name] = "<dir>";
    } else if (entry.is_fifo()) {
      files[name] = "<fifo>";
    } else {
      files[name] = Get(name);
    }
  }
  return files;
}

void E2eTest::ExpectFiles(const Files& expected) {
  const Files actual = Snapshot();
  for (const auto& [name, bytes] : expected) {
    const auto found = actual.find(name);
    if (found == actual.end()) {
      ADD_FAILURE() << name << " is missing";
    } else if (found->second != bytes) {
      const Bytes& got = found->second;
      const size_t at = std::mismatch(got.begin(), got.end(), bytes.begin(), bytes.end()).first -
                        got.begin();
      ADD_FAILURE() << name << " differs: " << got.size() << " bytes, expected " << bytes.size()
                    << ", first difference at offset " << at;
    }
  }
  for (const auto& entry : actual) {
    if (!expected.count(entry.first)) ADD_FAILURE() << entry.first << " should not exist";
  }
}
