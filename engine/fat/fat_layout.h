// Where the data of each listed FAT file lies, as far as the volume still tells: one model that the
// state estimation counts from and the recoverer reads from, so that a file's state describes
// exactly the bytes a recovery writes.
//
// A live file is its cluster chain. A deleted file has lost its chain: its data starts at its first
// cluster and goes on in the clusters after it, passing over clusters that something else held
// while the file was written (live files older than the file's last write, directories and other
// volume structures, and other deleted files that existed at the time). Clusters taken by files
// born after the file's last write are its own clusters, now overwritten. When two deleted files
// that existed together both reach a cluster, the more compact walk keeps it (files are written as
// contiguously as the free space allows). A format with a content check confirms or breaks the
// layout; a broken one is searched for its missing second fragment among free clusters.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fat/fat_parse.h"
#include "undelete/undelete.h"

struct CachedDrive;

/// Consecutive clusters of one file, in file order.
struct FatRun {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
};

/// What the content check said about a layout's bytes.
enum class FatContent : std::uint8_t {
  Unchecked,  // no content check for this format (or nothing readable)
  Broken,     // the format's structure breaks inside the file
  Valid,      // the structure holds to its end marker
};

/// The clusters one file's data is taken from, and what the walk met on the way.
struct FatLayout {
  std::vector<FatRun> runs;
  std::uint64_t total = 0;        // clusters in the layout
  std::uint64_t overwritten = 0;  // of them, held by something written after the file
  std::uint64_t missing = 0;      // clusters the size needs past the end of the volume
  std::uint32_t overwrittenBy = 0xFFFFFFFFu;
  std::uint64_t firstOverwritten[3] = {~0ull, ~0ull, ~0ull};
  bool inferred = false;   // passed over clusters that other deleted files hold
  bool passedBy = false;   // a later file passed over its clusters: it may have been written over
                           // them instead
  bool contested = false;  // may read clusters that hold another file's data: its own data may
                           // lie further on
  bool unknownChain = false;  // a deleted file read along a chain no listed file owns
  FatContent content = FatContent::Unchecked;
  bool carved = false;  // the layout comes from the fragment search
};

/// The layouts of the files of one FAT file system of a scan.
class FatModel;

/// Builds the model of the FAT files (location kind FAT, this @p fsIndex and @p volumeOffset)
/// among file records [@p firstFile, @p endFile) of @p u, on the selected file system of
/// @p drive. With @p markMap the sectors of live files are set in the drive's used-sector map.
/// With @p pollCancel the total-cancel event ends the build early (what was walked stays).
/// Content checks read through @p drive. Null on memory shortage.
[[nodiscard]] std::shared_ptr<FatModel> FAT_BuildModel(Undelete* u, CachedDrive* drive,
                                                       const FatGeometry& g,
                                                       std::uint32_t firstFile,
                                                       std::uint32_t endFile, bool markMap,
                                                       bool pollCancel) noexcept;

/// The layout of file record @p index in @p model, or null when the model does not hold it.
[[nodiscard]] const FatLayout* FAT_ModelLayout(const FatModel& model, std::uint32_t index) noexcept;

/// State of a file from its layout: Existing, Excellent, Good, Poor or Unrecoverable.
[[nodiscard]] std::uint8_t FAT_LayoutState(const FatLayout& layout, bool existing,
                                           std::uint64_t size) noexcept;

/// Keeps @p model in the engine for recoveries from the same file system (replacing an earlier
/// model of it), without what only the build needed.
void FAT_KeepModel(Undelete* u, const CachedDrive* drive, std::shared_ptr<FatModel> model);

/// The layout of @p record (one of the engine's records or a copy of it) for recovery: from the
/// engine's model of the file system when it holds the record as it is, else from a model built
/// now over the engine's files. False when none can be made.
[[nodiscard]] bool FAT_LayoutForRecovery(Undelete* u, const FileRecord* record,
                                         const FatGeometry& g, FatLayout& out) noexcept;

/// Longest time the fragment search spends on one file.
inline constexpr std::uint32_t kFatGapSearchMillis = 250;
