// Application base: the program's title and INI name, the text lookup, the settings store.
#pragma once

#include <QApplication>
#include <QString>

#include "corvane_settings.h"
#include "text_table.h"

class CCorvaneApp : public QApplication {
  Q_OBJECT
 public:
  /// @p title is the product title (window captions, settings file name), @p iniName the
  /// framework's INI file name.
  CCorvaneApp(int& argc, char** argv, const QString& title, const QString& iniName);
  ~CCorvaneApp() override;

  /// The framework's own start: the language file. False when it cannot be read.
  [[nodiscard]] bool initFramework();
  [[nodiscard]] const QString& title() const { return m_title; }
  [[nodiscard]] const QString& iniName() const { return m_iniName; }
  /// The per-user settings store of this application.
  [[nodiscard]] CCorvaneSettings& settings() { return m_settings; }

 private:
  QString m_title;
  QString m_iniName;
  CCorvaneSettings m_settings;
};

/// Loads the built-in language file (once per process) and then @p overridePath when not empty.
/// False when a file cannot be read.
bool Corvane_LoadTexts(const QString& overridePath = {});
/// Sets the section that Corvane_Text uses.
void Corvane_SetDefaultSection(const QString& section);
/// The text of @p key in the default section (loading the built-in texts on first use); the key
/// itself when it has none.
[[nodiscard]] QString Corvane_Text(const char* key);
/// The text of @p key in @p section.
[[nodiscard]] QString Corvane_Text(const QString& section, const char* key);
/// The process-wide table behind Corvane_Text.
[[nodiscard]] const CTextTable& Corvane_Texts();
