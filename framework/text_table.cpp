// Language file reader.
#include "text_table.h"

#include <QFile>

namespace {

QString unescape(const QString& raw) {
  QString out;
  out.reserve(raw.size());
  for (qsizetype i = 0; i < raw.size(); ++i) {
    const QChar c = raw[i];
    if (c == u'\\' && i + 1 < raw.size()) {
      const QChar n = raw[++i];
      if (n == u'n')
        out += u'\n';
      else if (n == u't')
        out += u'\t';
      else
        out += n;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void CTextTable::parse(const QByteArray& content) {
  QString section;
  for (const QByteArray& rawLine : content.split('\n')) {
    const QString line = QString::fromUtf8(rawLine).trimmed();
    if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) continue;
    if (line.startsWith(u'[') && line.endsWith(u']')) {
      section = line.mid(1, line.size() - 2).trimmed();
      continue;
    }
    const qsizetype eq = line.indexOf(u'=');
    if (eq <= 0) continue;
    m_sections[section].insert(line.left(eq).trimmed(), unescape(line.mid(eq + 1).trimmed()));
  }
}

bool CTextTable::load(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  parse(f.readAll());
  return true;
}

QString CTextTable::text(const QString& section, const QString& key) const {
  const auto s = m_sections.constFind(section);
  if (s == m_sections.constEnd()) return key;
  return s->value(key, key);
}

bool CTextTable::contains(const QString& section, const QString& key) const {
  const auto s = m_sections.constFind(section);
  return s != m_sections.constEnd() && s->contains(key);
}

QStringList CTextTable::keys(const QString& section) const {
  return m_sections.value(section).keys();
}
