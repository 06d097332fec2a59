# Sourced by the end-to-end scripts: a private session for one run (its own
# HOME, runtime folder and session bus), waits by polling, clean teardown by
# process id, the agent's preferences, the tray's watcher, and fcitx5 with the
# key-time addon and the checks of the agent's timing under it.
set -euo pipefail

# Desktops refuse or misbehave as root: as root, runs the calling script again
# as a dedicated system user, on its own copies of the script, this library and
# every file argument (the build tree may be closed to others).
session_as_user() { # "$0" "$@"
    [ "$(id -u)" -eq 0 ] && [ -z "${LULLSWITCH_E2E_DIR:-}" ] || return 0
    local user=lullswitch-e2e dir arg args=() status=0
    id -u "$user" >/dev/null 2>&1 ||
        useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
    dir=$(mktemp -d "${TMPDIR:-/tmp}/lullswitch-e2e.XXXXXX")
    trap 'rm -rf "$dir"' EXIT
    cp "${BASH_SOURCE[0]}" "$dir/session.sh"
    for arg in "$@"; do
        if [ -f "$arg" ]; then
            cp "$arg" "$dir/"
            arg=$dir/$(basename "$arg")
        fi
        args+=("$arg")
    done
    chmod 755 "$dir"
    chown -R "$user:$user" "$dir"
    setpriv --reuid="$user" --regid="$user" --init-groups env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
        LULLSWITCH_E2E_DIR="$dir" LULLSWITCH_SESSION_LIB="$dir/session.sh" ${LULLSWITCH_SHOTS:+LULLSWITCH_SHOTS="$LULLSWITCH_SHOTS"} \
        bash "${args[@]}" || status=$?
    [ -z "${LULLSWITCH_SHOTS:-}" ] || cp "$dir"/*.png "$LULLSWITCH_SHOTS/" 2>/dev/null || true
    exit "$status"
}

# NAME: the folders and the teardown; `fail` names the script and shows the logs.
session_init() {
    name=$1
    dir=${LULLSWITCH_E2E_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/lullswitch-$name.XXXXXX")}
    export HOME=$dir/home XDG_CONFIG_HOME=$dir/home/.config XDG_DATA_HOME=$dir/home/.local/share
    export XDG_CACHE_HOME=$dir/home/.cache XDG_RUNTIME_DIR=$dir/run
    mkdir -p "$XDG_CONFIG_HOME/lullswitch" "$XDG_DATA_HOME"
    mkdir -m 700 -p "$XDG_RUNTIME_DIR"
    unset DISPLAY WAYLAND_DISPLAY
    pids=()
    trap session_end EXIT
}
session_end() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[$i]}"; done
    [ -z "${LULLSWITCH_SHOTS:-}" ] || [ -n "${LULLSWITCH_E2E_DIR:-}" ] || cp "$dir"/*.png "$LULLSWITCH_SHOTS/" 2>/dev/null || true
    [ -n "${LULLSWITCH_E2E_DIR:-}" ] || rm -rf "$dir"
}
stop() { [ -z "${1:-}" ] || { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }; }
fail() {
    echo "$name: FAILED: $*" >&2
    for log in "$dir"/*.log; do echo "--- $log" >&2; tail -n 15 "$log" >&2; done
    exit 1
}
ok() { echo "ok - $*"; }
# LOG CMD...: in the background, its output in $dir/LOG.log; its pid in $!.
start() {
    local log=$1
    shift
    "$@" >>"$dir/$log.log" 2>&1 &
    pids+=($!)
}
wait_for() { # SECONDS[.TENTHS] CMD...: until CMD succeeds
    local tenths=0
    [[ $1 != *.* ]] || tenths=${1#*.}
    local end=$(($(now) + ${1%.*} * 1000000 + tenths * 100000))
    shift
    until "$@"; do
        [ "$(now)" -lt "$end" ] || return 1
        sleep 0.05
    done
}
now() { echo "${EPOCHREALTIME/./}"; }      # microseconds
since() { echo $((($(now) - $1) / 1000)); } # milliseconds

# A bus of TYPE (session, system) that starts nothing on demand, exported as
# DBUS_<TYPE>_BUS_ADDRESS.
private_bus() {
    cat >"$dir/$1-bus.conf" <<CONF
<busconfig><type>$1</type><listen>unix:dir=$dir</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
    exec {fd}< <(exec dbus-daemon --config-file="$dir/$1-bus.conf" --nofork --nopidfile --print-address=1 2>"$dir/$1-bus.log")
    pids+=($!)
    local variable=DBUS_${1^^}_BUS_ADDRESS
    read -r -t 10 "${variable?}" <&"$fd" || fail "no $1 bus"
    export "${variable?}"
}

agent_preferences() { # DELAY
    printf '[Lullswitch]\nisEnabled=true\ndelaySeconds=%s\n' "$1" >"$XDG_CONFIG_HOME/lullswitch/preferences.ini"
}
# The items the tray's watcher holds, and whether the agent's is among them.
registered_items() {
    gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems \
        2>/dev/null
}
has_item() { registered_items | grep -q '/StatusNotifierItem'; }

# fcitx5 with keyboard-us then anthy (Shift alone switches nothing) and the
# key-time addon at ADDON_LIBRARY, enabled when fcitx5 is started with it.
fcitx_config() { # ADDON_LIBRARY
    mkdir -p "$XDG_CONFIG_HOME/fcitx5" "$XDG_DATA_HOME/fcitx5/addon"
    printf '[Groups/0]\nName=Default\nDefault Layout=us\nDefaultIM=anthy\n[Groups/0/Items/0]\nName=keyboard-us\n[Groups/0/Items/1]\nName=anthy\n[GroupOrder]\n0=Default\n' \
        >"$XDG_CONFIG_HOME/fcitx5/profile"
    printf '[Hotkey/AltTriggerKeys]\n[Hotkey/EnumerateForwardKeys]\n[Hotkey/EnumerateBackwardKeys]\n' \
        >"$XDG_CONFIG_HOME/fcitx5/config"
    printf '[Addon]\nName=lullswitch-keytime\nCategory=Module\nLibrary=%s\nType=SharedLibrary\nOnDemand=False\n[Addon/Dependencies]\n0=dbus\n' \
        "${1%.so}" >"$XDG_DATA_HOME/fcitx5/addon/lullswitch-keytime.conf"
}
fcitx() { # METHOD [ARG]: a call to fcitx5's controller, its reply
    gdbus call --session --timeout 3 --dest org.fcitx.Fcitx5 --object-path /controller \
        --method "org.fcitx.Fcitx.Controller1.$1" ${2:+"$2"} 2>/dev/null
}
im() { fcitx CurrentInputMethod | sed -E "s/^\('(.*)',\)$/\1/"; }
is_im() { [ "$(im)" = "$1" ]; }
anthy() { fcitx SetCurrentIM anthy >/dev/null && wait_for 2 is_im anthy || fail "cannot select anthy"; }
last_key() {
    gdbus call --session --timeout 3 --dest org.fcitx.Fcitx5 --object-path /app/lullswitch/KeyTime \
        --method app.lullswitch.KeyTime1.LastKeyTime 2>/dev/null | sed -E 's/^\(uint64 ([0-9]+),.*/\1/'
}
# The virtual keyboard program (VirtualKeyboard.cpp), fed one command at a time.
start_keyboard() { # PROGRAM
    coproc KEYS { "$1" 2>"$dir/keyboard.log"; }
    pids+=("$KEYS_PID")
}
keys() { # COMMAND: sent by the virtual keyboard, then taken by the compositor
    echo "$*" >&"${KEYS[1]}"
    local reply
    read -r -t 10 reply <&"${KEYS[0]}" && [ "$reply" = ok ] || fail "virtual keyboard: $*"
}
keys_arrive() { # fcitx5's first key after it attaches is sometimes lost
    local before
    before=$(last_key)
    for _ in $(seq 20); do
        keys type a
        [ "$(last_key)" != "$before" ] && return 0
    done
    fail "no key reached the addon"
}
switched_within() { wait_for "$1" is_im keyboard-us; } # SECONDS: the agent selects keyboard-us by then
# The switch comes a delay after now, not before; in $elapsed (ms).
switched_after_delay() { # FIELD WHAT
    local start
    start=$(now)
    switched_within $((delay + 1)) || fail "$1: no switch after $2"
    elapsed=$(since "$start")
    [ "$elapsed" -ge $((delay * 1000 - 100)) ] || fail "$1: switched ${elapsed} ms after $2, before the delay"
}
# The agent's timing under fcitx5 with the addon, in the focused field: that a
# later key restarts the wait shows with Shift (a stream of keys holding it off
# is the core's and the addon's tests').
fcitx_checks() { # FIELD
    anthy
    keys type a
    switched_after_delay "$1" "the last key"
    ok "$1: switches anthy -> keyboard-us ${elapsed} ms after the last key"

    anthy
    keys type a
    sleep 1.2
    keys shift
    switched_after_delay "$1" "Shift alone"
    ok "$1: a modifier alone restarts the wait"

    anthy
    sleep $((delay + 1))
    is_im anthy || fail "$1: switched twice in one idle period"
    ok "$1: once per idle period"
}
# Kana being composed at the switch end up in the field with the next key.
kana_kept() { # FIELD ENTRY_PID OUTPUT_FILE
    anthy
    keys type ka
    switched_within $((delay + 1)) || fail "$1: no switch while kana were composed (input method: $(im))"
    keys return
    wait "$2" || fail "$1 did not accept the entry"
    local text
    text=$(tail -n 1 "$3")
    [[ $text == *か ]] || fail "$1: kana being composed at the switch were lost: '$text'"
    ok "$1: kana being composed at the switch end up in the field ('$text')"
}
