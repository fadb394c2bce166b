# Helpers for tests that drive the built programs in scratch folders.
# BIN must name the folder that holds the built programs.

set -u
: "${BIN:?BIN must name the folder of the built programs}"

fails=0
here=$(cd "$(dirname "$0")" && pwd)

# fail MESSAGE: record a failure and say what it was.
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

# scratch: print a new empty folder that is removed when the test ends.
scratch() {
    local d
    d=$(mktemp -d "${TMPDIR:-/tmp}/valdra-test.XXXXXX")
    echo "$d" >>"$scratch_list"
    echo "$d"
}
scratch_list=$(mktemp)
trap 'xargs -r rm -rf <"$scratch_list"; rm -f "$scratch_list"' EXIT

# Words that run puts before the program: an environment or a limit. Empty
# unless a test sets it for a run.
with=()

# A prefix for with that makes the library's start fail.
failing_start=(env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$BIN/tests/libfailstart.so")

# run DIR PROG [ARGS...]: run a built program in DIR; its status lands in
# $status and what it wrote on standard error in $message. A run that
# succeeds prints nothing; one that fails prints one line on standard error,
# which names the program and says that its output file was not changed.
run() {
    local dir=$1 prog=$2
    shift 2
    (cd "$dir" && "${with[@]}" "$BIN/$prog" "$@" >"$dir.out" 2>"$dir.err")
    status=$?
    message=$(cat "$dir.err")
    [ -s "$dir.out" ] && fail "$prog printed on stdout: $(head -c 200 "$dir.out")"
    if [ "$status" -eq 0 ]; then
        [ -s "$dir.err" ] && fail "$prog succeeded but printed: $(head -c 200 "$dir.err")"
    elif [ "$(wc -l <"$dir.err")" -ne 1 ] ||
        ! grep -qE "^$prog: .*; valdra\.(ini|csv) not changed\$" "$dir.err"; then
        fail "$prog failed without its one line of reason: $(head -c 300 "$dir.err")"
    fi
    rm -f "$dir.out" "$dir.err"
}

# said TEXT: the failed run's message must contain TEXT.
said() {
    case $message in *"$1"*) ;; *) fail "message lacks '$1': $message" ;; esac
}

# eol FILE: give FILE, written with LF line ends, the line end that the
# programs write on this platform (LINE_END=crlf: CR LF).
eol() {
    [ "${LINE_END:-lf}" = crlf ] && sed -i 's/\r\?$/\r/' "$1"
    return 0
}

# same ACTUAL EXPECTED [WHAT]: the two files must hold the same bytes.
same() {
    cmp -s "$1" "$2" || { fail "${3:-$1} differs from $2"; diff "$2" "$1" | head -20; }
}

# only DIR NAME...: DIR must hold exactly the named entries, no leftovers.
only() {
    local dir=$1
    shift
    local have want
    have=$(ls -A "$dir" | sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$have" = "$want" ] || fail "$dir holds $have, want $want"
}

# expect_status WANT WHAT: $status must be WANT ("nonzero" for any failure).
expect_status() {
    if [ "$1" = nonzero ]; then
        [ "$status" -ne 0 ] || fail "$2: exit status 0, want non-zero"
    else
        [ "$status" -eq "$1" ] || fail "$2: exit status $status, want $1"
    fi
}

header='Name,Move,Cost,R Min,R Max,H Land,H Air,H Sea,A Gun,A Fire,A Bomb,D Gun,D Fire,D Bomb,Crimson,Cobalt,Pine,Tech,'

# units N [GAPS]: an INI file listing N units; see units.awk.
units() {
    awk -v n="$1" -v gaps="${2:-}" -f "$here/units.awk"
}

# finish: end the test with its verdict.
finish() {
    [ "$fails" -eq 0 ] || { echo "$fails check(s) failed"; exit 1; }
    exit 0
}
