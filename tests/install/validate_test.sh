#!/usr/bin/env bash
# Validates the desktop entry and the AppStream metainfo in the given folder;
# the metainfo's newest release must be the project's version.
set -euo pipefail
dist=$1 version=$2
fail=0
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$dist"/*.desktop || fail=1
else
  echo "desktop-file-validate not installed: skipped"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$dist"/*.metainfo.xml || fail=1
else
  echo "appstreamcli not installed: skipped"
fi
newest=$(grep -o '<release version="[^"]*"' "$dist"/*.metainfo.xml | head -n1 | cut -d'"' -f2)
if [ "$newest" != "$version" ]; then
  echo "metainfo: newest release $newest, project version $version" >&2
  fail=1
fi
exit $fail
