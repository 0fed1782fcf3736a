// The scan flow with the real engine on images built here: open the image, scan now through the
// scan-type prompt, the scanning page to its end; a deep scan cancelled, saved and continued.
// The images are byte for byte the same afterwards.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "corvane_app.h"
#include "gui_test.h"
#include "message_box.h"
#include "pages/scan_setting.h"
#include "pages/welcome_page.h"
#include "settings_names.h"
#include "undelete_dlg.h"

namespace {

QByteArray md5(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash h(QCryptographicHash::Md5);
  h.addData(&f);
  return h.result().toHex();
}

bool run(const QString& program, const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  p.start(program, args);
  return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

}  // namespace

class TestScanFlow : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void cleanup();
  void scanSampleThroughThePages();
  void cancelSaveAndContinue();
  void wholeDiskImage();

 private:
  QTemporaryDir m_dir;
  QString m_sample, m_big, m_disk;
  EngineApi m_api;
  QStringList m_messages;
};

void TestScanFlow::initTestCase() {
  QVERIFY(m_dir.isValid());
  m_sample = m_dir.filePath(QStringLiteral("sample.img"));
  QVERIFY(run(QStringLiteral("bash"),
              {QStringLiteral(KVX_SOURCE_DIR "/samples/make_sample.sh"), m_sample}));
  // A larger FAT32 volume, so that its deep scan lasts long enough to be interrupted.
  m_big = m_dir.filePath(QStringLiteral("big.img"));
  QVERIFY(run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("256M"), m_big}));
  QVERIFY(run(QStringLiteral("mkfs.fat"),
              {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-i"),
               QStringLiteral("12345678"), QStringLiteral("--invariant"), m_big}));
  // A whole-disk image: an MBR with one FAT16 partition at 1 MiB, one file kept, one deleted.
  m_disk = m_dir.filePath(QStringLiteral("disk.img"));
  const QString script = QStringLiteral(
      "set -e; export MTOOLS_SKIP_CHECK=1; d=\"$1\"; truncate -s 48M \"$d\";"
      "printf 'label: dos\\nlabel-id: 0x12345678\\n2048,65536,6\\n' | sfdisk -q \"$d\";"
      "mkfs.fat -F 16 -i 0BADF00D --invariant --offset 2048 \"$d\" 32768 >/dev/null;"
      "echo kept >\"$d.k\"; echo gone >\"$d.g\";"
      "mcopy -i \"$d@@1M\" \"$d.k\" ::/KEPT.TXT; mcopy -i \"$d@@1M\" \"$d.g\" ::/GONE.TXT;"
      "mdel -i \"$d@@1M\" ::/GONE.TXT");
  QVERIFY(run(QStringLiteral("bash"),
              {QStringLiteral("-c"), script, QStringLiteral("mkdisk"), m_disk}));
  std::string error;
  QVERIFY2(EngineApi_Load(m_api, GUI_TEST_ENGINE, error), error.c_str());
  Corvane_SetMessageHook([this](CorvaneMessage, const QString& text) {
    m_messages << text;
    return true;
  });
}

void TestScanFlow::cleanup() { m_messages.clear(); }

void TestScanFlow::scanSampleThroughThePages() {
  const QByteArray before = md5(m_sample);
  CUndeleteDlg dlg(m_api);
  QVERIFY(dlg.initDialog());
  dlg.settings().setDword({}, kValueDontShowScanSettingNag, 0);
  dlg.settings().setDword({}, kValueScanSettingType, 0);
  QString error;
  const int index = dlg.openImage(m_sample, &error);
  QVERIFY2(index >= 0, qPrintable(error));
  const QString text = dlg.drives()[static_cast<std::size_t>(index)].text;
  // An image has no label, and it is not the system drive: no blank after the drive.
  QVERIFY2(
      QRegularExpression(QStringLiteral("^\\([C-Z]:\\), FAT16, 16\\.0 MB$")).match(text).hasMatch(),
      qPrintable(text));
  dlg.show();
  dlg.welcomePage()->choose(index);

  // "Scan now" opens the scan-type prompt; its "Scan now" starts a quick scan.
  bool prompted = false;
  QTimer::singleShot(0, this, [&prompted] {
    auto* prompt = qobject_cast<CDlgScanSetting*>(QApplication::activeModalWidget());
    if (prompt == nullptr) return;
    prompted = prompt->quickButton()->isChecked();
    prompt->findChild<QAbstractButton*>(QStringLiteral("scanNow"))->click();
  });
  QSignalSpy ended(&dlg, &CUndeleteDlg::scanFinished);
  dlg.welcomePage()->scanNowButton()->click();
  QVERIFY(prompted);
  QCOMPARE(dlg.currentPage(), static_cast<QWidget*>(dlg.scanningPage()));
  QCOMPARE(dlg.statusLine(), QStringLiteral("- \"") + text + u'"');
  QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 30000);

  const auto outcome = ended[0][0].value<ScanOutcome>();
  QVERIFY(!outcome.cancelled && !outcome.restored);
  // The sample holds four files and three deleted ones (a budget, a report in a deleted folder,
  // a photo).
  QCOMPARE(outcome.files, 7u);
  QCOMPARE(outcome.deleted, 3u);
  QCOMPARE(dlg.scanningPage()->percentText(), QStringLiteral("Scanned 100.0%"));
  QCOMPARE(dlg.resultLine(), QStringLiteral("The scan is complete."));
  QCOMPARE(dlg.statusLine(), QStringLiteral("The scan is complete."));
  QCOMPARE(dlg.settings().string(kKeyLastScanStatus, kValueNumOfFilesFound, {}),
           QStringLiteral("7"));
  QCOMPARE(dlg.settings().string(kKeyLastScanStatus, kValueLastOptionSelected, {}), text);
  QVERIFY(m_messages.isEmpty());
  dlg.close();
  QCOMPARE(md5(m_sample), before);
}

void TestScanFlow::cancelSaveAndContinue() {
  const QByteArray before = md5(m_big);
  QFile::remove(QStringLiteral("LastSession.Results"));
  CUndeleteDlg dlg(m_api);
  QVERIFY(dlg.initDialog());
  dlg.settings().setDword({}, kValueDontShowScanSettingNag, 1);
  dlg.settings().setDword({}, kValueScanSettingType, 1);  // deep
  QString error;
  const int index = dlg.openImage(m_big, &error);
  QVERIFY2(index >= 0, qPrintable(error));
  QVERIFY(dlg.sessionDescription().isNull());
  QVERIFY(!dlg.welcomePage()->lastSessionBox()->isEnabled());
  QSignalSpy ended(&dlg, &CUndeleteDlg::scanFinished);
  // Cancel as soon as the deep scan runs (a watcher polls the engine every millisecond; the
  // page's own polls are too far apart for a scan this short): the engine offers to save.
  std::atomic<bool> cancelled{false};
  std::atomic<bool> stop{false};
  Undelete* engine = nullptr;
  QVERIFY(dlg.scanNow(index, {}, false));
  engine = dlg.engine();
  std::thread watcher([&] {
    while (!stop) {
      uint32_t total = 0, done = 0;
      uint64_t sectorsDone = 0, sectorsTotal = 0;
      if (m_api.Undelete_GetProgress(engine, &total, &done, &sectorsDone, &sectorsTotal) != 0 &&
          sectorsTotal != 0) {
        cancelled = m_api.Undelete_Cancel(engine) != 0;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  QTRY_VERIFY_WITH_TIMEOUT(ended.size() == 1 || cancelled, 30000);
  stop = true;
  watcher.join();
  QVERIFY(cancelled);
  QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 30000);
  QVERIFY(ended[0][0].value<ScanOutcome>().cancelled);
  QCOMPARE(dlg.resultLine(), QStringLiteral("The scan was cancelled."));
  QVERIFY(m_messages.contains(Corvane_Text("IDS_SAVE_RESULTS")));

  // Back on the welcome page the saved session is offered and continued.
  dlg.showWelcome();
  const QString description = dlg.sessionDescription();
  QVERIFY(!description.isEmpty());
  QVERIFY(dlg.welcomePage()->lastSessionBox()->isEnabled());
  dlg.welcomePage()->lastSessionBox()->setChecked(true);
  dlg.welcomePage()->scanNowButton()->click();
  QCOMPARE(dlg.currentPage(), static_cast<QWidget*>(dlg.scanningPage()));
  QVERIFY(dlg.statusLine().startsWith(QStringLiteral("Last session - \"")));
  QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 60000);
  const auto restored = ended[1][0].value<ScanOutcome>();
  QVERIFY(restored.restored && !restored.cancelled);
  QCOMPARE(dlg.resultLine(), QStringLiteral("The scan is complete."));
  dlg.close();
  QCOMPARE(md5(m_big), before);
}

void TestScanFlow::wholeDiskImage() {
  const QByteArray before = md5(m_disk);
  CUndeleteDlg dlg(m_api);
  QVERIFY(dlg.initDialog());
  dlg.settings().setDword({}, kValueDontShowScanSettingNag, 1);
  dlg.settings().setDword({}, kValueScanSettingType, 0);
  QString error;
  const int index = dlg.openImage(m_disk, &error);
  QVERIFY2(index >= 0, qPrintable(error));
  // The partition inside is chosen, listed under "Partitions" and scanned by its list index.
  const DriveItem item = dlg.drives()[static_cast<std::size_t>(index)];
  QCOMPARE(item.category, DriveCategory::Partitions);
  QVERIFY2(item.text.contains(QStringLiteral("FAT16")), qPrintable(item.text));
  QCOMPARE(item.driveSpec >> 24, 1u);
  QSignalSpy ended(&dlg, &CUndeleteDlg::scanFinished);
  QVERIFY(dlg.scanNow(index, {}, false));
  QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 30000);
  const auto outcome = ended[0][0].value<ScanOutcome>();
  QCOMPARE(outcome.files, 2u);
  QCOMPARE(outcome.deleted, 1u);
  dlg.close();
  QCOMPARE(md5(m_disk), before);
}

GUI_TEST(TestScanFlow);
#include "test_scan_flow.moc"
