// kvx scan --save, kvx session info and kvx session resume end to end: a deep scan stopped with
// Ctrl-C (SIGINT) once its progress shows the deep scan, continued in a new process, lists what
// one uninterrupted kvx scan --deep lists, with no --drive while the image stays where it was;
// a session whose image moved is refused until it is mapped.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "test_support.h"

extern char** environ;

namespace {

using kvxtest::quote;
using kvxtest::run;

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

/// Sorted "deleted size state path offset" lines of a kvx --json document, by python3 as the
/// independent parser; the error code is checked to be one of @p codes.
std::string filesOf(const std::filesystem::path& json, const std::string& codes) {
  const auto r =
      run("python3 -c 'import json,sys\n"
          "d=json.load(open(sys.argv[1]))\n"
          "assert d[\"error\"][\"code\"] in (" +
          codes +
          ",), d[\"error\"]\n"
          "for l in sorted(\"%d %d %s %s %s\" % (f[\"deleted\"], f[\"size\"], f[\"stateName\"],"
          " f[\"path\"], f.get(\"offset\")) for f in d[\"files\"]): print(l)' " +
          quote(json.string()));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  return r.out;
}

class KvxSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"convert", "zip", "python3", "truncate", "dd"}))
      GTEST_SKIP() << "imagemagick, zip and python3 needed";
    // A sparse 2 GiB image: the deep scan takes seconds, so its progress line shows before it
    // ends. Files by content lie on both sides of where the cancel lands.
    const std::string d = quote(m_dir.path().string());
    ASSERT_EQ(run("cd " + d +
                  " && convert -size 96x64 plasma:fractal -seed 7 -quality 85 photo.jpg"
                  " && convert -size 64x48 gradient:red-blue pic.png"
                  " && convert -size 33x17 gradient:white-black pic.bmp"
                  " && zip -q -X plain.zip pic.png pic.bmp && truncate -s 2G carve.img"
                  " && for f in photo.jpg:20 pic.png:150 plain.zip:400 photo.jpg:1200"
                  " pic.bmp:1900; do dd if=${f%:*} of=carve.img bs=1M seek=${f#*:}"
                  " conv=notrunc status=none; done")
                  .exitCode,
              0);
    m_image = m_dir / "carve.img";
    m_kvx = kvxtest::cliPath().string();
  }

  /// Runs kvx with @p args (--report among them) in the test folder, sends SIGINT once stderr
  /// shows the deep scan under way, and waits for it. Returns the exit code; stdout and stderr go
  /// to files.
  int scanAndInterrupt(const std::string& args, const std::string& tag) {
    const std::string command = "cd " + quote(m_dir.path().string()) + " && exec " + quote(m_kvx) +
                                " " + args + " >" + tag + ".out 2>" + tag + ".err";
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
      return -1;
    const auto err = m_dir / (tag + ".err");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool sent = false;
    int status = 0;
    std::chrono::steady_clock::time_point deepSince{};
    while (waitpid(pid, &status, WNOHANG) == 0) {
      // The report line comes as the deep scan starts; the progress line (at most once a second
      // without a terminal) may come late on a fast machine: whichever is first, plus a moment.
      const std::string text = sent ? std::string() : slurp(err);
      const auto now = std::chrono::steady_clock::now();
      if (!sent && deepSince == std::chrono::steady_clock::time_point{} &&
          text.find("\tScanning file system 1, unrecognized file system.") != std::string::npos)
        deepSince = now;
      if (!sent && (text.find("Performing raw and format recovery: ") != std::string::npos ||
                    (deepSince != std::chrono::steady_clock::time_point{} &&
                     now - deepSince > std::chrono::milliseconds(300)))) {
        kill(pid, SIGINT);
        sent = true;
      }
      if (std::chrono::steady_clock::now() > end) kill(pid, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(sent) << "the deep scan ended before its progress showed:\n" << slurp(err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  kvxtest::CommandResult kvx(const std::string& args) {
    return run("cd " + quote(m_dir.path().string()) + " && " + quote(m_kvx) + " " + args);
  }
  [[nodiscard]] std::filesystem::path sessionFile() const { return m_dir / "LastSession.Results"; }

  kvxtest::TempDir m_dir{"session-cli"};
  std::filesystem::path m_image;
  std::string m_kvx;
};

TEST_F(KvxSession, InterruptedDeepScanResumesToTheSameListing) {
  ASSERT_EQ(kvx("scan --deep carve.img --json > whole.json 2>/dev/null").exitCode, 0);
  const std::string whole = filesOf(m_dir / "whole.json", "0x20000005");  // no file system
  ASSERT_NE(whole.find(".png"), std::string::npos) << whole;
  // Each file lies at the byte offset the test put it at (dd seek=N MiB).
  for (const char* placed :
       {".jpg 20971520", ".png 157286400", ".zip 419430400", ".jpg 1258291200", ".bmp 1992294400"})
    EXPECT_NE(whole.find(placed), std::string::npos) << placed << "\n" << whole;

  // Without --save and without a terminal, nothing is saved.
  EXPECT_EQ(scanAndInterrupt("scan --deep carve.img --json --report", "nosave"), 1);
  EXPECT_FALSE(std::filesystem::exists(sessionFile()));
  EXPECT_NE(kvx("session info 2>&1").out.find("no saved session here"), std::string::npos);

  EXPECT_EQ(scanAndInterrupt("scan --deep carve.img --json --report --save", "cut"), 1);
  ASSERT_TRUE(std::filesystem::exists(sessionFile())) << slurp(m_dir / "cut.err");
  const std::string cut = filesOf(m_dir / "cut.out", "0x20000009");  // user abort
  EXPECT_LT(cut.size(), whole.size()) << "cancelled before the end";

  // The saved hint gives the command that continues it: the sources are remembered.
  const std::string err = slurp(m_dir / "cut.err");
  EXPECT_NE(err.find("`kvx session resume` run in this folder continues it"), std::string::npos)
      << err;
  EXPECT_EQ(err.find("--drive"), std::string::npos) << err;
  const std::string saved = kvx("session info 2>&1").out;
  const std::size_t at = saved.find(":, 2.0 GB");
  ASSERT_NE(at, std::string::npos) << saved;
  const char letter = saved[at - 1];

  // A new process finds the image again through the sources kept beside the session.
  const auto info = kvx("session info 2>&1");
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_NE(info.out.find(std::string("  ") + letter + ":, 2.0 GB"), std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("not present"), std::string::npos) << info.out;

  // Moved away, it is missing: the message names where it was and --drive, and nothing else
  // that holds the letter today is taken for it.
  std::filesystem::rename(m_image, m_dir / "moved.img");
  const auto gone = kvx("session info 2>&1");
  EXPECT_EQ(gone.exitCode, 0);
  EXPECT_NE(gone.out.find(std::string("  ") + letter + ": (not found), 2.0 GB"), std::string::npos)
      << gone.out;
  EXPECT_NE(gone.out.find(m_image.string() + " is no longer there"), std::string::npos) << gone.out;
  EXPECT_NE(gone.out.find("--drive"), std::string::npos) << gone.out;
  const auto refused = kvx("session resume --json 2>&1");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.out.find("cannot continue"), std::string::npos) << refused.out;
  EXPECT_TRUE(std::filesystem::exists(sessionFile()));

  // Mapped by hand, the moved image is the drive (the user's mapping wins over the remembered).
  const std::string drive = std::string(" --drive ") + letter + "=moved.img";
  const auto mapped = kvx("session info" + drive);
  EXPECT_EQ(mapped.exitCode, 0);
  EXPECT_EQ(mapped.out.rfind("Options in effect:\n  Deep scan: Yes\n", 0), 0u) << mapped.out;
  EXPECT_NE(mapped.out.find("\n\n0 / 1 drives scanned\n\n  " + std::string(1, letter) +
                            ":, 2.0 GB\n\n  Sectors examined: "),
            std::string::npos)
      << mapped.out;

  // Back where it was, the session continues with no --drive at all.
  std::filesystem::rename(m_dir / "moved.img", m_image);
  ASSERT_EQ(kvx("session resume --json > resumed.json 2>/dev/null").exitCode, 0);
  // A continued deep scan does not recognise the drive again, so "no file system" may be absent.
  EXPECT_EQ(filesOf(m_dir / "resumed.json", "0, 0x20000005"), whole);
  EXPECT_FALSE(std::filesystem::exists(sessionFile())) << "the finished session is removed";
  EXPECT_FALSE(std::filesystem::exists(m_dir / "LastSession.Results.sources"));
  EXPECT_EQ(kvx("session resume 2>/dev/null").exitCode, 1);
}

// On a terminal the question is asked: Ctrl-C stops the deep scan, an unclear answer asks again,
// "y" saves the session. python3's pty module stands in for the user at a terminal.
TEST_F(KvxSession, TerminalAsksBeforeSaving) {
  const auto script = m_dir / "user.py";
  std::ofstream(script) << R"PY(import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], 'scan', '--deep', 'carve.img'])
seen = b''
def wait_for(text, seconds=60):
    global seen
    end = time.time() + seconds
    while text not in seen and time.time() < end:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                seen += os.read(fd, 4096)
            except OSError:
                break
    if text not in seen:
        sys.exit('never saw %r in %r' % (text, seen[-400:]))
question = b'Save the results of this scan to continue later? [y/N] '
wait_for(b'Performing raw and format recovery: ')
os.write(fd, b'\x03')
wait_for(question)
seen = b''
os.write(fd, b'maybe\n')
wait_for(question)
os.write(fd, b'y\n')
wait_for(b'scan cancelled')
os.waitpid(pid, 0)
print('saved' if b'kvx: saving the session in LastSession.Results' in seen else 'not saved')
)PY";
  const auto r = run("cd " + quote(m_dir.path().string()) + " && python3 user.py " + quote(m_kvx));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out, "saved\n");
  ASSERT_TRUE(std::filesystem::exists(sessionFile()));
  const auto info = kvx("session info 2>/dev/null");
  EXPECT_NE(info.out.find("0 / 1 drives scanned"), std::string::npos) << info.out;
}

TEST(KvxSessionUsage, ExitCodes) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  kvxtest::TempDir dir("session-usage");
  const std::string in = "cd " + quote(dir.path().string()) + " && " + kvx;
  EXPECT_EQ(run(in + " session 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(in + " session start 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(in + " session info --json 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(in + " session resume --drive 7=x 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(in + " session resume --drive 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(in + " session resume --drive E=/nonexistent/x.img 2>/dev/null").exitCode, 1);
  EXPECT_EQ(run(in + " session info 2>/dev/null").exitCode, 1) << "no session file";
  kvxtest::writeFile(dir / "LastSession.Results", {'S', 'R', '1', '.', '0', '3', 0});
  const auto bad = run(in + " session info 2>&1");
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.out.find("not a complete session file"), std::string::npos) << bad.out;
  EXPECT_EQ(run(in + " scan x.img --save --no-save --bogus 2>/dev/null").exitCode, 2);
}

}  // namespace
