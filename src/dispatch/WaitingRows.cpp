#include "dispatch/WaitingRows.h"

#include <sql.h>
#include <sqlext.h>

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>

#include "dispatch/DatabaseConnection.h"
#include "dispatch/OdbcStatement.h"

namespace korvane {

using MessageTable::Column;

void WaitingRows::select(const MessageTable::Selection& selection, const QDateTime& now) {
    selection_ = selection;
    now_ = now;
    lastKey_ = QVariant();
    lastPriority_ = QVariant();
    sawNullKey_ = false;
    served_.clear();
    stage_ = Stage::First;
}

qint64 WaitingRows::countWaiting(qint32 dontSendProcessedMsgs) {
    MessageTable::Selection selection = selection_;
    selection.dontSendProcessedMsgs = dontSendProcessedMsgs;
    QSqlQuery query(connection_.database());
    if (!query.prepare(MessageTable::pageStatement(selection, MessageTable::Page::Count))) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
    for (int i = 0; i < selection.timeMarkers(); ++i) {
        query.addBindValue(now_);
    }
    if (!query.exec() || !query.next()) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
    return query.value(0).toLongLong();
}

// Pages by key rather than by offset: rows claimed or written meanwhile do not shift the
// next page, and each page is an index range scan, however far into the backlog it is. With
// Priority the key is Priority and RecId; rows without a Priority follow, by RecId.
std::vector<TableRow> WaitingRows::nextPage(int limit) {
    using MessageTable::Page;
    const Stage afterMain = selection_.priority ? Stage::NullPriority : Stage::NullKeys;
    std::vector<TableRow> page;
    while (page.empty() && stage_ != Stage::Done) {
        int read = 0;
        switch (stage_) {
            case Stage::First:
            case Stage::AfterKey: {
                const bool first = stage_ == Stage::First;
                page = readPage(first ? Page::First : Page::AfterKey,
                                first ? QVariantList()
                                : selection_.priority
                                    ? QVariantList{lastPriority_, lastPriority_, lastKey_}
                                    : QVariantList{lastKey_},
                                limit, read);
                stage_ = read < limit ? afterMain : Stage::AfterKey;
                break;
            }
            case Stage::NullPriority:
            case Stage::AfterNullPriority: {
                const bool first = stage_ == Stage::NullPriority;
                page = readPage(first ? Page::NullPriority : Page::AfterNullPriority,
                                first ? QVariantList() : QVariantList{lastKey_}, limit, read);
                stage_ = read < limit ? Stage::NullKeys : Stage::AfterNullPriority;
                break;
            }
            case Stage::NullKeys:
                // Where the database sorts rows without a RecId last, they come here, last, as
                // in the statement's own order; where it sorts them first, the first page had
                // them.
                stage_ = Stage::Done;
                return sawNullKey_ ? page : readPage(Page::NullKeys, {}, limit, read);
            case Stage::Done:
                break;
        }
    }
    return page;
}

std::vector<TableRow> WaitingRows::nextHigher(const QVariant& priority, int limit) {
    if (!selection_.priority || priority.isNull()) {
        return {};
    }
    int read = 0;
    std::vector<TableRow> rows;
    for (TableRow& row : readPage(MessageTable::Page::Higher, {priority}, limit, read, false)) {
        if (!served_.contains(MessageTable::toText(row.asRead(Column::RecId)))) {
            served_.insert(MessageTable::toText(row.asRead(Column::RecId)));
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

// The row limit goes into the statement where the database's dialect is known, so that the
// server sends no more; SQL_ATTR_MAX_ROWS, ODBC's own limit, is set for every driver as well.
QString WaitingRows::limited(const QString& sql, int limit) const {
    const auto is = [this](const char* name) {
        return dbms_.contains(QLatin1String(name), Qt::CaseInsensitive);
    };
    if (is("SQLite") || is("PostgreSQL") || is("MariaDB") || is("MySQL")) {
        return sql + QStringLiteral(" LIMIT %1").arg(limit);
    }
    if (is("SQL Server")) {
        return sql + QStringLiteral(" OFFSET 0 ROWS FETCH NEXT %1 ROWS ONLY").arg(limit);
    }
    return sql;
}

std::vector<TableRow> WaitingRows::readPage(MessageTable::Page kind, const QVariantList& keys,
                                            int limit, int& rowsRead, bool advance) {
    QSqlQuery query(connection_.database());
    query.setForwardOnly(true);
    if (!query.prepare(limited(MessageTable::pageStatement(selection_, kind), limit))) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
    for (int i = 0; i < selection_.timeMarkers(); ++i) {
        query.addBindValue(now_);
    }
    for (const QVariant& key : keys) {
        query.addBindValue(key);
    }
    SQLHANDLE statement = odbcHandle(query.result()->handle());
    if (statement != nullptr) {
        SQLSetStmtAttr(statement, SQL_ATTR_MAX_ROWS,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(limit)), 0);
    }
    cancel_.enter(statement);
    const bool ran = query.exec();
    cancel_.leave();
    if (!ran) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
    TableRow::Present present{};
    const TableRow::Indexes index = TableRow::columnsOf(query.record(), present);
    const int status = index[static_cast<int>(Column::ProcessStatus)];
    const int recId = index[static_cast<int>(Column::RecId)];
    const int priority = index[static_cast<int>(Column::Priority)];
    std::vector<TableRow> rows;
    while (rowsRead < limit && query.next()) {
        ++rowsRead;
        if (recId >= 0 && advance) {
            lastKey_ = query.value(recId);
            lastPriority_ = priority >= 0 ? query.value(priority) : QVariant();
            sawNullKey_ = sawNullKey_ || lastKey_.isNull();
            if (selection_.priority) {
                served_.insert(MessageTable::toText(lastKey_));
            }
        }
        if (status < 0 || !MessageTable::isHeld(query.value(status).toString())) {
            rows.emplace_back(TableRow::valuesOf(query, index), present);
        }
    }
    if (query.lastError().isValid()) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
    return rows;
}

}  // namespace korvane
