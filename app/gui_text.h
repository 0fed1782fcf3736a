// Texts and numbers the pages show, computed without widgets.
#pragma once

#include <QString>
#include <cstdint>

/// "%0.0f B", "%0.1f KB" ... "%0.1f TB" of @p bytes (binary units).
[[nodiscard]] QString Gui_SizeText(uint64_t bytes);
/// Progress in tenths of a percent, rounded: (done * 1000 + total / 2) / total, in 64 bits;
/// 0 for total 0 (nothing to measure yet), at most 1000.
[[nodiscard]] uint32_t Gui_PercentTenths(uint32_t total, uint32_t done);
/// @p text when it has at most @p max characters, else its first @p max and @p ellipsis.
[[nodiscard]] QString Gui_Cut(const QString& text, int max, const QString& ellipsis);
/// The welcome page's status line for a session: "<last session> - "description"", cut at 50.
[[nodiscard]] QString Gui_SessionStatus(const QString& lastSession, const QString& description);
/// The status line of a scan: "- "drive text"", cut at 50.
[[nodiscard]] QString Gui_DriveStatus(const QString& driveText);
/// "h:mm:ss" of @p ms.
[[nodiscard]] QString Gui_Elapsed(qint64 ms);
/// Progress bar range and position for a (total, done) pair: the bar cannot take more than an
/// int, so large totals are scaled; done past total puts the bar at 80 %.
struct GuiBar {
  int maximum;
  int value;
};
[[nodiscard]] GuiBar Gui_Bar(uint32_t total, uint32_t done);
