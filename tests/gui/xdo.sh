# Helpers of the window checks, sourced: finding windows, clicking in the
# action dialog, screenshots. Needs xdotool and ImageMagick's import.

# wait_window NAME SECONDS: the id of the visible window of that name.
wait_window() {
    local id
    for _ in $(seq $(($2 * 10))); do
        id=$(xdotool search --onlyvisible --name "$1" 2> /dev/null | tail -1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

# click_du WINDOW X Y [CX CY]: a click at a point given in dialog units of a
# dialog CX by CY (default the action dialog's, 400 by 120).
click_du() {
    local WIDTH HEIGHT X Y SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove --window "$1" $(($2 * WIDTH / ${4:-400})) $(($3 * HEIGHT / ${5:-120})) click 1
    sleep 0.4
}

# direct_dialogs SHOT: the direct route's action dialog (jtag.ini names a
# probe that may switch 12 V), RECOVER ticked and its part dialog, each shot
# as SHOT NAME; Cancel there. The final box is left to the caller.
direct_dialogs() {
    local shoot=$1 action part
    action=$(wait_window "^Varnholme Research ATF1504/ATF1508 JTAG Programmer$" 60) ||
        { fail "the direct route's action dialog did not appear"; return 1; }
    sleep 1
    click_du "$action" 46 108 400 156   # RECOVER
    $shoot direct-action-dialog
    click_du "$action" 300 133 400 156  # Continue
    # The part dialog has the same name: a window other than the one closed.
    for _ in $(seq 300); do
        part=$(xdotool search --onlyvisible --name "^Varnholme Research ATF1504/ATF1508 JTAG Programmer$" 2> /dev/null |
            grep -vx "$action" | tail -1)
        [ -n "$part" ] && break
        sleep 0.1
    done
    [ -n "$part" ] || { fail "no part dialog"; return 1; }
    sleep 1
    click_du "$part" 46 48 400 108      # ATF1504AS
    $shoot recover-part-dialog
    click_du "$part" 100 85 400 108     # Cancel
}

# connect_window SHOT PROGRAM...: the connection window, its first choice
# ticked and shot as SHOT connect-window, then Close; the program must end.
connect_window() {
    local shoot=$1 win prog
    shift
    "$@" > "$WORK/connect.out" 2>&1 &
    prog=$!
    win=$(wait_window "^vrjtag connection$" 60) || { fail "the connection window did not appear"; return 1; }
    sleep 1
    click_du "$win" 20 37 420 290       # the first choice
    $shoot connect-window
    click_du "$win" 70 273 420 290      # Close
    for _ in $(seq 100); do kill -0 $prog 2> /dev/null || break; sleep 0.1; done
    kill -0 $prog 2> /dev/null && { kill $prog; fail "the connection window did not close"; }
    return 0
}

# screenshot FILE: the whole screen.
screenshot() { import -window root "$1" && echo "screenshot $1"; }
