// The program's application object: start-up order, engine binding, the main dialog.
#pragma once

#include <string>

#include "corvane_app.h"
#include "engine_api.h"

// Exit codes of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFramework = 1;  // the language file cannot be read
inline constexpr int kExitEngine = 2;     // libKVXDLL.so or one of its names is missing
inline constexpr int kExitDialog = 3;     // the engine object cannot be created

class CUndeleteApp : public CCorvaneApp {
  Q_OBJECT
 public:
  CUndeleteApp(int& argc, char** argv);
  /// Start-up, then the main dialog until it closes; returns the exit code.
  int run();
  [[nodiscard]] const EngineApi& engine() const { return m_api; }

 private:
  EngineApi m_api;
};
