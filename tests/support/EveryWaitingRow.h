#pragma once

#include <QDateTime>
#include <vector>

#include "dispatch/MessageStore.h"

namespace korvane::test {

// Every row the selection returns, read three at a time so that paging is crossed.
inline std::vector<TableRow> everyWaitingRow(MessageStore& store, qint32 dontSend) {
    store.select(dontSend, QDateTime::currentDateTime());
    std::vector<TableRow> rows;
    for (auto page = store.nextPage(3); !page.empty(); page = store.nextPage(3)) {
        rows.insert(rows.end(), page.begin(), page.end());
    }
    return rows;
}

}  // namespace korvane::test
