// Recovery of one listed NTFS file: its unnamed data (resident, non-resident with sparse runs, or
// compressed), then each named stream written as a sibling file "target:name".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/filetime.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/recover_output.h"
#include "core/storage.h"
#include "core/text.h"
#include "core/undelete_object.h"
#include "host/host_output.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

namespace {

constexpr std::size_t kMaxStreamPath = 4096;

struct Copy {
  Undelete* u;
  CachedDrive* drive;
  const NtfsVolume* volume;
  std::uint8_t* buffer;  // one cluster; null when it could not be had
  std::atomic<std::uint64_t>* bytesDone;
  bool failed = false;
  bool readError = false;  // what was written is all the source gave: worth keeping as partial
};

/// Copies a non-resident run list cluster by cluster up to @p limit bytes, sparse runs as zeros.
/// Fails when a cluster cannot be read or the list ends before @p limit.
void copyClusters(Copy& c, RunCursor& cursor, std::uint64_t limit, int fd, std::uint64_t* written,
                  const char* writeError) noexcept {
  const std::uint32_t cb = c.volume->info.clusterBytes.get();
  const std::uint64_t start = c.volume->info.volumeStart.get();
  std::vector<std::uint8_t> zeros;
  auto put = [&](const std::uint8_t* data, std::uint64_t piece) {
    if (!Host_WriteAll(fd, data, piece)) {
      Undelete_Log(c.u, "%s", writeError);
      c.u->error = kErrWriteFile;
      c.failed = true;
      return false;
    }
    *written += piece;
    if (c.bytesDone) c.bytesDone->fetch_add(piece, std::memory_order_relaxed);
    return true;
  };
  while (*written < limit && !c.failed && !isCancelled(c.u)) {
    std::uint64_t sparse = 0;
    while (*written < limit && !c.failed && cursor.skipSparse(&sparse)) {
      try {
        if (zeros.empty()) zeros.assign(cb, 0);
      } catch (...) {
        Host_SetLastError(kErrMemory);
        c.failed = true;
        return;
      }
      for (std::uint64_t k = 0; k < sparse && *written < limit && !isCancelled(c.u); ++k)
        if (!put(zeros.data(), limit - *written < cb ? limit - *written : cb)) return;
    }
    if (*written >= limit || isCancelled(c.u)) break;
    // Cluster 0 is data like any other when the list says so (the boot file's run starts there).
    std::uint64_t cluster = 0;
    if (!cursor.next(&cluster)) {
      Undelete_Log(c.u, "NTFS_RecoverFile: Run list ends before the end of the file.\n");
      c.u->error = kErrReadSource;
      c.failed = c.readError = true;
      return;
    }
    std::uint32_t got = 0;
    if (!CachedDrive_Read(c.drive, cluster * cb + start, cb, c.buffer, &got) || got != cb) {
      Undelete_Log(c.u, "NTFS_RecoverFile: Error reading deleted file.\n");
      c.u->error = kErrReadSource;
      c.failed = c.readError = true;
      return;
    }
    if (!put(c.buffer, limit - *written < cb ? limit - *written : cb)) return;
  }
  if (!c.failed && *written < limit) {  // only a cancel ends the loop early
    c.u->error = kErrUserAbort;
    c.failed = true;
  }
}

/// A stream name (UTF-16 on disk) as the UTF-8 suffix of its sibling file; a slash would leave
/// the folder and becomes '_'.
std::string streamSuffix(const char16_t* name) {
  std::string path = Text_Utf16ToUtf8(name != nullptr ? name : u"");
  for (char& ch : path) {
    if (ch == '/') ch = '_';
  }
  if (path.size() > kMaxStreamPath) {
    std::size_t cut = kMaxStreamPath;
    while (cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80) --cut;
    path.resize(cut);  // whole characters only
  }
  return path;
}

/// Writes one named stream into @p fd; false (with c.failed) when it is not whole.
void copyStream(Copy& c, const NtfsStream& s, FileRecord* record, int fd,
                std::atomic<std::uint64_t>* bytesDone) noexcept {
  Undelete* u = c.u;
  const std::uint32_t stored = s.runListLength.get() != 0 ? s.runListLength.get() : s.size.get();
  const auto* sdata = static_cast<const std::uint8_t*>(Storage_Block(u, s.data.get(), stored));
  if (s.runListLength.get() != 0) {
    Undelete_Log(u, "NTFS_RecoverFile: Stream data is not resident.\n");
    if (bytesDone) bytesDone->store(0, std::memory_order_relaxed);
    if (sdata == nullptr) {
      u->error = kErrReadSource;
      c.failed = true;
      return;
    }
    RunCursor cursor;
    try {
      cursor.load(std::span(sdata, s.runListLength.get()), c.volume->info.clusterCount.get());
    } catch (...) {
      Host_SetLastError(kErrMemory);
      c.failed = true;
      return;
    }
    // A named stream carries its own compression flag: the unnamed stream's says nothing about it.
    if (s.dataFlags.get() & kNtfsDataCompressed) {
      Undelete_Log(u, "NTFS_RecoverFile: Stream is compressed.\n");
      if (!NTFS_RecoverCompressedTo(u, cursor, record, fd, bytesDone, s.size.get()))
        c.failed = true;
    } else {
      std::uint64_t written = 0;
      copyClusters(c, cursor, s.size.get(), fd, &written,
                   "NTFS_RecoverFile: Error writing recover stream.\n");
    }
    return;
  }
  Undelete_Log(u, "NTFS_RecoverFile: Stream data is resident.\n");
  const std::uint32_t length = s.size.get();
  if (length != 0 && sdata == nullptr) {
    u->error = kErrReadSource;
    c.failed = true;
  } else if (length != 0 && !Host_WriteAll(fd, sdata, length)) {
    Undelete_Log(u, "NTFS_RecoverFile: Error writing recover stream.\n");
    u->error = kErrWriteFile;
    c.failed = true;
  }
  if (bytesDone) bytesDone->store(length, std::memory_order_relaxed);
}

}  // namespace

bool NTFS_RecoverFile(FileRecord* record, std::atomic<std::uint64_t>* bytesDone, Undelete* u,
                      const char* target) noexcept {
  if (record == nullptr || u == nullptr || target == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  (void)CachedDrive_SetWindow(drive, record->volumeOffset.get(), drive->deviceSize);
  const NtfsVolume* volume = NTFS_CurrentVolume(drive);
  const auto* info = Storage_Get<NtfsFileInfo>(u, record->locator.get());
  if (volume == nullptr || info == nullptr || volume->info.clusterBytes.get() == 0) {
    u->error = kErrInvalidParameter;
    return false;
  }
  const bool fromMft = info->recordNumber.get() != kNtfsNoRecord;
  const auto* data =
      fromMft ? static_cast<const std::uint8_t*>(Storage_Block(u, info->data.get(), info->dataLength.get()))
              : nullptr;
  // A record whose data description was not kept (a run list too long) can only be refused, and
  // so is encrypted data, which reads as ciphertext.
  if ((info->dataFlags.get() & kNtfsDataEncrypted) ||
      (fromMft && data == nullptr && record->size.get() != 0)) {
    Undelete_Log(u, "NTFS_RecoverFile: File is crypted.\n");
    u->error = kErrCrypted;
    return false;
  }
  HostOutputFile out;
  if (!Recover_CreateOutput(u, out, target, "NTFS_RecoverFile: Unable to create recover file.\n"))
    return false;
  const int fd = out.fd();
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
  if (c.failed) {
    // Nothing to do but end the file.
  } else if (!fromMft) {
    // One contiguous extent at the offset kept in the two length fields.
    const std::uint64_t at =
        volume->info.volumeStart.get() +
        (std::uint64_t{info->runListLength.get()} << 32 | info->dataLength.get());
    const std::uint32_t sector = drive->sectorSize ? drive->sectorSize : 512;
    std::uint64_t written = 0;
    while (written < size && !isCancelled(u)) {
      const auto piece =
          static_cast<std::uint32_t>(size - written < sector ? size - written : sector);
      std::uint32_t got = 0;
      if (!CachedDrive_Read(drive, at + written, piece, c.buffer, &got) || got != piece) {
        Undelete_Log(u, "NTFS_RecoverFile: Error reading deleted file.\n");
        u->error = kErrReadSource;
        c.failed = c.readError = true;
        break;
      }
      if (!Host_WriteAll(fd, c.buffer, piece)) {
        Undelete_Log(u, "NTFS_RecoverFile: Error writing recover file.\n");
        u->error = kErrWriteFile;
        c.failed = true;
        break;
      }
      written += piece;
      if (bytesDone) bytesDone->fetch_add(piece, std::memory_order_relaxed);
    }
    if (!c.failed && written < size) {
      u->error = kErrUserAbort;
      c.failed = true;
    }
  } else if (info->runListLength.get() == 0) {
    Undelete_Log(u, "NTFS_RecoverFile: File data is resident.\n");
    const std::uint32_t length = info->dataLength.get();
    if (length < size || (length != 0 && data == nullptr)) {
      // The resident value holds less than the file's size: not the whole file.
      u->error = kErrReadSource;
      c.failed = true;
    } else if (length != 0) {
      if (!Host_WriteAll(fd, data, size)) {
        Undelete_Log(u, "NTFS_RecoverFile: Error writing recover file.\n");
        u->error = kErrWriteFile;
        c.failed = true;
      }
      if (bytesDone) bytesDone->fetch_add(size, std::memory_order_relaxed);
    }
  } else if (data == nullptr) {
    u->error = kErrReadSource;
    c.failed = true;
  } else {
    Undelete_Log(u, "NTFS_RecoverFile: File data is not resident.\n");
    RunCursor cursor;
    try {
      cursor.load(std::span(data, info->dataLength.get()), volume->info.clusterCount.get());
    } catch (...) {
      Host_SetLastError(kErrMemory);
      c.failed = true;
    }
    if (c.failed) {
    } else if (info->dataFlags.get() & kNtfsDataCompressed) {
      Undelete_Log(u, "NTFS_RecoverFile: File is compressed.\n");
      if (!NTFS_RecoverCompressed(u, cursor, record, fd, bytesDone)) c.failed = c.readError = true;
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

  // Named streams go beside the data file, under its final name; a stream that cannot be created
  // or written whole fails the file as a short data stream would.
  std::vector<std::unique_ptr<HostOutputFile>> streams;
  if (fromMft && !c.failed) {
    std::uint32_t ref = info->streams.get();
    for (int guard = 0; ref != 0 && guard < 4096 && !c.failed; ++guard) {
      const auto* s = Storage_Get<NtfsStream>(u, ref);
      if (s == nullptr) break;
      ref = s->next.get();
      std::unique_ptr<HostOutputFile> file(new (std::nothrow) HostOutputFile);
      std::string suffix;
      try {
        suffix = streamSuffix(static_cast<const char16_t*>(Storage_At(u, s->name.get())));
        if (file) streams.push_back(std::move(file));
      } catch (...) {
        file.reset();
      }
      if (streams.empty() || !streams.back()->createSibling(out, suffix)) {
        Undelete_Log(u, "Not all of file streams could be restored.");
        u->error = kErrCreateFile;
        c.failed = true;
        break;
      }
      const int sfd = streams.back()->fd();
      Copy sc{u, drive, volume, c.buffer, bytesDone};
      std::vector<std::uint8_t> sbuf;
      try {
        sbuf.resize(cb);
        sc.buffer = sbuf.data();
      } catch (...) {
        Undelete_Log(u, "NTFS_RecoverFile: Unable to allocate memory for cluster read.\n");
        Host_SetLastError(kErrMemory);
        c.failed = true;
        break;
      }
      copyStream(sc, *s, record, sfd, bytesDone);
      if (sc.failed) c.failed = true;
      const timespec stimes[2] = {times[0], times[1]};
      ::futimens(sfd, stimes);
    }
  }
  if (c.failed) {
    for (auto& s : streams) (void)s->fail(false);
    return Recover_EndOutput(u, out, false, c.readError);
  }
  for (auto& s : streams) {
    if (!s->finish()) {
      u->error = kErrWriteFile;
      c.failed = true;
    }
  }
  return Recover_EndOutput(u, out, !c.failed, false);
}
