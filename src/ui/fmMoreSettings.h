#pragma once

#include <QDialog>
#include <QString>
#include <map>

class QLineEdit;

namespace korvane {

class ActivityLog;
class SettingsStore;
struct RunConfiguration;

// The modal window of every setting that has no box in the configuration window, built from
// the settings table and grouped by section; secrets are masked. Each opening reads the store
// afresh; each close stores what was changed here, and only that, so that a value edited in
// the settings file meanwhile is never written over.
class fmMoreSettings : public QDialog {
    Q_OBJECT

public:
    fmMoreSettings(SettingsStore& store, RunConfiguration& config, ActivityLog& log,
                   QWidget* parent = nullptr);
    ~fmMoreSettings() override;

    // The field of a key ("SMTPAuth"), for tests.
    QLineEdit* field(const QString& key) const;
    void done(int result) override;

private:
    void build();
    void save();

    SettingsStore& store_;
    RunConfiguration& config_;
    ActivityLog& log_;
    std::map<QString, QLineEdit*> fields_;  // by key
    std::map<QString, QString> read_;       // what each showed when opened
    bool saved_ = false;
};

}  // namespace korvane
