#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace quorvel {

// SIGTERM and SIGINT (the session ending, `systemctl --user stop`, Ctrl+C in a terminal)
// quit as Quit does, through the event loop: the handler only writes the signal's number to
// a pipe, and the loop reads it and calls `quit`. One at a time; the previous handlers come
// back when it goes.
class QuitSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(std::function<void()> quit, QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

private:
    void received();

    std::function<void()> m_quit;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace quorvel
