#!/usr/bin/env bash
# Captures the real tool (driven by quorinnet_capture_driver) talking to feldaro-sim over
# real UDP, inside network namespaces of its own (names carry this script's pid; removed on
# exit), with tcpdump on the tool's interface. Needs root, iproute2 and tcpdump.
#   make_capture.sh DRIVER FELDARO_SIM OUTDIR
# Writes OUTDIR/session.pcap, OUTDIR/session.keys (the signing key the link derived) and
# OUTDIR/session.simlog (feldaro-sim's log of the datagrams). To refresh the committed capture:
#   scripts/build && tools/wireshark/test/make_capture.sh build/bin/quorinnet_capture_driver \
#     build/bin/feldaro-sim tools/wireshark/test && tools/wireshark/test/damage.py tools/wireshark/test
set -euo pipefail
[[ $# -eq 3 ]] || { sed -n '2,9p' "$0" >&2; exit 2; }
driver=$(realpath "$1")
sim=$(realpath "$2")
out=$(realpath -m "$3")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"

tag=qn$$
br=$tag-br tool=$tag-tool dev=$tag-dev
work=$(mktemp -d /tmp/quorinnet-capture-XXXXXX)
pids=()
teardown() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  for ns in "$tool" "$dev" "$br"; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$work"
}
trap teardown EXIT

ip netns add "$br"
ip netns add "$tool"
ip netns add "$dev"
ip -n "$br" link add br0 type bridge
ip -n "$br" link set br0 type bridge forward_delay 0 stp_state 0
ip -n "$br" link set br0 up
for ns in "$br" "$tool" "$dev"; do ip -n "$ns" link set lo up; done
ip link add eth0 netns "$tool" type veth peer name vtool netns "$br"
ip link add eth0 netns "$dev" type veth peer name vdev netns "$br"
for v in vtool vdev; do
  ip -n "$br" link set "$v" master br0
  ip -n "$br" link set "$v" up
done
ip -n "$tool" addr add 10.77.0.1/24 dev eth0
ip -n "$dev" addr add 10.77.0.250/24 dev eth0
for ns in "$tool" "$dev"; do ip -n "$ns" link set eth0 up; done

ip netns exec "$dev" "$sim" --log "$work/sim.log" --add-addrs eth0 --no-console \
  "$here/capture_scenario.json" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  grep -q '^# feldaro-sim' "$work/sim.log" 2>/dev/null && break
  sleep 0.1
done
grep -q '^# feldaro-sim' "$work/sim.log" 2>/dev/null || { cat "$work/sim.out" >&2; exit 1; }

ip netns exec "$tool" tcpdump -i eth0 --immediate-mode -U -n -w "$work/session.pcap" udp port 45389 \
  2>"$work/tcpdump.err" &
tcpdump_pid=$!
pids+=("$tcpdump_pid")
for _ in $(seq 50); do
  grep -q 'listening on' "$work/tcpdump.err" && break
  sleep 0.1
done
grep -q 'listening on' "$work/tcpdump.err" || { cat "$work/tcpdump.err" >&2; exit 1; }

if ! ip netns exec "$tool" env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" HOME="$work" \
     timeout 60 "$driver" "$work/session.keys" >"$work/driver.out" 2>&1; then
  cat "$work/driver.out" "$work/sim.log" >&2
  exit 1
fi
sleep 0.3  # the last answer reaches the capture
kill -INT "$tcpdump_pid"
wait "$tcpdump_pid" 2>/dev/null || true
cp "$work/session.pcap" "$work/session.keys" "$out/"
cp "$work/sim.log" "$out/session.simlog"
echo "make_capture: $(grep -c ' RX ' "$work/sim.log") datagrams to the devices; capture in $out/session.pcap"
