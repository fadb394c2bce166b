#!/bin/bash
# groups.sh BIN GROUP: the cases of either program that need generated files
# or a particular environment.
BIN=$(cd "$1" && pwd)
group=$2
. "$(dirname "$0")/lib.sh"

# keys_per_section FILE: "section count" for every section of FILE, counting
# the unit keys it holds.
keys_per_section() {
    tr -d '\r' <"$1" | awk '/^\[/ { s = $0; n[s] += 0; next }
         /^(move|price|rangemin|rangemax|canhit|attack[012]|resist[012]|isarmy[123]|techlevel) = / { n[s]++ }
         END { for (s in n) print s, n[s] }' | sort
}

case $group in
initocsv.capacity)
    # A full table is written whole, behind 20,000 other sections in a
    # moment; a longer list is refused, naming its count, and the old sheet
    # stays.
    d=$(scratch)
    gen ini n=100 other=20000 >"$d/valdra.ini"
    with=(timeout 10)
    run "$d" initocsv
    expect_status 0 "100 units behind 20,000 sections"
    gen sheet n=100 >"$top/want"
    eol "$top/want"
    same "$d/valdra.csv" "$top/want" "sheet of 100 listed units"
    gen ini n=150 >"$d/valdra.ini"
    run "$d" initocsv
    told "initocsv: valdra.ini: [unitnames] lists 150 units, more than the 100 that the programs convert whole; valdra.csv not changed"
    same "$d/valdra.csv" "$top/want" "the sheet after a list of 150 units"
    # Lines of megabytes are read whole: a value of 4.5 MB that the game
    # reads as 5, before another unit, and a header of 5 MB before the list.
    x=$(head -c 4500000 /dev/zero | tr '\0' x)
    { printf '[%s]\nk = v\n' "${x}yy"; printf '[unitnames]\nunit0 = Tank\nunit1 = Jeep\n\n[Tank]\nmove = 5%s\n\n[Jeep]\nmove = 8\n' "$x"; } >"$d/valdra.ini"
    rm "$d/valdra.csv"
    run "$d" initocsv
    expect_status 0 "lines of megabytes"
    { echo "$header"; echo "Tank,5,0,0,0,0,0,0,0,0,0,0,0,0,1,1,1,2,"; echo "Jeep,8,0,0,0,0,0,0,0,0,0,0,0,0,1,1,1,2,"; } >"$top/want"
    eol "$top/want"
    same "$d/valdra.csv" "$top/want" "the sheet of a file with lines of megabytes" ;;
initocsv.unwritable)
    # A sheet that cannot be written is a failure, whatever the cause.
    d=$(scratch)
    cp "$here/../examples/valdra.ini" "$d/"
    mkdir "$d/valdra.csv"
    run "$d" initocsv
    told "initocsv: valdra.csv: cannot be written: it is not a regular file; valdra.csv not changed"
    rmdir "$d/valdra.csv"
    ln -s /dev/full "$d/valdra.csv"
    run "$d" initocsv
    expect_status 1 "the sheet is a device"
    said "initocsv: valdra.csv: cannot be written: "
    same "$d/valdra.ini" "$here/../examples/valdra.ini" ;;
initocsv.display)
    # The programs never look for a display, not even a broken one.
    d=$(scratch)
    cp "$here/cases/example/valdra.ini" "$d/"
    for display in 127.0.0.1:99 nowhere.invalid:0 :77; do
        rm -f "$d/valdra.csv"
        with=(env DISPLAY="$display" timeout 20)
        run "$d" initocsv
        expect_status 0 "DISPLAY=$display"
        same "$d/valdra.csv" "$here/cases/example/expect/valdra.csv"
    done ;;
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
csvtoini.roundtrip)
    # A sheet that initocsv wrote converts back into the same values, and
    # every unit section ends up with all fifteen keys.
    d=$(scratch)
    gen ini n=100 gaps=1 >"$d/valdra.ini"
    run "$d" initocsv
    cp "$d/valdra.csv" "$top/first"
    run "$d" csvtoini
    expect_status 0 "csvtoini of 100 units"
    run "$d" initocsv
    same "$d/valdra.csv" "$top/first" "sheet after the round trip"
    keys_per_section "$d/valdra.ini" | grep -v '^\[unitnames\] 0$' | grep -v ' 15$' |
        while read -r line; do fail "section without its 15 keys: $line"; done
    # A sheet that changes nothing leaves the file as it is, not even
    # rewritten: it looks a minute old, and a write would make it new.
    aged "$d"
    before=$(stat -c %i:%Y:%s "$d/valdra.ini")
    run "$d" csvtoini
    [ "$(stat -c %i:%Y:%s "$d/valdra.ini")" = "$before" ] || fail "an unchanged sheet rewrote valdra.ini"
    only "$d" valdra.ini valdra.csv ;;
csvtoini.refusals)
    # A sheet too large to read changes nothing and says so.
    d=$(scratch)
    cp "$here/cases/update/valdra.ini" "$d/"
    head -c $((4 * 1024 * 1024 + 1)) /dev/zero >"$d/valdra.csv"
    run "$d" csvtoini
    told "csvtoini: valdra.csv: is larger than 4 MiB; valdra.ini not changed"
    same "$d/valdra.ini" "$here/cases/update/valdra.ini"
    # A sheet that is not UTF-8, where the system has no code page of its
    # own, is read as Windows-1252, a guess: a name beyond ASCII that is no
    # listed unit's may be misread, and is refused. (Windows decodes its own
    # code page.)
    if [ "${LINE_END:-lf}" = lf ]; then
        printf '[unitnames]\nunit0 = Tank\n' >"$d/valdra.ini"
        cp "$d/valdra.ini" "$top/ini"
        { echo "$header"; printf 'Tank,1\nPanz\351r,2\n'; } >"$d/valdra.csv"
        run "$d" csvtoini
        told "csvtoini: valdra.csv line 3: the name \"Panzér\" is no unit's in valdra.ini, and the sheet is not UTF-8, so its letters may be misread; save the sheet as \"CSV UTF-8\"; valdra.ini not changed"
        same "$d/valdra.ini" "$top/ini"
    fi ;;
csvtoini.capacity)
    # A full table of 100 units converts, names kept whole up to the 253
    # bytes by which the library can still look a section up; a 101st unit
    # row, or a list of more than 100 units in valdra.ini, is refused: part of
    # the list would lose the rest.
    d=$(scratch)
    gen ini n=100 >"$d/valdra.ini"
    long=$(printf 'L%.0s' $(seq 251))é
    mid=$(printf 'a%.0s' $(seq 58))é$(printf 'b%.0s' $(seq 20))
    { echo "$long"; echo "$mid"; seq -f 'R%g' 2 99; } | gen rows value=3 >"$d/valdra.csv"
    run "$d" csvtoini
    expect_status 0 "100 rows"
    # Refreshed, the sheet holds the file's values already: it stays.
    cp "$d/valdra.csv" "$top/want"
    run "$d" initocsv
    same "$d/valdra.csv" "$top/want" "sheet of 100 rows"
    cp "$d/valdra.ini" "$top/ini"
    { cat "$top/want"; echo "R100,1,,,,,,,,,,,,,,,,,"; } >"$d/valdra.csv"
    run "$d" csvtoini
    told "csvtoini: valdra.csv line 102: a 101st unit: the game's list is converted whole, of 100 units at most; valdra.ini not changed"
    same "$d/valdra.ini" "$top/ini"
    gen ini n=150 >"$d/valdra.ini"
    cp "$d/valdra.ini" "$top/ini"
    seq -f 'U%g' 0 99 | gen rows value=3 >"$d/valdra.csv"
    run "$d" csvtoini
    told "csvtoini: valdra.ini: [unitnames] lists 150 units, more than the 100 that the programs convert whole; valdra.ini not changed"
    same "$d/valdra.ini" "$top/ini" ;;
csvtoini.limits)
    # 100 full units behind 20,000 other sections are updated, every value
    # changed, in a moment, and every other line keeps its bytes. A file or
    # an update past 16 MiB, or an update that would take the library long,
    # is refused at once and says which.
    d=$(scratch)
    gen ini n=100 other=20000 >"$d/valdra.ini"
    cp "$d/valdra.ini" "$top/orig"
    seq -f 'U%g' 0 99 | gen rows value=7 >"$d/valdra.csv"
    with=(timeout 10)
    run "$d" csvtoini
    expect_status 0 "100 units behind 20,000 other sections"
    [ "$(grep -c '^move = 7' "$d/valdra.ini")" = 100 ] || fail "not every unit was updated"
    cmp -s <(head -n 140000 "$d/valdra.ini") <(head -n 140000 "$top/orig") || fail "the other sections changed"
    pad=$(printf '#%.0s' $(seq 1000))
    for file in "past:16777217:it has more than 16 MiB" \
                "result:16770000:the updated file would have more than 16 MiB" \
                "slow:10000:updating it would take about"; do
        IFS=: read -r kind count said <<<"$file"
        case $kind in
        past | result) awk -v n="$count" -v pad="$pad" 'BEGIN { for (b = 0; b + 1001 <= n; b += 1001) print pad
                                                                printf "%s\n", substr(pad, 1, n - b - 1) }' ;;
        slow) { echo '[unitnames]'; seq -f "[$(printf 'P%.0s' $(seq 232))%g" "$count"; } ;;
        esac >"$d/valdra.ini"
        cp "$d/valdra.ini" "$top/orig"
        seq -f 'U%g' 0 99 | gen rows value=3 >"$d/valdra.csv"
        with=(timeout 5)
        run "$d" csvtoini
        expect_status 1 "a file $kind a limit"
        said "valdra.ini: $said"
        same "$d/valdra.ini" "$top/orig"
    done ;;
csvtoini.fullsave)
    # A save that cannot complete leaves valdra.ini as it was and no copy:
    # first the updated file over the size limit, then the library's save of
    # the sections it sets. Each says why: the library's save reports only a
    # failed write.
    for case in "400:36:cannot be updated: the file-size limit was reached" \
                "0:24:the library could not save the work copy: the file-size limit was reached"; do
        IFS=: read -r other kib _ <<<"$case"
        d=$(scratch)
        gen ini n=60 other="$other" >"$d/valdra.ini"
        cp "$d/valdra.ini" "$top/orig"
        seq -f 'Unit%g' 0 99 | gen rows value=123456 >"$d/valdra.csv"
        with=(prlimit --fsize=$((kib * 1024)))
        run "$d" csvtoini
        expect_status 1 "csvtoini under a ${kib} KiB file limit"
        said "valdra.ini: ${case#*:*:}"
        same "$d/valdra.ini" "$top/orig"
        only "$d" valdra.ini valdra.csv
    done ;;
csvtoini.fulldisk)
    # On a full disk both programs say so and leave their files whole: room
    # for the library's save of the sections it sets but not for the updated
    # file, then not even for that save.
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: mounting a small disk needs root"; exit 0; }
    d=$(scratch)
    mount -t tmpfs -o size=128k tmpfs "$d" 2>/dev/null || { echo "SKIP: cannot mount a tmpfs"; exit 0; }
    trap 'umount "$d"; rm -rf "$top"' EXIT
    gen ini n=40 other=100 >"$d/valdra.ini"   # about 18 KiB; the new sections about 27 KiB
    cp "$d/valdra.ini" "$top/orig"
    seq -f 'Unit%g' 0 99 | gen rows value=123456 >"$d/valdra.csv"
    cp "$d/valdra.csv" "$top/csv"
    for case in "32:cannot be updated" "16:the library could not save the work copy" "0:"; do
        free=${case%%:*}
        rm -f "$d/filler"
        avail=$(df -k --output=avail "$d" | tail -1)
        head -c $(((avail - free) * 1024)) /dev/zero >"$d/filler" 2>/dev/null
        if [ $free = 0 ]; then
            run "$d" initocsv
            expect_status 1 "initocsv on a full disk"
            said "valdra.csv: cannot be written: the disk is full"
        else
            run "$d" csvtoini
            expect_status 1 "csvtoini with $free KiB free"
            said "valdra.ini: ${case#*:}: the disk is full"
        fi
        same "$d/valdra.ini" "$top/orig"
        same "$d/valdra.csv" "$top/csv"
        only "$d" valdra.ini valdra.csv filler
    done ;;
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
