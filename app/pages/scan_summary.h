// The page shown when a scan ends while no results page is installed: the result line and the
// counts, and the way back to a new scan.
#pragma once

#include "corvane_dialog.h"
#include "pages/scanning_page.h"

class QLabel;

class CScanSummaryPage : public CCorvanePage {
  Q_OBJECT
 public:
  explicit CScanSummaryPage(QWidget* parent = nullptr);
  void show(const ScanOutcome& outcome, const QString& resultLine, uint32_t folders);
  [[nodiscard]] QString countsText() const;

 signals:
  void newScan();

 private:
  QLabel* m_result;
  QLabel* m_counts;
};
