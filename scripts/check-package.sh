#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it: the launcher and the metadata
# validate, lintian finds no error, the package holds exactly the expected files, all under
# /usr and owned by root, and its program answers --version without a display.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "check-package: $*" >&2
    exit 1
}

deb=$(bash scripts/package.sh)
version=$(dpkg-deb -f "$deb" Version)
[ "$deb" = "dist/trellion_${version}_$(dpkg --print-architecture).deb" ] || fail "named $deb"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

id=org.brenhollow.Trellion
expected=(
    /usr/bin/trellion
    /usr/share/applications/$id.desktop
    /usr/share/doc/trellion/changelog.gz
    /usr/share/doc/trellion/copyright
    /usr/share/icons/hicolor/scalable/apps/$id.svg
    /usr/share/man/man1/trellion.1.gz
    /usr/share/metainfo/$id.metainfo.xml
)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x$size/apps/$id.png")
done

# dpkg-deb -c: mode, owner/group, size, date, time, path.
dpkg-deb -c "$deb" >"$work/contents"
awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$work/contents" | sort >"$work/files"
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
diff -u "$work/expected" "$work/files" || fail "the package's files differ from the expected list"
awk '$6 != "./" && $6 != "./usr/" && $6 !~ /^\.\/usr\// { print }' "$work/contents" | grep . &&
    fail "entries outside /usr"
awk '$2 != "root/root" || $1 ~ /s/ { print }' "$work/contents" | grep . &&
    fail "entries not owned by root or with a set-id bit"

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/$id.desktop"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/$id.metainfo.xml"
# Errors fail the check; warnings are listed.
lintian --fail-on error "$deb"

dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "computed dependencies missing"
[ "$(dpkg-deb -f "$deb" Recommends)" = "odbc-postgresql, libsqliteodbc" ] ||
    fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
answer=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$work/root/usr/bin/trellion" --version)
[ "$answer" = "Trellion $version" ] || fail "--version answered '$answer'"
echo "check-package: $deb is complete"
