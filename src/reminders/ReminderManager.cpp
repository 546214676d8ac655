#include "reminders/ReminderManager.h"

#include "common/Observation.h"
#include "settings/SettingsManager.h"

namespace quorvel {

const ReminderKind standReminderKind{OverlayType::stand, &SettingsManager::standInterval,
                                     &SettingsManager::standIntervalChanged, 1800};
const ReminderKind waterReminderKind{OverlayType::water, &SettingsManager::waterInterval,
                                     &SettingsManager::waterIntervalChanged, 2700};

ReminderManager::ReminderManager(const ReminderKind& kind, OverlayRequests& overlays,
                                 SettingsManager& settings, TimerFactory timers, QObject* parent)
    : QObject(parent), m_settings(settings), m_kind(kind), m_overlays(&overlays) {
    m_timer = std::make_unique<ReminderTimer>(
        usableInterval((m_settings.*m_kind.interval)()),
        [weak = QPointer(this)] {
            if (weak) {
                weak->triggerOverlay();
            }
        },
        std::move(timers));
    connect(m_timer.get(), &ReminderTimer::objectWillChange, this,
            &ReminderManager::objectWillChange);
    connect(m_timer.get(), &ReminderTimer::isRunningChanged, this,
            &ReminderManager::isRunningChanged);
    connect(m_timer.get(), &ReminderTimer::secondsRemainingChanged, this,
            &ReminderManager::secondsRemainingChanged);
    subscribeDirect(&m_settings, m_kind.intervalChanged, this,
                    [this](qint64 seconds) { m_timer->updateInterval(usableInterval(seconds)); });
}

ReminderManager::~ReminderManager() = default;

void ReminderManager::start() {
    m_timer->start();
}

void ReminderManager::stop() {
    m_timer->stop();
}

qint64 ReminderManager::usableInterval(qint64 seconds) const {
    return seconds > 0 ? seconds : m_kind.defaultIntervalSeconds;
}

void ReminderManager::triggerOverlay() {
    if (m_overlays) {
        m_overlays->show(m_kind.overlay, m_settings.autoDismissTimeout());
    }
}

} // namespace quorvel
