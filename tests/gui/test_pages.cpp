// The pages' logic over a scripted engine: drive list, polling, cancel, failures, and the
// engine's questions asked from its own thread.
#include <QAbstractButton>
#include <QComboBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "corvane_app.h"
#include "fake_engine.h"
#include "gui_test.h"
#include "message_box.h"
#include "pages/category_list.h"
#include "pages/scanning_page.h"
#include "pages/welcome_page.h"
#include "settings_names.h"
#include "undelete_dlg.h"

class TestPages : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void cleanup();
  void driveListAndPartitionScans();
  void stageAndSectorTexts();
  void cancelAndFinalCounts();
  void scanNowChecksAndFailures();
  void sessionRestore();
  void questionsFromTheSearchThread();

 private:
  QStringList m_messages;
  bool m_answer = true;
};

void TestPages::init() {
  FakeEngine::reset();
  m_messages.clear();
  m_answer = true;
  Corvane_SetMessageHook([this](CorvaneMessage, const QString& text) {
    m_messages << text;
    return m_answer;
  });
  CCorvaneSettings s(QStringLiteral("Rekovia"));
  s.setDword({}, kValueDontShowScanSettingNag, 1);
  s.setDword({}, kValueScanSettingType, 0);
  QVERIFY(s.sync());
}

void TestPages::cleanup() { Corvane_SetMessageHook({}); }

void TestPages::driveListAndPartitionScans() {
  FakeEngine& f = FakeEngine::get();
  f.drives = {{'C', kUndeleteDriveFixed, true, "64.0 GB, NTFS", 64ull << 30},
              {'D', kUndeleteDriveCdRom, false, nullptr, 0},
              {'E', kUndeleteDriveFixed, true, "8.0 MB, FAT16", 8ull << 20},
              {'F', kUndeleteDriveRemovable, false, nullptr, 0},
              {'G', kUndeleteDriveFixed, false, "1.0 GB, FAT32", 0},  // cannot be opened
              {'H', kUndeleteDriveFixed, true, nullptr, 1ull << 30},  // not describable
              {'I', kUndeleteDriveUnknown, true, "1.0 MB, FAT12", 1ull << 20}};
  f.systemLetters = "C";
  f.presentDisks = {0, 2, 5};
  f.refusedDisks = {2};
  f.partitionPolls = {{0, 3}, {5, 2}};
  f.partitions = {"Disk 0, partition 1, NTFS", "Disk 5, unallocated"};
  const EngineApi api = FakeEngine_Api();
  CUndeleteDlg dlg(api);
  QVERIFY(dlg.initDialog());
  // Each started scan is polled until the engine reports it ended (0), also past a total of
  // 0xFFFF or less; a drive whose scan does not start is never polled.
  QCOMPARE(f.polledDisks, (std::vector<int>{0, 0, 0, 0, 5, 5, 5}));
  const CCCategoryList* list = dlg.welcomePage()->categoryList();
  QCOMPARE(list->texts(DriveCategory::HardDrive),
           (QStringList{QStringLiteral("(C:)  (System drive), NTFS, 64.0 GB"),
                        QStringLiteral("(E:), FAT16, 8.0 MB")}));
  QCOMPARE(list->texts(DriveCategory::CdDvd), QStringList{QStringLiteral("CD/DVD drive (D:)")});
  QCOMPARE(list->texts(DriveCategory::Removable),
           QStringList{QStringLiteral("Removable drive (F:)")});
  QCOMPARE(list->texts(DriveCategory::Partitions),
           (QStringList{QStringLiteral("Disk 0, partition 1, NTFS"),
                        QStringLiteral("Disk 5, unallocated")}));
  const auto& drives = dlg.drives();
  QCOMPARE(drives.size(), std::size_t{6});
  QCOMPARE(drives[2].driveSpec, uint32_t{'E' - 'A'});
  QCOMPARE(drives[5].driveSpec, 0x01000001u);
  // Choosing in the list fills the drive box; a partition scans with its list index.
  dlg.welcomePage()->choose(5);
  QCOMPARE(dlg.welcomePage()->driveBox()->currentText(), QStringLiteral("Disk 5, unallocated"));
  dlg.welcomePage()->scanNow();
  QCOMPARE(f.lastSpec, 0x01000001u);
  QCOMPARE(dlg.currentPage(), static_cast<QWidget*>(dlg.scanningPage()));
}

void TestPages::stageAndSectorTexts() {
  FakeEngine& f = FakeEngine::get();
  const EngineApi api = FakeEngine_Api();
  CDlgHardDriveScanning page(api, reinterpret_cast<Undelete*>(0x1000));
  page.setPollInterval(3600 * 1000);  // polled by hand below
  f.searching = 1;
  f.total = 3;
  f.done = 1;
  f.files = 7;
  f.deleted = 2;
  f.stage = "Scanning folders";
  f.sectorsTotal = 100;
  f.sectorsDone = 40;
  page.begin(QStringLiteral("(E:), FAT16, 8.0 MB"), false);
  for (int i = 0; i < 10; ++i) page.poll();
  QCOMPARE(page.percentText(), QStringLiteral("Scanned 33.3%"));
  QCOMPARE(page.filesText(), QStringLiteral("Files found: 7"));
  QCOMPARE(page.deletedText(), QStringLiteral("Deleted files found: 2"));
  QCOMPARE(page.stageText(), QString());  // not yet: every eleventh poll
  page.poll();
  QCOMPARE(page.stageText(), QStringLiteral("Scanning folders"));
  QCOMPARE(page.sectorText(), QStringLiteral("Sectors searched: 40 of 100"));
  f.stage = "Deep scan";
  f.sectorsTotal = 0;
  for (int i = 0; i < 10; ++i) page.poll();
  QCOMPARE(page.stageText(), QStringLiteral("Scanning folders"));
  page.poll();
  QCOMPARE(page.stageText(), QStringLiteral("Deep scan"));
  QCOMPARE(page.sectorText(), QStringLiteral("Sectors searched: 40 of 100"));  // kept
  // done past total: the bar stops at 80 % instead of overflowing.
  f.total = 1000;
  f.done = 1500;
  page.poll();
  QCOMPARE(page.barMaximum(), 1000);
  QCOMPARE(page.barValue(), 800);
  // A session restore refreshes the stage on every poll.
  page.begin(QStringLiteral("session"), true);
  f.stage = "Restoring";
  page.poll();
  QCOMPARE(page.stageText(), QStringLiteral("Restoring"));
  f.searching = 0;
  page.poll();
}

void TestPages::cancelAndFinalCounts() {
  FakeEngine& f = FakeEngine::get();
  const EngineApi api = FakeEngine_Api();
  CDlgHardDriveScanning page(api, reinterpret_cast<Undelete*>(0x1000));
  page.setPollInterval(3600 * 1000);
  QSignalSpy finished(&page, &CDlgHardDriveScanning::finished);
  f.endOnCancel = false;
  f.searching = 1;
  f.total = 10000;
  f.done = 2500;
  f.files = 5;
  page.begin(QStringLiteral("(E:), FAT16, 8.0 MB"), false);
  QCOMPARE(page.statusText(), QStringLiteral("- \"(E:), FAT16, 8.0 MB\""));
  page.poll();
  QCOMPARE(page.percentText(), QStringLiteral("Scanned 25.0%"));
  page.cancel();
  QCOMPARE(f.cancelCalls, 1);
  QCOMPARE(page.statusText(), QStringLiteral("Stopped"));
  QVERIFY(!page.findChild<QAbstractButton*>(QStringLiteral("cancel"))->isEnabled());
  f.done = 5000;  // the engine goes on a little until it sees the cancel
  f.files = 9;
  page.poll();
  QCOMPARE(page.percentText(), QStringLiteral("Scanned 25.0%"));  // frozen once cancelled
  QCOMPARE(finished.size(), 0);
  f.searching = 0;
  page.poll();
  QCOMPARE(finished.size(), 1);
  const auto outcome = finished[0][0].value<ScanOutcome>();
  QVERIFY(outcome.cancelled);
  QCOMPARE(outcome.files, 9u);  // what the engine holds in the end
  QVERIFY(!page.polling());

  // Cancelled from elsewhere after the last poll: the engine has already cleared its cancel flag
  // when the page looks, and only its error code tells. Not reported as a completed scan.
  f.cancelled = 0;
  f.searching = 1;
  page.begin(QStringLiteral("(E:), FAT16, 8.0 MB"), false);
  page.poll();
  f.searching = 0;
  f.error = kErrUserAbort;
  page.poll();
  QCOMPARE(finished.size(), 2);
  QVERIFY(finished[1][0].value<ScanOutcome>().cancelled);
}

void TestPages::scanNowChecksAndFailures() {
  FakeEngine& f = FakeEngine::get();
  f.drives = {{'E', kUndeleteDriveFixed, true, "8.0 MB, FAT16", 8ull << 20},
              {'K', kUndeleteDriveFixed, false, nullptr, 0}};
  const EngineApi api = FakeEngine_Api();
  CUndeleteDlg dlg(api);
  QVERIFY(dlg.initDialog());
  QWidget* welcome = dlg.currentPage();
  // A typed drive that is not in the drive table: a message, nothing starts.
  QVERIFY(!dlg.scanNow(-1, QStringLiteral("q:"), false));
  QCOMPARE(m_messages, QStringList{QStringLiteral("Q:\\ is not a valid drive.")});
  QVERIFY(!dlg.scanNow(-1, QStringLiteral("not a drive"), false));
  QCOMPARE(m_messages.last(), QStringLiteral("not a drive is not a valid drive."));
  QCOMPARE(f.searchCalls, 0);
  // The engine refuses: its message, and the page does not change.
  f.searchResult = 0;
  QVERIFY(!dlg.scanNow(0, {}, false));
  QCOMPARE(m_messages.last(), QStringLiteral("The scan could not be started: Cannot open drive."));
  QCOMPARE(dlg.currentPage(), welcome);
  // A typed drive the table has but the list does not show (K: cannot be described) scans
  // by its letter, deep as the stored scan type says, with the content-check options.
  f.searchResult = 1;
  dlg.settings().setDword({}, kValueScanSettingType, 1);
  dlg.options().flags.set(kOptDefaultFlags | kOptScanTestExtension);
  QVERIFY(dlg.scanNow(-1, QStringLiteral("k:\\"), false));
  QCOMPARE(f.lastSpec, uint32_t{'K' - 'A'});
  QCOMPARE(f.lastFlags, kOptTestExtension | kOptDeepScan);
  QCOMPARE(dlg.currentPage(), static_cast<QWidget*>(dlg.scanningPage()));
  QCOMPARE(dlg.statusLine(), QStringLiteral("- \"K:\\\""));
}

void TestPages::sessionRestore() {
  FakeEngine& f = FakeEngine::get();
  f.drives = {{'E', kUndeleteDriveFixed, true, "8.0 MB, FAT16", 8ull << 20}};
  const QByteArray description =
      "Interrupted scan of drives:\n  E:, 8.0 MB with a description longer than fifty";
  f.session = description.constData();
  const EngineApi api = FakeEngine_Api();
  CUndeleteDlg dlg(api);
  QVERIFY(dlg.initDialog());
  dlg.options().flags.set(kOptDefaultFlags | kOptScanRenameExtension | kOptDeletedOnly);
  // The check box wins over the chosen drive; the engine gets option bits 4..6 as bits 0..2.
  QVERIFY(dlg.scanNow(0, {}, true));
  QCOMPARE(f.searchCalls, 0);
  QCOMPARE(f.lastFlags, kOptRenameExtension);
  QCOMPARE(dlg.statusLine(), QStringLiteral("Last session - \"") +
                                 QString::fromUtf8(description.left(50)) + QStringLiteral("...\""));
  QSignalSpy ended(&dlg, &CUndeleteDlg::scanFinished);
  f.files = 4;
  f.searching = 0;
  dlg.scanningPage()->poll();
  QCOMPARE(ended.size(), 1);
  QVERIFY(ended[0][0].value<ScanOutcome>().restored);
  QCOMPARE(dlg.resultLine(), QStringLiteral("The scan is complete."));
  QCOMPARE(dlg.settings().string(kKeyLastScanStatus, kValueNumOfFilesFound, {}),
           QStringLiteral("4"));
  // Without a saved session the box is ignored and the drive is scanned.
  f.session = nullptr;
  QVERIFY(dlg.scanNow(0, {}, true));
  QCOMPARE(f.searchCalls, 1);
  f.searching = 0;
}

void TestPages::questionsFromTheSearchThread() {
  FakeEngine& f = FakeEngine::get();
  f.drives = {{'E', kUndeleteDriveFixed, true, "8.0 MB, FAT16", 8ull << 20}};
  const EngineApi api = FakeEngine_Api();
  CUndeleteDlg dlg(api);
  QVERIFY(dlg.initDialog());
  QVERIFY(dlg.scanNow(0, {}, false));
  QVERIFY(f.saveCallback != nullptr);
  // The engine asks from its own thread while the GUI thread goes on polling.
  std::atomic<int> answer{-1};
  m_answer = false;
  std::thread worker([&] { answer = f.saveCallback(f.callbackArg); });
  QTRY_VERIFY_WITH_TIMEOUT(answer.load() != -1, 5000);
  worker.join();
  QCOMPARE(answer.load(), 0);
  QCOMPARE(m_messages.last(), Corvane_Text("IDS_SAVE_RESULTS"));
  m_answer = true;
  std::thread again([&] { answer = f.saveCallback(f.callbackArg); });
  QTRY_VERIFY_WITH_TIMEOUT(answer.load() == 1, 5000);
  again.join();
  f.searching = 0;
  QTRY_VERIFY_WITH_TIMEOUT(!dlg.scanningPage()->polling(), 5000);
}

GUI_TEST(TestPages);
#include "test_pages.moc"
