# Generated INI files and sheets, for the tests and the benchmark.
#   what=ini n=N [gaps=1] [other=K] [value=V]  K other sections of five
#       entries each, then an INI file listing N units U0 .. U(N-1), each with
#       a section of all fifteen keys, unit i's values derived from i so that
#       every row differs and canhit goes through 0 .. 7 (with value, every
#       key of another value "key = V", as csvtoini sets it); with gaps, unit
#       i lacks key number i % 16, which filled adds at its default
#   what=sheet n=N [gaps=1]          the sheet initocsv writes of that file
#   what=rows value=V [n=N prefix=P from=F]  a header, then a row for each
#       name on standard input, then for P F .. P (F+N-1), holding V in every
#       column but the can-hit ones (1)
#   what=lines [pad=K] [n=N text=T]  the lines of standard input, each "@"
#       in them K bytes "x", then the lines T1 .. TN
#   what=fill bytes=N                N bytes of comment lines
BEGIN {
    split("move price rangemin rangemax canhit attack0 attack1 attack2 resist0 resist1 resist2 isarmy1 isarmy2 isarmy3 techlevel", k, " ")
    for (j = 1; j <= 15; j++) d[j] = j >= 12 && j <= 14 ? 1 : j == 15 ? 2 : 0   # the defaults
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
            for (j = 1; j <= 15; j++) {
                v = j == 5 ? i % 8 : i * 100 + j
                if (value != "" && v != value) print k[j] " = " value
                else if (!gaps || j != i % 16) print k[j] "=" v
            }
            if (filled && i % 16) print k[i % 16] " = " d[i % 16]
        }
    } else if (what == "sheet") {
        print header
        for (i = 0; i < n; i++) {
            row = "U" i
            for (j = 1; j <= 15; j++) {
                v = gaps && j == i % 16 ? d[j] : j == 5 ? i % 8 : i * 100 + j
                row = row "," (j == 5 ? v % 2 "," int(v / 2) % 2 "," int(v / 4) : v)
            }
            print row ","
        }
    } else if (what == "rows") {
        print header
    } else if (what == "lines") {
        for (x = "x"; length(x) < pad; x = x x) ;
        x = substr(x, 1, pad)
    } else if (what == "fill") {
        for (line = "#"; length(line) < 1000; line = line line) ;
        line = substr(line, 1, 1000)
        for (b = 0; b + 1001 <= bytes; b += 1001) print line
        if (bytes > b) print substr(line, 1, bytes - b - 1)
    } else {
        print "gen.awk: what=ini, sheet, rows, lines or fill" >"/dev/stderr"
        exit 2
    }
    if (what != "rows" && what != "lines") exit
}
what == "rows" { named($0) }
what == "lines" { gsub("@", x); print }
END {
    for (i = from + 0; i < from + n; i++)
        if (what == "rows") named(prefix i)
        else if (what == "lines") print text (i - from + 1)
}
function named(name,   r, j) {
    r = name
    for (j = 1; j <= 17; j++) r = r "," (j >= 5 && j <= 7 ? 1 : value)
    print r ","
}
