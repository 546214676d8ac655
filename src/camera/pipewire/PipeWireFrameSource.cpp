#include "camera/pipewire/PipeWireFrameSource.h"

#include "camera/CameraLog.h"
#include "camera/CameraPortal.h"
#include "camera/DeviceUse.h"
#include "camera/JpegCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <pipewire/pipewire.h>
#include <poll.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <sys/eventfd.h>
#include <unistd.h>

// PipeWire's method macros cast in C's way.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace quorvel {

namespace {

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

QString text(const spa_dict* props, const char* key) {
    const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
    return value != nullptr ? QString::fromUtf8(value) : QString();
}

bool isCamera(const spa_dict* props) {
    return text(props, PW_KEY_MEDIA_CLASS) == QLatin1String("Video/Source") &&
           text(props, PW_KEY_MEDIA_ROLE) == QLatin1String("Camera");
}

// The raw formats taken, in the order preferred, and how each becomes BGR.
struct RawFormat {
    spa_video_format format;
    int bytesPerPixel; // of the first plane; 1 for the planar YUV formats
    int conversion;    // a cv::ColorConversionCodes value; -1: already BGR
    const char* name;
};
constexpr RawFormat rawFormats[] = {
    {SPA_VIDEO_FORMAT_YUY2, 2, cv::COLOR_YUV2BGR_YUY2, "YUY2"},
    {SPA_VIDEO_FORMAT_UYVY, 2, cv::COLOR_YUV2BGR_UYVY, "UYVY"},
    {SPA_VIDEO_FORMAT_NV12, 1, cv::COLOR_YUV2BGR_NV12, "NV12"},
    {SPA_VIDEO_FORMAT_I420, 1, cv::COLOR_YUV2BGR_I420, "I420"},
    {SPA_VIDEO_FORMAT_BGR, 3, -1, "BGR"},
    {SPA_VIDEO_FORMAT_RGB, 3, cv::COLOR_RGB2BGR, "RGB"},
    {SPA_VIDEO_FORMAT_BGRx, 4, cv::COLOR_BGRA2BGR, "BGRx"},
    {SPA_VIDEO_FORMAT_BGRA, 4, cv::COLOR_BGRA2BGR, "BGRA"},
    {SPA_VIDEO_FORMAT_RGBx, 4, cv::COLOR_RGBA2BGR, "RGBx"},
    {SPA_VIDEO_FORMAT_RGBA, 4, cv::COLOR_RGBA2BGR, "RGBA"},
    {SPA_VIDEO_FORMAT_GRAY8, 1, cv::COLOR_GRAY2BGR, "GRAY8"},
};

const RawFormat* rawFormat(quint32 format) {
    for (const RawFormat& f : rawFormats) {
        if (f.format == format) {
            return &f;
        }
    }
    return nullptr;
}

// An EnumFormat for `subtype` (Motion-JPEG, or raw in `rawFormats`), any size and rate, the
// requested size and 30 fps preferred.
const spa_pod* formatParam(spa_pod_builder* b, quint32 subtype, cv::Size preferred) {
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(b, subtype);
    if (subtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Enum, 0);
        spa_pod_builder_id(b, rawFormats[0].format);
        for (const RawFormat& f : rawFormats) {
            spa_pod_builder_id(b, f.format);
        }
        spa_pod_builder_pop(b, &choice);
    }
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_rectangle(b, quint32(preferred.width), quint32(preferred.height));
    spa_pod_builder_rectangle(b, 1, 1);
    spa_pod_builder_rectangle(b, 16384, 16384);
    spa_pod_builder_pop(b, &choice);
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(b, 30, 1);
    spa_pod_builder_fraction(b, 0, 1);
    spa_pod_builder_fraction(b, 1000, 1);
    spa_pod_builder_pop(b, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

// Buffers the stream can map and read: memory, not DMA buffers.
const spa_pod* buffersParam(spa_pod_builder* b) {
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(b, (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd));
    spa_pod_builder_pop(b, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

std::chrono::microseconds steadyNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

} // namespace

// The format a stream agreed, carried with each frame (a format may change mid-stream).
struct PipeWireFrameSource::Frame {
    bool mjpg = false;
    quint32 raw = SPA_VIDEO_FORMAT_UNKNOWN;
    cv::Size size;
    quint32 stride = 0;
    std::vector<unsigned char> bytes;
    std::chrono::microseconds taken{0};
};

// PipeWire's objects, all used under the thread loop's lock; the callbacks run on the loop's
// thread with the lock held, except onProcess, which runs on PipeWire's data thread (no hop to
// the loop's thread for each frame) and touches only the stream's buffers and what frameMutex
// guards.
struct PipeWireFrameSource::Connection {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    pw_stream* stream = nullptr;
    spa_hook streamListener{};

    struct Bound {
        Connection* owner = nullptr;
        std::size_t index = 0;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        int suspends = 0; // times the node was seen suspended
    };
    std::vector<PipeWireCamera> cameras;
    std::list<Bound> bound; // a list: the listeners' addresses must not move
    // Every link in the graph, by id: its output node and its input node.
    std::map<quint32, std::pair<quint32, quint32>> links;

    int pendingSync = -1;
    bool synced = false;
    QString coreError; // the daemon failed or went away
    quint32 target = SPA_ID_INVALID;
    bool targetGone = false;
    QString streamError;
    bool formatAgreed = false;

    // What the callbacks hand to the camera thread, under frameMutex.
    std::mutex frameMutex;
    Frame format; // the agreed format, no bytes
    Frame pending;
    bool hasPending = false;
    bool throughPortal = false; // connected by the desktop's camera portal
    int eventFd = -1;

    void signal() const {
        if (eventFd >= 0) {
            eventfd_write(eventFd, 1);
        }
    }

    // Waits, with the loop locked, until `done` holds or a failure or the timeout comes.
    template <typename Done> bool waitFor(Done done, std::chrono::milliseconds timeout) {
        timespec until{};
        pw_thread_loop_get_time(loop, &until, std::chrono::nanoseconds(timeout).count());
        while (!done() && coreError.isEmpty()) {
            if (pw_thread_loop_timed_wait_full(loop, &until) != 0) {
                break;
            }
        }
        return done();
    }

    Bound* targetNode() {
        for (Bound& b : bound) {
            if (cameras[b.index].id == target) {
                return &b;
            }
        }
        return nullptr;
    }

    // Whether other streams than ours read from the camera.
    bool othersRead() const {
        const quint32 ours = stream != nullptr ? pw_stream_get_node_id(stream) : SPA_ID_INVALID;
        return std::any_of(links.begin(), links.end(), [&](const auto& link) {
            return link.second.first == target && link.second.second != ours;
        });
    }

    bool sync() {
        synced = false;
        pendingSync = pw_core_sync(core, PW_ID_CORE, pendingSync);
        return waitFor([this] { return synced; }, answerTimeout);
    }
};

namespace {

using Connection = PipeWireFrameSource::Connection;

void onCoreDone(void* data, uint32_t id, int seq) {
    auto* c = static_cast<Connection*>(data);
    if (id == PW_ID_CORE && seq == c->pendingSync) {
        c->synced = true;
        pw_thread_loop_signal(c->loop, false);
    }
}

void onCoreError(void* data, uint32_t id, int seq, int res, const char* message) {
    (void)seq;
    auto* c = static_cast<Connection*>(data);
    qCDebug(lcCamera, "PipeWire error on %u: %s (%s)", id, message, spa_strerror(res));
    if (id == PW_ID_CORE) {
        c->coreError = res == -EPIPE
                           ? QStringLiteral("PipeWire went away")
                           : QStringLiteral("PipeWire: %1").arg(QString::fromUtf8(message));
        c->signal();
        pw_thread_loop_signal(c->loop, false);
    }
}

const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onCoreDone;
    e.error = onCoreError;
    return e;
}();

void onNodeInfo(void* data, const pw_node_info* info) {
    auto* b = static_cast<Connection::Bound*>(data);
    if (info == nullptr) {
        return;
    }
    if ((info->change_mask & PW_NODE_CHANGE_MASK_STATE) != 0) {
        qCDebug(lcCamera, "PipeWire node %u: %s", info->id, pw_node_state_as_string(info->state));
        if (info->state == PW_NODE_STATE_SUSPENDED) {
            ++b->suspends;
            pw_thread_loop_signal(b->owner->loop, false);
        }
    }
    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0) {
        return;
    }
    PipeWireCamera& camera = b->owner->cameras[b->index];
    if (const QString v = text(info->props, "api.v4l2.path"); !v.isEmpty()) {
        camera.v4l2Path = v;
    }
    if (const QString v = text(info->props, "api.libcamera.location"); !v.isEmpty()) {
        camera.libcameraLocation = v;
    }
    if (const QString v = text(info->props, PW_KEY_NODE_DESCRIPTION); !v.isEmpty()) {
        camera.description = v;
    }
}

const pw_node_events nodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = onNodeInfo;
    return e;
}();

void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
              const spa_dict* props) {
    (void)permissions;
    (void)version;
    auto* c = static_cast<Connection*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        c->links[id] = {text(props, PW_KEY_LINK_OUTPUT_NODE).toUInt(),
                        text(props, PW_KEY_LINK_INPUT_NODE).toUInt()};
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || !isCamera(props)) {
        return;
    }
    PipeWireCamera camera;
    camera.id = id;
    camera.serial = text(props, PW_KEY_OBJECT_SERIAL).toULongLong();
    camera.name = text(props, PW_KEY_NODE_NAME);
    camera.description = text(props, PW_KEY_NODE_DESCRIPTION);
    c->cameras.push_back(camera);
    // The device behind it is told only in the node's own properties.
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(c->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (proxy != nullptr) {
        Connection::Bound& b = c->bound.emplace_back();
        b.owner = c;
        b.index = c->cameras.size() - 1;
        b.proxy = proxy;
        pw_proxy_add_object_listener(proxy, &b.listener, &nodeEvents, &b);
    }
    pw_thread_loop_signal(c->loop, false);
}

void onGlobalRemove(void* data, uint32_t id) {
    auto* c = static_cast<Connection*>(data);
    c->links.erase(id);
    if (id == c->target) {
        c->targetGone = true;
        c->signal();
        pw_thread_loop_signal(c->loop, false);
    }
}

const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    e.global_remove = onGlobalRemove;
    return e;
}();

void onStreamState(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    auto* c = static_cast<Connection*>(data);
    qCDebug(lcCamera, "PipeWire stream: %s -> %s%s%s", pw_stream_state_as_string(old),
            pw_stream_state_as_string(state), error != nullptr ? ": " : "",
            error != nullptr ? error : "");
    if (state == PW_STREAM_STATE_ERROR) {
        c->streamError =
            error != nullptr ? QString::fromUtf8(error) : QStringLiteral("stream failed");
        c->signal();
    } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
        c->streamError = QStringLiteral("the camera's stream was closed");
        c->signal();
    }
    pw_thread_loop_signal(c->loop, false);
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* c = static_cast<Connection*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) {
        return;
    }
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video) {
        return;
    }
    PipeWireFrameSource::Frame format;
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        spa_video_info_mjpg info{};
        if (spa_format_video_mjpg_parse(param, &info) < 0) {
            return;
        }
        format.mjpg = true;
        format.size = cv::Size(int(info.size.width), int(info.size.height));
    } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0 || rawFormat(info.format) == nullptr) {
            return;
        }
        format.raw = info.format;
        format.size = cv::Size(int(info.size.width), int(info.size.height));
    } else {
        return;
    }
    {
        std::lock_guard lock(c->frameMutex);
        c->format = std::move(format);
        c->hasPending = false;
    }
    c->formatAgreed = true;
    unsigned char buffer[256];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[] = {buffersParam(&b)};
    pw_stream_update_params(c->stream, params, 1);
    pw_thread_loop_signal(c->loop, false);
}

void onProcess(void* data) {
    auto* c = static_cast<Connection*>(data);
    // Only the newest frame matters; the others go back at once.
    pw_buffer* newest = nullptr;
    while (pw_buffer* b = pw_stream_dequeue_buffer(c->stream)) {
        if (newest != nullptr) {
            pw_stream_queue_buffer(c->stream, newest);
        }
        newest = b;
    }
    if (newest == nullptr) {
        return;
    }
    const spa_buffer* buffer = newest->buffer;
    if (buffer->n_datas > 0 && buffer->datas[0].data != nullptr &&
        buffer->datas[0].chunk != nullptr) {
        const spa_data& d = buffer->datas[0];
        const spa_chunk& chunk = *d.chunk;
        const bool whole = (chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 && chunk.size > 0 &&
                           chunk.offset <= d.maxsize && chunk.size <= d.maxsize - chunk.offset;
        if (whole) {
            const auto* start = static_cast<const unsigned char*>(d.data) + chunk.offset;
            std::lock_guard lock(c->frameMutex);
            c->pending.mjpg = c->format.mjpg;
            c->pending.raw = c->format.raw;
            c->pending.size = c->format.size;
            c->pending.stride = chunk.stride > 0 ? quint32(chunk.stride) : 0;
            c->pending.bytes.assign(start, start + chunk.size);
            c->pending.taken = steadyNow();
            c->hasPending = true;
        }
    }
    pw_stream_queue_buffer(c->stream, newest);
    c->signal();
}

const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStreamState;
    e.param_changed = onParamChanged;
    e.process = onProcess;
    return e;
}();

// A connection to the session's daemon with its cameras listed, its loop running; `error`
// set when it failed.
std::unique_ptr<Connection> connectAndList(QString* error, bool* refused = nullptr) {
    initPipeWire();
    auto c = std::make_unique<Connection>();
    // Through the desktop's camera portal where one answers: the connection it hands over
    // shows the cameras it allows and nothing else. Directly where none does.
    CameraPortal::Remote remote = CameraPortal::openPipeWireRemote();
    if (remote.refused) {
        *error = CameraPortal::refusedText();
        if (refused != nullptr) {
            *refused = true;
        }
        return c;
    }
    c->throughPortal = remote.descriptor >= 0;
    struct CloseUnused {
        int& descriptor;
        ~CloseUnused() {
            if (descriptor >= 0) {
                ::close(descriptor);
            }
        }
    } closeUnused{remote.descriptor};
    c->loop = pw_thread_loop_new("com.quorvel.pipewire", nullptr);
    if (c->loop == nullptr) {
        *error = QStringLiteral("PipeWire: no event loop");
        return c;
    }
    c->context = pw_context_new(pw_thread_loop_get_loop(c->loop), nullptr, 0);
    if (c->context == nullptr || pw_thread_loop_start(c->loop) < 0) {
        *error = QStringLiteral("PipeWire: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return c;
    }
    pw_thread_loop_lock(c->loop);
    // The core owns the portal's descriptor from here on.
    c->core =
        c->throughPortal
            ? pw_context_connect_fd(c->context, std::exchange(remote.descriptor, -1), nullptr, 0)
            : pw_context_connect(c->context, nullptr, 0);
    if (c->core == nullptr) {
        *error = QStringLiteral("PipeWire is not running in this session");
    } else {
        pw_core_add_listener(c->core, &c->coreListener, &coreEvents, c.get());
        c->registry = pw_core_get_registry(c->core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(c->registry, &c->registryListener, &registryEvents, c.get());
        // The first round lists the nodes, the second brings the properties of those bound.
        // The portal's connection shows the cameras once the session manager has granted
        // them to it, which may come after the first listing.
        bool answered = c->sync() && c->sync();
        if (answered && c->throughPortal && c->cameras.empty() &&
            c->waitFor([&] { return !c->cameras.empty(); },
                       PipeWireFrameSource::portalGrantTimeout)) {
            answered = c->sync();
        }
        if (!answered) {
            *error =
                c->coreError.isEmpty() ? QStringLiteral("PipeWire did not answer") : c->coreError;
        }
    }
    pw_thread_loop_unlock(c->loop);
    return c;
}

void disconnect(std::unique_ptr<Connection>& c) {
    if (!c) {
        return;
    }
    if (c->loop != nullptr) {
        pw_thread_loop_lock(c->loop);
        if (c->stream != nullptr) {
            spa_hook_remove(&c->streamListener);
            pw_stream_disconnect(c->stream);
            pw_stream_destroy(c->stream);
        }
        for (Connection::Bound& b : c->bound) {
            spa_hook_remove(&b.listener);
            pw_proxy_destroy(b.proxy);
        }
        if (c->registry != nullptr) {
            spa_hook_remove(&c->registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(c->registry));
        }
        if (c->core != nullptr) {
            spa_hook_remove(&c->coreListener);
            pw_core_disconnect(c->core);
        }
        pw_thread_loop_unlock(c->loop);
        pw_thread_loop_stop(c->loop);
    }
    if (c->context != nullptr) {
        pw_context_destroy(c->context);
    }
    if (c->loop != nullptr) {
        pw_thread_loop_destroy(c->loop);
    }
    if (c->eventFd >= 0) {
        ::close(c->eventFd);
    }
    c.reset();
}

} // namespace

std::optional<PipeWireCamera> choosePipeWireCamera(const std::vector<PipeWireCamera>& cameras,
                                                   const std::vector<CameraDevice>& v4l2Devices) {
    std::vector<CameraDevice> asDevices;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const PipeWireCamera& camera = cameras[i];
        CameraDevice d;
        const auto v4l2 =
            std::find_if(v4l2Devices.begin(), v4l2Devices.end(),
                         [&](const CameraDevice& v) { return v.path == camera.v4l2Path; });
        if (!camera.v4l2Path.isEmpty() && v4l2 != v4l2Devices.end()) {
            d = *v4l2;
            // PipeWire serves it: its own formats are not what Quorvel reads. A raw sensor's
            // node of a pipeline libcamera drives gives PipeWire no picture either, so
            // needsLibcamera stays: the camera's libcamera node goes first.
            d.capabilitiesKnown = d.canCapture = true;
        } else {
            d.capabilitiesKnown = d.canCapture = true;
            const QString& at = camera.libcameraLocation;
            d.attachment = at == QLatin1String("front") || at == QLatin1String("back")
                               ? CameraDevice::Attachment::builtIn
                           : at == QLatin1String("external") ? CameraDevice::Attachment::removable
                                                             : CameraDevice::Attachment::unknown;
        }
        d.name = camera.description;
        d.path = QString::number(i);
        asDevices.push_back(d);
    }
    const std::optional<CameraDevice> chosen = chooseCameraDevice(asDevices);
    if (!chosen) {
        return std::nullopt;
    }
    return cameras[chosen->path.toULongLong()];
}

std::optional<PipeWireCamera> libcameraCamera(const std::vector<PipeWireCamera>& cameras,
                                              const std::vector<CameraDevice>& v4l2Devices) {
    auto chosen = choosePipeWireCamera(cameras, v4l2Devices);
    if (chosen && !chosen->v4l2Path.isEmpty()) {
        chosen.reset(); // only the raw nodes: PipeWire has no libcamera monitor
    }
    return chosen;
}

PipeWireFrameSource::PipeWireFrameSource(cv::Size requestedSize) : m_requested(requestedSize) {}

PipeWireFrameSource::~PipeWireFrameSource() {
    close();
}

OpenStatus PipeWireFrameSource::fail(OpenStatus status, QString description) {
    m_error = std::move(description);
    qCInfo(lcCamera, "PipeWire camera: %s", qUtf8Printable(m_error));
    disconnect(m_pw);
    m_camera.reset();
    return status;
}

OpenStatus PipeWireFrameSource::open() {
    close();
    m_error.clear();
    m_gone = false;
    QString error;
    bool refused = false;
    m_pw = connectAndList(&error, &refused);
    if (!error.isEmpty()) {
        return fail(refused ? OpenStatus::inputFailed : OpenStatus::failedForNow, error);
    }
    Connection& c = *m_pw;
    pw_thread_loop_lock(c.loop);
    const std::vector<PipeWireCamera> cameras = c.cameras;
    pw_thread_loop_unlock(c.loop);
    m_camera = choosePipeWireCamera(cameras, listCameraDevices());
    if (!m_camera) {
        return fail(OpenStatus::unplugged, QStringLiteral("PipeWire offers no camera"));
    }
    // Whoever holds the device before the stream starts: the daemon only does while it streams
    // for another reader, and then the stream gets frames; otherwise a program that opened
    // the device itself may be streaming from it, and the daemon cannot.
    std::vector<qint64> heldBefore;
    if (!m_camera->v4l2Path.isEmpty()) {
        heldBefore = processesHoldingDevice(m_camera->v4l2Path);
        std::erase(heldBefore, qint64(::getpid()));
    }
    c.eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pw_thread_loop_lock(c.loop);
    const int result = startStream(c);
    pw_thread_loop_unlock(c.loop);
    if (result < 0) {
        return fail(OpenStatus::failedForNow,
                    QStringLiteral("PipeWire: %1").arg(QString::fromUtf8(spa_strerror(result))));
    }
    m_opened = std::chrono::steady_clock::now();
    qCInfo(lcCamera, "reading %s through PipeWire (node %u)", qUtf8Printable(m_camera->description),
           m_camera->id);
    if (!waitUntilStreaming(c) && !heldBefore.empty()) {
        const std::vector<qint64> holding = processesHoldingDevice(m_camera->v4l2Path);
        if (std::any_of(heldBefore.begin(), heldBefore.end(), [&](qint64 p) {
                return std::find(holding.begin(), holding.end(), p) != holding.end();
            })) {
            // The same answer as the device node's own: another program has the camera.
            qCInfo(lcCamera, "%s is held by another program: no frames through PipeWire",
                   qUtf8Printable(m_camera->v4l2Path));
            release(c); // nor does the daemon keep the device meanwhile
            return fail(OpenStatus::busy, systemErrorDescription(EBUSY));
        }
    }
    return OpenStatus::opened;
}

bool PipeWireFrameSource::waitUntilStreaming(Connection& c) {
    // Until the first frame: by then the daemon has opened the device and streams it. A
    // failure, or a format still not agreed, is for grab() to tell.
    const auto until = m_opened + negotiateTimeout;
    for (;;) {
        pw_thread_loop_lock(c.loop);
        const bool failed = !c.coreError.isEmpty() || !c.streamError.isEmpty() || c.targetGone;
        pw_thread_loop_unlock(c.loop);
        {
            std::lock_guard lock(c.frameMutex);
            if (c.hasPending) {
                return true;
            }
        }
        if (failed) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        std::vector<pollfd> fds{{c.eventFd, POLLIN, 0}};
        for (int fd : m_wake) {
            fds.push_back({fd, POLLIN, 0});
        }
        const int ready = ::poll(fds.data(), fds.size(), int(std::min<qint64>(left.count(), 250)));
        eventfd_t count = 0;
        eventfd_read(c.eventFd, &count);
        if (ready > 0 && std::any_of(fds.begin() + 1, fds.end(),
                                     [](const pollfd& p) { return (p.revents & POLLIN) != 0; })) {
            return true; // a stop: the grab that follows says so
        }
    }
}

int PipeWireFrameSource::startStream(Connection& c) {
    c.target = m_camera->id;
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, "quorvel", nullptr);
    if (m_camera->serial != 0) {
        pw_properties_setf(props, PW_KEY_TARGET_OBJECT, "%llu",
                           static_cast<unsigned long long>(m_camera->serial));
    }
    c.stream = pw_stream_new(c.core, "Quorvel", props);
    if (c.stream == nullptr) {
        return -errno;
    }
    pw_stream_add_listener(c.stream, &c.streamListener, &streamEvents, &c);
    unsigned char buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[] = {formatParam(&b, SPA_MEDIA_SUBTYPE_mjpg, m_requested),
                               formatParam(&b, SPA_MEDIA_SUBTYPE_raw, m_requested)};
    // The target by its id where the daemon is too old to give serials.
    return pw_stream_connect(
        c.stream, PW_DIRECTION_INPUT, m_camera->serial != 0 ? PW_ID_ANY : m_camera->id,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        params, 2);
}

GrabResult PipeWireFrameSource::grabFailure(QString description, bool gone) {
    m_error = std::move(description);
    m_gone = gone;
    qCInfo(lcCamera, "PipeWire camera: %s", qUtf8Printable(m_error));
    return GrabResult::failed;
}

GrabResult PipeWireFrameSource::grab() {
    if (!m_pw) {
        return grabFailure(QStringLiteral("not open"));
    }
    Connection& c = *m_pw;
    const auto take = [&]() -> std::optional<GrabResult> {
        pw_thread_loop_lock(c.loop);
        const QString coreError = c.coreError;
        const QString streamError = c.streamError;
        const bool gone = c.targetGone;
        const bool agreed = c.formatAgreed;
        pw_thread_loop_unlock(c.loop);
        if (gone) {
            return grabFailure(QStringLiteral("the camera went away"), true);
        }
        if (!coreError.isEmpty()) {
            return grabFailure(coreError);
        }
        if (!streamError.isEmpty()) {
            return grabFailure(QStringLiteral("PipeWire: %1").arg(streamError));
        }
        {
            std::lock_guard lock(c.frameMutex);
            if (c.hasPending) {
                if (!m_held) {
                    m_held = std::make_unique<Frame>();
                }
                std::swap(*m_held, c.pending);
                c.hasPending = false;
                return GrabResult::frame;
            }
        }
        if (!agreed && std::chrono::steady_clock::now() - m_opened >= negotiateTimeout) {
            return grabFailure(QStringLiteral("the camera and Quorvel agreed no picture format"));
        }
        return std::nullopt;
    };
    if (const auto now = take()) {
        return *now;
    }
    std::vector<pollfd> fds{{c.eventFd, POLLIN, 0}};
    for (int fd : m_wake) {
        fds.push_back({fd, POLLIN, 0});
    }
    const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs);
    eventfd_t count = 0;
    eventfd_read(c.eventFd, &count);
    if (ready > 0 && std::any_of(fds.begin() + 1, fds.end(),
                                 [](const pollfd& p) { return (p.revents & POLLIN) != 0; })) {
        return GrabResult::woken;
    }
    return take().value_or(GrabResult::noFrame);
}

bool PipeWireFrameSource::decode(const Frame& frame, cv::Mat& image) {
    const int w = frame.size.width;
    const int h = frame.size.height;
    if (w <= 0 || h <= 0) {
        return false;
    }
    if (frame.mjpg) {
        return decodeWholeJpeg(frame.bytes.data(), frame.bytes.size(), m_requested, image);
    }
    const RawFormat* f = rawFormat(frame.raw);
    if (f == nullptr) {
        return false;
    }
    const std::size_t packedStride = std::size_t(w) * std::size_t(f->bytesPerPixel);
    const std::size_t stride = frame.stride >= packedStride ? frame.stride : packedStride;
    const bool planar = f->format == SPA_VIDEO_FORMAT_NV12 || f->format == SPA_VIDEO_FORMAT_I420;
    // The planar formats are taken with their planes packed, one after the other.
    const int rows = planar ? h + h / 2 : h;
    if (planar && stride != packedStride) {
        return false;
    }
    if (frame.bytes.size() < stride * std::size_t(rows)) {
        return false; // cut short
    }
    const cv::Mat source(rows, w, CV_8UC(planar ? 1 : f->bytesPerPixel),
                         const_cast<unsigned char*>(frame.bytes.data()), stride);
    if (f->conversion < 0) {
        source.copyTo(image);
    } else {
        cv::cvtColor(source, image, f->conversion);
    }
    return true;
}

bool PipeWireFrameSource::retrieve(cv::Mat& image) {
    if (!m_held || !decode(*m_held, image)) {
        return false;
    }
    // A camera another program runs at a large size is analysed at about the requested one:
    // as wide or as high, as the Motion-JPEG decoder scales.
    const double scale =
        std::min(double(m_requested.width) / image.cols, double(m_requested.height) / image.rows);
    if (scale < 0.75) {
        cv::Mat smaller;
        cv::resize(image, smaller, cv::Size(), scale, scale, cv::INTER_AREA);
        image = std::move(smaller);
    }
    return true;
}

void PipeWireFrameSource::close() {
    if (m_pw) {
        release(*m_pw);
    }
    disconnect(m_pw);
    m_held.reset();
    m_camera.reset();
}

void PipeWireFrameSource::release(Connection& c) {
    // Read by nobody else, the camera is suspended at once, not after the session manager's
    // idle time: its light goes out, and a program that opens the device node itself gets it.
    pw_thread_loop_lock(c.loop);
    Connection::Bound* node = c.targetNode();
    if (c.stream != nullptr && node != nullptr && c.coreError.isEmpty() && !c.targetGone &&
        !c.othersRead()) {
        pw_stream_disconnect(c.stream);
        const spa_command suspend{{sizeof(spa_command_body), SPA_TYPE_Object},
                                  {{SPA_TYPE_COMMAND_Node, SPA_NODE_COMMAND_Suspend}}};
        const int suspends = node->suspends;
        pw_node_send_command(reinterpret_cast<pw_node*>(node->proxy), &suspend);
        if (c.waitFor([&] { return node->suspends > suspends || c.targetGone; }, releaseTimeout)) {
            qCDebug(lcCamera, "PipeWire camera node %u suspended", c.target);
        } else {
            qCInfo(lcCamera, "PipeWire camera node %u not suspended within %lld ms", c.target,
                   qint64(releaseTimeout.count()));
        }
    }
    pw_thread_loop_unlock(c.loop);
}

bool PipeWireFrameSource::deviceSharedWithOthers() const {
    if (!m_pw) {
        return false;
    }
    pw_thread_loop_lock(m_pw->loop);
    const bool others = m_pw->othersRead();
    pw_thread_loop_unlock(m_pw->loop);
    return others;
}

std::optional<std::chrono::microseconds> PipeWireFrameSource::frameTaken() const {
    if (!m_held) {
        return std::nullopt;
    }
    return m_held->taken;
}

void PipeWireFrameSource::setWakeDescriptors(std::vector<int> descriptors) {
    m_wake = std::move(descriptors);
}

bool PipeWireFrameSource::throughPortal() const {
    return m_pw && m_pw->throughPortal;
}

QString PipeWireFrameSource::formatDescription() const {
    if (!m_pw) {
        return {};
    }
    std::lock_guard lock(m_pw->frameMutex);
    const Frame& f = m_pw->format;
    if (f.size.empty()) {
        return {};
    }
    const RawFormat* raw = rawFormat(f.raw);
    return QStringLiteral("%1 %2x%3")
        .arg(f.mjpg ? QStringLiteral("MJPG")
                    : QString::fromLatin1(raw != nullptr ? raw->name : "?"))
        .arg(f.size.width)
        .arg(f.size.height);
}

std::optional<std::vector<PipeWireCamera>> PipeWireFrameSource::listCameras(QString* error) {
    QString failure;
    std::unique_ptr<Connection> c = connectAndList(&failure);
    std::optional<std::vector<PipeWireCamera>> cameras;
    if (failure.isEmpty()) {
        pw_thread_loop_lock(c->loop);
        cameras = c->cameras;
        pw_thread_loop_unlock(c->loop);
    } else if (error != nullptr) {
        *error = failure;
    }
    disconnect(c);
    return cameras;
}

} // namespace quorvel
