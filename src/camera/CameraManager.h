#pragma once

#include "camera/CameraDevices.h"
#include "camera/CameraFrameDelegate.h"
#include "camera/FrameSource.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quorvel {

class CameraSession;

// Makes the frame source at each start; nothing means there is no camera.
using FrameSourceFactory = std::function<std::unique_ptr<FrameSource>()>;

struct CameraManagerOptions {
    // Empty: the V4L2 camera that chooseCameraDevice() picks from listCameraDevices().
    FrameSourceFactory makeFrameSource;
    // How often a camera that is interrupted is looked at again (and opened when it is free).
    std::chrono::milliseconds reopenInterval{2000};
    // How long a source may deliver nothing (GrabResult::noFrame) before it counts as stopped.
    std::chrono::milliseconds stallTimeout{3000};
    // Monotonic time for the grace period after another program's use of the camera; read on
    // the camera thread. Empty: the steady clock.
    std::function<std::chrono::milliseconds()> clock;
    // Where other processes are listed for their open descriptors; tests point it at an empty
    // folder to stand for programs of another user, which cannot be looked into.
    QString processDirectory = QStringLiteral("/proc");
};

// Owns the camera while posture monitoring runs: opens it, grabs every frame on its own
// thread, passes one frame in processEveryNthFrame to its delegate (or one frame each
// analysisInterval where the camera is slower than 30 fps), and publishes whether capture
// runs and the latest problem for display.
//
// Threads. The camera thread "com.quorvel.camera" runs an event loop that is this manager's
// serial queue: opening, starting, stopping, reopening and the grabs are tasks on it, one
// after another; a grab task grabs a few frames and posts the next, and ends early when a
// stop is requested, so a stop queued meanwhile runs after the grab under way.
// isRunning and error are assigned only on the main thread, by tasks posted there that hold
// the manager weakly (they do nothing once it is gone). start() and stop() only post work.
//
// Failures, published through error() with isRunning() false:
//   "No camera found"                                   no capture device
//   "Camera input error: " + the system's description   the device cannot be opened
//   "Cannot add camera input" (+ ": " + the formats)    it opens but offers nothing to read
//   "Cannot add video output"                           it refuses the frame size
//   needsLibcameraText()                                a raw sensor only libcamera drives, and
//                                                       PipeWire serves no libcamera camera
//   unreadableFramesText()                              frames come but none can be read
// Interruptions, with isRunning() false while Quorvel looks for the camera again:
//   "Camera interrupted (another app may be using it)"  another program wants the camera
//   disconnectedText()                                  the camera went away (unplugged)
//   stalledText()                                       it stopped delivering frames
//   failingPrefix() + the system's description          its driver failed (an I/O error, a
//                                                       call timed out); also at the first
//                                                       open, where such a failure may pass
// Attempts after a failure of the camera itself come less and less often (reopenInterval,
// doubled each time up to eight times it); after another program's use, every reopenInterval.
//
// Sharing. A camera streams to one program at a time, so Quorvel gives way: while it reads the
// camera, the camera thread waits on the device and on a watch of its node together, and the
// moment another program opens the node Quorvel closes the device and publishes the
// interruption. A camera that is busy when Quorvel starts or reopens it (EBUSY) is the same.
// Interrupted, the camera is looked at every reopenInterval and opened again only when no
// process is seen to hold it and nobody else has opened, closed or kept it busy for
// shareGracePeriod: a program that lists the formats, closes and opens again to stream is
// not overtaken. After a mere look (another program's open closed again within briefLook)
// the wait is briefLookGracePeriod. Who holds the camera: the driver's count of open
// handles, asked right after each open of ours, which covers every user's programs; where a
// driver keeps none, /proc (the user's own programs) and the watch, for which an open not
// yet matched by a close holds the camera for up to unseenHolderLimit. While Quorvel waits,
// nothing streams, so the camera light stays off. The first frame after a reopen ends the
// interruption (isRunning true, error none). A failed read on a camera that was delivering
// restarts it silently.
//
// Lifetime. The device is open only between start() and stop(); stop() releases it as soon
// as the frame under way has been handled. The manager may be destroyed right after
// stop(): its destructor waits only for a delegate call that is under way, never for the
// camera; the camera thread closes the device and ends by itself, and the application
// object's destruction waits for it.
class CameraManager : public QObject {
    Q_OBJECT

public:
    static constexpr int processEveryNthFrame = 15;
    // What the panel shows, in the user's language.
    static QString noCameraText() { return tr("No camera found"); }
    static QString inputErrorPrefix() { return tr("Camera input error: "); }
    static QString cannotAddInputText() { return tr("Cannot add camera input"); }
    static QString cannotAddOutputText() { return tr("Cannot add video output"); }
    static QString interruptedText() {
        return tr("Camera interrupted (another app may be using it)");
    }
    static QString needsLibcameraText() {
        return tr("Camera not supported: it needs libcamera through PipeWire (install "
                  "pipewire-libcamera)");
    }
    static QString unreadableFramesText() {
        return tr("Camera pictures cannot be read (unsupported or damaged frames)");
    }
    static QString disconnectedText() { return tr("Camera disconnected"); }
    static QString stalledText() { return tr("Camera stopped sending pictures"); }
    static QString failingPrefix() { return tr("Camera error, trying again: "); }

    // The longest time between two frames passed on, whatever the camera's rate: a 5 fps
    // camera (or one slowed down by low light) is still analysed about twice a second. At
    // 30 fps one frame in fifteen comes to the same.
    static constexpr std::chrono::milliseconds analysisInterval{500};

    // After another program has opened, closed or kept busy the camera, how long it must be
    // left alone before Quorvel takes it back.
    static constexpr std::chrono::milliseconds shareGracePeriod{10000};
    // Another program's open and close this close together are a look (a browser or a device
    // monitor listing the formats), after which briefLookGracePeriod is enough.
    static constexpr std::chrono::milliseconds briefLook{500};
    static constexpr std::chrono::milliseconds briefLookGracePeriod{3000};
    // Where neither the driver nor /proc can tell who holds the camera, how long an open whose
    // close was not seen keeps Quorvel away (the kernel merges like events, so a close can be
    // lost in the count, and the camera must not stay given up for ever).
    static constexpr std::chrono::milliseconds unseenHolderLimit{60000};
    // Passed-on frames in a row that cannot be read before unreadableFramesText() is published
    // (with one frame in fifteen passed on, two seconds of a 30 fps camera).
    static constexpr int unreadableFramesLimit = 4;

    explicit CameraManager(QObject* parent = nullptr);
    explicit CameraManager(CameraManagerOptions options, QObject* parent = nullptr);
    ~CameraManager() override;

    CameraManager(const CameraManager&) = delete;
    CameraManager& operator=(const CameraManager&) = delete;

    // How the camera is reached: its V4L2 node, opened by Quorvel alone, or PipeWire, which
    // lets other programs read it at the same time; `automatic` takes PipeWire where the
    // session's daemon offers the camera (sessionCameraSource).
    enum class Path { automatic, v4l2, pipewire };

    // The factory used when the options name none: the chosen camera through `path`, or
    // nothing when V4L2 finds none. With a recording (a file of Motion-JPEG frames): that recording
    // played as a 30 fps webcam instead of the camera, for benchmarks and machines without a
    // camera; with a use log too, the recording notes there when it starts and stops streaming
    // (StandInCamera::setUseLog).
    static FrameSourceFactory defaultFrameSourceFactory(const QString& recording = {},
                                                        const QString& useLog = {},
                                                        Path path = Path::automatic);
    // The V4L2 path's source for the camera chosen among `devices`: its device node, or, for
    // a camera only libcamera drives, PipeWire where it serves that camera through its
    // libcamera monitor. Nothing when `devices` holds no camera.
    static std::unique_ptr<FrameSource> cameraSource(const std::vector<CameraDevice>& devices);
    // The automatic path's source: PipeWire where the session's daemon answers and offers a
    // camera that gives pictures (not only a raw sensor's node), cameraSource(devices)
    // otherwise (no PipeWire, no camera node, an older session). Asked at every open, as the
    // daemon may come or go.
    static std::unique_ptr<FrameSource>
    sessionCameraSource(const std::vector<CameraDevice>& devices);
    // The message for a source that did not open (nothing for `opened`); a busy camera is an
    // interruption.
    static std::optional<QString> openFailureText(OpenStatus status, const QString& description);

    bool isRunning() const { return m_isRunning; }
    std::optional<QString> error() const { return m_error; }

    // Not owned. Setting it (also to nullptr) waits for a delegate call under way to end, so
    // once it returns the old delegate is called no more; the destructor does the same.
    void setDelegate(CameraFrameDelegate* delegate);
    CameraFrameDelegate* delegate() const;

    void start();
    void stop();

    // Frames grabbed since construction (read from any thread; for diagnostics).
    qint64 frameCount() const;

    // Camera threads not yet finished and deleted, over all managers (for tests and tools).
    static int liveCameraThreads();

Q_SIGNALS:
    void objectWillChange();
    void isRunningChanged(bool value);
    void errorChanged(std::optional<QString> value);

private:
    friend class CameraSession;
    void assignIsRunning(bool value);
    void assignError(std::optional<QString> value);

    bool m_isRunning = false;
    std::optional<QString> m_error;
    QThread* m_thread = nullptr;
    CameraSession* m_session = nullptr;
};

} // namespace quorvel
