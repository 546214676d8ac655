#include "camera/CameraManager.h"

#include "camera/CameraDevices.h"
#include "camera/StandInCamera.h"
#include "camera/V4L2FrameSource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QRecursiveMutex>
#include <QTimer>
#include <QtGlobal>
#include <atomic>
#include <exception>
#include <set>

namespace quorvel {

namespace {

std::atomic<int> liveThreads{0};

// The camera threads not yet deleted; touched only on the main thread.
std::set<QThread*>& cameraThreads() {
    static std::set<QThread*> threads;
    return threads;
}

// As the application object goes, the camera threads of released managers are still closing
// their devices (a grab ends within V4L2FrameSource::pollTimeoutMs): wait for them, so that
// no camera is left on after the program ends and no thread outlives the objects it uses.
void joinCameraThreads() {
    for (QThread* thread : cameraThreads()) {
        thread->wait(QDeadlineTimer(5000));
    }
}

// The camera thread; counted so that tests and tools can see it end.
class CameraThread : public QThread {
public:
    CameraThread() {
        setObjectName(QStringLiteral("com.quorvel.camera"));
        ++liveThreads;
        static const bool joinAtExit = [] {
            qAddPostRoutine(joinCameraThreads);
            return true;
        }();
        Q_UNUSED(joinAtExit);
        cameraThreads().insert(this);
    }
    ~CameraThread() override {
        wait();
        cameraThreads().erase(this);
        --liveThreads;
    }
};

} // namespace

// The camera-thread half of a CameraManager. Everything but the members marked "shared" is
// touched only on the camera thread.
class CameraSession : public QObject {
public:
    CameraSession(CameraManagerOptions options, CameraManager* owner)
        : m_options(std::move(options)), m_owner(owner), m_ownerGuard(owner) {
        if (!m_options.makeFrameSource) {
            m_options.makeFrameSource = CameraManager::defaultFrameSourceFactory();
        }
    }

    // Shared: the delegate and the manager it is handed; the lock is held during each call.
    mutable QRecursiveMutex delegateMutex;
    CameraFrameDelegate* delegate = nullptr;
    // Shared: set by stop() and the destructor so that no further grab begins.
    std::atomic<bool> stopRequested{false};
    // Shared: frames grabbed, mirrored for readers on other threads.
    std::atomic<qint64> frameCountMirror{0};

    void configure();
    void stopCapture();
    void shutdown();

private:
    enum class Phase { idle, running, interrupted, stopped };
    static constexpr int grabsPerTask = 15;

    template <typename Assign> void publish(Assign assign);
    void scheduleStep();
    void captureStep(quint64 generation);
    void onFrame();
    void onReadFailure();
    void deviceStopped();
    void scheduleReopen();
    void reopen();
    void forward();
    void closeSource();

    CameraManagerOptions m_options;
    CameraManager* const m_owner;               // handed to the delegate, under delegateMutex
    const QPointer<CameraManager> m_ownerGuard; // copied into main-thread tasks only
    std::unique_ptr<FrameSource> m_source;
    Phase m_phase = Phase::idle;
    // Bumped whenever the grab chain must end; a grab task of an older generation does nothing.
    quint64 m_generation = 0;
    qint64 m_frameCount = 0;
    qint64 m_framesSinceOpen = 0;
    QElapsedTimer m_sinceFrame;
    QTimer* m_reopenTimer = nullptr;
};

template <typename Assign> void CameraSession::publish(Assign assign) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    // Posted to the application object, never to the manager itself, which the main thread
    // may be destroying right now; the guard is looked at only on the main thread.
    QMetaObject::invokeMethod(
        app,
        [guard = m_ownerGuard, assign] {
            if (CameraManager* manager = guard.data()) {
                assign(*manager);
            }
        },
        Qt::QueuedConnection);
}

void CameraSession::configure() {
    // Not twice; and not at all when a stop (or the manager's end) follows right behind.
    if (m_phase == Phase::running || m_phase == Phase::interrupted || stopRequested.load()) {
        return;
    }
    ++m_generation;
    std::unique_ptr<FrameSource> source = m_options.makeFrameSource();
    if (!source) {
        publish([](CameraManager& m) { m.assignError(CameraManager::noCameraText); });
        return;
    }
    const OpenStatus status = source->open();
    if (status != OpenStatus::opened) {
        QString text;
        switch (status) {
        case OpenStatus::inputFailed:
            text = CameraManager::inputErrorPrefix + source->errorDescription();
            break;
        case OpenStatus::inputRejected:
            text = CameraManager::cannotAddInputText;
            break;
        default:
            text = CameraManager::cannotAddOutputText;
            break;
        }
        source->close();
        publish([text](CameraManager& m) { m.assignError(text); });
        return;
    }
    m_source = std::move(source);
    m_phase = Phase::running;
    m_framesSinceOpen = 0;
    m_sinceFrame.start();
    publish([](CameraManager& m) {
        m.assignIsRunning(true);
        m.assignError(std::nullopt);
    });
    scheduleStep();
}

void CameraSession::scheduleStep() {
    QMetaObject::invokeMethod(
        this, [this, generation = m_generation] { captureStep(generation); }, Qt::QueuedConnection);
}

void CameraSession::captureStep(quint64 generation) {
    // Several grabs per task, so that a frame costs no turn of the event loop; a stop or the
    // manager's end sets stopRequested before its task is queued, and is seen between grabs.
    for (int grabs = 0; grabs < grabsPerTask; ++grabs) {
        if (generation != m_generation || !m_source || stopRequested.load()) {
            return;
        }
        GrabResult result = GrabResult::failed;
        try {
            result = m_source->grab();
        } catch (const std::exception&) {
            result = GrabResult::failed;
        }
        switch (result) {
        case GrabResult::frame:
            onFrame();
            break;
        case GrabResult::noFrame:
            if (m_sinceFrame.elapsed() >= m_options.stallTimeout.count()) {
                deviceStopped();
            }
            break;
        case GrabResult::failed:
            onReadFailure();
            break;
        }
    }
    if (generation == m_generation) {
        scheduleStep();
    }
}

void CameraSession::onFrame() {
    ++m_frameCount;
    frameCountMirror.store(m_frameCount);
    ++m_framesSinceOpen;
    m_sinceFrame.restart();
    if (m_phase == Phase::interrupted) {
        m_phase = Phase::running;
        publish([](CameraManager& m) {
            m.assignIsRunning(true);
            m.assignError(std::nullopt);
        });
    }
    if (m_frameCount % CameraManager::processEveryNthFrame == 0) {
        forward();
    }
}

void CameraSession::forward() {
    QMutexLocker lock(&delegateMutex);
    if (delegate == nullptr) {
        return;
    }
    // A fresh image each time: the delegate may keep it.
    cv::Mat image;
    try {
        if (!m_source->retrieve(image) || !convertToBgr8(image)) {
            return;
        }
        delegate->cameraManager(*m_owner, image);
    } catch (const std::exception&) {
        // A frame that cannot be decoded or analysed is skipped like one without an image.
    }
}

void CameraSession::onReadFailure() {
    // A camera that was delivering and fails once is restarted without a word; one that
    // fails again before delivering anything has stopped.
    if (m_phase == Phase::running && m_framesSinceOpen > 0) {
        m_source->close();
        if (m_source->open() == OpenStatus::opened) {
            m_framesSinceOpen = 0;
            m_sinceFrame.restart();
            return;
        }
    }
    deviceStopped();
}

void CameraSession::deviceStopped() {
    // Let go of the device altogether: when it comes back it may be another node (a camera
    // plugged in again), so each attempt asks for the camera afresh.
    m_source->close();
    m_source.reset();
    ++m_generation;
    if (m_phase != Phase::interrupted) {
        m_phase = Phase::interrupted;
        publish([](CameraManager& m) {
            m.assignIsRunning(false);
            m.assignError(CameraManager::interruptedText);
        });
    }
    scheduleReopen();
}

void CameraSession::scheduleReopen() {
    if (m_reopenTimer == nullptr) {
        m_reopenTimer = new QTimer(this);
        m_reopenTimer->setSingleShot(true);
        QObject::connect(m_reopenTimer, &QTimer::timeout, this, [this] { reopen(); });
    }
    m_reopenTimer->start(m_options.reopenInterval);
}

void CameraSession::reopen() {
    if (m_phase != Phase::interrupted || stopRequested.load()) {
        return;
    }
    m_source = m_options.makeFrameSource();
    if (!m_source || m_source->open() != OpenStatus::opened) {
        if (m_source) {
            m_source->close();
            m_source.reset();
        }
        scheduleReopen();
        return;
    }
    // The interruption ends with the first frame, not with the open: a device can open and
    // still deliver nothing.
    m_framesSinceOpen = 0;
    m_sinceFrame.restart();
    ++m_generation;
    scheduleStep();
}

void CameraSession::closeSource() {
    ++m_generation;
    if (m_reopenTimer != nullptr) {
        m_reopenTimer->stop();
    }
    if (m_source) {
        m_source->close();
        m_source.reset();
    }
}

void CameraSession::stopCapture() {
    closeSource();
    m_phase = Phase::stopped;
    publish([](CameraManager& m) { m.assignIsRunning(false); });
}

void CameraSession::shutdown() {
    closeSource();
    m_phase = Phase::stopped;
    // The thread processes this deferred delete as it finishes.
    deleteLater();
    thread()->quit();
}

CameraManager::CameraManager(QObject* parent) : CameraManager(CameraManagerOptions{}, parent) {}

CameraManager::CameraManager(CameraManagerOptions options, QObject* parent) : QObject(parent) {
    qRegisterMetaType<std::optional<QString>>();
    m_thread = new CameraThread;
    m_session = new CameraSession(std::move(options), this);
    m_session->moveToThread(m_thread);
    // The thread outlives the manager until it has closed the camera; then it goes.
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start();
}

CameraManager::~CameraManager() {
    setDelegate(nullptr);
    m_session->stopRequested.store(true);
    CameraSession* session = m_session;
    QMetaObject::invokeMethod(
        session, [session] { session->shutdown(); }, Qt::QueuedConnection);
}

FrameSourceFactory CameraManager::defaultFrameSourceFactory() {
    // Instead of a camera, a recording of Motion-JPEG frames played as a 30 fps webcam (for
    // benchmarks, and for trying the app on a machine without a camera).
    const QString recording = qEnvironmentVariable("QUORVEL_CAMERA_SOURCE");
    if (!recording.isEmpty()) {
        return [recording]() -> std::unique_ptr<FrameSource> {
            QString error;
            auto camera = RecordedCamera::load(recording, 30.0, &error);
            if (!camera) {
                qWarning("QUORVEL_CAMERA_SOURCE: %s", qUtf8Printable(error));
                return nullptr;
            }
            return std::make_unique<V4L2FrameSource>(recording, std::move(camera));
        };
    }
    return []() -> std::unique_ptr<FrameSource> {
        const auto device = chooseCameraDevice(listCameraDevices());
        if (!device) {
            return nullptr;
        }
        return std::make_unique<V4L2FrameSource>(device->path);
    };
}

void CameraManager::setDelegate(CameraFrameDelegate* delegate) {
    QMutexLocker lock(&m_session->delegateMutex);
    m_session->delegate = delegate;
}

CameraFrameDelegate* CameraManager::delegate() const {
    QMutexLocker lock(&m_session->delegateMutex);
    return m_session->delegate;
}

void CameraManager::start() {
    m_session->stopRequested.store(false);
    CameraSession* session = m_session;
    QMetaObject::invokeMethod(
        session, [session] { session->configure(); }, Qt::QueuedConnection);
}

void CameraManager::stop() {
    m_session->stopRequested.store(true);
    CameraSession* session = m_session;
    QMetaObject::invokeMethod(
        session, [session] { session->stopCapture(); }, Qt::QueuedConnection);
}

qint64 CameraManager::frameCount() const {
    return m_session->frameCountMirror.load();
}

int CameraManager::liveCameraThreads() {
    return liveThreads.load();
}

void CameraManager::assignIsRunning(bool value) {
    Q_EMIT objectWillChange();
    Q_EMIT isRunningChanged(value);
    m_isRunning = value;
}

void CameraManager::assignError(std::optional<QString> value) {
    Q_EMIT objectWillChange();
    Q_EMIT errorChanged(value);
    m_error = std::move(value);
}

} // namespace quorvel
