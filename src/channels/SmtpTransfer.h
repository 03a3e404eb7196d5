#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>

namespace korvane {

// One message handed from the window's thread to the mail worker, and what became of it.
// The inputs are set before it is handed over; the results are read only once done is set.
struct SmtpTransfer {
    // Inputs.
    QByteArray url;
    QByteArray from;
    QList<QByteArray> recipients;
    QByteArray user;
    QByteArray password;
    QByteArray bearer;  // XOAUTH2 instead of the password, when set
    QByteArray caFile;  // "": the system's certificates
    bool withCredentials = false;
    bool tlsRequired = false;
    long connectTimeoutMs = 30000;
    long responseTimeoutMs = 60000;
    long totalTimeoutMs = 300000;
    qint64 size = 0;  // bytes of the message from the device's position to its end

    // The message, read by the worker as it sends; cleared when the window's thread gives
    // up on the transfer, so that a worker that lingers never touches it again.
    std::mutex dataMutex;
    QIODevice* data = nullptr;

    // Shared while the transfer runs.
    std::atomic<qint64> replyDueNs{0};  // the server owes an answer by then (steady clock)
    std::atomic<bool> abort{false};
    std::atomic<bool> done{false};
    std::atomic<bool> dataAnswered{false};  // the server answered DATA with 354
    std::function<void()> wake;             // wakes the window's thread; set before the hand-over

    // Results, written by the worker before done.
    int result = 0;             // CURLcode
    long reply = 0;             // the server's last reply code
    QByteArray refusal;         // the server's last 4xx/5xx line, which curl reduces to its code
    QString error;              // curl's own description
    bool bodyComplete = false;  // every byte read and handed to the connection
    bool reusedConnection = false;
    bool connectionKept = false;  // the connection stays open for the next message
};

}  // namespace korvane
