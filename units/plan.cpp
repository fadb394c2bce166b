// The plan of csvtoini's update of valdra.ini: which entries it sets and
// removes.
#include "update.h"

#include <stdio.h>
#include <string.h>

void takePlan(Plan *plan, Meaning file)
{
    plan->file = file;
    plan->listEnd = meaningListEnd(file, unitNum);
    for (int u = 0; u < unitNum; u++)
        for (int col = 0; col < statCount; col++) {
            if (!firstOfKey(col))
                continue;
            const char *was = meaningValue(file, unitName[u], statName[col].key);
            MeaningPlace place;
            // An entry with an empty value reads as the key's default; a
            // missing one is added.
            bool there = was || meaningPlace(file, unitName[u], statName[col].key, &place);
            int now[statCount], v = was ? gameInt(was) : statName[col].fallback;
            // What the game reads from the file, as initocsv would write it.
            memcpy(now, uStat[u], sizeof now);
            setFromKey(now, col, v);
            plan->readAsRow[u][col] = there && (statName[col].weight ? memcmp(now, uStat[u], sizeof now) == 0
                                                                    : v == uStat[u][col]);
        }
}

const char *plannedValue(const Plan *plan, int unit, int col, char number[16])
{
    snprintf(number, 16, "%d", keyValue(uStat[unit], col));
    return plan->readAsRow[unit][col] ? nullptr : number;
}

void eachSet(const Plan *plan, SetVisit each, void *user)
{
    char key[unitKeySize], number[16];
    for (int u = 0; u < unitNum; u++) {
        unitKey(key, u);
        const char *was = meaningValue(plan->file, listSection, key);
        if (!was || strcmp(was, unitName[u]) != 0)
            each(user, listSection, key, unitName[u]);
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col) && plannedValue(plan, u, col, number))
                each(user, unitName[u], statName[col].key, number);
    }
    for (int n = unitNum; n < plan->listEnd; n++) {
        unitKey(key, n);
        each(user, listSection, key, nullptr);
    }
}
