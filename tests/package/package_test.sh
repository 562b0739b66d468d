#!/usr/bin/env bash
# package_test.sh BUILD_DIR OUT_DIR: makes the .deb from an existing build, with a maintainer
# and address given to cpack as a packager would, and checks it. Exit 77 (skipped) without the
# validators.
set -euo pipefail
build=$1 out=$2
for tool in cpack lintian desktop-file-validate appstreamcli dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed"
    exit 77
  fi
done
rm -rf "$out"
mkdir -p "$out"
failures=0
check() {  # what, then the command
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

# Without a maintainer cpack refuses, rather than make a package nobody answers for.
if cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out/refused" \
  -D CPACK_DEBIAN_PACKAGE_MAINTAINER= >"$out/refused.log" 2>&1; then
  echo "FAIL: cpack made a package without a maintainer"
  failures=$((failures + 1))
else
  check "no package without a maintainer" grep -q 'real maintainer' "$out/refused.log"
fi

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" \
  -D "CPACK_DEBIAN_PACKAGE_MAINTAINER=Vantra Packager <packager@vantra.example.net>" \
  -D CPACK_DEBIAN_PACKAGE_HOMEPAGE=https://vantra.example.net >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/vantra_*.deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$out/contents"
for f in /usr/bin/vantra /usr/bin/vantra-flash /usr/bin/vantra-boardsim /usr/lib/udev/rules.d/70-vantra.rules \
  /usr/share/man/man1/vantra.1.gz /usr/share/man/man1/vantra-boardsim.1.gz \
  /usr/share/applications/vantra.desktop /usr/share/doc/vantra/copyright \
  /usr/share/doc/vantra/changelog.gz \
  /usr/share/bash-completion/completions/vantra-flash \
  /usr/share/bash-completion/completions/vantra-boardsim; do
  check "carries $f" grep -qx "$f" "$out/contents"
done
# Every manual page written is installed.
for page in "$(dirname "$0")"/../../docs/man/*.1; do
  check "carries the page $(basename "$page")" grep -qx "/usr/share/man/man1/$(basename "$page").gz" "$out/contents"
done
metainfo=$(grep -m 1 '^/usr/share/metainfo/.*\.metainfo\.xml$' "$out/contents" || true)
check "carries AppStream metainfo" test -n "$metainfo"

dpkg-deb -x "$deb" "$out/root"
check "the maintainer cpack was given" sh -c "dpkg-deb -f '$deb' Maintainer | grep -qx 'Vantra Packager <packager@vantra.example.net>'"
check "the changelog names the maintainer" sh -c "zcat '$out/root/usr/share/doc/vantra/changelog.gz' | grep -q 'packager@vantra.example.net'"
check "the metainfo has a screenshot" grep -q '<image>https://vantra.example.net/screenshots/warning.png</image>' "$out/root$metainfo"
check "fonts-wine is a dependency" sh -c "dpkg-deb -f '$deb' Depends | grep -q 'fonts-wine'"
check "libsystemd0 (the bus client) is a dependency" sh -c "dpkg-deb -f '$deb' Depends | grep -q 'libsystemd0'"
check "the udev rule lets the user at the seat in" grep -q 'TAG+="uaccess"' "$out/root/usr/lib/udev/rules.d/70-vantra.rules"
# The doctor looks for the rule where the package puts it (the unpacked package as its root).
"$out/root/usr/bin/vantra-flash" --doctor --sysroot "$out/root" >"$out/doctor.txt" 2>&1 || true
check "the packaged doctor runs" grep -q '^Vantra would open' "$out/doctor.txt"
check "the doctor finds the package's udev rule" sh -c "! grep -q '70-vantra.rules) is not installed' '$out/doctor.txt'"

# lintian: no errors; warnings are listed for the record.
lintian --tag-display-limit 0 "$deb" >"$out/lintian.txt" 2>/dev/null || true
cat "$out/lintian.txt"
check "lintian: no errors" sh -c "! grep -q '^E:' '$out/lintian.txt'"
check "desktop-file-validate" desktop-file-validate "$out/root/usr/share/applications/vantra.desktop"
check "appstreamcli validate" appstreamcli validate --no-net "$out/root$metainfo"

echo "$failures failed"
[ "$failures" = 0 ]
