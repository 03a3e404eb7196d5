#!/usr/bin/env bash
# What the metrics endpoint costs: the built program, headless, sends 2,000 SMS rows from the
# SQLite file with KORVANE_METRICS off and on (scraped twice a second), alternating, five runs
# each; the medians of the time to the last row saved. Needs the servers of scripts/lib.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
korvane=$1
rows=2000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config" "$work/data" "$work/runtime"
chmod 700 "$work/runtime"
cat >"$work/config/Dravik_Korvane.conf" <<INI
[DSNSettings]
DSNName=$KORVANE_TEST_SQLITE_DSN
DSNType=Sys
[Telvoro]
CellServer=127.0.0.1
CellPort=$KORVANE_TEST_SMPP_PORT
CellUserName=bench
CellPassword=quill
[Email]
SMTPServer=127.0.0.1
SMTPPort=$KORVANE_TEST_SMTP_PORT
[Application]
RunAppOnStartup=1
INI
mkdir -p "$work/bin" && cp "$korvane" "$work/bin/korvane"

run() {  # run on|off: prints the seconds to the last row saved
    sqlite3 -cmd ".timeout 5000" "$KORVANE_TEST_SQLITE_DB" "DELETE FROM tblMessages;
        WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
        INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo, IsSent)
        SELECT i, 'SMS', 'Benchmark message',
               '+4412' || replace(replace(printf('%06d', i), '9', '1'), '7', '3'), 'N' FROM n;"
    local port=$((20000 + RANDOM % 20000)) scraper=""
    local start end pid
    start=$(date +%s.%N)
    if [ "$1" = on ]; then
        KORVANE_METRICS=$port XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
            XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen \
            "$work/bin/korvane" >/dev/null 2>&1 &
        pid=$!
        (while sleep 0.5; do curl -s "http://127.0.0.1:$port/metrics" >/dev/null || true; done) &
        scraper=$!
    else
        XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" \
            QT_QPA_PLATFORM=offscreen "$work/bin/korvane" >/dev/null 2>&1 &
        pid=$!
    fi
    until [ "$(sqlite3 -cmd ".timeout 5000" "$KORVANE_TEST_SQLITE_DB" \
        "SELECT COUNT(*) FROM tblMessages WHERE IsSent = 'Y'")" -ge "$rows" ]; do
        sleep 0.05
    done
    end=$(date +%s.%N)
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
    [ -n "$scraper" ] && { kill "$scraper"; wait "$scraper" 2>/dev/null || true; }
    echo "$end - $start" | bc
}

off=()
on=()
for _ in 1 2 3 4 5; do
    off+=("$(run off)")
    on+=("$(run on)")
done
median() { printf '%s\n' "$@" | sort -n | sed -n 3p; }
m_off=$(median "${off[@]}")
m_on=$(median "${on[@]}")
echo "metrics_cost: $rows SMS rows, medians of 5 alternating runs: off ${m_off} s, on ${m_on} s" \
    "($(echo "scale=1; 100 * ($m_on - $m_off) / $m_off" | bc) %, target within 3 %)"
echo "metrics_cost: off ${off[*]}; on ${on[*]}"
