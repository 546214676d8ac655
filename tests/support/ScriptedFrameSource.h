#pragma once

#include "camera/FrameSource.h"

#include <QMutex>
#include <memory>
#include <opencv2/core.hpp>
#include <thread>
#include <utility>

namespace quorvel::test {

// What a scripted frame source does, shared with the test that writes it.
struct FrameScript {
    mutable QMutex mutex;
    int frames = 0;          // still to deliver; after them, nothing comes
    bool refuseOpen = false; // the next open() fails ("Device or resource busy")
    int closes = 0;
    int alive = 0; // sources not yet destroyed
    bool isOpen = false;

    void addFrames(int count) {
        QMutexLocker lock(&mutex);
        frames += count;
    }
    template <typename T> T read(T FrameScript::*field) const {
        QMutexLocker lock(&mutex);
        return this->*field;
    }
};

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
        const bool refused = std::exchange(m->refuseOpen, false);
        m->isOpen = m->isOpen || !refused;
        return refused ? OpenStatus::inputFailed : OpenStatus::opened;
    }
    GrabResult grab() override {
        QMutexLocker lock(&m->mutex);
        if (!m->isOpen) {
            return GrabResult::failed;
        }
        if (m->frames == 0) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a camera's short wait
            return GrabResult::noFrame;
        }
        --m->frames;
        return GrabResult::frame;
    }
    bool retrieve(cv::Mat& image) override {
        image = cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(0)); // the pose model is scripted too
        return true;
    }
    void close() override {
        QMutexLocker lock(&m->mutex);
        m->closes += m->isOpen ? 1 : 0;
        m->isOpen = false;
    }
    QString errorDescription() const override { return QStringLiteral("Device or resource busy"); }

private:
    std::shared_ptr<FrameScript> m;
};

} // namespace quorvel::test
