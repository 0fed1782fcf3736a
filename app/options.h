// The scan and filter options record, kept byte for byte as the whole of "optionsUndelete.ini" in
// the current folder.
#pragma once

#include <QString>
#include <cstddef>

#include "undelete/undelete.h"

struct ScanFilterOptions {
  le32 flags;         // 0x00 kOpt* bits below
  uint8_t dateMode;   // 0x04 0 <, 1 <=, 2 ==, 3 >, 4 >=
  uint8_t sizeMode;   // 0x05 the same five comparisons
  le16 patterns[65];  // 0x06 UTF-16 "*.jpg;*.doc", NUL-terminated; empty: no name filter
  le64 date;          // 0x88 FILETIME, start of the chosen day
  le32 sizeKB;        // 0x90 KiB
};
static_assert(sizeof(ScanFilterOptions) == 148 && alignof(ScanFilterOptions) == 1);
static_assert(offsetof(ScanFilterOptions, dateMode) == 4 &&
              offsetof(ScanFilterOptions, patterns) == 6 &&
              offsetof(ScanFilterOptions, date) == 136 &&
              offsetof(ScanFilterOptions, sizeKB) == 144);

// ScanFilterOptions.flags.
inline constexpr uint32_t kOptDateFilter = 1u << 0;
inline constexpr uint32_t kOptSizeFilter = 1u << 1;
inline constexpr uint32_t kOptDeletedOnly = 1u << 2;
inline constexpr uint32_t kOptShowZeroLength = 1u << 3;
inline constexpr uint32_t kOptScanTestExtension = 1u << 4;
inline constexpr uint32_t kOptScanRenameExtension = 1u << 5;
inline constexpr uint32_t kOptScanTestAll = 1u << 6;
inline constexpr int kOptStateShift = 7;                 // bits 7..12: show files in state 0..5
inline constexpr int kOptAttributeShift = 13;            // bits 13..24: 2 bits each for A R H S C E
inline constexpr uint32_t kOptDefaultFlags = 0x1555F80;  // every state; every attribute "either"
// Attribute filter values (2 bits each).
inline constexpr uint32_t kAttrFilterClear = 0, kAttrFilterSet = 1, kAttrFilterEither = 2,
                          kAttrFilterReject = 3;

inline constexpr const char* kOptionsFileName = "optionsUndelete.ini";

/// The record as it is before the file is read: zero, flags 0x1555F80.
[[nodiscard]] ScanFilterOptions Options_Defaults();
/// Reads @p dir/optionsUndelete.ini over the defaults. A missing file keeps the defaults; a short
/// one leaves the rest of the record at its defaults.
[[nodiscard]] ScanFilterOptions Options_Read(const QString& dir);
/// Writes @p options as @p dir/optionsUndelete.ini (148 bytes). False with @p error on failure.
[[nodiscard]] bool Options_Write(const QString& dir, const ScanFilterOptions& options,
                                 QString* error);
/// The engine's scan flags: the three option boxes (bits 4..6) as bits 0..2, bit 3 deep scan.
[[nodiscard]] uint32_t Options_ScanFlags(const ScanFilterOptions& options, bool deepScan);
