// The settings tab: the stored values shown, edits noticed by string, the unsaved-settings sheet
// both ways, saving (refused values named, stored values, protection left stopped or restarted
// with the real daemons of the build taking the new command lines), and a hostile settings file
// reported once.
//
// The controller sees only the daemons this program launched (OwnDaemons.h): a save restarts
// whatever protection it finds running, and must never reach another run's daemons. The program
// still runs alone (SERIAL) and under the daemon tests' lock, since other tests stop every daemon
// of the user, these included.

#include "AppKeyring.h"

#include "OwnDaemons.h"

#include "MainTabView.h"
#include "PasswordLock.h"
#include "ProtectionService.h"
#include "SettingsController.h"
#include "SettingsTab.h"

#include "control/ProtectionControl.h"
#include "platform/Log.h"
#include "platform/System.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsStore.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QtTest>

#include <fstream>
#include <memory>
#include <mutex>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

const QString kDays = QStringLiteral("Days to keep data");
const QString kSize = QStringLiteral("Largest file kept, in megabytes");
const QString kPercent = QStringLiteral("Minimum free disk space, in percent");
const QString kHomeOnly = QStringLiteral("Protect the home Trash only");
const QString kKeepDays = QStringLiteral("Keep data for");
const QString kKeepSize = QStringLiteral("Do not keep files larger than");
const QString kCopy = QStringLiteral("Copy trashed items");
const QString kMove = QStringLiteral("Move trashed items");
const QString kUpdates = QStringLiteral("Check for updates at launch");
const QString kTrayIcon = QStringLiteral("Show the tray icon");
const QString kPassword = QStringLiteral("Ask for a password to open the cache browser");
const QString kNotSaved = QStringLiteral("Settings not saved!");
const QString kOutOfRange = QStringLiteral("A setting is out of range");

PrefValues storedValues() {
    auto stored = PreferencesDomain(kQuilletDomain).read();
    return stored ? *stored : PrefValues{};
}

std::optional<int64_t> storedInteger(const char *key) {
    const PrefValues values = storedValues();
    auto found = values.find(key);
    if (found == values.end())
        return std::nullopt;
    return found->second.integerValue();
}

// Every line the program logs while the test runs.
class LogCapture {
public:
    LogCapture() {
        sys::setLogSink([this](std::string_view line) {
            std::lock_guard lock(_mutex);
            _lines.emplace_back(line);
        });
    }
    ~LogCapture() { sys::setLogSink({}); }
    bool contains(std::string_view part) {
        std::lock_guard lock(_mutex);
        for (const std::string &line : _lines)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

private:
    std::mutex _mutex;
    std::vector<std::string> _lines;
};

std::vector<std::vector<std::string>> daemonsOf(const char *name) { return ownDaemonArguments(name); }

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void aFreshUserSeesTheDefaults();
    void anEditUndoneLeavesSaveDisabled_data();
    void anEditUndoneLeavesSaveDisabled();
    void turningThePasswordOffAloneIsNoEdit();
    void leavingWithUnsavedEditsAsks_data();
    void leavingWithUnsavedEditsAsks();
    void savingWhileStoppedStoresAndStartsNothing();
    void aValueOutOfRangeIsRefusedNamingTheField_data();
    void aValueOutOfRangeIsRefusedNamingTheField();
    void aRefusedValueKeepsTheSheetsSwitchFromHappening();
    void savingWhileProtectionRunsRestartsTheDaemonsWithTheNewValues();
    void valuesOfAHostileSettingsFileAreReportedAndNotTaken();

private:
    std::unique_ptr<MainController> start();
    /// The verdict of the next comparison of the controls with the snapshot.
    bool nextComparison();
    void edit(const QString &field, const QString &text);
    template <typename T = QWidget>
    T *control(const QString &name) {
        return findByName<T>(name, _controller.get());
    }
    bool saveEnabled() { return control<QPushButton>(QStringLiteral("Save settings"))->isEnabled(); }

    std::unique_ptr<MainController> _controller;
};

void SettingsTest::init() {
    // Every case starts from a user who never saved anything.
    const std::string path = PreferencesDomain(kQuilletDomain).path();
    (void)sys::unlink(path);
    QVERIFY(!sys::stat(path, sys::FollowLinks::No));
    QVERIFY(!anyOwnDaemonRuns());
}

void SettingsTest::cleanup() {
    _controller.reset();
    // Whatever a failed case left running goes with it.
    if (anyOwnDaemonRuns())
        QVERIFY(stopOwnDaemons());
}

std::unique_ptr<MainController> SettingsTest::start() {
    auto controller = std::make_unique<MainController>(testOptions());
    confineToOwnDaemons(controller->service());
    if (!controller->init() || !controller->awakeFromNib())
        return nullptr;
    if (!QTest::qWaitForWindowExposed(controller.get()))
        return nullptr;
    PasswordLock &lock = controller->passwordLock();
    if (!waitUntil([&] { return lock.startCheckDone() && !lock.keyringBusy(); }))
        return nullptr;
    return controller;
}

bool SettingsTest::nextComparison() {
    QSignalSpy compared(&_controller->settingsController(), &SettingsController::snapshotCompared);
    if (!compared.wait(5000))
        return false;
    return compared.last().at(0).toBool();
}

void SettingsTest::edit(const QString &field, const QString &text) {
    auto *line = control<QLineEdit>(field);
    QVERIFY(line);
    line->setText(text);
}

void SettingsTest::aFreshUserSeesTheDefaults() {
    _controller = start();
    QVERIFY(_controller);
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    QVERIFY(control<QCheckBox>(kHomeOnly)->isChecked());
    QVERIFY(control<QCheckBox>(kKeepDays)->isChecked());
    QCOMPARE(control<QLineEdit>(kDays)->text(), QStringLiteral("7"));
    QVERIFY(control<QCheckBox>(kKeepSize)->isChecked());
    QCOMPARE(control<QLineEdit>(kSize)->text(), QStringLiteral("4096"));
    QCOMPARE(control<QLineEdit>(kPercent)->text(), QStringLiteral("10"));
    QVERIFY(control<QRadioButton>(kCopy)->isChecked());
    QVERIFY(!control<QRadioButton>(kMove)->isChecked());
    QVERIFY(control<QCheckBox>(kUpdates)->isChecked());
    QVERIFY(control<QCheckBox>(kTrayIcon)->isChecked());
    QVERIFY(!saveEnabled());

    const SettingsMirror &mirror = _controller->service().mirror();
    QVERIFY(mirror.surveyHomeTrashOnly());
    QVERIFY(mirror.keepDataForDays());
    QCOMPARE(mirror.daysToKeep(), 7);
    QVERIFY(mirror.keepDataForSizeMax());
    QCOMPARE(mirror.sizeMaxForCache(), 4096);
    QCOMPARE(mirror.percentageOfFreeDiskSpace(), 10);
    QCOMPARE(mirror.modeOfCacheFileHandling(), 0);
    QVERIFY(mirror.checkUpdates());
    QVERIFY(mirror.displayMenuExtra());

    // The snapshot holds the controls under its short keys; it goes with the tab.
    const auto &snapshot = _controller->settingsController().subPrefs();
    QVERIFY(snapshot);
    QCOMPARE(snapshot->value(snapshot::kDayToKeep).toString(), QStringLiteral("7"));
    QCOMPARE(snapshot->value(snapshot::kMoveData).toInt(), 1);
    QCOMPARE(snapshot->value(snapshot::kHomeOnly).toInt(), 1);
    QCOMPARE(snapshot->size(), 10);
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("1")));
    QVERIFY(!_controller->settingsController().subPrefs());
}

void SettingsTest::anEditUndoneLeavesSaveDisabled_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("edited");   // text, or "toggle" for a button
    QTest::addColumn<QString>("lookAlike"); // a text equal as a number, empty for none
    QTest::newRow("days") << kDays << "8" << "07";
    QTest::newRow("size") << kSize << "2048" << "04096";
    QTest::newRow("percent") << kPercent << "11" << "010";
    QTest::newRow("home only") << kHomeOnly << "toggle" << "";
    QTest::newRow("keep days") << kKeepDays << "toggle" << "";
    QTest::newRow("keep size") << kKeepSize << "toggle" << "";
    QTest::newRow("updates") << kUpdates << "toggle" << "";
    QTest::newRow("tray icon") << kTrayIcon << "toggle" << "";
    QTest::newRow("mode") << kMove << "toggle" << "";
}

void SettingsTest::anEditUndoneLeavesSaveDisabled() {
    QFETCH(QString, name);
    QFETCH(QString, edited);
    QFETCH(QString, lookAlike);
    _controller = start();
    QVERIFY(_controller);
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    QVERIFY(!nextComparison());
    QVERIFY(!saveEnabled());

    if (edited == QStringLiteral("toggle")) {
        auto *button = control<QAbstractButton>(name);
        QVERIFY(button);
        const bool before = button->isChecked();
        button->click();
        QVERIFY(nextComparison());
        QVERIFY(saveEnabled());
        if (auto *radio = qobject_cast<QRadioButton *>(button); radio && before == false)
            control<QRadioButton>(kCopy)->click(); // an exclusive pair: back through its partner
        else
            button->click();
        QCOMPARE(button->isChecked(), before);
    } else {
        auto *field = control<QLineEdit>(name);
        QVERIFY(field);
        const QString before = field->text();
        edit(name, edited);
        QVERIFY(nextComparison());
        QVERIFY(saveEnabled());
        edit(name, before);
        QVERIFY(!nextComparison());
        QVERIFY(!saveEnabled());
        // The same number written otherwise is an edit: the fields compare as text.
        edit(name, lookAlike);
        QVERIFY(nextComparison());
        QVERIFY(saveEnabled());
        edit(name, before);
    }
    QVERIFY(!nextComparison());
    QVERIFY(!saveEnabled());
}

void SettingsTest::turningThePasswordOffAloneIsNoEdit() {
    _controller = start();
    QVERIFY(_controller);
    // The lock as the keyring left it at start-up, made on here without a sheet.
    _controller->passwordLock().setMustAskForPassword(true);
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    auto *box = control<QCheckBox>(kPassword);
    QVERIFY(box->isChecked());
    box->setChecked(false);
    QVERIFY(!nextComparison());
    QVERIFY(!saveEnabled());
    box->setChecked(true);
    QVERIFY(!nextComparison());

    // Turning it on is an edit.
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("1")));
    _controller->passwordLock().setMustAskForPassword(false);
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    QVERIFY(!box->isChecked());
    box->setChecked(true);
    QVERIFY(nextComparison());
    QVERIFY(saveEnabled());
}

void SettingsTest::leavingWithUnsavedEditsAsks_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("daysAfter");
    QTest::newRow("do not save") << "Do not save" << 7;
    QTest::newRow("save") << "Save" << 30;
}

void SettingsTest::leavingWithUnsavedEditsAsks() {
    QFETCH(QString, answer);
    QFETCH(int, daysAfter);
    _controller = start();
    QVERIFY(_controller);
    MainTabView *tabs = _controller->mainTabView();
    QVERIFY(tabs->selectTab(QStringLiteral("2")));
    edit(kDays, QStringLiteral("30"));
    control<QCheckBox>(kUpdates)->click();
    QVERIFY(waitUntil([&] { return saveEnabled(); }));

    // The switch is postponed while the sheet asks.
    QVERIFY(!tabs->selectTab(QStringLiteral("1")));
    QCOMPARE(tabs->currentIdentifier(), QStringLiteral("2"));
    QDialog *sheet = waitForDialog(kNotSaved);
    QVERIFY(sheet);
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
    QCOMPARE(static_cast<QMessageBox *>(sheet)->informativeText(),
             QStringLiteral("You made modifications to settings. Do you want to save modifications?"));
    QVERIFY(_controller->settingsController().alertShown());

    QVERIFY(answerDialog(kNotSaved, answer));
    QVERIFY(waitUntil([&] { return tabs->currentIdentifier() == QStringLiteral("1"); }));
    QVERIFY(!_controller->settingsController().alertShown());
    QCOMPARE(_controller->service().mirror().daysToKeep(), daysAfter);
    QCOMPARE(control<QLineEdit>(kDays)->text(), QString::number(daysAfter));
    QCOMPARE(control<QCheckBox>(kUpdates)->isChecked(), daysAfter == 7);
    if (daysAfter == 7) {
        // Nothing reached the domain.
        QVERIFY(!storedInteger(prefs::kHowManyDaysToKeepData));
    } else {
        QCOMPARE(storedInteger(prefs::kHowManyDaysToKeepData), std::optional<int64_t>(30));
        QCOMPARE(storedInteger(prefs::kAppPrefsCheckUpdates), std::optional<int64_t>(0));
        QVERIFY(!anyOwnDaemonRuns());
    }
    // Back on the tab: nothing to save.
    QVERIFY(tabs->selectTab(QStringLiteral("2")));
    QVERIFY(!nextComparison());
    QVERIFY(!saveEnabled());
}

void SettingsTest::savingWhileStoppedStoresAndStartsNothing() {
    _controller = start();
    QVERIFY(_controller);
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    edit(kDays, QStringLiteral("0030"));
    edit(kSize, QStringLiteral("8796093022207"));
    edit(kPercent, QStringLiteral("0"));
    control<QCheckBox>(kHomeOnly)->click();
    control<QCheckBox>(kKeepSize)->click();
    control<QRadioButton>(kMove)->click();
    control<QCheckBox>(kUpdates)->click();
    control<QCheckBox>(kTrayIcon)->click();
    QVERIFY(waitUntil([&] { return saveEnabled(); }));

    QSignalSpy ended(&_controller->settingsController(), &SettingsController::saveEnded);
    control<QPushButton>(QStringLiteral("Save settings"))->click();
    QVERIFY(!saveEnabled());
    QVERIFY(ended.wait(30000));
    QCOMPARE(ended.first().at(0).toBool(), true);

    const std::pair<const char *, int64_t> expected[] = {
        {prefs::kSurveyHomeTrashOnly, 0},    {prefs::kKeepDataForDays, 1},
        {prefs::kHowManyDaysToKeepData, 30}, {prefs::kKeepDataForSizeMax, 0},
        {prefs::kSizeMaxForCache, 8796093022207}, {prefs::kPercentageOfFreeDiskSpace, 0},
        {prefs::kModeOfCacheFileHandling, 1}, {prefs::kAppPrefsCheckUpdates, 0},
        {prefs::kDisplayMenuExtra, 0},       {prefs::kDaemonsAreRunning, 0},
    };
    const SettingsMirror &mirror = _controller->service().mirror();
    for (const auto &[key, value] : expected) {
        QCOMPARE(storedInteger(key), std::optional<int64_t>(value));
        QCOMPARE(mirror.integer(key), value);
    }
    QVERIFY(!anyOwnDaemonRuns());
    // The snapshot is taken again: nothing is left to save.
    QCOMPARE(_controller->settingsController().subPrefs()->value(snapshot::kDayToKeep).toString(),
             QStringLiteral("0030"));
    QVERIFY(!nextComparison());
    QVERIFY(!saveEnabled());

    // A new window shows what was saved.
    _controller.reset();
    _controller = start();
    QVERIFY(_controller);
    QCOMPARE(control<QLineEdit>(kDays)->text(), QStringLiteral("30"));
    QVERIFY(control<QRadioButton>(kMove)->isChecked());
    QVERIFY(!control<QCheckBox>(kHomeOnly)->isChecked());
}

void SettingsTest::aValueOutOfRangeIsRefusedNamingTheField_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("range");
    QTest::newRow("no day") << kDays << "0" << "from 1 to 36500";
    QTest::newRow("a century and a day") << kDays << "36501" << "from 1 to 36500";
    QTest::newRow("empty days") << kDays << "" << "from 1 to 36500";
    QTest::newRow("a byte count beyond 64 bits") << kSize << "8796093022208" << "from 0 to 8796093022207";
    QTest::newRow("beyond any integer") << kSize << "99999999999999999999999" << "from 0 to 8796093022207";
    QTest::newRow("a full disk") << kPercent << "100" << "from 0 to 99";
    QTest::newRow("not a number") << kPercent << "1O" << "from 0 to 99";
}

void SettingsTest::aValueOutOfRangeIsRefusedNamingTheField() {
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, range);
    _controller = start();
    QVERIFY(_controller);
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    edit(kPercent, QStringLiteral("20")); // a valid edit beside it is not stored either
    edit(field, text);
    QVERIFY(waitUntil([&] { return saveEnabled(); }));
    QSignalSpy ended(&_controller->settingsController(), &SettingsController::saveEnded);
    control<QPushButton>(QStringLiteral("Save settings"))->click();
    QDialog *sheet = waitForDialog(kOutOfRange);
    QVERIFY(sheet);
    const QString told = static_cast<QMessageBox *>(sheet)->informativeText();
    QVERIFY2(told.contains(field) && told.contains(range), qPrintable(told));
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended.first().at(0).toBool(), false);
    QVERIFY(answerDialog(kOutOfRange, QStringLiteral("OK")));

    QVERIFY(!storedInteger(prefs::kPercentageOfFreeDiskSpace));
    QVERIFY(!storedInteger(prefs::kHowManyDaysToKeepData));
    QCOMPARE(_controller->service().mirror().percentageOfFreeDiskSpace(), 10);
    QCOMPARE(control<QLineEdit>(field)->text(), text);
    QVERIFY(nextComparison());
    QVERIFY(saveEnabled());
}

void SettingsTest::aRefusedValueKeepsTheSheetsSwitchFromHappening() {
    _controller = start();
    QVERIFY(_controller);
    MainTabView *tabs = _controller->mainTabView();
    QVERIFY(tabs->selectTab(QStringLiteral("2")));
    edit(kDays, QStringLiteral("0"));
    QVERIFY(waitUntil([&] { return saveEnabled(); }));
    QVERIFY(!tabs->selectTab(QStringLiteral("1")));
    QVERIFY(answerDialog(kNotSaved, QStringLiteral("Save")));
    QVERIFY(answerDialog(kOutOfRange, QStringLiteral("OK")));
    QCOMPARE(tabs->currentIdentifier(), QStringLiteral("2"));
    QVERIFY(!_controller->settingsController().alertShown());
    QVERIFY(!storedInteger(prefs::kHowManyDaysToKeepData));
    // The edit is still there, and leaving still asks.
    QVERIFY(waitUntil([&] { return saveEnabled(); }));
    QVERIFY(!tabs->selectTab(QStringLiteral("1")));
    QVERIFY(answerDialog(kNotSaved, QStringLiteral("Do not save")));
    QVERIFY(waitUntil([&] { return tabs->currentIdentifier() == QStringLiteral("1"); }));
    QCOMPARE(control<QLineEdit>(kDays)->text(), QStringLiteral("7"));
}

void SettingsTest::savingWhileProtectionRunsRestartsTheDaemonsWithTheNewValues() {
    _controller = start();
    QVERIFY(_controller);
    ProtectionService &service = _controller->service();
    const std::string trash = sys::joinPath(std::getenv("XDG_DATA_HOME"), "Trash/files/");
    const std::string home = std::string(std::getenv("HOME")) + "/";

    bool started = false;
    service.run([](ProtectionControl &control) { control.startProtection(); }, [&] { started = true; });
    QVERIFY(waitUntil([&] { return started; }));
    QVERIFY(waitUntil([&] { return daemonsOf(kProtectionDaemonName).size() == 1 &&
                                   daemonsOf(kCacheManagerDaemonName).size() == 1; }));
    QCOMPARE(daemonsOf(kProtectionDaemonName)[0],
             (std::vector<std::string>{"1", trash, home, "4096", "10", "0"}));

    struct Step {
        const char *name;
        bool homeOnly;
        std::vector<std::string> quilletd;
        std::vector<std::string> cacheManager;
        std::vector<std::vector<std::string>> mountWatcher;
    };
    const Step steps[] = {
        {"every volume, moved, new limits", false, {"1", trash, home, "2048", "20", "1"}, {"30", "2048", "20", "0"},
         {{"1", "/", "/", "2048", "20", "1"}}},
        {"the home trash only again", true, {"1", trash, home, "2048", "20", "1"}, {"30", "2048", "20", "0"}, {}},
    };
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    edit(kDays, QStringLiteral("30"));
    edit(kSize, QStringLiteral("2048"));
    edit(kPercent, QStringLiteral("20"));
    control<QRadioButton>(kMove)->click();
    for (const Step &step : steps) {
        auto *homeOnly = control<QCheckBox>(kHomeOnly);
        if (homeOnly->isChecked() != step.homeOnly)
            homeOnly->click();
        QVERIFY2(waitUntil([&] { return saveEnabled(); }), step.name);
        QSignalSpy ended(&_controller->settingsController(), &SettingsController::saveEnded);
        control<QPushButton>(QStringLiteral("Save settings"))->click();
        QVERIFY2(ended.wait(60000), step.name);
        QVERIFY2(ended.first().at(0).toBool(), step.name);
        QVERIFY2(!waitForDialog(QStringLiteral("Protection was not restarted"), 0), step.name);
        QVERIFY2(!waitForDialog(QStringLiteral("Protection was restarted with problems"), 0), step.name);

        const auto quilletd = daemonsOf(kProtectionDaemonName);
        QCOMPARE(quilletd.size(), size_t(1));
        QCOMPARE(quilletd[0], step.quilletd);
        const auto cacheManager = daemonsOf(kCacheManagerDaemonName);
        QCOMPARE(cacheManager.size(), size_t(1));
        QCOMPARE(cacheManager[0], step.cacheManager);
        QCOMPARE(daemonsOf(kMountDaemonName), step.mountWatcher);
        QCOMPARE(storedInteger(prefs::kDaemonsAreRunning), std::optional<int64_t>(1));
        QVERIFY(service.mirror().daemonsAreRunning());
        QCOMPARE(storedInteger(prefs::kSurveyHomeTrashOnly), std::optional<int64_t>(step.homeOnly ? 1 : 0));
    }

    bool stopped = false;
    bool answered = false;
    service.run([&stopped](ProtectionControl &control) { stopped = control.stopAndWait(std::chrono::seconds(10)); },
                [&] { answered = true; });
    QVERIFY(waitUntil([&] { return answered; }, 20000));
    QVERIFY(stopped);
    QVERIFY(!anyOwnDaemonRuns());
}

void SettingsTest::valuesOfAHostileSettingsFileAreReportedAndNotTaken() {
    const std::string path = PreferencesDomain(kQuilletDomain).path();
    {
        std::ofstream file(path);
        file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                "<plist version=\"1.0\"><dict>\n"
                "<key>Percentage of free disk space</key><integer>150</integer>\n"
                "<key>How many days to keep data</key><integer>-3</integer>\n"
                "<key>Size max for cache</key><integer>2048</integer>\n"
                "</dict></plist>\n";
    }
    LogCapture log;
    _controller = start();
    QVERIFY(_controller);
    QDialog *sheet = waitForDialog(QStringLiteral("Some settings were not taken"));
    QVERIFY(sheet);
    const QString told = static_cast<QMessageBox *>(sheet)->informativeText();
    QVERIFY2(told.contains(QStringLiteral("Percentage of free disk space")) && told.contains(QStringLiteral("150")),
             qPrintable(told));
    QVERIFY2(told.contains(QStringLiteral("How many days to keep data")), qPrintable(told));
    QVERIFY(log.contains("Quillet: \"Percentage of free disk space\""));
    QVERIFY(answerDialog(QStringLiteral("Some settings were not taken"), QStringLiteral("OK")));

    // The defaults stand in for the refused values; the good one is taken.
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    QCOMPARE(control<QLineEdit>(kPercent)->text(), QStringLiteral("10"));
    QCOMPARE(control<QLineEdit>(kDays)->text(), QStringLiteral("7"));
    QCOMPARE(control<QLineEdit>(kSize)->text(), QStringLiteral("2048"));
    // Shown once: switching tabs and coming back says nothing more.
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("1")));
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    QVERIFY(!waitForDialog(QStringLiteral("Some settings were not taken"), 300));
}

QUILLET_APP_KEYRING_TEST_MAIN(SettingsTest)
#include "settings_test.moc"
