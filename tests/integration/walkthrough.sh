#!/usr/bin/env bash
# Runs the README's walk-through exactly as written, from the project folder, in network
# and mount namespaces of its own: its fixed ports and its control socket never meet those
# of a server that runs on this machine. Exit 77 (skipped) where namespaces are not allowed.
set -euo pipefail
source_dir=$1

if [[ ${VIDRA_WALKTHROUGH_INSIDE:-} != 1 ]]; then
  if ! command -v ip > /dev/null || ! unshare -n -m true 2> /dev/null; then
    echo "skipped: no network namespace here"
    exit 77
  fi
  exec unshare -n -m env VIDRA_WALKTHROUGH_INSIDE=1 bash "$0" "$@"
fi

ip link set lo up
mkdir -p /run/vidra
mount -t tmpfs tmpfs /run/vidra
cd "$source_dir"
rm -f data/playlists/*.airx

script=$(sed -n '/^<!-- walkthrough -->$/,/^<!-- \/walkthrough -->$/p' README.md |
  sed '/^```/d;/^<!--/d')
[[ -n $script ]] || { echo "no walk-through in README.md"; exit 1; }
echo "$script"
output=$(timeout 900 bash -e -c "$script" 2>&1) || { echo "$output"; exit 1; }
echo "$output"

check() {
  grep -q -e "$1" <<< "$output" || { echo "missing in the output: $1"; exit 1; }
}
check '^<-notice .*<status>READY</status>'
check '^<-notice .*<status>PLAY</status>'
check '^->notice .*<roAck>'
check '[+-][0-9][0-9]:[0-9][0-9] in client [0-9]* <mos>.*<roCreate>'
check '[+-][0-9][0-9]:[0-9][0-9] out client [0-9]* <mos>.*<roElementStat'
check '<movie file="media/opener.wav" duration="00:00:02.00"'
if grep -q 'Timeout' /tmp/vidra-server.log; then
  echo "a notice was not acknowledged"
  exit 1
fi
echo "walk-through passed"
