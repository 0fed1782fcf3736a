// The results page and the recovery flow over the real engine, loaded as the program loads it,
// on a FAT image made at test time: recovered bytes against the bytes the test wrote, the image
// unchanged, the same-drive warning once, the overwrite question once, a failed file left
// checked, the preview, the finish page's totals and the filter dialog's state check.
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>

#include "corvane_app.h"
#include "corvane_dialog.h"
#include "corvane_settings.h"
#include "engine_api.h"
#include "message_box.h"
#include "recovery/recovery_flow.h"
#include "recovery/recovery_pages.h"
#include "results/engine_records.h"
#include "results/filter_dialog.h"
#include "results/results_page.h"
#include "settings_names.h"

namespace {

QByteArray bytesOf(int seed, int size) {
  QByteArray out(size, '\0');
  quint32 x = 2463534242u + static_cast<quint32>(seed);
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QByteArray md5(const QString& path) {
  return QCryptographicHash::hash(readAll(path), QCryptographicHash::Md5).toHex();
}

bool sh(const QString& command) { return std::system(command.toLocal8Bit().constData()) == 0; }

}  // namespace

class ResultsFlowTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir m_tmp;
  QString m_image;
  QHash<QString, QByteArray> m_written;  // name on the volume -> bytes the test wrote
  EngineApi m_api;
  Undelete* m_engine = nullptr;
  std::unique_ptr<CCorvaneSettings> m_settings;
  std::unique_ptr<CCorvaneDialog> m_dialog;
  CDlgHardDriveResultScan* m_results = nullptr;
  CDlgHardDriveRestoring* m_restoring = nullptr;
  CDlgHardDriveFinish* m_finish = nullptr;
  CRecoveryFlow* m_flow = nullptr;
  QStringList m_messages;
  bool m_answer = true;

  std::uint32_t fileNamed(const QString& name) const {
    const auto* model = m_results->model();
    for (std::uint32_t i = 0; i < model->fileCount(); ++i)
      if (model->fileName(i) == name) return i;
    return UINT32_MAX;
  }
  std::uint32_t folderItem(const QString& name) const {
    const auto* model = m_results->model();
    for (std::uint32_t j = 0; j < model->folderCount(); ++j)
      if (model->folderName(j) == name) return model->fileCount() + j;
    return UINT32_MAX;
  }
  /// Runs the flow to its finish page; false when it did not start.
  bool recoverTo(const QString& folder) {
    m_flow->chooseFolder = [folder, asked = false](QWidget*) mutable {
      if (asked) return QString();  // asked again: give up
      asked = true;
      return folder;
    };
    QSignalSpy done(m_flow, &CRecoveryFlow::finished);
    if (!m_flow->recoverChecked()) return false;
    return done.wait(20000);
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_tmp.filePath(QStringLiteral("config"))));
    if (!sh(QStringLiteral("command -v mkfs.fat mcopy mdel >/dev/null")))
      QSKIP("needs mkfs.fat and mtools");
    // Docs/keep.txt and top.bin stay; Docs/gone.bin and old.dat are deleted, their bytes intact.
    const QString src = m_tmp.filePath(QStringLiteral("src"));
    QDir().mkpath(src + QStringLiteral("/Docs"));
    m_written = {{QStringLiteral("keep.txt"), bytesOf(1, 3000)},
                 {QStringLiteral("gone.bin"), bytesOf(2, 20000)},
                 {QStringLiteral("top.bin"), bytesOf(3, 7000)},
                 {QStringLiteral("old.dat"), bytesOf(4, 9000)}};
    for (auto it = m_written.begin(); it != m_written.end(); ++it) {
      const bool inDocs =
          it.key() == QStringLiteral("keep.txt") || it.key() == QStringLiteral("gone.bin");
      QFile f(src + (inDocs ? QStringLiteral("/Docs/") : QStringLiteral("/")) + it.key());
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(it.value());
    }
    m_image = m_tmp.filePath(QStringLiteral("vol.img"));
    QVERIFY(
        sh(QStringLiteral(
               "export MTOOLS_SKIP_CHECK=1 TZ=UTC; cd '%1' && "
               "mkfs.fat -C -F 16 -s 1 -i 1234ABCD -n FLOWTEST --invariant '%2' 8192 >/dev/null && "
               "mcopy -s -m -i '%2' Docs top.bin old.dat ::/ && "
               "mdel -i '%2' ::/Docs/gone.bin ::/old.dat")
               .arg(src, m_image)));

    std::string error;
    QVERIFY2(EngineApi_Load(m_api, GUI_TEST_ENGINE, error), error.c_str());
    QVERIFY(m_api.Undelete_Create(&m_engine) != 0);
    char letter = 0;
    QVERIFY(m_api.Undelete_AddDrive(m_image.toLocal8Bit().constData(), 0, &letter) != 0);
    const std::uint32_t driveSpec = static_cast<std::uint32_t>(letter - 'A');
    QVERIFY(m_api.Undelete_SearchMultiple(m_engine, &driveSpec, 1, 0, nullptr, nullptr, nullptr) !=
            0);
    std::uint32_t code = 0;
    QTRY_VERIFY_WITH_TIMEOUT(m_api.Undelete_IsSearching(m_engine, &code) == 0, 20000);

    m_settings = std::make_unique<CCorvaneSettings>(QStringLiteral("RekoviaFlowTest"));
    m_dialog = std::make_unique<CCorvaneDialog>();
    m_results = new CDlgHardDriveResultScan(m_api, m_engine);
    m_restoring = new CDlgHardDriveRestoring;
    m_finish = new CDlgHardDriveFinish;
    m_dialog->addPage(m_results);
    m_dialog->addPage(m_restoring);
    m_dialog->addPage(m_finish);
    m_flow = new CRecoveryFlow(m_api, m_engine, m_dialog.get(), *m_settings, m_results, m_restoring,
                               m_finish);
    Corvane_SetMessageHook([this](CorvaneMessage, const QString& text) {
      m_messages << text;
      return m_answer;
    });
  }

  void init() {
    m_messages.clear();
    m_answer = true;
    m_flow->bindEngine = nullptr;
    m_results->fill(results::FilterRule{});
  }

  void cleanupTestCase() {
    Corvane_SetMessageHook({});
    m_dialog.reset();  // the pages first: they read the engine's records
    if (m_engine != nullptr) (void)m_api.Undelete_Delete(m_engine);
  }

  void recoversCheckedFilesByteForByte() {
    const QByteArray before = md5(m_image);
    auto* model = m_results->model();
    QCOMPARE(model->fileCount(), 4u);
    const std::uint32_t root =
        model->parentItem(model->parentItem(fileNamed(QStringLiteral("keep.txt"))));
    QVERIFY(model->setData(model->indexOfItem(root), int(Qt::Checked), Qt::CheckStateRole));
    const QString out = m_tmp.filePath(QStringLiteral("out1"));
    QVERIFY(recoverTo(out));
    QCOMPARE(m_messages, QStringList{});  // no question: a fresh folder on another drive

    // Every file under its folders; deleted names lost their first letter on FAT.
    const QString rootName = model->folderName(root - model->fileCount());
    QCOMPARE(readAll(out + u'/' + rootName + QStringLiteral("/Docs/keep.txt")),
             m_written[QStringLiteral("keep.txt")]);
    QCOMPARE(readAll(out + u'/' + rootName + QStringLiteral("/top.bin")),
             m_written[QStringLiteral("top.bin")]);
    QCOMPARE(readAll(out + u'/' + rootName + u'/' +
                     model->fileName(fileNamed(QStringLiteral("_ld.dat")))),
             m_written[QStringLiteral("old.dat")]);
    QCOMPARE(readAll(out + u'/' + rootName + QStringLiteral("/Docs/_one.bin")),
             m_written[QStringLiteral("gone.bin")]);
    QCOMPARE(md5(m_image), before);

    QVERIFY(model->checkedFiles().empty());  // each success cleared its mark
    QCOMPARE(model->checkMark(root), results::ResultsModel::Unchecked);
    QCOMPARE(m_dialog->currentPage(), m_finish);
    QCOMPARE(m_finish->headingText(), Corvane_Text("IDS_ALL_FILES_RESTORED"));
    QVERIFY(m_finish->totalsText().contains(Corvane_Text("IDS_TOTAL_FILES_RECOVERED") + " 4"));
    QVERIFY(m_finish->totalsText().contains(Corvane_Text("IDS_TOTL_DEL_FILES_FOUND") + " 2"));
    QCOMPARE(m_settings->dword(kKeyLastScanStatus, kValueNumOfFilesRestoredTillDate, 0), 4u);
  }

  void sameDriveWarningOnceAndOverwriteOnce() {
    // The destination claims to be on the scanned drive: every file's answer is "not here".
    m_flow->bindEngine = [this] {
      auto calls = Recovery_Bind(m_api, m_engine);
      calls->lettersOfPath = [](const std::string&) { return std::string("Q"); };
      calls->mayBeRecoveredTo = [](std::uint32_t, char) { return false; };
      return calls;
    };
    auto* model = m_results->model();
    const std::uint32_t root = model->parentItem(fileNamed(QStringLiteral("top.bin")));
    model->setChecked(root, true);
    const QString rootName = model->folderName(root - model->fileCount());
    const QString out = m_tmp.filePath(QStringLiteral("out2"));
    QDir().mkpath(out + u'/' + rootName + QStringLiteral("/Docs"));
    for (const char* name : {"/top.bin", "/Docs/keep.txt"}) {
      QFile f(out + u'/' + rootName + QLatin1String(name));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("stale");
    }
    const std::uint32_t before =
        m_settings->dword(kKeyLastScanStatus, kValueNumOfFilesRestoredTillDate, 0);
    QVERIFY(recoverTo(out));
    QCOMPARE(m_messages.size(), 2);
    QCOMPARE(m_messages[0], Corvane_Text("IDS_WARN_SAME_DRIVE"));
    QVERIFY(m_messages[1].startsWith(
        Corvane_Text("IDS_OVERWRITE_MSG").section(QStringLiteral("%1"), 0, 0)));
    QCOMPARE(readAll(out + u'/' + rootName + QStringLiteral("/Docs/keep.txt")),
             m_written[QStringLiteral("keep.txt")]);
    QCOMPARE(readAll(out + u'/' + rootName + QStringLiteral("/top.bin")),
             m_written[QStringLiteral("top.bin")]);
    QCOMPARE(m_settings->dword(kKeyLastScanStatus, kValueNumOfFilesRestoredTillDate, 0),
             before + 4);

    // No to the warning asks for the folder again (here: cancelled), and nothing starts.
    m_messages.clear();
    m_answer = false;
    model->setChecked(root, true);
    QVERIFY(!recoverTo(m_tmp.filePath(QStringLiteral("out3"))));
    QCOMPARE(m_messages, QStringList{Corvane_Text("IDS_WARN_SAME_DRIVE")});
    QVERIFY(!QFile::exists(m_tmp.filePath(QStringLiteral("out3"))));
  }

  void failedFileStaysChecked() {
    const std::uint32_t bad = fileNamed(QStringLiteral("keep.txt"));
    m_flow->bindEngine = [this, bad] {
      auto calls = Recovery_Bind(m_api, m_engine);
      const auto real = calls->recoverAt;
      calls->recoverAt = [real, bad](std::uint32_t i, int folder, const std::string& name,
                                     std::string* chosen) {
        return i != bad && real(i, folder, name, chosen);
      };
      return calls;
    };
    auto* model = m_results->model();
    const std::uint32_t docs = folderItem(QStringLiteral("Docs"));
    model->setChecked(docs, true);
    QVERIFY(recoverTo(m_tmp.filePath(QStringLiteral("out4"))));
    QCOMPARE(model->checkedFiles(), std::vector<std::uint32_t>{bad});
    QCOMPARE(model->checkMark(docs), results::ResultsModel::PartlyChecked);
    QCOMPARE(model->checkMark(model->parentItem(docs)), results::ResultsModel::PartlyChecked);
    QCOMPARE(m_finish->headingText(), Corvane_Text("IDS_RENAMING_FILES").arg(1));
    QVERIFY(m_finish->totalsText().contains(Corvane_Text("IDS_TOTL_REM_FILES") + " 1"));
    model->setChecked(bad, false);
  }

  void previewOpensOnlyWhatWasWritten() {
    const std::uint32_t gone = fileNamed(QStringLiteral("_one.bin"));
    QVERIFY(gone != UINT32_MAX);
    const QString target = m_tmp.filePath(QStringLiteral("preview/look.bin"));
    QDir().mkpath(m_tmp.filePath(QStringLiteral("preview")));
    QStringList opened;
    m_flow->chooseSaveFile = [&](QWidget*, const QString& suggested) {
      return suggested == QStringLiteral("_one.bin") ? target : QString();
    };
    m_flow->openFile = [&](const QString& path) {
      opened << path;
      return true;
    };
    QVERIFY(m_flow->preview(gone));
    QCOMPARE(opened, QStringList{target});
    QCOMPARE(readAll(target), m_written[QStringLiteral("gone.bin")]);

    opened.clear();
    m_flow->bindEngine = [this] {
      auto calls = Recovery_Bind(m_api, m_engine);
      calls->recoverAt = [](std::uint32_t, int, const std::string&, std::string*) { return false; };
      return calls;
    };
    QVERIFY(!m_flow->preview(gone));
    QVERIFY(opened.isEmpty());
    QCOMPARE(m_messages.size(), 1);  // the failure is said, not opened
  }

  void filterDialogNeedsAState() {
    results::FilterRule rule;
    CDlgOptions dialog(rule);
    for (QCheckBox* box : dialog.editor()->states) box->setChecked(false);
    dialog.editor()->patterns->setText(QStringLiteral("*.bin"));
    dialog.accept();
    QCOMPARE(m_messages,
             QStringList{QStringLiteral("Please specify one of the file health filter!")});
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    dialog.editor()->states[kStateExcellent]->setChecked(true);
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.rule().patterns, std::u16string(u"*.bin"));
    QCOMPARE(dialog.rule().flags & (0x3Fu << results::kFilterStateShift),
             1u << (results::kFilterStateShift + kStateExcellent));

    // Through the options record and back, the scan bits untouched.
    ScanFilterOptions options = Options_Defaults();
    options.flags.set(options.flags.get() | kOptScanTestAll);
    Results_StoreRule(dialog.rule(), options);
    QVERIFY((options.flags.get() & kOptScanTestAll) != 0);
    const results::FilterRule back = Results_RuleOf(options);
    QCOMPARE(back.patterns, dialog.rule().patterns);
    QCOMPARE(back.flags, dialog.rule().flags | kOptScanTestAll);
  }
};

QTEST_MAIN(ResultsFlowTest)
#include "test_results_flow.moc"
