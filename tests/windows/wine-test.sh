#!/usr/bin/env bash
# The Windows build under Wine, everything inside network namespaces made here (nothing of
# Wine reaches the host's interfaces):
#   fwn<pid>-br    a bridge, the LAN
#   fwn<pid>-tool  the tool at 10.77.0.1: Wine, its services, the Windows programs
#   fwn<pid>-dev   feldaro-sim (the Linux build) serving sim/scenarios/demo.json
# 1. the unit suites (build-win, ctest through tests/windows/wine-run);
# 2. feldaro-cli.exe from a program folder under a name with Polish letters: list, show,
#    backup, restore with a change, report (the Linux build's bytes), doc (pdftotext, pdffonts);
# 3. feldaro.exe on Xvfb: the first controller read, a screenshot (build-win/grab-feldaro-wine.png),
#    the end of the Windows session ends the controller's session.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
qt=${FELDARO_QT_MINGW:?FELDARO_QT_MINGW names the Qt for MinGW-w64 (scripts/windows sets it)}
win=$root/build-win/bin
lin=$root/build/bin
[[ -x $win/feldaro-cli.exe && -x $win/feldaro.exe ]] || { echo "wine-test: run scripts/windows first" >&2; exit 1; }
if [[ ! -x $lin/feldaro-sim || ! -x $lin/feldaro-cli ]]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFELDARO_WERROR=ON >/dev/null
  cmake --build build -j "$(nproc)" -t feldaro-sim feldaro-cli
fi

work=$(mktemp -d /tmp/feldaro-wine.XXXXXX)
ns=fwn$$
br=$ns-br tool=$ns-tool dev=$ns-dev br2=$ns-br2 dev2=$ns-dev2
xvfb_pid=""
sim_pid=""
fail=0
passed=0
teardown() {
  for n in $tool $dev $br $dev2 $br2; do
    if ip netns list | grep -qw "^$n"; then
      for p in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
      ip netns del "$n" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap teardown EXIT

ip netns add $br
ip netns add $tool
ip netns add $dev
ip -n $br link add br0 type bridge
ip -n $br link set br0 type bridge forward_delay 0 stp_state 0
ip -n $br addr add 10.77.0.254/24 dev br0
ip -n $br link set br0 up
for n in $br $tool $dev; do ip -n $n link set lo up; done
ip link add eth0 netns $tool type veth peer name vtool netns $br
ip link add eth0 netns $dev type veth peer name vdev netns $br
for v in vtool vdev; do
  ip -n $br link set $v master br0
  ip -n $br link set $v up
done
ip -n $tool addr add 10.77.0.1/24 dev eth0
ip -n $dev addr add 10.77.0.250/24 dev eth0
for n in $tool $dev; do
  ip -n $n link set eth0 up
  ip -n $n route add default via 10.77.0.254
done

# Wine, its server and its services all start inside the tool's namespace.
export WINEPREFIX=$work/prefix FELDARO_QT_MINGW=$qt
in_tool() { ip netns exec $tool "$@"; }
wrun() { in_tool "$root/tests/windows/wine-run" "$@"; }
shown=""  # the output that goes with the next checks, shown once when one fails
check() {  # check "what" command...: one line per check, and the count at the end
  local what=$1
  shift
  if "$@"; then
    echo "ok - $what"
    passed=$((passed + 1))
  else
    echo "not ok - $what"
    fail=$((fail + 1))
    if [[ -n $shown && -f $shown ]]; then sed 's/^/    /' "$shown"; fi
    shown=""
  fi
}
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# One display for all of Wine (its desktop takes the display it starts with), in the tool's
# namespace.
n=77
while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
in_tool Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.out" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
export DISPLAY=:$n

t0=$SECONDS
# One Wine server for the whole run: one that ends when idle can be leaving just as the next
# program connects ("recvmsg: Connection reset by peer"). The teardown ends it.
mkdir -p "$WINEPREFIX"
in_tool wineserver -p
wrun wineboot -i >/dev/null 2>&1
echo "wine-test: Wine prefix ready ($((SECONDS - t0)) s)"

# 1. The unit suites.
if in_tool ctest --test-dir build-win --output-on-failure >"$work/ctest.out" 2>&1; then
  echo "ok - unit suites under Wine: $(grep -o '[0-9]* tests passed\|100% tests passed, [0-9]* tests failed out of [0-9]*' "$work/ctest.out" | tail -n 1)"
  passed=$((passed + 1))
else
  cat "$work/ctest.out"
  echo "not ok - unit suites under Wine"
  fail=$((fail + 1))
fi

# A program folder as the user gets it (the one scripts/windows-package packs), under a name
# with Polish letters.
pkg=$(ls -d "$root"/build-win/pkg/Feldaro-*/ 2>/dev/null | head -n 1)
[[ -n $pkg && -x $pkg/feldaro-cli.exe ]] || { echo "wine-test: no program folder in build-win/pkg (scripts/windows makes it)" >&2; exit 1; }
prog="$work/Program Łódź/Feldaro"
mkdir -p "$prog"
cp -r "$pkg/." "$prog/"

# 2. feldaro-cli.exe: first with nobody on the LAN, then against feldaro-sim.
cli() { wrun "$prog/feldaro-cli.exe" "$@"; }
cli list >"$work/nobody.out" 2>&1 || true
shown=$work/nobody.out
check "list with no answer names the firewall" \
  grep -q 'Brak odpowiedzi: zapora systemu Windows może blokować port UDP 45389' "$work/nobody.out"
ip netns exec $dev "$lin/feldaro-sim" --no-console --log "$work/sim.log" --add-addrs eth0 \
  "$root/sim/scenarios/demo.json" >"$work/sim.out" 2>&1 &
sim_pid=$!
disown $sim_pid  # ended with its namespace
for _ in $(seq 50); do grep -q '^# feldaro-sim' "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
grep -q '^# feldaro-sim' "$work/sim.log" || { cat "$work/sim.out" >&2; exit 1; }
out="$work/Budynek Ż"
mkdir -p "$out"
log_from() { tail -n +"$1" "$work/sim.log"; }
log_at() { wc -l <"$work/sim.log"; }

cli list >"$work/list.out" 2>&1 || true
shown=$work/list.out
check "list finds K27_00005 at 10.77.0.10" grep -q 'K27_00005.*10\.77\.0\.10' "$work/list.out"
at=$(log_at)
cli show K27_00005 >"$work/show.out" 2>&1 || true
shown=$work/show.out
check "show reads the controller ('C') and ends its session ('s' last)" bash -c \
  "tail -n +$((at + 1)) '$work/sim.log' | grep -q ' RX .*id=K27_00005 cmd=C ' &&
   tail -n +$((at + 1)) '$work/sim.log' | grep ' RX ' | tail -n 1 | grep -q 'cmd=s '"
in_tool "$lin/feldaro-cli" show K27_00005 >"$work/show-linux.out" 2>&1 || true
check "show prints what the Linux build prints" cmp -s "$work/show.out" "$work/show-linux.out"

cli backup K27_00005 -o "$(winpath "$out/k5 Łukasz.json")" --location "Budynek Ż" >"$work/backup.out" 2>&1 || true
shown=$work/backup.out
check "backup writes the archive under Polish names" grep -q '"location": "Budynek Ż"' "$out/k5 Łukasz.json"

# The same archive with the second passage's open time changed, restored and read back.
python3 - "$out/k5 Łukasz.json" "$out/k5b.json" <<'PY' || true
import json, sys
arc = json.load(open(sys.argv[1], encoding="utf-8"))
arc["passages"][1]["openTime"] += 7  # the named field wins over the raw bytes
json.dump(arc, open(sys.argv[2], "w", encoding="utf-8"), ensure_ascii=False, indent=2)
PY
at=$(log_at)
cli restore "$(winpath "$out/k5b.json")" K27_00005 --yes >"$work/restore.out" 2>&1 || true
shown=$work/restore.out
check "restore confirms the read-back" grep -q 'odczyt kontrolny zgodny' "$work/restore.out"
check "restore sent one signed 'c'" test "$(log_from $((at + 1)) | grep ' RX ' | grep -c 'cmd=c .*sig=ok')" = 1
cli backup K27_00005 -o "$(winpath "$out/again.json")" >/dev/null 2>&1 || true
check "the controller reads back what was restored" python3 - "$out/k5b.json" "$out/again.json" <<'PY'
import json, sys
a, b = (json.load(open(p, encoding="utf-8"))["passages"] for p in sys.argv[1:3])
for p in a + b:
    del p["params"]  # the edited archive still has the old raw bytes
sys.exit(0 if a == b and a[1]["openTime"] == 27 else 1)
PY

cli backup --all -o "$(winpath "$out/wszystkie")" >"$work/all.out" 2>&1 || true
shown=$work/all.out
check "backup --all: files named by date and controller, no ':'" bash -c \
  "ls '$out/wszystkie' | grep -qx '[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]_K27_00005.json'"
cli report K27_00005 -o "$(winpath "$out/k5.txt")" --location "Budynek Ż, piętro 2" >"$work/report.out" 2>&1 || true
shown=$work/report.out
in_tool "$lin/feldaro-cli" report K27_00005 -o "$work/k5-linux.txt" --location "Budynek Ż, piętro 2" >/dev/null 2>&1 || true
check "report: the Linux build's bytes" cmp -s "$out/k5.txt" "$work/k5-linux.txt"
check "report is not empty" test -s "$out/k5.txt"

cli doc K27_00005 -o "$(winpath "$out/k5.pdf")" --installer "Łukasz Żółć" --location "Budynek Ż" >"$work/doc.out" 2>&1 || true
shown=$work/doc.out
pdftotext -layout "$out/k5.pdf" "$work/k5.pdf.txt" 2>/dev/null || true
passages=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1],encoding="utf-8"))["devices"][0]["doors"]))' "$root/sim/scenarios/demo.json")
for i in $(seq 1 "$passages"); do
  check "doc: Przejście $i in the PDF's text" grep -q "Przejście $i" "$work/k5.pdf.txt"
done
check "doc: installer and site in the PDF's text" grep -q 'Łukasz Żółć' "$work/k5.pdf.txt"
check "doc: DejaVu Sans embedded" bash -c "pdffonts '$out/k5.pdf' | grep 'DejaVuSans' | grep -q ' yes '"

# A second segment behind a second adapter that has no route (the service cable beside the
# office LAN): the search reaches the controller there too.
ip netns add $br2
ip netns add $dev2
ip -n $br2 link add br0 type bridge
ip -n $br2 link set br0 type bridge forward_delay 0 stp_state 0
ip -n $br2 link set br0 up
ip link add eth1 netns $tool type veth peer name vtool netns $br2
ip link add eth0 netns $dev2 type veth peer name vdev netns $br2
for v in vtool vdev; do
  ip -n $br2 link set $v master br0
  ip -n $br2 link set $v up
done
ip -n $tool addr add 10.78.0.1/24 dev eth1
ip -n $dev2 addr add 10.78.0.250/24 dev eth0
ip -n $tool link set eth1 up
ip -n $dev2 link set lo up
ip -n $dev2 link set eth0 up
echo '{"devices": [{"type": 327, "serial": 105, "address": "10.78.0.10", "mode": "Serwis"}]}' \
  >"$work/cable.json"
ip netns exec $dev2 "$lin/feldaro-sim" --no-console --log "$work/sim2.log" --add-addrs eth0 \
  "$work/cable.json" >"$work/sim2.out" 2>&1 &
sim2_pid=$!
for _ in $(seq 50); do grep -q '^# feldaro-sim' "$work/sim2.log" 2>/dev/null && break; sleep 0.1; done
cli list >"$work/list2.out" 2>&1 || true
shown=$work/list2.out
check "list reaches both segments, one through each adapter" bash -c \
  "grep -q 'K27_00005.*10\.77\.0\.10' '$work/list2.out' && grep -q 'K27_00105.*10\.78\.0\.10' '$work/list2.out'"
kill $sim2_pid 2>/dev/null || true
wait $sim2_pid 2>/dev/null || true

# 3. feldaro.exe on Xvfb, in the tool's namespace. The demo's time recorder answers a search
# 2 s late: its answer to the last command's search must not fall into the window's own
# search, where it would be the first line (the list is in identifier order).
sleep 2.5
at=$(log_at)
wrun "$prog/feldaro.exe" >"$work/feldaro.out" 2>&1 &
shown=$work/feldaro.out
gui_pid=$!
disown $gui_pid
for _ in $(seq 300); do
  log_from $((at + 1)) | grep -q ' RX .*cmd=C ' && break
  sleep 0.1
done
for c in K D C; do
  check "window: '$c' reached the first controller" bash -c "tail -n +$((at + 1)) '$work/sim.log' | grep -q ' RX .*id=K27_00005 cmd=$c '"
done
sleep 3
shot=$root/build-win/grab-feldaro-wine.png
in_tool import -window root "$shot" 2>/dev/null || true
# A window drawn, not an empty screen: many colours.
check "window: screenshot shows the window" test "$(identify -format %k "$shot" 2>/dev/null || echo 0)" -gt 50
# Log-off: Wine sends WM_QUERYENDSESSION and WM_ENDSESSION to every window.
at=$(log_at)
wrun wineboot --end-session >/dev/null 2>&1 || true
for _ in $(seq 100); do
  tail -n +$((at + 1)) "$work/sim.log" | grep -q ' RX .*cmd=s ' && break
  sleep 0.1
done
check "window: the end of the session ends the controller's session" bash -c "tail -n +$((at + 1)) '$work/sim.log' | grep -q ' RX .*id=K27_00005 cmd=s '"
kill $gui_pid 2>/dev/null || true
in_tool wineserver -k 2>/dev/null || true
kill $xvfb_pid 2>/dev/null || true

echo "wine-test: $passed passed, $fail failed ($((SECONDS - t0)) s)"
((fail == 0))
