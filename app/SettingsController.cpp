#include "SettingsController.h"

#include "Alerts.h"
#include "MainController.h"
#include "MainTabView.h"
#include "PasswordLock.h"
#include "ProtectionService.h"
#include "SettingsTab.h"
#include "StatusController.h"
#include "StatusTab.h"

#include "platform/Log.h"
#include "settings/SettingsStore.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <charconv>
#include <memory>

namespace quillet::app {

namespace {

const QString kSettingsTab = QStringLiteral("2");

int stateOf(const QAbstractButton *box) { return box->isChecked() ? 1 : 0; }

// A whole decimal number and nothing else; nothing for empty text, other characters, or a
// number beyond 64 bits (which no field takes anyway).
std::optional<int64_t> wholeNumber(const QString &text) {
    const std::string digits = text.toStdString();
    if (digits.empty())
        return std::nullopt;
    int64_t number = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return number;
}

// What a job that wrote the domain answers: an empty failure when it was stored.
struct DomainWrite {
    std::string failure;
    std::string corruptCopyPath;
};

// What the protection part of a save found and did.
struct RestartOutcome {
    bool wasRunning = false;
    bool stopped = true;
    bool running = false;
    std::vector<std::string> failures;
};

} // namespace

const std::vector<SettingsController::NumberField> &SettingsController::numberFields() {
    // The ranges the domain takes (settingValueProblem): a value outside them is refused there,
    // so it is caught here first, where the field can still be named.
    static const std::vector<NumberField> fields = {
        {prefs::kHowManyDaysToKeepData, 1, 36500},
        {prefs::kSizeMaxForCache, 0, 8796093022207},
        {prefs::kPercentageOfFreeDiskSpace, 0, 99},
    };
    return fields;
}

SettingsController::SettingsController(MainController &main, ProtectionService &service, PasswordLock &password)
    : QObject(&main), _main(main), _service(service), _password(password) {}

void SettingsController::loadControls() {
    SettingsTab *tab = _main.settingsTab();
    const SettingsMirror &mirror = _service.mirror();
    auto number = [&](const char *key) { return QString::number(static_cast<qlonglong>(mirror.integer(key))); };
    tab->surveyHomeCB->setChecked(mirror.surveyHomeTrashOnly());
    tab->deleteCacheCB->setChecked(mirror.keepDataForDays());
    tab->dayToKeepTF->setText(number(prefs::kHowManyDaysToKeepData));
    tab->fileMaxCB->setChecked(mirror.keepDataForSizeMax());
    tab->largeFileTF->setText(number(prefs::kSizeMaxForCache));
    tab->percentTF->setText(number(prefs::kPercentageOfFreeDiskSpace));
    // The two radio buttons are exclusive: the one to turn on is checked, never one turned off.
    if (mirror.modeOfCacheFileHandling() == 0)
        tab->modeRadioButton->setChecked(true);
    else
        tab->moveRadioButton->setChecked(true);
    tab->checkUpdateCB->setChecked(mirror.checkUpdates());
    tab->displayMenuCB->setChecked(mirror.displayMenuExtra());
    tab->askPasswordCB->setChecked(mirror.appMustAskForPassword());

    if (!_warningsReported) {
        _warningsReported = true;
        if (!mirror.warnings().empty())
            showUnreadSettingsWarnings();
    }
}

void SettingsController::showUnreadSettingsWarnings() {
    QStringList lines;
    for (const std::string &warning : _service.mirror().warnings()) {
        sys::logLine("Quillet: " + warning);
        lines << QString::fromStdString(warning);
    }
    // The window is not shown yet while it is being set up: the sheet waits for the event loop.
    QTimer::singleShot(0, this, [this, lines] {
        showSheet(&_main, AlertStyle::Warning, tr("Some settings were not taken"),
                  tr("The settings file %1 holds values Quillet does not accept; their default values are used "
                     "until you save the settings:\n%2")
                      .arg(QString::fromStdString(_service.domainPath()), lines.join(QLatin1Char('\n'))),
                  {tr("OK")}, {});
    });
}

QVariantMap SettingsController::takeSnapshot() const {
    const SettingsTab *tab = _main.settingsTab();
    QVariantMap values;
    values.insert(snapshot::kHomeOnly, stateOf(tab->surveyHomeCB));
    values.insert(snapshot::kUpdateOnLaunch, stateOf(tab->checkUpdateCB));
    values.insert(snapshot::kDisplayExtraMenu, stateOf(tab->displayMenuCB));
    values.insert(snapshot::kMoveData, stateOf(tab->modeRadioButton));
    values.insert(snapshot::kFreePercentage, tab->percentTF->text());
    values.insert(snapshot::kDeleteAfter, stateOf(tab->deleteCacheCB));
    values.insert(snapshot::kDayToKeep, tab->dayToKeepTF->text());
    values.insert(snapshot::kDoNotSave, stateOf(tab->fileMaxCB));
    values.insert(snapshot::kSizeLimit, tab->largeFileTF->text());
    values.insert(snapshot::kAskPassword, stateOf(tab->askPasswordCB));
    return values;
}

bool SettingsController::controlsDifferFromSnapshot() const {
    if (!_subPrefs)
        return false;
    const QVariantMap &before = *_subPrefs;
    const QVariantMap now = takeSnapshot();
    // The text fields compare as text: "07" is an edit of "7".
    for (const char *key : {snapshot::kFreePercentage, snapshot::kDayToKeep, snapshot::kSizeLimit})
        if (before.value(key).toString() != now.value(key).toString())
            return true;
    for (const char *key : {snapshot::kHomeOnly, snapshot::kUpdateOnLaunch, snapshot::kDisplayExtraMenu,
                            snapshot::kMoveData, snapshot::kDeleteAfter, snapshot::kDoNotSave})
        if (before.value(key).toInt() != now.value(key).toInt())
            return true;
    // Turning the password off is confirmed by its own sheet, which removes the password at once:
    // only turning it on is an edit that waits for Save.
    return now.value(snapshot::kAskPassword).toInt() != 0 &&
           before.value(snapshot::kAskPassword).toInt() != now.value(snapshot::kAskPassword).toInt();
}

void SettingsController::subPrefsTimer() {
    if (!_subPrefs) {
        if (_subPrefsTimer)
            _subPrefsTimer->stop();
        return;
    }
    const bool changed = controlsDifferFromSnapshot();
    // While a save runs the button stays off: the snapshot is taken again once it has ended.
    if (!_saveRunning)
        _main.settingsTab()->saveSettingsButton->setEnabled(changed);
    emit snapshotCompared(changed);
}

void SettingsController::startSnapshot() {
    _main.settingsTab()->askPasswordCB->setChecked(_service.mirror().appMustAskForPassword());
    _subPrefs = takeSnapshot();
    if (!_subPrefsTimer) {
        _subPrefsTimer = new QTimer(this);
        _subPrefsTimer->setInterval(kSubPrefsTimerMs);
        connect(_subPrefsTimer, &QTimer::timeout, this, &SettingsController::subPrefsTimer);
    }
    _subPrefsTimer->start();
}

void SettingsController::releaseSnapshot() {
    if (_subPrefsTimer) {
        _subPrefsTimer->stop();
        _subPrefsTimer->deleteLater();
        _subPrefsTimer = nullptr;
    }
    _subPrefs.reset();
}

void SettingsController::setSnapshotAskPassword(bool on) {
    if (_subPrefs)
        _subPrefs->insert(snapshot::kAskPassword, on ? 1 : 0);
}

void SettingsController::tabWillSelect(const QString &identifier) {
    if (identifier == kSettingsTab)
        startSnapshot();
    else
        releaseSnapshot();
}

void SettingsController::tabDidSelect(const QString &identifier) {
    if (identifier == kSettingsTab)
        _main.settingsTab()->saveSettingsButton->setEnabled(false);
}

bool SettingsController::shouldLeaveSettings(const QString &target) {
    if (_main.mainTabView()->currentIdentifier() != kSettingsTab)
        return true;
    if (!_alertShown && _main.settingsTab()->saveSettingsButton->isEnabled()) {
        _alertShown = true;
        showSheet(&_main, AlertStyle::Warning, tr("Settings not saved!"),
                  tr("You made modifications to settings. Do you want to save modifications?"),
                  {tr("Save"), tr("Do not save")},
                  [this, target](int returnCode) { alertPrefsNotSavedDidEnd(returnCode, target); });
        return false;
    }
    // The sheet's Save is still storing and restarting: its own switch follows once it is done.
    return !_switchAfterSave;
}

void SettingsController::alertPrefsNotSavedDidEnd(int returnCode, const QString &target) {
    SettingsTab *tab = _main.settingsTab();
    if (returnCode == kAlertFirstButtonReturn) {
        _switchAfterSave = true;
        saveSettings([this, target](bool saved) {
            _switchAfterSave = false;
            if (saved) {
                _password.setMustAskForPassword(_main.settingsTab()->askPasswordCB->isChecked());
                _main.settingsTab()->saveSettingsButton->setEnabled(false);
                _main.mainTabView()->selectTab(target);
            }
            // Last, so that the switch above is not met by a second sheet.
            _alertShown = false;
        });
        return;
    }
    if (returnCode == kAlertSecondButtonReturn) {
        loadControls();
        const bool ask =
            _subPrefs ? _subPrefs->value(snapshot::kAskPassword).toInt() != 0 : tab->askPasswordCB->isChecked();
        tab->askPasswordCB->setChecked(ask);
        _password.setMustAskForPassword(ask);
        if (!ask)
            _password.removePasswordIfExists();
        _main.mainTabView()->selectTab(target);
    }
    _alertShown = false;
}

std::optional<PrefValues> SettingsController::valuesFromControls() {
    SettingsTab *tab = _main.settingsTab();
    const QLineEdit *fields[] = {tab->dayToKeepTF, tab->largeFileTF, tab->percentTF};
    PrefValues values;
    for (size_t i = 0; i < numberFields().size(); ++i) {
        const NumberField &rule = numberFields()[i];
        const QString text = fields[i]->text();
        const std::optional<int64_t> number = wholeNumber(text);
        if (!number || *number < rule.low || *number > rule.high) {
            QApplication::beep();
            showSheet(&_main, AlertStyle::Warning, tr("A setting is out of range"),
                      tr("\"%1\" must be a whole number from %2 to %3, not \"%4\". Nothing was saved.")
                          .arg(fields[i]->accessibleName())
                          .arg(static_cast<qlonglong>(rule.low))
                          .arg(static_cast<qlonglong>(rule.high))
                          .arg(text),
                      {tr("OK")}, {});
            return std::nullopt;
        }
        values[rule.key] = PrefValue(*number);
    }
    values[prefs::kSurveyHomeTrashOnly] = PrefValue(stateOf(tab->surveyHomeCB));
    values[prefs::kAppPrefsCheckUpdates] = PrefValue(stateOf(tab->checkUpdateCB));
    values[prefs::kDisplayMenuExtra] = PrefValue(stateOf(tab->displayMenuCB));
    values[prefs::kModeOfCacheFileHandling] = PrefValue(tab->modeRadioButton->isChecked() ? 0 : 1);
    values[prefs::kKeepDataForDays] = PrefValue(stateOf(tab->deleteCacheCB));
    values[prefs::kKeepDataForSizeMax] = PrefValue(stateOf(tab->fileMaxCB));
    values[prefs::kAppMustAskForPassword] = PrefValue(stateOf(tab->askPasswordCB));
    return values;
}

void SettingsController::saveSettings(std::function<void(bool)> then) {
    if (_saveRunning) {
        // The button is off while a save runs; a second request has nothing new to store yet.
        if (then)
            then(false);
        return;
    }
    std::optional<PrefValues> values = valuesFromControls();
    if (!values) {
        endSave(false, then);
        return;
    }
    _saveRunning = true;
    _main.settingsTab()->saveSettingsButton->setEnabled(false);
    auto written = std::make_shared<DomainWrite>();
    _service.run(
        [values = *values, written](ProtectionControl &control) {
            auto report = control.domain().setValues(values);
            if (!report)
                written->failure = report.status().message();
            else
                written->corruptCopyPath = report->corruptCopyPath;
        },
        [this, values = *values, written, then = std::move(then)] {
            if (!written->corruptCopyPath.empty())
                sys::logLine("Quillet: the settings file could not be read; it was kept as " +
                             written->corruptCopyPath + " and a new one was written");
            afterDomainWrite(values, written->failure, then);
        });
}

void SettingsController::afterDomainWrite(const PrefValues &values, const std::string &failure,
                                          std::function<void(bool)> then) {
    if (!failure.empty()) {
        _saveRunning = false;
        sys::logLine("Quillet: the settings were not saved: " + failure);
        showSheet(&_main, AlertStyle::Critical, tr("The settings could not be saved"),
                  tr("Quillet could not write its settings file:\n%1\nThe settings in use have not changed.")
                      .arg(QString::fromStdString(failure)),
                  {tr("OK")}, {});
        endSave(false, then);
        return;
    }
    SettingsMirror &mirror = _service.mirror();
    for (const auto &[key, value] : values)
        mirror.set(key, value);
    if (!_main.settingsTab()->askPasswordCB->isChecked())
        _password.removePasswordIfExists();

    // Queued after the write, so the control takes the mirror with the new values: the daemons
    // started again get command lines built from them.
    auto outcome = std::make_shared<RestartOutcome>();
    _service.run(
        [outcome](ProtectionControl &control) {
            outcome->wasRunning = control.isRunning();
            if (outcome->wasRunning) {
                outcome->stopped = control.restart();
                if (outcome->stopped) {
                    (void)control.confirmLaunches();
                    outcome->failures = control.failures();
                }
            }
            outcome->running = control.refreshRunningState();
        },
        [this, outcome, then = std::move(then)] {
            _saveRunning = false;
            _main.statusTab()->setStatusDisplay(outcome->running);
            if (outcome->wasRunning)
                _main.statusController().timerRefreshStats();
            if (!outcome->stopped) {
                sys::logLine("Quillet: protection was not restarted after saving the settings: a daemon was still "
                             "running after the stop");
                showSheet(&_main, AlertStyle::Warning, tr("Protection was not restarted"),
                          tr("The settings were saved, but a protection daemon was still running after it was "
                             "asked to stop, so none was started again. Start the protection from the Status tab."),
                          {tr("OK")}, {});
            } else if (!outcome->failures.empty()) {
                QStringList lines;
                for (const std::string &line : outcome->failures) {
                    sys::logLine("Quillet: " + line);
                    lines << QString::fromStdString(line);
                }
                showSheet(&_main, AlertStyle::Warning, tr("Protection was restarted with problems"),
                          tr("The settings were saved and the protection was started again, but:\n%1")
                              .arg(lines.join(QLatin1Char('\n'))),
                          {tr("OK")}, {});
            }
            if (_main.mainTabView()->currentIdentifier() == kSettingsTab && _subPrefs)
                _subPrefs = takeSnapshot();
            else
                releaseSnapshot();
            endSave(true, then);
        });
}

void SettingsController::endSave(bool saved, const std::function<void(bool)> &then) {
    if (then)
        then(saved);
    emit saveEnded(saved);
}

} // namespace quillet::app
