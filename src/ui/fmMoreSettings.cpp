#include "ui/fmMoreSettings.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QScrollArea>
#include <QVBoxLayout>

#include "core/ActivityLog.h"
#include "core/ConfigurationLoader.h"
#include "core/Guarded.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "ui/Look.h"

namespace korvane {

fmMoreSettings::fmMoreSettings(SettingsStore& store, RunConfiguration& config, ActivityLog& log,
                               QWidget* parent)
    : QDialog(parent), store_(store), config_(config), log_(log) {
    build();
}

fmMoreSettings::~fmMoreSettings() = default;

void fmMoreSettings::build() {
    setObjectName(QStringLiteral("fmMoreSettings"));
    setWindowTitle(QStringLiteral("More Settings"));
    setWindowIcon(look::appIcon());
    setModal(true);
    setFont(look::verdana(9.75));
    look::setFace(this);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    std::map<QString, QFormLayout*> sections;
    for (const Setting& setting : settings()) {
        if (!setting.isFurther()) {
            continue;
        }
        const QString section = QString::fromLatin1(setting.section);
        QFormLayout*& form = sections[section];
        if (form == nullptr) {
            auto* group = new QGroupBox(section, content);
            group->setFont(look::verdana(8.25, true));
            look::setCaptionColor(group, look::kPlum);
            form = new QFormLayout(group);
            column->addWidget(group);
        }
        const QString key = QString::fromLatin1(setting.key);
        auto* box = new QLineEdit(setting.read(store_));
        box->setObjectName(key);
        box->setFont(font());
        box->setMinimumWidth(look::px(4635));
        if (setting.secret) {
            box->setEchoMode(QLineEdit::Password);
        }
        form->addRow(key, box);
        fields_[key] = box;
        read_[key] = box->text();
    }
    column->addStretch();
    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(scroll);
    layout->addWidget(buttons);
    resize(look::px(7800), look::px(7200));
}

QLineEdit* fmMoreSettings::field(const QString& key) const {
    const auto it = fields_.find(key);
    return it != fields_.end() ? it->second : nullptr;
}

void fmMoreSettings::done(int result) {
    if (!saved_) {
        saved_ = true;
        save();
    }
    QDialog::done(result);
}

void fmMoreSettings::save() {
    std::vector<SettingsStore::Entry> entries;
    QStringList names;
    for (const Setting& setting : settings()) {
        const QString key = QString::fromLatin1(setting.key);
        const auto it = fields_.find(key);
        if (it == fields_.end() || it->second->text() == read_[key]) {
            continue;
        }
        config_.*setting.text = it->second->text();
        entries.push_back(
            SettingsStore::Entry{QString::fromLatin1(setting.section), key, it->second->text()});
        names << key;
    }
    if (entries.empty()) {
        return;
    }
    // Names only: some of these are secrets.
    QString outcome = QStringLiteral("Settings saved: %1.").arg(names.join(QStringLiteral(", ")));
    bool failed = false;
    try {
        store_.writeAll(entries);
    } catch (const KorvaneError& error) {
        outcome = errorLine(error);
        failed = true;
    }
    guarded([&] { log_.WriteLog(outcome, true, failed); });
}

}  // namespace korvane
