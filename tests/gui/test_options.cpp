// The options file: defaults, round trip, short and long files, and a planted link.
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

#include "gui_test.h"
#include "options.h"

class TestOptions : public QObject {
  Q_OBJECT
 private slots:
  void defaultsWhenAbsent();
  void roundTripAndPartialFiles();
  void plantedLinkIsReplacedNotFollowed();
  void scanFlags();
};

void TestOptions::defaultsWhenAbsent() {
  QTemporaryDir dir;
  const ScanFilterOptions o = Options_Read(dir.path());
  const uint32_t f = o.flags.get();
  for (int state = 0; state < 6; ++state) QVERIFY(f & (1u << (kOptStateShift + state)));
  for (int attr = 0; attr < 6; ++attr)
    QCOMPARE((f >> (kOptAttributeShift + 2 * attr)) & 3u, kAttrFilterEither);
  // No date, size or name filter; zero-length files hidden; no content checks.
  QCOMPARE(f & 0x7Fu, 0u);
  QVERIFY((f >> 25) == 0);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&o);
  for (std::size_t i = 4; i < sizeof o; ++i) QCOMPARE(bytes[i], uint8_t{0});
}

void TestOptions::roundTripAndPartialFiles() {
  QTemporaryDir dir;
  ScanFilterOptions o = Options_Defaults();
  o.flags.set(kOptDefaultFlags | kOptDateFilter | kOptScanTestExtension | kOptScanTestAll);
  o.dateMode = 4;
  o.sizeMode = 1;
  const char16_t pattern[] = u"*.jpg;*.doc";
  for (std::size_t i = 0; i + 1 < std::size(pattern); ++i) o.patterns[i].set(pattern[i]);
  o.date.set(133000000000000000ull);
  o.sizeKB.set(0x12345678u);
  QString error;
  QVERIFY2(Options_Write(dir.path(), o, &error), qPrintable(error));
  const QString path = dir.filePath(QLatin1String(kOptionsFileName));
  QCOMPARE(QFileInfo(path).size(), qint64{148});
  ScanFilterOptions back = Options_Read(dir.path());
  QCOMPARE(std::memcmp(&back, &o, sizeof o), 0);
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);  // no temporary left

  // A short file sets what it holds; the rest stays at the defaults.
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  const char shortRecord[6] = {0x04, 0, 0, 0, 2, 3};
  f.write(shortRecord, sizeof shortRecord);
  f.close();
  back = Options_Read(dir.path());
  QCOMPARE(back.flags.get(), kOptDeletedOnly);
  QCOMPARE(back.dateMode, uint8_t{2});
  QCOMPARE(back.sizeMode, uint8_t{3});
  QCOMPARE(back.sizeKB.get(), 0u);

  // A longer file: its first 148 bytes; a pattern filling its field is still terminated.
  QByteArray big(400, '\x41');
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(big);
  f.close();
  back = Options_Read(dir.path());
  QCOMPARE(back.flags.get(), 0x41414141u);
  QCOMPARE(back.patterns[63].get(), uint16_t{0x4141});
  QCOMPARE(back.patterns[64].get(), uint16_t{0});
  QCOMPARE(back.sizeKB.get(), 0x41414141u);
}

void TestOptions::plantedLinkIsReplacedNotFollowed() {
  QTemporaryDir dir;
  const QString victim = dir.filePath(QStringLiteral("victim.txt"));
  QFile v(victim);
  QVERIFY(v.open(QIODevice::WriteOnly));
  v.write("keep me");
  v.close();
  const QString path = dir.filePath(QLatin1String(kOptionsFileName));
  QVERIFY(::symlink(victim.toLocal8Bit().constData(), path.toLocal8Bit().constData()) == 0);
  QString error;
  QVERIFY2(Options_Write(dir.path(), Options_Defaults(), &error), qPrintable(error));
  QVERIFY(!QFileInfo(path).isSymLink());
  QCOMPARE(QFileInfo(path).size(), qint64{148});
  QVERIFY(v.open(QIODevice::ReadOnly));
  QCOMPARE(v.readAll(), QByteArray("keep me"));
  // An unwritable folder: reported, nothing half-written.
  QVERIFY(!Options_Write(dir.filePath(QStringLiteral("missing")), Options_Defaults(), &error));
  QVERIFY(!error.isEmpty());
}

void TestOptions::scanFlags() {
  ScanFilterOptions o = Options_Defaults();
  QCOMPARE(Options_ScanFlags(o, false), 0u);
  QCOMPARE(Options_ScanFlags(o, true), kOptDeepScan);
  o.flags.set(kOptDefaultFlags | kOptScanTestExtension | kOptScanRenameExtension | kOptScanTestAll |
              kOptDeletedOnly);
  QCOMPARE(Options_ScanFlags(o, false), kOptTestExtension | kOptRenameExtension | kOptTestAll);
  o.flags.set(kOptScanRenameExtension);
  QCOMPARE(Options_ScanFlags(o, true), kOptRenameExtension | kOptDeepScan);
}

GUI_TEST(TestOptions);
#include "test_options.moc"
