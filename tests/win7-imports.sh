#!/bin/sh
# Whether each binary under DIR loads on Windows 7 SP1: its PE header asks for 6.1 at most,
# it imports only from DLLs under DIR or of Windows 7, and no function that MinGW-w64's
# headers declare only for Windows 8 or later, nor one named below that they do not mark.
set -eu
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
for v in 0x0601 0x0A00; do
    printf '#include <%s>\n' winsock2.h ws2tcpip.h windows.h iphlpapi.h security.h schannel.h \
        bcrypt.h ncrypt.h shlobj.h userenv.h lm.h windns.h winhttp.h |
        i686-w64-mingw32-gcc-posix -E -P -DSECURITY_WIN32 -D_WIN32_WINNT=$v -x c - |
        grep -o '[A-Za-z_][A-Za-z0-9_]*' | sort -u >"$tmp/$v"
done
{ comm -13 "$tmp/0x0601" "$tmp/0x0A00" && printf '%s\n' WaitOnAddress WakeByAddressSingle \
    WakeByAddressAll GetSystemTimePreciseAsFileTime GetTempPath2W SetThreadDescription; } >"$tmp/new"
known=" advapi32 bcrypt crypt32 dnsapi iphlpapi kernel32 mpr msvcrt netapi32 ole32 secur32 \
shell32 user32 userenv version winmm ws2_32 $(find "$1" -name '*.dll' -printf '%f\n' |
    sed 's/\.dll$//' | tr 'A-Z\n' 'a-z ')"
bad=0 files=$(find "$1" -name '*.exe' -o -name '*.dll')
for f in $files; do
    objdump -p "$f" >"$tmp/pe"
    awk '/^Major(OSystem|Subsystem)Version/ { m = $2 } /^Minor(OSystem|Subsystem)Version/ &&
        m * 100 + $2 > 601 { print f ": asks for Windows " m "." $2; exit 1 }' f="$f" "$tmp/pe" || bad=1
    awk '/^\tDLL Name: / { d = tolower($3) } /^\t[0-9a-f]+\t +[0-9]+  / { print d, $NF }' \
        "$tmp/pe" | tee -a "$tmp/all" >"$tmp/imports"
    for d in $(cut -d' ' -f1 "$tmp/imports" | sort -u); do
        case $known in *" ${d%.dll} "*) ;; *) echo "$f: imports from $d" && bad=1 ;; esac
    done
    new=$(cut -d' ' -f2 "$tmp/imports" | grep -Fx -f "$tmp/new") || true
    [ -z "$new" ] || { echo "$f: imports what came after Windows 7:" $new && bad=1; }
done
echo "$(echo "$files" | wc -l) files, $(wc -l <"$tmp/all") imports checked"
[ -s "$tmp/all" ] && [ "$bad" -eq 0 ]
