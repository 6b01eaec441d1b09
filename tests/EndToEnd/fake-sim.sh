#!/bin/sh
# A stand-in for `zrl-sim run` in the demo's tests: it reports its preview
# stream open at once, says "dump asked" on standard error for each dump and
# answers it with $FAKE_SIM_DUMP (not at all when that is unset).
echo "stream: open /v1/api/sse-ui-config?appId=fake" >&2
while read -r line; do
  case "$line" in
    dump)
      echo "dump asked" >&2
      if [ -n "${FAKE_SIM_DUMP:-}" ]; then echo "$FAKE_SIM_DUMP"; fi
      ;;
    quit) exit 0 ;;
  esac
done
