#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QWidget;

namespace quorvel {

// Holds the keyboard and the pointer for an X11 popup while it is shown. Qt takes both when a
// popup opens, once: if another program holds them at that moment (a desktop shell's menu
// that is still closing after its "Open Quorvel" was clicked), the popup stays up without
// them, and then no key reaches it and no click outside it is seen, so nothing closes it.
// This asks again until the grab is taken or the popup goes: every retryIntervalMs at first,
// then, after quickRetriesForMs, every slowRetryIntervalMs.
class PopupGrab : public QObject {
public:
    static constexpr int retryIntervalMs = 50;
    static constexpr int quickRetriesForMs = 2000;
    static constexpr int slowRetryIntervalMs = 500;

    // Watches `popup` (a Qt::Popup window), and goes with it.
    explicit PopupGrab(QWidget* popup);

    // Whether the keyboard and pointer were taken since the popup was last shown.
    bool isHeld() const { return m_held; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void tryGrab();

    QPointer<QWidget> m_popup;
    QTimer m_retry;
    bool m_held = false;
    // Since the popup was shown without the grab, for the log.
    int m_tries = 0;
};

} // namespace quorvel
