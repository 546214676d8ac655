#pragma once

#include "camera/StandInCamera.h"

#include <atomic>
#include <deque>
#include <fcntl.h>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quorvel::test {

// Odd answers of a camera's driver.
struct DriverQuirks {
    quint32 halfSizeimage = 0; // S_FMT of this format answers half the frame's size
    quint32 shortBuffers = 0;  // buffers of this format are mapped shorter than sizeimage
    quint32 rowPadding = 0;    // raw rows padded with this many bytes
    quint32 caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING; // what QUERYCAP says
    QByteArray driver = "uvcvideo";
};

// A UVC webcam that plays a script: what each wait for a frame brings, which calls fail, and
// the odd answers of some drivers. One camera serves every V4L2FrameSource made from it, like
// a device node. Its buffers end against an unreadable page (StandInCamera), so a reader that
// takes more bytes than a buffer holds crashes the test.
class ScriptedCamera : public StandInCamera {
public:
    enum class Step {
        frame,     // a picture of `colour` in the negotiated format (real JPEG bytes for MJPG)
        corrupt,   // a Motion-JPEG frame that is no JPEG
        truncated, // a frame cut short: 60 % of it, no error flag (a JPEG without its end)
        truncatedWithEnd, // cut short the same, with an end-of-image marker put back after it
        greyJpeg,         // a one-channel JPEG
        largeJpeg,        // a JPEG twice the negotiated size
        empty,            // a buffer with zero bytes used
        eagain,           // poll wakes, but no buffer is done
        stall,            // nothing within the wait
        unplug,           // the device goes: poll reports an error, every ioctl fails with ENODEV
    };
    using Quirks = DriverQuirks;
    static inline const cv::Scalar colour{40, 120, 200};
    // The colour in BT.601 limited range, as a webcam sends it.
    static constexpr unsigned char y = 0x84, u = 0x51, v = 0xa9;
    static constexpr unsigned long openCall = 0; // in `failures`, for open()

    explicit ScriptedCamera(
        std::vector<Format> formats = {{V4L2_PIX_FMT_MJPEG, {{640, 480}, {320, 240}}},
                                       {V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}}},
        Quirks quirks = {})
        : StandInCamera(std::move(formats)), m_quirks(std::move(quirks)) {
        m_rowPadding = m_quirks.rowPadding;
    }

    // Filled by the test, consumed by the camera.
    std::deque<Step> steps;
    std::atomic<bool> endless = false;          // when the steps run out: frames (else stalls)
    std::multimap<unsigned long, int> failures; // ioctl request (or openCall) -> errno, once
    int goneAfterUnplug = 0;                    // opens that find no node (ENOENT) after an unplug
    // Seen by the camera.
    std::atomic<int> opens = 0;
    std::atomic<int> streamStarts = 0;
    // Other programs' handles on the device, as a driver with V4L2 priorities counts them
    // (any user's); -1: a driver that keeps no such count (S_PRIORITY is not known to it).
    std::atomic<int> otherHandles = -1;
    // Each open and close of the camera opens and closes its node (a file) too, as a device's
    // does, so that a watch of the node sees them.
    bool opensItsNode = false;
    std::atomic<int> maxPollTimeoutMs = 0;
    std::atomic<int> waitsWithoutFrame = 0; // polls that only wait (a back-off), not waited out

    static QByteArray jpeg(const cv::Mat& picture) {
        std::vector<uchar> encoded;
        cv::imencode(".jpg", picture, encoded);
        return QByteArray(reinterpret_cast<const char*>(encoded.data()), qsizetype(encoded.size()));
    }

    void add(Step step, int count = 1) {
        QMutexLocker lock(&m_mutex);
        steps.insert(steps.end(), std::size_t(count), step);
    }

    int open(const char* path, int flags) override {
        ++opens;
        const int fd = fails(openCall) ? -1 : StandInCamera::open(path, flags);
        if (fd >= 0 && opensItsNode) {
            m_nodeFd = ::open(path, O_RDONLY | O_CLOEXEC);
        }
        return fd;
    }
    int close(int fd) override {
        if (m_nodeFd >= 0) {
            ::close(std::exchange(m_nodeFd, -1));
        }
        return StandInCamera::close(fd);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        if (fails(request)) {
            return -1;
        }
        if ((request == VIDIOC_S_PRIORITY || request == VIDIOC_G_PRIORITY) &&
            otherHandles.load() >= 0) {
            auto& priority = *static_cast<v4l2_priority*>(argument);
            if (request == VIDIOC_S_PRIORITY) {
                m_priority = priority;
            } else {
                priority = otherHandles.load() > 0 ? V4L2_PRIORITY_DEFAULT : m_priority.load();
            }
            return 0;
        }
        const int result = StandInCamera::ioctl(fd, request, argument);
        if (result == 0 && request == VIDIOC_STREAMON) {
            ++streamStarts;
        }
        if (result != 0) {
            return result;
        }
        QMutexLocker lock(&m_mutex);
        if (request == VIDIOC_QUERYCAP) {
            auto& cap = *static_cast<v4l2_capability*>(argument);
            cap.device_caps = m_quirks.caps;
            cap.capabilities = m_quirks.caps | V4L2_CAP_DEVICE_CAPS;
            qstrncpy(reinterpret_cast<char*>(cap.driver), m_quirks.driver.constData(),
                     sizeof cap.driver);
        } else if (request == VIDIOC_ENUM_FMT) {
            auto& desc = *static_cast<v4l2_fmtdesc*>(argument);
            if (desc.pixelformat == V4L2_PIX_FMT_SGRBG10) {
                qstrncpy(reinterpret_cast<char*>(desc.description), "10-bit Bayer GRGR/BGBG",
                         sizeof desc.description);
            }
        } else if (request == VIDIOC_S_FMT && m_format.pixelformat == m_quirks.halfSizeimage) {
            m_format.sizeimage /= 2;
            static_cast<v4l2_format*>(argument)->fmt.pix.sizeimage = m_format.sizeimage;
        }
        return 0;
    }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        const bool withDevice = std::any_of(fds, fds + count, [this](const pollfd& p) {
            QMutexLocker lock(&m_mutex);
            return m_open && (p.fd == deviceFd);
        });
        if (!withDevice) {
            // A back-off between two reads: counted, not waited out.
            waitsWithoutFrame += 1;
            for (nfds_t i = 0; i < count; ++i) {
                fds[i].revents = 0;
            }
            return 0;
        }
        {
            QMutexLocker lock(&m_mutex);
            maxPollTimeoutMs = std::max(maxPollTimeoutMs.load(), timeoutMs);
            const Step step = next();
            if (m_unplugged || step == Step::eagain || step == Step::unplug) {
                if (!m_unplugged) {
                    steps.pop_front();
                }
                m_unplugged = m_unplugged || step == Step::unplug;
                for (nfds_t i = 0; i < count; ++i) {
                    fds[i].revents = short(fds[i].fd != deviceFd ? 0
                                           : m_unplugged         ? POLLERR | POLLHUP
                                                                 : POLLIN);
                }
                return 1;
            }
        }
        return StandInCamera::poll(fds, count, timeoutMs);
    }

protected:
    quint32 bufferBytes(const v4l2_pix_format& format) const override {
        return format.pixelformat == m_quirks.shortBuffers ? format.sizeimage * 3 / 4
                                                           : format.sizeimage;
    }

    std::optional<QByteArray> nextFrame(const v4l2_pix_format& format,
                                        std::chrono::milliseconds) override {
        QMutexLocker lock(&m_mutex);
        const Step step = next();
        if (!steps.empty()) {
            steps.pop_front();
        }
        switch (step) {
        case Step::stall:
            lock.unlock();
            idle(std::chrono::milliseconds(1)); // the wait, shortened
            return std::nullopt;
        case Step::empty:
            return QByteArray();
        case Step::corrupt:
            return QByteArray(2000, '\x55');
        case Step::greyJpeg:
            return jpeg(cv::Mat(int(format.height), int(format.width), CV_8UC1, cv::Scalar(y)));
        case Step::largeJpeg:
            return jpeg(cv::Mat(int(format.height) * 2, int(format.width) * 2, CV_8UC3, colour));
        default:
            break;
        }
        if (format.pixelformat == V4L2_PIX_FMT_MJPEG &&
            m_jpegSize != cv::Size(int(format.width), int(format.height))) {
            m_jpegSize = cv::Size(int(format.width), int(format.height));
            m_jpeg = jpeg(cv::Mat(m_jpegSize, CV_8UC3, colour));
        }
        QByteArray frame = format.pixelformat == V4L2_PIX_FMT_MJPEG ? m_jpeg : raw(format);
        if (step == Step::truncated || step == Step::truncatedWithEnd) {
            frame.truncate(frame.size() * 6 / 10);
        }
        if (step == Step::truncatedWithEnd) {
            frame.append("\xff\xd9", 2);
        }
        return frame;
    }

private:
    std::atomic<v4l2_priority> m_priority = V4L2_PRIORITY_DEFAULT;
    int m_nodeFd = -1;
    // A frame of the colour in a raw format, each row padded with zeros to bytesperline.
    static QByteArray raw(const v4l2_pix_format& format) {
        const int w = int(format.width);
        const int h = int(format.height);
        const int stride = int(format.bytesperline);
        QByteArray frame;
        const auto rows = [&](const QByteArray& row, int count, int rowStride) {
            for (int i = 0; i < count; ++i) {
                frame += row + QByteArray(rowStride - int(row.size()), '\0');
            }
        };
        const auto repeat = [](std::initializer_list<unsigned char> unit, int times) {
            return QByteArray(reinterpret_cast<const char*>(std::data(unit)),
                              qsizetype(unit.size()))
                .repeated(times);
        };
        switch (format.pixelformat) {
        case V4L2_PIX_FMT_YUYV:
            rows(repeat({y, u, y, v}, w / 2), h, stride);
            break;
        case V4L2_PIX_FMT_NV12:
            rows(repeat({y}, w), h, stride);
            rows(repeat({u, v}, w / 2), h / 2, stride);
            break;
        case V4L2_PIX_FMT_YUV420:
            rows(repeat({y}, w), h, stride);
            rows(repeat({u}, w / 2), h / 2, stride / 2);
            rows(repeat({v}, w / 2), h / 2, stride / 2);
            break;
        case V4L2_PIX_FMT_GREY:
            rows(repeat({y}, w), h, stride);
            break;
        case V4L2_PIX_FMT_RGB24:
            rows(repeat({200, 120, 40}, w), h, stride);
            break;
        case V4L2_PIX_FMT_BGR24:
            rows(repeat({40, 120, 200}, w), h, stride);
            break;
        default:
            break;
        }
        return frame;
    }

    Step next() const {
        return steps.empty() ? (endless ? Step::frame : Step::stall) : steps.front();
    }
    bool fails(unsigned long call) {
        QMutexLocker lock(&m_mutex);
        if (call == openCall && m_unplugged && goneAfterUnplug > 0) {
            --goneAfterUnplug;
            errno = ENOENT;
            return true;
        }
        if (call == openCall) {
            m_unplugged = false; // plugged in again
        }
        const auto failure = failures.lower_bound(call); // the first one given
        if (m_unplugged || (failure != failures.end() && failure->first == call)) {
            errno = m_unplugged ? ENODEV : failure->second;
            if (!m_unplugged) {
                failures.erase(failure);
            }
            return true;
        }
        return false;
    }

    const Quirks m_quirks;
    bool m_unplugged = false;
    QByteArray m_jpeg; // of the size last streamed
    cv::Size m_jpegSize;
};

} // namespace quorvel::test
