# Starts the servers that the tests and benchmarks use, on loopback in a private folder,
# and exports where they are (KORVANE_TEST_*), private ODBC files and a private profile.
# PostgreSQL runs with fsync=off (fine for tests) unless KORVANE_PG_FSYNC=on.
# Sourced by scripts/test and scripts/bench; stops everything on exit.
# shellcheck shell=bash

run=$(mktemp -d /tmp/korvane-run.XXXXXX)
chmod 755 "$run"
pids=()
pg_started=""
maria_started=""
as_pg=()
pgbin=/usr/lib/postgresql/15/bin

cleanup() {
    local status=$?
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    if [ -n "$maria_started" ] && [ -f "$run/maria/pid" ]; then
        kill "$(cat "$run/maria/pid")" 2>/dev/null || true
        for _ in $(seq 1 50); do [ -f "$run/maria/pid" ] || break; sleep 0.1; done
    fi
    if [ -n "$pg_started" ]; then
        "${as_pg[@]}" "$pgbin/pg_ctl" -D "$run/pg/data" -m immediate stop >/dev/null 2>&1 || true
    fi
    rm -rf "$run"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_port() {
    for _ in $(seq 1 100); do
        /usr/bin/python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1', $1)))" && return 0
        sleep 0.1
    done
    echo "scripts/test: nothing listens on port $1" >&2
    return 1
}

# PostgreSQL: a private cluster; initdb refuses root, so it runs as nobody there.
pg_port=$(free_port)
mkdir -p "$run/pg"
if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$run/pg"
    as_pg=(runuser -u nobody --)
fi
"${as_pg[@]}" "$pgbin/initdb" -D "$run/pg/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 >"$run/initdb.log" 2>&1 || { cat "$run/initdb.log"; exit 1; }
"${as_pg[@]}" "$pgbin/pg_ctl" -D "$run/pg/data" -l "$run/pg/server.log" -w \
    -o "-p $pg_port -k $run/pg -c listen_addresses=127.0.0.1 -c fsync=${KORVANE_PG_FSYNC:-off}" \
    start >/dev/null
pg_started=1
pg_password='Kor;va}n=e'
"${as_pg[@]}" psql -q -h "$run/pg" -p "$pg_port" -U postgres -d postgres \
    -c "CREATE ROLE korvane LOGIN PASSWORD 'Kor;va}n=e'" -c "CREATE DATABASE korvane OWNER korvane"

# MariaDB: a private server on its own socket and port, in the run's folder.
maria_port=$(free_port)
mkdir -p "$run/maria"
mariadb-install-db --no-defaults --datadir="$run/maria/data" --user="$(id -un)" \
    --auth-root-authentication-method=socket --skip-test-db >"$run/maria-install.log" 2>&1 ||
    { cat "$run/maria-install.log"; exit 1; }
mariadbd --no-defaults --datadir="$run/maria/data" --socket="$run/maria/sock" \
    --port="$maria_port" --bind-address=127.0.0.1 --user="$(id -un)" \
    --pid-file="$run/maria/pid" --log-error="$run/maria/server.log" --skip-log-bin \
    --innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=0 &
pids+=($!)
maria_started=1
wait_port "$maria_port"
mariadb --no-defaults -S "$run/maria/sock" -u root <<SQL
CREATE USER 'korvane'@'127.0.0.1' IDENTIFIED BY '$pg_password';
CREATE DATABASE korvane;
GRANT ALL ON korvane.* TO 'korvane'@'127.0.0.1';
SQL

# Private ODBC files: the drivers by full path, and the test data sources.
driver_path() { dpkg -L "$1" | grep -m1 "/$2\$"; }
mkdir -p "$run/odbc"
cat >"$run/odbc/odbcinst.ini" <<INI
[ODBC]
Trace=No

[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$(driver_path libsqliteodbc libsqlite3odbc.so)

[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode version)
Driver=$(driver_path odbc-postgresql psqlodbcw.so)
CommLog=0
Debug=0

[MariaDB Unicode]
Description=MariaDB Connector/ODBC
Driver=$(driver_path odbc-mariadb libmaodbc.so)
INI
cat >"$run/odbc/odbc.ini" <<INI
[KorvaneLite]
Driver=SQLite3
Database=$run/korvane.db
Timeout=5000
StepAPI=1

[KorvanePg]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$pg_port
Database=korvane
CommLog=0
Debug=0
UseDeclareFetch=1
Fetch=1000

[KorvaneMaria]
Driver=MariaDB Unicode
Server=127.0.0.1
Port=$maria_port
Database=korvane
INI

# Mail and SMS servers.
smtp_port=$(free_port)
smtp_auth_port=$(free_port)
smpp_port=$(free_port)
smtp_oauth_port=$(free_port)
token_port=$(free_port)
mkdir -p "$run/mail" "$run/mail-auth" "$run/mail-oauth" "$run/ca"
# A CA of the run's own and a certificate for 127.0.0.1 it signs: the token endpoint's TLS.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvane test CA" \
    -keyout "$run/ca/ca.key" -out "$run/ca/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$run/ca/server.key" \
    -out "$run/ca/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$run/ca/san.ext"
openssl x509 -req -in "$run/ca/server.csr" -CA "$run/ca/ca.pem" -CAkey "$run/ca/ca.key" \
    -CAcreateserial -days 2 -extfile "$run/ca/san.ext" -out "$run/ca/server.pem" 2>/dev/null
/usr/bin/python3 "$here/tests/servers/token_server.py" --port "$token_port" \
    --cert "$run/ca/server.pem" --key "$run/ca/server.key" --client 'korvane-app:Cl1ent;secret' \
    --tokens "$run/tokens" &
pids+=($!)
/usr/bin/python3 "$here/tests/servers/smtp_server.py" --port "$smtp_oauth_port" \
    --store "$run/mail-oauth" --xoauth2 "$run/tokens" --mailbox 'sender@korvane.test' &
pids+=($!)
/usr/bin/python3 "$here/tests/servers/smtp_server.py" --port "$smtp_port" --store "$run/mail" &
pids+=($!)
/usr/bin/python3 "$here/tests/servers/smtp_server.py" --port "$smtp_auth_port" \
    --store "$run/mail-auth" --auth 'mailer:S3cret;pw' &
pids+=($!)
node "$here/tests/servers/smpp_server.js" --port "$smpp_port" --store "$run/sms.jsonl" &
pids+=($!)
# The same gateway over TLS only, with the run's certificate for 127.0.0.1.
smpp_tls_port=$(free_port)
node "$here/tests/servers/smpp_server.js" --port "$smpp_tls_port" --store "$run/sms-tls.jsonl" \
    --key "$run/ca/server.key" --cert "$run/ca/server.pem" &
pids+=($!)
wait_port "$smtp_port"
wait_port "$smtp_auth_port"
wait_port "$smpp_port"
wait_port "$smtp_oauth_port"
wait_port "$token_port"
wait_port "$smpp_tls_port"

mkdir -p "$run/home/config"
export HOME="$run/home" XDG_CONFIG_HOME="$run/home/config" XDG_DATA_HOME="$run/home/data"
export XDG_RUNTIME_DIR="$run/home/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export ODBCSYSINI="$run/odbc" ODBCINI="$run/odbc/odbc.ini"
export KORVANE_TEST_STRICT=1
export KORVANE_TEST_RUN_DIR="$run"
export KORVANE_TEST_SQLITE_DSN=KorvaneLite KORVANE_TEST_SQLITE_DB="$run/korvane.db"
export KORVANE_TEST_PG_DSN=KorvanePg KORVANE_TEST_PG_PORT="$pg_port"
export KORVANE_TEST_PG_USER=korvane KORVANE_TEST_PG_PASSWORD="$pg_password"
export KORVANE_TEST_PG_SOCKET="$run/pg"
export KORVANE_TEST_MARIA_DSN=KorvaneMaria KORVANE_TEST_MARIA_PORT="$maria_port"
export KORVANE_TEST_SMTP_PORT="$smtp_port" KORVANE_TEST_SMTP_STORE="$run/mail"
export KORVANE_TEST_SMPP_TLS_PORT="$smpp_tls_port" KORVANE_TEST_SMPP_TLS_STORE="$run/sms-tls.jsonl"
export KORVANE_TEST_SMTP_AUTH_PORT="$smtp_auth_port" KORVANE_TEST_SMTP_AUTH_STORE="$run/mail-auth"
export KORVANE_TEST_SMTP_AUTH_USER=mailer KORVANE_TEST_SMTP_AUTH_PASSWORD='S3cret;pw'
export KORVANE_TEST_SMTP_OAUTH_PORT="$smtp_oauth_port" KORVANE_TEST_SMTP_OAUTH_STORE="$run/mail-oauth"
export KORVANE_TEST_TOKEN_URL="https://127.0.0.1:$token_port/token" KORVANE_TEST_CA="$run/ca/ca.pem"
export KORVANE_TEST_TOKEN_CLIENT=korvane-app KORVANE_TEST_TOKEN_SECRET='Cl1ent;secret'
export KORVANE_TEST_TOKEN_REQUESTS="$run/tokens.requests"
export KORVANE_TEST_SMPP_PORT="$smpp_port" KORVANE_TEST_SMPP_STORE="$run/sms.jsonl"
export KORVANE_TEST_KORVANE_BINARY="$build/korvane"

