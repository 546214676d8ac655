#include "app/QuitSignals.h"

#include "app/AppLogging.h"

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr std::array<int, 2> quitSignals{SIGTERM, SIGINT};
int pipeFds[2] = {-1, -1};
struct sigaction previous[quitSignals.size()];

void onSignal(int number) {
    const int saved = errno;
    const auto byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

QuitSignals::QuitSignals(std::function<void()> quit, QObject* parent)
    : QObject(parent), m_quit(std::move(quit)) {
    if (pipeFds[0] >= 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcApp, "SIGTERM and SIGINT cannot be handled: they end Quorvel at once");
        return;
    }
    m_notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::received);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < quitSignals.size(); ++i) {
        sigaction(quitSignals[i], &action, &previous[i]);
    }
}

QuitSignals::~QuitSignals() {
    if (!m_notifier) {
        return;
    }
    for (std::size_t i = 0; i < quitSignals.size(); ++i) {
        sigaction(quitSignals[i], &previous[i], nullptr);
    }
    delete m_notifier;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void QuitSignals::received() {
    char byte = 0;
    bool any = false;
    while (::read(pipeFds[0], &byte, 1) == 1) {
        any = true;
    }
    if (any) {
        qCInfo(lcApp, "signal %d: quitting", int(byte));
        m_quit();
    }
}

} // namespace quorvel
