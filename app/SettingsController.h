#pragma once
// The settings tab: the controls filled from the stored settings, edits buffered until Save,
// the Save button enabled only while something differs from the snapshot (checked every
// 0.25 s), the "Settings not saved!" sheet when leaving the tab, and the save itself (through
// the settings store, then a restart of running protection).
//
// The controls are the only place an edit lives until Save: the domain and the mirror are
// written by saveSettings alone, and throwing edits away is filling the controls again from
// the mirror (which holds what was last loaded or saved). Every write to the domain and every
// restart of protection runs as a queued job of the ProtectionService; the answers come back on
// the main thread.

#include "settings/PrefValue.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace quillet::app {

class MainController;
class PasswordLock;
class ProtectionService;

/// Short keys of the settings snapshot.
namespace snapshot {
inline constexpr char kHomeOnly[] = "home only";
inline constexpr char kUpdateOnLaunch[] = "update on launch";
inline constexpr char kDisplayExtraMenu[] = "display extra menu";
inline constexpr char kMoveData[] = "move data";
inline constexpr char kFreePercentage[] = "free percentage";
inline constexpr char kDeleteAfter[] = "delete after";
inline constexpr char kDayToKeep[] = "day to keep";
inline constexpr char kDoNotSave[] = "do not save";
inline constexpr char kSizeLimit[] = "size limit";
inline constexpr char kAskPassword[] = "ask password";
} // namespace snapshot

/// How often the controls are compared with the snapshot.
inline constexpr int kSubPrefsTimerMs = 250;

class SettingsController : public QObject {
    Q_OBJECT
public:
    SettingsController(MainController &main, ProtectionService &service, PasswordLock &password);

    /// Fills the controls from the stored settings (the mirror). The first call also reports the
    /// values of the settings file that were not taken (the mirror's warnings): in the log, and
    /// in one sheet once the window shows.
    void loadControls();
    /// First check of a tab switch while the settings tab is shown: false when the switch is
    /// postponed by the "Settings not saved!" sheet (or by the save that sheet started).
    bool shouldLeaveSettings(const QString &target);
    void tabWillSelect(const QString &identifier);
    void tabDidSelect(const QString &identifier);

    /// The Save action: checks the three number fields, writes every control's value into the
    /// domain, copies them into the mirror, removes the password when the box is off, restarts
    /// running protection, and takes the snapshot again. then (when given) hears whether the
    /// settings were stored, once everything has run; a field out of range or a failed write
    /// answers false after a sheet saying so, and nothing is stored.
    void saveSettings(std::function<void(bool saved)> then = {});
    /// A save is running (its jobs are queued or running).
    bool saveRunning() const { return _saveRunning; }

    /// The settings snapshot (short keys), nothing while the settings tab is not shown.
    const std::optional<QVariantMap> &subPrefs() const { return _subPrefs; }
    /// Stores the password box's state in the snapshot (a password removed or made by its own
    /// sheet is no edit to save).
    void setSnapshotAskPassword(bool on);
    /// The "Settings not saved!" sheet is on screen (or the save it asked for still runs).
    bool alertShown() const { return _alertShown; }

    /// One comparison of the controls with the snapshot (what the timer runs).
    void subPrefsTimer();

    /// The number fields with the key each is stored under and the whole numbers it takes.
    struct NumberField {
        const char *key;
        int64_t low;
        int64_t high;
    };
    static const std::vector<NumberField> &numberFields();

signals:
    /// Emitted by every comparison with the snapshot: whether the controls differ from it.
    void snapshotCompared(bool changed);
    /// A save has ended; saved: the settings were stored.
    void saveEnded(bool saved);

private:
    QVariantMap takeSnapshot() const;
    bool controlsDifferFromSnapshot() const;
    void startSnapshot();
    void releaseSnapshot();
    void showUnreadSettingsWarnings();
    void alertPrefsNotSavedDidEnd(int returnCode, const QString &target);
    /// The values of the controls as the domain stores them, or nothing after telling the user
    /// which field is out of range.
    std::optional<PrefValues> valuesFromControls();
    void afterDomainWrite(const PrefValues &values, const std::string &failure, std::function<void(bool)> then);
    void endSave(bool saved, const std::function<void(bool)> &then);

    MainController &_main;
    ProtectionService &_service;
    PasswordLock &_password;
    std::optional<QVariantMap> _subPrefs;
    QTimer *_subPrefsTimer = nullptr;
    bool _alertShown = false;
    /// The sheet's Save is running: the switch it postponed comes once the save has ended.
    bool _switchAfterSave = false;
    bool _saveRunning = false;
    bool _warningsReported = false;
};

} // namespace quillet::app
