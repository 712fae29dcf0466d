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

# click_du WINDOW X Y: a click at a point given in dialog units of the action
# dialog (400 by 120).
click_du() {
    local WIDTH HEIGHT X Y SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove --window "$1" $(($2 * WIDTH / 400)) $(($3 * HEIGHT / 120)) click 1
    sleep 0.4
}

# screenshot FILE: the whole screen.
screenshot() { import -window root "$1" && echo "screenshot $1"; }
