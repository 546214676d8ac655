#include "reminders/ReminderManager.h"

#include "overlay/OverlayWindowController.h"
#include "settings/SettingsManager.h"

namespace quorvel {

ReminderManager::ReminderManager(OverlayType type, OverlayWindowController& overlayController,
                                 SettingsManager& settings, qint64 intervalSeconds,
                                 TimerFactory timers, QObject* parent)
    : QObject(parent), m_settings(settings), m_type(type), m_overlayController(&overlayController) {
    m_timer = std::make_unique<ReminderTimer>(
        intervalSeconds,
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
}

ReminderManager::~ReminderManager() = default;

void ReminderManager::start() {
    m_timer->start();
}

void ReminderManager::stop() {
    m_timer->stop();
}

void ReminderManager::intervalChanged(qint64 seconds) {
    m_timer->updateInterval(seconds);
}

qint64 ReminderManager::usableInterval(qint64 seconds, qint64 fallback) {
    return seconds > 0 ? seconds : fallback;
}

void ReminderManager::triggerOverlay() {
    if (m_overlayController) {
        m_overlayController->show(m_type, m_settings.autoDismissTimeout());
    }
}

} // namespace quorvel
