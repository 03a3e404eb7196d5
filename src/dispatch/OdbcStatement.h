#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <mutex>

#include "core/KorvaneError.h"

namespace korvane {

// The statement running on a connection, so that another thread can cancel it (SQLCancel)
// when the program must end rather than wait for a lock to be let go.
class CancelPoint {
public:
    void enter(void* statement);
    void leave();
    // Cancels the statement running now, if any; safe from any thread.
    void cancel();

private:
    std::mutex mutex_;
    void* statement_ = nullptr;
};

// A statement that waited too long for a lock, or was cancelled: the row is as busy as one
// another process has taken.
class LockTimeout : public KorvaneError {
public:
    using KorvaneError::KorvaneError;
    // From a failed call's SQLSTATE and text, whatever the driver.
    static bool matches(const QString& state, const QString& text);
};

// One statement with parameters, run through the ODBC API on an open QODBC connection (and
// inside its transaction, if one is open). QODBC binds a text parameter with its terminating
// NUL counted in the length; some drivers (MariaDB's) keep that NUL as data, so "Y" no longer
// fits a CHAR(1) and '' never equals the value sent. Here each text goes as UTF-16 with its
// exact length, which every driver reads alike.
class OdbcStatement {
public:
    // Lock waits end after this, where the driver allows it.
    static constexpr int kQueryTimeoutS = 30;

    // password: kept out of any error text. cancel: where the running statement is known.
    OdbcStatement(const QSqlDatabase& database, QString password, CancelPoint* cancel = nullptr,
                  int timeoutS = kQueryTimeoutS);

    // Runs sql with its ? markers bound to params (Null, text, whole numbers, date and time) and
    // returns the rows it changed. Raises KorvaneError with the driver's diagnostics, or
    // LockTimeout. returned: where a statement's result rows (UPDATE ... RETURNING) are to go,
    // the first column's text of each.
    qint64 execute(const QString& sql, const QVariantList& params,
                   QStringList* returned = nullptr) const;

private:
    QSqlDatabase database_;
    QString password_;
    CancelPoint* cancel_;
    int timeoutS_;
};

}  // namespace korvane
