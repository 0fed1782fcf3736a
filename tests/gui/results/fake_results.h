// Records for the results tests and benchmark: files and folders as the engine lays them out,
// with a string table of our own behind the string references.
#pragma once

#include <cstring>
#include <deque>
#include <string>

#include "gui_text.h"
#include "results/result_records.h"

namespace resultstest {

inline constexpr std::uint64_t kDay = 864000000000ull;
/// 2026-03-14 00:00 as a FILETIME.
inline constexpr std::uint64_t kMidnight = (20526ull * 86400ull + 11644473600ull) * 10000000ull;

class FakeResults {
 public:
  struct File {
    std::u16string name;
    std::uint32_t folder = 0;
    std::uint64_t size = 100;
    unsigned state = kStateExisting;  // kStateExisting makes an existing file
    std::uint8_t attributes = 0;
    std::uint64_t modified = kMidnight;
  };

  std::uint32_t string(const std::u16string& s) {
    m_strings.push_back(s);
    return 0x80000000u | static_cast<std::uint32_t>(m_strings.size());
  }
  std::uint32_t folder(const std::u16string& name, std::uint32_t parent, std::uint32_t flags = 0) {
    FolderRecord f{};
    f.name.set(string(name));
    f.parent.set(parent);
    f.flags.set(flags);
    folders.push_back(f);
    return static_cast<std::uint32_t>(folders.size() - 1);
  }
  std::uint32_t file(const File& d) {
    FileRecord r{};
    r.name.set(string(d.name));
    r.folder.set(d.folder);
    r.size.set(d.size);
    r.status = static_cast<std::uint8_t>((d.state << 1) | (d.state == kStateExisting ? 1 : 0));
    r.attributes = d.attributes;
    r.modified.set(d.modified);
    r.overwrittenBy.set(0xFFFFFFFFu);
    for (auto& c : r.firstOverwritten) c.set(~0ull);
    files.push_back(r);
    return static_cast<std::uint32_t>(files.size() - 1);
  }
  /// The records as the model reads them; valid while this object lives and does not grow.
  results::ResultRecords records() const {
    results::ResultRecords out;
    for (const FileRecord& r : files) out.files.push_back(&r);
    for (const FolderRecord& f : folders) out.folders.push_back(&f);
    out.string = [this](std::uint32_t ref) -> const char16_t* {
      const std::uint32_t k = ref & 0x7FFFFFFFu;
      if ((ref & 0x80000000u) == 0 || k == 0 || k > m_strings.size()) return nullptr;
      return m_strings[k - 1].c_str();
    };
    out.stateName = [](unsigned s) -> const char* {
      static const char* const kNames[] = {"Unrecoverable", "Bad",       "Poor",
                                           "Good",          "Excellent", "Existing"};
      return s <= 5 ? kNames[s] : nullptr;
    };
    out.sizeText = Gui_SizeText;
    return out;
  }

  std::deque<FileRecord> files;  // a deque: records keep their addresses while more are added
  std::deque<FolderRecord> folders;

 private:
  std::deque<std::u16string> m_strings;
};

}  // namespace resultstest
