#include <QFile>
#include <QtTest>

#include "core/ConfigurationLoader.h"
#include "core/SettingsStore.h"
#include "support/TempProfile.h"

using namespace korvane;

namespace {

// Behaves like a check box: a change runs the handler, which stores the flag.
class FakeOptionBox : public StartupOptionBox {
public:
    FakeOptionBox(SettingsStore& store, RunConfiguration& config)
        : store_(store), config_(config) {}
    void setRunAppOnStartup(bool checked) override {
        if (checked != checked_) {
            checked_ = checked;
            ++changes;
            storeFlag(store_, config_, &RunConfiguration::runAppOnStartup, checked);
        }
    }
    bool runAppOnStartup() const override { return checked_; }
    int changes = 0;

private:
    SettingsStore& store_;
    RunConfiguration& config_;
    bool checked_ = false;
};

void writeRaw(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyProfileGivesDefaultsAndWritesNothing() {
        test::TempProfile profile;
        SettingsStore store;
        RunConfiguration config;
        FakeOptionBox box(store, config);
        const bool autoStart = LoadConfiguration(store, config, box);

        QCOMPARE(config.dsnType, QStringLiteral("File"));
        QCOMPARE(config.runAppOnStartup, 0);
        QCOMPARE(config.dontSendProcessedMsgs, 1);
        QVERIFY(!autoStart);
        QCOMPARE(box.changes, 0);
        QVERIFY(!QFile::exists(profile.settingsFile()));
    }

    void storedRunAppOnStartupArmsAutoStartAndIsWrittenBack() {
        test::TempProfile profile;
        {
            SettingsStore store;
            store.write(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"),
                        QStringLiteral("1"));
        }
        SettingsStore store;
        RunConfiguration config;
        FakeOptionBox box(store, config);
        QVERIFY(LoadConfiguration(store, config, box));
        QCOMPARE(box.changes, 1);
        QCOMPARE(config.runAppOnStartup, 1);
        QCOMPARE(store.read(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"), {}),
                 QStringLiteral("1"));
    }

    void awkwardValuesRoundTripExactly() {
        test::TempProfile profile;
        const QStringList values = {QStringLiteral("  padded  "),
                                    QStringLiteral("a;b"),
                                    QStringLiteral("a, b"),
                                    QStringLiteral("k=v"),
                                    QStringLiteral("say \"hi\""),
                                    QStringLiteral("C:\\\\Data\\file"),
                                    QStringLiteral("#not a comment"),
                                    QStringLiteral(";not a comment"),
                                    QStringLiteral("@at"),
                                    QStringLiteral("pässwörd €"),
                                    QStringLiteral("")};
        {
            SettingsStore store;
            for (int i = 0; i < values.size(); ++i) {
                store.write(QStringLiteral("Email"), QStringLiteral("K%1").arg(i), values[i]);
            }
        }
        SettingsStore store;
        for (int i = 0; i < values.size(); ++i) {
            QCOMPARE(store.read(QStringLiteral("Email"), QStringLiteral("K%1").arg(i),
                                QStringLiteral("default")),
                     values[i]);
        }
        // An empty stored DSNName stays empty rather than falling back to "Korvane".
        store.write(QStringLiteral("DSNSettings"), QStringLiteral("DSNName"), QString());
        RunConfiguration config;
        FakeOptionBox box(store, config);
        LoadConfiguration(store, config, box);
        QCOMPARE(config.dsnName, QString());
    }

    void fileIsPrivateToItsOwner() {
        test::TempProfile profile;
        SettingsStore store;
        store.write(QStringLiteral("Telvoro"), QStringLiteral("CellPassword"), QStringLiteral("x"));
        const QFileDevice::Permissions mode = QFile::permissions(profile.settingsFile());
        QCOMPARE(mode & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        store.write(QStringLiteral("Telvoro"), QStringLiteral("CellPassword"), QStringLiteral("y"));
        QCOMPARE(QFile::permissions(profile.settingsFile()) & 0x7077,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    void handEditedStoreNeverBreaksTheLoad() {
        test::TempProfile profile;
        writeRaw(profile.settingsFile(),
                 "[Application]\nRunAppOnStartup=yes\nDontSendProcessedMsgs=99999999999\n"
                 "[Email]\nSMTPServer=a, b\n[Telvoro\ngarbage line\n");
        SettingsStore store;
        RunConfiguration config;
        FakeOptionBox box(store, config);
        QVERIFY(!LoadConfiguration(store, config, box));
        QCOMPARE(config.runAppOnStartup, 0);
        QCOMPARE(config.dontSendProcessedMsgs, 1);
        QCOMPARE(config.smtpServer, QStringLiteral("a,b"));

        QCOMPARE(parseFlag(QStringLiteral(" 1 "), 0), 1);
        QCOMPARE(parseFlag(QStringLiteral("2"), 0), 2);
        QCOMPARE(parseFlag(QStringLiteral("-1"), 1), -1);
        QCOMPARE(parseFlag(QStringLiteral("1.5"), 0), 0);
        QCOMPARE(parseFlag(QString(), 1), 1);
    }

    void otherNumbersTickTheBoxWhichStoresOne() {
        test::TempProfile profile;
        SettingsStore store;
        store.write(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"),
                    QStringLiteral("7"));
        RunConfiguration config;
        FakeOptionBox box(store, config);
        QVERIFY(LoadConfiguration(store, config, box));
        QCOMPARE(config.runAppOnStartup, 1);
        QCOMPARE(store.read(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"), {}),
                 QStringLiteral("1"));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
