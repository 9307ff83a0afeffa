#!/usr/bin/env bash
# Runs Debian's package checker on the package in the folder $1 with every
# tag shown, pedantic ones included, and fails on any error, warning or
# informational tag (the missing hardening flags are informational).
# Exits 77 (skipped) where lintian is not installed.
set -euo pipefail

if ! command -v lintian >/dev/null; then
  echo "lintian is not installed; run scripts/install-deps" >&2
  exit 77
fi
shopt -s nullglob
debs=("$1"/karvello_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "expected one karvello_*.deb in $1, found ${#debs[@]}" >&2
  exit 1
fi
# lintian warns on standard error when run as root; that is not a finding.
lintian --pedantic --display-info --fail-on error,warning,info "${debs[0]}" \
  2> >(grep -v '^running with root privileges' >&2)
echo "lintian: no error, warning or info tag on $(basename "${debs[0]}")"
