#include "app/BreakReminders.h"

#include "overlay/OverlayWindowController.h"
#include "settings/SettingsManager.h"

#include <algorithm>

namespace quorvel {

BreakReminders::BreakReminders(OverlayWindowController& overlayController,
                               SettingsManager& settings, TimerFactory timers, QObject* parent)
    : QObject(parent), m_overlayController(overlayController), m_settings(settings),
      m_ticks(sharedSecondTicks(std::move(timers))), m_made(breakReminderKinds().size()) {}

BreakReminders::~BreakReminders() = default;

ReminderManager& BreakReminders::reminder(const ReminderKind& kind) {
    const auto kinds = breakReminderKinds();
    const auto index =
        static_cast<std::size_t>(std::find(kinds.begin(), kinds.end(), &kind) - kinds.begin());
    Q_ASSERT(index < m_made.size());
    std::unique_ptr<ReminderManager>& made = m_made.at(index);
    if (!made) {
        made = kind.make(m_overlayController, m_settings, m_ticks);
        connect(made.get(), &ReminderManager::secondsRemainingChanged, this,
                &BreakReminders::countdownsMoved);
    }
    return *made;
}

bool BreakReminders::anyRunning() const {
    return std::any_of(m_made.begin(), m_made.end(),
                       [](const auto& made) { return made && made->isRunning(); });
}

// Only the managers made so far: one never made has no countdown to act on.
template <typename F> void BreakReminders::forEachMade(F f) {
    for (const auto& made : m_made) {
        if (made) {
            f(*made);
        }
    }
}

void BreakReminders::holdCountdowns() {
    forEachMade([](ReminderManager& m) { m.pause(); });
}

void BreakReminders::continueCountdowns() {
    forEachMade([](ReminderManager& m) { m.resume(); });
}

void BreakReminders::restartCountdowns() {
    forEachMade([](ReminderManager& m) { m.restart(); });
}

QList<OverlayType> BreakReminders::withdrawBreakOverlays() {
    QList<OverlayType> withdrawn;
    for (const ReminderKind* kind : breakReminderKinds()) {
        const OverlayType type = kind->overlay;
        const bool onScreen =
            m_overlayController.currentType() == type && !m_overlayController.isFadingOut();
        if (onScreen || m_overlayController.overlayQueue().contains(type)) {
            withdrawn.append(type);
        }
        m_overlayController.withdraw(type);
    }
    return withdrawn;
}

void BreakReminders::showBreakOverlay(OverlayType type) {
    m_overlayController.show(type, m_settings.autoDismissTimeout());
}

} // namespace quorvel
