#include "app/Activation.h"
#include "app/AppState.h"
#include "app/QuorvelApp.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QProcessEnvironment>

int main(int argc, char* argv[]) {
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (const QByteArray platform = quorvel::preferredPlatform(environment); !platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", platform);
    }
    QApplication app(argc, argv);
    quorvel::QuorvelApp::setUpApplication();

    quorvel::SingleInstance instance;
    const QByteArray token =
        quorvel::launchActivationToken(environment, QGuiApplication::platformName());
    if (instance.handOverToRunningInstance(token)) {
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
