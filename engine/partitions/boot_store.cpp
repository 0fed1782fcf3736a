// The boot store (Boot\BCD) of a volume nobody has mounted: a disk is written only with all its
// volumes unmounted, so the boot-code repair reads the store the way a scan and a recovery read
// any file, through the engine's own file-system scanners, read-only, into a private folder.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/search.h"
#include "core/storage.h"
#include "core/text.h"
#include "core/undelete_object.h"
#include "partitions/partitions.h"
#include "partitions/repair.h"
#include "undelete/undelete.h"

namespace {

bool fatOrNtfsFs(std::uint8_t fs) {
  return fs == kFsNtfs || fs == kFsFat12 || fs == kFsFat16 || fs == kFsFat32;
}

struct Volume {
  std::uint64_t start;
  std::uint64_t length;
};

/// The disk's FAT and NTFS volumes: those of the last lost-partition scan when it was of this
/// disk (entries in place), and those of the partition list.
std::vector<Volume> volumesOf(const Undelete* u, int drive) {
  std::vector<Volume> out;
  const auto add = [&](std::uint64_t start, std::uint64_t length) {
    if (length == 0) return;
    for (const Volume& v : out)
      if (v.start == start) return;
    out.push_back({start, length});
  };
  const std::uint32_t state = std::atomic_ref<const std::uint32_t>(u->partitionFlags).load();
  // Hidden FAT and NTFS types (0x1x) too.
  if ((state & 0x1FFFFFFu) == static_cast<std::uint32_t>(drive))
    for (const FoundPartition& p : u->foundPartitions)
      if (p.type != 0 && foundStatus(p) == kPartExisting && Part_RecognizedType(p.type & 0xEFu))
        add(p.start.get(), p.length.get());
  for (unsigned i = 0; i < u->partitionCount && i < kMaxPartitions; ++i) {
    const PartitionRecord& r = u->partitions[i];
    if (r.drive == drive && r.number != kUnallocatedArea && fatOrNtfsFs(r.fileSystem))
      add(r.start.get(), r.length.get());
  }
  return out;
}

bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

/// The UTF-16 string of reference @p ref, cut at its NUL or the end of the storage.
std::u16string nameAt(const Undelete* v, std::uint32_t ref) {
  const auto bytes = Storage_BytesAt(v, ref);
  std::size_t units = 0;
  while (units * 2 + 1 < bytes.size() && (bytes[units * 2] | bytes[units * 2 + 1]) != 0) ++units;
  return Text_Utf16Le(bytes.data(), units);
}

/// Index of the existing file Boot\BCD (any case) in the scan's list, or -1.
long findStore(const Undelete* v, std::size_t limit) {
  char16_t path[1024];
  for (std::uint32_t i = 0; i < v->fileCount.load(); ++i) {
    const FileRecord* f = Storage_File(v, i);
    if (f == nullptr || (f->status & kStatusExisting) == 0 || (f->marks.get() & 1) != 0 ||
        f->size.get() == 0 || f->size.get() > limit ||
        !equalsIgnoreCase(nameAt(v, f->name.get()), u"BCD"))
      continue;
    const FolderRecord* folder = Storage_Folder(v, f->folder.get());
    if (folder == nullptr || (folder->flags.get() & kFolderDeleted) != 0 ||
        !Storage_FolderPath(v, f->folder.get(), path, std::size(path)))
      continue;
    // "root\Boot\": the volume's root folder comes first, named after the volume.
    const std::u16string_view p(path);
    const auto afterRoot = p.find(u'\\');
    if (afterRoot != std::u16string_view::npos &&
        equalsIgnoreCase(p.substr(afterRoot + 1), u"Boot\\"))
      return static_cast<long>(i);
  }
  return -1;
}

/// Recovers file @p index of the scan into a private folder and reads it back (at most
/// @p limit bytes); the folder and the file are gone afterwards.
std::vector<std::uint8_t> recoverBytes(Undelete* v, std::uint32_t index, std::size_t limit) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kvx-store-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) return {};
  std::vector<std::uint8_t> data;
  const int folder = Undelete_OpenOutputFolder(-1, dir.c_str(), nullptr, 0);
  if (folder >= 0) {
    char chosen[256] = {};
    const bool ok = Undelete_RecoverFileAt(v, index, folder, "BCD", chosen, sizeof chosen) == 1;
    if (chosen[0] != '\0') {
      const int fd = ::openat(folder, chosen, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (ok && fd >= 0) {
        std::uint8_t buf[65536];
        ssize_t n;
        while (data.size() < limit && (n = ::read(fd, buf, sizeof buf)) > 0)
          data.insert(data.end(), buf, buf + n);
      }
      if (fd >= 0) ::close(fd);
      (void)::unlinkat(folder, chosen, 0);
    }
    ::close(folder);
  }
  (void)::rmdir(dir.c_str());
  if (data.size() > limit) data.resize(limit);
  return data;
}

/// The store's bytes from the volume at [@p start, +@p length) of disk @p drive; empty when the
/// volume holds none. A private engine object scans it, so the caller's lists stay as they are.
std::vector<std::uint8_t> readStore(int drive, std::uint64_t start, std::uint64_t length,
                                    std::size_t limit) {
  Undelete* v = nullptr;
  if (Undelete_Create(&v) == 0 || v == nullptr) return {};
  PartitionRecord& r = v->partitions[0];
  r.start.set(start);
  r.length.set(length);
  r.drive = static_cast<std::uint8_t>(drive);
  std::snprintf(r.description, sizeof r.description, "boot store volume");
  v->partitionCount = 1;
  std::vector<std::uint8_t> data;
  const std::uint32_t driveSpec = kSpecPartition << 24;
  if (Undelete_SearchMultiple(v, &driveSpec, 1, 0, nullptr, nullptr, nullptr) == 1) {
    Search_JoinThread(v);
    const long index = findStore(v, limit);
    if (index >= 0) data = recoverBytes(v, static_cast<std::uint32_t>(index), limit);
  }
  Undelete_Delete(v);
  return data;
}

}  // namespace

std::uint32_t Repair_StoreSignature(ByteSpan data) noexcept {
  static constexpr char kKey[] = "11000001";
  static constexpr char kElement[] = "Element";
  if (data.size() <= 200) return 0;
  for (std::size_t at = 0; at + 0x68 <= data.size(); ++at) {
    if (std::memcmp(&data[at], kKey, 8) != 0) continue;
    if (at + 0x20 + sizeof kElement > data.size() ||
        std::memcmp(&data[at + 0x20], kElement, sizeof kElement) != 0)
      continue;
    std::uint32_t sig = 0;
    for (int b = 3; b >= 0; --b) sig = (sig << 8) | data[at + 0x64 + static_cast<unsigned>(b)];
    if (sig != 0) return sig;
  }
  return 0;
}

bool Repair_ForEachBootStore(Undelete* u, int drive, std::size_t limit,
                             const std::function<bool(const std::vector<std::uint8_t>&)>& take) {
  for (const Volume& vol : volumesOf(u, drive)) {
    const auto data = readStore(drive, vol.start, vol.length, limit);
    if (!data.empty() && take(data)) return true;
  }
  return false;
}
