#!/bin/sh
# A throw-away PostgreSQL cluster from Debian's postgresql package (the
# newest version installed), for the tests, the cluster demo and the
# cluster benchmark: no fsync, user "zrl" trusted, UTF-8, C locale.
#   throwaway-postgresql.sh start DIR    makes a cluster in DIR (missing or
#                                        empty), starts it on 127.0.0.1 on
#                                        a free port, and prints its URI
#   throwaway-postgresql.sh restart DIR  stops it at once, as a crash would,
#                                        and starts it again on its port
#   throwaway-postgresql.sh stop DIR     stops it at once and removes DIR
# initdb and postgres refuse root: as root they run as nobody, so DIR's
# parent must let others pass. Exit status: 0, or 1 with the reason.
set -eu
command=${1:?usage: throwaway-postgresql.sh start|stop DIR}
dir=${2:?usage: throwaway-postgresql.sh start|stop DIR}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "throwaway-postgresql: no PostgreSQL under /usr/lib/postgresql" >&2; exit 1; }
as_db() {
  if [ "$(id -u)" -eq 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
  else "$@"; fi
}
case $command in
  restart)
    as_db "$bin/pg_ctl" restart -D "$dir" -l "$dir/log" -m immediate -w -t 120 >/dev/null 2>&1 ||
      { echo "throwaway-postgresql: the restart failed: $(tail -n 3 "$dir/log")" >&2; exit 1; }
    ;;
  stop)
    as_db "$bin/pg_ctl" -D "$dir" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
  start)
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then chown nobody "$dir"; fi
    if ! as_db "$bin/initdb" -D "$dir" -U zrl --auth=trust -E UTF8 --locale=C --no-sync \
        >"$dir.initdb.log" 2>&1; then
      echo "throwaway-postgresql: initdb failed: $(cat "$dir.initdb.log")" >&2
      rm -f "$dir.initdb.log"
      exit 1
    fi
    rm -f "$dir.initdb.log"
    # A port found free may be taken before the server binds it: try again.
    for attempt in 1 2 3 4 5; do
      port=$((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000))
      if as_db "$bin/pg_ctl" -D "$dir" -l "$dir/log" -w -t 120 start \
          -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir -c fsync=off" \
          >/dev/null 2>&1; then
        echo "postgresql://zrl@127.0.0.1:$port/postgres"
        exit 0
      fi
    done
    echo "throwaway-postgresql: the server would not start: $(tail -n 3 "$dir/log")" >&2
    exit 1
    ;;
  *) echo "usage: throwaway-postgresql.sh start|stop DIR" >&2; exit 2 ;;
esac
