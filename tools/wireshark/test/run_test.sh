#!/usr/bin/env bash
# ctest entry of the dissector's tests. Installs tshark and python3 (and tcpdump for a live
# capture) with apt-get when missing; skips (exit 77) only when they cannot be installed.
#   run_test.sh session PCAP KEYS [SIMLOG]   the committed capture of the real programs
#   run_test.sh damaged PCAP MANIFEST        its damaged copy
#   run_test.sh live DRIVER FELDARO_SIM      a fresh capture in network namespaces, then as session
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=${1:-}
shift || true

need=(tshark python3)
[[ $mode == live ]] && need+=(tcpdump)
missing=()
for c in "${need[@]}"; do command -v "$c" >/dev/null || missing+=("$c"); done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo -n"
  echo "installing ${missing[*]}"
  (
    flock 9  # parallel tests install one at a time
    # No question about capture rights: tshark reads files here, it never captures.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
      { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null; }
  ) 9>/tmp/feldaro-apt.lock
  for c in "${missing[@]}"; do
    command -v "$c" >/dev/null || { echo "SKIP: $c is missing and could not be installed"; exit 77; }
  done
fi

case $mode in
  session) exec python3 "$here/check_capture.py" session "$@" ;;
  damaged) exec python3 "$here/check_capture.py" damaged "$@" ;;
  live)
    # Like the other real-UDP tests: skip without the right to create namespaces, except in CI.
    probe=qnprobe$$
    if ! ip netns add "$probe" 2>/dev/null; then
      [[ ${CI:-} == true ]] && { echo "cannot create network namespaces (required in CI)"; exit 1; }
      echo "SKIP: cannot create network namespaces"
      exit 77
    fi
    ip netns del "$probe"
    out=$(mktemp -d /tmp/quorinnet-live-XXXXXX)
    trap 'rm -rf "$out"' EXIT
    "$here/make_capture.sh" "$1" "$2" "$out" || exit 1
    python3 "$here/check_capture.py" session "$out/session.pcap" "$out/session.keys" \
      "$out/session.simlog"
    ;;
  *) sed -n '2,7p' "$0"; exit 2 ;;
esac
