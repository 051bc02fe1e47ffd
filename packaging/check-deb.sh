#!/usr/bin/env bash
# Builds the Debian package from this tree and checks it the way a user gets
# it: control data and contents (dpkg -I, -c), then `dpkg -i` into this very
# machine, the installed programs, man pages and unit, then `dpkg -r` and
# `dpkg -P` and a check that nothing the package brought is left.
#   packaging/check-deb.sh [BUILD_DIR]     (default: build-deb)
# Needs root. It never touches a machine where punchprobe, or any file the
# package would install, is already there: it says so and skips.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/server-line.sh
source scripts/server-line.sh

skip() {
  echo "SKIPPED: packaging check: $*"
  exit 0
}
fail() {
  echo "FAIL: packaging check: $*" >&2
  exit 1
}

[[ $(id -u) -eq 0 ]] || skip "needs root, because it installs the package with dpkg -i"

# dpkg-shlibdeps, file and man come with the project's own dependencies.
scripts/install-deps.sh

build_dir=${1:-build-deb}
version=$(sed -nE 's/^project\(punchprobe VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || fail "no project version in CMakeLists.txt"

echo "== building the package in $build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPUNCHPROBE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" >/dev/null
rm -f "$build_dir"/*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
debs=("$build_dir"/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single .deb in $build_dir"
deb=${debs[0]}
echo "built $deb"

echo "== control data (dpkg -I)"
dpkg -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == punchprobe ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', the project's is $version"
depends=$(field Depends)
# Every shared library the programs load must come from a package in
# Depends, and Depends must name nothing the programs do not load.
wanted=()
for binary in "$build_dir/punchprobe" "$build_dir/punchprobe-server"; do
  for soname in $(readelf -d "$binary" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p'); do
    owners=$(dpkg -S "*/$soname" 2>/dev/null | cut -d: -f1 | sort -u)
    [[ -n $owners ]] || fail "no package owns $soname, which $binary needs"
    found=
    for owner in $owners; do
      [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] && found=$owner
    done
    [[ -n $found ]] || fail "Depends ($depends) lacks the package of $soname ($owners)"
    wanted+=("$found")
  done
done
for dependency in ${depends//,/ }; do
  [[ $dependency == [a-z]* ]] || continue
  [[ " ${wanted[*]} " == *" $dependency "* ]] || fail "Depends names $dependency, which no program loads"
done

echo "== contents (dpkg -c)"
dpkg -c "$deb"
contents=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -E 's|^\./|/|; s|/$||' | grep -v '^$')
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -tv | awk '$1 !~ /^d/ {print $NF}' | sed -E 's|^\./|/|' | sort)
expected_files=$(printf '%s\n' /usr/bin/punchprobe /usr/bin/punchprobe-server \
  /usr/lib/systemd/system/punchprobe-server.service \
  /usr/share/doc/punchprobe/examples/punchprobe-server-metrics.conf \
  /usr/share/doc/punchprobe/{operating,threat-model,how-it-works,benchmarks}.md \
  /usr/share/man/man1/punchprobe.1 /usr/share/man/man8/punchprobe-server.8 | sort)
[[ $files == "$expected_files" ]] || fail "the package holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected_files"

# Never clobber a real installation, packaged or by hand.
status=$(dpkg-query -W -f='${Status}' punchprobe 2>/dev/null || true)
[[ -z $status || $status == *not-installed ]] ||
  skip "a punchprobe package is on this machine already ($status); not replacing it"
for path in $files; do
  [[ ! -e $path ]] || skip "$path exists already; not overwriting it"
done
# dpkg -L names the root as "/.".
existed_before=(/.)
for path in $contents; do
  [[ -e $path ]] && existed_before+=("$path")
done

# Debian's container images often drop man pages at install time with a
# dpkg path-exclude; re-include ours so that the check sees what a normal
# system gets, and say so.
dpkg_options=()
while read -r rule; do
  [[ -n $rule ]] || continue
  for path in $files; do
    # The rule is a glob: unquoted on the right, it matches as one.
    # shellcheck disable=SC2053
    if [[ $path == $rule ]]; then
      echo "note: /etc/dpkg/dpkg.cfg.d excludes $path (path-exclude=$rule); re-including it for this check"
      dpkg_options+=("--path-include=$path")
    fi
  done
done < <(cat /etc/dpkg/dpkg.cfg.d/* 2>/dev/null | sed -nE 's/^path-exclude[= ]+//p')

installed=
cleanup() {
  if [[ -n $installed ]]; then
    echo "removing the package after a failed check" >&2
    dpkg -P punchprobe >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

echo "== dpkg -i"
installed=yes
dpkg -i "${dpkg_options[@]}" "$deb"
[[ $(dpkg-query -W -f='${Status} ${Version}' punchprobe) == "install ok installed $version" ]] ||
  fail "dpkg-query: $(dpkg-query -W -f='${Status} ${Version}' punchprobe)"
listed=$(dpkg -L punchprobe)
echo "$listed"
for path in $files; do
  grep -qxF "$path" <<<"$listed" || fail "dpkg -L does not list $path"
  [[ -f $path ]] || fail "$path is not installed"
done

echo "== installed programs"
[[ $(command -v punchprobe) == /usr/bin/punchprobe ]] || fail "punchprobe on PATH is '$(command -v punchprobe)'"
out=$(punchprobe --version)
[[ $out == "punchprobe $version" ]] || fail "punchprobe --version printed '$out'"
echo "$out"
out=$(punchprobe-server --version)
[[ $out == "punchprobe-server $version" ]] || fail "punchprobe-server --version printed '$out'"
echo "$out"
punchprobe --help | grep -q '^Usage: punchprobe <server_host>' || fail "punchprobe --help"
# The installed pair works together on loopback, where a run ends in SUCCESS
# within a second.
server_log=$(mktemp)
punchprobe-server --bind 127.0.0.1 --port 0 --extra-port 0 >"$server_log" &
server_pid=$!
client_out=
wait_for_server "$server_log" "$server_pid" &&
  client_out=$(timeout 30 punchprobe 127.0.0.1 "$server_main_port" || true)
stop_server "$server_pid" || true
rm -f "$server_log"
[[ -n $server_main_port ]] || fail "the installed punchprobe-server did not start"
grep -qx '  SUCCESS  ' <<<"$client_out" || fail "the installed programs did not reach SUCCESS:"$'\n'"$client_out"
echo "installed client and server: SUCCESS on 127.0.0.1:$server_main_port"

echo "== man pages"
# The C locale keeps groff's dashes ASCII for the grep.
while read -r section name; do
  where=$(man -w "$section" "$name") || fail "man -w $section $name finds nothing"
  [[ $where == /usr/share/man/man$section/$name.$section* ]] || fail "man -w $section $name gives $where"
  text=$(LC_ALL=C MANPAGER=cat MANWIDTH=80 man "$section" "$name" 2>&1) || fail "man $section $name: $text"
  if ! grep -q "^NAME" <<<"$text" || ! grep -q "^ *$name - " <<<"$text"; then
    fail "man $section $name shows"$'\n'"$text"
  fi
  warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$where" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man -l $where warns:"$'\n'"$warnings"
  echo "man $section $name: $where"
done <<<$'1 punchprobe\n8 punchprobe-server'

echo "== systemd unit"
if command -v systemd-analyze >/dev/null; then
  # With the pages installed, verify also follows Documentation=man:...
  complaints=$(systemd-analyze verify /usr/lib/systemd/system/punchprobe-server.service 2>&1) || true
  [[ -z $complaints ]] || fail "systemd-analyze verify:"$'\n'"$complaints"
  echo "systemd-analyze verify: clean"
  # The example drop-in as an operator would use it, on the installed unit.
  packaging/check-unit.sh --drop-in /usr/share/doc/punchprobe/examples/punchprobe-server-metrics.conf \
    /usr/lib/systemd/system/punchprobe-server.service || fail "the installed unit with the metrics drop-in"
else
  echo "SKIPPED: systemd-analyze is not installed; the installed unit is not verified"
fi

echo "== dpkg -r (and -P while anything is still recorded)"
dpkg -r punchprobe
# Without conffiles -r already forgets the package; -P covers the day it
# gets some.
status=$(dpkg-query -W -f='${Status}' punchprobe 2>/dev/null || true)
[[ -z $status || $status == *not-installed ]] || dpkg -P punchprobe
installed=
status=$(dpkg-query -W -f='${Status}' punchprobe 2>/dev/null || true)
[[ -z $status || $status == *not-installed ]] || fail "after removal the status is '$status'"
[[ -z $(command -v punchprobe) ]] || fail "punchprobe is still on PATH"
while read -r path; do
  [[ -n $path ]] || continue
  if [[ " ${existed_before[*]} " == *" $path "* ]]; then
    [[ -e $path ]] || fail "$path existed before the install, and the removal took it"
  else
    [[ ! -e $path && ! -L $path ]] || fail "$path is left behind"
  fi
done <<<"$listed"
echo "nothing left behind: the $(wc -l <<<"$listed") paths of dpkg -L are gone or were there before"

echo "packaging check passed: $(basename "$deb")"
