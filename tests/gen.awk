# Generated INI files and sheets, for the tests and the benchmark.
#   what=ini n=N [gaps=1] [other=K]  K other sections of five entries each,
#       then an INI file listing N units U0 .. U(N-1), each with a section of
#       all fifteen keys, unit i's values derived from i so that every row
#       differs and canhit goes through 0 .. 7; with gaps, unit i lacks key
#       number i % 16
#   what=sheet n=N                   the sheet initocsv writes of that file
#   what=rows value=V                a header, then a row for each name on
#       standard input holding V in every column but the can-hit ones (1)
BEGIN {
    split("move price rangemin rangemax canhit attack0 attack1 attack2 resist0 resist1 resist2 isarmy1 isarmy2 isarmy3 techlevel", k, " ")
    header = "Name,Move,Cost,R Min,R Max,H Land,H Air,H Sea,A Gun,A Fire,A Bomb,D Gun,D Fire,D Bomb,Crimson,Cobalt,Pine,Tech,"
    if (what == "ini") {
        for (i = 0; i < other; i++) {
            print "[Rules" i "]"
            for (j = 0; j < 5; j++) print "rule" j " = " i
            print ""
        }
        print "[unitnames]"
        for (i = 0; i < n; i++) print "unit" i "=U" i
        for (i = 0; i < n; i++) {
            print ""; print "[U" i "]"
            for (j = 1; j <= 15; j++)
                if (!gaps || j != i % 16) print k[j] "=" (j == 5 ? i % 8 : i * 100 + j)
        }
    } else if (what == "sheet") {
        print header
        for (i = 0; i < n; i++) {
            c = i % 8; row = "U" i
            for (j = 1; j <= 4; j++) row = row "," (i * 100 + j)
            row = row "," c % 2 "," int(c / 2) % 2 "," int(c / 4)
            for (j = 6; j <= 15; j++) row = row "," (i * 100 + j)
            print row ","
        }
    } else if (what == "rows") {
        print header
        next_rows = 1
    } else {
        print "gen.awk: what=ini, sheet or rows" >"/dev/stderr"
        exit 2
    }
    if (!next_rows) exit
}
what == "rows" {
    row = $0
    for (j = 1; j <= 17; j++) row = row "," (j >= 5 && j <= 7 ? 1 : value)
    print row ","
}
