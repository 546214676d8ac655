#include "reminders/ReminderManager.h"

#include "common/Observation.h"
#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "settings/SettingsManager.h"

namespace quorvel {

namespace {

template <typename Manager>
std::unique_ptr<ReminderManager> make(OverlayRequests& overlays, SettingsManager& settings,
                                      TimerFactory timers) {
    return std::make_unique<Manager>(overlays, settings, std::move(timers));
}

} // namespace

const ReminderKind standReminderKind{OverlayType::stand,
                                     &SettingsManager::standReminderEnabled,
                                     &SettingsManager::setStandReminderEnabled,
                                     &SettingsManager::standInterval,
                                     &SettingsManager::setStandInterval,
                                     &SettingsManager::standIntervalChanged,
                                     SettingsManager::defaults().standInterval,
                                     &make<StandReminderManager>};
const ReminderKind waterReminderKind{OverlayType::water,
                                     &SettingsManager::waterReminderEnabled,
                                     &SettingsManager::setWaterReminderEnabled,
                                     &SettingsManager::waterInterval,
                                     &SettingsManager::setWaterInterval,
                                     &SettingsManager::waterIntervalChanged,
                                     SettingsManager::defaults().waterInterval,
                                     &make<WaterReminderManager>};

std::span<const ReminderKind* const> breakReminderKinds() {
    static const std::array<const ReminderKind*, 2> kinds{&standReminderKind, &waterReminderKind};
    return kinds;
}

const ReminderKind* breakReminderKind(OverlayType type) {
    for (const ReminderKind* kind : breakReminderKinds()) {
        if (kind->overlay == type) {
            return kind;
        }
    }
    return nullptr;
}

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
