// Texts and numbers the pages show, and the language file behind them.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include "corvane_app.h"
#include "drive_list.h"
#include "gui_test.h"
#include "gui_text.h"

class TestTexts : public QObject {
  Q_OBJECT
 private slots:
  void percentAndBar();
  void cutAt50();
  void sizeTexts();
  void hardDriveTexts();
  void everyKeyHasAText();
};

void TestTexts::percentAndBar() {
  QCOMPARE(Gui_PercentTenths(3, 1), 333u);  // "33" and "3"
  QCOMPARE(Corvane_Text("IDS_SCAN_STINRG").arg(333 / 10).arg(333 % 10),
           QStringLiteral("Scanned 33.3%"));
  QCOMPARE(Gui_PercentTenths(3, 2), 667u);  // rounded
  QCOMPARE(Gui_PercentTenths(10000, 10000), 1000u);
  QCOMPARE(Gui_PercentTenths(0, 0), 0u);  // nothing measured yet: no division by zero
  QCOMPARE(Gui_PercentTenths(4000000000u, 3000000000u), 750u);  // done * 1000 beyond 32 bits
  QCOMPARE(Gui_PercentTenths(10, 25), 1000u);                   // never past 100 %

  const GuiBar normal = Gui_Bar(10000, 2500);
  QCOMPARE(normal.maximum, 10000);
  QCOMPARE(normal.value, 2500);
  const GuiBar over = Gui_Bar(10000, 12000);  // done past total: 80 % of the range
  QCOMPARE(over.maximum, 10000);
  QCOMPARE(over.value, 8000);
  const GuiBar huge = Gui_Bar(0xFFFFFFFFu, 0x80000000u);  // a range an int cannot hold
  QVERIFY(huge.maximum > 0 && huge.value > 0 && huge.value <= huge.maximum);
  QVERIFY(qAbs(double(huge.value) / huge.maximum - 0.5) < 0.001);
}

void TestTexts::cutAt50() {
  const QString fifty(50, u'x');
  const QString fiftyOne = fifty + u'y';
  QCOMPARE(Gui_DriveStatus(fifty), QStringLiteral("- \"") + fifty + u'"');
  QCOMPARE(Gui_DriveStatus(fiftyOne), QStringLiteral("- \"") + fifty + QStringLiteral(" ...\""));
  QCOMPARE(Gui_SessionStatus(QStringLiteral("Last session"), fifty),
           QStringLiteral("Last session - \"") + fifty + u'"');
  QCOMPARE(Gui_SessionStatus(QStringLiteral("Last session"), fiftyOne),
           QStringLiteral("Last session - \"") + fifty + QStringLiteral("...\""));
  // Characters, not bytes: a name in another script is cut at the same place.
  const QString umlauts(51, QChar(0x00FC));
  QCOMPARE(Gui_DriveStatus(umlauts).size(), 3 + 50 + 5);
  QCOMPARE(Gui_Cut(fiftyOne, 49, QStringLiteral(" ...")), fifty.left(49) + QStringLiteral(" ..."));
}

void TestTexts::sizeTexts() {
  QCOMPARE(Gui_SizeText(0), QStringLiteral("0 B"));
  QCOMPARE(Gui_SizeText(1023), QStringLiteral("1023 B"));
  QCOMPARE(Gui_SizeText(1024), QStringLiteral("1.0 KB"));
  QCOMPARE(Gui_SizeText(1536), QStringLiteral("1.5 KB"));
  QCOMPARE(Gui_SizeText((1ull << 20) - 1), QStringLiteral("1024.0 KB"));
  QCOMPARE(Gui_SizeText(8ull << 20), QStringLiteral("8.0 MB"));
  QCOMPARE(Gui_SizeText(3ull << 30), QStringLiteral("3.0 GB"));
  QCOMPARE(Gui_SizeText(5ull << 40), QStringLiteral("5.0 TB"));
  QCOMPARE(Gui_SizeText(~0ull), QStringLiteral("16777216.0 TB"));
}

void TestTexts::hardDriveTexts() {
  // The system drive has a blank between the drive and the label; other drives have none.
  QCOMPARE(DriveList_HardDriveText('C', QStringLiteral("ROOT"), true, QStringLiteral("NTFS"),
                                   64ull << 30),
           QStringLiteral("(C:) ROOT (System drive), NTFS, 64.0 GB"));
  QCOMPARE(DriveList_HardDriveText('E', QStringLiteral("USB"), false, QStringLiteral("FAT32"),
                                   15ull << 29),
           QStringLiteral("(E:)USB, FAT32, 7.5 GB"));
  QCOMPARE(DriveList_HardDriveText('F', {}, false, QStringLiteral("FAT16"), 8ull << 20),
           QStringLiteral("(F:), FAT16, 8.0 MB"));
}

void TestTexts::everyKeyHasAText() {
  // Every key the program looks up is in the language file, and every placeholder it fills is
  // there: a missing text would show its key, a missing %n would show the raw text.
  const QRegularExpression use(QStringLiteral("Corvane_Text\\(\"(IDS_[A-Z0-9_]+)\"\\)"));
  QSet<QString> used;
  QDirIterator it(QStringLiteral(KVX_SOURCE_DIR "/app"), {QStringLiteral("*.cpp")}, QDir::Files,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile f(it.next());
    QVERIFY(f.open(QIODevice::ReadOnly));
    auto m = use.globalMatch(QString::fromUtf8(f.readAll()));
    while (m.hasNext()) used.insert(m.next().captured(1));
  }
  for (const char* key : {"IDS_OPT_REM_DRIVE_STRING", "IDS_SCAN_STINRG", "IDS_SECTOR_PROGRESS"})
    QVERIFY(used.contains(QLatin1String(key)));
  const CTextTable& table = Corvane_Texts();
  for (const QString& key : used)
    QVERIFY2(table.contains(QStringLiteral("Undelete"), key), qPrintable(key));
  QVERIFY(Corvane_Text("IDS_SCAN_STINRG").contains(QStringLiteral("%2")));
  QVERIFY(Corvane_Text("IDS_SECTOR_PROGRESS").contains(QStringLiteral("%2")));
  QVERIFY(Corvane_Text("IDS_OPT_CD_DVD_STRING").contains(QStringLiteral("%1")));
}

GUI_TEST(TestTexts);
#include "test_texts.moc"
