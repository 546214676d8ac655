#include "camera/CameraManager.h"

#include "camera/CameraDevices.h"
#include "camera/CameraLog.h"
#include "camera/DeviceUse.h"
#include "camera/StandInCamera.h"
#include "camera/V4L2FrameSource.h"
#include "camera/pipewire/PipeWireFrameSource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QMutex>
#include <QPointer>
#include <QRecursiveMutex>
#include <QSemaphore>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>
#include <atomic>
#include <exception>
#include <memory>
#include <set>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quorvel {

Q_LOGGING_CATEGORY(lcCamera, "quorvel.camera", QtWarningMsg)

namespace {

std::atomic<int> liveThreads{0};

// How often the frames analysed are logged (at 30 fps, every five seconds).
constexpr qint64 framesLogEvery = 10;

// The camera threads not yet deleted; touched only on the main thread.
std::set<QThread*>& cameraThreads() {
    static std::set<QThread*> threads;
    return threads;
}

// As the application object goes, the camera threads of released managers are still closing
// their devices (a frame under way ends first): wait for them, so that
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
        : m_options(std::move(options)), m_owner(owner), m_ownerGuard(owner),
          m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (!m_options.makeFrameSource) {
            m_options.makeFrameSource = CameraManager::defaultFrameSourceFactory();
        }
    }
    ~CameraSession() override {
        if (m_wakeFd >= 0) {
            ::close(m_wakeFd);
        }
    }

    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Shared: the delegate and the manager it is handed; the lock is held during each call.
    mutable QRecursiveMutex delegateMutex;
    CameraFrameDelegate* delegate = nullptr;
    // Shared: set by stop() and the destructor so that no further grab begins.
    std::atomic<bool> stopRequested{false};
    // Shared: frames grabbed, mirrored for readers on other threads.
    std::atomic<qint64> frameCountMirror{0};

    // Shared: ends a grab's wait at once (after stopRequested is set).
    void wake() const {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
    }

    void configure();
    void stopCapture();
    void shutdown();

private:
    enum class Phase { idle, running, interrupted, stopped };
    // Why capture stopped: each has its own words for the panel.
    enum class Cause { anotherProgram, unplugged, stalled, failing };
    static constexpr int grabsPerTask = 15;
    static constexpr int longestRetryFactor = 8;
    // How long a served source's server may take to close the node once the source closed.
    static constexpr std::chrono::milliseconds serverLetGoLimit{1000};

    template <typename Assign> void publish(Assign assign);
    std::chrono::milliseconds now() const;
    std::optional<OpenStatus> openSource(QString* description,
                                         std::unique_ptr<FrameSource> source = nullptr);
    // Watches `path` (nothing when empty), and has `source` wake for it.
    void watchFor(FrameSource& source, const QString& path);
    void watch(const QString& path);
    void dropWatch();
    DeviceUseWatch::Seen noteWatchEvents();
    void takeWatchEvents();
    void drainWake();
    void scheduleStep();
    void captureStep(quint64 generation);
    void onFrame();
    void onReadFailure();
    void interrupt(Cause cause, const QString& detail = {});
    // Also notes a camera kept busy by another program.
    std::optional<Cause> causeOf(OpenStatus status);
    void retry();
    void retryLater(Cause cause);
    // Waits (a little) until the server of a served source has closed the node.
    void awaitServersLetGo();
    void forward();
    void noteReadable(bool readable);
    void closeSource();

    CameraManagerOptions m_options;
    CameraManager* const m_owner;               // handed to the delegate, under delegateMutex
    const QPointer<CameraManager> m_ownerGuard; // copied into main-thread tasks only
    const int m_wakeFd;
    std::unique_ptr<FrameSource> m_source;
    Phase m_phase = Phase::idle;
    // Bumped whenever the grab chain must end; a grab task of an older generation does nothing.
    quint64 m_generation = 0;
    qint64 m_frameCount = 0;
    qint64 m_framesSinceOpen = 0;
    QElapsedTimer m_sinceFrame;
    QTimer* m_retryTimer = nullptr;
    // The device node's watch; while no source is open its events come through the notifier,
    // while one is, through the grabs.
    std::unique_ptr<DeviceUseWatch> m_watch;
    QSocketNotifier* m_watchNotifier = nullptr;
    // When another program was last seen at the camera (opened, closed, or kept it busy),
    // and how long that leaves the camera alone.
    std::optional<std::chrono::milliseconds> m_lastOtherUse;
    std::chrono::milliseconds m_grace = CameraManager::shareGracePeriod;
    // Other programs' opens of the node not yet matched by a close, by the watch's count, and
    // when the first of them came.
    int m_othersOpen = 0;
    std::optional<std::chrono::milliseconds> m_othersOpenedAt;
    // The processes that held the node for a served source when it last opened (PipeWire's
    // daemon): their hold on it is no other program's.
    std::vector<qint64> m_servers;
    int m_unreadableRun = 0;
    bool m_unreadableShown = false;
    // What the panel was last told of the interruption under way.
    QString m_interruptionText;
    // Until the next attempt to open the camera again.
    std::chrono::milliseconds m_retryDelay{0};
    // Frames grabbed since a frame was last passed on, and when (on the camera's clock) that
    // one, or the first since the camera opened, was taken.
    qint64 m_framesSinceForward = 0;
    qint64 m_analysed = 0; // frames handed to the delegate
    std::optional<std::chrono::microseconds> m_lastForwardTaken;
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

std::chrono::milliseconds CameraSession::now() const {
    if (m_options.clock) {
        return m_options.clock();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

// Makes a source and opens it, its node watched from before the open on; nothing when there
// is no camera.
std::optional<OpenStatus> CameraSession::openSource(QString* description,
                                                    std::unique_ptr<FrameSource> source) {
    if (!source) {
        source = m_options.makeFrameSource();
    }
    if (!source) {
        return std::nullopt;
    }
    const bool served = source->deviceServed();
    QString path = source->devicePath();
    if (!served) {
        watchFor(*source, path);
    }
    source->setOpenedElsewhere(m_othersOpen > 0 && m_othersOpenedAt &&
                               now() - *m_othersOpenedAt < CameraManager::unseenHolderLimit);
    const OpenStatus status = source->open();
    if (status != OpenStatus::opened) {
        *description = source->errorDescription();
        source->close();
        noteWatchEvents();
        return status;
    }
    std::vector<qint64> ours{qint64(::getpid())};
    if (served) {
        // Which node the server streams is known now, and the server holds it now: the
        // processes that do are the server's, and so were the opens of the node meanwhile.
        path = source->devicePath();
        watchFor(*source, path);
        if (m_watch) {
            m_watch->read();
        }
        m_servers = path.isEmpty() ? std::vector<qint64>{}
                                   : processesHoldingDevice(path, m_options.processDirectory);
        std::erase(m_servers, ours.front());
        ours.insert(ours.end(), m_servers.begin(), m_servers.end());
    }
    // Our own open is read off the watch now, so that another program's open from here on
    // comes as an event of its own. One that came while ours was under way may have been
    // merged with ours by the kernel: /proc is asked once more.
    if (m_watch && (noteWatchEvents().opens > 0 ||
                    deviceOpenInAnyProcess(path, m_options.processDirectory, ours))) {
        qCInfo(lcCamera, "another program opened %s with us: giving way", qUtf8Printable(path));
        source->close();
        noteWatchEvents();
        *description = systemErrorDescription(EBUSY);
        return OpenStatus::busy;
    }
    // Nobody else has it: an open still counted was one whose close the count lost.
    m_othersOpen = 0;
    m_othersOpenedAt.reset();
    m_source = std::move(source);
    m_framesSinceOpen = 0;
    m_unreadableRun = 0;
    m_sinceFrame.start();
    m_lastForwardTaken.reset();
    if (m_watchNotifier != nullptr) {
        m_watchNotifier->setEnabled(false); // the grabs read the watch now
    }
    return status;
}

void CameraSession::watchFor(FrameSource& source, const QString& path) {
    if (path.isEmpty()) {
        dropWatch();
    } else if (!m_watch || !m_watch->isValid() || m_watch->path() != path) {
        watch(path);
    }
    source.setWakeDescriptors({m_watch ? m_watch->descriptor() : -1, m_wakeFd});
}

void CameraSession::watch(const QString& path) {
    dropWatch();
    m_watch = std::make_unique<DeviceUseWatch>(path);
    if (m_watch->isValid()) {
        m_watchNotifier = new QSocketNotifier(m_watch->descriptor(), QSocketNotifier::Read, this);
        m_watchNotifier->setEnabled(false);
        QObject::connect(m_watchNotifier, &QSocketNotifier::activated, this,
                         [this] { takeWatchEvents(); });
    }
}

void CameraSession::dropWatch() {
    if (m_watchNotifier != nullptr) {
        m_watchNotifier->setEnabled(false);
        m_watchNotifier->deleteLater(); // it may be the one calling
        m_watchNotifier = nullptr;
    }
    m_watch.reset();
    m_othersOpen = 0; // a node that comes back is another one
    m_othersOpenedAt.reset();
}

DeviceUseWatch::Seen CameraSession::noteWatchEvents() {
    if (!m_watch) {
        return {};
    }
    const DeviceUseWatch::Seen seen = m_watch->read();
    if (seen.gone) {
        dropWatch();
    }
    if (seen.opens == 0 && seen.closes == 0) {
        return seen;
    }
    const std::chrono::milliseconds at = now();
    if (seen.opens > 0 && m_othersOpen == 0) {
        m_othersOpenedAt = at;
    }
    m_othersOpen = std::max(0, m_othersOpen + seen.opens - seen.closes);
    m_lastOtherUse = at;
    m_grace = CameraManager::shareGracePeriod;
    if (m_othersOpen == 0) {
        // Everyone closed again: a mere look when they had only just opened.
        if (seen.closes > 0 && m_othersOpenedAt &&
            at - *m_othersOpenedAt <= CameraManager::briefLook) {
            m_grace = CameraManager::briefLookGracePeriod;
        }
        m_othersOpenedAt.reset();
    }
    qCDebug(lcCamera, "another program opened the camera %d and closed it %d times (%d open)",
            seen.opens, seen.closes, m_othersOpen);
    return seen;
}

void CameraSession::takeWatchEvents() {
    const DeviceUseWatch::Seen seen = noteWatchEvents();
    if (seen.opens > 0 && m_source) {
        if (m_source->deviceServed() &&
            !deviceOpenInAnyProcess(m_source->devicePath(), m_options.processDirectory,
                                    m_servers)) {
            // Nobody but the server holds it: the server opened it again itself (PipeWire
            // does when it sets the device's format anew), or a look that is over already.
            // The server keeps the device either way.
            qCDebug(lcCamera, "%s opened and closed again beside the server: keeping on",
                    qUtf8Printable(m_source->devicePath()));
            m_othersOpen = 0;
            m_othersOpenedAt.reset();
            return;
        }
        if (m_source->deviceSharedWithOthers()) {
            // The node stays busy for that program whatever Quorvel does.
            qCInfo(lcCamera,
                   "another program opened %s, which other programs read too: "
                   "keeping on",
                   qUtf8Printable(m_source->devicePath()));
            return;
        }
        qCInfo(lcCamera, "another program opened %s: giving the camera up",
               qUtf8Printable(m_source->devicePath()));
        interrupt(Cause::anotherProgram);
    }
}

void CameraSession::drainWake() {
    quint64 count = 0;
    while (::read(m_wakeFd, &count, sizeof count) > 0) {
    }
}

void CameraSession::configure() {
    // Not twice; and not at all when a stop (or the manager's end) follows right behind.
    if (m_phase == Phase::running || m_phase == Phase::interrupted || stopRequested.load()) {
        return;
    }
    drainWake();
    ++m_generation;
    QString description;
    const std::optional<OpenStatus> status = openSource(&description);
    if (const std::optional<Cause> cause = status ? causeOf(*status) : std::nullopt) {
        // Busy, or a failure that may pass: waited for, not given up on.
        qCInfo(lcCamera, "the camera could not be opened yet (%s): trying again later",
               qUtf8Printable(description));
        interrupt(*cause, description);
        return;
    }
    if (status != OpenStatus::opened) {
        dropWatch();
        const QString text = status ? *CameraManager::openFailureText(*status, description)
                                    : CameraManager::noCameraText();
        publish([text](CameraManager& m) { m.assignError(text); });
        return;
    }
    m_phase = Phase::running;
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
                qCInfo(lcCamera, "no frame for %lld ms", qint64(m_sinceFrame.elapsed()));
                interrupt(Cause::stalled);
            }
            break;
        case GrabResult::failed:
            onReadFailure();
            break;
        case GrabResult::woken:
            drainWake();
            takeWatchEvents();
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
        qCInfo(lcCamera, "capture resumed");
        m_phase = Phase::running;
        m_interruptionText.clear();
        m_retryDelay = m_options.reopenInterval;
        publish([](CameraManager& m) {
            m.assignIsRunning(true);
            m.assignError(std::nullopt);
        });
    }
    // One frame in fifteen; where the camera is slower than 30 fps, by the times it gives its
    // frames, one each analysisInterval.
    const std::optional<std::chrono::microseconds> taken = m_source->frameTaken();
    if (taken && !m_lastForwardTaken) {
        m_lastForwardTaken = taken;
    }
    const bool due = ++m_framesSinceForward >= CameraManager::processEveryNthFrame ||
                     (taken && *taken - *m_lastForwardTaken >= CameraManager::analysisInterval);
    if (due) {
        m_framesSinceForward = 0;
        m_lastForwardTaken = taken;
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
    bool readable = false;
    try {
        readable = m_source->retrieve(image) && convertToBgr8(image);
    } catch (const std::exception&) {
        readable = false;
    }
    noteReadable(readable);
    if (!readable) {
        return; // skipped like a frame without an image
    }
    try {
        delegate->cameraManager(*m_owner, image);
    } catch (const std::exception&) {
        // A frame that cannot be analysed is skipped too.
    }
    if (++m_analysed % framesLogEvery == 0) {
        qCDebug(lcCamera, "%lld frames analysed of %lld", m_analysed, m_frameCount);
    }
}

void CameraSession::noteReadable(bool readable) {
    // Frames that can never be read (a format the decoder refuses, pictures of another size)
    // would leave monitoring on with nothing analysed: say so, and go on trying.
    if (readable) {
        m_unreadableRun = 0;
        if (std::exchange(m_unreadableShown, false)) {
            publish([](CameraManager& m) {
                m.assignIsRunning(true);
                m.assignError(std::nullopt);
            });
        }
    } else if (++m_unreadableRun == CameraManager::unreadableFramesLimit) {
        qCWarning(lcCamera, "%d frames in a row could not be read", m_unreadableRun);
        m_unreadableShown = true;
        publish([](CameraManager& m) {
            m.assignIsRunning(false);
            m.assignError(CameraManager::unreadableFramesText());
        });
    }
}

void CameraSession::onReadFailure() {
    // A camera that was delivering and fails once is restarted without a word; one that
    // fails again before delivering anything has stopped.
    if (m_phase == Phase::running && m_framesSinceOpen > 0) {
        const bool gone = m_source->deviceGone();
        m_source->close();
        const OpenStatus status = m_source->open();
        if (status == OpenStatus::opened) {
            m_framesSinceOpen = 0;
            m_sinceFrame.restart();
            return;
        }
        qCInfo(lcCamera, "the camera failed and could not be restarted: %s",
               qUtf8Printable(m_source->errorDescription()));
        // A node not there (yet) after the device went is the same unplug.
        interrupt(causeOf(status).value_or(gone ? Cause::unplugged : Cause::failing),
                  m_source->errorDescription());
        return;
    }
    qCInfo(lcCamera, "the camera failed: %s", qUtf8Printable(m_source->errorDescription()));
    interrupt(m_source->deviceGone() ? Cause::unplugged : Cause::failing,
              m_source->errorDescription());
}

std::optional<CameraSession::Cause> CameraSession::causeOf(OpenStatus status) {
    switch (status) {
    case OpenStatus::busy:
        // Kept busy by another program: the long wait (a look's short one is the watch's
        // word, when it sees the close).
        m_lastOtherUse = now();
        m_grace = CameraManager::shareGracePeriod;
        return Cause::anotherProgram;
    case OpenStatus::unplugged:
        return Cause::unplugged;
    case OpenStatus::failedForNow:
        return Cause::failing;
    default:
        return std::nullopt;
    }
}

void CameraSession::interrupt(Cause cause, const QString& detail) {
    // Let go of the device altogether: when it comes back it may be another node (a camera
    // plugged in again), so each attempt asks for the camera afresh.
    if (m_source) {
        const bool served = m_source->deviceServed();
        const bool serverKeepsIt = served && m_source->deviceSharedWithOthers();
        m_source->close();
        m_source.reset();
        // Our close read off at once: another program's close right behind it is not taken
        // for ours by the kernel's merging. A server's close of the node is not another
        // program's either: it is waited for and read off too.
        if (served && m_watch) {
            if (!serverKeepsIt) {
                awaitServersLetGo();
            }
            m_watch->read();
        } else {
            noteWatchEvents();
        }
    }
    ++m_generation;
    if (m_phase != Phase::interrupted) {
        m_phase = Phase::interrupted;
        m_unreadableShown = false;
        m_retryDelay = m_options.reopenInterval;
        m_interruptionText.clear();
        publish([](CameraManager& m) { m.assignIsRunning(false); });
    }
    if (m_retryTimer == nullptr) {
        m_retryTimer = new QTimer(this);
        m_retryTimer->setSingleShot(true);
        QObject::connect(m_retryTimer, &QTimer::timeout, this, [this] { retry(); });
    }
    retryLater(cause);
    // Told only when it changes: a camera busy again and again is one interruption.
    QString text;
    switch (cause) {
    case Cause::anotherProgram:
        text = CameraManager::interruptedText();
        break;
    case Cause::unplugged:
        text = CameraManager::disconnectedText();
        break;
    case Cause::stalled:
        text = CameraManager::stalledText();
        break;
    case Cause::failing:
        text = CameraManager::failingPrefix() + detail;
        break;
    }
    if (text != std::exchange(m_interruptionText, text)) {
        publish([text](CameraManager& m) { m.assignError(text); });
    }
    if (m_watchNotifier != nullptr) {
        m_watchNotifier->setEnabled(true);
    }
}

void CameraSession::awaitServersLetGo() {
    const auto holds = [this] {
        const std::vector<qint64> holders =
            processesHoldingDevice(m_watch->path(), m_options.processDirectory);
        return std::any_of(holders.begin(), holders.end(), [this](qint64 p) {
            return std::find(m_servers.begin(), m_servers.end(), p) != m_servers.end();
        });
    };
    QElapsedTimer waited;
    waited.start();
    while (holds()) {
        if (waited.elapsed() >= serverLetGoLimit.count()) {
            qCInfo(lcCamera, "the camera's server still holds %s", qUtf8Printable(m_watch->path()));
            return;
        }
        QThread::msleep(5);
    }
}

void CameraSession::retryLater(Cause cause) {
    // Another program's use is watched for, and the grace period paces the return; a camera
    // that fails by itself is looked at less and less often.
    const std::chrono::milliseconds longest = m_options.reopenInterval * longestRetryFactor;
    if (cause == Cause::anotherProgram) {
        m_retryDelay = m_options.reopenInterval;
    }
    m_retryTimer->start(m_retryDelay);
    if (cause != Cause::anotherProgram) {
        m_retryDelay = std::min(m_retryDelay * 2, longest);
    }
}

void CameraSession::retry() {
    if (m_phase != Phase::interrupted || m_source || stopRequested.load()) {
        return;
    }
    // Looked at again later unless the camera opens now.
    m_retryTimer->start(m_retryDelay);
    // Never taken from a program that holds it, even between two of its streams; and left
    // alone for a while after another program was seen at it. The watch is read again after
    // the look at /proc: a program that closed the camera meanwhile is gone from there
    // before its close is reported.
    const auto leftAlone = [this] {
        takeWatchEvents();
        return !m_lastOtherUse || now() - *m_lastOtherUse >= m_grace;
    };
    if (!leftAlone()) {
        return;
    }
    std::unique_ptr<FrameSource> next;
    if (!m_watch || !m_watch->isValid()) {
        // The node went (a camera unplugged): the one to open now is watched from here on,
        // and whoever has it open already is found in /proc.
        next = m_options.makeFrameSource();
        if (next && !next->devicePath().isEmpty()) {
            watch(next->devicePath());
            if (m_watchNotifier != nullptr) {
                m_watchNotifier->setEnabled(true);
            }
        }
    }
    if (m_watch && deviceOpenInAnyProcess(m_watch->path(), m_options.processDirectory, m_servers)) {
        qCDebug(lcCamera, "%s is held by another process", qUtf8Printable(m_watch->path()));
        m_lastOtherUse = now();
        m_grace = CameraManager::shareGracePeriod;
        return;
    }
    if (!leftAlone()) {
        return;
    }
    QString description;
    const std::optional<OpenStatus> status = openSource(&description, std::move(next));
    if (status == OpenStatus::opened) {
        // The interruption ends with the first frame, not with the open: a device can open
        // and still deliver nothing.
        m_retryTimer->stop();
        ++m_generation;
        scheduleStep();
    } else if (const std::optional<Cause> cause = status ? causeOf(*status) : Cause::unplugged) {
        qCDebug(lcCamera, "the camera cannot be opened yet: %s", qUtf8Printable(description));
        interrupt(*cause, description);
    }
}

void CameraSession::closeSource() {
    ++m_generation;
    if (m_retryTimer != nullptr) {
        m_retryTimer->stop();
    }
    if (m_source) {
        m_source->close();
        m_source.reset();
    }
    dropWatch();
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
    // Not back before the thread has made its event loop's dispatcher (it says it started once
    // it has): a task posted to the session while the thread is still making it can find a
    // dispatcher half made, and Qt 6.4 crashed in its wake-up when monitoring stopped right after
    // it started. A thread that does not start within 5 s is not waited for any longer.
    // Shared with the slot, which may still be inside release() when this has returned.
    const auto started = std::make_shared<QSemaphore>();
    const QMetaObject::Connection ready = connect(
        m_thread, &QThread::started, m_thread, [started] { started->release(); },
        Qt::DirectConnection);
    m_thread->start();
    started->tryAcquire(1, 5000);
    disconnect(ready);
}

CameraManager::~CameraManager() {
    setDelegate(nullptr);
    m_session->stopRequested.store(true);
    m_session->wake();
    // Qt queues a task and only then wakes the receiving thread's event loop, outside its lock:
    // a busy camera thread can run the shutdown, end, and delete that event loop in between,
    // and the wake-up then writes to freed memory. The shutdown waits until this post is back.
    CameraSession* session = m_session;
    const auto posted = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        session,
        [session, posted] {
            posted->acquire();
            session->shutdown();
        },
        Qt::QueuedConnection);
    posted->release();
}

FrameSourceFactory CameraManager::defaultFrameSourceFactory(const QString& recording,
                                                            const QString& useLog, Path path) {
    // Instead of a camera, a recording of Motion-JPEG frames played as a 30 fps webcam (for
    // benchmarks, and for trying the app on a machine without a camera).
    // The recording is looked through once, when the camera first starts, for where its
    // images lie; each start after that plays it from the file again, a frame at a time, so
    // that it costs the app no more memory than a camera does, however long it is.
    if (!recording.isEmpty()) {
        struct Loaded {
            QMutex mutex;
            std::shared_ptr<RecordedCamera> camera;
        };
        auto loaded = std::make_shared<Loaded>();
        return [recording, useLog, loaded]() -> std::unique_ptr<FrameSource> {
            QMutexLocker lock(&loaded->mutex);
            if (!loaded->camera) {
                QString error;
                loaded->camera = RecordedCamera::load(recording, 30.0, &error);
                if (!loaded->camera) {
                    qCWarning(lcCamera, "recording %s: %s", qUtf8Printable(recording),
                              qUtf8Printable(error));
                    return nullptr;
                }
            }
            auto camera = loaded->camera->replay();
            camera->setUseLog(useLog);
            return std::make_unique<V4L2FrameSource>(recording, std::move(camera));
        };
    }
    if (path == Path::pipewire) {
        return []() -> std::unique_ptr<FrameSource> {
            return std::make_unique<PipeWireFrameSource>();
        };
    }
    if (path == Path::v4l2) {
        return []() -> std::unique_ptr<FrameSource> {
            return cameraSource(listCameraDevices());
        };
    }
    return []() -> std::unique_ptr<FrameSource> {
        return sessionCameraSource(listCameraDevices());
    };
}

std::unique_ptr<FrameSource>
CameraManager::sessionCameraSource(const std::vector<CameraDevice>& devices) {
    QString error;
    const auto cameras = PipeWireFrameSource::listCameras(&error);
    const auto camera = cameras ? choosePipeWireCamera(*cameras, devices) : std::nullopt;
    // A raw sensor's node, which PipeWire's V4L2 monitor publishes beside no libcamera one,
    // gives no picture: the V4L2 path says what to install.
    const bool raw = camera && std::any_of(devices.begin(), devices.end(), [&](const auto& d) {
                         return d.needsLibcamera && d.path == camera->v4l2Path;
                     });
    if (camera && !raw) {
        qCDebug(lcCamera, "the session's PipeWire offers %s: reading it there",
                qUtf8Printable(camera->description));
        return std::make_unique<PipeWireFrameSource>();
    }
    qCDebug(lcCamera, "no camera through PipeWire (%s): opening the device node",
            qUtf8Printable(!error.isEmpty() ? error
                           : camera         ? QStringLiteral("only a raw sensor's node")
                                            : QStringLiteral("none offered")));
    return cameraSource(devices);
}

std::unique_ptr<FrameSource> CameraManager::cameraSource(const std::vector<CameraDevice>& devices) {
    const auto device = chooseCameraDevice(devices);
    if (!device) {
        return nullptr;
    }
    // A laptop camera that only libcamera drives is reached through PipeWire's libcamera
    // monitor where the session has one; elsewhere opening it says what to install.
    if (device->needsLibcamera) {
        QString error;
        const auto cameras = PipeWireFrameSource::listCameras(&error);
        if (const auto camera = cameras ? libcameraCamera(*cameras, devices) : std::nullopt) {
            qCInfo(lcCamera, "%s needs libcamera: reading %s through PipeWire",
                   qUtf8Printable(device->path), qUtf8Printable(camera->description));
            return std::make_unique<PipeWireFrameSource>();
        }
    }
    return std::make_unique<V4L2FrameSource>(device->path);
}

std::optional<QString> CameraManager::openFailureText(OpenStatus status,
                                                      const QString& description) {
    switch (status) {
    case OpenStatus::opened:
        return std::nullopt;
    case OpenStatus::busy:
        return interruptedText();
    case OpenStatus::inputFailed:
        return inputErrorPrefix() + description;
    case OpenStatus::failedForNow:
        return failingPrefix() + description;
    case OpenStatus::unplugged:
        return disconnectedText();
    case OpenStatus::inputRejected:
        return description.isEmpty() ? cannotAddInputText()
                                     : cannotAddInputText() + QStringLiteral(": ") + description;
    case OpenStatus::needsLibcamera:
        return needsLibcameraText();
    case OpenStatus::outputRejected:
        break;
    }
    return cannotAddOutputText();
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
    m_session->wake();
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
    qCInfo(lcCamera, "message for the panel: %s", value ? qUtf8Printable(*value) : "(none)");
    Q_EMIT objectWillChange();
    Q_EMIT errorChanged(value);
    m_error = std::move(value);
}

} // namespace quorvel
