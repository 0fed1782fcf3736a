// Main dialog: owns the engine object and hosts the pages (welcome, settings, scanning, results).
#pragma once

#include <vector>

#include "corvane_dialog.h"
#include "corvane_settings.h"
#include "drive_list.h"
#include "engine_api.h"
#include "options.h"
#include "pages/scanning_page.h"

class CDlgHardDriveWelcome;
class CDlgSettingsScanOptions;
class CScanSummaryPage;

class CUndeleteDlg : public CCorvaneDialog {
  Q_OBJECT
 public:
  explicit CUndeleteDlg(const EngineApi& api, QWidget* parent = nullptr);
  ~CUndeleteDlg() override;

  /// Creates the engine object, builds the drive list (the partition scans of every physical
  /// drive first, with a progress window), maps @p images as drives, reads the options file, and
  /// shows the welcome page. False when the engine object cannot be created.
  [[nodiscard]] bool initDialog(const QStringList& images = {});

  [[nodiscard]] const EngineApi& api() const { return m_api; }
  [[nodiscard]] Undelete* engine() const { return m_engine; }
  [[nodiscard]] CCorvaneSettings& settings() { return m_settings; }
  [[nodiscard]] ScanFilterOptions& options() { return m_options; }
  /// Writes the options record to the options file in the current folder.
  [[nodiscard]] bool saveOptions(QString* error);
  [[nodiscard]] const std::vector<DriveItem>& drives() const { return m_drives; }

  [[nodiscard]] CDlgHardDriveWelcome* welcomePage() const { return m_welcome; }
  [[nodiscard]] CDlgHardDriveScanning* scanningPage() const { return m_scanning; }
  [[nodiscard]] CDlgSettingsScanOptions* settingsPage() const { return m_settingsPage; }

  /// The description of the saved session, or a null string when there is none.
  [[nodiscard]] QString sessionDescription() const;
  /// "Scan now": drive @p index of the list, or (index -1) the drive the user typed as @p typed;
  /// continues the saved session instead when @p lastSession is set and one exists. True when a
  /// scan or restore started (the scanning page is shown); false leaves the page as it was.
  bool scanNow(int index, const QString& typed, bool lastSession);
  /// Maps the image at @p path as a new drive (and, when it holds a partition table, as a
  /// physical drive whose partitions join the list). Returns the index of the item to choose, or
  /// -1 with @p error.
  int openImage(const QString& path, QString* error);
  /// Builds the drive list again from the engine's tables.
  void rebuildDriveList();

  /// The scan has ended and its counts are final: the results page takes over from here. Until a
  /// results page is installed, the counts page is shown.
  virtual void showResults(const ScanOutcome& outcome);
  /// The result line of the last scan ("The scan is complete." ...).
  [[nodiscard]] const QString& resultLine() const { return m_resultLine; }

 public slots:
  void showWelcome();
  void showSettings();

 signals:
  /// A scan or restore ended (after the status values were stored, before showResults()).
  void scanFinished(const ScanOutcome& outcome);

 protected:
  void reject() override;

 private:
  /// Cancels a running scan and waits for its thread, answering its questions meanwhile.
  void stopScan();
  bool startScan(const DriveItem& item, bool deep);
  bool startRestore(const QString& description);
  void scanEnded(const ScanOutcome& outcome);
  static int askSave(void* self);
  static int askMemory(void* self);
  bool askOnGuiThread(const char* key);
  [[nodiscard]] QString engineError() const;

  const EngineApi& m_api;
  Undelete* m_engine = nullptr;
  CCorvaneSettings m_settings;
  ScanFilterOptions m_options;
  std::vector<DriveItem> m_drives;
  QString m_resultLine;
  CDlgHardDriveWelcome* m_welcome = nullptr;
  CDlgSettingsScanOptions* m_settingsPage = nullptr;
  CDlgHardDriveScanning* m_scanning = nullptr;
  CScanSummaryPage* m_summary = nullptr;
};
