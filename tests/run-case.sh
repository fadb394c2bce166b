#!/bin/bash
# run-case.sh BIN CASE: run one data-driven case. CASE holds the input files,
# a file "run" whose lines are the steps, each a program and its arguments,
# and a folder "expect" with the files the run must leave, byte for byte,
# plus optionally "status" (the last step's exit status, 0 if absent; the
# steps before it must succeed), "message" (the line a failed run prints),
# "absent" (inputs that must be gone) and "seconds" (the time each step may
# take); the folder holds nothing else, and an input left as it was must not
# have been written again. A file NAME.gen, among the inputs or the expected
# files, stands for the file NAME that gen.awk makes of it: its first line
# holds gen's arguments, the lines after it gen's input. A file "only" names
# the one platform where the case runs, posix or windows; a file "env" holds
# the environment of the steps, VAR=VALUE words, @BIN@ standing for BIN.
# A case with a file "table" runs once for each of its lines, "TEXT|MESSAGE":
# valdra.csv holds TEXT as printf makes it, HEADER standing for the header
# (MISSING: there is no valdra.csv); the run prints MESSAGE, or succeeds where
# that is empty. A case with a folder "sheets" runs once for each file in
# it, as valdra.csv.
BIN=$(cd "$1" && pwd)
case_dir=$2
. "$(dirname "$0")/lib.sh"
platform=posix
[ "${LINE_END:-lf}" = crlf ] && platform=windows
[ "$(cat "$case_dir/only" 2>/dev/null || echo $platform)" = $platform ] || { echo "SKIP: a case for another platform"; exit 0; }

# made FILE OUT: the file FILE, or the one that FILE.gen stands for, in OUT.
made() {
    local args
    if [ "${1%.gen}" = "$1" ]; then cp -L "$1" "$2"; else { read -r -a args; gen "${args[@]}"; } <"$1" >"$2"; fi
}

# The inputs, each made once.
in=$top/in
mkdir "$in"
for f in "$case_dir"/*; do
    name=$(basename "${f%.gen}")
    case $name in run | expect | table | sheets | only | env) ;; *) made "$f" "$in/$name" ;; esac
done
[ -f "$case_dir/expect/seconds" ] && with=(timeout "$(cat "$case_dir/expect/seconds")")
[ -f "$case_dir/env" ] && with=(env $(sed "s|@BIN@|$BIN|g" "$case_dir/env") "${with[@]}")

# check_case STATUS MESSAGE: run the steps in a fresh copy of the inputs
# and compare what they leave.
check_case() {
    local dir f name want input placed stamps
    dir=$(scratch)
    cp "$in"/* "$dir/" 2>/dev/null
    [ -n "${text+set}" ] && [ "$text" != MISSING ] && printf "${text//HEADER/$header}" >"$dir/valdra.csv"
    [ -n "${sheet:-}" ] && cp "$sheet" "$dir/valdra.csv"
    placed=$(ls "$dir")
    rm -rf "$top/was" && mkdir "$top/was" && cp "$dir"/* "$top/was/" 2>/dev/null
    aged "$dir"
    stamps=$(cd "$dir" && stat -c '%n %i %Y' * 2>/dev/null)
    while read -r -a cmd; do
        [ "$status" -eq 0 ] || fail "a step before the last failed: $message"
        run "$dir" "${cmd[@]}"
    done <"$case_dir/run"
    expect_status "$1" "$(basename "$case_dir")"
    told "$2"
    # The folder holds what was put in it and the expected files, and
    # nothing else.
    only "$dir" $(printf '%s\n' $placed $(ls "$case_dir/expect" | sed 's/\.gen$//') |
                  grep -vxF -e status -e message -e seconds -e absent $(sed 's/^/-e /' "$case_dir/expect/absent" 2>/dev/null))
    # A file that the runs left as it was they left alone, not even rewritten.
    for name in $placed; do
        cmp -s "$dir/$name" "$top/was/$name" && ! grep -qxF "$(cd "$dir" && stat -c '%n %i %Y' "$name")" <<<"$stamps" &&
            fail "$name was written again as it was"
    done
    for f in "$case_dir"/expect/*; do
        name=$(basename "${f%.gen}")
        input=$in/$name
        case $name in
        status | message | seconds | absent) ;;
        *) # A file the run wrote has the platform's line ends, but for an
           # INI file that had line ends of its own, which it keeps, and a
           # file expected with CR line ends, which every platform writes so
           # (a sheet refreshed in its own shape); an input the run left
           # alone is compared as it was.
           want=$top/want
           made "$f" "$want"
           if ! cmp -s "$want" "$input" && ! grep -q $'\r' "$want" &&
               ! { [ "$name" = valdra.ini ] && [ -f "$input" ] && { [ "$(wc -l <"$input")" -gt 0 ] || grep -q $'\r' "$input"; }; }; then
               eol "$want"
           fi
           same "$dir/$name" "$want" ;;
        esac
    done
}

status=0
if [ -f "$case_dir/table" ]; then
    while IFS='|' read -r text want; do
        status=0
        check_case "$([ -n "$want" ] && echo 1 || echo 0)" "$want"
    done <"$case_dir/table"
elif [ -d "$case_dir/sheets" ]; then
    for sheet in "$case_dir"/sheets/*; do
        status=0
        check_case 0 ""
    done
else
    check_case "$(cat "$case_dir/expect/status" 2>/dev/null || echo 0)" \
               "$(cat "$case_dir/expect/message" 2>/dev/null)"
fi
finish
