#!/bin/bash
# windows.sh BIN GROUP: the programs on Windows, under Wine, beside the
# programs a Windows machine runs (tests/neighbour.cpp): a scanner, a holder,
# an editor; in long and hidden paths, through two spellings of one folder,
# and started without a console. After every run both files hold one whole
# version and the message says what happened.
BIN=$(cd "$1" && pwd)
group=${2#files.}
. "$(dirname "$0")/lib.sh"

# neighbour DIR MODE ARGS...: the neighbour program in the background, in
# folder DIR, until stop_neighbour.
neighbour() {
    (cd "$1" && shift && exec wine "$BIN/../tests/neighbour.exe" "$@") &
    neighbour_pid=$!
}
stop_neighbour() { kill $neighbour_pid 2>/dev/null; wait $neighbour_pid 2>/dev/null; }

case $group in
scanner)
    # A scanner opens every new or changed file in the folder and holds it
    # 20 to 300 ms, in each share mode, with delete access or without. Every
    # run puts its file in place.
    two_versions
    for scan in "r rw 20" "r r 300" "rd rwd 150" "r - 100"; do
        neighbour "$d" scan 600 $scan 'valdra.*'
        for i in $(seq 30); do
            k=$((i % 2))
            cp "$v/sheet$k" "$d/valdra.csv"
            for prog in csvtoini initocsv; do
                run "$d" $prog
                expect_status 0 "$prog run $i beside a scanner ($scan): $message"
            done
            one_of "$d/valdra.ini" "run $i ($scan)" "$v/ini$k"
            one_of "$d/valdra.csv" "run $i ($scan)" "$v/csv$k"
        done
        stop_neighbour
    done
    only "$d" valdra.ini valdra.csv ;;
holder)
    # A program that holds a file open: each row of tables/holders, the
    # access and share mode of its open and the file|a program|what it does.
    # Beside one that shares the file with no one, both programs wait a
    # while, then say that the file is open and leave both files alone.
    # Beside one that holds valdra.ini with delete access, sharing reading,
    # initocsv writes the sheet anew. Beside one that holds the sheet, saved
    # long ago, to write it, and does nothing, as a spreadsheet does,
    # csvtoini takes the sheet at once.
    two_versions
    while IFS='|' read -r hold prog does; do
        name=${hold##* }
        cp "$v/sheet1" "$d/valdra.csv"
        [ "$does" = anew ] && rm "$d/valdra.csv"
        neighbour "$d" hold 30 $hold ../held
        for _ in $(seq 150); do [ -e "$top/held" ] && break; sleep 0.1; done
        [ -e "$top/held" ] || { fail "the holder ($hold) did not start"; continue; }
        rm "$top/held"
        started=$SECONDS
        run "$d" $prog
        case $does in
        anew) expect_status 0 "initocsv while $name is held ($hold)"
              same "$d/valdra.csv" "$v/valdra.csv" ;;
        at-once) expect_status 0 "csvtoini while the sheet is held to write ($hold)"
                 [ $((SECONDS - started)) -le 3 ] || fail "an idle holder of the sheet delayed csvtoini"
                 same "$d/valdra.ini" "$v/ini1"
                 cp "$v/orig.ini" "$d/valdra.ini" ;;
        *) expect_status 1 "$prog while $name is held ($hold)"
           said "$name: "
           said "it is open in another program; close it there and run again" ;;
        esac
        stop_neighbour
        same "$d/valdra.ini" "$v/orig.ini"
    done <"$here/tables/holders"
    only "$d" valdra.ini valdra.csv ;;
sync)
    # A sync client moves valdra.ini away for a moment and back, again and
    # again. A run either succeeds or says what happened; valdra.ini is never
    # a file of the units alone, nor the sheet one of the header alone.
    two_versions
    neighbour "$d" sync 600 valdra.ini
    for i in $(seq 30); do
        k=$((i % 2))
        cp "$v/sheet$k" "$d/valdra.csv"
        run "$d" csvtoini
        allowed "csvtoini run $i" "was moved or changed by another program" "valdra.ini: not found"
        # Compared while the client has the file in place.
        for _ in $(seq 20); do cp "$d/valdra.ini" "$top/now" 2>/dev/null && break; sleep 0.01; done
        one_of "$top/now" "csvtoini run $i" "$v/orig.ini" "$v/ini0" "$v/ini1"
        run "$d" initocsv
        allowed "initocsv run $i" "valdra.ini: not found in this folder"
        one_of "$d/valdra.csv" "initocsv run $i" "$v/sheet$k" "$v/csv0" "$v/csv1" "$v/valdra.csv"
    done
    stop_neighbour
    # Stopped while the file was away, the client did not bring it back. A
    # run whose rename came in the moment between its last look at the file
    # and the rename, while the client had the file away, put the whole
    # update in place; the client then finds a file where it left none.
    [ -e "$d/valdra.ini" ] || mv "$d/valdra.ini.~sync" "$d/valdra.ini"
    rm -f "$d/valdra.ini.~sync"
    only "$d" valdra.ini valdra.csv ;;
editor)
    # An editor saves valdra.ini again and again, by a new file renamed over
    # it. A run either puts its file in place or says that another program
    # changed it; the file is always one whole version.
    two_versions
    neighbour "$d" edit 40 valdra.ini "../$(basename "$v")/orig.ini"
    sleep 1
    for i in $(seq 20); do
        k=$((i % 2))
        cp "$v/sheet$k" "$d/valdra.csv"
        run "$d" csvtoini
        allowed "csvtoini run $i" "was moved or changed by another program" "it is open in another program"
        one_of "$d/valdra.ini" "csvtoini run $i" "$v/ini0" "$v/ini1" "$v/orig.ini"
    done
    stop_neighbour
    rm -f "$d"/valdra.ini.~edit
    run "$d" csvtoini
    only "$d" valdra.ini valdra.csv ;;
paths)
    # A folder path of more than 250 characters; a hidden and system
    # valdra.ini under a name in mixed case keeps both.
    d=$(scratch)
    deep=$d
    # Z: and 252 characters: Windows takes no current folder longer than
    # 258, and the files' paths pass the old limit of 260.
    while [ $((${#deep} + 12)) -le 252 ]; do deep=$deep/a-long-name; done
    deep=$deep/$(printf 'x%.0s' $(seq $((252 - ${#deep} - 1))))
    mkdir -p "$deep"
    sheet_and_ini "$deep"
    run "$deep" csvtoini
    expect_status 0 "csvtoini in a folder of ${#deep} characters"
    grep -q '^move = 6' "$deep/valdra.ini" || fail "the deep valdra.ini was not updated"
    run "$deep" initocsv
    expect_status 0 "initocsv in a folder of ${#deep} characters"
    only "$deep" valdra.ini valdra.csv
    d=$(scratch)
    sheet_and_ini "$d"
    mv "$d/valdra.ini" "$d/Valdra.INI"
    (cd "$d" && wine cmd /c attrib +h Valdra.INI && wine cmd /c attrib +s Valdra.INI) >/dev/null
    run "$d" csvtoini
    expect_status 0 "csvtoini on a hidden Valdra.INI"
    only "$d" Valdra.INI valdra.csv
    grep -q '^move = 6' "$d/Valdra.INI" || fail "Valdra.INI was not updated"
    attrs=$(cd "$d" && wine cmd /c attrib Valdra.INI | tr -d '\r')
    case $attrs in *S*H*) ;; *) fail "Valdra.INI lost its attributes: $attrs" ;; esac
    # A link stays a link, and the file it leads to is replaced.
    mkdir "$d/data"
    mv "$d/Valdra.INI" "$d/data/units.ini"
    ln -s data/units.ini "$d/valdra.ini"
    sed -i 's/^Tank,6,/Tank,8,/' "$d/valdra.csv"
    run "$d" csvtoini
    expect_status 0 "csvtoini through a link"
    [ -L "$d/valdra.ini" ] || fail "valdra.ini is no longer a link"
    grep -q '^move = 8' "$d/data/units.ini" || fail "the file the link leads to was not updated"
    only "$d/data" units.ini
    # Links to files on another drive, C:, from this folder on Z:: each is
    # replaced on its own drive, and the links stay.
    far=$(mktemp -d "${WINEPREFIX:-$HOME/.wine}/drive_c/valdra-far.XXXXXX")
    trap 'rm -rf "$top" "$far"' EXIT
    cp "$d/data/units.ini" "$far/units.ini"
    cp "$d/valdra.csv" "$far/sheet.csv"
    rm "$d/valdra.ini" "$d/valdra.csv"
    ln -s "$far/units.ini" "$d/valdra.ini"
    ln -s "$far/sheet.csv" "$d/valdra.csv"
    sed -i 's/^Tank,8,/Tank,9,/' "$far/sheet.csv"
    run "$d" csvtoini
    expect_status 0 "csvtoini through a link to another drive"
    grep -q '^move = 9' "$far/units.ini" || fail "the file on another drive was not updated"
    run "$d" initocsv
    expect_status 0 "initocsv through a link to another drive"
    grep -q '^Tank,9,' "$far/sheet.csv" || fail "the sheet on another drive was not written"
    [ -L "$d/valdra.ini" ] && [ -L "$d/valdra.csv" ] || fail "a link to another drive is no longer a link"
    only "$far" units.ini sheet.csv ;;
spellings)
    # Runs through two spellings of one folder, C:\... and
    # Z:\...\drive_c\..., take turns as runs through one do.
    prefix=${WINEPREFIX:-$HOME/.wine}
    d=$(mktemp -d "$prefix/drive_c/valdra-test.XXXXXX")
    trap 'rm -rf "$top" "$d"' EXIT
    # A file large enough that two runs overlap.
    gen ini n=100 other=1000 >"$d/valdra.ini"
    (cd "$d" && "$BIN/initocsv")
    sed -i 's/^\(U[0-9]*\),[0-9]*,/\1,7,/' "$d/valdra.csv"
    cp "$d/valdra.ini" "$top/ini"
    run "$d" csvtoini
    cp "$d/valdra.ini" "$top/want"
    c="C:\\$(basename "$d")"
    z="Z:$(echo "$d" | tr / '\\')"
    exe="Z:$(echo "$BIN/../csvtoini.exe" | tr / '\\')"
    take_turns 10 "$top/ini" "$d" "wine cmd /c 'cd /d $c && $exe'" "wine cmd /c 'cd /d $z && $exe'" "$top/want" ;;
msgbox)
    # Started without a console, as from Explorer, a failed run shows its
    # message in a box, and ends once the box is closed. Wine shows windows
    # through the display its desktop process started with, so this runs in
    # a Wine prefix of its own, with a fresh server.
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$top/ini"
    printf 'Name\n' >"$d/valdra.csv"
    export WINEPREFIX=$BIN/../gui-prefix
    [ -d "$WINEPREFIX" ] || WINEDLLOVERRIDES=mscoree,mshtml= wineboot -i >/dev/null 2>&1
    wineserver -k 2>/dev/null
    wineserver -w
    export DISPLAY=:$((50 + $$ % 1000))
    Xvfb "$DISPLAY" -screen 0 800x600x24 >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.2; done
    # start gives the program no standard handles, as Explorer does.
    timeout 60 wine start /wait /d "Z:${d//\//\\}" /unix "$BIN/../csvtoini.exe" >/dev/null 2>&1 &
    prog=$!
    for _ in $(seq 60); do box=$(xdotool search --name '^valdra units$' 2>/dev/null | head -1); [ -n "$box" ] && break; sleep 0.5; done
    [ -n "$box" ] || fail "no message box appeared"
    # The run let go of the files before it showed the box: another run
    # does not wait for it.
    with=(timeout 8)
    run "$d" csvtoini
    expect_status 1 "a run while a message box is open"
    said "valdra.csv line 1: the header has no column"
    [ -n "$box" ] && xdotool key --window "$box" Return 2>/dev/null
    wait $prog || true
    kill $xvfb
    wineserver -k 2>/dev/null
    same "$d/valdra.ini" "$top/ini" ;;
*)
    fail "no group $group" ;;
esac
finish
