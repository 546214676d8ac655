#pragma once

#include <QApplication>
#include <QByteArray>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvel::test {

// A private Xvfb on a display it picks, gone with this object (and with the test, should the
// test crash). `display` is ":N" once it is ready, empty if it could not start.
class Xvfb {
public:
    Xvfb() {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24",
                   "-nolisten", "tcp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        for (char c = 0; read(fds[0], &c, 1) == 1 && c != '\n';) {
            display.append(c);
        }
        close(fds[0]);
        if (!display.isEmpty()) {
            display.prepend(":");
        }
    }
    ~Xvfb() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    QByteArray display;

private:
    pid_t m_pid = -1;
};

// Types, clicks or moves the pointer on the test's display: xdotool with `args`, its exit code.
inline int xdotool(const QString& args) {
    return QProcess::execute(QStringLiteral("xdotool"), args.split(u' '));
}

// Runs the test object `Test` in an application of its own on a private Xvfb.
template <typename Test> int execOnXvfb(int argc, char** argv) {
    const Xvfb xvfb;
    qputenv("DISPLAY", xvfb.display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace quorvel::test
