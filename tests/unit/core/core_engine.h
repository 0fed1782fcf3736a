// An engine object with small result regions, for the core tests.
#pragma once

#include <cstdint>
#include <string>

#include "core/storage.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

namespace coretest {

class SmallEngine {
 public:
  /// Reserves are in pages of the host's page size.
  explicit SmallEngine(std::uint32_t filePages = 64, std::uint32_t stringPages = 64,
                       std::uint32_t folderPages = 64) {
    Undelete_Create(&m_u);
    const std::uint32_t page = m_u->pageSize & ~kOutOfMemory;
    m_u->filesReserve = filePages * page;
    m_u->stringsReserve = stringPages * page;
    m_u->foldersReserve = folderPages * page;
    m_reserved = Storage_Reserve(m_u);
  }
  ~SmallEngine() { Undelete_Delete(m_u); }
  SmallEngine(const SmallEngine&) = delete;
  SmallEngine& operator=(const SmallEngine&) = delete;

  Undelete* operator->() const { return m_u; }
  [[nodiscard]] Undelete* get() const { return m_u; }
  [[nodiscard]] bool reserved() const { return m_reserved; }
  [[nodiscard]] std::uint32_t page() const { return m_u->pageSize & ~kOutOfMemory; }

 private:
  Undelete* m_u = nullptr;
  bool m_reserved = false;
};

inline FileRecord fileRecord(bool existing = false) {
  FileRecord r{};
  r.status = existing ? kStatusExisting : 0;
  r.overwrittenBy.set(0xFFFFFFFFu);
  return r;
}

/// The UTF-16 string at @p ref, read through the interface.
inline std::u16string stringAt(Undelete* u, std::uint32_t ref) {
  const void* p = nullptr;
  if (!Undelete_GetString(u, ref, &p)) return u"<none>";
  return std::u16string(static_cast<const char16_t*>(p));
}

}  // namespace coretest
