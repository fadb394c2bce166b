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
csvtoini.fullsave)
    # A save that cannot complete leaves both files as they were and no
    # copy: the updated file over the size limit, the library's save of the
    # sections it sets, a sheet. Each says why: the library's save reports
    # only a failed write.
    for case in "csvtoini:400:36:valdra.ini: cannot be updated: the file-size limit was reached" \
                "csvtoini:0:24:valdra.ini: the library could not save the work copy: the file-size limit was reached" \
                "initocsv:0:4:valdra.csv: cannot be written: the file-size limit was reached"; do
        IFS=: read -r prog other kib _ <<<"$case"
        d=$(scratch)
        gen ini n=60 other="$other" >"$d/valdra.ini"
        seq -f 'Unit%g' 0 99 | gen rows value=123456 >"$d/valdra.csv"
        cp "$d"/valdra.* "$top/"
        with=(prlimit --fsize=$((kib * 1024)))
        run "$d" $prog
        expect_status 1 "$prog under a ${kib} KiB file limit"
        said "${case#*:*:*:}"
        same "$d/valdra.ini" "$top/valdra.ini"
        same "$d/valdra.csv" "$top/valdra.csv"
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
