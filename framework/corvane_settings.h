// Per-user settings: DWORD and string values under the application's key and its subkeys, kept
// in $XDG_CONFIG_HOME/rekovia/<application>.conf.
#pragma once

#include <QSettings>
#include <QString>
#include <memory>

class CCorvaneSettings {
 public:
  explicit CCorvaneSettings(const QString& application);
  /// The value @p name under @p subkey ("" is the application key); @p fallback when it is
  /// absent or not of the type asked for.
  [[nodiscard]] quint32 dword(const QString& subkey, const QString& name, quint32 fallback) const;
  [[nodiscard]] QString string(const QString& subkey, const QString& name,
                               const QString& fallback) const;
  [[nodiscard]] bool contains(const QString& subkey, const QString& name) const;
  void setDword(const QString& subkey, const QString& name, quint32 value);
  void setString(const QString& subkey, const QString& name, const QString& value);
  /// Writes pending changes; false when the store cannot be written.
  bool sync();
  [[nodiscard]] QString fileName() const { return m_store->fileName(); }

 private:
  [[nodiscard]] static QString path(const QString& subkey, const QString& name);
  std::unique_ptr<QSettings> m_store;
};
