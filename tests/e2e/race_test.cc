// Many runs at once on one image and one KEMBU.BIN. Whatever order they get
// through in, each must end with one of the tool's messages, and neither file
// may ever be seen in a state that whole runs, one after another, could not
// have left: a device flashed from such an image could be bricked.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kImageSize = 1536;  // a tail past the header, one page at most

// One child per line, each held at a shared gate until all exist, so that
// they exec at nearly the same moment, or child i after i steps more. Returns
// once all have ended; past the deadline the rest are killed (status -1).
std::vector<Outcome> RunTogether(const std::string& dir, const std::vector<std::string>& lines,
                                 std::chrono::microseconds step, Clock::duration limit) {
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  std::vector<Started> started;
  for (size_t i = 0; i < lines.size(); ++i) {
    const long delay = static_cast<long>(step.count() * i);
    started.push_back(Start(dir, CommandFor(lines[i]), [&gate, delay] {
      close(gate[1]);
      char ignored;
      while (read(gate[0], &ignored, 1) == -1 && errno == EINTR) continue;
      timespec pause = {delay / 1000000, delay % 1000000 * 1000};
      while (nanosleep(&pause, &pause) == -1 && errno == EINTR) continue;
    }));
  }
  close(gate[1]);  // opens the gate
  close(gate[0]);
  const Clock::time_point deadline = Clock::now() + limit;
  std::vector<Outcome> outcomes;
  for (const Started& run : started) outcomes.push_back(Finish(run, deadline));
  return outcomes;
}

// What may be seen of each file during a round.
struct Allowed {
  Bytes image;               // as it was before the round
  std::vector<Bytes> bodies;  // every body a run could restore or save
};

// Empty when KEMBU.BIN is one a restore refuses or exactly one whole body.
std::string BackupFault(const Bytes& seen, const Allowed& allowed) {
  if (seen.size() < kBodySize) return "";
  if (seen.size() > kBodySize) return std::to_string(seen.size()) + " bytes";
  const auto& bodies = allowed.bodies;
  if (std::find(bodies.begin(), bodies.end(), seen) != bodies.end()) return "";
  return "490 bytes that are no whole body";
}

// Empty when the image could be the original or a correct restore of one of
// the bodies; otherwise every property it breaks.
std::string ImageFault(const Bytes& seen, const Allowed& allowed) {
  const Bytes& image = allowed.image;
  if (seen.size() != image.size()) {
    return "length " + std::to_string(seen.size()) + ", was " + std::to_string(image.size());
  }
  std::string fault;
  if (!Sealed(seen)) fault += " bad checksum;";
  if (seen.compare(0, kBodyOffset, image, 0, kBodyOffset) != 0) fault += " lead-in changed;";
  if (seen.compare(kHeaderSize, Bytes::npos, image, kHeaderSize) != 0) fault += " tail changed;";
  if (BackupFault(Body(seen), allowed) != "") fault += " body is none of the possible ones;";
  return fault;
}

enum Look { kSeen, kAbsent, kBusy };

struct Sample {
  Look look;
  Bytes bytes;
};

Bytes ReadWhole(int fd) {
  char buffer[8192];
  const ssize_t got = pread(fd, buffer, sizeof buffer, 0);
  return got > 0 ? Bytes(buffer, got) : Bytes();
}

// Reads the file as a cooperating program would: natively under a shared
// lock, which kembu's exclusive ones keep out while it writes. Under Wine
// kembu.exe's share modes live in wineserver and this lock means nothing to
// it, so a read may overlap one of its writes and show a mixture that never
// was on disk. A state the tool leaves, even for a moment between two of its
// calls, outlasts two reads back to back; a read torn by one write does not
// repeat. So only two agreeing reads make a sample.
Sample Take(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd == -1) return {errno == ENOENT ? kAbsent : kBusy, {}};
  Sample sample = {kBusy, {}};
  if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
    sample.bytes = ReadWhole(fd);
    if (ReadWhole(fd) == sample.bytes) sample.look = kSeen;
  }
  close(fd);
  return sample;
}

struct WatchReport {
  long samples[2][3] = {};  // of the image and KEMBU.BIN, by Look
  std::vector<std::string> faults;
};

// Samples both files until told to stop.
void Watch(const std::string& imagePath, const std::string& backupPath, const Allowed& allowed,
           const std::atomic<bool>& stop, WatchReport& report) {
  while (!stop.load()) {
    for (int file = 0; file < 2; ++file) {
      const Sample sample = Take(file == 0 ? imagePath : backupPath);
      ++report.samples[file][sample.look];
      std::string fault = file == 0 && sample.look == kAbsent ? "absent" : "";
      if (sample.look == kSeen) {
        fault = file == 0 ? ImageFault(sample.bytes, allowed) : BackupFault(sample.bytes, allowed);
      }
      if (!fault.empty() && report.faults.size() < 20) {
        report.faults.push_back((file == 0 ? "image: " : "KEMBU.BIN: ") + fault);
      }
    }
    usleep(100);  // leaves the CPU to the runs between samples
  }
}

// What each operation may say here; any other message would mean a run saw
// a half-written or missing image, or lost a write.
using Messages = std::vector<const char*>;
const Messages kBackupMessages = {"Backup Ok!", "Error opening input file!",
                                  "Error creating KEMBU.BIN!"};
const Messages kRestoreMessages = {"Restore Ok!", "Error opening input file!",
                                   "Error opening KEMBU.BIN!", "Error reading KEMBU.BIN!",
                                   "Error opening output file!"};

enum class Verdict { kGood, kNotStarted, kBad };

// Judges one run; *said gets the message it printed, or what is wrong. A run
// that Wine did not start (NotStarted) is only counted.
Verdict Judge(const std::string& line, const Outcome& run, std::string* said) {
  if (run.status != 0 || !run.err.empty()) {
    *said = run.status == -1 ? "still running at the deadline, killed"
                             : "wait status " + std::to_string(run.status) + ", printed \"" +
                                   run.out + "\", stderr \"" + run.err + "\"";
    return NotStarted(run) ? Verdict::kNotStarted : Verdict::kBad;
  }
  const bool backup = line.find(" b ") != std::string::npos;
  for (const char* message : backup ? kBackupMessages : kRestoreMessages) {
    if (run.out == Said(message)) {
      *said = message;
      return Verdict::kGood;
    }
  }
  *said = "impossible here: " + run.out;
  return Verdict::kBad;
}

// Runs in each round. Natively a run takes a few milliseconds, mostly its
// fsync; released all at once, most find the files held, so some rounds
// spread the starts over a few run times (kStep apart) and let more runs
// through. Under Wine the starts spread by themselves: each one starts a Wine
// process.
constexpr int kRuns = 32;
constexpr std::chrono::microseconds kStep(400);

// Up to 40 rounds (8 under Wine, whose starts are slow); past the budget no
// new round starts once each mix of backups and spacing (round % 4 by
// round % 3) has had one. A slow build (sanitizers, an emulator) or a loaded
// machine so runs fewer rounds rather than near its time limit.
constexpr int kMixes = 12;
constexpr std::chrono::seconds kBudget(20);

// Lower case, so that the tests answer to ctest -R race.
using race = E2eTest;

// The image starts with body A and KEMBU.BIN with body B of another image;
// backups and restores then race. Restores may put B in, backups may save A
// or B, so those two bodies are all that may ever be seen.
TEST_F(race, BackupsAndRestoresAtOnce) {
  // Starts Wine's server, which every later run shares.
  ASSERT_EQ(Run("kembu"), Usage());
  const int rounds = UnderWine() ? 8 : 40;
  const std::chrono::microseconds step = UnderWine() ? std::chrono::microseconds(0) : kStep;
  std::map<std::string, int> tally;
  WatchReport report;  // its faults round by round
  const Clock::time_point start = Clock::now();

  int round = 0;
  for (; round < rounds && (round < kMixes || Clock::now() - start < kBudget); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Allowed allowed;
    allowed.image = MakeImage(kImageSize, 100 + round);
    const Bytes bodyB = Body(MakeImage(kImageSize, 200 + round));
    allowed.bodies = {Body(allowed.image), bodyB};
    Put("fw.img", allowed.image);
    Put("KEMBU.BIN", bodyB);

    // One run in 2, 3, 8 or none backs up, in an order that shifts each
    // round: every failed backup deletes KEMBU.BIN, so with many of them
    // few restores find one.
    const int backupEvery[] = {2, 3, 8, 0};
    const int every = backupEvery[round % 4];
    std::vector<std::string> lines;
    for (int i = 0; i < kRuns; ++i) {
      const bool backup = every != 0 && (i + round) % every == 0;
      lines.push_back(backup ? "kembu b fw.img" : "kembu r fw.img");
    }

    std::atomic<bool> stop(false);
    report.faults.clear();
    std::thread watcher(Watch, Path("fw.img"), Path("KEMBU.BIN"), std::cref(allowed),
                        std::cref(stop), std::ref(report));
    const std::vector<Outcome> outcomes =
        RunTogether(dir_, lines, step * (round % 3), std::chrono::seconds(20));
    stop = true;
    watcher.join();

    bool restoreOk = false;
    int notStarted = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
      const std::string& line = lines[i];
      std::string said;
      const Verdict verdict = Judge(line, outcomes[i], &said);
      EXPECT_NE(verdict, Verdict::kBad) << line << ": " << said;
      if (verdict == Verdict::kNotStarted) {
        std::printf("not started by Wine: %s: %s\n", line.c_str(), said.c_str());
        ++notStarted;
        said = "(not started by Wine)";
      }
      ++tally[line.substr(6, 1) + ": " + said];
      restoreOk |= said == "Restore Ok!";
    }
    // More than a few would be Wine failing, not a hiccup.
    EXPECT_LE(notStarted, kRuns / 8) << "runs Wine did not start";
    for (const std::string& fault : report.faults) ADD_FAILURE() << "while running: " << fault;

    // And once all have ended.
    const Files files = Snapshot();
    for (const auto& entry : files) {
      EXPECT_TRUE(entry.first == "fw.img" || entry.first == "KEMBU.BIN")
          << entry.first << " left behind";
    }
    const Bytes image = Get("fw.img");
    EXPECT_EQ(ImageFault(image, allowed), "") << "image at the end";
    if (image != allowed.image) {
      EXPECT_EQ(image, Restored(allowed.image, bodyB));
      EXPECT_TRUE(restoreOk) << "the image changed, yet no restore succeeded";
    }
    if (files.count("KEMBU.BIN")) {
      EXPECT_EQ(BackupFault(files.at("KEMBU.BIN"), allowed), "") << "KEMBU.BIN at the end";
    }
  }

  // What the races came to, for whoever looks at the log.
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%d rounds of %d runs in %.1f s\n", round, kRuns, seconds);
  for (const auto& [message, count] : tally) std::printf("  %5d  %s\n", count, message.c_str());
  std::printf("  samples of fw.img: %ld seen, %ld busy; of KEMBU.BIN: %ld seen, %ld absent, "
              "%ld busy\n", report.samples[0][kSeen], report.samples[0][kBusy],
              report.samples[1][kSeen], report.samples[1][kAbsent], report.samples[1][kBusy]);
}

}  // namespace
