#!/bin/bash
# files.sh BIN GROUP: how both programs treat files that are not what they
# seem (FIFOs, device nodes, unreadable or read-only files), a file-size
# limit, a shared group, runs at once, a file changed during a run and work
# copies left behind.
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
fifo | device)
    # A FIFO, or a link to a device node, in place of either file is refused
    # at once, and stays what it was.
    [ $group = device ] && [ "$(id -u)" -ne 0 ] && { echo "SKIP: mknod needs root"; exit 0; }
    for name in valdra.ini valdra.csv; do
        for prog in initocsv csvtoini; do
            d=$(scratch)
            sheet_and_ini "$d"
            rm "$d/$name"
            if [ $group = fifo ]; then mkfifo "$d/$name"; else mknod "$d/node" c 1 3; ln -s node "$d/$name"; fi
            with=(timeout 5)
            run "$d" $prog
            expect_status 1 "$prog with a $group as $name"
            if [ $group = fifo ]; then
                [ -p "$d/$name" ] || fail "$prog replaced the FIFO $name"
            else
                [ "$(readlink "$d/$name")" = node ] && [ -c "$d/node" ] || fail "$prog replaced the link to a device $name"
            fi
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
            cp "$d"/valdra.* "$top/"
            rm "$d/$name"
            case $kind in
            folder) mkdir "$d/$name" ;;
            loop) ln -s "$name" "$d/$name" ;;
            mode) cp "$top/$name" "$d/$name"; chmod 000 "$d/$name" ;;
            esac
            other=valdra.ini prog=csvtoini
            [ $name = valdra.ini ] && other=valdra.csv prog=initocsv
            with=("${unprivileged[@]}")
            run "$d" $prog
            expect_status 1 "$prog with a $kind as $name"
            [ $kind = mode ] && [ ${#unprivileged[@]} -gt 0 ] && said "you have no permission to read it"
            same "$d/$other" "$top/$other" "$other after $prog with a $kind as $name"
        done
    done ;;
sizelimit)
    # Under a file-size limit initocsv fails and leaves the old sheet whole.
    d=$(scratch)
    gen ini n=100 >"$d/valdra.ini"
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
readonly)
    # A read-only valdra.ini or valdra.csv is refused, not replaced, and so
    # is a folder that may not be written (run as nobody on Linux; Wine
    # shows a file without write permission as read-only); a folder in place
    # of either file is no file.
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d"/valdra.* "$top/"
    [ ${#unprivileged[@]} -gt 0 ] && chown -R 65534 "$d"
    with=("${unprivileged[@]}")
    for name in valdra.ini valdra.csv; do
        prog=csvtoini
        [ $name = valdra.csv ] && prog=initocsv
        chmod 444 "$d/$name"
        run "$d" $prog
        expect_status 1 "$prog with a read-only $name"
        said "$name: cannot be"
        said "it is read-only"
        chmod 644 "$d/$name"
    done
    if [ ${#unprivileged[@]} -gt 0 ]; then
        chmod 555 "$d"
        run "$d" csvtoini
        said "valdra.ini: cannot be updated: you have no permission to write in its folder"
        chmod 755 "$d"
    fi
    same "$d/valdra.ini" "$top/valdra.ini"
    same "$d/valdra.csv" "$top/valdra.csv"
    only "$d" valdra.ini valdra.csv
    with=()
    for name in valdra.ini valdra.csv; do
        mv "$d/$name" "$top/moved"
        mkdir "$d/$name"
        for prog in csvtoini initocsv; do
            run "$d" $prog
            expect_status 1 "$prog with a folder as $name"
            said "$name: cannot be"
            said "it is not a regular file"
        done
        rmdir "$d/$name"
        mv "$top/moved" "$d/$name"
    done ;;
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
