#!/usr/bin/env bash
# Remakes the seeds of the member and package targets from the same kinds of
# files the tests use: enciphered members of the lengths where the cipher
# changes mode, and a small package as every ZIP writer of the tests makes it.
#   fuzz/make_seeds.sh BUILD_BIN   (a build's bin folder holding tavelin-pack)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$1
export ASAN_OPTIONS=detect_leaks=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -rf "$top/fuzz/corpus/member" "$top/fuzz/corpus/package"
mkdir -p "$top/fuzz/corpus/member" "$top/fuzz/corpus/package" "$work/plain" "$work/src"
for n in 0 1 15 16 17 31 32 33 100; do
  head -c "$n" /dev/urandom >"$work/plain/$n"
  "$bin/tavelin-pack" encrypt "$work/plain/$n" "$top/fuzz/corpus/member/len$n.bin" >/dev/null
done
head -c 5 /dev/urandom >"$top/fuzz/corpus/member/short5.bin"

printf '%s' '{"RULES":[{"level":1,"bootloader":155,"file":"boot.bin","blver":160}]}' >"$work/plain/rules.json"
head -c 40 /dev/urandom >"$work/plain/boot.bin"
head -c 17 /dev/urandom >"$work/plain/dfu-util-static.exe"
for f in rules.json boot.bin dfu-util-static.exe; do
  "$bin/tavelin-pack" encrypt "$work/plain/$f" "$work/src/$f" >/dev/null
done
python3 "$top/tests/package/writers.py" "$work/src" "$work/zips" >/dev/null
cp "$work"/zips/*.zip "$top/fuzz/corpus/package/"
"$bin/tavelin-pack" build "$work/plain" "$top/fuzz/corpus/package/tavelin-pack.zip" >/dev/null
