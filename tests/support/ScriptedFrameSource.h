#pragma once

#include "camera/FrameSource.h"

#include <QMutex>
#include <QString>
#include <chrono>
#include <deque>
#include <memory>
#include <opencv2/core.hpp>
#include <thread>

namespace quorvel::test {

// A frame source that plays a script, shared with the test that writes it and with every
// source made from it. Frame number k (counted over all frames delivered from the script, with
// or without image) carries k in its one pixel.
struct FrameScript {
    enum class Step { frame, frameWithoutImage, fail, nothing };

    mutable QMutex mutex;
    std::deque<Step> steps;             // consumed by grab()
    std::deque<OpenStatus> openResults; // consumed by open(); when empty, open() succeeds
    bool endless = false;               // when the steps run out: frames for ever (else nothing)
    std::chrono::milliseconds grabDelay{0};

    int opens = 0;
    int closes = 0;
    int retrieves = 0;
    int alive = 0;     // sources not yet destroyed
    int delivered = 0; // frames delivered by all sources of this script
    bool isOpen = false;

    void add(Step step, int count = 1) {
        QMutexLocker lock(&mutex);
        steps.insert(steps.end(), static_cast<size_t>(count), step);
    }
    template <typename T> T read(T FrameScript::*field) const {
        QMutexLocker lock(&mutex);
        return this->*field;
    }
};

inline int frameNumber(const cv::Mat& image) {
    const auto pixel = image.at<cv::Vec3b>(0, 0);
    return pixel[0] + 256 * pixel[1];
}

class ScriptedFrameSource : public FrameSource {
public:
    explicit ScriptedFrameSource(std::shared_ptr<FrameScript> script) : m(std::move(script)) {
        QMutexLocker lock(&m->mutex);
        ++m->alive;
    }
    ~ScriptedFrameSource() override {
        QMutexLocker lock(&m->mutex);
        --m->alive;
    }

    OpenStatus open() override {
        QMutexLocker lock(&m->mutex);
        ++m->opens;
        const OpenStatus result =
            m->openResults.empty() ? OpenStatus::opened : m->openResults.front();
        if (!m->openResults.empty()) {
            m->openResults.pop_front();
        }
        m->isOpen = m->isOpen || result == OpenStatus::opened;
        return result;
    }

    GrabResult grab() override {
        std::this_thread::sleep_for(m->read(&FrameScript::grabDelay));
        QMutexLocker lock(&m->mutex);
        if (!m->isOpen) {
            return GrabResult::failed;
        }
        Step step = m->endless ? Step::frame : Step::nothing;
        if (!m->steps.empty()) {
            step = m->steps.front();
            m->steps.pop_front();
        }
        if (step == Step::fail) {
            return GrabResult::failed;
        }
        if (step == Step::nothing) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a camera's short wait
            return GrabResult::noFrame;
        }
        m_current = ++m->delivered;
        m_hasImage = step == Step::frame;
        return GrabResult::frame;
    }

    bool retrieve(cv::Mat& image) override {
        QMutexLocker lock(&m->mutex);
        ++m->retrieves;
        if (m_hasImage) {
            image = cv::Mat(1, 1, CV_8UC3, cv::Scalar(m_current % 256, m_current / 256, 0));
        }
        return m_hasImage;
    }

    void close() override {
        QMutexLocker lock(&m->mutex);
        m->closes += m->isOpen ? 1 : 0;
        m->isOpen = false;
    }

    QString errorDescription() const override { return QStringLiteral("Device or resource busy"); }

private:
    using Step = FrameScript::Step;
    std::shared_ptr<FrameScript> m;
    int m_current = 0;
    bool m_hasImage = false;
};

} // namespace quorvel::test
