#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only the missing ones,
# so that later runs cost nothing. Given package names, installs those
# instead (the Windows cross build brings its own list).
#   scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

project_packages=(g++ cmake ninja-build libboost-dev libboost-system-dev libboost-date-time-dev
          libboost-program-options-dev libjsoncpp-dev googletest libgtest-dev
          libminiupnpc-dev  # UPnP-IGD for the client's --port-mapping
          iproute2 nftables
          jq              # nat-lab/run-lab.sh reads the client's --json result
          miniupnpd-nftables  # the lab's router daemon; the package starts nothing
          gcc make pkg-config libnftnl-dev libmnl-dev  # nat-lab/build-miniupnpd.sh rebuilds it
          systemd         # systemd-analyze, with which packaging/check-unit.sh checks the unit
          python3 python3-prometheus-client  # the metrics scrape test; nat-lab/report.py
          tmux            # the countdown's terminal test
          clang-14 libclang-rt-14-dev  # libFuzzer for fuzz/run-fuzz.sh
          dpkg-dev file   # the .deb: dpkg-shlibdeps computes Depends, CPack finds ELF files with file
          man-db)         # packaging/check-deb.sh reads the installed man pages
if [[ $# -gt 0 ]]; then packages=("$@"); else packages=("${project_packages[@]}"); fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing build dependencies: ${missing[*]}" >&2
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
# apt's chatter is worth reading only when it fails; then it is all of it.
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
status=0
{
  "${sudo[@]}" apt-get update -qq &&
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
} >"$apt_log" 2>&1 || status=$?
if [[ $status -ne 0 ]]; then
  cat "$apt_log" >&2
  exit "$status"
fi
