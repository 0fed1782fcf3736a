#!/usr/bin/env python3
"""Compares the times kvx lists for an NTFS image's deleted files with the $STANDARD_INFORMATION
times istat (The Sleuth Kit) prints for the same MFT records.

usage: ntfs_si_times.py IMAGE SCAN.json   (the listing made with TZ=UTC)
Prints "name field kvx istat" for each difference and "checked N" at the end.
"""
import json
import re
import subprocess
import sys

image, listing = sys.argv[1], sys.argv[2]
records = {}
for line in subprocess.run(["fls", "-r", "-p", "-d", image], capture_output=True, text=True,
                           check=True).stdout.splitlines():
    m = re.match(r"^-/r \* (\d+)-128-\d+:\t(.+)$", line)
    if m and ":" not in m.group(2):
        records.setdefault(m.group(2).rsplit("/", 1)[-1], []).append(int(m.group(1)))

checked = 0
for f in json.load(open(listing))["files"]:
    if not f["deleted"] or len(records.get(f["name"], [])) != 1:
        continue
    out = subprocess.run(["istat", image, str(records[f["name"]][0])], capture_output=True,
                         text=True, check=True).stdout
    si = out.split("$STANDARD_INFORMATION Attribute Values:", 1)[1].split("\n\n", 1)[0]
    want = {key: re.search(rf"^{label}:\s+(\S+ \S{{8}})", si, re.M).group(1)
            for key, label in (("created", "Created"), ("modified", "File Modified"),
                               ("accessed", "Accessed"))}
    for key, value in want.items():
        got = (f.get(key) or "")[:19].replace("T", " ")
        if got != value:
            print(f["name"], key, got, value)
    checked += 1
print("checked", checked)
