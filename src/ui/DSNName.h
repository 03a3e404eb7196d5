#pragma once

#include <QDialog>
#include <QString>

class QListWidget;

namespace korvane {

// Lists the user and system ODBC data sources and lets the user browse for a .dsn file.
class DataSourceDialog : public QDialog {
    Q_OBJECT

public:
    explicit DataSourceDialog(QWidget* parent = nullptr);
    // A data source's name or a .dsn file's full path; "" when cancelled.
    QString choice() const { return choice_; }

private:
    void accept() override;
    void browse();

    QListWidget* list_ = nullptr;
    QString choice_;
};

// One selection: GetDSN returns the chosen data source's name or .dsn path, or "" on cancel or
// any failure. It never raises and never logs.
class DSNName {
public:
    QString GetDSN(QWidget* parent);
};

}  // namespace korvane
