# Shared by scripts/test-windows.sh and tests/desktop/gui_smoke_win32.sh (sourced, not run):
# a Wine prefix made ready for the Windows programs, and the Linux simulator behind one of its
# COM ports. The caller keeps an array pids (processes to end) and ends the wineserver.

# Waits until a file holds a line, at most the seconds given.
wine_wait_for_line() {
    local file=$1 seconds=$2
    local end=$((SECONDS + seconds))
    until [ -s "$file" ] && grep -q . "$file"; do
        if ((SECONDS > end)); then return 1; fi
        sleep 0.05
    done
}

# Makes (or updates) the prefix $1 and starts its server. Wine's helper processes inherit
# whatever output a first wine command has and keep it open (a caller's output pipe then ends
# only seconds later): the server and the prefix are started detached from ours. Without a
# window manager Wine draws the windows' frames and captions itself, and with its own fonts
# in the prefix (else the caption buttons show as letters).
wine_prefix_start() {
    export WINEPREFIX=$1 WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    wineboot -i </dev/null >/dev/null 2>&1 || return 1
    local value dir
    for value in Managed Decorated; do
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v "$value" /t REG_SZ /d N /f \
            </dev/null >/dev/null 2>&1
    done
    local fonts="$WINEPREFIX/drive_c/windows/Fonts" copied=0 file
    mkdir -p "$fonts"
    for dir in /usr/share/wine/fonts /usr/lib/wine/fonts; do
        for file in "$dir"/*.ttf "$dir"/*.fon; do
            [ -f "$file" ] || continue
            [ -e "$fonts/${file##*/}" ] || cp "$file" "$fonts/" || return 1
            copied=$((copied + 1))
        done
    done
    # Windows sized to other fonts put every control somewhere else: no run goes on without.
    if ((copied == 0)); then
        echo "wine-prefix: no Wine fonts in /usr/share/wine/fonts or /usr/lib/wine/fonts" \
            "(is fonts-wine installed?)" >&2
        return 1
    fi
}

# Starts the simulator ($1: the Linux build's kdx-sim) with its output in folder $2, and
# makes its pseudo-terminal the prefix's first free COM<n> from COM<$3> (default 5), listed in the serial
# device map under a name that sorts after Wine's own ports (\Device\Serial0 for COM1):
# lists read in the map's order show it last. Sets wine_com (n), wine_com_link (the prefix's link, for the caller to remove:
# pseudo-terminal numbers are reused by other programs) and wine_sim_device.
wine_sim_port() {
    local sim=$1 out=$2 first=${3:-5}
    # The simulator in a session of its own; a second process of that session takes the
    # pseudo-terminal as its controlling terminal, so the wineserver cannot (it would be
    # hung up with it when the simulator ends).
    setsid "$sim" --no-register >"$out/sim.out" 2>"$out/sim.err" </dev/null &
    pids+=($!)
    if ! wine_wait_for_line "$out/sim.out" 30; then
        cat "$out/sim.err" >&2
        return 1
    fi
    wine_sim_device=$(awk 'NR==1 {print $2}' "$out/sim.out")
    setsid sh -c 'exec sleep 86400 <"$0"' "$wine_sim_device" &
    pids+=($!)
    disown $!  # it is hung up with the simulator: no word of that from the shell
    wine_com=$first
    while [ -e "$WINEPREFIX/dosdevices/com$wine_com" ] ||
        [ -L "$WINEPREFIX/dosdevices/com$wine_com" ]; do
        wine_com=$((wine_com + 1))
    done
    wine_com_link="$WINEPREFIX/dosdevices/com$wine_com"
    ln -s "$wine_sim_device" "$wine_com_link"
    wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial4' /t REG_SZ \
        /d "COM$wine_com" /f </dev/null >/dev/null 2>&1
}

# Takes the simulator's port out of the serial device map again.
wine_sim_port_unlist() {
    wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial4' /f \
        </dev/null >/dev/null 2>&1 || true
}
