# Helpers for tests that drive the built programs, in $BIN, in scratch folders.
set -u
: "${BIN:?BIN must name the folder of the built programs}"

fails=0
here=$(cd "$(dirname "$0")" && pwd)
# Everything a test writes lives in this folder, removed when the test ends;
# tests run programs as other users too.
top=$(mktemp -d "${TMPDIR:-/tmp}/valdra-test.XXXXXX")
chmod 755 "$top"
trap 'chmod -R u+rwx "$top" 2>/dev/null; rm -rf "$top"' EXIT
header='Name,Move,Cost,R Min,R Max,H Land,H Air,H Sea,A Gun,A Fire,A Bomb,D Gun,D Fire,D Bomb,Crimson,Cobalt,Pine,Tech,'
ex=$here/cases/example
# Words that run puts before the program, an environment or a limit.
with=()

# fail MESSAGE: record a failure and say what it was.
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

# scratch: print a new empty folder inside the test's own.
scratch() { mktemp -d "$top/s.XXXXXX"; }

# finish: end the test with its verdict.
finish() {
    [ "$fails" -eq 0 ] || { echo "$fails check(s) failed"; exit 1; }
    exit 0
}

# aged DIR: the files in DIR (through links) written in the last seconds now
# look a minute old, but for the one named $fresh, which a writer at work is
# writing. A program waits until a file written a moment ago keeps still; a
# user's files were saved long before.
fresh=/
aged() {
    local now
    now=$(date +%s)
    find -L "$1" -maxdepth 1 -type f ! -name "$fresh" -newermt "@$((now - 2))" \
        -exec touch -c -d "@$((now - 60))" {} + 2>/dev/null
    return 0
}

# run DIR PROG [ARGS...]: run a built program in DIR; its status lands in
# $status and what it wrote on standard error in $message. A run that
# succeeds prints nothing; one that fails prints one line on standard error,
# which names the program and says that its output file was not changed.
run() {
    local dir=$1 prog=$2
    shift 2
    local out=$top/out.$BASHPID err=$top/err.$BASHPID
    aged "$dir"
    (cd "$dir" && "${with[@]}" "$BIN/$prog" "$@" >"$out" 2>"$err")
    status=$?
    message=$(cat "$err")
    [ -s "$out" ] && fail "$prog printed on stdout: $(head -c 200 "$out")"
    if [ "$status" -eq 0 ]; then
        [ -s "$err" ] && fail "$prog succeeded but printed: $(head -c 200 "$err")"
    elif [ "$(wc -l <"$err")" -ne 1 ] || ! grep -qE "^$prog: .*; valdra\.(ini|csv) not changed\$" "$err"; then
        fail "$prog failed without its one line of reason: $(head -c 300 "$err")"
    fi
}

# expect_status WANT WHAT: $status must be WANT.
expect_status() { [ "$status" -eq "$1" ] || fail "$2: exit status $status, want $1"; }

# told TEXT: the failed run's message must be TEXT.
told() { [ "$message" = "$1" ] || fail "message: $message, want $1"; }

# refused PROG TEXT: the failed run of PROG must have said TEXT, and that
# its output file was not changed.
refused() { told "$1: $2; $([ "$1" = csvtoini ] && echo valdra.ini || echo valdra.csv) not changed"; }

# said TEXT: the failed run's message must contain TEXT.
said() { case $message in *"$1"*) ;; *) fail "message lacks '$1': $message" ;; esac; }

# allowed WHAT TEXT...: a failed run's message must hold one of the texts.
allowed() {
    local what=$1 t
    shift
    [ "$status" -eq 0 ] && return
    for t in "$@"; do case $message in *"$t"*) return ;; esac; done
    fail "$what: $message"
}

# same ACTUAL EXPECTED [WHAT]: the two files must hold the same bytes.
same() { cmp -s "$1" "$2" || { fail "${3:-$1} differs from $2"; diff "$2" "$1" | head -20; }; }

# one_of FILE WHAT CANDIDATE...: FILE must be there and hold the bytes of
# one of the candidates, whole.
one_of() {
    local file=$1 what=$2 c
    shift 2
    [ -f "$file" ] || { fail "$what: $(basename "$file") is gone"; return; }
    for c in "$@"; do cmp -s "$file" "$c" && return; done
    fail "$what: $(basename "$file") holds none of the versions it may hold"
}

# only DIR NAME...: DIR must hold exactly the named entries, no leftovers.
only() {
    local dir=$1 have want
    shift
    have=$(ls -A "$dir" | sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | sort -u | tr '\n' ' ')
    [ "$have" = "$want" ] || fail "$dir holds $have, want $want"
}

# eol FILE: give FILE, written with LF line ends, the line end that the
# programs write on this platform (LINE_END=crlf: CR LF).
eol() {
    [ "${LINE_END:-lf}" = crlf ] && sed -i 's/\r\?$/\r/' "$1"
    return 0
}

# gen WHAT [VAR=VALUE...]: a generated INI file or sheet; see gen.awk.
gen() {
    local what=$1 vars=() v
    shift
    for v in "$@"; do vars+=(-v "$v"); done
    awk -v what="$what" "${vars[@]}" -f "$here/gen.awk"
}

# side_by_side CMD...: run the shell commands at once, each in a shell of
# its own and folders of its own, and count their failures with the test's;
# for tests that mostly wait.
side_by_side() {
    local cmd pids=() p
    for cmd in "$@"; do
        (before=$fails; eval "$cmd"; exit $((fails - before))) & pids+=($!)
    done
    for p in "${pids[@]}"; do
        wait "$p"
        fails=$((fails + $?))
    done
}

# at_once CMD1 CMD2 WHAT: run two shell commands at once; both must succeed
# and print nothing.
at_once() {
    local at1=$top/at1.$BASHPID at2=$top/at2.$BASHPID
    (eval "$1") >"$at1" 2>&1 & local p1=$!
    (eval "$2") >"$at2" 2>&1 & local p2=$!
    wait $p1; local s1=$?
    wait $p2; local s2=$?
    [ $s1 -eq 0 ] && [ $s2 -eq 0 ] && [ ! -s "$at1" ] && [ ! -s "$at2" ] ||
        fail "$3: exit status $s1 and $s2: $(cat "$at1" "$at2")"
}

# take_turns TURNS START DIR CMD1 CMD2 WANT...: TURNS times, with START as
# valdra.ini in DIR, run both commands at once; each time valdra.ini must
# then be one of WANT, what the runs one after the other make of it.
take_turns() {
    local i
    for i in $(seq "$1"); do
        cp "$2" "$3/valdra.ini"
        aged "$3"
        at_once "$4" "$5" "run $i"
        one_of "$3/valdra.ini" "valdra.ini after run $i" "${@:6}"
    done
    only "$3" valdra.ini valdra.csv
}

# sheet_and_ini DIR: the example's files in DIR, the sheet edited.
sheet_and_ini() {
    cp "$ex/valdra.ini" "$ex/expect/valdra.csv" "$1/"
    sed -i 's/^Tank,5,700,/Tank,6,750,/' "$1/valdra.csv"
}

# versions: in $v, which holds orig.ini, sheet0 and sheet1, the INI file
# that csvtoini makes of orig.ini with each sheet (ini0, ini1) and the sheet
# that initocsv writes anew of it (csv0, csv1).
versions() {
    local i
    for i in 0 1; do
        cp "$v/orig.ini" "$v/valdra.ini"
        cp "$v/sheet$i" "$v/valdra.csv"
        run "$v" csvtoini
        rm "$v/valdra.csv"
        run "$v" initocsv
        cp "$v/valdra.ini" "$v/ini$i"
        cp "$v/valdra.csv" "$v/csv$i"
    done
}

# two_versions: $v, a folder holding versions of the example's files: two
# sheets that differ in every value, and ini0, ini1, csv0 and csv1 of them;
# orig.ini, valdra.csv and what csvtoini makes of them (ini-example); and
# $d, a new folder holding orig.ini as valdra.ini.
two_versions() {
    local i
    v=$(scratch)
    cp "$ex/valdra.ini" "$v/orig.ini"
    for i in 0 1; do
        sed "2,\$ s/^\([^,]*\),[0-9]*,[0-9]*,/\1,$((i + 4)),$((i * 100 + 300)),/" "$ex/expect/valdra.csv" >"$v/sheet$i"
        eol "$v/sheet$i"
    done
    versions
    cp "$v/orig.ini" "$v/valdra.ini"
    cp "$ex/expect/valdra.csv" "$v/valdra.csv"
    eol "$v/valdra.csv"
    run "$v" csvtoini
    mv "$v/valdra.ini" "$v/ini-example"
    d=$(scratch)
    cp "$v/orig.ini" "$d/valdra.ini"
}

# writer DIR FILE FROM...: in the background for 60 s, a program that saves
# FILE in DIR in place every 0.7 s, as scripts, editors and the game do: it
# empties the file, then writes the bytes of each FROM in turn in 512-byte
# pieces 1 ms apart, or WRITER_PAUSE seconds after the first, as a stalled
# download or network drive does, holding the file. Under Wine, a Windows
# program; its pid lands in $writer_pid.
writer() {
    local dir=$1 file=$2
    shift 2
    if [ "${LINE_END:-lf}" = crlf ]; then
        local from=() f
        for f in "$@"; do from+=("Z:$(echo "$f" | tr / '\\')"); done
        (cd "$dir" && exec wine "$BIN/../tests/neighbour.exe" write 60 "$file" "${from[@]}") &
    else
        python3 - "$dir/$file" "$@" <<'PY' &
import os, sys, time
file, versions = sys.argv[1], [open(f, "rb").read() for f in sys.argv[2:]]
end, i, pause = time.time() + 60, 0, float(os.environ.get("WRITER_PAUSE", "0"))
while time.time() < end:
    with open(file, "r+b", buffering=0) as f:
        f.truncate(0)
        data = versions[i % len(versions)]
        for at in range(0, len(data), 512):
            f.write(data[at:at + 512])
            time.sleep(pause if at == 0 else 0.001)
    i += 1
    time.sleep(0.7)
PY
    fi
    writer_pid=$!
    fresh=$file
}
