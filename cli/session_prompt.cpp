// Yes/No questions of a running scan, asked on the terminal from the search thread.
#include "session_prompt.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <mutex>

#include "scan_session.h"

namespace kvx {

namespace {

// Ctrl-C while a question waits answers it with no. The question installs its own handler for
// that time, so the press does not also count as a second Ctrl-C of the scan (a total cancel).
volatile sig_atomic_t g_promptInterrupted = 0;
void onPromptInterrupt(int) { g_promptInterrupted = 1; }

enum class Answer { Yes, No, Unclear };

Answer classify(std::string line) {
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  std::size_t start = 0;
  while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start]))) ++start;
  line.erase(0, start);
  for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (line == "y" || line == "yes") return Answer::Yes;
  if (line.empty() || line == "n" || line == "no") return Answer::No;
  return Answer::Unclear;
}

/// One line from @p in; nullopt on end of input, an error or Ctrl-C.
std::optional<std::string> readLine(int in) {
  std::string line;
  while (true) {
    if (g_promptInterrupted) return std::nullopt;
    pollfd p{in, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);  // wakes up to notice Ctrl-C
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (ready == 0) continue;
    char buf[256];
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    if (n == 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') return line;  // the rest of a pasted block is left unread
      if (line.size() < 256) line.push_back(buf[i]);
    }
  }
}

}  // namespace

ScanQuestions::ScanQuestions()
    : terminal(::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1) {}

void saveFlagsFromArgs(const Args& args, ScanQuestions& questions) {
  for (const auto& [name, value] : args.given()) {
    if (name != "--save" && name != "--no-save") continue;
    const bool save = name == "--save";
    if (questions.save && *questions.save != save) questions.saveConflict = true;
    questions.save = save;
  }
}

bool askYesNo(const char* question, int in, std::FILE* out) {
  // Holding the terminal keeps the progress line and report lines from writing over the question.
  std::lock_guard lock(terminalMutex());
  g_promptInterrupted = 0;
  struct sigaction mine {
  }, previous{};
  mine.sa_handler = onPromptInterrupt;
  sigemptyset(&mine.sa_mask);
  sigaction(SIGINT, &mine, &previous);
  bool answer = false;
  while (true) {
    std::fprintf(out, "\r\033[K%s [y/N] ", question);
    std::fflush(out);
    const auto line = readLine(in);
    if (!line) {
      std::fputc('\n', out);  // the question's line ends even without an answer
      break;
    }
    const Answer a = classify(*line);
    if (a != Answer::Unclear) {
      answer = a == Answer::Yes;
      break;
    }
  }
  std::fflush(out);
  sigaction(SIGINT, &previous, nullptr);
  return answer;
}

int askSaveSession(void* arg) {
  const auto* q = static_cast<const ScanQuestions*>(arg);
  bool save = false;
  if (q != nullptr && q->save)
    save = *q->save;
  else if (q != nullptr && q->terminal)
    save = askYesNo("Save the results of this scan to continue later?", STDIN_FILENO, stderr);
  if (save) {
    std::lock_guard lock(terminalMutex());
    if (q != nullptr && q->terminal) std::fputs("\r\033[K", stderr);  // over the progress line
    // The engine keeps each drive's source beside the session, so the plain command finds them
    // again (a moved source is named by session info and resume, which take --drive then).
    std::fputs(
        "kvx: saving the session in LastSession.Results; `kvx session resume` run in this folder "
        "continues it\n",
        stderr);
    std::fflush(stderr);
  }
  return save ? 1 : 0;
}

int askStopOnLowMemory(void* arg) {
  const auto* q = static_cast<const ScanQuestions*>(arg);
  if (q == nullptr || !q->terminal) return 0;  // scripts go on: the scan ends with what fits
  return askYesNo("Memory is running low. Stop the scan and keep the results found so far?",
                  STDIN_FILENO, stderr)
             ? 1
             : 0;
}

}  // namespace kvx
