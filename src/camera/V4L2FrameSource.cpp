#include "camera/V4L2FrameSource.h"

#include "camera/CameraDevices.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr int notCaptureDevice = -1;

} // namespace

V4L2FrameSource::V4L2FrameSource(QString devicePath, cv::Size requestedSize)
    : m_path(std::move(devicePath)), m_requested(requestedSize) {}

int V4L2FrameSource::probeDevice(const QString& devicePath) {
    const int fd = ::open(devicePath.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int result = 0;
    v4l2_capability capability{};
    if (retryingIoctl(fd, VIDIOC_QUERYCAP, &capability) == -1) {
        result = errno;
    } else {
        const quint32 caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                 ? capability.device_caps
                                 : capability.capabilities;
        if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) {
            result = notCaptureDevice;
        } else {
            // Asking to free our (non-existent) buffers is refused with EBUSY while another
            // program owns the capture queue; otherwise it changes nothing.
            v4l2_requestbuffers request{};
            request.count = 0;
            request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            request.memory = V4L2_MEMORY_MMAP;
            if (retryingIoctl(fd, VIDIOC_REQBUFS, &request) == -1 && errno == EBUSY) {
                result = EBUSY;
            }
        }
    }
    ::close(fd);
    return result;
}

OpenStatus V4L2FrameSource::open() {
    close();
    m_error.clear();
    const auto failedFromProbe = [this](int problem) {
        if (problem == notCaptureDevice) {
            return OpenStatus::inputRejected;
        }
        m_error = systemErrorDescription(problem);
        return OpenStatus::inputFailed;
    };

    if (const int problem = probeDevice(m_path); problem != 0) {
        return failedFromProbe(problem);
    }
    try {
        m_capture.open(m_path.toStdString(), cv::CAP_V4L2);
    } catch (const cv::Exception&) {
        m_capture.release();
    }
    if (!m_capture.isOpened()) {
        // Something changed since the probe (another program took the camera), or OpenCV
        // found no frame format it can decode.
        const int problem = probeDevice(m_path);
        return problem != 0 ? failedFromProbe(problem) : OpenStatus::inputRejected;
    }
    bool sized = false;
    try {
        sized = m_capture.set(cv::CAP_PROP_FRAME_WIDTH, m_requested.width) &&
                m_capture.set(cv::CAP_PROP_FRAME_HEIGHT, m_requested.height);
    } catch (const cv::Exception&) {
        sized = false;
    }
    if (!sized || !m_capture.isOpened()) {
        close();
        return OpenStatus::outputRejected;
    }
    return OpenStatus::opened;
}

GrabResult V4L2FrameSource::grab() {
    try {
        return m_capture.grab() ? GrabResult::frame : GrabResult::failed;
    } catch (const cv::Exception&) {
        return GrabResult::failed;
    }
}

bool V4L2FrameSource::retrieve(cv::Mat& image) {
    try {
        return m_capture.retrieve(image) && convertToBgr8(image);
    } catch (const cv::Exception&) {
        return false;
    }
}

void V4L2FrameSource::close() {
    m_capture.release();
}

cv::Size V4L2FrameSource::frameSize() const {
    if (!m_capture.isOpened()) {
        return {};
    }
    return {static_cast<int>(m_capture.get(cv::CAP_PROP_FRAME_WIDTH)),
            static_cast<int>(m_capture.get(cv::CAP_PROP_FRAME_HEIGHT))};
}

} // namespace quorvel
