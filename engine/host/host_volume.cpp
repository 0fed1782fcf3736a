// Volumes seen from outside: where a letter's volume lies on a physical drive, and how a path on
// a letter ("E:\dir\file") reaches the mounted volume.
#include <cctype>

#include "host/host_internal.h"

std::optional<HostVolumeExtent> Host_GetVolumeDiskExtent(char letter) {
  const auto drive = Host_FindDrive(letter);
  if (!drive) return std::nullopt;
  const auto volume = host::spanOfPath(drive->path, drive->offset, drive->length);
  if (!volume) return std::nullopt;
  // A loop device over a partition of an image is a disk of its own too: the disk it is a part
  // of is the answer, the device itself only when nothing else holds it.
  std::optional<HostVolumeExtent> itself;
  for (const auto& disk : Host_ListDisks()) {
    const auto whole = host::spanOfPath(disk.path, 0, std::nullopt);
    if (!whole || whole->isFile != volume->isFile || whole->dev != volume->dev ||
        whole->ino != volume->ino)
      continue;
    // The disk must hold the whole volume: a partition of it, or a window of its image.
    if (volume->start < whole->start || volume->start - whole->start > whole->length ||
        volume->length > whole->length - (volume->start - whole->start))
      continue;
    const HostVolumeExtent extent{disk.number, volume->start - whole->start, volume->length};
    if (extent.start != 0 || extent.length != whole->length) return extent;
    if (!itself) itself = extent;
  }
  return itself;
}

std::string Host_ResolveDrivePath(const std::string& drivePath) {
  if (drivePath.size() < 2 || drivePath[1] != ':' ||
      !std::isalpha(static_cast<unsigned char>(drivePath[0])))
    return {};
  const std::string mount = Host_MountPoint(drivePath[0]);
  if (mount.empty()) return {};
  std::string rest = drivePath.substr(2);
  for (auto& c : rest)
    if (c == '\\') c = '/';
  while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
  if (rest.empty()) return mount;
  return mount == "/" ? "/" + rest : mount + "/" + rest;
}
