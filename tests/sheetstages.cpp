// In-process checks of the sheet reader's pure stages, each from a table of
// inputs and what they must give: cells read as whole numbers, sheets
// decoded to UTF-8, and text split into fields.
#include "sheet.h"
#include "check.h"

#include <allegro.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

// Cells as spreadsheets and scripts write them, and what they read as.
static const struct {
    const char *cell;
    Value want;
    int v;
} cells[] = {
    {"12", valueOk, 12},           {" +7 ", valueOk, 7},           {"-3", valueOk, -3},
    {"007", valueOk, 7},           {"3.0", valueOk, 3},            {"-2.00", valueOk, -2},
    {"1e+05", valueOk, 100000},    {"2.5E3", valueOk, 2500},       {"0.3e1", valueOk, 3},
    {"20e-1", valueOk, 2},         {"TRUE", valueOk, 1},           {"False", valueOk, 0},
    {"-2147483648", valueOk, INT_MIN}, {"2147483647", valueOk, INT_MAX}, {"0e5", valueOk, 0},
    {"1.700", valueNotWhole, 0},   {"1.000", valueNotWhole, 0},    {"1,700", valueNotWhole, 0},
    {"3.9", valueNotWhole, 0},     {"1.5e0", valueNotWhole, 0},    {"12abc", valueNotWhole, 0},
    {"abc", valueNotWhole, 0},     {"$700", valueNotWhole, 0},     {"50%", valueNotWhole, 0},
    {"0x1F", valueNotWhole, 0},    {"- 1", valueNotWhole, 0},      {"3.", valueNotWhole, 0},
    {"1e", valueNotWhole, 0},      {"NA", valueNotWhole, 0},       {"#N/A", valueNotWhole, 0},
    {"yes", valueNotWhole, 0},     {".5", valueNotWhole, 0},
    {"99999999999", valueOutOfRange, 0}, {"-2147483649", valueOutOfRange, 0},
    {"2147483648", valueOutOfRange, 0},  {"1e400", valueOutOfRange, 0},
    {"21474836.48e2", valueOutOfRange, 0},
};

static void cellChecks()
{
    for (const auto &c : cells) {
        int v = 0;
        Value r = wholeNumber(c.cell, c.cell + strlen(c.cell), &v);
        check(r == c.want && (r != valueOk || v == c.v), "cell: %s", c.cell);
    }
}

// Sheets as bytes, and the UTF-8 text they decode to (null: they do not).
static const struct {
    const char *what;
    const char *bytes;
    size_t len;
    Decoded want;
    const char *text;
} sheets[] = {
    {"UTF-8", "N\xC3\xA4me", 5, decoded, "N\xC3\xA4me"},
    {"UTF-8 with its mark", "\xEF\xBB\xBFN\xC3\xA4", 6, decoded, "N\xC3\xA4"},
    {"UTF-16LE", "\xFF\xFEN\0\xE4\0", 6, decoded, "N\xC3\xA4"},
    {"UTF-16BE", "\xFE\xFF\0N\0\xE4", 6, decoded, "N\xC3\xA4"},
    {"UTF-16LE beyond the BMP", "\xFF\xFE\x35\xD8\x18\xDD", 6, decoded, "\xF0\x9D\x94\x98"},
    {"UTF-16BE beyond the BMP", "\xFE\xFF\xD8\x35\xDD\x18", 6, decoded, "\xF0\x9D\x94\x98"},
    {"UTF-16 of an odd length", "\xFF\xFEN\0a", 5, decodedBadUtf16, nullptr},
    {"UTF-16 with a lone low surrogate", "\xFE\xFF\0N\xDC\0", 6, decodedBadUtf16, nullptr},
    {"UTF-16 with a high surrogate at the end", "\xFF\xFE\x35\xD8", 4, decodedBadUtf16, nullptr},
    {"UTF-16LE without its mark", "N\0a\0,\0\n\0\xE4\0", 10, decoded, "Na,\n\xC3\xA4"},
    {"UTF-16BE without its mark", "\0N\0a\0\r\0\n\0\xE4", 10, decoded, "Na\r\n\xC3\xA4"},
    {"a NUL in a first line of UTF-8", "Na\0me", 5, decoded, nullptr},
    {"UTF-8 with its mark and a byte that is not", "\xEF\xBB\xBFok\nK\xE4", 8, decodedNotUtf8, nullptr},
};

static void decodeChecks()
{
    static char out[64];
    for (const auto &c : sheets) {
        SheetText t = {out, sizeof out, 0, formUtf8, false, false};
        int line = 0;
        Decoded d = decodeSheet(c.bytes, c.len, &t, &line);
        bool same = !c.text || (t.len == strlen(c.text) && memcmp(t.text, c.text, t.len) == 0);
        check(d == c.want && same && (d != decodedNotUtf8 || line == 2), "decode: %s", c.what);
    }
}

// Text split at ',': each field as written, quotes and all, and what ended
// it, in turn; "|" ends the list.
static const struct {
    const char *text;
    const char *fields[8];
    Delim ends[8];
    int lastLine;
} splits[] = {
    {"a,b\nc", {"a", "b", "c", "|"}, {endField, endRow, endText}, 2},
    {"\"x,y\",z\r\n", {"\"x,y\"", "z", "", "|"}, {endField, endRow, endText}, 2},
    {"\"two\r\nlines\",1\n", {"\"two\r\nlines\"", "1", "", "|"}, {endField, endRow, endText}, 3},
    {"\"say \"\"hi\"\"\",2", {"\"say \"\"hi\"\"\"", "2", "|"}, {endField, endText}, 1},
    {"a\"b,\"c\"d", {"a\"b", "\"c\"d", "|"}, {endField, endText}, 1},
    {"ok\n\"open,\nnever", {"ok", "\"open,\nnever", "|"}, {endRow, openQuote}, 2},
};

static void fieldChecks()
{
    for (const auto &c : splits) {
        Fields f;
        startFields(&f, c.text, strlen(c.text), ',');
        bool ok = true;
        Delim d = endField;
        int i = 0;
        for (; strcmp(c.fields[i], "|") != 0 && ok; i++) {
            const char *a, *b;
            d = nextField(&f, &a, &b);
            ok = (size_t)(b - a) == strlen(c.fields[i]) && memcmp(a, c.fields[i], b - a) == 0 && d == c.ends[i];
        }
        check(ok && f.line == c.lastLine, "fields: %s", c.text);
    }
    // Quotes come off in place; the rest after a closing quote stays.
    char field[] = "\"say \"\"hi\"\"\"!";
    char *end = unquote(field, field + strlen(field));
    check(end - field == 9 && memcmp(field, "say \"hi\"!", 9) == 0, "unquote: %s", "\"say \"\"hi\"\"\"!");
}

int main(int, char **)
{
    cellChecks();
    decodeChecks();
    fieldChecks();
    return checked();
}
END_OF_MAIN()
