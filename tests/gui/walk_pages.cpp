// Walks the program's pages on a disk image the way a user does (welcome, settings, scan-type
// prompt, scanning, end) and saves a screenshot of the screen at each one.
// usage: rekovia_walk OUTPUT_DIR IMAGE
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstdio>

#include "corvane_app.h"
#include "message_box.h"
#include "pages/scan_setting.h"
#include "pages/welcome_page.h"
#include "settings_names.h"
#include "undelete_dlg.h"
#include "walk_results.h"

namespace {

// While set, the page is told the engine still searches, so that the scanning page can be shot
// with the engine's real numbers however fast the scan is.
std::atomic<bool> holdScan{false};
decltype(EngineApi::Undelete_IsSearching) realIsSearching = nullptr;

int isSearchingHeld(Undelete* u, uint32_t* exitCode) noexcept {
  const int searching = realIsSearching(u, exitCode);
  return holdScan.load() ? 1 : searching;
}

bool shoot(QWidget* window, const QString& dir, const char* name) {
  QApplication::processEvents();
  QTest::qWait(300);  // let the window system draw it
  QScreen* screen = window->screen();
  const QRect frame = window->frameGeometry();
  QPixmap shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  if (shot.isNull()) shot = window->grab();
  const QString path = dir + u'/' + QLatin1String(name) + QStringLiteral(".png");
  if (!shot.save(path)) {
    std::fprintf(stderr, "rekovia_walk: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setApplicationDisplayName(QStringLiteral("Rekovia"));
  if (argc != 3) {
    std::fprintf(stderr, "usage: rekovia_walk OUTPUT_DIR IMAGE\n");
    return 2;
  }
  const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  const QString image = QString::fromLocal8Bit(argv[2]);
  Corvane_SetDefaultSection(QStringLiteral("Undelete"));
  EngineApi api;
  std::string error;
  if (!EngineApi_Load(api, GUI_TEST_ENGINE, error)) {
    std::fprintf(stderr, "rekovia_walk: %s\n", error.c_str());
    return 1;
  }
  realIsSearching = api.Undelete_IsSearching;
  api.Undelete_IsSearching = isSearchingHeld;
  CUndeleteDlg dlg(api);
  if (!dlg.initDialog({image})) return 1;
  dlg.settings().setDword({}, kValueDontShowScanSettingNag, 0);
  dlg.settings().setDword({}, kValueScanSettingType, 0);
  dlg.resize(820, 620);
  dlg.move(10, 10);
  dlg.show();
  if (!QTest::qWaitForWindowExposed(&dlg)) return 1;
  int chosen = -1;
  for (std::size_t i = 0; i < dlg.drives().size(); ++i)
    if (dlg.drives()[i].text.contains(QStringLiteral("FAT16"))) chosen = static_cast<int>(i);
  if (chosen < 0) {
    std::fprintf(stderr, "rekovia_walk: the image is not in the drive list\n");
    return 1;
  }
  dlg.welcomePage()->choose(chosen);
  bool ok = shoot(&dlg, out, "1-welcome");

  dlg.findChild<QAbstractButton*>(QStringLiteral("settings"))->click();
  ok = shoot(&dlg, out, "2-settings") && ok;
  dlg.findChild<QAbstractButton*>(QStringLiteral("back"))->click();

  // The scan-type prompt: shot, deep scan chosen, "Scan now".
  QTimer::singleShot(200, &dlg, [&] {
    auto* prompt = qobject_cast<CDlgScanSetting*>(QApplication::activeModalWidget());
    if (prompt == nullptr) return;
    prompt->deepButton()->click();
    ok = shoot(prompt, out, "3-scan-type") && ok;
    prompt->findChild<QAbstractButton*>(QStringLiteral("scanNow"))->click();
  });
  bool ended = false;
  QObject::connect(&dlg, &CUndeleteDlg::scanFinished, [&ended] { ended = true; });
  Corvane_SetMessageHook([](CorvaneMessage, const QString&) { return false; });
  holdScan = true;
  dlg.welcomePage()->scanNowButton()->click();
  if (dlg.currentPage() != dlg.scanningPage()) {
    std::fprintf(stderr, "rekovia_walk: the scan did not start\n");
    return 1;
  }
  QTest::qWait(700);  // a dozen polls: the stage and sector texts are shown too
  ok = shoot(&dlg, out, "4-scanning") && ok;
  holdScan = false;
  if (!QTest::qWaitFor([&ended] { return ended; }, 60000)) return 1;
  ok = shoot(&dlg, out, "5-end") && ok;
  ok = Walk_Results(dlg, [&](const char* name) { return shoot(&dlg, out, name); }) && ok;
  dlg.close();
  return ok ? 0 : 1;
}
