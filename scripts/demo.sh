#!/usr/bin/env bash
# Installs what is missing, builds the gateway and runs it on a pseudo-terminal until
# Ctrl-C. The serial port is served by the simulated coprocessor when it is built,
# otherwise by an idle socat pseudo-terminal pair. Extra arguments go to z3gwd
# (e.g. `-l 1` for warnings only).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir=${Z3GW_BUILD_DIR:-build}
sim=$build_dir/tools/zcb-sim/zcb-sim
targets=(z3gwd)
if [[ -f tools/zcb-sim/CMakeLists.txt ]]; then
  targets+=(zcb-sim)
fi
cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]}"

run=$(mktemp -d /tmp/z3gw-demo.XXXXXX)
helper=""
cleanup() {
  if [[ -n $helper ]]; then
    kill "$helper" 2>/dev/null || true
    wait "$helper" 2>/dev/null || true
  fi
  rm -rf "$run"
}
trap cleanup EXIT

port=$run/ttyZCB
if [[ -x $sim ]]; then
  sim_args=(--link "$port")
  if [[ -f tools/zcb-sim/example-devices.json ]]; then
    sim_args+=(--config tools/zcb-sim/example-devices.json)
  fi
  "$sim" "${sim_args[@]}" >"$run/zcb-sim.log" 2>&1 &
  helper=$!
  echo "serial port: simulated coprocessor on $port"
else
  socat pty,raw,echo=0,link="$port" pty,raw,echo=0,link="$run/ttyPeer" &
  helper=$!
  echo "serial port: socat pseudo-terminal $port (no coprocessor behind it)"
fi
for _ in $(seq 50); do
  [[ -e $port ]] && break
  sleep 0.1
done
if [[ ! -e $port ]]; then
  echo "the pseudo-terminal did not appear" >&2
  exit 1
fi

echo "z3gwd running; Ctrl-C stops it"
"$build_dir/src/z3gwd" \
  --uart-port "$port" \
  --db "$run/zv_z3gw.db" \
  --device-def "$run/zv_device_def.json" \
  --gateway-config "$run/zv_gw_cfg.json" \
  --thingmodel-path "$run/tsl/" \
  -r 0 -l 3 "$@" || true
