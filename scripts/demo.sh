#!/usr/bin/env bash
# The main job on the embedded sample: build kvx, make the sample volume, list what it holds and
# recover its deleted files into ./recovered. With --gui: build the program and open the sample
# in it instead (needs a display).
set -euo pipefail
cd "$(dirname "$0")/.."
gui=0
[ "${1:-}" = "--gui" ] && gui=1
bash scripts/setup.sh >/dev/null
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake --preset default "${launcher[@]}" >/dev/null
cmake --build build -j"$(nproc)" --target kvx >/dev/null
sample=build/sample/rekovia-sample.img
mkdir -p build/sample
bash samples/make_sample.sh "$sample" >/dev/null
before=$(md5sum "$sample" | cut -d' ' -f1)
if [ $gui -eq 1 ]; then
  cmake --build build -j"$(nproc)" --target Rekovia >/dev/null
  echo "Rekovia opens the sample as a drive: choose it, press Scan now, then check and recover files."
  build/Rekovia "$sample"
  exit 0
fi

echo "== The sample, mapped as drive S: =="
KVX_DRIVES="S=$PWD/$sample" build/kvx drives | grep '^S:' || true
echo
echo "== What the volume still describes =="
build/kvx scan "$sample"
echo
echo "== Recovering the deleted files into ./recovered =="
rm -rf recovered
build/kvx recover "$sample" --deleted --to recovered
echo
find recovered -type f | sort
after=$(md5sum "$sample" | cut -d' ' -f1)
[ "$before" = "$after" ] && echo "The sample image is unchanged (md5 $after)."
