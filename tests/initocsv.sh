#!/bin/bash
# initocsv.sh BIN GROUP: the initocsv cases that need generated files or a
# particular environment.
BIN=$(cd "$1" && pwd)
group=$2
. "$(dirname "$0")/lib.sh"

# sheet N: the sheet that units N must give.
sheet() {
    awk -v n="$1" -v h="$header" 'BEGIN {
        print h
        for (i = 0; i < n; i++) {
            c = i % 8; row = "U" i
            for (j = 1; j <= 4; j++) row = row "," (i * 100 + j)
            row = row "," c % 2 "," int(c / 2) % 2 "," int(c / 4)
            for (j = 6; j <= 15; j++) row = row "," (i * 100 + j)
            print row ","
        }
    }'
}

case $group in
capacity)
    # A full table is written whole; a longer list stops at the 100th unit.
    for n in 100 150; do
        d=$(scratch)
        units $n >"$d/valdra.ini"
        run "$d" initocsv
        expect_status 0 "$n units"
        sheet 100 >"$d.want"
        eol "$d.want"
        same "$d/valdra.csv" "$d.want" "sheet of $n listed units"
    done ;;
longname)
    # Names are written whole up to the 253 bytes by which the library can
    # look a section up; a longer listed name would lose its unit's values,
    # so it is refused, naming the unit, and the old sheet stays.
    d=$(scratch)
    long=$(printf 'L%.0s' $(seq 251))é
    utf=$(printf 'a%.0s' $(seq 58))é$(printf 'b%.0s' $(seq 20))
    printf '[unitnames]\nunit0=%s\nunit1=%s\n\n[%s]\nmove=7\n\n[%s]\nmove=8\n' \
        "$long" "$utf" "$long" "$utf" >"$d/valdra.ini"
    run "$d" initocsv
    expect_status 0 "long names"
    printf '\357\273\277%s\n%s,7,0,0,0,0,0,0,0,0,0,0,0,0,1,1,1,2,\n%s,8,0,0,0,0,0,0,0,0,0,0,0,0,1,1,1,2,\n' \
        "$header" "$long" "$utf" >"$d.want"
    eol "$d.want"
    same "$d/valdra.csv" "$d.want" "sheet with long names"
    cp "$d/valdra.csv" "$d.csv"
    printf '[unitnames]\nunit0=Tank\nunit1=%s\n' "L$long" >"$d/valdra.ini"
    run "$d" initocsv
    expect_status 1 "a name of 254 bytes"
    [ "$message" = "initocsv: valdra.ini: the name of unit1, \"$(printf 'L%.0s' $(seq 40))...\", is longer than 253 bytes, which the library cannot look up; valdra.csv not changed" ] ||
        fail "a name of 254 bytes: $message"
    same "$d/valdra.csv" "$d.csv" ;;
numbers)
    # Numbers read as the 32-bit game reads them, on every platform: the
    # text converted as strtol converts on a 32-bit long, which saturates.
    d=$(scratch)
    printf '[unitnames]\nunit0=Big\n[Big]\nmove=0xFFFFFFFF\nprice=4294967297\nrangemin=-4294967297\nrangemax=010\ncanhit=99999999999999999999\nattack0=0x10\nattack1=12abc\nattack2=\nresist0=-0x80000000\n' >"$d/valdra.ini"
    run "$d" initocsv
    printf '%s\nBig,2147483647,2147483647,-2147483648,8,1,1,1,16,12,0,-2147483648,0,0,1,1,1,2,\n' "$header" >"$d.want"
    eol "$d.want"
    same "$d/valdra.csv" "$d.want" "sheet of numbers beyond 32 bits" ;;
unwritable)
    # A sheet that cannot be written is a failure, whatever the cause.
    d=$(scratch)
    cp "$here/../examples/valdra.ini" "$d/"
    mkdir "$d/valdra.csv"
    run "$d" initocsv
    expect_status nonzero "sheet is a folder"
    rmdir "$d/valdra.csv"
    ln -s /dev/full "$d/valdra.csv"
    run "$d" initocsv
    expect_status nonzero "disk full"
    same "$d/valdra.ini" "$here/../examples/valdra.ini" ;;
display)
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
failstart)
    # When the library does not start, no file is touched.
    d=$(scratch)
    cp "$here/../examples/valdra.ini" "$d/"
    echo "old sheet" >"$d/valdra.csv"
    with=("${failing_start[@]}")
    run "$d" initocsv
    expect_status nonzero "library start fails"
    same "$d/valdra.ini" "$here/../examples/valdra.ini"
    [ "$(cat "$d/valdra.csv")" = "old sheet" ] || fail "sheet was touched" ;;
*)
    fail "no group $group" ;;
esac
finish
