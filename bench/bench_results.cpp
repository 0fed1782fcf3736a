// Results tree with a million synthetic records: time to show the tree, to re-run the filter, to
// check everything and to expand a folder of 100,000 files; peak memory. Offscreen by default.
#include <QApplication>
#include <QTreeView>
#include <cstdio>

#include "bench_util.h"
#include "fake_results.h"
#include "results/results_model.h"

namespace {

constexpr std::uint32_t kFiles = 1000000;
constexpr std::uint32_t kTopFolders = 10, kSubFolders = 100;  // 1,000 folders of 1,000 files

double settle(QApplication& app, QTreeView& view) {
  const double t = benchNowSeconds();
  view.viewport()->repaint();
  app.processEvents();
  return benchNowSeconds() - t;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  using resultstest::FakeResults;

  FakeResults fake;
  const std::uint32_t root = fake.folder(u"E:", kNoParent);
  std::vector<std::uint32_t> leaves;
  for (std::uint32_t t = 0; t < kTopFolders; ++t) {
    const std::uint32_t top = fake.folder(u"top" + std::u16string(1, char16_t(u'0' + t)), root);
    for (std::uint32_t s = 0; s < kSubFolders; ++s)
      leaves.push_back(fake.folder(u"sub", top, s % 3 == 0 ? kFolderDeleted : 0));
  }
  static const char16_t* const kExt[] = {u".jpg", u".txt", u".doc", u".png"};
  for (std::uint32_t i = 0; i < kFiles; ++i) {
    std::u16string name = u"file";
    for (char c : std::to_string(i)) name.push_back(static_cast<char16_t>(c));
    name += kExt[i % 4];
    fake.file({.name = name,
               .folder = leaves[i % leaves.size()],
               .size = 1000 + (i % 5000) * 97,
               .state = i % 3 == 0 ? unsigned(kStateExisting) : i % 5,
               .attributes = static_cast<std::uint8_t>(i % 2 == 0 ? kAttrArchive : 0),
               .modified = resultstest::kMidnight + (i % 400) * resultstest::kDay});
  }
  const std::uint64_t recordsKiB = benchResidentKiB();

  results::ResultsModel model;
  QTreeView view;
  view.setUniformRowHeights(true);
  view.resize(1200, 800);
  view.setModel(&model);
  view.show();
  app.processEvents();

  double t = benchNowSeconds();
  model.setRecords(fake.records(), results::FilterRule{});
  view.expand(model.indexOfItem(model.fileCount() + root));
  const double fill = benchNowSeconds() - t;
  const double firstPaint = settle(app, view);

  results::FilterRule narrow;
  narrow.patterns = u"*.JPG;*.png";
  narrow.flags |= results::kFilterDeletedOnly | results::kFilterSize;
  narrow.sizeMode = 3;  // larger than
  narrow.sizeKB = 100;
  t = benchNowSeconds();
  model.applyFilter(narrow);
  const double refilter = benchNowSeconds() - t;
  const double refilterPaint = settle(app, view);
  const std::uint32_t narrowVisible = model.visibleFiles();

  t = benchNowSeconds();
  model.applyFilter(results::FilterRule{});
  const double widen = benchNowSeconds() - t + settle(app, view);

  t = benchNowSeconds();
  model.setChecked(model.fileCount() + root, true);
  const double checkAll = benchNowSeconds() - t + settle(app, view);
  const std::size_t checked = model.checkedFiles().size();

  // One folder of 100,000 files, expanded.
  FakeResults flat;
  const std::uint32_t flatRoot = flat.folder(u"F:", kNoParent);
  for (std::uint32_t i = 0; i < 100000; ++i) flat.file({.name = u"f.bin", .folder = flatRoot});
  results::ResultsModel flatModel;
  QTreeView flatView;
  flatView.setUniformRowHeights(true);
  flatView.setModel(&flatModel);
  flatView.show();
  flatModel.setRecords(flat.records(), results::FilterRule{});
  t = benchNowSeconds();
  flatView.expand(flatModel.indexOfItem(flatModel.fileCount() + flatRoot));
  const double expand = benchNowSeconds() - t + settle(app, flatView);

  std::printf("results tree, %u files in %zu folders (offscreen)\n", kFiles, fake.folders.size());
  std::printf("  fill and show:          %8.1f ms (+%.1f ms first paint)\n", fill * 1e3,
              firstPaint * 1e3);
  std::printf("  re-filter (narrow):     %8.1f ms (+%.1f ms paint), %u files visible\n",
              refilter * 1e3, refilterPaint * 1e3, narrowVisible);
  std::printf("  re-filter (all again):  %8.1f ms\n", widen * 1e3);
  std::printf("  check everything:       %8.1f ms, %zu files checked\n", checkAll * 1e3, checked);
  std::printf("  expand 100,000 files:   %8.1f ms\n", expand * 1e3);
  std::printf("  memory: records %.1f MiB, peak %.1f MiB\n", double(recordsKiB) / 1024,
              double(benchPeakRssKiB()) / 1024);
  return 0;
}
