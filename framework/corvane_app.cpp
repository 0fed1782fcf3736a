// Application base and the process-wide text table.
#include "corvane_app.h"

namespace {

struct Texts {
  CTextTable table;
  QString section = QStringLiteral("Undelete");
  bool builtIn = false;
};

Texts& texts() {
  static Texts t;
  return t;
}

bool loadBuiltIn() {
  Texts& t = texts();
  if (!t.builtIn) t.builtIn = t.table.load(QStringLiteral(":/kvxhelper/lang/english.ini"));
  return t.builtIn;
}

}  // namespace

CCorvaneApp::CCorvaneApp(int& argc, char** argv, const QString& title, const QString& iniName)
    : QApplication(argc, argv), m_title(title), m_iniName(iniName), m_settings(title) {
  setApplicationName(title);
  setApplicationDisplayName(title);
  setOrganizationName(QStringLiteral("rekovia"));
}

CCorvaneApp::~CCorvaneApp() = default;

bool CCorvaneApp::initFramework() { return Corvane_LoadTexts(); }

bool Corvane_LoadTexts(const QString& overridePath) {
  if (!loadBuiltIn()) return false;
  return overridePath.isEmpty() || texts().table.load(overridePath);
}

void Corvane_SetDefaultSection(const QString& section) { texts().section = section; }

QString Corvane_Text(const char* key) {
  (void)loadBuiltIn();
  return texts().table.text(texts().section, QString::fromLatin1(key));
}

QString Corvane_Text(const QString& section, const char* key) {
  (void)loadBuiltIn();
  return texts().table.text(section, QString::fromLatin1(key));
}

const CTextTable& Corvane_Texts() {
  (void)loadBuiltIn();
  return texts().table;
}
