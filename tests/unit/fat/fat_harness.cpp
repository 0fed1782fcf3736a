#include "fat_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>

#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "host/host.h"
#include "test_support.h"

namespace fattest {


namespace {

std::string folderPath(Undelete* u, std::uint32_t index) {
  char16_t buf[8192];
  if (!Storage_FolderPath(u, index, buf, std::size(buf))) return "?";
  std::string p = utf8(buf);
  // Drop the root's name and turn separators around: "ROOT\a\b\" -> "a/b/".
  const auto first = p.find('\\');
  p = first == std::string::npos ? std::string() : p.substr(first + 1);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

}  // namespace

Scan::Scan(const std::filesystem::path& image, std::uint32_t options, std::uint64_t windowStart,
           std::uint64_t windowLength) {
  if (!Undelete_Create(&m_u)) return;
  if (!CachedDrive_Create(&m_drive)) return;
  auto device = Host_OpenPath(image.string(), false, false);
  if (!device || !CachedDrive_OpenDevice(m_drive, std::move(device), kHostDriveFixed)) return;
  if (windowStart != 0 || windowLength != ~0ull) {
    if (!CachedDrive_SetWindow(m_drive, windowStart, windowLength)) return;
  }
  if (!Storage_Reserve(m_u)) return;
  m_u->options = options;
  // As the search thread does at the start of each drive.
  std::memset(m_u->scanScratch, 0xFF, sizeof m_u->scanScratch);
  std::memset(m_u->scanMarks, 0xFF, sizeof m_u->scanMarks);
  m_u->drive = m_drive;
  std::uint32_t root = 0;
  if (!Storage_AddFolder(m_u, u"ROOT", kNoParent, 0xFFFF, 0, false, false, &root)) return;
  m_u->rootFolder = root;
  m_u->passFirstFile = m_u->fileCount;
  m_u->dupFirst = m_u->dupEnd = m_u->fileCount;
  if (!FAT_RecognizeDrive(m_u, m_drive)) return;
  m_recognized = true;
  (void)CachedDrive_SelectFileSystem(m_drive, 0);
  (void)FAT_SearchFiles(m_u);
  const std::uint32_t nf = m_u->folderCount;
  for (std::uint32_t i = 0; i < nf; ++i) {
    const FolderRecord* f = Storage_Folder(m_u, i);
    m_folders.push_back({folderPath(m_u, i), (f->flags.get() & kFolderDeleted) != 0});
  }
  const std::uint32_t n = m_u->fileCount;
  for (std::uint32_t i = 0; i < n; ++i) {
    const FileRecord* r = Storage_File(m_u, i);
    Found f;
    f.index = i;
    const auto* name = static_cast<const char16_t*>(Storage_At(m_u, r->name.get()));
    f.path = folderPath(m_u, r->folder.get()) + (name != nullptr ? utf8(name) : "?");
    f.size = r->size.get();
    f.existing = (r->status & kStatusExisting) != 0;
    f.state = (r->status >> 1) & 0x1F;
    f.overwritten = r->overwrittenClusters.get();
    f.total = r->totalClusters.get();
    f.overwrittenBy = static_cast<std::int32_t>(r->overwrittenBy.get());
    f.modified = r->modified.get();
    f.created = r->created.get();
    f.accessed = r->accessed.get();
    m_files.push_back(f);
  }
}

Scan::~Scan() {
  if (m_u != nullptr) {
    m_u->drive = nullptr;
    Undelete_Delete(m_u);
  }
  if (m_drive != nullptr) CachedDrive_Destroy(m_drive);
}

const Found* Scan::find(const std::string& path, bool deleted) const {
  for (const auto& f : m_files) {
    if (f.path == path && f.existing != deleted) return &f;
  }
  return nullptr;
}

bool Scan::recover(std::uint32_t index, const std::filesystem::path& target) {
  FileRecord* r = Storage_File(m_u, index);
  if (r == nullptr) return false;
  m_u->drive = m_drive;
  (void)CachedDrive_SelectFileSystem(m_drive, r->fsIndex.get());
  return FAT_RecoverFile(m_u, r, target.c_str(), &m_u->bytesDone);
}

std::vector<FlsEntry> fls(const std::filesystem::path& image, bool deletedOnly) {
  std::vector<FlsEntry> out;
  const auto res = kvxtest::run(std::string("fls -r -p -l ") + (deletedOnly ? "-d " : "") +
                                "-f fat " + kvxtest::quote(image.string()) + " 2>/dev/null");
  std::istringstream in(res.out);
  std::string line;
  while (std::getline(in, line)) {
    // "r/r * 12:\tdir/name\tmtime\tatime\tctime\tcrtime\tsize\tuid\tgid"
    std::vector<std::string> cols;
    std::size_t at = 0;
    while (true) {
      const auto tab = line.find('\t', at);
      cols.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    if (cols.size() < 7) continue;
    FlsEntry e;
    e.deleted = cols[0].find('*') != std::string::npos;
    e.directory = cols[0].rfind("d/", 0) == 0;
    const auto colon = cols[0].rfind(':');
    const auto sp = cols[0].rfind(' ', colon);
    e.inode = cols[0].substr(sp + 1, colon - sp - 1);
    e.path = cols[1];
    e.size = std::stoull(cols[6]);
    if (e.path.rfind("$", 0) == 0 || e.path.find("(Volume Label Entry)") != std::string::npos)
      continue;
    out.push_back(e);
  }
  return out;
}

}  // namespace fattest
