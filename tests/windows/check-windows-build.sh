#!/usr/bin/env bash
# Checks what scripts/build-windows.sh made, in BUILD_DIR:
#   imports  punchprobe.exe imports only DLLs that every Windows has, so it
#            runs on its own (no MinGW runtime DLLs beside it);
#   zip      punchprobe-VERSION-win64.zip holds that very .exe and a README
#            with Windows line ends, in one folder.
#   tests/windows/check-windows-build.sh imports|zip BUILD_DIR VERSION
set -euo pipefail
check=$1
build=$(cd "$2" && pwd)
version=$3
exe=$build/punchprobe.exe

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

case $check in
  imports)
    # Windows' own DLLs that a MinGW-w64 program may reasonably import.
    allowed=" KERNEL32.dll msvcrt.dll WS2_32.dll MSWSOCK.dll ADVAPI32.dll USER32.dll IPHLPAPI.DLL "
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [[ -n $imports ]] || fail "no import table in $exe"
    for dll in $imports; do
      # DLL names are case-insensitive on Windows.
      [[ ${allowed,,} == *" ${dll,,} "* ]] || fail "$exe imports $dll, which Windows does not provide"
    done
    echo "imports: $(echo $imports)"
    ;;
  zip)
    zip=$build/punchprobe-$version-win64.zip
    folder=punchprobe-$version-win64
    [[ -f $zip ]] || fail "no $zip"
    listing=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
    expected=$(printf '%s\n' "$folder/README.txt" "$folder/punchprobe.exe")
    [[ $listing == "$expected" ]] || fail "$zip holds:"$'\n'"$listing"$'\n'"expected:"$'\n'"$expected"
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    (cd "$scratch" && cmake -E tar xf "$zip")
    cmp "$scratch/$folder/punchprobe.exe" "$exe" || fail "the zip's punchprobe.exe is not $exe"
    readme=$scratch/$folder/README.txt
    # Every line ends in CR LF, so Notepad on any Windows shows it right.
    lines=$(grep -c '' "$readme")
    crlf=$(grep -c $'\r$' "$readme")
    [[ $lines -gt 0 && $lines == "$crlf" ]] || fail "README.txt: $crlf of $lines lines end in CR LF"
    grep -q "punchprobe $version" "$readme" || fail "README.txt does not name version $version"
    echo "zip: $(echo $listing), README.txt $lines lines"
    ;;
  *)
    fail "unknown check $check"
    ;;
esac
