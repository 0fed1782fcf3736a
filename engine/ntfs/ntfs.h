// NTFS volumes: recognition, the MFT scan with its recoverability estimate, file recovery with
// named streams, sparse and compressed data, and the pure parsers (fix-up, run lists, LZNT1, file
// records) that tests and fuzzers call directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/reader.h"
#include "ntfs/ntfs_ondisk.h"

struct Undelete;
struct CachedDrive;
struct FileRecord;

// ---------------------------------------------------------------------------------------------
// The drive's file-system table entry for an NTFS volume. The first 44 bytes are the saved form;
// the folder map fields live only while a scan (or a lost-volume rebuild) runs.
struct NtfsVolume {
  NtfsVolumeInfo info;                 // type 3 first, as every table entry starts
  std::uint32_t pageSize = 0;          // commit unit of the folder map
  std::uint32_t* folderMap = nullptr;  // one entry per MFT record number; bit 31 = folder index
  std::uint64_t folderMapBytes = 0;    // address space reserved for it
};
inline constexpr std::uint32_t kNtfsFolderMapped = 0x80000000u;

/// The selected entry of @p drive when it is NTFS, else nullptr.
[[nodiscard]] NtfsVolume* NTFS_CurrentVolume(CachedDrive* drive) noexcept;

// ---------------------------------------------------------------------------------------------
// Run-list cursor: walks an NTFS mapping-pairs array one cluster (or one run) at a time. It keeps
// its own copy of the bytes. A damaged pair (width over 8, pair past the end of the list, zero or
// negative length, start before cluster 0, a run reaching past the cluster limit) ends the list;
// corrupt() tells it apart from a clean end.
class RunCursor {
 public:
  /// Copies @p list and resets every field. @p clusterLimit (0 = none) refuses runs that reach
  /// past that cluster count, so a damaged list never points outside the volume.
  void load(std::span<const std::uint8_t> list, std::uint64_t clusterLimit = 0);
  /// Next cluster of the list; false at its end. @p left gets the clusters left in this run.
  /// A sparse run met here is read as starting at the previous run's start (callers that care
  /// call skipSparse first).
  [[nodiscard]] bool next(std::uint64_t* cluster, std::uint64_t* left = nullptr) noexcept;
  /// At a run boundary, consumes a sparse run and gives its length; false when the next run is
  /// not sparse (or clusters of the current run are left).
  [[nodiscard]] bool skipSparse(std::uint64_t* count) noexcept;
  /// The rest of the current run, or the next run: first cluster and count (sparse runs give
  /// @p sparse = true and no cluster). False at the end.
  [[nodiscard]] bool nextRun(std::uint64_t* first, std::uint64_t* count, bool* sparse) noexcept;
  [[nodiscard]] bool corrupt() const noexcept { return m_corrupt; }
  [[nodiscard]] bool loaded() const noexcept { return !m_list.empty(); }

 private:
  enum class Pair : std::uint8_t { Data, Sparse, End };
  Pair decode(std::uint64_t* start, std::uint64_t* length) noexcept;
  void endList() noexcept;

  std::vector<std::uint8_t> m_list;
  std::size_t m_pos = 0;
  std::uint64_t m_current = 0;    // cluster handed out last
  std::uint64_t m_left = 0;       // clusters left in the current run after m_current
  std::uint64_t m_lastStart = 0;  // start of the last data run: base of relative offsets
  std::uint64_t m_limit = 0;
  bool m_corrupt = false;
};

// ---------------------------------------------------------------------------------------------
// Pure parsers: bytes in, values out; no I/O, no engine object.

/// Checks and removes the update sequence of a record (or index block) in place. @p stride is
/// the protected block size (512 on every NTFS version). False, record unchanged, on a mismatch,
/// an array outside the record or blocks past its end.
[[nodiscard]] bool NTFS_ApplyFixup(std::span<std::uint8_t> record, std::uint32_t stride) noexcept;
inline constexpr std::uint32_t kNtfsFixupStride = 512;

/// LZNT1: decompresses @p inLength bytes into @p out (which the caller zero-fills). 0 on success,
/// -1 on a format error (the output is correct up to the bad chunk).
int NTFS_Decompress(std::uint32_t inLength, const std::uint8_t* in, std::uint32_t outLength,
                    std::uint8_t* out) noexcept;

/// A named $DATA stream as parsed from a record.
struct NtfsParsedStream {
  std::u16string name;
  std::uint32_t size = 0;           // stream length in bytes (resident or not)
  std::uint32_t runListLength = 0;  // non-zero: non-resident
  std::uint32_t dataFlags = 0;      // compression unit | encrypted, of this stream alone
  std::vector<std::uint8_t> data;   // resident bytes or run list
};

/// Everything the scanner takes from one file record.
struct NtfsParsedRecord {
  std::uint64_t recordNumber = 0;
  std::uint64_t baseRecord = 0;
  std::uint64_t parent = 0;
  std::uint16_t recordFlags = 0;
  std::uint32_t dataFlags = 0;
  std::uint32_t dataLength = 0;
  std::uint32_t runListLength = 0;
  std::vector<std::uint8_t> data;  // resident bytes or run list (dataLength bytes)
  std::uint64_t size = 0;
  // UTC, as on disk: from $STANDARD_INFORMATION, else from the $FILE_NAME that gave the name.
  std::uint64_t created = 0, modified = 0, accessed = 0;
  std::uint8_t attributes = 0;  // kAttr* letters
  bool hasStandardInformation = false;
  bool hasFileName = false;
  std::u16string name;
  std::vector<NtfsParsedStream> streams;
  std::size_t streamCount = 0;  // streams[0..streamCount) are this record's
  // Extents of the unnamed data that an attribute list spreads over several records.
  bool attributeList = false;        // the record has an $ATTRIBUTE_LIST
  std::uint64_t dataHighestVcn = 0;  // last VCN of the unnamed data's first extent
  struct Extent {
    std::uint64_t lowestVcn = 0, highestVcn = 0;
    std::vector<std::uint8_t> runList;
  };
  std::vector<Extent> laterExtents;  // unnamed non-resident extents starting past VCN 0
};

/// Joins mapping-pairs arrays of consecutive extents (each relative to cluster 0) into one.
/// False when an array is damaged or the extents do not follow one another.
[[nodiscard]] bool NTFS_JoinRunLists(const std::vector<NtfsParsedRecord::Extent>& extents,
                                     std::vector<std::uint8_t>& out);

/// Parses one file record of @p record.size() bytes (the file record size), applying its fix-up
/// in place. Ok with @p out filled; NotThis without "FILE"; Corrupt for a bad fix-up, a header
/// that does not fit or a record without $FILE_NAME (@p out partly filled).
[[nodiscard]] Parse NTFS_ParseFileRecord(std::span<std::uint8_t> record,
                                         NtfsParsedRecord& out) noexcept;

/// Boot sector: bytes per sector, cluster size and file-record size. Ok or NotThis.
struct NtfsBootGeometry {
  std::uint32_t bytesPerSector = 0;
  std::uint32_t clusterBytes = 0;
  std::uint32_t recordBytes = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mirrorCluster = 0;
};
[[nodiscard]] Parse NTFS_ParseBootSector(std::span<const std::uint8_t> sector,
                                         NtfsBootGeometry& out) noexcept;

// ---------------------------------------------------------------------------------------------
// Engine operations.

bool NTFS_RecognizeDrive(CachedDrive* drive, Undelete* u) noexcept;
bool NTFS_SearchFiles(Undelete* u) noexcept;
/// Writes the file (and its named streams as "target:name") to @p target.
bool NTFS_RecoverFile(FileRecord* record, std::atomic<std::uint64_t>* bytesDone, Undelete* u,
                      const char* target) noexcept;
/// Writes compressed data from @p cursor to the open file @p fd.
bool NTFS_RecoverCompressed(Undelete* u, RunCursor& cursor, FileRecord* record, int fd,
                            std::atomic<std::uint64_t>* bytesDone) noexcept;
/// The same with an explicit byte limit (named streams have their own length).
bool NTFS_RecoverCompressedTo(Undelete* u, RunCursor& cursor, FileRecord* record, int fd,
                              std::atomic<std::uint64_t>* bytesDone, std::uint64_t limit) noexcept;
/// Appends ", NTFS" or ", NTFS, Cluster size: %d" after the size text of the volume.
bool NTFS_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept;
/// The deep scan's offer of the sector at byte @p offset: true when it began a file record of a
/// lost NTFS volume that parsed (listed, or taken as a folder or as the volume's $MFT). The call
/// with an offset of all ones resolves the lost folders and answers false.
bool NTFS_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept;
/// Session file: the 44 saved bytes of the selected entry (malloc'ed), and the rebuild from them.
bool NTFS_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept;
bool NTFS_LoadVolumeInfo(const void* entry, std::uint32_t size, CachedDrive* drive) noexcept;
/// NTFS's row of the file-system table (ntfs_descriptor.cpp).
extern const struct FsDescriptor kNtfsDescriptor;

/// One named stream of a listed NTFS file, for listings (kvx JSON "streams").
struct NtfsStreamEntry {
  std::u16string name;
  std::uint64_t size = 0;
  bool resident = false;
};
/// The named streams of a listed NTFS file, in attribute order.
[[nodiscard]] std::vector<NtfsStreamEntry> NTFS_ListStreams(const Undelete* u,
                                                            const FileRecord* record);

// Inner operations of the scan, shared with the lost-volume rebuild and the wipe.
struct NtfsRecordReader {
  std::uint64_t offset = 0;     // next byte to read
  std::uint32_t bytesLeft = 0;  // in the current cluster
  RunCursor cursor;
};
/// Reads the next file record through @p reader into @p record (file record size bytes) and
/// marks its sectors used. @p recordOffset gets where it began.
[[nodiscard]] bool NTFS_ReadFileRecord(CachedDrive* drive, const NtfsVolume& volume,
                                       NtfsRecordReader& reader, std::span<std::uint8_t> record,
                                       std::uint64_t* recordOffset) noexcept;
/// The $MFT record (from the MFT, else the mirror): its unnamed data run list and size.
[[nodiscard]] bool NTFS_ReadMftDescription(CachedDrive* drive, const NtfsVolume& volume,
                                           NtfsParsedRecord& mft) noexcept;
/// Recoverability of the files from u->passFirstFile on.
void NTFS_EstimateFilesState(Undelete* u, const NtfsVolume& volume) noexcept;
/// Resolves parents; @p finishing selects the progress range of the lost-volume rebuild.
void NTFS_ParseFoldersNames(Undelete* u, NtfsVolume& volume, bool finishing) noexcept;
void NTFS_RegisterFolder(Undelete* u, NtfsVolume& volume, const NtfsParsedRecord& rec) noexcept;
/// Stores one file record (streams, data, locator) and the FileRecord; false when storage is full.
[[nodiscard]] bool NTFS_StoreFile(Undelete* u, const NtfsParsedRecord& rec,
                                  FileRecord& file) noexcept;
