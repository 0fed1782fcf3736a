// The drives the welcome page offers: drive letters by type, then the partitions of every
// physical drive, as the engine's tables describe them.
#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "engine_api.h"

enum class DriveCategory : int { HardDrive = 0, CdDvd = 1, Removable = 2, Partitions = 3 };
inline constexpr int kDriveCategoryCount = 4;

struct DriveItem {
  DriveCategory category = DriveCategory::HardDrive;
  QString text;
  uint32_t driveSpec = 0;  // letter number (0 = A), or 0x01000000 | partition-list index
  char letter = 0;         // the drive's letter; 0 for a partition
  QString root;            // "E:\" for letters
};

/// Drive specifier (disk and partition number) of a partition-list entry.
[[nodiscard]] constexpr uint32_t DriveSpec_Partition(uint32_t index) {
  return 0x01000000u | (index & 0x00FFFFFFu);
}
[[nodiscard]] constexpr uint32_t DriveSpec_Letter(char letter) {
  return static_cast<uint32_t>(letter - 'A');
}

/// "(C:) Label (System drive), NTFS, 16.0 GB" for the system drive, "(E:)Label, FAT16, 16.0 MB"
/// for any other fixed drive.
[[nodiscard]] QString DriveList_HardDriveText(char letter, const QString& label, bool system,
                                              const QString& fileSystem, uint64_t size);

/// Runs the quick lost-partition scan of physical drive @p disk to its end, calling
/// @p progress(disk, percent) between polls. False when the scan could not start.
bool DriveList_ScanDisk(const EngineApi& api, Undelete* engine, int disk,
                        const std::function<void(int drive, int percent)>& progress);
/// Runs the quick lost-partition scan of every present physical drive 0..127, calling
/// @p progress(drive, percent) while it waits (the caller keeps the window alive there).
void DriveList_ScanPartitions(const EngineApi& api, Undelete* engine,
                              const std::function<void(int drive, int percent)>& progress);

/// The items of every category, letters first (A..Z), then partitions.
[[nodiscard]] std::vector<DriveItem> DriveList_Build(const EngineApi& api, Undelete* engine);

/// The volume label udev knows for block device @p path ("" for an image or when none).
[[nodiscard]] QString DriveList_DeviceLabel(const QString& path);
