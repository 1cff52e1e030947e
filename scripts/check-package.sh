#!/usr/bin/env bash
# Builds the Debian packages and checks them without installing them: the launcher and the
# metadata validate, lintian finds no error, each package holds exactly the expected files, all
# under /usr and owned by root, its programs answer --version without a display, and the
# plugin's own package depends on no Qt Gui or Widgets library.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "check-package: $*" >&2
    exit 1
}

packages=$(bash scripts/package.sh)
deb=$(sed -n 1p <<<"$packages")
check_deb=$(sed -n 2p <<<"$packages")
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg --print-architecture)
[ "$deb" = "dist/trellion_${version}_$arch.deb" ] || fail "named $deb"
[ "$check_deb" = "dist/trellion-check_${version}_$arch.deb" ] || fail "named $check_deb"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

id=org.brenhollow.Trellion
# The plugin's files, in each package under that package's own documentation folder.
plugin_files() {
    printf '%s\n' /usr/bin/trellion-check /usr/share/man/man1/trellion-check.1.gz \
        "/usr/share/doc/$1/examples/icinga2/trellion-check.conf"
}
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
mapfile -t -O ${#expected[@]} expected < <(plugin_files trellion)
mapfile -t check_expected < <(plugin_files trellion-check)
check_expected+=(/usr/share/doc/trellion-check/changelog.gz /usr/share/doc/trellion-check/copyright)

# dpkg-deb -c: mode, owner/group, size, date, time, path.
check_contents() { # package, expected files...
    local package=$1 name
    shift
    name=$(basename "$package")
    dpkg-deb -c "$package" >"$work/$name.contents"
    awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$work/$name.contents" | sort >"$work/$name.files"
    printf '%s\n' "$@" | sort >"$work/$name.expected"
    diff -u "$work/$name.expected" "$work/$name.files" ||
        fail "$name: the files differ from the expected list"
    awk '$6 != "./" && $6 != "./usr/" && $6 !~ /^\.\/usr\// { print }' "$work/$name.contents" |
        grep . && fail "$name: entries outside /usr"
    awk '$2 != "root/root" || $1 ~ /s/ { print }' "$work/$name.contents" | grep . &&
        fail "$name: entries not owned by root or with a set-id bit"
    return 0
}
check_contents "$deb" "${expected[@]}"
check_contents "$check_deb" "${check_expected[@]}"

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/$id.desktop"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/$id.metainfo.xml"
# Errors fail the check; warnings are listed.
lintian --fail-on error "$deb" "$check_deb"

dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "computed dependencies missing"
[ "$(dpkg-deb -f "$deb" Recommends)" = "odbc-postgresql, libsqliteodbc" ] ||
    fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
for field in Provides Conflicts Replaces; do
    [ "$(dpkg-deb -f "$deb" $field)" = "trellion-check" ] ||
        fail "$field: '$(dpkg-deb -f "$deb" $field)' (the desktop package holds the plugin too)"
done
answer=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$work/root/usr/bin/trellion" --version)
[ "$answer" = "Trellion $version" ] || fail "--version answered '$answer'"

# The headless package: Qt Core and ODBC, nothing of the desktop.
check_depends=$(dpkg-deb -f "$check_deb" Depends)
grep -Eq 'libqt6core6' <<<"$check_depends" && grep -Eq 'libodbc2' <<<"$check_depends" ||
    fail "trellion-check: computed dependencies missing: $check_depends"
grep -Eiq 'libqt6(gui|widgets|dbus)|qt6-qpa|keychain' <<<"$check_depends" &&
    fail "trellion-check depends on the desktop's libraries: $check_depends"
dpkg-deb -x "$check_deb" "$work/check-root"
for root in "$work/root" "$work/check-root"; do
    # A plugin ends --version with UNKNOWN (3).
    answer=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/trellion-check" --version) ||
        [ $? -eq 3 ] || fail "trellion-check --version did not end with 3"
    [ "$answer" = "trellion-check $version" ] || fail "trellion-check --version answered '$answer'"
    ldd "$root/usr/bin/trellion-check" | grep -Ei 'libQt6(Gui|Widgets)' &&
        fail "trellion-check loads the desktop's libraries"
done
echo "check-package: $deb and $check_deb are complete"
