#include "camera/CameraPermission.h"

#include "camera/CameraPortal.h"
#include "camera/DeviceUse.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel {

int CameraAccessProbe::openNode(const QString& path) {
    // Announced, so that a camera manager watching the node does not take it for another program.
    OwnDeviceUse::willOpen(path);
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    OwnDeviceUse::done(path);
    if (fd < 0) {
        OwnDeviceUse::openFailed(path);
        return error;
    }
    OwnDeviceUse::willClose(path);
    ::close(fd);
    OwnDeviceUse::done(path);
    return 0;
}

CameraAuthStatus currentCameraAuthStatus(const CameraAccessProbe& probe) {
    static const QRegularExpression nodeName(QStringLiteral("^video\\d+$"));
    const QDir directory(probe.deviceDirectory);
    const QStringList entries =
        directory.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    bool anyNode = false;
    for (const QString& entry : entries) {
        if (!nodeName.match(entry).hasMatch()) {
            continue;
        }
        anyNode = true;
        const int problem = probe.openNodeFunction(directory.filePath(entry));
        if (problem != EACCES && problem != EPERM) {
            // Opened, or failed for a reason other than rights (busy, unplugged): the camera
            // manager will tell.
            return CameraAuthStatus::authorized;
        }
    }
    // No camera at all is not a question of permission.
    return anyNode ? CameraAuthStatus::denied : CameraAuthStatus::authorized;
}

namespace {

void answerFromNodes(QObject* context, std::function<void(bool granted)> answer,
                     CameraAccessProbe probe) {
    QThreadPool::globalInstance()->start([guard = QPointer<QObject>(context),
                                          answer = std::move(answer),
                                          probe = std::move(probe)]() mutable {
        const CameraAuthStatus status = currentCameraAuthStatus(probe);
        const bool granted =
            status == CameraAuthStatus::authorized || status == CameraAuthStatus::notDetermined;
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            app,
            [guard = std::move(guard), answer = std::move(answer), granted] {
                if (guard) {
                    answer(granted);
                }
            },
            Qt::QueuedConnection);
    });
}

} // namespace

void CameraPermission::request(QObject* context, std::function<void(bool granted)> answer,
                               CameraAccessProbe probe) {
    if (!probe.askPortal) {
        answerFromNodes(context, std::move(answer), std::move(probe));
        return;
    }
    CameraPortal::requestAccess(
        context, [context, answer, probe](std::optional<bool> allowed) mutable {
            if (allowed) {
                answer(*allowed);
            } else {
                answerFromNodes(context, std::move(answer), std::move(probe));
            }
        });
}

} // namespace quorvel
