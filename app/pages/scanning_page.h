// Scanning page: the engine's progress, polled by a timer on the GUI thread until the search
// thread ends.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include "corvane_dialog.h"
#include "engine_api.h"

class QLabel;
class QProgressBar;
class QPushButton;

/// What a finished scan or session restore leaves for the results page.
struct ScanOutcome {
  bool cancelled = false;
  bool restored = false;  // a saved session was continued
  QString driveText;      // the scanned drive as the list showed it (the session's description)
  uint32_t files = 0;
  uint32_t deleted = 0;
  qint64 elapsedMs = 0;
};
Q_DECLARE_METATYPE(ScanOutcome)

class CDlgHardDriveScanning : public CCorvanePage {
  Q_OBJECT
 public:
  CDlgHardDriveScanning(const EngineApi& api, Undelete* engine, QWidget* parent = nullptr);
  /// Polls the engine's running scan until it ends, then emits finished().
  void begin(const QString& driveText, bool restored);
  [[nodiscard]] bool polling() const { return m_timer.isActive(); }
  /// Milliseconds between polls (tests shorten it).
  void setPollInterval(int ms) { m_timer.setInterval(ms); }

  // The shown texts, for tests and the screenshot walk.
  [[nodiscard]] QString percentText() const;
  [[nodiscard]] QString stageText() const;
  [[nodiscard]] QString sectorText() const;
  [[nodiscard]] QString filesText() const;
  [[nodiscard]] QString deletedText() const;
  [[nodiscard]] QString statusText() const;
  [[nodiscard]] int barValue() const;
  [[nodiscard]] int barMaximum() const;

 public slots:
  /// The Cancel button: asks the engine to stop; the poll then ends as cancelled.
  void cancel();
  /// One poll of the engine (the timer's slot).
  void poll();

 signals:
  void finished(const ScanOutcome& outcome);

 private:
  void refreshStage(uint64_t sectorsDone, uint64_t sectorsTotal);

  const EngineApi& m_api;
  Undelete* m_engine;
  QTimer m_timer;
  QElapsedTimer m_clock;
  QProgressBar* m_bar;
  QLabel* m_percent;
  QLabel* m_files;
  QLabel* m_deleted;
  QLabel* m_stage;
  QLabel* m_sectors;
  QLabel* m_elapsed;
  QLabel* m_status;
  QPushButton* m_cancel;
  QString m_driveText;
  bool m_restored = false;
  bool m_cancelled = false;
  int m_pollCount = 0;
  uint32_t m_total = 0, m_done = 0, m_filesCount = 0, m_deletedCount = 0;
};
