#include "camera/V4L2FrameSource.h"

#include "camera/CameraLog.h"
#include "camera/DeviceUse.h"
#include "camera/JpegCheck.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>

namespace quorvel {

namespace {

// Lower is better; nothing for formats left alone.
std::optional<int> formatRank(quint32 pixelFormat) {
    static constexpr quint32 preferred[] = {
        V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV,  V4L2_PIX_FMT_JPEG,
        V4L2_PIX_FMT_UYVY,  V4L2_PIX_FMT_NV12,  V4L2_PIX_FMT_YUV420,
        V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_GREY,
    };
    const auto found = std::find(std::begin(preferred), std::end(preferred), pixelFormat);
    if (found == std::end(preferred)) {
        return std::nullopt;
    }
    return static_cast<int>(found - std::begin(preferred));
}

bool isJpeg(quint32 pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

// One plane of a raw frame: `rows` rows of `rowBytes` picture bytes, each `stride` bytes apart.
struct Plane {
    quint64 rowBytes = 0;
    quint64 rows = 0;
    quint64 stride = 0;
};

// The planes of a raw frame laid out as `pix` says (a `bytesperline` of 0 meaning no padding);
// empty for compressed formats and for layouts that cannot hold the picture.
std::vector<Plane> rawPlanes(const v4l2_pix_format& pix) {
    const quint64 width = pix.width;
    const quint64 height = pix.height;
    quint64 rowBytes = 0;
    switch (pix.pixelformat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
        rowBytes = width * 2;
        break;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
        rowBytes = width * 3;
        break;
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420:
        rowBytes = width;
        break;
    default:
        return {};
    }
    const quint64 stride = pix.bytesperline != 0 ? pix.bytesperline : rowBytes;
    const bool halved =
        pix.pixelformat == V4L2_PIX_FMT_NV12 || pix.pixelformat == V4L2_PIX_FMT_YUV420;
    if (width == 0 || height == 0 || stride < rowBytes ||
        (halved && (width % 2 != 0 || height % 2 != 0 || stride % 2 != 0))) {
        return {};
    }
    std::vector<Plane> planes{{rowBytes, height, stride}};
    if (pix.pixelformat == V4L2_PIX_FMT_NV12) {
        planes.push_back({width, height / 2, stride}); // interleaved U and V
    } else if (pix.pixelformat == V4L2_PIX_FMT_YUV420) {
        planes.push_back({width / 2, height / 2, stride / 2}); // U
        planes.push_back({width / 2, height / 2, stride / 2}); // V
    }
    return planes;
}

// Bytes from the frame's start to the end of the last picture byte.
quint64 bytesNeeded(const std::vector<Plane>& planes) {
    quint64 total = 0;
    for (std::size_t i = 0; i < planes.size(); ++i) {
        const Plane& p = planes[i];
        total += i + 1 < planes.size() ? p.rows * p.stride : (p.rows - 1) * p.stride + p.rowBytes;
    }
    return total;
}

bool padded(const std::vector<Plane>& planes) {
    return std::any_of(planes.begin(), planes.end(),
                       [](const Plane& p) { return p.stride != p.rowBytes; });
}

// A whole JPEG image: its start marker, and its end marker before any zero padding.
bool isWholeJpeg(const unsigned char* data, quint64 size) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) {
        return false;
    }
    while (size > 4 && data[size - 1] == 0x00) {
        --size;
    }
    return data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}

QString fourcc(quint32 pixelFormat) {
    return QString::fromLatin1(reinterpret_cast<const char*>(&pixelFormat), 4);
}

// libv4lconvert asks the device through the same calls as the capture.
int convertIoctl(void* calls, int fd, unsigned long request, void* argument) {
    return static_cast<VideoDeviceCalls*>(calls)->ioctl(fd, request, argument);
}

const libv4l_dev_ops convertOps = {
    nullptr, nullptr, convertIoctl, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr,      nullptr, nullptr, nullptr,
};

} // namespace

bool V4L2FrameSource::isReadableFormat(quint32 pixelFormat) {
    return formatRank(pixelFormat).has_value();
}

bool V4L2FrameSource::isRawSensorFormat(const v4l2_fmtdesc& format) {
    // The kernel names every Bayer format so ("8-bit Bayer BGBG/GRGR", "10-bit Bayer GBGB/RGRG
    // Packed", "10-bit bayer GRBG IPU3 Packed").
    const auto* text = reinterpret_cast<const char*>(format.description);
    return QByteArray(text, qstrnlen(text, sizeof format.description)).toLower().contains("bayer");
}

V4L2FrameSource::V4L2FrameSource(QString devicePath, std::shared_ptr<VideoDeviceCalls> calls,
                                 cv::Size requestedSize)
    : m_path(std::move(devicePath)), m_calls(std::move(calls)), m_requested(requestedSize) {}

V4L2FrameSource::~V4L2FrameSource() {
    close();
}

void V4L2FrameSource::setWakeDescriptors(std::vector<int> descriptors) {
    m_wake = std::move(descriptors);
    m_wake.erase(std::remove(m_wake.begin(), m_wake.end(), -1), m_wake.end());
}

OpenStatus V4L2FrameSource::failed(OpenStatus status, int error) {
    close();
    const bool described = status == OpenStatus::inputFailed || status == OpenStatus::busy ||
                           status == OpenStatus::failedForNow || status == OpenStatus::unplugged;
    m_error = described ? systemErrorDescription(error) : QString();
    m_gone = status == OpenStatus::unplugged;
    return status;
}

namespace {

// Errors of a device that is there and may well work a moment later: a transfer that failed or
// timed out, a call interrupted.
bool mayPass(int error) {
    return error == EIO || error == EINTR || error == EAGAIN || error == ETIMEDOUT ||
           error == EPROTO || error == EPIPE;
}

bool isGone(int error) {
    return error == ENODEV || error == ENXIO;
}

// Failures of the device rather than refusals of what was asked.
bool isDeviceFailure(int error) {
    return error == EBUSY || isGone(error) || mayPass(error);
}

} // namespace

OpenStatus V4L2FrameSource::deviceFailure(int error) {
    if (error == EBUSY) {
        return failed(OpenStatus::busy, error);
    }
    if (isGone(error)) {
        return failed(OpenStatus::unplugged, error);
    }
    return failed(mayPass(error) ? OpenStatus::failedForNow : OpenStatus::inputFailed, error);
}

GrabResult V4L2FrameSource::grabFailure(int error, bool gone) {
    m_error = systemErrorDescription(error);
    m_gone = gone || isGone(error);
    return GrabResult::failed;
}

std::optional<bool> V4L2FrameSource::openElsewhereByDriver() {
    // The driver counts its open handles by priority, over every process of every user. With
    // ours lowered to the least one, the highest in use is another's, if there is another.
    // (A handle at a higher priority than the default makes the lowering itself busy.)
    v4l2_priority ours = V4L2_PRIORITY_BACKGROUND;
    if (m_calls->ioctl(m_fd, VIDIOC_S_PRIORITY, &ours) == -1) {
        return errno == EBUSY ? std::optional(true) : std::nullopt;
    }
    v4l2_priority highest = V4L2_PRIORITY_UNSET;
    if (m_calls->ioctl(m_fd, VIDIOC_G_PRIORITY, &highest) == -1) {
        return std::nullopt;
    }
    return highest > V4L2_PRIORITY_BACKGROUND;
}

bool V4L2FrameSource::heldByAnotherProgram() {
    // Another program's open that came while ours was under way may be lost to the node's
    // watch (the kernel merges it with our own open, not yet read), so the holders are looked
    // for: the driver's count where it keeps one, else /proc, which shows the user's own
    // programs, and the watch's word for an open it saw and /proc cannot show.
    if (m_path.isEmpty()) {
        return false;
    }
    const std::optional<bool> byDriver = openElsewhereByDriver();
    const char* witness = nullptr;
    if (byDriver) {
        witness = *byDriver ? "the driver counts another handle" : nullptr;
    } else if (deviceOpenInAnyProcess(m_path, m_processes, {qint64(::getpid())})) {
        witness = "another process holds it";
    } else if (m_openedElsewhere) {
        witness = "opened by a program whose close has not been seen";
    }
    if (witness == nullptr) {
        return false;
    }
    qCInfo(lcCamera, "%s is open elsewhere (%s): giving way", qUtf8Printable(m_path), witness);
    return true;
}

OpenStatus V4L2FrameSource::open() {
    close();
    m_error.clear();
    m_gone = false;
    OwnDeviceUse::willOpen(m_path);
    m_fd = m_calls->open(m_path.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
    const int error = errno;
    OwnDeviceUse::done(m_path);
    if (m_fd < 0) {
        OwnDeviceUse::openFailed(m_path);
        return deviceFailure(error);
    }
    v4l2_capability capability{};
    if (m_calls->ioctl(m_fd, VIDIOC_QUERYCAP, &capability) == -1) {
        return deviceFailure(errno);
    }
    const quint32 caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                             ? capability.device_caps
                             : capability.capabilities;
    m_mediaController = (caps & V4L2_CAP_IO_MC) != 0;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) {
        return failed(OpenStatus::inputRejected);
    }
    // Before the format is set, which makes the camera ours to stream from.
    if (heldByAnotherProgram()) {
        return failed(OpenStatus::busy, EBUSY);
    }
    if (const OpenStatus status = negotiateFormat(); status != OpenStatus::opened) {
        return status;
    }
    if (const OpenStatus status = setFrameRate(); status != OpenStatus::opened) {
        return status;
    }
    m_convert = v4lconvert_create_with_dev_ops(m_fd, m_calls.get(), &convertOps);
    if (m_convert == nullptr) {
        return failed(OpenStatus::inputFailed, ENOMEM);
    }
    if (const OpenStatus status = startStreaming(); status != OpenStatus::opened) {
        return status;
    }
    const v4l2_pix_format& pix = m_format.fmt.pix;
    qCInfo(lcCamera, "%s opened: %s %ux%u, bytes per line %u, frame interval %u/%u s",
           qUtf8Printable(m_path), qUtf8Printable(fourcc(pix.pixelformat)), pix.width, pix.height,
           pix.bytesperline, m_interval.numerator, m_interval.denominator);
    return OpenStatus::opened;
}

OpenStatus V4L2FrameSource::negotiateFormat() {
    std::vector<quint32> candidates;
    QStringList offered;
    bool rawSensor = false;
    for (quint32 index = 0; index < 64; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (m_calls->ioctl(m_fd, VIDIOC_ENUM_FMT, &format) == -1) {
            if (errno != EINVAL) {
                return deviceFailure(errno);
            }
            break;
        }
        rawSensor = rawSensor || isRawSensorFormat(format);
        if ((format.flags & V4L2_FMT_FLAG_EMULATED) == 0) {
            offered.append(fourcc(format.pixelformat).trimmed());
        }
        if ((format.flags & V4L2_FMT_FLAG_EMULATED) == 0 && isReadableFormat(format.pixelformat)) {
            candidates.push_back(format.pixelformat);
        }
    }
    if (candidates.empty()) {
        if (rawSensor || m_mediaController) {
            return failed(OpenStatus::needsLibcamera);
        }
        failed(OpenStatus::inputRejected);
        m_error = offered.isEmpty()
                      ? QCoreApplication::translate("Camera", "it offers no picture format")
                      : QCoreApplication::translate("Camera",
                                                    "it offers only %1, which Quorvel cannot read")
                            .arg(offered.join(QStringLiteral(", ")));
        return OpenStatus::inputRejected;
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](quint32 a, quint32 b) { return *formatRank(a) < *formatRank(b); });
    // The best format the driver sizes its frames right for.
    for (const quint32 candidate : candidates) {
        int error = 0;
        if (trySetFormat(candidate, error)) {
            return OpenStatus::opened;
        }
        if (isDeviceFailure(error)) {
            return deviceFailure(error);
        }
    }
    return failed(OpenStatus::outputRejected);
}

bool V4L2FrameSource::trySetFormat(quint32 pixelFormat, int& error) {
    // Sizes the driver lists; a stepwise range is asked for the requested size and left to
    // the driver to round.
    const auto wanted = [this](quint32 w, quint32 h) {
        return w >= quint32(m_requested.width) && h >= quint32(m_requested.height);
    };
    quint32 width = quint32(m_requested.width);
    quint32 height = quint32(m_requested.height);
    bool found = false;
    for (quint32 index = 0; index < 256; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (m_calls->ioctl(m_fd, VIDIOC_ENUM_FRAMESIZES, &size) == -1 ||
            size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
            break;
        }
        const quint32 w = size.discrete.width;
        const quint32 h = size.discrete.height;
        const bool isWanted = wanted(w, h);
        const bool better =
            !found || (isWanted != wanted(width, height)
                           ? isWanted
                           : (isWanted ? w * h < width * height : w * h > width * height));
        if (better) {
            width = w;
            height = h;
            found = true;
        }
    }

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    format.fmt.pix.pixelformat = pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (m_calls->ioctl(m_fd, VIDIOC_S_FMT, &format) == -1) {
        error = errno;
        return false;
    }
    const v4l2_pix_format& pix = format.fmt.pix;
    if (!isReadableFormat(pix.pixelformat) || pix.width == 0 || pix.height == 0) {
        return false;
    }
    // libv4lconvert reads as many bytes as the format needs, whatever the buffer holds: a
    // driver that sizes its buffers for less would have it read past their end.
    if (!isJpeg(pix.pixelformat)) {
        const std::vector<Plane> planes = rawPlanes(pix);
        if (planes.empty() || pix.sizeimage < bytesNeeded(planes)) {
            qCWarning(lcCamera, "%s: %s %ux%u passed over: %u bytes per line, %u per frame",
                      qUtf8Printable(m_path), qUtf8Printable(fourcc(pix.pixelformat)), pix.width,
                      pix.height, pix.bytesperline, pix.sizeimage);
            return false;
        }
    }
    m_format = format;
    return true;
}

OpenStatus V4L2FrameSource::setFrameRate() {
    // Only a camera that takes a frame interval is asked; the others keep their own pace.
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_calls->ioctl(m_fd, VIDIOC_G_PARM, &parameters) == -1 ||
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) == 0) {
        return OpenStatus::opened;
    }
    // Of the rates listed for this format and size, the slowest one at least framesPerSecond,
    // else the fastest one below it (as with the frame size); a range, or no list, is asked
    // for framesPerSecond itself, for the driver to round.
    v4l2_fract chosen{1, framesPerSecond};
    double chosenFps = 0;
    for (quint32 index = 0; index < 64; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = m_format.fmt.pix.pixelformat;
        interval.width = m_format.fmt.pix.width;
        interval.height = m_format.fmt.pix.height;
        if (m_calls->ioctl(m_fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == -1 ||
            interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
            break;
        }
        const v4l2_fract& f = interval.discrete;
        if (f.numerator == 0 || f.denominator == 0) {
            continue;
        }
        const double fps = double(f.denominator) / double(f.numerator);
        const bool enough = fps >= framesPerSecond;
        const bool better = chosenFps == 0 || (enough != (chosenFps >= framesPerSecond)
                                                   ? enough
                                                   : (enough ? fps < chosenFps : fps > chosenFps));
        if (better) {
            chosen = f;
            chosenFps = fps;
        }
    }
    parameters = {};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe = chosen;
    if (m_calls->ioctl(m_fd, VIDIOC_S_PARM, &parameters) == -1) {
        // A camera that refuses keeps its own pace; one that another program streams from is busy.
        return isDeviceFailure(errno) ? deviceFailure(errno) : OpenStatus::opened;
    }
    m_interval = parameters.parm.capture.timeperframe;
    return OpenStatus::opened;
}

OpenStatus V4L2FrameSource::startStreaming() {
    v4l2_requestbuffers request{};
    request.count = bufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (m_calls->ioctl(m_fd, VIDIOC_REQBUFS, &request) == -1) {
        return deviceFailure(errno);
    }
    if (request.count == 0) {
        return failed(OpenStatus::inputFailed, ENOMEM);
    }
    const std::vector<Plane> planes = rawPlanes(m_format.fmt.pix);
    for (quint32 index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (m_calls->ioctl(m_fd, VIDIOC_QUERYBUF, &buffer) == -1) {
            return deviceFailure(errno);
        }
        if (buffer.length == 0 || (!planes.empty() && buffer.length < bytesNeeded(planes))) {
            return failed(OpenStatus::outputRejected); // buffers too small for a frame
        }
        void* start =
            m_calls->mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buffer.m.offset);
        if (start == MAP_FAILED) {
            return deviceFailure(errno);
        }
        m_buffers.push_back({start, buffer.length});
        if (!queue(index)) {
            return deviceFailure(errno);
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_calls->ioctl(m_fd, VIDIOC_STREAMON, &type) == -1) {
        // A node of a pipeline that nobody set up (libcamera's job) refuses to stream.
        const int error = errno;
        return m_mediaController && (error == EPIPE || error == ENOLINK)
                   ? failed(OpenStatus::needsLibcamera)
                   : deviceFailure(error);
    }
    m_streaming = true;
    return OpenStatus::opened;
}

bool V4L2FrameSource::queue(quint32 index) {
    v4l2_buffer buffer{};
    buffer.index = index;
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    return m_calls->ioctl(m_fd, VIDIOC_QBUF, &buffer) == 0;
}

GrabResult V4L2FrameSource::grab() {
    if (!m_streaming) {
        return GrabResult::failed;
    }
    if (m_held >= 0) {
        const int held = std::exchange(m_held, -1);
        if (!queue(quint32(held))) {
            return grabFailure(errno);
        }
    }
    std::vector<pollfd> waits{{m_fd, POLLIN, 0}};
    for (const int fd : m_wake) {
        waits.push_back({fd, POLLIN, 0});
    }
    const int ready = m_calls->poll(waits.data(), nfds_t(waits.size()), pollTimeoutMs);
    if (ready == -1) {
        return errno == EINTR ? GrabResult::noFrame : grabFailure(errno);
    }
    if (ready == 0) {
        return GrabResult::noFrame;
    }
    if (std::any_of(waits.begin() + 1, waits.end(),
                    [](const pollfd& w) { return w.revents != 0; })) {
        return GrabResult::woken;
    }
    if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return grabFailure(ENODEV, true); // unplugged, or the stream broke
    }
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (m_calls->ioctl(m_fd, VIDIOC_DQBUF, &buffer) == -1) {
        // EAGAIN: woken without a frame; EIO: a frame lost on the wire.
        return errno == EAGAIN || errno == EIO ? emptyWake() : grabFailure(errno);
    }
    m_emptyWakes = 0;
    if (buffer.index >= m_buffers.size()) {
        return grabFailure(EIO);
    }
    m_held = int(buffer.index);
    const auto taken = std::chrono::seconds(buffer.timestamp.tv_sec) +
                       std::chrono::microseconds(buffer.timestamp.tv_usec);
    m_taken = taken.count() > 0 ? std::optional(taken) : std::nullopt;
    // A buffer the driver marks as damaged, or one that carries no bytes, is a frame that
    // cannot be read: counted and skipped like one, so that a camera sending only those is
    // said to send unreadable pictures, not taken for one that sends nothing.
    const bool usable = (buffer.flags & V4L2_BUF_FLAG_ERROR) == 0;
    m_heldBytes =
        usable ? std::min<quint32>(buffer.bytesused, quint32(m_buffers[buffer.index].length)) : 0;
    return GrabResult::frame;
}

GrabResult V4L2FrameSource::emptyWake() {
    // Polled again at once, such a driver would keep the thread spinning: wait a little,
    // longer each time, and give up on the device after a few.
    if (++m_emptyWakes >= maxEmptyWakes) {
        m_emptyWakes = 0;
        return grabFailure(EIO);
    }
    const int backoff = std::min(emptyWakeBackoffMs << (m_emptyWakes - 1), pollTimeoutMs);
    std::vector<pollfd> waits;
    for (const int fd : m_wake) {
        waits.push_back({fd, POLLIN, 0});
    }
    const int woken = m_calls->poll(waits.data(), nfds_t(waits.size()), backoff);
    return woken > 0 ? GrabResult::woken : GrabResult::noFrame;
}

bool V4L2FrameSource::retrieve(cv::Mat& image) {
    if (m_held < 0 || m_convert == nullptr || m_heldBytes == 0) {
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(m_buffers[m_held].start);
    quint64 size = m_heldBytes;
    v4l2_format source = m_format;
    const v4l2_pix_format& pix = m_format.fmt.pix;
    if (isJpeg(pix.pixelformat)) {
        if (!isWholeJpeg(bytes, size) || !jpegDecodesWhole(bytes, std::size_t(size))) {
            return false; // cut short or damaged: decoded, its missing rows would come out grey
        }
    } else {
        const std::vector<Plane> planes = rawPlanes(pix);
        if (size < bytesNeeded(planes)) {
            return false; // a short frame: converting it would read past its end
        }
        if (padded(planes)) {
            // libv4lconvert takes most raw formats as packed rows; pack them.
            m_packed.resize(std::size_t(size));
            unsigned char* to = m_packed.data();
            for (const Plane& plane : planes) {
                for (quint64 row = 0; row < plane.rows; ++row) {
                    std::memcpy(to, bytes + row * plane.stride, plane.rowBytes);
                    to += plane.rowBytes;
                }
                bytes += plane.rows * plane.stride;
            }
            size = quint64(to - m_packed.data());
            bytes = m_packed.data();
            source.fmt.pix.bytesperline = quint32(planes.front().rowBytes);
            source.fmt.pix.sizeimage = quint32(size);
        }
    }
    cv::Mat bgr(int(pix.height), int(pix.width), CV_8UC3);
    v4l2_format target = m_format;
    target.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    target.fmt.pix.bytesperline = pix.width * 3;
    target.fmt.pix.sizeimage = pix.width * pix.height * 3;
    const int written =
        v4lconvert_convert(m_convert, &source, &target, const_cast<unsigned char*>(bytes),
                           int(size), bgr.data, int(target.fmt.pix.sizeimage));
    if (written != int(target.fmt.pix.sizeimage)) {
        return false; // a damaged frame
    }
    image = bgr;
    return true;
}

void V4L2FrameSource::close() {
    if (m_fd < 0) {
        return;
    }
    if (m_streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        m_calls->ioctl(m_fd, VIDIOC_STREAMOFF, &type);
    }
    for (const Buffer& buffer : m_buffers) {
        m_calls->munmap(buffer.start, buffer.length);
    }
    if (!m_buffers.empty()) {
        v4l2_requestbuffers release{};
        release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        release.memory = V4L2_MEMORY_MMAP;
        m_calls->ioctl(m_fd, VIDIOC_REQBUFS, &release);
    }
    if (m_convert != nullptr) {
        v4lconvert_destroy(m_convert);
    }
    OwnDeviceUse::willClose(m_path);
    m_calls->close(m_fd);
    OwnDeviceUse::done(m_path);
    m_fd = -1;
    m_streaming = false;
    m_mediaController = false;
    m_emptyWakes = 0;
    m_buffers.clear();
    m_format = {};
    m_interval = {};
    m_convert = nullptr;
    m_held = -1;
}

cv::Size V4L2FrameSource::frameSize() const {
    return {int(m_format.fmt.pix.width), int(m_format.fmt.pix.height)};
}

quint32 V4L2FrameSource::pixelFormat() const {
    return m_format.fmt.pix.pixelformat;
}

} // namespace quorvel
