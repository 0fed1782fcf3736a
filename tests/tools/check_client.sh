#!/usr/bin/env bash
# A front end is a client of libKVXDLL.so: it needs the library, takes every Undelete_* it calls
# from it, and holds no engine code of its own (the engine's prefixes name no symbol it defines).
set -euo pipefail
program=${1:?usage: check_client.sh PROGRAM libKVXDLL.so}
lib=${2:?usage: check_client.sh PROGRAM libKVXDLL.so}
status=0
if ! readelf -d "$program" | grep -q "NEEDED.*\[$(basename "$lib")\]"; then
  echo "$program does not load $(basename "$lib")"; status=1
fi
engine='^(Undelete_|Storage_|CachedDrive_|ExtentReader_|FAT_|NTFS_|CDFS_|UDF_|FileFormat_|Unformated_|Host_|Session_|Search_|Fs_|Wipe_)'
own=$(nm --defined-only "$program" | awk '{print $3}' | grep -E "$engine" || true)
own+=$(nm -C --defined-only "$program" | grep -E ' (HostDevice|CachedDrive|ExtentReader)::' || true)
if [ -n "$own" ]; then
  echo "engine code inside $program:"; echo "$own"; status=1
fi
used=$(nm -D --undefined-only "$program" | awk '{print $2}' | sed 's/@.*//' | grep '^Undelete_' || true)
if [ -z "$used" ]; then
  echo "$program takes no Undelete_* from the library"; status=1
fi
provided=$(nm -D --defined-only "$lib" | awk '{print $3}')
for name in $used; do
  grep -qx "$name" <<<"$provided" || { echo "$name is not exported by $(basename "$lib")"; status=1; }
done
exit $status
