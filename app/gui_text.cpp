// Text helpers of the pages.
#include "gui_text.h"

QString Gui_SizeText(uint64_t bytes) {
  const double v = static_cast<double>(bytes);
  if (bytes >= (1ull << 40)) return QString::asprintf("%0.1f TB", v / double(1ull << 40));
  if (bytes >= (1ull << 30)) return QString::asprintf("%0.1f GB", v / double(1ull << 30));
  if (bytes >= (1ull << 20)) return QString::asprintf("%0.1f MB", v / double(1ull << 20));
  if (bytes >= 1024) return QString::asprintf("%0.1f KB", v / 1024.0);
  return QString::asprintf("%0.0f B", v);
}

uint32_t Gui_PercentTenths(uint32_t total, uint32_t done) {
  // done * 1000 overflows 32 bits from 4.3 million units on; a total of 0 comes before the
  // engine has measured the work.
  if (total == 0) return 0;
  const uint64_t q = (uint64_t{done} * 1000u + total / 2) / total;
  return q > 1000 ? 1000u : static_cast<uint32_t>(q);
}

QString Gui_Cut(const QString& text, int max, const QString& ellipsis) {
  return text.size() <= max ? text : text.left(max) + ellipsis;
}

QString Gui_SessionStatus(const QString& lastSession, const QString& description) {
  const QString body = description.size() <= 50 ? description + u'"'
                                                : description.left(50) + QStringLiteral("...\"");
  return lastSession + QStringLiteral(" - \"") + body;
}

QString Gui_DriveStatus(const QString& driveText) {
  const QString body =
      driveText.size() <= 50 ? driveText + u'"' : driveText.left(50) + QStringLiteral(" ...\"");
  return QStringLiteral("- \"") + body;
}

QString Gui_Elapsed(qint64 ms) {
  const qint64 s = ms / 1000;
  return QString::asprintf("%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
}

GuiBar Gui_Bar(uint32_t total, uint32_t done) {
  // Scale so that the range fits an int; the ratio is what the bar shows.
  const int shift = total > 0x7FFFFFFFu ? 1 : 0;
  const int maximum = static_cast<int>(total >> shift);
  if (done > total) return {maximum, static_cast<int>(static_cast<double>(maximum) * 0.8)};
  return {maximum, static_cast<int>(done >> shift)};
}
