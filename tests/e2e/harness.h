// Runs the built program, native or under Wine, in a fresh directory per test
// and compares what it prints and what it leaves on disk.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../image.h"

Bytes Usage();                      // banner and usage text
Bytes Said(const Bytes& message);   // banner, "\r\n" + message, "\r\n"

struct RunOptions {
  std::function<void()> inChild = {};  // runs in the child just before exec
  std::vector<std::string> wrapper = {};  // command put in front, e.g. strace
  std::string program = {};            // another copy of the program to run
  bool utf16 = false;  // Windows: the line reaches kembu.exe as UTF-16 (raw_launch --utf16)
  std::string locale = "C.UTF-8";      // gives Wine its ANSI code page (1252)
  std::string hold = {};  // Windows: a viewer holds this file open (raw_launch --hold)
  // Windows: a server listens on this named pipe, and the run fails when the
  // program connects to it (raw_launch --pipe).
  std::string pipe = {};
  int seconds = 20;  // the run is killed and fails after this long
  std::function<void()> meanwhile = {};  // runs in the test while the program runs
  // Wine's server is started first, by a run without inChild: one that this
  // run started would keep what inChild did (a file size limit).
  bool serverFirst = false;
  std::string launcher = {};  // another copy of the launcher, under Wine
  // To nobody when root, so that file modes count (under Wine in nobody's
  // prefix), from copies of the program and the launcher that nobody can reach.
  bool asNobody = false;
};

struct Started {
  pid_t pid;
  int out, err;  // read ends of its stdout and stderr
};

// Starts the argument vector in `dir`, stdin from /dev/null, in a process
// group of its own; `before` runs in the child just before exec, where only
// async-signal-safe calls may be made (other threads of the test run on).
Started Start(const std::string& dir, std::vector<std::string> command,
              const std::function<void()>& before = {});

struct Outcome {
  int status = -1;  // as waitpid gives it; -1: killed at the deadline
  Bytes out, err;
};
// Waits for the program until the deadline, collecting what it prints.
Outcome Finish(const Started& started, std::chrono::steady_clock::time_point deadline);

// True for a run that failed in Wine's own start-up, before kembu.exe ran
// (now and then, as when the launcher's CreateProcessA fails with
// ERROR_INTERNAL_ERROR, about once in 2000 runs on a busy host): kembu prints
// its banner before it touches any file, so such a run did nothing.
bool NotStarted(const Outcome& run);

// Path relative to the test directory -> contents; "<dir>", "<fifo>" or
// "-> target" for what is no regular file.
using Files = std::map<std::string, Bytes>;

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the raw command line (program word first) in the test directory,
  // stdin from /dev/null; expects exit code 0 and nothing on stderr, and
  // returns stdout.
  Bytes Run(const std::string& line, const RunOptions& options = {});

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const Bytes& bytes);
  std::string Reachable(const std::string& path);  // a copy in base_
  void Lay(const Files& files);  // as Snapshot reads them
  Bytes Get(const std::string& name);
  Files Snapshot();
  void ExpectFiles(const Files& expected);

  std::string dir_;
  std::string base_;  // mode 755: holds dir_ and the copies that nobody runs
};

// Suites whose name holds LinuxOnly or WindowsOnly run on that platform alone.
using LinuxOnly = E2eTest;

// True when the runs go to kembu.exe under Wine.
bool UnderWine();

// The NFS mount the test directories are on (v3, v3-nolock, v4.0, v4.2), or
// "" for none; and whether it is one of NFS 4.
std::string NfsMount();
bool NfsV4();

// The argument vector that runs the raw command line: natively, under Wine or
// under an emulator.
std::vector<std::string> CommandFor(const std::string& line, const RunOptions& options = {});

// "Z:" and the path with backslashes: a Linux path as Wine's programs see it.
std::string WindowsPath(std::string path);

// The built program, as the tests run it.
std::string ProgramPath();

// A RunOptions::wrapper that makes system call `number` fail with `error`
// (Linux): every call, or those whose argument `arg` has a bit of `mask` set.
std::vector<std::string> FailCall(long number, int error, int arg = 0, unsigned long mask = 0);

// For RunOptions::inChild: writes past this offset come back short, or fail.
void LimitFileSize(long bytes);
