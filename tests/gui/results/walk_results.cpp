// Scans a disk image in the program, checks a folder of the results, recovers it into a scratch
// folder and saves screenshots of the results page and the finish page.
// usage: rekovia_results_walk OUTPUT_DIR IMAGE RECOVERY_DIR
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTest>
#include <cstdio>

#include "corvane_app.h"
#include "message_box.h"
#include "recovery/recovery_flow.h"
#include "results/results_host.h"
#include "results/results_page.h"
#include "settings_names.h"
#include "undelete_dlg.h"

namespace {

bool shoot(QWidget* window, const QString& dir, const char* name) {
  QApplication::processEvents();
  QTest::qWait(300);  // let the window system draw it
  const QRect frame = window->frameGeometry();
  QPixmap shot =
      window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  if (shot.isNull()) shot = window->grab();
  const QString path = dir + u'/' + QLatin1String(name) + QStringLiteral(".png");
  if (!shot.save(path)) {
    std::fprintf(stderr, "rekovia_results_walk: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setApplicationDisplayName(QStringLiteral("Rekovia"));
  if (argc != 4) {
    std::fprintf(stderr, "usage: rekovia_results_walk OUTPUT_DIR IMAGE RECOVERY_DIR\n");
    return 2;
  }
  const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  const QString image = QString::fromLocal8Bit(argv[2]);
  const QString recoverTo = QDir(QString::fromLocal8Bit(argv[3])).absolutePath();
  Corvane_SetDefaultSection(QStringLiteral("Undelete"));
  EngineApi api;
  std::string error;
  if (!EngineApi_Load(api, GUI_TEST_ENGINE, error)) {
    std::fprintf(stderr, "rekovia_results_walk: %s\n", error.c_str());
    return 1;
  }
  CUndeleteDlg dlg(api);
  if (!dlg.initDialog({image})) return 1;
  dlg.settings().setDword({}, kValueDontShowScanSettingNag, 1);
  dlg.settings().setDword({}, kValueScanSettingType, 0);
  dlg.resize(980, 620);
  dlg.move(10, 10);
  dlg.show();
  if (!QTest::qWaitForWindowExposed(&dlg)) return 1;
  int chosen = -1;
  for (std::size_t i = 0; i < dlg.drives().size(); ++i)
    if (dlg.drives()[i].text.contains(QStringLiteral("FAT16"))) chosen = static_cast<int>(i);
  if (chosen < 0 || !dlg.scanNow(chosen, {}, false)) {
    std::fprintf(stderr, "rekovia_results_walk: the image could not be scanned\n");
    return 1;
  }
  bool ended = false;
  QObject::connect(&dlg, &CUndeleteDlg::scanFinished, [&ended] { ended = true; });
  if (!QTest::qWaitFor([&ended] { return ended; }, 60000)) return 1;

  // Everything open, the deleted report folder checked, a deleted file current.
  CResultsHost& host = CResultsHost::of(dlg);
  CCTree* tree = host.results()->tree();
  tree->expandAll();
  results::ResultsModel* model = host.results()->model();
  for (std::uint32_t j = 0; j < model->folderCount(); ++j)
    if (model->folderName(j) == QStringLiteral("Reports"))
      model->setChecked(model->fileCount() + j, true);
  for (std::uint32_t i = 0; i < model->fileCount(); ++i)
    if (model->cellText(i, results::ResultsModel::State).startsWith(QStringLiteral("Excellent")))
      model->setChecked(i, true);
  tree->setCurrentIndex(model->indexOfItem(model->checkedFiles().front()));
  bool ok = shoot(&dlg, out, "6-results");

  host.flow()->chooseFolder = [recoverTo](QWidget*) { return recoverTo; };
  Corvane_SetMessageHook([](CorvaneMessage, const QString&) { return true; });
  bool finished = false;
  QObject::connect(host.flow(), &CRecoveryFlow::finished, [&finished] { finished = true; });
  if (!host.flow()->recoverChecked() || !QTest::qWaitFor([&] { return finished; }, 60000)) {
    std::fprintf(stderr, "rekovia_results_walk: the recovery did not finish\n");
    return 1;
  }
  ok = shoot(&dlg, out, "7-finish") && ok;
  dlg.close();
  return ok ? 0 : 1;
}
