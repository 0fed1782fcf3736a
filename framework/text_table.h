// Texts by key and section, read from a language file: "[Section]" lines, "KEY=text" lines,
// ";" comments. "\n" in a text is a line break, "\\" a backslash.
#pragma once

#include <QHash>
#include <QString>

class CTextTable {
 public:
  /// Adds the texts of @p content (UTF-8); later keys replace earlier ones. Lines that are neither
  /// a section, a comment nor "KEY=text" are skipped.
  void parse(const QByteArray& content);
  /// Reads the file at @p path (a Qt resource path too). False when it cannot be read.
  bool load(const QString& path);
  /// The text of @p key in @p section; @p key itself when absent, so a missing text shows up.
  [[nodiscard]] QString text(const QString& section, const QString& key) const;
  [[nodiscard]] bool contains(const QString& section, const QString& key) const;
  [[nodiscard]] QStringList keys(const QString& section) const;

 private:
  QHash<QString, QHash<QString, QString>> m_sections;
};
