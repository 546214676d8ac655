#pragma once

#include "camera/StandInCamera.h"

#include <atomic>
#include <deque>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <thread>

namespace quorvel::test {

// A UVC webcam that plays a script: what each wait for a frame brings, which calls fail.
// One camera serves every V4L2FrameSource made from it, like a device node.
class ScriptedCamera : public StandInCamera {
public:
    enum class Step {
        frame,   // a picture of `colour` in the negotiated format (real JPEG bytes for MJPG)
        corrupt, // a Motion-JPEG frame that is no JPEG
        empty,   // a buffer with zero bytes used
        eagain,  // poll wakes, but no buffer is done
        stall,   // nothing within the wait
        unplug,  // the device goes: poll reports an error, every ioctl fails with ENODEV
    };
    static inline const cv::Scalar colour{40, 120, 200};
    static constexpr unsigned long openCall = 0; // in `failures`, for open()

    explicit ScriptedCamera(
        std::vector<Format> formats = {{V4L2_PIX_FMT_MJPEG, {{640, 480}, {320, 240}}},
                                       {V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}}})
        : StandInCamera(std::move(formats)) {}

    // Filled by the test, consumed by the camera.
    std::deque<Step> steps;
    std::atomic<bool> endless = false;          // when the steps run out: frames (else stalls)
    std::multimap<unsigned long, int> failures; // ioctl request (or openCall) -> errno, once
    int goneAfterUnplug = 0;                    // opens that find no node (ENOENT) after an unplug
    // Seen by the camera.
    std::atomic<int> opens = 0;
    std::atomic<int> maxPollTimeoutMs = 0;

    void add(Step step, int count = 1) {
        QMutexLocker lock(&m_mutex);
        steps.insert(steps.end(), std::size_t(count), step);
    }

    int open(const char* path, int flags) override {
        ++opens;
        return fails(openCall) ? -1 : StandInCamera::open(path, flags);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return fails(request) ? -1 : StandInCamera::ioctl(fd, request, argument);
    }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        {
            QMutexLocker lock(&m_mutex);
            maxPollTimeoutMs = std::max(maxPollTimeoutMs.load(), timeoutMs);
            const Step step = next();
            if (m_unplugged || step == Step::eagain || step == Step::unplug) {
                if (!m_unplugged) {
                    steps.pop_front();
                }
                m_unplugged = m_unplugged || step == Step::unplug;
                fds[0].revents = short(m_unplugged ? POLLERR | POLLHUP : POLLIN);
                return 1;
            }
        }
        return StandInCamera::poll(fds, count, timeoutMs);
    }

protected:
    std::optional<QByteArray> nextFrame(const v4l2_pix_format& format,
                                        std::chrono::milliseconds) override {
        QMutexLocker lock(&m_mutex);
        const Step step = next();
        if (!steps.empty()) {
            steps.pop_front();
        }
        if (step == Step::stall) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the wait, shortened
            return std::nullopt;
        }
        if (step != Step::frame) {
            return step == Step::corrupt ? QByteArray(2000, '\x55') : QByteArray();
        }
        if (format.pixelformat == V4L2_PIX_FMT_YUYV) { // the colour: Y U Y V (BT.601)
            return QByteArray("\x84\x51\x84\xa9", 4).repeated(format.width * format.height / 2);
        }
        if (m_jpeg.isEmpty()) {
            std::vector<uchar> encoded;
            cv::imencode(".jpg", cv::Mat(int(format.height), int(format.width), CV_8UC3, colour),
                         encoded);
            m_jpeg = QByteArray(reinterpret_cast<const char*>(encoded.data()),
                                qsizetype(encoded.size()));
        }
        return m_jpeg;
    }

private:
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

    bool m_unplugged = false;
    QByteArray m_jpeg; // of the one Motion-JPEG size the tests stream
};

} // namespace quorvel::test
