#include <QFile>
#include <QTest>

#include "core/BackOff.h"
#include "core/ConfigurationLoader.h"
#include "core/EnvironmentSettings.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "support/TempProfile.h"

using namespace korvane;

namespace {

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
        LoadConfiguration(store, config);
        const bool autoStart = armAutoStart(store, config);

        QCOMPARE(config.dsnType, QStringLiteral("File"));
        QCOMPARE(config.runAppOnStartup, 0);
        QCOMPARE(config.dontSendProcessedMsgs, 1);
        QVERIFY(!autoStart);
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
        LoadConfiguration(store, config);
        QVERIFY(armAutoStart(store, config));
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
        LoadConfiguration(store, config);
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
        LoadConfiguration(store, config);
        QVERIFY(!armAutoStart(store, config));
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
        LoadConfiguration(store, config);
        QVERIFY(armAutoStart(store, config));
        QCOMPARE(config.runAppOnStartup, 1);
        QCOMPARE(store.read(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"), {}),
                 QStringLiteral("1"));
    }

    // Values read from hand-edited text: whatever is stored, a number Korvane can use.
    void storedTextAsNumbers_data() {
        QTest::addColumn<QString>("attempts");
        QTest::addColumn<int>("allowed");
        QTest::addColumn<QString>("sessions");
        QTest::addColumn<int>("kept");
        QTest::addColumn<QString>("tls");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("defaults") << "" << 5 << "" << 1 << "" << false;
        QTest::newRow("as stored") << "7" << 7 << "4" << 4 << "1" << true;
        QTest::newRow("at least one") << "0" << 1 << "0" << 1 << "0" << false;
        QTest::newRow("negative") << "-3" << 1 << "-2" << 1 << "-1" << false;
        QTest::newRow("not numbers") << "five" << 5 << "many" << 1 << "yes" << false;
        QTest::newRow("too many sessions") << " 12 " << 12 << "99" << 16 << " 1 " << true;
    }
    void storedTextAsNumbers() {
        QFETCH(QString, attempts);
        QFETCH(int, allowed);
        QFETCH(QString, sessions);
        QFETCH(int, kept);
        QFETCH(QString, tls);
        QFETCH(bool, encrypted);
        RunConfiguration config;
        config.maxAttempts = attempts;
        config.cellSessions = sessions;
        config.cellTls = tls;
        QCOMPARE(config.attemptsAllowed(), allowed);
        QCOMPARE(config.smsGateway().sessions, kept);
        QCOMPARE(config.smsGateway().tls.on, encrypted);
    }

    // The second gateway takes the first's account as a whole, or its own as a whole.
    void secondGatewayAccount() {
        RunConfiguration config;
        config.cellServer = QStringLiteral("gw1");
        config.cellPort = QStringLiteral("2775");
        config.cellUserName = QStringLiteral("shop");
        config.cellPassword = QStringLiteral("pw1");
        config.cellTls = QStringLiteral("1");
        QCOMPARE(config.smsGateways().size(), 1);
        config.cellServer2 = QStringLiteral("gw2");
        SmsGateway second = config.smsGateways().at(1);
        QCOMPARE(second.name(), QStringLiteral("gw2:2775"));
        QCOMPARE(second.user, QStringLiteral("shop"));
        QCOMPARE(second.password, QStringLiteral("pw1"));
        QVERIFY(second.tls.on);
        config.cellUserName2 = QStringLiteral("brand");
        second = config.smsGateways().at(1);
        QCOMPARE(second.user, QStringLiteral("brand"));
        QCOMPARE(second.password, QString());  // never the first account's password
    }

    void environmentRows_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("window");
        QTest::addColumn<double>("rate");
        QTest::newRow("window") << QByteArray("KORVANE_SMPP_WINDOW") << "12" << 12 << 0.0;
        QTest::newRow("window negative") << QByteArray("KORVANE_SMPP_WINDOW") << "-4" << 0 << 0.0;
        QTest::newRow("window not a number")
            << QByteArray("KORVANE_SMPP_WINDOW") << "x" << 0 << 0.0;
        QTest::newRow("rate") << QByteArray("KORVANE_SMPP_RATE") << "2.5" << 0 << 2.5;
        QTest::newRow("rate negative") << QByteArray("KORVANE_SMPP_RATE") << "-1" << 0 << 0.0;
    }
    void environmentRows() {
        QFETCH(QByteArray, name);
        QFETCH(QString, value);
        QFETCH(int, window);
        QFETCH(double, rate);
        qputenv(name.constData(), value.toUtf8());
        const EnvironmentSettings read = EnvironmentSettings::fromProcess();
        qunsetenv(name.constData());
        QCOMPARE(read.smppWindow, window);
        QCOMPARE(read.smppRate, rate);
    }

    // The one doubling rule: binds, sign-ins and a row's next attempt.
    void backOffDoublesToItsLongest() {
        const QList<qint64> steps{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
        BackOff backOff(1000, 60000);
        for (int n = 0; n < steps.size(); ++n) {
            QCOMPARE(BackOff::waitAfter(n + 1, 1000, 60000), steps[n]);
            backOff.refused(0, QStringLiteral("refused"));
            QCOMPARE(backOff.waitMs(), steps[n]);
        }
        QVERIFY(backOff.waiting(59999));
        QVERIFY(!backOff.waiting(60000));
        backOff.reset();
        backOff.refused(0, QStringLiteral("again"));
        QCOMPARE(backOff.waitMs(), qint64(1000));
        QCOMPARE(BackOff::waitAfter(7, 60, 3600), qint64(3600));  // a row's seventh attempt
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
