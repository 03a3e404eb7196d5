#include "ui/DSNName.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "dispatch/DataSources.h"

namespace korvane {

DataSourceDialog::DataSourceDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("DataSourceDialog"));
    setWindowTitle(QStringLiteral("Select Data Source"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Machine data sources:"), this));
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("dataSources"));
    const DataSourceList sources = listDataSources();
    for (const QString& name : sources.user) {
        list_->addItem(name);
        list_->item(list_->count() - 1)->setToolTip(QStringLiteral("User data source"));
    }
    for (const QString& name : sources.system) {
        list_->addItem(name);
        list_->item(list_->count() - 1)->setToolTip(QStringLiteral("System data source"));
    }
    if (list_->count() > 0) {
        list_->setCurrentRow(0);
    }
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* file =
        buttons->addButton(QStringLiteral("File Data Source..."), QDialogButtonBox::ActionRole);
    connect(file, &QPushButton::clicked, this, &DataSourceDialog::browse);
    connect(buttons, &QDialogButtonBox::accepted, this, &DataSourceDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &DataSourceDialog::reject);
    connect(list_, &QListWidget::itemDoubleClicked, this, &DataSourceDialog::accept);
    layout->addWidget(buttons);
    resize(360, 300);
}

void DataSourceDialog::accept() {
    if (list_->currentItem() != nullptr) {
        choice_ = list_->currentItem()->text();
    }
    QDialog::accept();
}

void DataSourceDialog::browse() {
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("File Data Source"), QString(),
                                     QStringLiteral("File data sources (*.dsn);;All files (*)"));
    if (!path.isEmpty()) {
        choice_ = path;
        QDialog::accept();
    }
}

QString DSNName::GetDSN(QWidget* parent) {
    DataSourceDialog dialog(parent);
    return dialog.exec() == QDialog::Accepted ? dialog.choice() : QString();
}

}  // namespace korvane
