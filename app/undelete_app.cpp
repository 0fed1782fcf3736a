// Start-up of the program.
#include "undelete_app.h"

#include <QCommandLineParser>
#include <cstdio>

#include "undelete_dlg.h"

CUndeleteApp::CUndeleteApp(int& argc, char** argv)
    : CCorvaneApp(argc, argv, QStringLiteral("Rekovia"), QStringLiteral("kvx.ini")) {}

int CUndeleteApp::run() {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Find and recover deleted files"));
  parser.addHelpOption();
  parser.addPositionalArgument(QStringLiteral("image"),
                               QStringLiteral("disk images to list as drives at start-up"));
  parser.process(*this);

  // No rights check that ends or restarts the program: without root, images and the devices the
  // user may read can be scanned. The welcome page offers the restart with rights.
  if (!initFramework()) {
    std::fprintf(stderr, "Rekovia: the built-in texts cannot be read\n");
    return kExitFramework;
  }
  Corvane_SetDefaultSection(QStringLiteral("Undelete"));
  std::string error;
  if (!EngineApi_Load(m_api, EngineApi_DefaultLibrary(), error)) {
    std::fprintf(stderr, "Rekovia: %s\n", error.c_str());
    return kExitEngine;
  }
  CUndeleteDlg dlg(m_api);
  if (!dlg.initDialog(parser.positionalArguments())) {
    std::fprintf(stderr, "Rekovia: the recovery engine could not be started\n");
    return kExitDialog;
  }
  (void)dlg.exec();
  return kExitOk;
}
