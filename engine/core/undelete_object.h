// The engine object: all state of one recovery session. Opaque to callers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/event.h"
#include "host/host_output.h"
#include "undelete/undelete.h"

struct CachedDrive;
struct StorageDupIndex;  // storage.cpp: scanKey -> first record index over [dupFirst, dupEnd)
class FatModel;          // fat_layout.cpp: where each listed FAT file's data lies

/// One drive of a scan.
struct DriveSlot {
  std::uint32_t driveSpec = 0;   // bits 0..23 drive number (0 = A:) or partition index; 24..31 kind
  CachedDrive* drive = nullptr;  // the slot's drive, kept for recovery and wiping
  std::uint64_t start = 0;       // partition start, bytes (partitions only)
  std::uint64_t length = 0;      // partition length, bytes (partitions only)
  std::uint16_t letter = 0;      // drive letter shown for the slot, 0 if none
  std::uint8_t physicalDrive = 0;  // physical drive number (partitions only)
  char title[255] = {};            // "C:" or the partition's description
};
inline constexpr std::uint32_t kSpecLetter = 0;
inline constexpr std::uint32_t kSpecPartition = 1;

inline constexpr std::uint32_t kOutOfMemory = 0x80000000u;  // pageSize bit 31
inline constexpr std::uint64_t kNoScanKey = ~std::uint64_t{0};
inline constexpr std::uint32_t kDeleteSessionAtEnd = 1u << 26;  // partitionFlags bit 26

using RecognizeHook = bool (*)(Undelete* u, std::uint64_t offset);

struct Undelete {
  std::atomic<std::uint32_t> error{0};
  std::atomic<std::uint32_t> progress{0};      // current pass, 0..10000
  std::atomic<std::uint64_t> deepScanDone{0};  // sectors
  std::atomic<std::uint64_t> deepScanTotal{0};
  std::uint32_t rootName = 0;  // string ref of the current drive's root name
  std::uint32_t traceOn = 0;
  ManualResetEvent cancelEvent;
  ManualResetEvent totalCancelEvent;
  CachedDrive* drive = nullptr;  // drive being scanned, recovered from or wiped

  // Result regions (Storage_*).
  std::uint8_t* strings = nullptr;
  std::uint8_t* files = nullptr;
  std::uint8_t* folders = nullptr;
  std::uint32_t pageSize = 0;  // bit 31: kOutOfMemory
  std::uint32_t filesReserve = 0x12000000;
  std::uint32_t stringsReserve = 0x1B000000;
  std::uint32_t foldersReserve = 0x3000000;
  std::atomic<std::uint32_t> fileCount{0};
  std::atomic<std::uint32_t> deletedCount{0};
  std::atomic<std::uint32_t> folderCount{0};
  std::uint32_t stringsUsed = 0;  // 16-bit units
  // Committed (read-write) bytes at the front of each region; the rest is reserved address space.
  std::uint32_t filesCommitted = 0;
  std::uint32_t stringsCommitted = 0;
  std::uint32_t foldersCommitted = 0;
  StorageDupIndex* dupIndex = nullptr;  // built on demand by Storage_AddFile
  bool storageReadOnly = false;         // appends fail while the regions are read-only

  // Scanner bookkeeping.
  std::uint32_t passFirstFile = 0;
  std::uint32_t dupFirst = 0, dupEnd = 0;
  std::uint32_t rootFolder = 0;
  std::uint32_t scanMarks[4] = {};
  std::uint8_t scanScratch[168] = {};
  std::uint64_t scanKey = kNoScanKey;
  std::uint32_t options = 0;
  std::atomic<const char*> stageName{""};

  // Callbacks.
  void* saveCallbackArg = nullptr;
  void* reportContext = nullptr;
  UndeleteReportCallback reportCallback = nullptr;
  UndeleteQueryCallback saveCallback = nullptr;
  UndeleteQueryCallback memoryCallback = nullptr;
  RecognizeHook recognizeHook = nullptr;
  std::uint64_t deepScanResume = 0;

  // Drives of the current scan.
  std::uint16_t driveCount = 0;
  std::atomic<std::uint16_t> driveIndex{0};
  std::atomic<std::uint16_t> fsIndex{0};
  std::atomic<std::uint16_t> fsCount{0};
  DriveSlot* driveTable = nullptr;
  std::atomic<std::uint64_t> bytesDone{0};
  // The recovery under way: where its files go, and the name the data file got (after numbering,
  // or its partial name when the recovery failed and kept what was read).
  HostOutputPlace outputPlace;
  std::string outputName;
  bool outputPartial = false;

  // Search thread.
  std::thread searchThread;
  std::atomic<bool> searchRunning{false};
  std::atomic<std::uint32_t> searchExitCode{0};

  // Partition list of the physical drives and the last lost-partition scan. partitionFlags is the
  // disk-state word (bits 0..24 drive of the last scan, 25..31 its condition; bit 26 belongs to
  // the session logic). The scan thread runs in the searchThread slot.
  std::uint32_t partitionFlags = 0x1FFFFFF;
  std::uint32_t partitionCount = 0;
  PartitionRecord partitions[kMaxPartitions] = {};
  FoundPartition foundPartitions[kMaxFoundPartitions] = {};
  std::atomic<std::uint64_t> partScanPos{0};    // bytes
  std::atomic<std::uint64_t> partScanTotal{0};  // bytes; 0 once the scan has ended
  CachedDrive* partScanDrive = nullptr;
  std::uint32_t partScanDisk = 0;
  bool partScanQuick = false;
  std::uint32_t ldmDataStart = 0;               // sectors (PRIVHEAD)
  std::uint32_t ldmDataSize = 0;                // sectors; 0xFFFFFFFF when it does not fit
  std::uint64_t ldmDatabaseOffset = 0;          // bytes: the VMDB

  // Wipe.
  std::uint64_t wipeTotal = 0;
  std::uint32_t wipeFlags = 0;
  std::uint32_t wipePasses = 0;
  std::atomic<std::uint32_t> wipeProgress{0};
  std::uint8_t wipeLetter = 0;
  std::thread wipeThread;
  std::atomic<bool> wipeRunning{false};

  std::string sessionPath;  // <cwd at creation>/LastSession.Results

  // FAT layout models of this engine's scans (one per file system), built by the state
  // estimation on the search thread and read by recoveries on the caller's thread.
  std::mutex fatModelsLock;
  std::vector<std::shared_ptr<FatModel>> fatModels;

  [[nodiscard]] bool outOfMemory() const noexcept { return (pageSize & kOutOfMemory) != 0; }
};

/// True when the cancel event is set (polled by every scanning loop).
[[nodiscard]] inline bool isCancelled(const Undelete* u) noexcept { return u->cancelEvent.isSet(); }
