# Sourced by ./run: the services of a test run, stopped by their process ids.
# It expects ROOT, BUILD, TEST_DIR, PREFIX and WINE_RUN to be set.
# After a run (passed, failed or interrupted) nothing of it may be left
# running. Only what this build tree started is ever judged or
# stopped: other worktrees run their own suites on this machine meanwhile.
SERVERS_DIR=$TEST_DIR/servers
XVFB_RECORD=$TEST_DIR/xvfb.pid
XVFB_PID=""
XVFB_DISPLAY=""
XVFB_LAST_PID=""
WINESERVER_PID=""

# Processes of this build tree's Wine prefixes (their services outlive the
# test programs).
prefix_pids() {
    local env pid
    for env in /proc/[0-9]*/environ; do
        pid=${env#/proc/}
        pid=${pid%/environ}
        [ "$pid" = "$WINESERVER_PID" ] && continue
        if { tr '\0' '\n' < "$env"; } 2>/dev/null | grep -q "^WINEPREFIX=$BUILD/"; then
            printf '%s\n' "$pid"
        fi
    done
}

stop_prefix_processes() {
    local pids i
    mapfile -t pids < <(prefix_pids)
    [ "${#pids[@]}" -gt 0 ] || return 0
    kill "${pids[@]}" 2>/dev/null || true
    for i in $(seq 1 50); do
        mapfile -t pids < <(prefix_pids)
        [ "${#pids[@]}" -eq 0 ] && return 0
        sleep 0.1
    done
    kill -9 "${pids[@]}" 2>/dev/null || true
}

# The Xvfb an earlier run of this tree started and never stopped, and the
# lock files of one that was killed before it could remove them; a live Xvfb
# of that number that is not ours stays.
stop_recorded_xvfb() {
    local pid display n
    read -r pid display < "$XVFB_RECORD" 2>/dev/null || return 0
    n=${display#:}
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ] &&
        tr '\0' ' ' 2>/dev/null < "/proc/$pid/cmdline" | grep -q "^Xvfb $display "; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 1 50); do [ -e "/proc/$pid" ] || break; sleep 0.1; done
    fi
    if [ ! -e "/proc/$pid" ] && [ "$(tr -d ' \n' 2>/dev/null < "/tmp/.X$n-lock")" = "$pid" ]; then
        rm -f "/tmp/.X$n-lock" "/tmp/.X11-unix/X$n"
    fi
    rm -f "$XVFB_RECORD"
}

# Where older runs' wineservers left their lock file: /tmp/wine-*/server-<device>-<inode of the prefix>.
stale_server_dirs() {
    [ -d "$PREFIX" ] || return 0
    local id
    id=$(stat -c 'server-%D-' "$PREFIX")$(printf '%x' "$(stat -c %i "$PREFIX")")
    find /tmp -maxdepth 2 -path "/tmp/wine-*/$id" 2>/dev/null || true
}

# Volumes the suite mounted below its build tree (the small volume of the
# free-space check), normally unmounted by the tests' own clean-up.
our_mounts() {
    findmnt -rn -o TARGET 2>/dev/null | grep "^$BUILD/" || true
}

stop_services() {
    stop_prefix_processes
    if [ -n "$WINESERVER_PID" ]; then
        kill "$WINESERVER_PID" 2>/dev/null || true
        wait "$WINESERVER_PID" 2>/dev/null || true
        WINESERVER_PID=""
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    fi
    stop_recorded_xvfb
    [ -d "$SERVERS_DIR" ] && python3 "$ROOT/tests/servers/testservers.py" stop --dir "$SERVERS_DIR"
    local dir
    for dir in $(our_mounts); do
        umount "$dir" || true
    done
    for dir in $(stale_server_dirs); do
        rm -rf "$dir"
        rmdir "$(dirname "$dir")" 2>/dev/null || true
    done
}

# Fails when anything of this run is left: processes of our prefixes, our
# servers or our Xvfb, the lock files our
# Xvfb and older wineservers keep in /tmp, a volume mounted in the build
# tree, or an apt source entry.
check_leftovers() {
    local found=() line
    while read -r line; do found+=("process $line: $(tr '\0' ' ' 2>/dev/null < "/proc/$line/cmdline")"); done \
        < <(prefix_pids)
    while read -r line; do found+=("$line"); done \
        < <(python3 "$ROOT/tests/servers/testservers.py" leftovers --dir "$SERVERS_DIR" || true)
    [ -n "$XVFB_DISPLAY" ] && [ -e "/tmp/.X${XVFB_DISPLAY#:}-lock" ] &&
        [ "$(tr -d ' ' < "/tmp/.X${XVFB_DISPLAY#:}-lock")" = "$XVFB_LAST_PID" ] && found+=("/tmp/.X${XVFB_DISPLAY#:}-lock")
    while read -r line; do found+=("$line"); done < <(stale_server_dirs)
    while read -r line; do found+=("mount $line"); done < <(our_mounts)
    for line in /etc/apt/sources.list.d/orvupdaterw7-*; do
        if [ -e "$line" ]; then found+=("$line"); fi
    done
    [ "${#found[@]}" -eq 0 ] && return 0
    log "left behind by the test run:"
    printf '[run]   %s\n' "${found[@]}" >&2
    return 1
}

start_xvfb() {
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -nolisten tcp -screen 0 1280x1024x24 >/dev/null 2>&1 &
        XVFB_PID=$!
        XVFB_LAST_PID=$XVFB_PID
        echo "$XVFB_PID :$n" > "$XVFB_RECORD"
        local i
        for i in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        if [ -e "/tmp/.X11-unix/X$n" ]; then
            export DISPLAY=":$n"
            XVFB_DISPLAY=":$n"
            log "Xvfb on display :$n (pid $XVFB_PID)"
            return 0
        fi
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    done
    log "could not start Xvfb"
    return 1
}

start_wineserver() {
    # One prefix and one persistent wineserver for the whole suite: a cold
    # start costs a second per test program, a warm one almost nothing.
    "$WINE_RUN" "$PREFIX" --init
    "$WINE_RUN" "$PREFIX" --server >/dev/null 2>&1 &
    WINESERVER_PID=$!
    # Start Wine's background processes (services, the desktop on our
    # display) now, detached from any terminal: started by a test instead,
    # they would inherit its output pipe and keep ctest waiting forever.
    "$WINE_RUN" "$PREFIX" wineboot </dev/null >/dev/null 2>&1 || true
    log "wineserver for $PREFIX (pid $WINESERVER_PID)"
}

finish_tests() {
    local rc=$?
    trap - EXIT INT TERM HUP
    stop_services
    check_leftovers || rc=1
    exit "$rc"
}

