// The results tree and the recovery run over the bound engine.
#include "results/engine_records.h"

#include <dlfcn.h>

#include <algorithm>

#include "gui_text.h"

results::ResultRecords Results_ReadEngine(const EngineApi& api, Undelete* engine) {
  results::ResultRecords out;
  // Records are read until one fails, but never past the counts: a broken engine that answers
  // every index cannot keep the program reading for ever.
  std::uint32_t files = 0, folders = 0;
  if (api.Undelete_GetFilesCount != nullptr && api.Undelete_GetFileInfo != nullptr &&
      api.Undelete_GetFilesCount(engine, &files) != 0) {
    const FileRecord* file = nullptr;
    for (std::uint32_t i = 0; i < files && api.Undelete_GetFileInfo(engine, i, &file) != 0; ++i)
      out.files.push_back(file);
  }
  if (api.Undelete_GetFolderCount != nullptr && api.Undelete_GetFolderInfo != nullptr &&
      api.Undelete_GetFolderCount(engine, &folders) != 0) {
    const FolderRecord* folder = nullptr;
    for (std::uint32_t j = 0; j < folders && api.Undelete_GetFolderInfo(engine, j, &folder) != 0;
         ++j)
      out.folders.push_back(folder);
  }
  const auto getString = api.Undelete_GetString;
  out.string = [getString, engine](std::uint32_t ref) -> const char16_t* {
    const void* p = nullptr;
    return getString != nullptr && getString(engine, ref, &p) != 0 ? static_cast<const char16_t*>(p)
                                                                   : nullptr;
  };
  const auto getState = api.Undelete_GetFileState;
  out.stateName = [getState](unsigned state) -> const char* {
    const char* name = nullptr;
    return getState != nullptr && getState(state, &name) != 0 ? name : nullptr;
  };
  out.sizeText = Gui_SizeText;
  return out;
}

results::FilterRule Results_RuleOf(const ScanFilterOptions& options) {
  results::FilterRule rule;
  rule.flags = options.flags.get();
  rule.dateMode = options.dateMode;
  rule.sizeMode = options.sizeMode;
  rule.date = options.date.get();
  rule.sizeKB = options.sizeKB.get();
  for (const le16& unit : options.patterns) {
    if (unit.get() == 0) break;
    rule.patterns.push_back(static_cast<char16_t>(unit.get()));
  }
  return rule;
}

void Results_StoreRule(const results::FilterRule& rule, ScanFilterOptions& options) {
  // The scan option bits (4..6) belong to the scan settings: kept as they are.
  constexpr std::uint32_t kScanBits =
      kOptScanTestExtension | kOptScanRenameExtension | kOptScanTestAll;
  options.flags.set((options.flags.get() & kScanBits) | (rule.flags & ~kScanBits));
  options.dateMode = rule.dateMode;
  options.sizeMode = rule.sizeMode;
  options.date.set(rule.date);
  options.sizeKB.set(rule.sizeKB);
  constexpr std::size_t kUnits = std::size(ScanFilterOptions{}.patterns);
  for (std::size_t k = 0; k < kUnits; ++k)
    options.patterns[k].set(k + 1 < kUnits && k < rule.patterns.size() ? rule.patterns[k] : 0);
}

std::optional<recovery::RecoveryEngine> Recovery_Bind(const EngineApi& api, Undelete* engine) {
  if (api.module == nullptr) return std::nullopt;
  const auto recoverAt = reinterpret_cast<decltype(&::Undelete_RecoverFileAt)>(
      ::dlsym(api.module, "Undelete_RecoverFileAt"));
  const auto openFolder = reinterpret_cast<decltype(&::Undelete_OpenOutputFolder)>(
      ::dlsym(api.module, "Undelete_OpenOutputFolder"));
  if (recoverAt == nullptr || openFolder == nullptr) return std::nullopt;

  recovery::RecoveryEngine e;
  const EngineApi* a = &api;  // the binding table lives as long as the program
  e.mayBeRecoveredTo = [a, engine](std::uint32_t index, char letter) {
    return a->Undelete_MayBeRecoveredTo(engine, index, static_cast<unsigned char>(letter)) != 0;
  };
  e.lettersOfPath = [a](const std::string& directory) {
    char letters[32] = {};
    return a->Undelete_LettersOfPath(directory.c_str(), letters, sizeof letters) != 0
               ? std::string(letters)
               : std::string();
  };
  e.openFolder = [openFolder](int parent, const std::string& name, std::string* chosen) {
    char buffer[512] = {};
    const int fd = openFolder(parent, name.c_str(), buffer, sizeof buffer);
    if (chosen != nullptr) *chosen = buffer;
    return fd;
  };
  e.recoverAt = [recoverAt, engine](std::uint32_t index, int folder, const std::string& name,
                                    std::string* chosen) {
    char buffer[512] = {};
    const bool ok = recoverAt(engine, index, folder, name.c_str(), buffer, sizeof buffer) != 0;
    *chosen = buffer;
    return ok;
  };
  e.isCancelled = [a, engine] { return a->Undelete_IsCancelled(engine) != 0; };
  e.cancel = [a, engine] { (void)a->Undelete_Cancel(engine); };
  e.bytesProcessed = [a, engine] {
    std::uint64_t bytes = 0;
    (void)a->Undelete_GetBytesProcessed(engine, &bytes);
    return bytes;
  };
  e.lastError = [a, engine] {
    // The system's reason (a full disk, no permission) says more than the engine's code.
    char detail[1024] = {};
    std::string text;
    const char* message = nullptr;
    if (a->Undelete_GetErrorMessage(engine, &message) != 0 && message != nullptr) text = message;
    if (a->Undelete_GetHostError(nullptr, detail, sizeof detail) != 0 && detail[0] != '\0')
      text += (text.empty() ? "" : " (") + std::string(detail) + (text.empty() ? "" : ")");
    return text;
  };
  return e;
}
