// kvx recover: scans a source, then writes the selected files below a destination folder,
// keeping their folder structure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "command.h"
#include "json_writer.h"
#include "scan_session.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: kvx recover SOURCE --to DIR [--deep] [--test-ext] [--rename-ext] [--test-all] "
    "[--deleted] [--pattern P] [--state LIST] [--json]";

struct RecoverArgs {
  kvx::ScanOptions scan;
  std::string to;
  bool deletedOnly = false;
  std::string pattern;
  std::optional<std::uint32_t> states;  // bit set of accepted states
};

/// Nearest existing folder at or above @p path (the destination may not exist yet).
fs::path existingAncestor(fs::path path) {
  std::error_code ec;
  path = fs::absolute(path, ec);
  while (!path.empty() && !fs::exists(path, ec)) {
    const fs::path parent = path.parent_path();
    if (parent == path) break;
    path = parent;
  }
  return path;
}

/// Picks a target path below @p dir that is not taken on disk nor earlier in this run.
fs::path freeTarget(const fs::path& dir, const std::string& name,
                    std::unordered_set<std::string>& taken) {
  std::error_code ec;
  fs::path candidate = dir / name;
  for (unsigned n = 2; taken.count(candidate.string()) != 0 ||
                       fs::symlink_status(candidate, ec).type() != fs::file_type::not_found;
       ++n)
    candidate = dir / kvx::numberedName(name, n);
  taken.insert(candidate.string());
  return candidate;
}

struct Job {
  std::uint32_t index;
  std::string path;  // as listed: "E:\dir\name"
};

int recoverCommand(const std::vector<std::string>& args) {
  RecoverArgs a;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const char* flag, std::string& out) {
      const std::string eq = std::string(flag) + "=";
      if (arg == flag && i + 1 < args.size()) {
        out = args[++i];
        return true;
      }
      if (arg.rfind(eq, 0) == 0) {
        out = arg.substr(eq.size());
        return true;
      }
      return false;
    };
    std::string states;
    if (kvx::parseScanFlag(arg, a.scan)) continue;
    if (value("--to", a.to) || value("--pattern", a.pattern)) continue;
    if (value("--state", states)) {
      a.states = kvx::parseStateList(states);
      if (!a.states) {
        std::fprintf(stderr,
                     "kvx recover: unknown state in '%s' (Unrecoverable, Bad, Poor, Good, "
                     "Excellent, Existing)\n",
                     states.c_str());
        return kvx::kExitUsage;
      }
      continue;
    }
    if (arg == "--deleted") {
      a.deletedOnly = true;
      continue;
    }
    if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "kvx recover: unknown option %s\n%s\n", arg.c_str(), kUsage);
      return kvx::kExitUsage;
    }
    if (!a.scan.source.empty()) {
      std::fprintf(stderr, "kvx recover: one SOURCE only\n%s\n", kUsage);
      return kvx::kExitUsage;
    }
    a.scan.source = arg;
  }
  if (a.scan.source.empty() || a.to.empty()) {
    std::fprintf(stderr, "%s\n", kUsage);
    return kvx::kExitUsage;
  }

  kvx::ScanSession session;
  std::string error;
  if (!session.resolveSource(a.scan.source, &error)) {
    std::fprintf(stderr, "kvx recover: %s\n", error.c_str());
    return kvx::kExitFailed;
  }
  // Writing to the drive being recovered from would overwrite the very data sought.
  // A mounted image can hold the destination under two letters (the image and its loop device),
  // so every letter of the destination is checked, not just the first.
  char letterBuffer[27] = {};
  (void)Undelete_LettersOfPath(existingAncestor(a.to).string().c_str(), letterBuffer,
                               sizeof letterBuffer);
  const std::string destLetters = letterBuffer;
  auto refuse = [&](char letter) {
    std::fprintf(stderr,
                 "kvx recover: refusing to write to %s: it is on drive %c:, the drive the files "
                 "come from; choose a folder on another drive\n",
                 a.to.c_str(), letter);
    return kvx::kExitFailed;
  };
  if (session.letter() != 0 && destLetters.find(session.letter()) != std::string::npos)
    return refuse(session.letter());

  bool cancelled = false;
  kvx::ScanOptions scanOptions = a.scan;
  scanOptions.json = false;
  if (!session.run(scanOptions, &cancelled, &error)) {
    std::fprintf(stderr, "kvx recover: %s\n", error.c_str());
    return kvx::kExitFailed;
  }
  if (cancelled) {
    std::fprintf(stderr, "kvx recover: scan cancelled, nothing recovered\n");
    return kvx::kExitFailed;
  }

  // Selection: what the listing shows (no replaced records, no hidden folders), then the filters.
  std::vector<Job> jobs;
  {
    const std::uint32_t files = session.fileCount();
    std::uint32_t lastFolder = 0xFFFFFFFFu;
    bool hidden = false;
    std::string folderPath;
    for (std::uint32_t i = 0; i < files; ++i) {
      const FileRecord* r = session.file(i);
      if (r == nullptr || (r->marks.get() & 1) != 0) continue;
      if (a.deletedOnly && (r->status & kStatusExisting) != 0) continue;
      if (a.states && (*a.states & (1u << kvx::stateOf(*r))) == 0) continue;
      const std::string name = session.text(r->name.get());
      if (!a.pattern.empty() && !kvx::matchesAnyPattern(a.pattern, name)) continue;
      if (r->folder.get() != lastFolder) {
        lastFolder = r->folder.get();
        hidden = session.folderHidden(lastFolder);
        folderPath = session.folderPath(lastFolder);
      }
      if (hidden) continue;
      for (const char letter : destLetters)
        if (Undelete_MayBeRecoveredTo(session.engine(), i, static_cast<unsigned char>(letter)) == 0)
          return refuse(letter);
      jobs.push_back({i, folderPath.empty() ? name : folderPath + '\\' + name});
    }
  }

  std::error_code ec;
  fs::create_directories(a.to, ec);
  if (ec) {
    std::fprintf(stderr, "kvx recover: cannot create %s: %s\n", a.to.c_str(), ec.message().c_str());
    return kvx::kExitFailed;
  }

  std::FILE* out = stdout;
  kvx::JsonWriter json(out);
  if (a.scan.json) {
    json.beginObject();
    json.key("destination").string(a.to);
    json.key("files").beginArray();
  }

  std::atomic<std::size_t> current{0};
  std::atomic<bool> stop{false}, finished{false};
  std::atomic<std::uint32_t> recovered{0}, failed{0};
  Undelete* u = session.engine();
  std::thread worker([&] {
    std::unordered_set<std::string> taken;
    for (std::size_t k = 0; k < jobs.size() && !stop.load(); ++k) {
      current = k;
      const Job& job = jobs[k];
      const FileRecord* r = session.file(job.index);
      // Target: DIR / folders below the root / name, every component made safe.
      fs::path dir = a.to;
      const auto chain = session.folderChain(r->folder.get());
      for (std::size_t c = 1; c < chain.size(); ++c)
        dir /= kvx::safeComponent(session.text(session.folder(chain[c])->name.get()));
      std::string message;
      std::uint32_t code = 0;
      bool ok = false;
      fs::path target;
      std::error_code dirError;
      fs::create_directories(dir, dirError);
      if (dirError) {
        message = "cannot create " + dir.string() + ": " + dirError.message();
      } else {
        target = freeTarget(dir, kvx::safeComponent(session.text(r->name.get())), taken);
        ok = Undelete_RecoverFile(u, job.index, target.c_str()) != 0;
        if (ok && stop.load()) {
          ok = false;  // cut short by Ctrl-C: the file is incomplete
          message = "User abort.";
        } else if (!ok) {
          Undelete_GetError(u, &code);
          message = session.engineError();
          if (message.empty()) message = "recovery failed";
        }
      }
      (ok ? recovered : failed) += 1;
      if (a.scan.json) {
        json.beginObject();
        json.key("index").unsignedNumber(job.index);
        json.key("path").string(job.path);
        json.key("target").string(target.string());
        json.key("recovered").boolean(ok);
        if (ok) {
          json.key("error").null();
        } else {
          json.key("error").beginObject();
          json.key("code").unsignedNumber(code);
          json.key("message").string(message);
          json.endObject();
        }
        json.endObject();
      } else if (ok) {
        std::fprintf(out, "%s -> %s\n", kvx::printable(job.path).c_str(),
                     kvx::printable(target.string()).c_str());
      }
      if (!ok)
        std::fprintf(stderr, "kvx recover: %s: %s\n", kvx::printable(job.path).c_str(),
                     message.c_str());
    }
    finished = true;
  });

  {
    kvx::InterruptGuard interrupts;
    kvx::ProgressLine progress;
    int handled = 0;
    while (!finished.load()) {
      if (interrupts.count() > handled) {
        handled = interrupts.count();
        stop = true;
        Undelete_Cancel(u);
        progress.line("kvx: stopping after the current file");
      }
      std::uint64_t bytes = 0;
      Undelete_GetBytesProcessed(u, &bytes);
      char text[128];
      std::snprintf(text, sizeof text, "Recovering file %zu of %zu: %" PRIu64 " bytes",
                    std::min(current.load() + 1, jobs.size()), jobs.size(), bytes);
      if (!jobs.empty()) progress.update(text);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    worker.join();
  }

  char summary[96];
  std::snprintf(summary, sizeof summary, "%u recovered, %u failed", recovered.load(),
                failed.load());
  if (a.scan.json) {
    json.endArray();
    json.key("recovered").unsignedNumber(recovered.load());
    json.key("failed").unsignedNumber(failed.load());
    json.key("cancelled").boolean(stop.load());
    json.endObject();
    json.finish();
    std::fprintf(stderr, "%s\n", summary);
  } else {
    std::fprintf(out, "%s\n", summary);
    std::fflush(out);
  }
  return failed.load() == 0 && !stop.load() ? kvx::kExitOk : kvx::kExitFailed;
}

const kvx::Registration reg{
    {"recover",
     "recover SOURCE --to DIR [scan options] [--deleted] [--pattern P] [--state LIST] [--json]",
     "scan, then write the selected files below DIR", recoverCommand}};

}  // namespace
