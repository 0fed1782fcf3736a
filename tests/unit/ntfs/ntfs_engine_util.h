// Test helpers: scan an NTFS image with the engine directly (no search thread) and read back the
// listed files with their folder paths.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

#include "test_support.h"

namespace ntfstest {

using kvxtest::utf8;

struct Listed {
  std::uint32_t index = 0;
  std::string name;
  std::string path;  // folders below the root joined by '/', then the name
  std::uint64_t size = 0;
  bool existing = false;
  std::uint8_t state = 0;
  std::uint64_t recordNumber = 0;
  std::uint8_t attributes = 0;
};

/// One engine object scanning one image.
class ImageScan {
 public:
  explicit ImageScan(const std::string& image, std::uint32_t options = 0,
                     std::uint64_t windowStart = 0) {
    Undelete_Create(&m_u);
    m_ok = Storage_Reserve(m_u);
    m_ok = CachedDrive_Create(&m_drive) && m_ok;
    m_ok = m_ok &&
           CachedDrive_OpenDevice(m_drive, Host_OpenPath(image, false, false), kHostDriveFixed);
    if (m_ok && windowStart != 0)
      m_ok = CachedDrive_SetWindow(m_drive, windowStart, m_drive->deviceSize);
    m_u->drive = m_drive;
    m_u->options = options;
    std::memset(m_u->scanMarks, 0xFF, sizeof m_u->scanMarks);
    std::memset(m_u->scanScratch, 0xFF, sizeof m_u->scanScratch);
    m_ok = m_ok &&
           Storage_AddFolder(m_u, u"ROOT", kNoParent, 0xFFFF, 0, false, false, &m_u->rootFolder);
    if (m_ok) m_u->rootName = Storage_Folder(m_u, m_u->rootFolder)->name.get();
    m_recognized = m_ok && NTFS_RecognizeDrive(m_drive, m_u);
    if (m_recognized) {
      CachedDrive_SelectFileSystem(m_drive, 0);
      m_u->passFirstFile = m_u->fileCount.load();
      m_scanned = NTFS_SearchFiles(m_u);
    }
  }
  ~ImageScan() {
    Undelete_Done(m_u);
    if (m_drive) {
      CachedDrive_Close(m_drive);
      CachedDrive_Destroy(m_drive);
    }
    Undelete_Delete(m_u);
  }
  ImageScan(const ImageScan&) = delete;
  ImageScan& operator=(const ImageScan&) = delete;

  [[nodiscard]] bool recognized() const { return m_recognized; }
  [[nodiscard]] bool scanned() const { return m_scanned; }
  [[nodiscard]] Undelete* engine() const { return m_u; }

  std::string folderPath(std::uint32_t folder) const {
    std::vector<std::string> parts;
    for (int guard = 0; guard < 256 && folder != m_u->rootFolder && folder != kNoParent; ++guard) {
      const FolderRecord* f = Storage_Folder(m_u, folder);
      if (f == nullptr) break;
      parts.push_back(utf8(static_cast<const char16_t*>(Storage_At(m_u, f->name.get()))));
      folder = f->parent.get();
    }
    std::string out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) out += *it + "/";
    return out;
  }

  std::vector<Listed> files() const {
    std::vector<Listed> out;
    for (std::uint32_t i = 0; i < m_u->fileCount.load(); ++i) {
      const FileRecord* f = Storage_File(m_u, i);
      Listed l;
      l.index = i;
      l.name = utf8(static_cast<const char16_t*>(Storage_At(m_u, f->name.get())));
      l.path = folderPath(f->folder.get()) + l.name;
      l.size = f->size.get();
      l.existing = (f->status & 1) != 0;
      l.state = static_cast<std::uint8_t>((f->status >> 1) & 0x1F);
      l.attributes = f->attributes;
      const auto* info = static_cast<const NtfsFileInfo*>(Storage_At(m_u, f->locator.get()));
      l.recordNumber = info ? info->recordNumber.get() : 0;
      out.push_back(l);
    }
    return out;
  }

  bool recover(std::uint32_t index, const std::string& target) {
    m_u->bytesDone = 0;
    return NTFS_RecoverFile(Storage_File(m_u, index), &m_u->bytesDone, m_u, target.c_str());
  }

 private:
  Undelete* m_u = nullptr;
  CachedDrive* m_drive = nullptr;
  bool m_ok = false;
  bool m_recognized = false;
  bool m_scanned = false;
};

}  // namespace ntfstest
