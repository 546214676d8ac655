#pragma once

#include "common/OverlayRequests.h"
#include "posture/PostureModels.h"
#include "presence/PresencePolicy.h"
#include "updates/UpdateModels.h"

#include <QObject>
#include <QString>
#include <optional>

namespace quorvel {

class PostureLog;
class SettingsManager;

// The setting a break kind's interval picker shows and sets, in seconds.
struct IntervalSetting {
    OverlayType type;
    qint64 (SettingsManager::*value)() const;
    void (SettingsManager::*assign)(qint64);
};

// What the panel shows and the commands it gives, as the application state offers them. The
// panel keeps no state of its own: after each objectWillChange() or updateChanged() it reads
// these again. (Its settings and statistics blocks follow their own stores: PanelStores.)
class PanelModel : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~PanelModel() override = default;

    virtual PostureStatus postureStatus() const = 0;
    virtual bool isCalibrated() const = 0;
    virtual std::optional<QString> cameraError() const = 0;
    // Why everything holds still now (locked, asleep), if it does.
    virtual std::optional<PauseReason> pauseReason() const = 0;
    virtual std::optional<UpdateInfo> updateInfo() const = 0;
    // The break reminders' kinds, in the panel's order: each has a switch and a countdown.
    virtual QList<OverlayType> breakKinds() const = 0;
    // "MM:SS" until the next break of `type`.
    virtual QString timeRemaining(OverlayType type) = 0;
    // The switches as stored.
    virtual bool postureMonitoringEnabled() const = 0;
    virtual bool reminderEnabled(OverlayType type) const = 0;
    // Where a break kind (one of breakKinds()) keeps its interval.
    virtual IntervalSetting intervalSetting(OverlayType type) const = 0;

    virtual void togglePostureMonitoring(bool enabled) = 0;
    virtual void toggleReminder(OverlayType type, bool enabled) = 0;
    virtual void startCalibration() = 0;
    virtual void testOverlay() = 0;

Q_SIGNALS:
    void objectWillChange();
    // An update turned up or went away.
    void updateChanged();
    // A break countdown moved on: every second while one runs, on the reminders' own tick.
    void countdownsChanged();
};

// What the panel's settings block edits and its statistics block reads. Each block observes
// its store itself; whoever puts the application together hands them over.
struct PanelStores {
    SettingsManager& settings;
    PostureLog& postureLog;
};

} // namespace quorvel
