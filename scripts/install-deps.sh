#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test Trellion.
# Safe to run twice: apt is only touched when something is missing.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev
  unixodbc unixodbc-dev odbc-postgresql libsqliteodbc
  postgresql-15 python3-aiosmtpd
  libgtest-dev
  libssl-dev  # TLS for the mail client
  openssl  # the mail tests' certificate authority
  curl  # bench_mail's baseline delivery
  xvfb xauth trayer x11-utils imagemagick
  xfce4-panel  # a StatusNotifierItem host (its status tray) for the tray menu test
  qtkeychain-qt6-dev  # the e-mail password in the desktop's keyring
  libsecret-1-0       # loaded at run time by QtKeychain to reach the Secret Service
  gnome-keyring dbus  # keyring and desktop-notification tests run a D-Bus session of their own
  librsvg2-bin        # icon sizes rendered from the vector icon
  dpkg-dev            # package: build flags and computed dependencies
  file                # package: CPack finds the binaries to compute dependencies for
  desktop-file-utils  # package check: the launcher
  appstream           # package check: the metadata
  lintian             # package check: the package as a whole
  mariadb-server odbc-mariadb      # the third real database of the outage and probe tests
  clang-14 libclang-rt-14-dev      # libFuzzer targets (scripts/fuzz.sh)
  locales             # the slot display's number test builds a de_DE locale (decimal comma)
  libsqlite3-dev      # the uptime history store
  icinga2             # the plugin tests: a private Icinga 2 runs trellion-check
  prometheus          # promtool checks the plugin's and the exporter's text; the metrics
                      # test runs a private Prometheus server scraping /metrics
  python3-prometheus-client  # the OpenMetrics parser the plugin's text must pass
  monitoring-plugins-standard  # bench_check's baseline, check_pgsql
  python3-dbusmock    # logind and NetworkManager stand-ins on a private system bus (sleep/offline tests)
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install the missing packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
