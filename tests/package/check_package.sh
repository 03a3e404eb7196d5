#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks it as a packager would: control
# fields, files, a stripped binary, valid desktop, AppStream, systemd and man files; then
# unpacks it into a scratch root and runs the packaged program headless on the demo's rows.
# Usage: check_package.sh BUILD_DIR SOURCE_DIR (servers from scripts/test's environment).
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
korvane_pid=""
trap '[ -n "$korvane_pid" ] && kill "$korvane_pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/korvane_*_amd64.deb 2>/dev/null || ls "$work"/out/*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
for want in libqt6sql6-odbc unixodbc libgmime-3.0-0 libcurl4; do
    [[ ",$depends," == *"$want"* ]] || fail "Depends lacks $want: $depends"
done
for want in odbc-postgresql libsqliteodbc odbc-mariadb; do
    [[ "$recommends" == *"$want"* ]] || fail "Recommends lacks $want: $recommends"
done

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for want in ./usr/bin/korvane ./usr/lib/systemd/user/korvane.service \
    ./usr/share/man/man1/korvane.1.gz ./usr/share/metainfo/com.dravik.Korvane.metainfo.xml \
    ./usr/share/applications/com.dravik.Korvane.desktop ./usr/share/doc/korvane/LICENSE \
    ./usr/share/doc/korvane/korvane-autostart.desktop \
    ./usr/share/icons/hicolor/16x16/apps/korvane.png \
    ./usr/share/icons/hicolor/256x256/apps/korvane.png; do
    grep -qxF "$want" <<<"$files" || fail "package lacks $want"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
file "$root/usr/bin/korvane" | grep -q ', stripped' || fail "binary not stripped"
desktop-file-validate "$root/usr/share/applications/com.dravik.Korvane.desktop" ||
    fail "desktop file"
appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/com.dravik.Korvane.metainfo.xml" \
    >"$work/appstream.log" 2>&1 || { cat "$work/appstream.log"; fail "metainfo"; }
unit="$root/usr/lib/systemd/user/korvane.service"
grep -qx 'ExecStart=/usr/bin/korvane' "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
for want in 'Environment=QT_QPA_PLATFORM=offscreen' 'Restart=on-failure' \
    'RestartPreventExitStatus=78' 'TimeoutStopSec=30'; do
    grep -qxF "$want" "$unit" || fail "unit lacks $want"
done
# Verified where the binary and the man page are: the scratch root.
mkdir -p "$work/unit"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/unit/korvane.service"
grep -qx "Type=notify" "$unit" && grep -qx "WatchdogSec=90" "$unit" ||
    fail "the unit is not Type=notify with a watchdog"
MANPATH="$root/usr/share/man" systemd-analyze verify "$work/unit/korvane.service" ||
    fail "systemd-analyze verify"
man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/korvane.1.gz" 2>&1 >/dev/null)
[ -z "$man_warnings" ] || fail "man page: $man_warnings"

# The packaged program on the demo's rows, with a profile and ODBC files of its own.
sqlite3 "$work/demo.db" <"$source_dir/docs/tblMessages.sqlite.sql"
sed "s|@ATTACHMENT@|$source_dir/LICENSE|" "$source_dir/docs/demo/sample-messages.sql" |
    sqlite3 "$work/demo.db"
mkdir -p "$work/odbc" "$work/config" "$work/runtime" "$work/data"
chmod 700 "$work/runtime"
cp "$ODBCSYSINI/odbcinst.ini" "$work/odbc/"
: >"$work/odbc/odbc.ini"
printf '[Demo]\nDriver=SQLite3\nDatabase=%s\nTimeout=5000\n' "$work/demo.db" >"$work/odbc/user.ini"
cat >"$work/config/Dravik_Korvane.conf" <<INI
[Application]
RunAppOnStartup=1
[DSNSettings]
DSNName=Demo
DSNType=Sys
[Email]
SMTPPort=$KORVANE_TEST_SMTP_PORT
[Telvoro]
CellPort=$KORVANE_TEST_SMPP_PORT
CellUserName=Korvane
INI
waiting() { sqlite3 "$work/demo.db" "SELECT COUNT(*) FROM tblMessages WHERE ProcessStatus IS NULL OR ProcessStatus = '' OR ProcessStatus = 'Message Is Being Sent.'"; }
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$work/config" \
    XDG_RUNTIME_DIR="$work/runtime" XDG_DATA_HOME="$work/data" ODBCSYSINI="$work/odbc" \
    ODBCINI="$work/odbc/user.ini" "$root/usr/bin/korvane" >"$work/out.log" 2>&1 &
korvane_pid=$!
for _ in $(seq 1 200); do
    [ "$(waiting)" = 0 ] && break
    kill -0 "$korvane_pid" 2>/dev/null || break
    sleep 0.1
done
[ "$(waiting)" = 0 ] || { cat "$work/out.log"; fail "rows still waiting"; }
kill -TERM "$korvane_pid"
status=0
wait "$korvane_pid" || status=$?
korvane_pid=""
[ "$status" = 0 ] || { cat "$work/out.log"; fail "exit status $status"; }
sent=$(sqlite3 "$work/demo.db" "SELECT COUNT(*) FROM tblMessages WHERE IsSent = 'Y'")
[ "$sent" = 3 ] || { cat "$work/out.log"; fail "$sent rows sent, 3 expected"; }
# The log went to the per-user folder (an installed program) and to standard error.
ls "$work/data/Dravik_Korvane/Logs/"Log_*.log >/dev/null || fail "no log file"
grep -q 'korvane: Process Completed...' "$work/out.log" || fail "no log on standard error"
echo "package ok: $(basename "$deb")"
