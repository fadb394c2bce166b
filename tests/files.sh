#!/bin/bash
# files.sh BIN GROUP: how both programs treat files that are not what they
# seem: FIFOs, device nodes, unreadable files, a file-size limit, a shared
# group, two runs at once, a file changed during a run, and on Windows a
# read-only file.
BIN=$(cd "$1" && pwd)
group=$2
. "$(dirname "$0")/lib.sh"

ex=$here/cases/example
# A prefix for with that runs a program as the unprivileged user nobody,
# when we are root and can.
unprivileged=()
[ "$(id -u)" -eq 0 ] && unprivileged=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# sheet_and_ini DIR: the example's files in DIR, and copies to compare.
sheet_and_ini() {
    cp "$ex/valdra.ini" "$1/"
    cp "$ex/expect/valdra.csv" "$1/"
    sed -i 's/^Tank,5,700,/Tank,6,750,/' "$1/valdra.csv"
}

# Windows: the neighbour program (tests/neighbour.cpp) in the background,
# in folder DIR: neighbour DIR MODE ARGS...; its pid lands in $neighbour_pid.
neighbour() {
    local dir=$1
    shift
    (cd "$dir" && exec wine "$BIN/../tests/neighbour.exe" "$@") &
    neighbour_pid=$!
}

# stop_neighbour: end the neighbour program.
stop_neighbour() {
    kill $neighbour_pid 2>/dev/null
    wait $neighbour_pid 2>/dev/null
}

# versions DIR: in DIR, two sheets that differ in every value (sheet0,
# sheet1), the INI file each makes of the example's (ini0, ini1), and the
# sheet initocsv writes of each (csv0, csv1); the example's sheet
# (valdra.csv) and what csvtoini makes of it, its missing keys added
# (ini-example).
versions() {
    local v=$1 i
    sheet_and_ini "$v"
    cp "$v/valdra.ini" "$v/orig.ini"
    for i in 0 1; do
        sed "2,\$ s/^\([^,]*\),[0-9]*,[0-9]*,/\1,$((i + 4)),$((i * 100 + 300)),/" "$ex/expect/valdra.csv" >"$v/sheet$i"
        cp "$v/orig.ini" "$v/valdra.ini"
        cp "$v/sheet$i" "$v/valdra.csv"
        run "$v" csvtoini
        run "$v" initocsv
        cp "$v/valdra.ini" "$v/ini$i"
        cp "$v/valdra.csv" "$v/csv$i"
    done
    cp "$v/orig.ini" "$v/valdra.ini"
    cp "$ex/expect/valdra.csv" "$v/valdra.csv"
    eol "$v/valdra.csv"
    run "$v" csvtoini
    mv "$v/valdra.ini" "$v/ini-example"
}

# two_versions: $v, a folder of versions as above, and $d, a new folder
# holding the example's valdra.ini.
two_versions() {
    v=$(scratch)
    versions "$v"
    d=$(scratch)
    cp "$v/orig.ini" "$d/valdra.ini"
}

# one_of FILE WHAT CANDIDATE...: FILE must be there and hold the bytes of
# one of the candidates, whole.
one_of() {
    local file=$1 what=$2 c
    shift 2
    [ -f "$file" ] || { fail "$what: $(basename "$file") is gone"; return; }
    for c in "$@"; do cmp -s "$file" "$c" && return; done
    fail "$what: $(basename "$file") holds none of the versions it may hold"
}

# allowed WHAT TEXT...: a failed run's message must hold one of the texts.
allowed() {
    local what=$1 t
    shift
    [ "$status" -eq 0 ] && return
    for t in "$@"; do case $message in *"$t"*) return ;; esac; done
    fail "$what: $message"
}

case $group in
scanner)
    # Windows: a scanner opens every new file in the folder, sharing read
    # and write but not delete. Every run still puts its file in place, or
    # leaves the old one and says so; no run loses or blanks a file.
    two_versions
    neighbour "$d" scan 60 'valdra.*' '*.tmp'
    sleep 1
    for i in $(seq 20); do
        k=$((i % 2))
        cp "$v/sheet$k" "$d/valdra.csv"
        run "$d" csvtoini
        allowed "csvtoini run $i" "it is open in another program"
        one_of "$d/valdra.ini" "csvtoini run $i" "$v/ini$k" "$v/ini$((1 - k))" "$v/orig.ini"
        [ "$status" -eq 0 ] && one_of "$d/valdra.ini" "csvtoini run $i, a success" "$v/ini$k"
        run "$d" initocsv
        allowed "initocsv run $i" "it is open in another program"
        one_of "$d/valdra.csv" "initocsv run $i" "$v/csv$k" "$v/sheet$k"
    done
    stop_neighbour
    run "$d" csvtoini
    run "$d" initocsv
    only "$d" valdra.ini valdra.csv ;;
holder)
    # Windows: a program that holds a file open and shares it with no one:
    # both programs wait a while, then say so and leave both files alone.
    two_versions
    cp "$v/sheet1" "$d/valdra.csv"
    for name in valdra.ini valdra.csv; do
        neighbour "$d" hold 10 "$name" "../$(basename "$d").held"
        for _ in $(seq 150); do [ -e "$d.held" ] && break; sleep 0.1; done
        [ -e "$d.held" ] || { fail "the holder of $name did not start"; continue; }
        rm "$d.held"
        for prog in csvtoini initocsv; do
            run "$d" $prog
            expect_status 1 "$prog while $name is held"
            said "$name: "
            said "it is open in another program; close it there and run again"
            same "$d/valdra.ini" "$v/orig.ini"
            same "$d/valdra.csv" "$v/sheet1"
        done
        wait $neighbour_pid
    done
    only "$d" valdra.ini valdra.csv ;;
editor)
    # Windows: an editor saves valdra.ini again and again, by a new file
    # renamed over it. A run either puts its file in place or says that
    # another program changed it; the file is always one whole version.
    two_versions
    cp "$v/orig.ini" "$d.from"
    neighbour "$d" edit 40 valdra.ini "../$(basename "$d").from"
    sleep 1
    for i in $(seq 20); do
        k=$((i % 2))
        cp "$v/sheet$k" "$d/valdra.csv"
        run "$d" csvtoini
        allowed "csvtoini run $i" "was changed by another program" "it is open in another program"
        one_of "$d/valdra.ini" "csvtoini run $i" "$v/ini0" "$v/ini1" "$v/orig.ini"
    done
    stop_neighbour
    rm -f "$d"/valdra.ini.~edit
    run "$d" csvtoini
    only "$d" valdra.ini valdra.csv ;;
mixed)
    # initocsv and csvtoini at once, again and again: each takes its turn,
    # and neither ever finds a file missing or half written.
    two_versions
    for i in $(seq 20); do
        k=$((i % 2))
        cp "$v/sheet$k" "$d/valdra.csv"
        (cd "$d" && "$BIN/csvtoini" 2>"$d.err1") & (cd "$d" && "$BIN/initocsv" 2>"$d.err2") &
        wait %1; sa=$?; wait %2; sb=$?
        [ $sa -eq 0 ] && [ $sb -eq 0 ] || fail "run $i: exit status $sa and $sb: $(cat "$d.err1" "$d.err2")"
        one_of "$d/valdra.ini" "run $i" "$v/ini$k" "$v/ini$((1 - k))" "$v/orig.ini" "$v/ini-example"
        one_of "$d/valdra.csv" "run $i" "$v/csv0" "$v/csv1" "$v/valdra.csv"
    done
    only "$d" valdra.ini valdra.csv ;;
paths)
    # Windows: a folder path of more than 250 characters; a hidden and
    # system valdra.ini under a name in mixed case keeps both.
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
    case $attrs in *S*H*) ;; *) fail "Valdra.INI lost its attributes: $attrs" ;; esac ;;
spellings)
    # Windows: runs through two spellings of one folder, C:\... and
    # Z:\...\drive_c\..., take turns as runs through one do.
    prefix=${WINEPREFIX:-$HOME/.wine}
    d=$(mktemp -d "$prefix/drive_c/valdra-test.XXXXXX")
    echo "$d" >>"$scratch_list"
    # A file large enough that two runs overlap.
    { awk 'BEGIN { for (i = 0; i < 1000; i++) { print "[Rules" i "]"; for (j = 0; j < 5; j++) print "rule" j " = " i; print "" } }'
      units 100; } >"$d/valdra.ini"
    (cd "$d" && "$BIN/initocsv")
    sed -i 's/^\(U[0-9]*\),[0-9]*,/\1,7,/' "$d/valdra.csv"
    cp "$d/valdra.ini" "$d.ini"
    run "$d" csvtoini
    cp "$d/valdra.ini" "$d.want"
    c="C:\\$(basename "$d")"
    z="Z:$(echo "$d" | tr / '\\')"
    exe="Z:$(echo "$BIN/../csvtoini.exe" | tr / '\\')"
    for i in $(seq 10); do
        cp "$d.ini" "$d/valdra.ini"
        wine cmd /c "cd /d $c && $exe" 2>"$d.err1" & wine cmd /c "cd /d $z && $exe" 2>"$d.err2" &
        wait %1; sa=$?; wait %2; sb=$?
        [ $sa -eq 0 ] && [ $sb -eq 0 ] && [ ! -s "$d.err1" ] && [ ! -s "$d.err2" ] ||
            fail "run $i: exit status $sa and $sb: $(cat "$d.err1" "$d.err2")"
        same "$d/valdra.ini" "$d.want" "valdra.ini after run $i"
    done
    only "$d" valdra.ini valdra.csv ;;
fifo)
    # A FIFO in place of either file is refused at once, and stays a FIFO.
    for name in valdra.ini valdra.csv; do
        for prog in initocsv csvtoini; do
            d=$(scratch)
            sheet_and_ini "$d"
            rm "$d/$name"
            mkfifo "$d/$name"
            with=(timeout 5)
            run "$d" $prog
            expect_status 1 "$prog with a FIFO as $name"
            [ -p "$d/$name" ] || fail "$prog replaced the FIFO $name"
        done
    done ;;
device)
    # A link to a device node is refused; the node stays a node.
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: mknod needs root"; exit 0; }
    for name in valdra.ini valdra.csv; do
        for prog in initocsv csvtoini; do
            d=$(scratch)
            sheet_and_ini "$d"
            mknod "$d/node" c 1 3   # the null device
            ln -sf node "$d/$name"
            run "$d" $prog
            expect_status 1 "$prog with $name linked to a device"
            [ -c "$d/node" ] || fail "$prog replaced the device node behind $name"
        done
    done ;;
unreadable)
    # A file that is there but cannot be read fails the run, and the other
    # file is left alone: a folder, a link loop, no read permission.
    for kind in folder loop mode; do
        for name in valdra.ini valdra.csv; do
            d=$(scratch)
            chmod 777 "$d"
            sheet_and_ini "$d"
            chmod 666 "$d"/*
            cp "$d/valdra.ini" "$d.ini"
            cp "$d/valdra.csv" "$d.csv"
            rm "$d/$name"
            case $kind in
            folder) mkdir "$d/$name" ;;
            loop) ln -s "$name" "$d/$name" ;;
            mode) cp "$d.${name#valdra.}" "$d/$name"; chmod 000 "$d/$name" ;;
            esac
            with=("${unprivileged[@]}")
            if [ $name = valdra.ini ]; then
                run "$d" initocsv
                expect_status 1 "initocsv with a $kind as valdra.ini"
                same "$d/valdra.csv" "$d.csv" "the sheet after initocsv with a $kind as valdra.ini"
            else
                run "$d" csvtoini
                expect_status 1 "csvtoini with a $kind as valdra.csv"
                same "$d/valdra.ini" "$d.ini" "valdra.ini after csvtoini with a $kind as valdra.csv"
            fi
            chmod -R u+rwx "$d"
        done
    done ;;
sizelimit)
    # Under a file-size limit initocsv fails and leaves the old sheet whole.
    d=$(scratch)
    units 100 >"$d/valdra.ini"
    echo "old sheet" >"$d/valdra.csv"
    with=(prlimit --fsize=4096)
    run "$d" initocsv
    expect_status 1 "initocsv under a 4 KiB file limit"
    [ "$(cat "$d/valdra.csv")" = "old sheet" ] || fail "the sheet was cut"
    only "$d" valdra.ini valdra.csv ;;
group)
    # A group-shared file stays shared when another member of the group
    # updates it: the new file is theirs, the group stays. So does a sheet's.
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: setting up owners needs root"; exit 0; }
    d=$(scratch)
    sheet_and_ini "$d"
    chown 65534 "$d"
    chown 0:100 "$d/valdra.ini" "$d/valdra.csv"
    chmod 664 "$d/valdra.ini"
    chmod 640 "$d/valdra.csv"
    with=(setpriv --reuid=65534 --regid=65534 --groups=100)
    run "$d" csvtoini
    expect_status 0 "csvtoini as a member of the file's group"
    [ "$(stat -c %g:%a "$d/valdra.ini")" = 100:664 ] || fail "valdra.ini is now $(stat -c %g:%a "$d/valdra.ini")"
    run "$d" initocsv
    [ "$(stat -c %g:%a "$d/valdra.csv")" = 100:640 ] || fail "valdra.csv is now $(stat -c %g:%a "$d/valdra.csv")"
    # Someone outside the group, in a folder of their own, cannot keep the
    # group: the run is refused and says so, and the file stays shared.
    sed -i 's/^Tank,6,750,/Tank,7,750,/' "$d/valdra.csv"
    chmod 666 "$d/valdra.csv"
    cp "$d/valdra.ini" "$d.ini"
    with=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    run "$d" csvtoini
    expect_status 1 "csvtoini outside the file's group"
    said "valdra.ini: cannot be updated: its group $(getent group 100 | cut -d: -f1) cannot be kept: you are not in that group"
    same "$d/valdra.ini" "$d.ini"
    [ "$(stat -c %g:%a "$d/valdra.ini")" = 100:664 ] || fail "valdra.ini is now $(stat -c %g:%a "$d/valdra.ini")"
    only "$d" valdra.ini valdra.csv ;;
concurrent)
    # Two runs through two links to one file: each run's units survive,
    # whichever comes second.
    d=$(scratch)
    mkdir "$d/a" "$d/b"
    ln -s ../units.ini "$d/a/valdra.ini"
    ln -s ../units.ini "$d/b/valdra.ini"
    { echo "$header"; echo "Alpha,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,"; } >"$d/a/valdra.csv"
    { echo "$header"; echo "Bravo,2,2,2,2,0,0,0,2,2,2,2,2,2,0,0,0,2,"; } >"$d/b/valdra.csv"
    for i in $(seq 20); do
        printf '[unitnames]\nunit0 = Old\n\n[Old]\nmove = 1\n' >"$d/units.ini"
        (cd "$d/a" && "$BIN/csvtoini") & (cd "$d/b" && "$BIN/csvtoini") & wait %1; sa=$?; wait %2; sb=$?
        [ $sa -eq 0 ] && [ $sb -eq 0 ] || fail "run $i: exit status $sa and $sb"
        grep -q '^\[Alpha\]' "$d/units.ini" && grep -q '^\[Bravo\]' "$d/units.ini" ||
            { fail "run $i: one run's units were lost"; break; }
    done
    only "$d" a b units.ini ;;
readonly)
    # Windows: a read-only valdra.ini is refused, not overwritten. (Wine
    # shows a file without write permission as read-only.)
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$d.ini"
    chmod 444 "$d/valdra.ini"
    run "$d" csvtoini
    expect_status 1 "csvtoini on a read-only valdra.ini"
    said "it is read-only"
    same "$d/valdra.ini" "$d.ini"
    only "$d" valdra.ini valdra.csv
    # A folder in place of either file is no file, as on Linux.
    chmod 644 "$d/valdra.ini"
    for name in valdra.ini valdra.csv; do
        mv "$d/$name" "$d.moved"
        mkdir "$d/$name"
        for prog in csvtoini initocsv; do
            run "$d" $prog
            expect_status 1 "$prog with a folder as $name"
            said "$name: cannot be"
            said "it is not a regular file"
        done
        rmdir "$d/$name"
        mv "$d.moved" "$d/$name"
    done ;;
msgbox)
    # Windows: started without a console, as from Explorer, a failed run
    # shows its message in a box, and ends once the box is closed. Wine shows
    # windows through the display its desktop process started with, so this
    # runs in a Wine prefix of its own, with a fresh server.
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$d.ini"
    printf 'Name\n' >"$d/valdra.csv"
    export WINEPREFIX=$BIN/../gui-prefix
    [ -d "$WINEPREFIX" ] || WINEDLLOVERRIDES=mscoree,mshtml= wineboot -i >/dev/null 2>&1
    wineserver -k 2>/dev/null
    wineserver -w
    display=:$((50 + $$ % 1000))
    Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
    xvfb=$!
    export DISPLAY=$display
    for _ in $(seq 50); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && break
        sleep 0.2
    done
    # start gives the program no standard handles, as Explorer does.
    timeout 60 wine start /wait /d "Z:${d//\//\\}" /unix "$BIN/../csvtoini.exe" >/dev/null 2>&1 &
    prog=$!
    box=""
    for _ in $(seq 60); do
        box=$(xdotool search --name '^valdra units$' 2>/dev/null | head -1)
        [ -n "$box" ] && break
        sleep 0.5
    done
    [ -n "$box" ] || fail "no message box appeared"
    [ -n "$box" ] && xdotool key --window "$box" Return 2>/dev/null
    wait $prog || true
    kill $xvfb
    wineserver -k 2>/dev/null
    same "$d/valdra.ini" "$d.ini" ;;
together)
    # Two runs at once in one folder take turns: both succeed, and the file
    # is what one run alone makes of it.
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$d.ini"
    run "$d" csvtoini
    cp "$d/valdra.ini" "$d.want"
    for i in $(seq 10); do
        cp "$d.ini" "$d/valdra.ini"
        (cd "$d" && "$BIN/csvtoini") & (cd "$d" && "$BIN/csvtoini") & wait %1; sa=$?; wait %2; sb=$?
        [ $sa -eq 0 ] && [ $sb -eq 0 ] || fail "run $i: exit status $sa and $sb"
        same "$d/valdra.ini" "$d.want" "valdra.ini after run $i"
    done
    only "$d" valdra.ini valdra.csv ;;
changed)
    # A file changed by another program during the update is not replaced.
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$d.ini"
    echo "# edited meanwhile" >>"$d.ini"
    with=(env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$BIN/tests/libeditduring.so")
    run "$d" csvtoini
    expect_status 1 "csvtoini with valdra.ini edited meanwhile"
    said "changed by another program"
    same "$d/valdra.ini" "$d.ini"
    only "$d" valdra.ini valdra.csv ;;
leftovers)
    # Work copies that killed runs left behind are removed by the next run
    # on that file, and no other file is: not another file's, not a backup,
    # not a name one letter short of the pattern.
    d=$(scratch)
    sheet_and_ini "$d"
    keep="valdra.ini.backup valdra.ini.orig12 valdra.ini.csvtoini-abc12.part valdra.ini.csvtoini-abc123.part.old"
    for f in $keep valdra.ini.csvtoini-abc123.part valdra.ini.initocsv-ZZ99zz.part valdra.csv.initocsv-Q1w2E3.part; do
        echo leftover >"$d/$f"
    done
    run "$d" csvtoini
    expect_status 0 "csvtoini beside leftovers"
    only "$d" valdra.ini valdra.csv valdra.csv.initocsv-Q1w2E3.part $keep
    run "$d" initocsv
    only "$d" valdra.ini valdra.csv $keep
    # Runs killed at any moment leave at most their own work copy, which
    # the next run removes; the files stay whole.
    rm "$d"/valdra.ini.*
    cp "$d/valdra.ini" "$d.ini"
    run "$d" csvtoini
    cp "$d/valdra.ini" "$d.new"
    for i in $(seq 30); do
        for prog in csvtoini initocsv; do
            (cd "$d" && exec "$BIN/$prog") 2>/dev/null & pid=$!
            sleep "0.00$((RANDOM % 10))"
            kill -KILL $pid 2>/dev/null
            wait $pid 2>/dev/null
        done
        cmp -s "$d/valdra.ini" "$d.new" || fail "run $i: valdra.ini is no longer whole"
    done
    run "$d" csvtoini
    run "$d" initocsv
    only "$d" valdra.ini valdra.csv ;;
*)
    fail "no group $group" ;;
esac
finish
