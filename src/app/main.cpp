#include "app/AppState.h"
#include "app/QuorvelApp.h"
#include "app/SingleInstance.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    quorvel::QuorvelApp::setUpApplication();

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
