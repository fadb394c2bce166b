#!/bin/bash
# files.sh BIN GROUP: the checks that need an environment of their own: how
# both programs treat files that are not what they seem (FIFOs, devices,
# folders, link loops, unreadable or read-only files), a shared group,
# links, runs at once, a file changed during a run, runs killed, a full
# disk and a file-size limit, a library that does not start.
BIN=$(cd "$1" && pwd)
group=${2#files.}
. "$(dirname "$0")/lib.sh"

# A prefix for with that runs a program as the unprivileged user nobody,
# when we are root on Linux.
unprivileged=()
[ "$(id -u)" -eq 0 ] && [ "${LINE_END:-lf}" = lf ] && unprivileged=(setpriv --reuid=65534 --regid=65534 --clear-groups)

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
    printf '[unitnames]\nunit0 = Old\n\n[Old]\nmove = 1\n' >"$top/old"
    for order in ab ba; do
        cp "$top/old" "$d/units.ini"
        run "$d/${order:0:1}" csvtoini
        run "$d/${order:1:1}" csvtoini
        cp "$d/units.ini" "$top/$order"
    done
    sheet_and_ini "$h"
    mv "$h/valdra.ini" "$h/units.ini"
    ln -s units.ini "$h/valdra.ini"
    side_by_side 'take_turns 20 "$top/old" "$d/a" "cd $d/a && $BIN/csvtoini" "cd $d/b && $BIN/csvtoini" "$top/ab" "$top/ba"
                  only "$d" a b units.ini' held_long ;;
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
    side_by_side 'take_turns 5 "$top/ini" "$d" "cd $d && $BIN/csvtoini" "cd $d && $BIN/csvtoini" "$top/want"' \
                 'take_turns 5 "$top/ini" "$e" "cd $e && $BIN/csvtoini" "cd $e && $BIN/csvtoini" "$top/want"' \
                 "both_at_once 10" "both_at_once 10" ;;
writer)
    # Beside a program that saves valdra.csv, or valdra.ini, in place again
    # and again, no run takes the part on disk for the whole file: each run
    # converts one whole version, or says that the file is being written. A
    # writer stalled long after emptying the file leaves it empty, which
    # changes nothing: csvtoini sets no unit, initocsv keeps the sheet. Most
    # runs convert. Two versions of 60 units, each written in many pieces.
    # Then the same beside a writer that pauses two seconds after its first
    # piece; and on Linux an idle holder (under Wine, files.holder's).
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
    [ "${LINE_END:-lf}" = crlf ] && finish
    # A program that holds a sheet saved long ago open to write it, and
    # does nothing, as a spreadsheet does: a run takes the sheet at once.
    d=$(scratch)
    cp "$v/orig.ini" "$d/valdra.ini"
    cp "$v/sheet1" "$d/valdra.csv"
    python3 -c 'import sys, time; f = open(sys.argv[1], "r+b"); open(sys.argv[2], "w").close(); time.sleep(30)' \
        "$d/valdra.csv" "$top/holding" &
    while [ ! -e "$top/holding" ]; do sleep 0.05; done
    started=$SECONDS
    run "$d" csvtoini
    expect_status 0 "csvtoini beside an idle holder of the sheet"
    same "$d/valdra.ini" "$v/ini1"
    [ $((SECONDS - started)) -le 2 ] || fail "an idle holder of the sheet delayed csvtoini"
    kill %% ;;
odd)
    # A file that is not what it seems in place of valdra.ini or valdra.csv
    # fails the run that reads or writes it, which says why; it stays what
    # it was, and the other file stays whole. Run as nobody where we are
    # root on Linux. A row of tables/odd-files: where it runs (both, posix
    # or windows)|KIND|NAME|PROG|what PROG says of it.
    while IFS='|' read -r where kind name prog want; do
        case $where-${LINE_END:-lf} in posix-crlf | windows-lf) continue ;; esac
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
        expect_status 1 "$prog with a $kind as $name"
        refused $prog "$want"
        [ "$(stat -c '%F %a' "$d/$name")" = "$was" ] || fail "$prog changed the $kind $name"
        chmod 755 "$d"
        [ $kind = mode ] && chmod 644 "$d/$name"
        for f in valdra.ini valdra.csv; do [ -f "$d/$f" ] && [ ! -L "$d/$f" ] && same "$d/$f" "$top/$f"; done
        only "$d" valdra.ini valdra.csv
    done <"$here/tables/odd-files" ;;
changed)
    # The file a link led to is not replaced when the link is replaced by a
    # file during the update, as sed -i does. (The case edited-meanwhile
    # shows a file edited during the update.)
    d=$(scratch)
    sheet_and_ini "$d"
    cp "$d/valdra.ini" "$top/ini"
    mkdir "$d/data"
    mv "$d/valdra.ini" "$d/data/units.ini"
    ln -s data/units.ini "$d/valdra.ini"
    with=(env VALDRA_EDIT=relink ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$BIN/tests/libeditduring.so")
    run "$d" csvtoini
    expect_status 1 "csvtoini with valdra.ini relinked meanwhile"
    said "valdra.ini: was moved or changed by another program while csvtoini ran"
    same "$d/data/units.ini" "$top/ini"
    same "$d/valdra.ini" "$top/ini"
    [ -L "$d/valdra.ini" ] && fail "the link was not replaced"
    only "$d" valdra.ini valdra.csv data ;;
leftovers)
    # Runs killed at any moment leave at most their own work copy, which
    # the next run removes; the files stay whole. (The cases leftovers-*
    # show which names a run removes.)
    d=$(scratch)
    sheet_and_ini "$d"
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
*.failstart)
    # When the library does not start, no file is touched.
    d=$(scratch)
    cp "$here/cases/update/valdra.csv" "$here/cases/update/valdra.ini" "$d/"
    with=(env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$BIN/tests/libfailstart.so")
    run "$d" "${group%.failstart}"
    expect_status 2 "library start fails"
    said "the Allegro library did not start"
    same "$d/valdra.ini" "$here/cases/update/valdra.ini"
    same "$d/valdra.csv" "$here/cases/update/valdra.csv" ;;
csvtoini.full)
    # A save that cannot complete leaves both files as they were and no
    # copy, and says why, though the library's save reports only a failed
    # write: under a file-size limit, and on a full disk, where we may mount
    # one. A row of tables/full-saves: fsize or disk|the KiB that may still
    # be written|PROG|what PROG says. The INI file has about 18 KiB, the
    # library's save of the sections the sheet adds about 27.
    while IFS='|' read -r how kib prog want; do
        d=$(scratch)
        with=(prlimit --fsize=$((kib * 1024)))
        if [ $how = disk ]; then
            with=()
            [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=128k tmpfs "$d" 2>/dev/null ||
                { echo "SKIP: cannot mount a small disk"; continue; }
        fi
        gen ini n=40 other=100 >"$d/valdra.ini"
        seq -f 'Unit%g' 0 99 | gen rows value=123456 >"$d/valdra.csv"
        cp "$d"/valdra.* "$top/"
        [ $how = disk ] && head -c $((($(df -k --output=avail "$d" | tail -1) - kib) * 1024)) /dev/zero >"$d/filler" 2>/dev/null
        run "$d" $prog
        expect_status 1 "$prog with $kib KiB to write ($how)"
        refused $prog "$want"
        same "$d/valdra.ini" "$top/valdra.ini"
        same "$d/valdra.csv" "$top/valdra.csv"
        rm -f "$d/filler"
        only "$d" valdra.ini valdra.csv
        [ $how = disk ] && umount "$d"
    done <"$here/tables/full-saves" ;;
csvtoini.links)
    # A link to the INI file stays a link, the file it names is updated, and
    # it keeps its permission bits; so does a file without a link.
    d=$(scratch)
    mkdir "$d/data"
    printf '[unitnames]\nunit0 = Old\n' >"$d/data/units.ini"
    chmod 640 "$d/data/units.ini"
    ln -s data/units.ini "$d/valdra.ini"
    echo Scout | gen rows value=3 >"$d/valdra.csv"
    run "$d" csvtoini
    expect_status 0 "csvtoini through a link"
    [ -L "$d/valdra.ini" ] || fail "valdra.ini is no longer a link"
    grep -q '^unit0 = Scout$' "$d/data/units.ini" || fail "the linked file was not updated"
    [ "$(stat -c %a "$d/data/units.ini")" = 640 ] || fail "the linked file lost its mode"
    only "$d" valdra.ini valdra.csv data
    only "$d/data" units.ini
    rm "$d/valdra.ini"
    mv "$d/data/units.ini" "$d/valdra.ini"
    chmod 604 "$d/valdra.ini"
    echo Scout | gen rows value=4 >"$d/valdra.csv"
    run "$d" csvtoini
    grep -q '^move = 4$' "$d/valdra.ini" || fail "valdra.ini was not updated"
    [ "$(stat -c %a "$d/valdra.ini")" = 604 ] || fail "valdra.ini lost its mode"
    # A new sheet takes the umask.
    rm "$d/valdra.csv"
    mask=$(umask)
    umask 027
    run "$d" initocsv
    umask "$mask"
    [ "$(stat -c %a "$d/valdra.csv")" = 640 ] || fail "a new valdra.csv ignores the umask" ;;
*)
    fail "no group $group" ;;
esac
finish
