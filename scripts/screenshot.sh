#!/usr/bin/env bash
# Runs the real program under Xvfb with trayer as the tray host, watching two live databases
# (a SQLite file and a private PostgreSQL cluster on 127.0.0.1), and saves a picture of the
# screen as <build>/screenshot.png.
#   bash scripts/screenshot.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
[ -x "$build/trellion" ] || { echo "screenshot: $build/trellion not built" >&2; exit 1; }

work=$(mktemp -d /tmp/trellion-shot-XXXXXX)
chmod 755 "$work"
pids=()
pgbin=/usr/lib/postgresql/15/bin
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [ -f "$work/pg/postmaster.pid" ]; then
        as_pg "$pgbin/pg_ctl" -D "$work/pg" -m fast stop >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# A private PostgreSQL cluster.
port=$(free_port)
mkdir -p "$work/pg" "$work/pgsock"
[ "$(id -u)" -eq 0 ] && chown postgres "$work/pg" "$work/pgsock"
echo secret >"$work/pwfile"; chmod 644 "$work/pwfile"
as_pg "$pgbin/initdb" -D "$work/pg" -U monitor --pwfile="$work/pwfile" -A scram-sha-256 >/dev/null
as_pg "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg/log" -w \
    -o "-c listen_addresses=127.0.0.1 -p $port -k $work/pgsock" start >/dev/null

# A SQLite database.
python3 -c "import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute('create table items(id integer)'); c.commit()" "$work/inventory.db"

# Private ODBC drivers, settings and desktop folders.
mkdir -p "$work/odbc" "$work/config/Brenhollow" "$work/state" "$work/runtime"
chmod 700 "$work/runtime"
cat >"$work/odbc/odbcinst.ini" <<INI
[SQLite3]
Driver=libsqlite3odbc.so
[PostgreSQL Unicode]
Driver=psqlodbcw.so
INI
: >"$work/odbc/odbc.ini"
cat >"$work/config/Brenhollow/Trellion.conf" <<INI
[Settings]
lastDatabase0="DRIVER={SQLite3};Database=$work/inventory.db;NoCreat=1"
lastDatabaseTitle0=inventory.db
lastDatabase1="DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=postgres;UID=monitor;PWD=secret"
lastDatabaseTitle1=postgres on 127.0.0.1
Interval0=1
Interval1=2
SMTP=127.0.0.1:1
SMTPEmail=trellion@example.org
SMTPAlert=oncall@example.org
LocX=40
LocY=40
AccessLogFile=$work/access.log
ErrorLogFile=$work/error.log
INI

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
trayer --edge top --align right --widthtype pixel --width 120 --height 28 \
    --transparent false --tint 0x303030 >/dev/null 2>&1 &
pids+=($!)
sleep 1

env XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/runtime" \
    ODBCSYSINI="$work/odbc" ODBCINI="$work/odbc/odbc.ini" QT_QPA_PLATFORM=xcb \
    "$build/trellion" &
app=$!
pids+=("$app")
# Both databases polled, graphed and shown.
for _ in $(seq 100); do
    [ -s "$work/access.log" ] && [ "$(grep -c SUCCESS "$work/access.log")" -ge 2 ] && break
    sleep 0.2
done
sleep 2
import -window root "$build/screenshot.png"
kill -TERM "$app"
wait "$app" || true
echo "screenshot: $build/screenshot.png"
cat "$work/access.log" 2>/dev/null | sed 's/^/  /'
