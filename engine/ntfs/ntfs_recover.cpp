// Recovery of one listed NTFS file: its unnamed data (resident, non-resident with sparse runs, or
// compressed), then each named stream written as a sibling file "target:name".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/filetime.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/text.h"
#include "core/undelete_object.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"
#include "host/host_output.h"

namespace {

constexpr std::size_t kMaxStreamPath = 4096;

struct Copy {
  Undelete* u;
  CachedDrive* drive;
  const NtfsVolume* volume;
  std::uint8_t* buffer;  // one cluster; null when it could not be had
  std::atomic<std::uint64_t>* bytesDone;
  bool failed = false;
};

/// Copies a non-resident run list cluster by cluster up to @p limit bytes, sparse runs as zeros.
void copyClusters(Copy& c, RunCursor& cursor, std::uint64_t limit, int fd, std::uint64_t* written,
                  const char* writeError) noexcept {
  const std::uint32_t cb = c.volume->info.clusterBytes.get();
  const std::uint64_t start = c.volume->info.volumeStart.get();
  std::vector<std::uint8_t> zeros;
  while (*written < limit && !isCancelled(c.u)) {
    std::uint64_t sparse = 0;
    while (*written < limit && cursor.skipSparse(&sparse)) {
      try {
        if (zeros.empty()) zeros.assign(cb, 0);
      } catch (...) {
        c.failed = true;
        return;
      }
      for (std::uint64_t k = 0; k < sparse && *written < limit && !isCancelled(c.u); ++k) {
        const std::uint64_t piece = limit - *written < cb ? limit - *written : cb;
        if (!Host_WriteAll(fd, zeros.data(), piece)) {
          Undelete_Log(c.u, "%s", writeError);
          c.u->error = kErrWriteFile;
          c.failed = true;
        }
        *written += piece;
        if (c.bytesDone) c.bytesDone->fetch_add(piece, std::memory_order_relaxed);
      }
    }
    if (*written >= limit || isCancelled(c.u)) break;
    std::uint64_t cluster = 0;
    if (!cursor.next(&cluster) || cluster == 0) break;
    const std::uint64_t piece = limit - *written < cb ? limit - *written : cb;
    std::uint32_t got = 0;
    if (!CachedDrive_Read(c.drive, cluster * cb + start, cb, c.buffer, &got) || got != cb) {
      Undelete_Log(c.u, "NTFS_RecoverFile: Error reading deleted file.\n");
      c.u->error = kErrReadSource;
      c.failed = true;
    }
    if (!Host_WriteAll(fd, c.buffer, piece)) {
      Undelete_Log(c.u, "%s", writeError);
      c.u->error = kErrWriteFile;
      c.failed = true;
    }
    *written += piece;
    if (c.bytesDone) c.bytesDone->fetch_add(piece, std::memory_order_relaxed);
  }
}

}  // namespace

bool NTFS_RecoverFile(FileRecord* record, std::atomic<std::uint64_t>* bytesDone, Undelete* u,
                      const char* target) noexcept {
  if (record == nullptr || u == nullptr || target == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  (void)CachedDrive_SetWindow(drive, record->volumeOffset.get(), drive->deviceSize);
  const NtfsVolume* volume = NTFS_CurrentVolume(drive);
  const auto* info = static_cast<const NtfsFileInfo*>(Storage_At(u, record->locator.get()));
  if (volume == nullptr || info == nullptr || volume->info.clusterBytes.get() == 0) {
    u->error = kErrInvalidParameter;
    return false;
  }
  const bool fromMft = info->recordNumber.get() != kNtfsNoRecord;
  const auto* data = static_cast<const std::uint8_t*>(Storage_At(u, info->data.get()));
  // A record whose data description was not kept (a run list too long) can only be refused, and
  // so is encrypted data, which reads as ciphertext.
  if ((info->dataFlags.get() & kNtfsDataEncrypted) ||
      (fromMft && data == nullptr && record->size.get() != 0)) {
    Undelete_Log(u, "NTFS_RecoverFile: File is crypted.\n");
    u->error = kErrCrypted;
    return false;
  }
  const int fd = ::open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    Undelete_Log(u, "NTFS_RecoverFile: Unable to create recover file.\n");
    u->error = kErrCreateFile;
    return false;
  }
  const std::uint32_t cb = volume->info.clusterBytes.get();
  const std::uint64_t size = record->size.get();
  std::vector<std::uint8_t> cluster;
  Copy c{u, drive, volume, nullptr, bytesDone};
  try {
    cluster.resize(cb);
    c.buffer = cluster.data();
  } catch (...) {
    Undelete_Log(u, "NTFS_RecoverFile: Unable to allocate memory for cluster read.\n");
    Host_SetLastError(kErrMemory);
    c.failed = true;
  }
  if (!fromMft) {
    // One contiguous extent at the offset kept in the two length fields.
    const std::uint64_t at =
        volume->info.volumeStart.get() +
        (std::uint64_t{info->runListLength.get()} << 32 | info->dataLength.get());
    const std::uint32_t sector = drive->sectorSize ? drive->sectorSize : 512;
    std::uint64_t written = 0;
    while (c.buffer != nullptr && written < size) {
      const auto piece =
          static_cast<std::uint32_t>(size - written < sector ? size - written : sector);
      std::uint32_t got = 0;
      if (!CachedDrive_Read(drive, at + written, piece, c.buffer, &got) || got != piece) {
        Undelete_Log(u, "NTFS_RecoverFile: Error reading deleted file.\n");
        u->error = kErrReadSource;
        c.failed = true;
      }
      if (!Host_WriteAll(fd, c.buffer, piece)) {
        Undelete_Log(u, "NTFS_RecoverFile: Error writing recover file.\n");
        u->error = kErrWriteFile;
        c.failed = true;
      }
      written += piece;
      if (bytesDone) bytesDone->fetch_add(piece, std::memory_order_relaxed);
    }
  } else if (info->runListLength.get() == 0) {
    Undelete_Log(u, "NTFS_RecoverFile: File data is resident.\n");
    const std::uint32_t length = info->dataLength.get();
    if (length != 0 && data != nullptr) {
      if (!Host_WriteAll(fd, data, length)) {
        Undelete_Log(u, "NTFS_RecoverFile: Error writing recover file.\n");
        u->error = kErrWriteFile;
        c.failed = true;
      }
      if (bytesDone) bytesDone->fetch_add(length, std::memory_order_relaxed);
    }
  } else if (c.buffer != nullptr && data != nullptr) {
    Undelete_Log(u, "NTFS_RecoverFile: File data is not resident.\n");
    RunCursor cursor;
    try {
      cursor.load(std::span(data, info->dataLength.get()), volume->info.clusterCount.get());
    } catch (...) {
      c.failed = true;
    }
    if (info->dataFlags.get() & kNtfsDataCompressed) {
      Undelete_Log(u, "NTFS_RecoverFile: File is compressed.\n");
      if (!NTFS_RecoverCompressed(u, cursor, record, fd, bytesDone)) c.failed = true;
    } else {
      std::uint64_t written = 0;
      copyClusters(c, cursor, size, fd, &written,
                   "NTFS_RecoverFile: Error writing recover file.\n");
    }
  }
  cluster.clear();
  const timespec times[2] = {FileTime_ToTimespec(record->accessed.get()),
                             FileTime_ToTimespec(record->modified.get())};
  ::futimens(fd, times);  // creation time has no Linux counterpart
  if (::close(fd) != 0) c.failed = true;

  if (fromMft) {
    std::uint32_t ref = info->streams.get();
    for (int guard = 0; ref != 0 && guard < 4096; ++guard) {
      const auto* s = static_cast<const NtfsStream*>(Storage_At(u, ref));
      if (s == nullptr) break;
      ref = s->next.get();
      const auto* name = static_cast<const char16_t*>(Storage_At(u, s->name.get()));
      std::string path = target;
      path += ':';
      // Stream names are UTF-16 on disk; the sibling file name is UTF-8 like every path here.
      std::string streamName = Text_Utf16ToUtf8(name != nullptr ? name : u"");
      for (char& ch : streamName) {
        if (ch == '/') ch = '_';  // a slash would leave the destination folder
      }
      path += streamName;
      if (path.size() > kMaxStreamPath) {
        std::size_t cut = kMaxStreamPath;
        while (cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80) --cut;
        path.resize(cut);  // whole characters only
      }
      const int sfd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (sfd < 0) {
        Undelete_Log(u, "Not all of file streams could be restored.");
        continue;
      }
      const auto* sdata = static_cast<const std::uint8_t*>(Storage_At(u, s->data.get()));
      if (s->runListLength.get() != 0) {
        Undelete_Log(u, "NTFS_RecoverFile: Stream data is not resident.\n");
        if (bytesDone) bytesDone->store(0, std::memory_order_relaxed);
        std::vector<std::uint8_t> sbuf;
        try {
          sbuf.resize(cb);
        } catch (...) {
          Undelete_Log(u, "NTFS_RecoverFile: Unable to allocate memory for cluster read.\n");
          Host_SetLastError(kErrMemory);
          c.failed = true;
        }
        if (!sbuf.empty() && sdata != nullptr) {
          RunCursor cursor;
          try {
            cursor.load(std::span(sdata, s->runListLength.get()), volume->info.clusterCount.get());
          } catch (...) {
            c.failed = true;
          }
          if (s->dataFlags.get() & kNtfsDataCompressed) {
            Undelete_Log(u, "NTFS_RecoverFile: Stream is compressed.\n");
            if (!NTFS_RecoverCompressedTo(u, cursor, record, sfd, bytesDone, s->size.get())) {
              c.failed = true;
            }
          } else {
            Copy sc{u, drive, volume, sbuf.data(), bytesDone};
            std::uint64_t written = 0;
            copyClusters(sc, cursor, s->size.get(), sfd, &written,
                         "NTFS_RecoverFile: Error writing recover stream.\n");
            if (sc.failed) c.failed = true;
          }
        }
      } else {
        Undelete_Log(u, "NTFS_RecoverFile: Stream data is resident.\n");
        const std::uint32_t length = s->size.get();
        if (length != 0 && sdata != nullptr && !Host_WriteAll(sfd, sdata, length)) {
          Undelete_Log(u, "NTFS_RecoverFile: Error writing recover stream.\n");
          u->error = kErrWriteFile;
          c.failed = true;
        }
        if (bytesDone) bytesDone->store(length, std::memory_order_relaxed);
      }
      ::close(sfd);
    }
  }
  return !c.failed;
}
