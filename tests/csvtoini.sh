#!/bin/bash
# csvtoini.sh BIN GROUP: the csvtoini cases that need generated files or a
# particular environment.
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

# row NAME VALUE: a sheet row of NAME, CR LF ended, with VALUE in every
# column but the can-hit ones, which hold 1 so that they read back the same.
row() {
    printf '%s' "$1"
    printf ",$2%.0s" 1 2 3 4
    printf ',1,1,1'
    printf ",$2%.0s" $(seq 10)
    printf ',\r\n'
}

case $group in
roundtrip)
    # A sheet that initocsv wrote converts back into the same values, and
    # every unit section ends up with all fifteen keys.
    d=$(scratch)
    units 100 gaps >"$d/valdra.ini"
    run "$d" initocsv
    cp "$d/valdra.csv" "$d.first"
    run "$d" csvtoini
    expect_status 0 "csvtoini of 100 units"
    run "$d" initocsv
    same "$d/valdra.csv" "$d.first" "sheet after the round trip"
    keys_per_section "$d/valdra.ini" | grep -v '^\[unitnames\] 0$' | grep -v ' 15$' |
        while read -r line; do fail "section without its 15 keys: $line"; done
    # A sheet that changes nothing leaves the file as it is, not even
    # rewritten.
    before=$(stat -c %i:%Y:%s "$d/valdra.ini")
    sleep 1
    run "$d" csvtoini
    [ "$(stat -c %i:%Y:%s "$d/valdra.ini")" = "$before" ] || fail "an unchanged sheet rewrote valdra.ini"
    only "$d" valdra.ini valdra.csv ;;
longrows)
    # Rows of any length read whole: a full row of the widest values, and
    # rows whose extra fields run to thousands of bytes, which are ignored.
    d=$(scratch)
    name=$(printf 'N%.0s' $(seq 59))
    note=$(printf 'x%.0s' $(seq 5000))
    { printf '%s%s\r\n' "$header" "$note"
      row "$name" -2147483648
      row Wide 1 | tr -d '\r\n'; printf '9,%.0s' $(seq 1000); printf '\r\n'
      row Noted 5 | tr -d '\r\n'; printf '%s\r\n' "$note"
      row Tail 7; } >"$d/valdra.csv"
    run "$d" csvtoini
    run "$d" initocsv
    { echo "$header"; row "$name" -2147483648; row Wide 1; row Noted 5; row Tail 7; } | tr -d '\r' >"$d.want"
    eol "$d.want"
    same "$d/valdra.csv" "$d.want" "sheet of long rows" ;;
encodings)
    # A sheet reads as the same units in every encoding spreadsheets save:
    # UTF-8 with and without a byte-order mark, UTF-16 either way round with
    # one, and Windows-1252.
    d=$(scratch)
    { echo "$header"; row Panzér 3; row Ärger-Öl 4; row "Œuvre €" 5 | sed 's/ //'; } >"$d.utf8"
    cp "$d.utf8" "$d/valdra.csv"
    run "$d" csvtoini
    expect_status 0 "UTF-8 sheet"
    cp "$d/valdra.ini" "$d.want"
    for enc in bom UTF-16LE UTF-16BE WINDOWS-1252; do
        rm "$d/valdra.ini"
        case $enc in
        bom) { printf '\357\273\277'; cat "$d.utf8"; } ;;
        UTF-16LE) { printf '\377\376'; iconv -f UTF-8 -t $enc "$d.utf8"; } ;;
        UTF-16BE) { printf '\376\377'; iconv -f UTF-8 -t $enc "$d.utf8"; } ;;
        *) iconv -f UTF-8 -t $enc "$d.utf8" ;;
        esac >"$d/valdra.csv"
        run "$d" csvtoini
        expect_status 0 "$enc sheet"
        same "$d/valdra.ini" "$d.want" "valdra.ini from a $enc sheet"
    done ;;
refusals)
    # A sheet that cannot be read as it was meant changes nothing and says
    # where and why; each entry is a sheet's text and the message's middle.
    d=$(scratch)
    cp "$here/cases/update/valdra.ini" "$d/"
    long=$(printf 'L%.0s' $(seq 252))é
    while IFS='|' read -r text want; do
        printf "$text" | sed "s/HEADER/$header/; s/LONGNAME/$long/" >"$d/valdra.csv"
        run "$d" csvtoini
        expect_status 1 "sheet $text"
        [ "$message" = "csvtoini: valdra.csv$want; valdra.ini not changed" ] ||
            fail "sheet $text: message $message"
        same "$d/valdra.ini" "$here/cases/update/valdra.ini"
    done <<'EOT'
HEADER\nGood,1\n,5,6\n| line 3: empty name, but the row holds values
HEADER\nGood,1\n,,,,,,,,,,,,,,,,,,\nLate\000,1\n| line 4: the row holds a NUL byte
HEADER\nGood,1\nLate,1,\000\n| line 3: the row holds a NUL byte
HEADER\n Lead,1\n| line 2: the name " Lead" begins or ends with a blank
HEADER\n"Trail ",1\n| line 2: the name "Trail " begins or ends with a blank
HEADER\nWide\343\200\200Gap,1\n| line 2: the name "Wide　Gap" cannot be a section header: it holds a blank, '=', '#' or ']', or begins with '['
HEADER\nGood,1\n"Gun\n\nboat,1\nTail,2\n| line 3: a quoted field begins here and is never closed
HEADER\r\n"A\r\nB",1\r\n| line 2: the name "A\r\nB" cannot be a section header: it holds a blank, '=', '#' or ']', or begins with '['
Name,Move,Cost\nGood,1,2\n| line 1: the header has no column "R Min"
Tech,Move\nGood,1,2\n| line 1: the header has no column "Name"
HEADERcost\nGood,1\n| line 1: the header has the column "Cost" twice
Tank,1,2,3\n| line 1: not a header: it names none of the columns Name, Move, ... Tech
\n\nHEADER\n| line 1: not a header: it names none of the columns Name, Move, ... Tech
HEADER\nGood,1\nBad,1.700\n| line 3: Move is "1.700", not a whole number
HEADER\nBad,1,"1,700"\n| line 2: Cost is "1,700", not a whole number
HEADER\nBad,1,2,3.9\n| line 2: R Min is "3.9", not a whole number
HEADER\nBad,12abc\n| line 2: Move is "12abc", not a whole number
HEADER\nBad,abc\n| line 2: Move is "abc", not a whole number
HEADER\nBad,$700\n| line 2: Move is "$700", not a whole number
HEADER\nBad,50%%\n| line 2: Move is "50%", not a whole number
HEADER\nBad,0x1F\n| line 2: Move is "0x1F", not a whole number
HEADER\nBad,- 1\n| line 2: Move is "- 1", not a whole number
HEADER\nBad,99999999999\n| line 2: Move is "99999999999", beyond -2147483648 to 2147483647
HEADER\nBad,-2147483649\n| line 2: Move is "-2147483649", beyond -2147483648 to 2147483647
HEADER\nBad,1,2,3,4,2\n| line 2: H Land is "2", not 0 or 1
HEADER\nBad,1,2,3,4,0,-1\n| line 2: H Air is "-1", not 0 or 1
HEADER\nTank,1\nJeep,2\ntank,2\n| line 4: "tank" names the section of line 2 ("Tank"), but with other values
HEADER\nTank,1\nTank,1\nTank,3\n| line 4: "Tank" names the section of line 2 ("Tank"), but with other values
HEADER\nUnitNames,1\n| line 2: the name "UnitNames" is that of the list of units, [unitnames]
HEADER\nLONGNAME,1\n| line 2: the name "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL..." is longer than 253 bytes, which the library cannot look up
\357\273\277HEADER\nK\303\244fer,1,,,,,,,,,,,,,,,,,note \226\n| line 2: a byte here is not UTF-8, though the sheet begins as UTF-8
Name;Move;Cost\nGood;1;2\n| line 1: the header has no column "R Min"
\377\376N\000a|: begins as UTF-16 but is not valid UTF-16
\376\377\000N\334\000|: begins as UTF-16 but is not valid UTF-16
EOT
    head -c $((4 * 1024 * 1024 + 1)) /dev/zero >"$d/valdra.csv"
    run "$d" csvtoini
    [ "$message" = "csvtoini: valdra.csv: is larger than 4 MiB; valdra.ini not changed" ] ||
        fail "a sheet too large: $message" ;;
capacity)
    # Only 100 units fit; names are kept whole up to the 253 bytes by which
    # the library can still look a section up.
    d=$(scratch)
    units 150 >"$d/valdra.ini"
    long=$(printf 'L%.0s' $(seq 251))é
    mid=$(printf 'a%.0s' $(seq 58))é$(printf 'b%.0s' $(seq 20))
    { echo "$header"; row "$long" 1; row "$mid" 2
      for i in $(seq 2 149); do row "R$i" 3; done; } >"$d/valdra.csv"
    run "$d" csvtoini
    expect_status 0 "150 rows"
    grep -q $'^unit149 = U149\r\\?$' "$d/valdra.ini" || fail "a full table removed the list's tail"
    grep -q '^unit99 = R99' "$d/valdra.ini" || fail "unit99 is not R99"
    grep -q $'^unit100 = U100\r\\?$' "$d/valdra.ini" || fail "a 101st unit was written"
    run "$d" initocsv
    { printf '\357\273\277%s\n' "$header"; row "$long" 1; row "$mid" 2
      for i in $(seq 2 99); do row "R$i" 3; done; } | tr -d '\r' >"$d.want"
    eol "$d.want"
    same "$d/valdra.csv" "$d.want" "sheet of 150 rows" ;;
separators)
    # The separator is whichever of comma, semicolon and tab splits the
    # header into every caption, quotes respected, whatever a caption of
    # another column holds.
    d=$(scratch)
    cp "$here/cases/update/valdra.ini" "$d/"
    { echo "$header"; row Tank 4; } >"$d/valdra.csv"
    run "$d" csvtoini
    cp "$d/valdra.ini" "$d.want"
    semi=$(echo "$header" | tr , ';')
    tab=$(echo "$header" | tr , '\t')
    quoted=$(echo "$header" | sed 's/\([^,]*\),/"\1";/g')
    while IFS='|' read -r head sep; do
        cp "$here/cases/update/valdra.ini" "$d/"
        lead=""
        case $head in '"a,b,c"'* | '"Notes, misc";N'*) lead="a note$sep" ;; esac
        { printf '%s\n' "$head"; printf '%s' "$lead"; row Tank 4 | tr , "$sep"; } >"$d/valdra.csv"
        run "$d" csvtoini
        expect_status 0 "the header $head"
        same "$d/valdra.ini" "$d.want" "valdra.ini from the header $head"
    done <<EOT
$semi"Notes, misc";|;
$semi Notes, misc|;
"Notes, misc";$semi|;
$quoted"Notes, misc"|;
$tab"Notes, misc"	|	
"a,b,c"	$tab|	
EOT
    ;;
limits)
    # 100 full units behind 2,000 other sections are updated, every value
    # changed, in bounded time; a file past the limits of lines or sections
    # is refused at once, and says which limit.
    d=$(scratch)
    { awk 'BEGIN { for (i = 0; i < 2000; i++) { print "[Rules" i "]"; for (j = 0; j < 5; j++) print "rule" j " = " i; print "" } }'
      units 100; } >"$d/valdra.ini"
    { echo "$header"; for i in $(seq 0 99); do row "U$i" 7; done; } >"$d/valdra.csv"
    with=(timeout 30)
    run "$d" csvtoini
    expect_status 0 "100 units and 2,000 other sections"
    [ "$(grep -c '^move = 7' "$d/valdra.ini")" = 100 ] || fail "not every unit was updated"
    for limit in "50,000 lines" "5,000 sections"; do
        case $limit in
        *lines) awk 'BEGIN { for (i = 0; i <= 50000; i++) print "# " i }' ;;
        *) awk 'BEGIN { for (i = 0; i <= 5000; i++) print "[S" i "]" }' ;;
        esac >"$d/valdra.ini"
        cp "$d/valdra.ini" "$d.orig"
        with=(timeout 3)
        run "$d" csvtoini
        expect_status 1 "a file of more than $limit"
        said "valdra.ini: it has more than $limit"
        same "$d/valdra.ini" "$d.orig"
    done ;;
fullsave)
    # A save that cannot complete leaves valdra.ini as it was and no copy:
    # first the copy of a file over the size limit, then a save that grows
    # past it.
    # Each says why: the library's save reports only a failed write.
    for case in "8:cannot be updated: the file-size limit was reached" \
                "24:the library could not save the work copy: the file-size limit was reached"; do
        kib=${case%%:*}
        d=$(scratch)
        units 60 >"$d/valdra.ini"
        cp "$d/valdra.ini" "$d.orig"
        { echo "$header"; for i in $(seq 0 99); do row "Unit$i" 123456; done; } >"$d/valdra.csv"
        with=(prlimit --fsize=$((kib * 1024)))
        run "$d" csvtoini
        expect_status 1 "csvtoini under a ${kib} KiB file limit"
        said "valdra.ini: ${case#*:}"
        same "$d/valdra.ini" "$d.orig"
        only "$d" valdra.ini valdra.csv
    done ;;
fulldisk)
    # On a full disk both programs say so and leave their files whole: no
    # room for the work copy, then room for the copy but not for the save.
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: mounting a small disk needs root"; exit 0; }
    d=$(scratch)
    mount -t tmpfs -o size=128k tmpfs "$d" 2>/dev/null || { echo "SKIP: cannot mount a tmpfs"; exit 0; }
    units 40 >"$d/valdra.ini"   # about 8 KiB, about 12 KiB once saved
    cp "$d/valdra.ini" "$d.orig"
    { echo "$header"; for i in $(seq 0 99); do row "Unit$i" 123456; done; } >"$d/valdra.csv"
    cp "$d/valdra.csv" "$d.csv"
    for case in "4:cannot be updated" "16:the library could not save the work copy" "0:"; do
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
        same "$d/valdra.ini" "$d.orig"
        same "$d/valdra.csv" "$d.csv"
        only "$d" valdra.ini valdra.csv filler
    done
    umount "$d" ;;
links)
    # A link to the INI file stays a link, the file it names is updated, and
    # it keeps its permission bits; so does a file without a link.
    d=$(scratch)
    mkdir "$d/data"
    printf '[unitnames]\nunit0 = Old\n' >"$d/data/units.ini"
    chmod 640 "$d/data/units.ini"
    ln -s data/units.ini "$d/valdra.ini"
    { echo "$header"; row Scout 3; } >"$d/valdra.csv"
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
    run "$d" csvtoini
    [ "$(stat -c %a "$d/valdra.ini")" = 604 ] || fail "valdra.ini lost its mode"
    rm "$d/valdra.ini"
    mask=$(umask)
    umask 027
    run "$d" csvtoini
    umask "$mask"
    [ "$(stat -c %a "$d/valdra.ini")" = 640 ] || fail "a new valdra.ini ignores the umask" ;;
failstart)
    # When the library does not start, no file is touched.
    d=$(scratch)
    cp "$here/cases/update/valdra.csv" "$here/cases/update/valdra.ini" "$d/"
    with=("${failing_start[@]}")
    run "$d" csvtoini
    expect_status nonzero "library start fails"
    same "$d/valdra.ini" "$here/cases/update/valdra.ini" ;;
*)
    fail "no group $group" ;;
esac
finish
