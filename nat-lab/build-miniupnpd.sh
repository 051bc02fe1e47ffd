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

# The source comes through apt with a private sources list and state (as in
# scripts/build-windows.sh): the machine's apt setup stays untouched, and apt
# still checks the signed Release file and the checksums.
apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
  >"$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
# As root apt downloads as _apt, which must be able to write where the source lands.
if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then chown _apt "$work"; fi
apt-get "${apt_options[@]}" update -qq
(cd "$work" && apt-get "${apt_options[@]}" source -qq "miniupnpd=$version" >/dev/null)
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'miniupnpd-*')

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
