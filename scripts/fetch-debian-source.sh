#!/usr/bin/env bash
# Fetches and unpacks one of Debian's source packages into DEST, through apt
# with a private sources list and state in APT_DIR: the machine's apt
# configuration stays untouched while apt still checks the signed Release
# file and the checksums. Needs dpkg-dev (dpkg-source unpacks).
#   scripts/fetch-debian-source.sh APT_DIR SOURCE_PACKAGE VERSION DEST
set -euo pipefail
(($# == 4)) || { echo "usage: $0 APT_DIR SOURCE_PACKAGE VERSION DEST" >&2; exit 2; }
apt_dir=$1 source=$2 version=$3 dest=$4

mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
  >"$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
apt-get "${apt_options[@]}" update -qq

unpack=$(mktemp -d "$apt_dir/source.XXXXXX")
trap 'rm -rf "$unpack"' EXIT
# As root apt downloads as _apt, which must be able to write where the
# source lands.
if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then chown _apt "$unpack"; fi
(cd "$unpack" && apt-get "${apt_options[@]}" source -qq "$source=$version" >/dev/null)
rm -rf "$dest"
# The unpacked directory's name has neither epoch nor Debian revision.
version=${version#*:}
mv "$unpack/$source-${version%-*}" "$dest"
