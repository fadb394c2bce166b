# Print an INI file listing n units U0 .. U(n-1), each with a section of all
# fifteen keys, unit i's values derived from i so that every row differs and
# canhit going through 0 .. 7; with gaps set, unit i lacks key number i % 16.
BEGIN {
    print "[unitnames]"
    for (i = 0; i < n; i++) print "unit" i "=U" i
    split("move price rangemin rangemax canhit attack0 attack1 attack2 resist0 resist1 resist2 isarmy1 isarmy2 isarmy3 techlevel", k, " ")
    for (i = 0; i < n; i++) {
        print ""; print "[U" i "]"
        for (j = 1; j <= 15; j++)
            if (!gaps || j != i % 16) print k[j] "=" (j == 5 ? i % 8 : i * 100 + j)
    }
}
