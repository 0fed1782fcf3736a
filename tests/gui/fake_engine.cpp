// Scripted engine.
#include "fake_engine.h"

#include <algorithm>
#include <cstring>

namespace {

FakeEngine& F() { return FakeEngine::get(); }
Undelete* const kHandle = reinterpret_cast<Undelete*>(0x1000);

const FakeDrive* findDrive(char letter) {
  for (const auto& d : F().drives)
    if (d.letter == letter) return &d;
  return nullptr;
}

}  // namespace

namespace {
std::unique_ptr<FakeEngine>& instance() {
  static std::unique_ptr<FakeEngine> f = std::make_unique<FakeEngine>();
  return f;
}
}  // namespace

FakeEngine& FakeEngine::get() { return *instance(); }

void FakeEngine::reset() { instance() = std::make_unique<FakeEngine>(); }

EngineApi FakeEngine_Api() {
  EngineApi a;
  a.Undelete_Create = [](Undelete** out) noexcept {
    *out = kHandle;
    return 1;
  };
  a.Undelete_IsSearching = [](Undelete*, uint32_t*) noexcept { return F().searching.load(); };
  a.Undelete_GetProgress = [](Undelete*, uint32_t* total, uint32_t* done, uint64_t* sd,
                              uint64_t* st) noexcept {
    *total = F().total;
    *done = F().done;
    *sd = F().sectorsDone;
    *st = F().sectorsTotal;
    return 1;
  };
  a.Undelete_GetScanStage = [](Undelete*, const char** out) noexcept {
    *out = F().stage.c_str();
    return 1;
  };
  a.Undelete_GetFilesCount = [](Undelete*, uint32_t* out) noexcept {
    *out = F().files;
    return 1;
  };
  a.Undelete_GetDeletedCount = [](Undelete*, uint32_t* out) noexcept {
    *out = F().deleted;
    return 1;
  };
  a.Undelete_GetFolderCount = [](Undelete*, uint32_t* out) noexcept {
    *out = F().folders;
    return 1;
  };
  a.Undelete_IsCancelled = [](Undelete*) noexcept { return F().cancelled.load(); };
  a.Undelete_Cancel = [](Undelete*) noexcept {
    ++F().cancelCalls;
    F().cancelled = 1;
    if (F().endOnCancel) F().searching = 0;
    return 1;
  };
  a.Undelete_SearchMultiple = [](Undelete*, const uint32_t* specs, uint16_t count, uint32_t flags,
                                 UndeleteQueryCallback save, UndeleteQueryCallback,
                                 void* arg) noexcept {
    ++F().searchCalls;
    if (count != 1) return 0;
    F().lastSpec = specs[0];
    F().lastFlags = flags;
    F().saveCallback = save;
    F().callbackArg = arg;
    if (F().searchResult != 0) F().searching = 1;
    return F().searchResult;
  };
  a.Undelete_RestoreSession = [](Undelete*, uint32_t flags, UndeleteQueryCallback save,
                                 void* arg) noexcept {
    F().lastFlags = flags;
    F().saveCallback = save;
    F().callbackArg = arg;
    if (F().restoreResult != 0) F().searching = 1;
    return F().restoreResult;
  };
  a.Undelete_GetSessionInfo = [](Undelete*, char* text, int size, int*, uint8_t*) noexcept {
    if (F().session == nullptr) return 0;
    std::snprintf(text, static_cast<size_t>(size), "%s", F().session);
    return 1;
  };
  a.Undelete_GetErrorMessage = [](Undelete*, const char** out) noexcept {
    *out = "Cannot open drive.";
    return 1;
  };
  a.Undelete_GetError = [](Undelete*, uint32_t* out) noexcept {
    *out = F().error;
    return 1;
  };
  a.Undelete_PhysicalDrivePresent = [](int n) noexcept {
    const auto& p = F().presentDisks;
    return std::find(p.begin(), p.end(), n) != p.end() ? 1 : 0;
  };
  a.Undelete_ScanForPartitions = [](Undelete*, int n, int quick) noexcept {
    const auto& r = F().refusedDisks;
    if (quick != 1 || std::find(r.begin(), r.end(), n) != r.end()) return 0;
    F().scanningDisk = n;
    return 1;
  };
  a.Undelete_GetPartitionProgress = [](Undelete*, uint64_t* pos, uint64_t* total) noexcept {
    FakeEngine& f = F();
    f.polledDisks.push_back(f.scanningDisk);
    int& left = f.partitionPolls[f.scanningDisk];
    // Large totals first, then one at or below 0xFFFF while the scan still runs, then 0.
    *total = left > 1 ? 0x200000 : left == 1 ? 0x8000 : 0;
    *pos = 0x1000;
    if (left > 0) --left;
    return 1;
  };
  a.Undelete_GetPartitionCount = [](Undelete*, int* count) noexcept {
    *count = static_cast<int>(F().partitions.size());
    return 1;
  };
  a.Undelete_GetPartition = [](Undelete*, unsigned i, PartitionRecord* out) noexcept {
    if (i >= F().partitions.size()) return 0;
    std::memset(out, 0, sizeof *out);
    std::snprintf(out->description, sizeof out->description, "%s", F().partitions[i].c_str());
    return 1;
  };
  a.Undelete_GetDriveEntry = [](uint32_t i, UndeleteDriveEntry* out) noexcept {
    if (i >= F().drives.size()) return 0;
    std::memset(out, 0, sizeof *out);
    out->letter = F().drives[i].letter;
    out->type = F().drives[i].type;
    std::snprintf(out->path, sizeof out->path, "/images/%c.img", out->letter);
    return 1;
  };
  a.Undelete_FindDrive = [](char letter, UndeleteDriveEntry*) noexcept {
    return findDrive(letter) != nullptr ? 1 : 0;
  };
  a.Undelete_ProbeDrive = [](char letter, UndeleteProbe* out) noexcept {
    const FakeDrive* d = findDrive(letter);
    *out = UndeleteProbe{};
    out->status = d != nullptr && d->usable ? kUndeleteProbeUsable : kUndeleteProbeCannotOpen;
    out->size = d != nullptr && d->usable ? d->size : 0;
    return 1;
  };
  a.Undelete_GetLogicalDriveInfo = [](Undelete*, char letter, int shortForm, char* out) noexcept {
    const FakeDrive* d = findDrive(letter);
    if (d == nullptr || d->summary == nullptr || shortForm != 1) return 0;
    std::snprintf(out, 256, "%s", d->summary);
    return 1;
  };
  a.Undelete_LettersOfPath = [](const char*, char* out, uint32_t size) noexcept {
    std::snprintf(out, size, "%s", F().systemLetters.c_str());
    return 1;
  };
  a.Undelete_GetHostError = [](uint32_t*, char* text, uint32_t size) noexcept {
    std::snprintf(text, size, "no such image");
    return 1;
  };
  a.Undelete_AddDrive = [](const char*, char, char*) noexcept { return 0; };
  return a;
}
