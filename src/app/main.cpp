#include "app/AppState.h"
#include "app/QuorvelApp.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QApplication::setOrganizationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.quorvel.Quorvel"));
    QApplication::setWindowIcon(
        QIcon(QStringLiteral(":/resources/desktop/com.quorvel.Quorvel.svg")));
    // Lives in the tray: closing the last window does not end it, only Quit does.
    QApplication::setQuitOnLastWindowClosed(false);

    quorvel::SingleInstance instance;
    if (instance.handOverToRunningInstance()) {
        return 0;
    }
    instance.listen();

    quorvel::AppState state;
    quorvel::QuorvelApp ui(state);
    QObject::connect(&instance, &quorvel::SingleInstance::showRequested, &ui,
                     &quorvel::QuorvelApp::showPanel);
    // Let go of the camera before the process ends.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &state, &quorvel::AppState::shutdown);
    return QApplication::exec();
}
