#!/usr/bin/env bash
# What `cmake --install` and the .deb hold: kvx (running from where it is installed), the engine
# library, its header with a pkg-config file a C program builds against, the man page and the
# completions. Usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kvx-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

DESTDIR="$work/root" cmake --install "$build" --prefix /opt/rekovia >/dev/null
root="$work/root/opt/rekovia"
for f in bin/kvx include/undelete/undelete.h share/man/man1/kvx.1 \
         share/bash-completion/completions/kvx share/zsh/vendor-completions/_kvx; do
  [ -f "$root/$f" ] || fail "cmake --install left out $f"
done
lib=$(find "$root" -name libKVXDLL.so -type f | head -n1)
[ -n "$lib" ] || fail "cmake --install left out libKVXDLL.so"
pc=$(find "$root" -name kvxdll.pc | head -n1)
[ -n "$pc" ] || fail "cmake --install left out kvxdll.pc"
"$root/bin/kvx" --version | grep -q '^kvx ' || fail "the installed kvx does not run"
# A client of the installed header and library alone, found through pkg-config.
cat > "$work/client.c" <<'C'
#include <undelete/undelete.h>
int main(void) { Undelete* u = 0; if (!Undelete_Create(&u)) return 1; Undelete_Delete(u); return 0; }
C
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs kvxdll)
# shellcheck disable=SC2086
cc -std=c11 "$work/client.c" -o "$work/client" $flags || fail "a C client does not build from pkg-config"
# A sanitizer build's library needs its runtime loaded first; the plain C client does not link it.
preload=$(ldd "$lib" | awk '/libasan/ {print $3}')
LD_PRELOAD=$preload LD_LIBRARY_PATH=$(dirname "$lib") ASAN_OPTIONS=detect_leaks=0 "$work/client" ||
  fail "the C client does not run"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack failed"
deb=$(find "$work/deb" -maxdepth 1 -name '*.deb' | head -n1)
[ -n "$deb" ] || fail "cpack made no .deb"
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/kvx /libKVXDLL.so ./usr/include/undelete/undelete.h /pkgconfig/kvxdll.pc \
         ./usr/share/man/man1/kvx.1 ./usr/share/bash-completion/completions/kvx \
         ./usr/share/zsh/vendor-completions/_kvx; do
  grep -q -- "$f\$" <<<"$contents" || fail "the .deb holds no $f"
done
dpkg-deb -f "$deb" Package | grep -qx rekovia || fail "the .deb is not named rekovia"
echo "check_package: ok ($(basename "$deb"), $(grep -c '' <<<"$contents") entries)"
