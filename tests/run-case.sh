#!/bin/bash
# run-case.sh BIN CASE: run one data-driven case. CASE holds the input files,
# a file "run" whose lines are the steps, each a program and its arguments,
# and a folder "expect" with the files the run must leave, byte for byte,
# plus optionally "status" (the last step's exit status, 0 if absent; the
# steps before it must succeed), "message" (the line a failed run prints)
# and "absent" (names that must not exist afterwards).
# A case with a file "table" runs once for each of its lines, "TEXT|MESSAGE":
# valdra.csv holds TEXT as printf makes it, HEADER standing for the header
# (MISSING: there is no valdra.csv); the run prints MESSAGE, or succeeds where
# that is empty. A case with a folder "sheets" runs once for each file in
# it, as valdra.csv.
BIN=$(cd "$1" && pwd)
case_dir=$2
. "$(dirname "$0")/lib.sh"

# check_case STATUS MESSAGE: run the steps in a fresh copy of the inputs
# and compare what they leave.
check_case() {
    local dir f want
    dir=$(scratch)
    for f in "$case_dir"/*; do
        case $(basename "$f") in run | expect | table | sheets) ;; *) cp -L "$f" "$dir/" ;; esac
    done
    [ -n "${text+set}" ] && [ "$text" != MISSING ] && printf "${text//HEADER/$header}" >"$dir/valdra.csv"
    [ -n "${sheet:-}" ] && cp "$sheet" "$dir/valdra.csv"
    while read -r -a cmd; do
        [ "$status" -eq 0 ] || fail "a step before the last failed: $message"
        run "$dir" "${cmd[@]}"
    done <"$case_dir/run"
    expect_status "$1" "$(basename "$case_dir")"
    told "$2"
    for f in "$case_dir"/expect/*; do
        case $(basename "$f") in
        status | message) ;;
        absent) while read -r name; do
                [ ! -e "$dir/$name" ] || fail "$name exists, should not"
            done <"$f" ;;
        *) # A file the run wrote has the platform's line ends, but for an
           # INI file that had line ends of its own, which it keeps, and a
           # file expected with CR line ends, which every platform writes so
           # (a sheet refreshed in its own shape); an input the run left
           # alone is compared as it was.
           want=$f
           input=$case_dir/$(basename "$f")
           if ! cmp -s "$f" "$input" && ! grep -q $'\r' "$f" &&
               ! { [ "$(basename "$f")" = valdra.ini ] && [ -f "$input" ] && [ "$(tr -dc '\r\n' <"$input" | wc -c)" -gt 0 ]; }; then
               want=$top/want
               cp "$f" "$want"
               eol "$want"
           fi
           same "$dir/$(basename "$f")" "$want" ;;
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
