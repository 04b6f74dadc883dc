# A PostgreSQL server of a script test's own, as pg_test_server.h gives the
# C++ tests: Debian's postgresql, a new cluster in a temporary folder owned by
# an unprivileged user, on a free port. Source this file, then:
#
#   trap pg_test_end EXIT
#   pg_test_init [ADDRESS]  # initdb and start; sets PG_TEST_URL (database kinora),
#                           # PG_TEST_PORT, PG_TEST_DIR (the cluster: $PG_TEST_DIR/data)
#   pg_test_stop            # fast shutdown; returns once the server has exited
#   pg_test_start           # the same cluster and port; returns once it accepts connections
#   pg_test_end             # stopped and its folder removed
#
# ADDRESS (default 127.0.0.1) is an IPv4 address of this host; another than
# loopback also lets in the hosts of its subnet. The server is a child of the
# shell told to stop (SIGINT, fast) if the shell dies. Each function returns
# non-zero, saying why on standard error, when it fails.

pg_test_user() { if id postgres >/dev/null 2>&1; then echo postgres; else echo nobody; fi; }

pg_test_bin() {
  local newest
  newest=$(ls /usr/lib/postgresql 2>/dev/null | grep -E '^[0-9]+$' | sort -n | tail -1)
  if [ -z "$newest" ]; then
    echo "no PostgreSQL server under /usr/lib/postgresql (scripts/setup.sh installs it)" >&2
    return 1
  fi
  echo "/usr/lib/postgresql/$newest/bin"
}

# setpriv's options to run as that user; setpriv execs the program, so a
# program started in the background is $!, not a shell around it.
pg_test_as_user() {
  local user
  user=$(pg_test_user)
  echo --reuid "$user" --regid "$([ "$user" = nobody ] && echo nogroup || echo "$user")" --init-groups
}

pg_test_init() {
  PG_TEST_ADDRESS=${1:-127.0.0.1}
  PG_TEST_BIN=$(pg_test_bin) || return 1
  PG_TEST_DIR=$(mktemp -d /tmp/kinora_pg.XXXXXX) || return 1
  chown "$(pg_test_user):" "$PG_TEST_DIR" || return 1
  # shellcheck disable=SC2046
  if ! setpriv $(pg_test_as_user) "$PG_TEST_BIN/initdb" -D "$PG_TEST_DIR/data" -U kinora --auth=trust -E UTF8 \
      --locale=C.UTF-8 --no-sync --no-instructions >"$PG_TEST_DIR/initdb.log" 2>&1; then
    echo "initdb failed: $(cat "$PG_TEST_DIR/initdb.log")" >&2
    return 1
  fi
  [ "$PG_TEST_ADDRESS" = 127.0.0.1 ] || echo "host all all samenet trust" >>"$PG_TEST_DIR/data/pg_hba.conf"
  # Another program may take the free port before the server binds it: a few are tried.
  local attempt
  for attempt in 1 2 3; do
    PG_TEST_PORT=$(/usr/bin/python3 -c 'import socket, sys
s = socket.socket(); s.bind((sys.argv[1], 0)); print(s.getsockname()[1])' "$PG_TEST_ADDRESS") || return 1
    if pg_test_start 2>/dev/null; then
      PG_TEST_URL="postgresql://kinora@$PG_TEST_ADDRESS:$PG_TEST_PORT/kinora"
      "$PG_TEST_BIN/psql" -q -X -v ON_ERROR_STOP=1 "postgresql://kinora@$PG_TEST_ADDRESS:$PG_TEST_PORT/postgres" \
        -c "CREATE DATABASE kinora" >/dev/null
      return
    fi
  done
  echo "the PostgreSQL server did not start: $(tail -5 "$PG_TEST_DIR/server.log")" >&2
  return 1
}

pg_test_start() {
  # fsync off: a test's cluster need not survive a crash of the machine.
  # shellcheck disable=SC2046
  setpriv $(pg_test_as_user) --pdeathsig SIGINT "$PG_TEST_BIN/postgres" -D "$PG_TEST_DIR/data" -p "$PG_TEST_PORT" \
    -k "$PG_TEST_DIR" -c "listen_addresses=$PG_TEST_ADDRESS" -c fsync=off >>"$PG_TEST_DIR/server.log" 2>&1 &
  PG_TEST_PID=$!
  # Polled until it accepts connections or has exited; the bound is only for a hung server.
  local deadline=$((SECONDS + 60))
  until "$PG_TEST_BIN/pg_isready" -q -h "$PG_TEST_ADDRESS" -p "$PG_TEST_PORT" -U kinora -d postgres; do
    if ! kill -0 "$PG_TEST_PID" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
      echo "the PostgreSQL server did not answer: $(tail -5 "$PG_TEST_DIR/server.log")" >&2
      pg_test_stop
      return 1
    fi
    sleep 0.01
  done
}

pg_test_stop() {
  [ -n "${PG_TEST_PID:-}" ] || return 0
  kill -INT "$PG_TEST_PID" 2>/dev/null  # fast shutdown
  wait "$PG_TEST_PID" 2>/dev/null
  PG_TEST_PID=
}

pg_test_end() {
  pg_test_stop
  [ -n "${PG_TEST_DIR:-}" ] && rm -rf "$PG_TEST_DIR"
  PG_TEST_DIR=
}
