#!/usr/bin/env bash
# What `cmake --install` puts in place for the program: Rekovia running from where it is installed
# (its framework library found beside it), the desktop entry and icon, and the polkit policy
# naming the installed program. Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/rekovia-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check_install: $*" >&2; exit 1; }

DESTDIR="$work/root" cmake --install "$build" --prefix /opt/rekovia >/dev/null
root="$work/root/opt/rekovia"
for f in bin/Rekovia share/applications/rekovia.desktop share/icons/hicolor/scalable/apps/rekovia.svg \
         share/polkit-1/actions/org.rekovia.Rekovia.policy; do
  [ -f "$root/$f" ] || fail "cmake --install left out $f"
done
[ -n "$(find "$root" -name libKVXHelper.so -type f)" ] || fail "libKVXHelper.so not installed"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/opt/rekovia/bin/Rekovia<' \
  "$root/share/polkit-1/actions/org.rekovia.Rekovia.policy" || fail "the policy names another path"
grep -q '^Exec=Rekovia' "$root/share/applications/rekovia.desktop" || fail "desktop entry without Exec"
# The installed program loads its framework and Qt from the prefix (--help ends before the engine).
QT_QPA_PLATFORM=offscreen "$root/bin/Rekovia" --help | grep -q 'Find and recover deleted files' ||
  fail "the installed Rekovia does not start"
echo "check_install: ok"
