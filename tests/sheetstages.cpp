// In-process checks of the sheet reader's pure stages, each from a table of
// inputs and what they must give: cells read as whole numbers and sheets
// decoded to UTF-8 and text split into fields, from the tables cells,
// decodings and fields.
#include "sheet.h"
#include "check.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// A cell of the table cells, as spreadsheets and scripts write them, and
// what it reads as: ok and its value, not whole, or out of range.
static void cellCheck(const Row &r, void *)
{
    int v = 0;
    Value got = wholeNumber(r.field[0], r.field[0] + r.len[0], &v);
    Value want = strcmp(r.field[1], "ok") == 0 ? valueOk : strcmp(r.field[1], "not whole") == 0 ? valueNotWhole
                                                                                              : valueOutOfRange;
    check(got == want && (want != valueOk || (r.count == 3 && v == atoi(r.field[2]))), "cell: %s", r.field[0]);
}

// A sheet of the table decodings: what it is, its bytes, and whether they
// are decoded, bad UTF-16 or not UTF-8, with the UTF-8 text they decode to
// where the row gives it.
static void decodeCheck(const Row &r, void *)
{
    static char out[64];
    SheetText t = {out, sizeof out, 0, formUtf8, false, false};
    int line = 0;
    Decoded d = decodeSheet(r.field[1], r.len[1], &t, &line);
    Decoded want = strcmp(r.field[2], "decoded") == 0 ? decoded : strcmp(r.field[2], "bad UTF-16") == 0 ? decodedBadUtf16
                                                                                                       : decodedNotUtf8;
    bool same = r.count < 4 || (t.len == r.len[3] && memcmp(t.text, r.field[3], t.len) == 0);
    check(d == want && same && (d != decodedNotUtf8 || line == 2), "decode: %s", r.field[0]);
}

// Text of the table fields split at ',': the text|the line the walk ends
// on|each field as written, quotes and all|what ended it, in turn.
static void fieldCheck(const Row &r, void *)
{
    static const char *const ends[] = {"field", "row", "text", "open"};   // each Delim
    Fields f;
    startFields(&f, r.field[0], r.len[0], ',');
    bool ok = r.count % 2 == 0;
    for (int i = 2; ok && i + 1 < r.count; i += 2) {
        const char *a, *b;
        Delim d = nextField(&f, &a, &b);
        ok = (size_t)(b - a) == r.len[i] && memcmp(a, r.field[i], r.len[i]) == 0 && strcmp(ends[d], r.field[i + 1]) == 0;
    }
    check(ok && f.line == atoi(r.field[1]), "fields: %s", r.field[0]);
}

int main(int, char **)
{
    eachRow(TABLES "cells", cellCheck, nullptr);
    eachRow(TABLES "decodings", decodeCheck, nullptr);
    eachRow(TABLES "fields", fieldCheck, nullptr);
    // Quotes come off in place; the rest after a closing quote stays.
    char field[] = "\"say \"\"hi\"\"\"!";
    char *end = unquote(field, field + strlen(field));
    check(end - field == 9 && memcmp(field, "say \"hi\"!", 9) == 0, "unquote: %s", "\"say \"\"hi\"\"\"!");
    return checked();
}
END_OF_MAIN()
