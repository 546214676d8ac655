#pragma once

#include "posture/PoseEstimator.h"

#include <QCoreApplication>
#include <QStringList>
#include <array>
#include <memory>

namespace quorvel {

namespace movenet {
class Engine;
class Network;
} // namespace movenet

// Google's MoveNet SinglePose Lightning, run on oneDNN straight from its TensorFlow.js
// graph (movenet-lightning.json and its weights). It always reports exactly one body.
//
// Not thread-safe: one estimate at a time (calls are serialised by a lock).
class MoveNetEstimator final : public PoseEstimator {
public:
    static constexpr int keypointCount = 17;
    static inline const QString modelFileName = QStringLiteral("movenet-lightning.json");
    // Every load error starts with this.
    static QString loadErrorPrefix() {
        return QCoreApplication::translate("PoseModel", "Pose model could not be loaded: ");
    }

    // One keypoint in 0..1 of the frame from its top-left corner (positions and scores may
    // fall slightly outside 0..1).
    struct Keypoint {
        float y = 0.0f;
        float x = 0.0f;
        float score = 0.0f;
    };
    using Keypoints = std::array<Keypoint, keypointCount>;

    // The number format the network computes in. automatic tries bf16 where the CPU has its
    // dot products and takes it when it keeps every keypoint the posture rules read within
    // lowPrecisionTolerance of float32 on the check picture; else fp32. int8 runs only when
    // asked for. The answer cannot change while the process runs, so it is worked out at the
    // first load and remembered.
    enum class Precision { automatic, fp32, bf16, int8 };
    static constexpr float lowPrecisionTolerance = 0.002f; // in 0..1 of the frame
    // The keypoints the posture rules read: nose, ears, shoulders.
    static constexpr std::array<int, 5> postureKeypoints{0, 3, 4, 5, 6};

    // Reads the model in `modelDir` and builds the network for `threads` threads (the count
    // applies to the calling thread, which should be the one that estimates). Both files must
    // be the published ones, byte for byte (SHA-256). On failure: nullptr, and *error (if
    // given) says why, naming the file, starting with loadErrorPrefix().
    static std::unique_ptr<MoveNetEstimator> load(const QString& modelDir, QString* error,
                                                  int threads = 1,
                                                  Precision precision = Precision::automatic);
    // The same for any graph of the same form, its files unchecked (tests of the reader).
    static std::unique_ptr<MoveNetEstimator>
    loadUnchecked(const QString& modelDir, QString* error, int threads = 1,
                  Precision precision = Precision::automatic);

    // Where the model is: `chosen` (a folder the user named), when not empty; else where it
    // was installed with the program (<bindir>/../share/quorvel/models); a program that runs
    // from inside the build tree that built it falls back to that tree's copy.
    static QString defaultModelDirectory(const QString& chosen = {});

    ~MoveNetEstimator() override;

    PoseResult estimate(const cv::Mat& bgr) override;

    // The raw keypoints for one 8-bit BGR (or grey, or BGRA) image, by MoveNet's index: those
    // the posture rules read (postureKeypoints); the network computes no others, and they
    // stay at zero. Throws std::exception when the image is unusable or the engine fails.
    Keypoints keypoints(const cv::Mat& bgr);

    // The body the detector sees: nose 0, left ear 3, right ear 4, left shoulder 5, right
    // shoulder 6, y flipped to grow upward; the neck is the shoulders' midpoint with the
    // lower of their scores. A keypoint outside the frame has no point.
    static PoseObservation observationFromKeypoints(const Keypoints& keypoints);

    // The oneDNN kernels in use; none should be a slow reference ("ref") one.
    QStringList implementations() const;
    std::size_t workspaceBytes() const;
    int threads() const;
    // fp32, bf16 or int8: the one running.
    Precision precision() const;
    static QString precisionName(Precision precision);
    // Why it runs: the CPU's instruction set and, for each lower precision tried, its largest
    // keypoint difference on the check picture.
    QString precisionReason() const;

private:
    MoveNetEstimator();
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quorvel
