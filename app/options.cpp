// Options file.
#include "options.h"

#include <cstring>

#include "atomic_file.h"

ScanFilterOptions Options_Defaults() {
  ScanFilterOptions o;
  std::memset(&o, 0, sizeof o);
  o.flags.set(kOptDefaultFlags);
  return o;
}

ScanFilterOptions Options_Read(const QString& dir) {
  ScanFilterOptions o = Options_Defaults();
  const auto bytes = Corvane_ReadFile(dir + u'/' + QLatin1String(kOptionsFileName), sizeof o);
  if (bytes) std::memcpy(&o, bytes->constData(), static_cast<std::size_t>(bytes->size()));
  // The name patterns are read as a C string: one that fills its field is still terminated.
  o.patterns[64].set(0);
  return o;
}

bool Options_Write(const QString& dir, const ScanFilterOptions& options, QString* error) {
  const QByteArray bytes(reinterpret_cast<const char*>(&options), sizeof options);
  return Corvane_WriteFileAtomically(dir, QLatin1String(kOptionsFileName), bytes, error);
}

uint32_t Options_ScanFlags(const ScanFilterOptions& options, bool deepScan) {
  const uint32_t f = options.flags.get();
  return ((f >> 4) & 0x7u) | (deepScan ? kOptDeepScan : 0u);
}
