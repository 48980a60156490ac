#!/bin/sh
# Whether each binary under DIR loads on Windows 7 SP1: its PE header asks for 6.1 at most, it
# imports only from DLLs under DIR or of Windows 7, and no function that MinGW-w64's headers
# declare only for Windows 8 or later, nor one named below that they declare for all.
set -eu
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
for v in 0x0601 0x0A00; do
    printf '#include <%s>\n' winsock2.h ws2tcpip.h windows.h iphlpapi.h security.h schannel.h \
        bcrypt.h shlobj.h userenv.h lm.h windns.h | i686-w64-mingw32-gcc-posix -E -P -x c - \
        -DSECURITY_WIN32 -D_WIN32_WINNT=$v | grep -o '[A-Za-z_][A-Za-z0-9_]*' | sort -u >"$tmp/$v"
done
{ comm -13 "$tmp/0x0601" "$tmp/0x0A00" && printf '%s\n' WaitOnAddress WakeByAddressSingle \
    WakeByAddressAll GetSystemTimePreciseAsFileTime GetTempPath2W SetThreadDescription; } >"$tmp/n"
known=$(printf ' %s.dll' advapi32 bcrypt crypt32 dnsapi iphlpapi kernel32 mpr msvcrt netapi32 \
    ole32 secur32 shell32 user32 userenv version winmm ws2_32; find "$1" -name \*.dll -printf ' %f')
for f in $(find "$1" -name '*.exe' -o -name '*.dll'); do
    objdump -p "$f" | awk -v f="$f: " -v known="$(echo "$known " | tr A-Z a-z)" -v new="$tmp/n" '
        BEGIN { while ((getline name < new) > 0) late[name] = 1 }
        /^Major(OSystem|Subsystem)Version/ { m = $2 }
        /^Minor(OSystem|Subsystem)Version/ && m * 100 + $2 > 601 { print f "asks for " m "." $2 }
        /^\tDLL Name: / && !index(known, " " tolower($3) " ") { print f "imports from " $3 }
        /^\t[0-9a-f]+\t +[0-9]+  / && ++n && $NF in late { print f $NF " came after Windows 7" }
        END { print n + 0 >"/dev/stderr" }' 2>>"$tmp/counts" | tee -a "$tmp/bad"
done
awk '{ s += $1 } END { print NR " files, " s " imports checked" }' "$tmp/counts"
[ ! -s "$tmp/bad" ] && ! grep -qx 0 "$tmp/counts"
