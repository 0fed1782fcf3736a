#!/usr/bin/env bash
# The main job on the embedded sample: build kvx, make the sample volume, list what it holds and
# recover its deleted files into ./recovered.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake --preset default "${launcher[@]}" >/dev/null
cmake --build build -j"$(nproc)" --target kvx >/dev/null
sample=build/sample/rekovia-sample.img
mkdir -p build/sample
bash samples/make_sample.sh "$sample" >/dev/null
before=$(md5sum "$sample" | cut -d' ' -f1)

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
