// The results filter and tree model: filter rules at their edges, the visibility overrides, the
// check rule and the cell texts, over records laid out as the engine lays them out.
#include <QAbstractItemModelTester>
#include <QBrush>
#include <QtTest>

#include "fake_results.h"
#include "results/file_filter.h"
#include "results/results_model.h"

using results::Compare;
using results::FileFilter;
using results::FilterRule;
using results::ResultsModel;
using resultstest::FakeResults;
using resultstest::kDay;
using resultstest::kMidnight;

namespace {

bool keeps(const FilterRule& rule, const FakeResults::File& f) {
  FakeResults fake;
  fake.folder(u"E:", kNoParent);
  fake.file(f);
  const FileRecord& r = fake.files.front();
  return FileFilter(rule).keeps(r, [&] { return std::u16string_view(f.name); });
}

FilterRule withPatterns(std::u16string p) {
  FilterRule rule;
  rule.patterns = std::move(p);
  return rule;
}

}  // namespace

class ResultsModelTest : public QObject {
  Q_OBJECT
 private slots:
  void namePatterns() {
    QVERIFY(results::wildcardMatches(u"*.JPG", u"holiday.jpg"));
    QVERIFY(results::wildcardMatches(u"?", u"a"));
    QVERIFY(!results::wildcardMatches(u"?", u"ab"));
    QVERIFY(!results::wildcardMatches(u"?", u""));
    QVERIFY(!results::wildcardMatches(u"a*b", u"a_b_c"));  // the whole name must be consumed
    QVERIFY(results::wildcardMatches(u"a*b*c", u"aXbYbZc"));
    QVERIFY(!results::wildcardMatches(u"\u00C9T\u00C9", u"\u00E9t\u00E9"));  // A-Z folding only
    const FilterRule two = withPatterns(u"*.txt;*.csv");
    QVERIFY(keeps(two, {.name = u"a.txt"}));
    QVERIFY(keeps(two, {.name = u"b.CSV"}));
    QVERIFY(!keeps(two, {.name = u"c.doc"}));
    // Empty pieces are skipped: a stray ";" neither hides every name nor widens the filter.
    QVERIFY(keeps(withPatterns(u"*.txt;"), {.name = u"a.txt"}));
    QVERIFY(!keeps(withPatterns(u";*.txt"), {.name = u"c.doc"}));
    QVERIFY(keeps(withPatterns(u";;"), {.name = u"c.doc"}));
  }

  void dateEdges_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<qlonglong>("offset");  // from the chosen day's midnight, in ticks
    QTest::addColumn<bool>("kept");
    const qlonglong last = qlonglong(kDay) - 1;  // 23:59:59.9999999
    QTest::newRow("equal keeps midnight") << 2 << 0LL << true;
    QTest::newRow("equal keeps the last tick") << 2 << last << true;
    QTest::newRow("equal drops next midnight") << 2 << last + 1 << false;
    QTest::newRow("equal drops the tick before") << 2 << -1LL << false;
    QTest::newRow("less drops the day's midnight") << 0 << 0LL << false;
    QTest::newRow("less keeps the tick before") << 0 << -1LL << true;
    QTest::newRow("less-or-equal keeps the last tick") << 1 << last << true;
    QTest::newRow("less-or-equal drops next midnight") << 1 << last + 1 << false;
    QTest::newRow("greater drops the last tick") << 3 << last << false;
    QTest::newRow("greater keeps next midnight") << 3 << last + 1 << true;
    QTest::newRow("greater-or-equal keeps midnight") << 4 << 0LL << true;
    QTest::newRow("greater-or-equal drops the tick before") << 4 << -1LL << false;
  }
  void dateEdges() {
    QFETCH(int, mode);
    QFETCH(qlonglong, offset);
    QFETCH(bool, kept);
    FilterRule rule;
    rule.flags |= results::kFilterDate;
    rule.dateMode = static_cast<std::uint8_t>(mode);
    rule.date = kMidnight;
    QCOMPARE(
        keeps(rule, {.name = u"a", .modified = kMidnight + static_cast<std::uint64_t>(offset)}),
        kept);
  }

  void sizeInKiB() {
    FilterRule rule;
    rule.flags |= results::kFilterSize;
    rule.sizeMode = static_cast<std::uint8_t>(Compare::Equal);
    rule.sizeKB = 1;
    QVERIFY(!keeps(rule, {.name = u"a", .size = 1023}));
    QVERIFY(keeps(rule, {.name = u"a", .size = 1024}));
    QVERIFY(keeps(rule, {.name = u"a", .size = 2047}));
    QVERIFY(!keeps(rule, {.name = u"a", .size = 2048}));
    rule.sizeMode = static_cast<std::uint8_t>(Compare::Less);
    QVERIFY(keeps(rule, {.name = u"a", .size = 1023}));
    QVERIFY(!keeps(rule, {.name = u"a", .size = 1024}));
    rule.sizeMode = 7;  // a damaged options file: no mode keeps anything
    QVERIFY(!keeps(rule, {.name = u"a", .size = 1024}));
  }

  void statesAndAttributes() {
    const FilterRule defaults;  // every state, every attribute "either"
    for (unsigned s = 0; s <= kStateExisting; ++s)
      QVERIFY(keeps(defaults, {.name = u"a", .state = s, .attributes = 0x3F}));
    QVERIFY(!keeps(defaults, {.name = u"a", .state = 6}));  // past the six states
    QVERIFY(!keeps(defaults, {.name = u"a", .state = 31}));
    QVERIFY(!keeps(defaults, {.name = u"a", .size = 0}));  // zero length hidden
    FilterRule rule = defaults;
    rule.flags |= results::kFilterShowEmpty | results::kFilterDeletedOnly;
    QVERIFY(keeps(rule, {.name = u"a", .size = 0, .state = kStatePoor}));
    QVERIFY(!keeps(rule, {.name = u"a", .state = kStateExisting}));
    rule.flags &= ~(1u << (results::kFilterStateShift + kStatePoor));
    QVERIFY(!keeps(rule, {.name = u"a", .state = kStatePoor}));
    QVERIFY(keeps(rule, {.name = u"a", .state = kStateGood}));

    FilterRule attrs = defaults;
    attrs.setAttrMode(2, results::AttrMode::Set);    // H must be set
    attrs.setAttrMode(1, results::AttrMode::Clear);  // R must be clear
    QVERIFY(keeps(attrs, {.name = u"a", .attributes = kAttrHidden}));
    QVERIFY(!keeps(attrs, {.name = u"a", .attributes = 0}));
    QVERIFY(!keeps(attrs, {.name = u"a", .attributes = kAttrHidden | kAttrReadOnly}));
    attrs.setAttrMode(5, results::AttrMode::Reject);
    QVERIFY(!keeps(attrs, {.name = u"a", .attributes = kAttrHidden}));
  }

  // E: / Docs (existing) / Old (deleted) / Sys (hidden) ; files in each.
  void visibilityOverrides() {
    FakeResults fake;
    const auto root = fake.folder(u"E:", kNoParent);
    const auto docs = fake.folder(u"Docs", root);
    const auto old = fake.folder(u"Old", docs, kFolderDeleted);
    const auto sys = fake.folder(u"Sys", root, kFolderHidden);
    const auto live = fake.file({.name = u"live.txt", .folder = docs});
    const auto gone = fake.file({.name = u"gone.txt", .folder = docs, .state = kStateGood});
    const auto replaced = fake.file({.name = u"gone.txt", .folder = docs, .state = kStatePoor});
    fake.files[replaced].marks.set(1);
    const auto inHidden = fake.file({.name = u"x.txt", .folder = sys, .state = kStateGood});
    const auto inOld = fake.file({.name = u"y.txt", .folder = old, .state = kStateGood});

    ResultsModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setRecords(fake.records(), FilterRule{});
    const std::uint32_t F = model.fileCount();
    QVERIFY(model.isShown(live) && model.isShown(gone) && model.isShown(inOld));
    QVERIFY(!model.isVisible(replaced));
    QVERIFY(!model.isVisible(F + sys) && !model.isShown(inHidden));
    QCOMPARE(model.visibleFiles(), 4u);  // the file in the hidden folder passes the filter
    QCOMPARE(model.rowCount(), 1);       // E: alone at the top
    const QModelIndex e = model.index(0, 0);
    QCOMPARE(model.data(e).toString(), QStringLiteral("E:"));
    QCOMPARE(model.rowCount(e), 1);  // Docs; Sys is hidden

    // Deleted only: the existing folders holding a deleted file come back with it.
    FilterRule deletedOnly;
    deletedOnly.flags |= results::kFilterDeletedOnly;
    model.applyFilter(deletedOnly);
    QVERIFY(!model.isVisible(live));
    QVERIFY(model.isShown(F + root) && model.isShown(F + docs) && model.isShown(gone));
    QVERIFY(model.isShown(F + old) && model.isShown(inOld));
    // ...but not when the filter drops every deleted file beneath them.
    deletedOnly.patterns = u"*.none";
    model.applyFilter(deletedOnly);
    QVERIFY(!model.isVisible(F + root) && !model.isVisible(F + docs));
    QVERIFY(model.isVisible(F + old));  // a deleted folder shows by itself; its parent does not
    QVERIFY(!model.isShown(F + old));
    QCOMPARE(model.rowCount(), 0);
  }

  void damagedFolderLinks() {
    FakeResults fake;
    const auto a = fake.folder(u"a", 1);  // a <-> b: a loop no chain climbs out of
    fake.folder(u"b", a);
    fake.folder(u"c", 77);  // a parent that does not exist
    fake.file({.name = u"f", .folder = 99});
    fake.file({.name = u"g", .folder = a});
    ResultsModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setRecords(fake.records(), FilterRule{});
    const std::uint32_t F = model.fileCount();
    QCOMPARE(model.parentItem(F + 2), model.rootItem());
    QCOMPARE(model.parentItem(0), model.rootItem());
    QVERIFY(model.isShown(1));
    QVERIFY(!model.locationText(a).isEmpty());  // ends, whichever link was cut
  }

  void checkRule() {
    FakeResults fake;
    const auto root = fake.folder(u"E:", kNoParent);
    const auto docs = fake.folder(u"Docs", root);
    const auto sub = fake.folder(u"Sub", docs);
    const auto a = fake.file({.name = u"a.txt", .folder = docs});
    const auto b = fake.file({.name = u"b.jpg", .folder = docs});
    const auto c = fake.file({.name = u"c.txt", .folder = sub});
    const auto d = fake.file({.name = u"d.txt", .folder = root});
    ResultsModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setRecords(fake.records(), withPatterns(u"*.txt"));
    const std::uint32_t F = model.fileCount();
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    // Through the view's path: setData with Qt::Checked on the folder's index.
    QVERIFY(model.setData(model.indexOfItem(F + docs), int(Qt::Checked), Qt::CheckStateRole));
    QVERIFY(changed.count() > 0);
    QCOMPARE(model.checkMark(F + docs), ResultsModel::Checked);
    QCOMPARE(model.checkMark(a), ResultsModel::Checked);
    QCOMPARE(model.checkMark(c), ResultsModel::Checked);
    QCOMPARE(model.checkMark(F + sub), ResultsModel::Checked);
    QCOMPARE(model.checkMark(b), ResultsModel::Unchecked);  // filtered out: not chosen
    QCOMPARE(model.checkMark(F + root), ResultsModel::PartlyChecked);
    QCOMPARE(model.data(model.indexOfItem(F + root), Qt::CheckStateRole).toInt(),
             int(Qt::PartiallyChecked));
    QCOMPARE(model.checkedFiles(), (std::vector<std::uint32_t>{a, c}));

    // Unchecking one child leaves its ancestors partly checked while a sibling is still checked.
    model.setChecked(a, false);
    QCOMPARE(model.checkMark(F + docs), ResultsModel::PartlyChecked);
    QCOMPARE(model.checkMark(F + root), ResultsModel::PartlyChecked);
    model.setChecked(c, false);
    QCOMPARE(model.checkMark(F + sub), ResultsModel::Unchecked);
    QCOMPARE(model.checkMark(F + docs), ResultsModel::Unchecked);
    QCOMPARE(model.checkMark(F + root), ResultsModel::Unchecked);

    // Checking a partly checked folder checks it whole; unchecking clears hidden marks too.
    model.setChecked(d, true);
    model.setChecked(c, true);
    QCOMPARE(model.checkMark(F + root), ResultsModel::PartlyChecked);
    model.applyFilter(FilterRule{});  // b shows now, unchecked
    QVERIFY(model.setData(model.indexOfItem(F + root), int(Qt::Checked), Qt::CheckStateRole));
    QCOMPARE(model.checkedFiles(), (std::vector<std::uint32_t>{a, b, c, d}));
    model.applyFilter(withPatterns(u"*.jpg"));  // a, c, d hidden but still checked
    QVERIFY(model.setData(model.indexOfItem(F + root), int(Qt::Unchecked), Qt::CheckStateRole));
    QVERIFY(model.checkedFiles().empty());
    QCOMPARE(model.checkMark(F + sub), ResultsModel::Unchecked);

    // After recovery: folder marks cleared alone; a failed file marks its ancestors partly.
    model.applyFilter(FilterRule{});
    model.setChecked(F + docs, true);
    model.clearFolderChecks();
    QCOMPARE(model.checkMark(F + docs), ResultsModel::Unchecked);
    QCOMPARE(model.checkMark(a), ResultsModel::Checked);
    QCOMPARE(model.checkedFolders(), std::vector<std::uint32_t>{});
    model.markAncestorsPartly(c);
    QCOMPARE(model.checkMark(F + sub), ResultsModel::PartlyChecked);
    QCOMPARE(model.checkMark(F + root), ResultsModel::PartlyChecked);
    model.setChecked(a, false);
    model.setChecked(b, false);
    QCOMPARE(model.checkMark(F + docs), ResultsModel::PartlyChecked);  // c below Sub still is
  }

  // Random clicks on a random tree, with filters changing in between: a marked item never sits
  // under an unmarked ancestor, and a partly checked one always has something marked below.
  void checkRuleInvariants() {
    FakeResults fake;
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t n) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 8) % n;
    };
    fake.folder(u"E:", kNoParent);
    for (std::uint32_t j = 1; j < 40; ++j) fake.folder(u"d", next(j));
    for (int i = 0; i < 300; ++i)
      fake.file({.name = next(2) ? u"a.txt" : u"b.jpg", .folder = next(40)});
    ResultsModel model;  // no model tester here: it re-walks the tree on every signal
    model.setRecords(fake.records(), FilterRule{});
    const std::uint32_t n = model.rootItem();
    for (int step = 0; step < 1000; ++step) {
      if (step % 100 == 0) model.applyFilter(next(2) ? FilterRule{} : withPatterns(u"*.txt"));
      const std::uint32_t item = next(n);
      if (!model.isShown(item)) continue;
      model.setChecked(item, model.checkMark(item) != ResultsModel::Checked);
      std::vector<int> markedChildren(n + 1, 0);
      for (std::uint32_t k = 0; k < n; ++k) {
        if (model.checkMark(k) == ResultsModel::Unchecked) continue;
        ++markedChildren[model.parentItem(k)];
        for (std::uint32_t a = model.parentItem(k); a != n; a = model.parentItem(a))
          QVERIFY2(model.checkMark(a) != ResultsModel::Unchecked,
                   qPrintable(QString::number(step)));
      }
      for (std::uint32_t k = 0; k < n; ++k)  // partly checked only while something below is
        if (model.checkMark(k) == ResultsModel::PartlyChecked) QVERIFY(markedChildren[k] > 0);
    }
  }

  void cellTexts() {
    FakeResults fake;
    const auto root = fake.folder(u"E:", kNoParent);
    const auto docs = fake.folder(u"Docs", root, kFolderDeleted | (0x05u << 16));
    const auto live = fake.file({.name = u"report.final.txt",
                                 .folder = docs,
                                 .size = 1536,
                                 .attributes = kAttrArchive | kAttrSystem | kAttrEncrypted,
                                 .modified = kMidnight + 9 * 3600 * 10000000ull});
    const auto poor =
        fake.file({.name = u"README", .folder = docs, .size = 5ull << 30, .state = kStatePoor});
    FileRecord& p = fake.files[poor];
    p.overwrittenClusters.set(7);
    p.totalClusters.set(28);
    p.overwrittenBy.set(live);
    p.firstOverwritten[0].set(100);
    p.firstOverwritten[1].set(101);
    p.note.set(fake.string(u"Fragmented."));
    const auto good = fake.file({.name = u"x", .folder = root, .size = 17, .state = kStateGood});
    fake.files[good].stateOnly = 1;
    fake.files[good].overwrittenBy.set(0xFFFFFFFEu);
    const auto bare = fake.file({.name = u"y", .folder = root, .state = kStateExcellent});

    ResultsModel model;
    model.setRecords(fake.records(), FilterRule{});
    const std::uint32_t F = model.fileCount();
    auto cell = [&](std::uint32_t item, int column) { return model.cellText(item, column); };
    QCOMPARE(cell(live, ResultsModel::Name), QStringLiteral("report.final.txt"));
    QCOMPARE(cell(live, ResultsModel::Extension), QStringLiteral("txt"));
    QCOMPARE(cell(poor, ResultsModel::Extension), QString());
    QCOMPARE(cell(live, ResultsModel::Location), QStringLiteral("E:\\Docs\\"));
    QCOMPARE(cell(live, ResultsModel::Size), QStringLiteral("1.5 KB"));
    QCOMPARE(cell(poor, ResultsModel::Size), QStringLiteral("5.0 GB"));
    QCOMPARE(cell(good, ResultsModel::Size), QStringLiteral("17 B"));
    QVERIFY(cell(live, ResultsModel::Modified).contains(QStringLiteral("9:00")));  // no zone shift
    QCOMPARE(cell(live, ResultsModel::Attributes), QStringLiteral("ASE"));
    QCOMPARE(cell(live, ResultsModel::State), QStringLiteral("Exists"));
    QCOMPARE(cell(poor, ResultsModel::State), QStringLiteral("Poor (7 / 28)"));
    QCOMPARE(cell(good, ResultsModel::State), QStringLiteral("Good"));
    QCOMPARE(
        cell(poor, ResultsModel::Comment),
        QStringLiteral("Fragmented. This file is overwritten with 'E:\\Docs\\report.final.txt', "
                       "2 first overwritten clusters of 7 are: 100, 101. "));
    QCOMPARE(cell(good, ResultsModel::Comment),
             QStringLiteral("This file is overwritten by other file system, "));
    QCOMPARE(cell(bare, ResultsModel::Comment),
             QStringLiteral("No overwritten clusters detected. "));
    QCOMPARE(cell(F + docs, ResultsModel::Name), QStringLiteral("Docs"));
    QCOMPARE(cell(F + docs, ResultsModel::Attributes), QStringLiteral("AH"));
    QCOMPARE(cell(F + docs, ResultsModel::Size), QString());
    // Red for deleted names only.
    QCOMPARE(model.data(model.indexOfItem(poor), Qt::ForegroundRole).value<QBrush>().color(),
             QColor(Qt::red));
    QCOMPARE(model.data(model.indexOfItem(F + docs), Qt::ForegroundRole).value<QBrush>().color(),
             QColor(Qt::red));
    QVERIFY(!model.data(model.indexOfItem(live), Qt::ForegroundRole).isValid());
  }

  void locationLimit() {
    FakeResults fake;
    std::uint32_t parent = fake.folder(u"E:", kNoParent);
    for (int k = 0; k < 41; ++k) parent = fake.folder(std::u16string(100, u'd'), parent);
    const auto deep = fake.file({.name = u"f", .folder = parent});
    const auto shallow = fake.file({.name = u"g", .folder = 3});
    ResultsModel model;
    model.setRecords(fake.records(), FilterRule{});
    QCOMPARE(model.cellText(deep, ResultsModel::Location), QString());  // 4144 units: too long
    QCOMPARE(model.cellText(shallow, ResultsModel::Location).size(), 3 + 3 * 101);
  }
};

QTEST_MAIN(ResultsModelTest)
#include "test_results_model.moc"
