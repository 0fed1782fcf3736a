// Drive list.
#include "drive_list.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <cstring>

#include "corvane_app.h"
#include "gui_text.h"

namespace {

// udev escapes blanks and other bytes of a label as "\x20".
QString unescapeUdev(const QString& name) {
  QByteArray out;
  const QByteArray in = name.toUtf8();
  for (qsizetype i = 0; i < in.size(); ++i) {
    if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
      bool ok = false;
      const int v = in.mid(i + 2, 2).toInt(&ok, 16);
      if (ok) {
        out += static_cast<char>(v);
        i += 3;
        continue;
      }
    }
    out += in[i];
  }
  return QString::fromUtf8(out);
}

// The file-system name is the last part of the engine's short description ("16.0 MB, FAT16").
QString fileSystemOf(const char* summary) {
  const QString s = QString::fromUtf8(summary);
  const qsizetype comma = s.lastIndexOf(QStringLiteral(", "));
  return comma < 0 ? s : s.mid(comma + 2);
}

}  // namespace

QString DriveList_HardDriveText(char letter, const QString& label, bool system,
                                const QString& fileSystem, uint64_t size) {
  const QString drive = QStringLiteral("(%1:)").arg(QChar::fromLatin1(letter));
  QString text =
      system ? drive + u' ' + label + QStringLiteral(" (") + Corvane_Text("IDS_SYS_DRIVE") + u')'
             : drive + label;
  return text + QStringLiteral(", ") + fileSystem + QStringLiteral(", ") + Gui_SizeText(size);
}

QString DriveList_DeviceLabel(const QString& path) {
  if (!path.startsWith(QStringLiteral("/dev/"))) return {};
  const QString target = QFileInfo(path).canonicalFilePath();
  const QDir dir(QStringLiteral("/dev/disk/by-label"));
  for (const QFileInfo& link : dir.entryInfoList(QDir::Files | QDir::System))
    if (link.canonicalFilePath() == target) return unescapeUdev(link.fileName());
  return {};
}

bool DriveList_ScanDisk(const EngineApi& api, Undelete* engine, int disk,
                        const std::function<void(int drive, int percent)>& progress) {
  if (api.Undelete_ScanForPartitions(engine, disk, 1) == 0) return false;  // not polled
  // The engine's total drops to 0 when its scan thread has ended. Waiting for exactly that
  // (not only for a total of 0xFFFF or less) keeps a small disk's list from being read while
  // the scan still writes it.
  for (;;) {
    uint64_t position = 0, total = 0;
    if (api.Undelete_GetPartitionProgress(engine, &position, &total) == 0 || total == 0) break;
    if (progress)
      progress(disk, static_cast<int>(position >= total ? 100 : position * 100 / total));
    QThread::msleep(10);
  }
  return true;
}

void DriveList_ScanPartitions(const EngineApi& api, Undelete* engine,
                              const std::function<void(int drive, int percent)>& progress) {
  for (int n = 0; n < 128; ++n)
    if (api.Undelete_PhysicalDrivePresent(n) != 0)
      (void)DriveList_ScanDisk(api, engine, n, progress);
}

std::vector<DriveItem> DriveList_Build(const EngineApi& api, Undelete* engine) {
  std::vector<DriveItem> items;
  char systemLetters[32] = {};
  if (api.Undelete_LettersOfPath("/", systemLetters, sizeof systemLetters) == 0)
    systemLetters[0] = '\0';
  UndeleteDriveEntry entry;
  for (uint32_t i = 0; api.Undelete_GetDriveEntry(i, &entry) != 0; ++i) {
    const char letter = entry.letter;
    if (letter < 'A' || letter > 'Z') continue;
    DriveItem item;
    item.letter = letter;
    item.driveSpec = DriveSpec_Letter(letter);
    item.root = QStringLiteral("%1:\\").arg(QChar::fromLatin1(letter));
    const QString l(QChar::fromLatin1(letter));
    if (entry.type == kUndeleteDriveRemovable) {
      item.category = DriveCategory::Removable;
      item.text = Corvane_Text("IDS_OPT_REM_DRIVE_STRING").arg(l);
    } else if (entry.type == kUndeleteDriveCdRom) {
      item.category = DriveCategory::CdDvd;
      item.text = Corvane_Text("IDS_OPT_CD_DVD_STRING").arg(l);
    } else if (entry.type == kUndeleteDriveFixed) {
      // Only a volume that can be opened and whose file system is known is listed.
      UndeleteProbe probe{};
      if (api.Undelete_ProbeDrive(letter, &probe) == 0 || probe.status != kUndeleteProbeUsable)
        continue;
      char summary[512] = {};
      if (api.Undelete_GetLogicalDriveInfo(engine, letter, 1, summary) == 0) continue;
      summary[sizeof summary - 1] = '\0';
      const bool system = std::strchr(systemLetters, letter) != nullptr;
      item.category = DriveCategory::HardDrive;
      item.text =
          DriveList_HardDriveText(letter, DriveList_DeviceLabel(QString::fromUtf8(entry.path)),
                                  system, fileSystemOf(summary), probe.size);
    } else {
      continue;
    }
    items.push_back(item);
  }
  int count = 0;
  if (api.Undelete_GetPartitionCount(engine, &count) != 0) {
    for (int i = 0; i < count; ++i) {
      PartitionRecord record{};
      if (api.Undelete_GetPartition(engine, static_cast<unsigned>(i), &record) == 0) continue;
      record.description[sizeof record.description - 1] = '\0';
      DriveItem item;
      item.category = DriveCategory::Partitions;
      item.text = QString::fromUtf8(record.description);
      item.driveSpec = DriveSpec_Partition(static_cast<uint32_t>(i));
      items.push_back(item);
    }
  }
  return items;
}
