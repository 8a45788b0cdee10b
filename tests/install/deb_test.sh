#!/usr/bin/env bash
# Makes the .deb from a built tree (cpack, no rebuild), unpacks it into a
# temporary root and starts the tools and the program from there with a
# clean environment: nothing points at the build.
set -euo pipefail
build=$1 cpack=${2:-cpack}
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/tavelin_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single tavelin_*.deb: ${debs[*]}"
deb=${debs[0]}

# Control fields.
for field in Package Version Section Maintainer Depends Description; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "control field $field empty"
done
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "section"
# shlibdeps found the libraries the binaries use.
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks Qt: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q 'libzip' || fail "Depends lacks libzip"
# No maintainer scripts: a postrm would keep a removed package's record.
dpkg-deb -e "$deb" "$work/control"
for s in preinst postinst prerm postrm; do [ ! -e "$work/control/$s" ] || fail "maintainer script $s"; done

root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/tavelin usr/bin/tavelin-pack usr/bin/ostrel-sim \
         usr/lib/tavelin/libostrel-sim.so usr/lib/tavelin/dfu-util-sim \
         usr/share/applications/example.korvalis.Tavelin.desktop \
         usr/share/metainfo/example.korvalis.Tavelin.metainfo.xml \
         usr/share/icons/hicolor/scalable/apps/example.korvalis.Tavelin.svg \
         usr/share/icons/hicolor/256x256/apps/example.korvalis.Tavelin.png \
         usr/share/man/man1/tavelin.1.gz \
         usr/share/doc/tavelin/copyright; do
  [ -e "$root/$f" ] || fail "missing $f"
done
if command -v help2man >/dev/null; then
  for f in tavelin-pack ostrel-sim; do
    [ -e "$root/usr/share/man/man1/$f.1.gz" ] || fail "missing man page $f"
    zcat "$root/usr/share/man/man1/$f.1.gz" | grep -q '^\.SH DESCRIPTION' || fail "man page $f empty"
  done
fi
# Desktop entry and icon agree.
grep -qx 'Icon=example.korvalis.Tavelin' "$root/usr/share/applications/example.korvalis.Tavelin.desktop" ||
  fail "desktop entry's icon"

# A user with nothing set up: private home, temporary folder, no variables.
home=$work/home tmp=$work/tmp
mkdir -p "$home" "$tmp"
clean=(env -i PATH=/usr/bin:/bin HOME="$home" TMPDIR="$tmp" LANG=C.UTF-8
       QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0)
run() { "${clean[@]}" "$@"; }
run "$root/usr/bin/tavelin-pack" --help >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "tavelin-pack --help"; }
grep -q 'tavelin-pack' "$work/out.txt" || fail "tavelin-pack --help says nothing"
run "$root/usr/bin/ostrel-sim" show >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "ostrel-sim show"; }
grep -q '0000420150' "$work/out.txt" || { cat "$work/out.txt"; fail "ostrel-sim show: no default register"; }
[ -d "$home/.local/share/ostrel-sim" ] || fail "the register's state is not in the user's data folder"

# No package server: the per-user url.txt points at a closed port.
mkdir -p "$home/.config/Korvalis/Tavelin"
printf 'http://127.0.0.1:9/techno/arhive.zip\n' >"$home/.config/Korvalis/Tavelin/url.txt"
# env replaces itself with the program: $! is the program.
"${clean[@]}" "$root/usr/bin/tavelin" >"$work/tavelin.log" 2>&1 &
pid=$!
folder=
for _ in $(seq 1 600); do
  for d in "$tmp"/*/; do
    [ -f "$d/rules.json" ] && [ -f "$d/dfu-util-static.exe" ] && folder=$d
  done
  [ -n "$folder" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/tavelin.log"; fail "tavelin ended early"; }
  sleep 0.1
done
[ -n "$folder" ] || { cat "$work/tavelin.log"; fail "no working folder with the deciphered package"; }
ls "$folder"*.bin >/dev/null || fail "no images in the working folder"
[ -x "$folder/dfu-util-static.exe" ] || fail "the DFU tool is not executable"
# SIGTERM once the program has taken it over (bit 15 of the caught signals).
for _ in $(seq 1 600); do
  caught=$(awk '/^SigCgt:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || true
  [ -n "$caught" ] && (( 0x$caught & 0x4000 )) && break
  sleep 0.1
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ ! -e "$folder" ] || { cat "$work/tavelin.log"; fail "the working folder stayed after SIGTERM (status $status)"; }

if command -v lintian >/dev/null; then
  # Warnings may stay; errors may not.
  lintian --no-tag-display-limit "$deb" >"$work/lintian.txt" 2>&1 || true
  if grep -q '^E:' "$work/lintian.txt"; then cat "$work/lintian.txt"; fail "lintian errors"; fi
else
  echo "lintian not installed: skipped"
fi
echo "ok"
