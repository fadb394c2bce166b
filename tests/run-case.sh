#!/bin/bash
# run-case.sh BIN CASE: run one data-driven case. CASE holds the input files,
# a file "run" whose one line is the program and its arguments, and a folder
# "expect" with the files the run must leave, byte for byte, plus optionally
# "status" (the exit status, 0 if absent), "message" (the line a failed run
# prints) and "absent" (names that must not exist afterwards).
BIN=$(cd "$1" && pwd)
case_dir=$2
. "$(dirname "$0")/lib.sh"

dir=$(scratch)
for f in "$case_dir"/*; do
    case $(basename "$f") in run | expect) ;; *) cp -P "$f" "$dir/" ;; esac
done
read -r -a cmd <"$case_dir/run"
run "$dir" "${cmd[@]}"
want=0
[ -f "$case_dir/expect/status" ] && want=$(cat "$case_dir/expect/status")
expect_status "$want" "$(basename "$case_dir")"
for f in "$case_dir"/expect/*; do
    case $(basename "$f") in
    status) ;;
    message) [ "$message" = "$(cat "$f")" ] || fail "message: $message, want $(cat "$f")" ;;
    absent) while read -r name; do
            [ ! -e "$dir/$name" ] || fail "$name exists, should not"
        done <"$f" ;;
    *) # A file the run wrote has the platform's line ends; an input the
       # run left alone is compared as it was.
       want=$f
       if ! cmp -s "$f" "$case_dir/$(basename "$f")"; then
           want=$dir.want
           cp "$f" "$want"
           eol "$want"
       fi
       same "$dir/$(basename "$f")" "$want" ;;
    esac
done
finish
