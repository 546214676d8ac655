#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace quorvel {

// Whether Quorvel may use the camera.
//
// Where the desktop has a camera portal (GNOME, KDE), it is the desktop's own camera
// permission: it asks the user once and keeps the answer, and the camera switched off in the
// desktop's privacy settings refuses. Elsewhere Linux asks nobody: access to a camera is access
// to its device node (membership of the "video" group, or the seat access that the login
// manager grants). So the status is `denied` when video nodes exist and every one of them
// refuses to open for lack of rights, and `authorized` otherwise; `notDetermined` and
// `restricted` are never reported by the nodes.
enum class CameraAuthStatus { notDetermined, authorized, denied, restricted };

constexpr bool isAuthorized(CameraAuthStatus status) {
    return status == CameraAuthStatus::authorized;
}

// Where and how the device nodes are tried. Tests point it at a folder of stand-in nodes and
// give it an opener of their own (the tests run as root, whom file modes do not stop).
struct CameraAccessProbe {
    // Opens a node for reading and writing and closes it again: 0, or the errno.
    using NodeOpener = std::function<int(const QString& path)>;

    static int openNode(const QString& path);

    QString deviceDirectory = QStringLiteral("/dev");
    NodeOpener openNodeFunction = &CameraAccessProbe::openNode;
    // Whether the desktop's camera portal is asked first (not when the camera is read through
    // its device node only).
    bool askPortal = true;
};

// The status now. Opens device nodes, which may take a moment: prefer
// CameraPermission::request() on the main thread.
CameraAuthStatus currentCameraAuthStatus(const CameraAccessProbe& probe = {});

class CameraPermission {
public:
    CameraPermission() = delete;

    // Whether the camera may be used: the camera portal's answer where one answers (the
    // desktop asks the user when nobody decided yet); otherwise true for `authorized` (and for
    // `notDetermined`, as there is no one to ask), false for `denied` and `restricted`.
    // Returns at once; the nodes are tried on a worker thread and `answer` is called on the
    // main thread in a later turn of its event loop, unless `context` is gone by then.
    static void request(QObject* context, std::function<void(bool granted)> answer,
                        CameraAccessProbe probe = {});
};

} // namespace quorvel
