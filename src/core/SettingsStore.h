#pragma once

#include <QString>
#include <memory>
#include <vector>

class QSettings;

namespace korvane {

// The per-user store "Dravik_Korvane": string values by section and key, a default on a
// missing key. The file holds passwords in clear, so it is kept readable by its owner only.
class SettingsStore {
public:
    static const QString kApplicationName;

    SettingsStore();
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    QString read(const QString& section, const QString& key, const QString& defaultValue) const;
    struct Entry {
        QString section;
        QString key;
        QString value;
    };
    // Writes and checks that the file took them; raises KorvaneError (75) when it did not,
    // so that a lost change is never reported as saved.
    void write(const QString& section, const QString& key, const QString& value);
    void writeAll(const std::vector<Entry>& entries);
    bool contains(const QString& section, const QString& key) const;
    QString fileName() const;

private:
    void restrictFileMode();

    std::unique_ptr<QSettings> settings_;
};

}  // namespace korvane
