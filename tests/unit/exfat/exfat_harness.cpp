#include "exfat_harness.h"

#include <unistd.h>

#include <cstring>
#include <sstream>

#include "core/storage.h"
#include "core/undelete_object.h"
#include "exfat/exfat.h"
#include "host/host.h"

namespace exfattest {

namespace {

std::string folderPath(Undelete* u, std::uint32_t index) {
  char16_t buf[8192];
  if (!Storage_FolderPath(u, index, buf, std::size(buf))) return "?";
  std::string p = kvxtest::utf8(buf);
  const auto first = p.find('\\');  // "ROOT\a\b\" -> "a/b/"
  p = first == std::string::npos ? std::string() : p.substr(first + 1);
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

}  // namespace

Scan::Scan(const std::filesystem::path& image, std::uint32_t options) {
  if (!Undelete_Create(&m_u) || !CachedDrive_Create(&m_drive)) return;
  auto device = Host_OpenPath(image.string(), false, false);
  if (!device || !CachedDrive_OpenDevice(m_drive, std::move(device), kHostDriveFixed)) return;
  if (!Storage_Reserve(m_u)) return;
  m_u->options = options;
  std::memset(m_u->scanScratch, 0xFF, sizeof m_u->scanScratch);
  std::memset(m_u->scanMarks, 0xFF, sizeof m_u->scanMarks);
  m_u->drive = m_drive;
  std::uint32_t root = 0;
  if (!Storage_AddFolder(m_u, u"ROOT", kNoParent, 0xFFFF, 0, false, false, &root)) return;
  m_u->rootFolder = root;
  m_u->passFirstFile = m_u->fileCount;
  m_u->dupFirst = m_u->dupEnd = m_u->fileCount;
  if (!EXFAT_RecognizeDrive(m_u, m_drive)) return;
  m_recognized = true;
  (void)CachedDrive_SelectFileSystem(m_drive, 0);
  (void)EXFAT_SearchFiles(m_u);
  for (std::uint32_t i = 0; i < m_u->folderCount; ++i) {
    const FolderRecord* f = Storage_Folder(m_u, i);
    m_folders.push_back({folderPath(m_u, i), (f->flags.get() & kFolderDeleted) != 0});
  }
  for (std::uint32_t i = 0; i < m_u->fileCount; ++i) {
    const FileRecord* r = Storage_File(m_u, i);
    Found f;
    f.index = i;
    const auto* name = static_cast<const char16_t*>(Storage_At(m_u, r->name.get()));
    f.path = folderPath(m_u, r->folder.get()) + (name != nullptr ? kvxtest::utf8(name) : "?");
    f.size = r->size.get();
    f.existing = (r->status & kStatusExisting) != 0;
    f.state = (r->status >> 1) & 0x1F;
    f.overwritten = r->overwrittenClusters.get();
    f.total = r->totalClusters.get();
    f.overwrittenBy = static_cast<std::int32_t>(r->overwrittenBy.get());
    f.modified = r->modified.get();
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
  for (const auto& f : m_files)
    if (f.path == path && f.existing != deleted) return &f;
  return nullptr;
}

bool Scan::recover(std::uint32_t index, const std::filesystem::path& target) {
  FileRecord* r = Storage_File(m_u, index);
  if (r == nullptr) return false;
  m_u->drive = m_drive;
  (void)CachedDrive_SelectFileSystem(m_drive, r->fsIndex.get());
  return EXFAT_RecoverFile(m_u, r, target.c_str(), &m_u->bytesDone);
}

std::vector<FlsEntry> fls(const std::filesystem::path& image) {
  std::vector<FlsEntry> out;
  const auto res =
      kvxtest::run("fls -r -p -l -f exfat " + kvxtest::quote(image.string()) + " 2>/dev/null");
  std::istringstream in(res.out);
  std::string line;
  while (std::getline(in, line)) {
    // "r/r * 12:\tdir/name\tmtime\tatime\tctime\tcrtime\tsize\tuid\tgid"
    std::vector<std::string> cols;
    for (std::size_t at = 0;;) {
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
    // Metadata files and the label are the oracle's own names, not files of the volume.
    if (e.path.rfind("$", 0) == 0 || e.path.find("(Volume Label Entry)") != std::string::npos)
      continue;
    out.push_back(e);
  }
  return out;
}

bool canBuildImages() {
  return ::geteuid() == 0 &&
         kvxtest::haveTools({"mkfs.exfat", "mount.exfat-fuse", "losetup", "fls", "icat", "md5sum"});
}

bool withMount(const std::filesystem::path& image, const std::string& commands) {
  const auto script = kvxtest::sourceDir() / "tests/tools/exfat_fuse.sh";
  const auto r = kvxtest::run("bash " + kvxtest::quote(script.string()) + " " +
                              kvxtest::quote(image.string()) + " " + kvxtest::quote(commands));
  return r.exitCode == 0;
}

}  // namespace exfattest
