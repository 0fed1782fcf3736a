#!/bin/bash
# Runs shell commands against an exFAT image mounted through the FUSE driver on a loop device
# (the driver refuses plain files; no kernel exFAT mount is needed). The commands see the mount
# point as $M. The loop device and the mount are released whatever happens.
#   exfat_fuse.sh IMAGE 'cp a.bin "$M"/ && rm "$M"/b.bin'
set -euo pipefail
img=$1
cmds=$2
loop=""
M=$(mktemp -d)
cleanup() {
  if mountpoint -q "$M"; then
    umount "$M" 2>/dev/null || fusermount -u "$M" 2>/dev/null || true
  fi
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
  rmdir "$M" 2>/dev/null || true
}
trap cleanup EXIT
loop=$(losetup -f --show "$img")
mount.exfat-fuse "$loop" "$M" >/dev/null 2>&1
export M
bash -euo pipefail -c "$cmds"
# The driver writes back on unmount; wait for it before the loop device goes.
umount "$M"
