// The restoring page (progress of a running recovery) and the finish page (its totals).
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <functional>

#include "corvane_dialog.h"

class QLabel;
class QProgressBar;
class QPushButton;

/// Totals of one recovery, as the finish page shows them.
struct RecoveryTotals {
  std::uint32_t filesFound = 0;
  std::uint32_t deletedFound = 0;
  std::uint32_t selected = 0;
  std::uint32_t recovered = 0;
  QString lastRecovered;  // path of the last file written
  QString problem;        // why the run stopped early (the destination could not be used ...)
};

/// Range and position of a progress bar for a 64-bit byte count: scaled to fit an int; processed
/// past the total puts the bar at 80 %.
struct RecoveryBar {
  int maximum = 0;
  int value = 0;
};
[[nodiscard]] RecoveryBar Recovery_Bar(std::uint64_t total, std::uint64_t processed);

/// The finish page's heading: every file recovered, or how many were not, cut at 50 characters.
[[nodiscard]] QString Recovery_FinishHeading(const RecoveryTotals& totals);

class CDlgHardDriveRestoring : public CCorvanePage {
  Q_OBJECT
 public:
  explicit CDlgHardDriveRestoring(QWidget* parent = nullptr);
  /// Polls @p processed (any thread may change what it reads) against @p total until stop().
  void begin(std::uint64_t total, std::size_t files, std::function<std::uint64_t()> processed);
  void stop();
  /// The file being written (shown under the bar).
  void setCurrent(const QString& path);
  [[nodiscard]] QProgressBar* bar() const { return m_bar; }

 signals:
  void cancelRequested();

 private:
  void poll();

  QTimer m_timer;
  QElapsedTimer m_clock;
  std::uint64_t m_total = 0;
  std::function<std::uint64_t()> m_processed;
  QProgressBar* m_bar;
  QLabel* m_current;
  QLabel* m_elapsed;
  QPushButton* m_cancel;
};

class CDlgHardDriveFinish : public CCorvanePage {
  Q_OBJECT
 public:
  explicit CDlgHardDriveFinish(QWidget* parent = nullptr);
  void show(const RecoveryTotals& totals);
  [[nodiscard]] QString headingText() const;
  [[nodiscard]] QString totalsText() const;

 signals:
  void finishRequested();
  void restoreMoreRequested();

 private:
  QLabel* m_heading;
  QLabel* m_totals;
  QLabel* m_last;
};
