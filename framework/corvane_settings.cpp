// Settings store over QSettings (INI format, so the file is readable and editable by hand).
#include "corvane_settings.h"

CCorvaneSettings::CCorvaneSettings(const QString& application)
    : m_store(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                          QStringLiteral("rekovia"), application)) {}

QString CCorvaneSettings::path(const QString& subkey, const QString& name) {
  return subkey.isEmpty() ? name : subkey + u'/' + name;
}

bool CCorvaneSettings::contains(const QString& subkey, const QString& name) const {
  return m_store->contains(path(subkey, name));
}

quint32 CCorvaneSettings::dword(const QString& subkey, const QString& name,
                                quint32 fallback) const {
  const QVariant v = m_store->value(path(subkey, name));
  if (!v.isValid()) return fallback;
  bool ok = false;
  const qulonglong n = v.toString().toULongLong(&ok, 0);
  return ok && n <= 0xFFFFFFFFull ? static_cast<quint32>(n) : fallback;
}

QString CCorvaneSettings::string(const QString& subkey, const QString& name,
                                 const QString& fallback) const {
  const QVariant v = m_store->value(path(subkey, name));
  return v.isValid() ? v.toString() : fallback;
}

void CCorvaneSettings::setDword(const QString& subkey, const QString& name, quint32 value) {
  m_store->setValue(path(subkey, name), QString::number(value));
}

void CCorvaneSettings::setString(const QString& subkey, const QString& name, const QString& value) {
  m_store->setValue(path(subkey, name), value);
}

bool CCorvaneSettings::sync() {
  m_store->sync();
  return m_store->status() == QSettings::NoError;
}
