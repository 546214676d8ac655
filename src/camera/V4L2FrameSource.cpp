#include "camera/V4L2FrameSource.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <optional>
#include <sys/mman.h>

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

// libv4lconvert asks the device through the same calls as the capture.
int convertIoctl(void* calls, int fd, unsigned long request, void* argument) {
    return static_cast<VideoDeviceCalls*>(calls)->ioctl(fd, request, argument);
}

const libv4l_dev_ops convertOps = {
    nullptr, nullptr, convertIoctl, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr,      nullptr, nullptr, nullptr,
};

} // namespace

V4L2FrameSource::V4L2FrameSource(QString devicePath, std::shared_ptr<VideoDeviceCalls> calls,
                                 cv::Size requestedSize)
    : m_path(std::move(devicePath)), m_calls(std::move(calls)), m_requested(requestedSize) {}

V4L2FrameSource::~V4L2FrameSource() {
    close();
}

OpenStatus V4L2FrameSource::failed(OpenStatus status, int error) {
    close();
    m_error = status == OpenStatus::inputFailed ? systemErrorDescription(error) : QString();
    return status;
}

OpenStatus V4L2FrameSource::open() {
    close();
    m_error.clear();
    m_fd = m_calls->open(m_path.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
    if (m_fd < 0) {
        return failed(OpenStatus::inputFailed, errno);
    }
    v4l2_capability capability{};
    if (m_calls->ioctl(m_fd, VIDIOC_QUERYCAP, &capability) == -1) {
        return failed(OpenStatus::inputFailed, errno);
    }
    const quint32 caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                             ? capability.device_caps
                             : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) {
        return failed(OpenStatus::inputRejected);
    }
    if (const OpenStatus status = negotiateFormat(); status != OpenStatus::opened) {
        return status;
    }
    m_convert = v4lconvert_create_with_dev_ops(m_fd, m_calls.get(), &convertOps);
    if (m_convert == nullptr) {
        return failed(OpenStatus::inputFailed, ENOMEM);
    }
    return startStreaming();
}

OpenStatus V4L2FrameSource::negotiateFormat() {
    quint32 chosen = 0;
    for (quint32 index = 0; index < 64; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (m_calls->ioctl(m_fd, VIDIOC_ENUM_FMT, &format) == -1) {
            if (errno != EINVAL) {
                return failed(OpenStatus::inputFailed, errno);
            }
            break;
        }
        const auto rank = formatRank(format.pixelformat);
        if ((format.flags & V4L2_FMT_FLAG_EMULATED) == 0 && rank &&
            (chosen == 0 || *rank < *formatRank(chosen))) {
            chosen = format.pixelformat;
        }
    }
    if (chosen == 0) {
        return failed(OpenStatus::inputRejected);
    }

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
        size.pixel_format = chosen;
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
    format.fmt.pix.pixelformat = chosen;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (m_calls->ioctl(m_fd, VIDIOC_S_FMT, &format) == -1) {
        return errno == EBUSY || errno == ENODEV ? failed(OpenStatus::inputFailed, errno)
                                                 : failed(OpenStatus::outputRejected);
    }
    if (!formatRank(format.fmt.pix.pixelformat) || format.fmt.pix.width == 0 ||
        format.fmt.pix.height == 0) {
        return failed(OpenStatus::outputRejected);
    }
    m_format = format;
    return OpenStatus::opened;
}

OpenStatus V4L2FrameSource::startStreaming() {
    v4l2_requestbuffers request{};
    request.count = bufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (m_calls->ioctl(m_fd, VIDIOC_REQBUFS, &request) == -1) {
        return failed(OpenStatus::inputFailed, errno);
    }
    if (request.count == 0) {
        return failed(OpenStatus::inputFailed, ENOMEM);
    }
    for (quint32 index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (m_calls->ioctl(m_fd, VIDIOC_QUERYBUF, &buffer) == -1) {
            return failed(OpenStatus::inputFailed, errno);
        }
        void* start =
            m_calls->mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buffer.m.offset);
        if (start == MAP_FAILED) {
            return failed(OpenStatus::inputFailed, errno);
        }
        m_buffers.push_back({start, buffer.length});
        if (!queue(index)) {
            return failed(OpenStatus::inputFailed, errno);
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_calls->ioctl(m_fd, VIDIOC_STREAMON, &type) == -1) {
        return failed(OpenStatus::inputFailed, errno);
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
            return GrabResult::failed;
        }
    }
    pollfd wait{m_fd, POLLIN, 0};
    const int ready = m_calls->poll(&wait, 1, pollTimeoutMs);
    if (ready == -1) {
        return errno == EINTR ? GrabResult::noFrame : GrabResult::failed;
    }
    if (ready == 0) {
        return GrabResult::noFrame;
    }
    if ((wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return GrabResult::failed; // unplugged, or the stream broke
    }
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (m_calls->ioctl(m_fd, VIDIOC_DQBUF, &buffer) == -1) {
        // EAGAIN: woken without a frame; EIO: a frame lost on the wire.
        return errno == EAGAIN || errno == EIO ? GrabResult::noFrame : GrabResult::failed;
    }
    if (buffer.index >= m_buffers.size()) {
        return GrabResult::failed;
    }
    if (buffer.bytesused == 0 || (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0) {
        // A buffer that carries no frame is no frame.
        return queue(buffer.index) ? GrabResult::noFrame : GrabResult::failed;
    }
    m_held = int(buffer.index);
    m_heldBytes = std::min<quint32>(buffer.bytesused, quint32(m_buffers[buffer.index].length));
    return GrabResult::frame;
}

bool V4L2FrameSource::retrieve(cv::Mat& image) {
    if (m_held < 0 || m_convert == nullptr) {
        return false;
    }
    const v4l2_pix_format& source = m_format.fmt.pix;
    cv::Mat bgr(int(source.height), int(source.width), CV_8UC3);
    v4l2_format target = m_format;
    target.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    target.fmt.pix.bytesperline = source.width * 3;
    target.fmt.pix.sizeimage = source.width * source.height * 3;
    const int written = v4lconvert_convert(
        m_convert, &m_format, &target, static_cast<unsigned char*>(m_buffers[m_held].start),
        int(m_heldBytes), bgr.data, int(target.fmt.pix.sizeimage));
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
    m_calls->close(m_fd);
    m_fd = -1;
    m_streaming = false;
    m_buffers.clear();
    m_format = {};
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
