#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <condition_variable>
#include <mutex>

#include "core/KorvaneError.h"

namespace korvane {

// The statement running on a connection, so that another thread can cancel it (SQLCancel)
// when a lock wait outlasts its limits or the program must end. SQLCancel may itself wait on
// the network (PostgreSQL's driver opens a new connection to the server for it), so the
// database's thread never waits for a cancel: a statement handle a cancel still uses is freed
// by the cancel once it returns.
class CancelPoint {
public:
    // The statement the database's thread is about to run.
    void enter(void* statement);
    // The statement is done. True when a cancel still uses the handle and has taken it over:
    // the caller must not free it.
    bool leaveAndHandOver();
    // The statement is done, its handle owned by someone who frees it right after: waits for
    // a cancel still using it (reads only, which are cancelled only when the program ends).
    void leave();
    // Cancels the statement running now, if any, on the calling thread; safe from any thread.
    // False where cancels are off (SQLite's driver frees a running statement's result without
    // a lock, so a cancel from another thread is unsafe there).
    void cancel();
    void setEnabled(bool enabled);

private:
    std::mutex mutex_;
    std::condition_variable cancelled_;
    void* statement_ = nullptr;
    void* cancelling_ = nullptr;  // the handle a cancel is using now
    bool handedOver_ = false;     // the cancel frees cancelling_ when it returns
    bool enabled_ = true;
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
    // LockTimeout. returned: where a statement's result rows (a SELECT, UPDATE ... RETURNING)
    // are to go, the text of each column of each row in turn.
    qint64 execute(const QString& sql, const QVariantList& params,
                   QStringList* returned = nullptr) const;

private:
    QSqlDatabase database_;
    QString password_;
    CancelPoint* cancel_;
    int timeoutS_;
};

}  // namespace korvane
