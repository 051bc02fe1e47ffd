#!/usr/bin/env bash
# Builds the NAT lab's "router with a public WAN" daemon: Debian's miniupnpd,
# from the source package of the installed miniupnpd-nftables, with
# nat-lab/miniupnpd-public-wan.patch, as Debian builds its nftables variant.
#
#   nat-lab/build-miniupnpd.sh CACHE_DIR
#
# Prints the binary's path. The binary is kept in CACHE_DIR under the source
# version and the patch's hash, so it is built again only when either changes;
# parallel callers wait for one build. Needs what scripts/install-deps.sh
# installs (miniupnpd-nftables, dpkg-dev, pkg-config, libnftnl-dev, libmnl-dev)
# and, the first time, Debian's archive.
set -euo pipefail
export LC_ALL=C

(($# == 1)) || { echo "usage: $0 CACHE_DIR" >&2; exit 2; }
lab_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
patch_file=$lab_dir/miniupnpd-public-wan.patch
mkdir -p "$1"
cache=$(cd "$1" && pwd)

# The stock daemon's own source version, so the two differ only by the patch;
# the source version, since a binary-only rebuild (+b1) has none of its own.
version=$(dpkg-query -W -f='${source:Version}' miniupnpd-nftables 2>/dev/null) ||
  { echo "build-miniupnpd: miniupnpd-nftables is not installed (scripts/install-deps.sh)" >&2; exit 1; }
key=$version-$(sha256sum "$patch_file" | cut -c 1-12)
binary=$cache/$key/miniupnpd

exec 9>"$cache/.lock"
flock -w 300 9 || { echo "build-miniupnpd: $cache is locked by another build" >&2; exit 1; }
if [[ -x $binary ]]; then echo "$binary"; exit 0; fi

started=$SECONDS
work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$lab_dir/../scripts/fetch-debian-source.sh" "$cache/apt" miniupnpd "$version" "$work/miniupnpd"
source_dir=$work/miniupnpd

patch -d "$source_dir" -p1 --quiet <"$patch_file"
# debian/rules' configure line for the nftables variant.
(cd "$source_dir" &&
  ./configure --igd2 --ipv6 --vendorcfg --pcp-peer --portinuse --leasefile --firewall=nftables &&
  make -j2 -f Makefile.linux_nft miniupnpd) >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }

mkdir -p "$cache/$key.new"
cp "$source_dir/miniupnpd" "$cache/$key.new/miniupnpd"
rm -rf "${cache:?}/$key"
mv "$cache/$key.new" "$cache/$key"
echo "build-miniupnpd: built $key in $((SECONDS - started)) s" >&2
echo "$binary"
