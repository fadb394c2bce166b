#!/bin/bash
# files.sh BIN GROUP: how both programs treat files that are not what they
# seem (FIFOs, devices, folders, link loops, unreadable or read-only files),
# a shared group, runs at once, a file changed during a run and work copies
# left behind.
BIN=$(cd "$1" && pwd)
group=${2#files.}
. "$(dirname "$0")/lib.sh"

# A prefix for with that runs a program as the unprivileged user nobody,
# when we are root on Linux.
unprivileged=()
[ "$(id -u)" -eq 0 ] && [ "${LINE_END:-lf}" = lf ] && unprivileged=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# links_at_once: twenty times, the two runs in $d/a and $d/b at once, each
# through its link to $d/units.ini; both rows must be in it after each.
links_at_once() {
    local i
    for i in $(seq 20); do
        printf '[unitnames]\nunit0 = Old\n\n[Old]\nmove = 1\n' >"$d/units.ini"
        aged "$d"
        at_once "cd $d/a && $BIN/csvtoini" "cd $d/b && $BIN/csvtoini" "run $i"
        grep -q '^\[Alpha\]' "$d/units.ini" && grep -q '^\[Bravo\]' "$d/units.ini" ||
            { fail "run $i: one run's units were lost"; break; }
    done
    only "$d" a b units.ini
}

# held_long: a run in $h while another run holds the file that valdra.ini
# there links to for longer than a run waits.
held_long() {
    flock "$h/units.ini" sh -c ": >'$top/held'; exec sleep 12" >/dev/null 2>&1 &
    while [ ! -e "$top/held" ]; do sleep 0.01; done
    with=(timeout 14)
    run "$h" csvtoini
    expect_status 1 "csvtoini while another run holds the file"
    said "another run of initocsv or csvtoini on these files is still busy"
    kill %1
}

# both_at_once N: N times, initocsv and csvtoini at once in a folder of its
# own that holds the INI file of two_versions.
both_at_once() {
    local i k d
    d=$(scratch)
    cp "$v/orig.ini" "$d/valdra.ini"
    for i in $(seq "$1"); do
        k=$((i % 2))
        cp "$v/sheet$k" "$d/valdra.csv"
        aged "$d"
        at_once "cd $d && $BIN/csvtoini" "cd $d && $BIN/initocsv" "run $i"
        one_of "$d/valdra.ini" "run $i" "$v/ini$k" "$v/ini$((1 - k))" "$v/orig.ini" "$v/ini-example"
        one_of "$d/valdra.csv" "run $i" "$v/csv0" "$v/csv1" "$v/valdra.csv"
    done
    only "$d" valdra.ini valdra.csv
}

# beside_writer PROG [RUNS]: thirty runs (or RUNS) of PROG in a folder of
# its own, beside a writer of its input, of the versions in $v; at least
# half of them convert.
beside_writer() {
    local prog=$1 runs=${2:-30} file=valdra.csv versions=("$v/sheet0" "$v/sheet1") results=("$v/ini0" "$v/ini1")
    local out=valdra.ini d i converted=0
    [ $prog = initocsv ] && file=valdra.ini versions=("$v/ini0" "$v/ini1") results=("$v/csv0" "$v/csv1") out=valdra.csv
    d=$(scratch)
    cp "${versions[0]}" "$d/$file"
    writer "$d" $file "${versions[@]}"
    for i in $(seq "$runs"); do
        [ $prog = csvtoini ] && cp "$v/orig.ini" "$d/valdra.ini"
        # Beside a writer that pauses, runs land at any time of its save.
        [ -n "${WRITER_PAUSE:-}" ] && sleep 0.$((RANDOM % 10))
        run "$d" $prog
        allowed "$prog run $i beside a writer" "another program is still writing it" "it lists no units"
        if [ "$status" -eq 0 ]; then
            one_of "$d/$out" "$prog run $i beside a writer of $file" "${results[@]}" "$v/orig.ini"
            cmp -s "$d/$out" "$v/orig.ini" || converted=$((converted + 1))
        fi
    done
    kill $writer_pid 2>/dev/null
    wait $writer_pid 2>/dev/null
    [ $converted -ge $((runs / 2)) ] || fail "$prog converted in only $converted of $runs runs beside a writer"
    only "$d" valdra.ini valdra.csv
}

# idle_holder: a program that holds a sheet saved long ago open to write
# it, and does nothing, as a spreadsheet does: a run takes the sheet at once.
idle_holder() {
    local d
    fresh=/
    d=$(scratch)
    cp "$v/orig.ini" "$d/valdra.ini"
    cp "$v/sheet1" "$d/valdra.csv"
    aged "$d"
    python3 -c 'import sys, time; f = open(sys.argv[1], "r+b"); open(sys.argv[2], "w").close(); time.sleep(30)' \
        "$d/valdra.csv" "$top/holding" &
    local holder=$!
    while [ ! -e "$top/holding" ]; do sleep 0.05; done
    local started=$SECONDS
    run "$d" csvtoini
    expect_status 0 "csvtoini beside an idle holder of the sheet"
    same "$d/valdra.ini" "$v/ini1"
    [ $((SECONDS - started)) -le 2 ] || fail "an idle holder of the sheet delayed csvtoini"
    kill $holder
}

case $group in
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
    cp "$d/valdra.ini" "$top/ini"
    with=("${unprivileged[@]}")
    run "$d" csvtoini
    expect_status 1 "csvtoini outside the file's group"
    said "valdra.ini: cannot be updated: its group $(getent group 100 | cut -d: -f1) cannot be kept: you are not in that group"
    same "$d/valdra.ini" "$top/ini"
    [ "$(stat -c %g:%a "$d/valdra.ini")" = 100:664 ] || fail "valdra.ini is now $(stat -c %g:%a "$d/valdra.ini")"
    only "$d" valdra.ini valdra.csv ;;
concurrent)
    # Two runs through two links to one file: each run's units survive,
    # whichever comes second. Meanwhile, a run that finds the file held for
    # long by another gives up after a while, and says so.
    d=$(scratch)
    h=$(scratch)
    mkdir "$d/a" "$d/b"
    ln -s ../units.ini "$d/a/valdra.ini"
    ln -s ../units.ini "$d/b/valdra.ini"
    echo Alpha | gen rows value=1 >"$d/a/valdra.csv"
    echo Bravo | gen rows value=2 >"$d/b/valdra.csv"
    sheet_and_ini "$h"
    mv "$h/valdra.ini" "$h/units.ini"
    ln -s units.ini "$h/valdra.ini"
    side_by_side links_at_once held_long ;;
together)
    # Two runs at once in one folder take turns: both succeed, and the file
    # is what one run alone makes of it. Meanwhile, initocsv and csvtoini at
    # once, again and again: each takes its turn, and neither ever finds a
    # file missing or half written. Each ten times, in two folders.
    two_versions
    d=$(scratch)
    e=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$top/ini"
    cp "$d/valdra.csv" "$e/"
    run "$d" csvtoini
    cp "$d/valdra.ini" "$top/want"
    turns=5
    side_by_side 'take_turns "$d" "cd $d && $BIN/csvtoini" "cd $d && $BIN/csvtoini"' \
                 'take_turns "$e" "cd $e && $BIN/csvtoini" "cd $e && $BIN/csvtoini"' \
                 "both_at_once 10" "both_at_once 10" ;;
writer)
    # Beside a program that saves valdra.csv, or valdra.ini, in place again
    # and again, no run takes the part on disk for the whole file: each run
    # converts one whole version, or says that the file is being written. A
    # writer stalled long after emptying the file leaves it empty, which
    # changes nothing: csvtoini sets no unit, initocsv keeps the sheet. Most
    # runs convert. Two versions of 60 units, each written in many pieces.
    # Then the same beside a writer that pauses two seconds after its first
    # piece; and on Linux an idle holder of the sheet delays no run (under
    # Wine, files.holder holds it).
    v=$(scratch)
    gen ini n=60 >"$v/orig.ini"
    for i in 0 1; do seq -f 'U%g' 0 59 | gen rows value=$((i + 3)) >"$v/sheet$i"; eol "$v/sheet$i"; done
    versions
    side_by_side "beside_writer csvtoini" "beside_writer initocsv"
    # A writer that pauses after its first piece, holding the file, for
    # longer than any file takes to keep still, at every save.
    export WRITER_PAUSE=2
    side_by_side "beside_writer csvtoini 6" "beside_writer initocsv 6"
    unset WRITER_PAUSE
    [ "${LINE_END:-lf}" = lf ] && idle_holder ;;
odd)
    # A file that is not what it seems in place of valdra.ini or valdra.csv
    # fails the run that reads or writes it, which says why; it stays what
    # it was, and the other file stays whole. Run as nobody where we are
    # root on Linux; on Windows only what it has, a folder and a read-only
    # file. KIND|NAME|PROG|what PROG says of it.
    while IFS='|' read -r kind name prog want; do
        [ "${LINE_END:-lf}" = crlf ] && [ $kind != folder ] && [ $kind != readonly ] && continue
        d=$(scratch)
        sheet_and_ini "$d"
        cp "$d"/valdra.* "$top/"
        case $kind in
        fifo) rm "$d/$name"; mkfifo "$d/$name" ;;
        device) rm "$d/$name"; ln -s /dev/full "$d/$name" ;;
        folder) rm "$d/$name"; mkdir "$d/$name" ;;
        loop) rm "$d/$name"; ln -s "$name" "$d/$name" ;;
        mode) chmod 000 "$d/$name" ;;
        readonly) chmod 444 "$d/$name" ;;
        shut) chmod 555 "$d" ;;
        esac
        [ ${#unprivileged[@]} -gt 0 ] && chown -h 65534 "$d" "$d"/*
        was=$(stat -c '%F %a' "$d/$name")
        with=(timeout 5 "${unprivileged[@]}")
        run "$d" $prog
        out=valdra.ini
        [ $prog = initocsv ] && out=valdra.csv
        expect_status 1 "$prog with a $kind as $name"
        told "$prog: $want; $out not changed"
        [ "$(stat -c '%F %a' "$d/$name")" = "$was" ] || fail "$prog changed the $kind $name"
        chmod 755 "$d"
        [ $kind = mode ] && chmod 644 "$d/$name"
        for f in valdra.ini valdra.csv; do [ -f "$d/$f" ] && [ ! -L "$d/$f" ] && same "$d/$f" "$top/$f"; done
        only "$d" valdra.ini valdra.csv
    done <<'EOT'
fifo|valdra.ini|initocsv|valdra.ini: cannot be read: it is not a regular file
fifo|valdra.ini|csvtoini|valdra.ini: cannot be updated: it is not a regular file
fifo|valdra.csv|initocsv|valdra.csv: cannot be written: it is not a regular file
fifo|valdra.csv|csvtoini|valdra.csv: cannot be read: it is not a regular file
device|valdra.ini|initocsv|valdra.ini: cannot be read: it is not a regular file
device|valdra.ini|csvtoini|valdra.ini: cannot be updated: it is not a regular file
device|valdra.csv|initocsv|valdra.csv: cannot be written: it is not a regular file
device|valdra.csv|csvtoini|valdra.csv: cannot be read: it is not a regular file
folder|valdra.ini|initocsv|valdra.ini: cannot be read: it is not a regular file
folder|valdra.ini|csvtoini|valdra.ini: cannot be updated: it is not a regular file
folder|valdra.csv|initocsv|valdra.csv: cannot be written: it is not a regular file
folder|valdra.csv|csvtoini|valdra.csv: cannot be read: it is not a regular file
loop|valdra.ini|initocsv|valdra.ini: cannot be read: Too many levels of symbolic links
loop|valdra.ini|csvtoini|valdra.ini: cannot be updated: Too many levels of symbolic links
loop|valdra.csv|initocsv|valdra.csv: cannot be written: Too many levels of symbolic links
loop|valdra.csv|csvtoini|valdra.csv: cannot be read: Too many levels of symbolic links
mode|valdra.ini|initocsv|valdra.ini: cannot be read: you have no permission to read it
mode|valdra.csv|csvtoini|valdra.csv: cannot be read: you have no permission to read it
mode|valdra.csv|initocsv|valdra.csv: cannot be written: you have no permission to read it
readonly|valdra.ini|csvtoini|valdra.ini: cannot be updated: it is read-only; make it writable and run again
readonly|valdra.csv|initocsv|valdra.csv: cannot be written: it is read-only; make it writable and run again
shut|valdra.ini|csvtoini|valdra.ini: cannot be updated: you have no permission to write in its folder
shut|valdra.csv|initocsv|valdra.csv: cannot be written: you have no permission to write in its folder
EOT
    ;;
changed)
    # A file changed by another program during the update is not replaced,
    # nor is the file a link led to when the link is replaced by a file, as
    # sed -i does.
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$top/ini"
    echo "# edited meanwhile" >>"$top/ini"
    with=(env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$BIN/tests/libeditduring.so")
    run "$d" csvtoini
    expect_status 1 "csvtoini with valdra.ini edited meanwhile"
    said "valdra.ini: was moved or changed by another program while csvtoini ran"
    same "$d/valdra.ini" "$top/ini"
    only "$d" valdra.ini valdra.csv
    mkdir "$d/data"
    mv "$d/valdra.ini" "$d/data/units.ini"
    ln -s data/units.ini "$d/valdra.ini"
    with=(env VALDRA_EDIT=relink "${with[@]:1}")
    run "$d" csvtoini
    said "valdra.ini: was moved or changed by another program while csvtoini ran"
    same "$d/data/units.ini" "$top/ini"
    same "$d/valdra.ini" "$top/ini"
    [ -L "$d/valdra.ini" ] && fail "the link was not replaced"
    only "$d" valdra.ini valdra.csv data ;;
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
    run "$d" csvtoini
    cp "$d/valdra.ini" "$top/new"
    for i in $(seq 30); do
        for prog in csvtoini initocsv; do
            (cd "$d" && exec "$BIN/$prog") 2>/dev/null & pid=$!
            sleep "0.00$((RANDOM % 10))"
            kill -KILL $pid 2>/dev/null
            wait $pid 2>/dev/null
        done
        cmp -s "$d/valdra.ini" "$top/new" || fail "run $i: valdra.ini is no longer whole"
    done
    run "$d" csvtoini
    run "$d" initocsv
    only "$d" valdra.ini valdra.csv ;;
*)
    fail "no group $group" ;;
esac
finish
