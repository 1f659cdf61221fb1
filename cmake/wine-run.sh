#!/usr/bin/env bash
# Runs one Windows program of the test build under Wine, in the build tree's
# own prefix, and returns the program's exit code.
#   wine-run.sh PREFIX --init        create the prefix if it is missing
#   wine-run.sh PREFIX --server      run the prefix's wineserver, persistent
#   wine-run.sh PREFIX program args  run a program (the prefix is made first)
set -u
prefix=$1
shift
export WINEPREFIX=$prefix
# Quiet by default; a test that reads one channel (a stub's fixme line, for
# instance) asks for it through ORV_WINEDEBUG.
export WINEDEBUG=${ORV_WINEDEBUG:--all}
# Wine keeps its server's socket and lock file below TMPDIR: beside the
# prefix, they stay out of the shared /tmp and go with the build tree.
mkdir -p "$prefix.tmp" 2>/dev/null && export TMPDIR=$prefix.tmp
# No Mono or Gecko installer dialogs while a prefix is created; a test may
# add its own (ORV_WINEDLLOVERRIDES, "version=n,b" to load a planted DLL
# the way Windows would).
export WINEDLLOVERRIDES="mscoree,mshtml=${ORV_WINEDLLOVERRIDES:+;$ORV_WINEDLLOVERRIDES}"
# Wine takes the proxy from these; tests talk to loopback only.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ftp_proxy all_proxy ALL_PROXY no_proxy
WINE=${ORV_WINE:-/usr/lib/wine/wine64}

ensure_prefix() {
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        # The marker names the prefix layout; a prefix made by an older
        # layout is made again.
        if [ ! -f "$prefix/.orv-ready-2" ]; then
            echo "wine-run: creating Wine prefix $prefix" >&2
            rm -rf "$prefix"
            "$WINE" wineboot -i >/dev/null 2>&1
            reg=$(mktemp --suffix=.reg)
            # Report Windows 7, and never start the debugger on a crash (it
            # is slow and would hang a test waiting for input).
            printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
                '[HKEY_CURRENT_USER\Software\Wine]' '"Version"="win7"' '' \
                '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]' '"Auto"="0"' \
                '"Debugger"=""' '' > "$reg"
            "$WINE" regedit /S "$(winepath_of "$reg")" >/dev/null 2>&1
            rm -f "$reg"
            # Wine's own TrueType fonts (Tahoma, Marlett for the caption
            # buttons) are only found in the prefix's Fonts folder, so windows
            # and screenshots look as they do on Windows.
            for font in /usr/share/wine/fonts/*.ttf; do
                [ -e "$font" ] && ln -sf "$font" "$prefix/drive_c/windows/Fonts/"
            done
            touch "$prefix/.orv-ready-2"
        fi
    ) 9>"$prefix.lock"
}

winepath_of() {
    # Every Unix path is reachable through Wine's Z: drive.
    printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"
}

ensure_prefix
case "${1:-}" in
    --init) exit 0 ;;
    --server) exec "$(dirname "$WINE")/wineserver64" -f -p ;;
esac
"$WINE" "$@"
exit $?
