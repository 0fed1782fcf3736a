// The results part of the screenshot walk: after the scan, everything open, the deleted report
// folder and the files rated Excellent checked and recovered into a scratch folder; the results
// page and the finish page are shot.
#include "walk_results.h"

#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "message_box.h"
#include "recovery/recovery_flow.h"
#include "results/results_host.h"
#include "results/results_page.h"

bool Walk_Results(CUndeleteDlg& dlg, const std::function<bool(const char* name)>& shoot) {
  CResultsHost& host = CResultsHost::of(dlg);
  host.results()->tree()->expandAll();
  results::ResultsModel* model = host.results()->model();
  for (std::uint32_t j = 0; j < model->folderCount(); ++j)
    if (model->folderName(j) == QStringLiteral("Reports"))
      model->setChecked(model->fileCount() + j, true);
  for (std::uint32_t i = 0; i < model->fileCount(); ++i)
    if (model->cellText(i, results::ResultsModel::State).startsWith(QStringLiteral("Excellent")))
      model->setChecked(i, true);
  if (model->checkedFiles().empty()) return false;
  host.results()->tree()->setCurrentIndex(model->indexOfItem(model->checkedFiles().front()));
  bool ok = shoot("6-results");

  QTemporaryDir scratch;
  host.flow()->chooseFolder = [&scratch](QWidget*) { return scratch.path(); };
  Corvane_SetMessageHook([](CorvaneMessage, const QString&) { return true; });
  bool finished = false;
  QObject::connect(host.flow(), &CRecoveryFlow::finished, [&finished] { finished = true; });
  if (!host.flow()->recoverChecked() || !QTest::qWaitFor([&] { return finished; }, 60000)) {
    std::fprintf(stderr, "rekovia_walk: the recovery did not finish\n");
    return false;
  }
  return shoot("7-finish") && ok;
}
