#!/usr/bin/env bash
# Checks the Debian package in the folder $1: its file list, its control
# fields, and that the karvello-cli it holds runs from where it unpacks.
set -euo pipefail

shopt -s nullglob
debs=("$1"/karvello_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "expected one karvello_*.deb in $1, found ${#debs[@]}" >&2
  exit 1
fi
deb=${debs[0]}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

dpkg-deb -x "$deb" "$tmp/root"
(cd "$tmp/root" && find . ! -type d | sort) > "$tmp/files"
cat > "$tmp/expected" <<'LIST'
./usr/bin/karvello
./usr/bin/karvello-cli
./usr/share/applications/karvello.desktop
./usr/share/bash-completion/completions/karvello-cli
./usr/share/doc/karvello/changelog.gz
./usr/share/doc/karvello/copyright
./usr/share/fish/vendor_completions.d/karvello-cli.fish
./usr/share/icons/hicolor/256x256/apps/karvello.png
./usr/share/icons/hicolor/32x32/apps/karvello.png
./usr/share/icons/hicolor/scalable/apps/karvello.svg
./usr/share/man/man1/karvello-cli.1.gz
./usr/share/man/man1/karvello.1.gz
./usr/share/metainfo/io.karvello.Karvello.metainfo.xml
./usr/share/zsh/vendor-completions/_karvello-cli
LIST
diff -u "$tmp/expected" "$tmp/files" || fail "the package's file list"

[ "$(dpkg-deb -f "$deb" Package)" = karvello ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libqt6widgets6; do
  [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

for page in karvello karvello-cli; do
  gzip -dc "$tmp/root/usr/share/man/man1/$page.1.gz" | grep -q '^\.TH' ||
    fail "man page $page"
done
# The changelog's latest entry is this version.
changelog_version=$(gzip -dc "$tmp/root/usr/share/doc/karvello/changelog.gz" |
  sed -n '1s/^karvello (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$(dpkg-deb -f "$deb" Version)" ] ||
  fail "changelog version '$changelog_version' is not the package's"
bash -n "$tmp/root/usr/share/bash-completion/completions/karvello-cli" ||
  fail "bash completion syntax"
zsh -n "$tmp/root/usr/share/zsh/vendor-completions/_karvello-cli" ||
  fail "zsh completion syntax"
fish -n "$tmp/root/usr/share/fish/vendor_completions.d/karvello-cli.fish" ||
  fail "fish completion syntax"

# The unpacked tool on a small list: ignore case, count copies, LF ends.
cli=$tmp/root/usr/bin/karvello-cli
printf 'Smith, John\r\nsmith, john\r\nDoe, Jane\r\n' > "$tmp/names.txt"
got=$("$cli" dedupe --lines --ignore-case --count --lf "$tmp/names.txt" | od -c)
want=$(printf 'Smith, John\t2\nDoe, Jane\t1\n' | od -c)
[ "$got" = "$want" ] || fail "karvello-cli output: $got"
"$cli" --version | grep -q '^karvello-cli ' || fail "karvello-cli --version"

if [ $failed -ne 0 ]; then exit 1; fi
echo "package ok: $(basename "$deb"), $(wc -l < "$tmp/files") files"
