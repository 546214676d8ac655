#pragma once

#include "posture/movenet/MoveNetGraph.h"

#include <array>
#include <vector>

// MoveNet SinglePose as read from its TensorFlow.js graph: the convolutional network as a
// list of layers over NHWC tensors, the input normalisation, and the CenterNet decode that
// turns the four output heads into keypoints.
namespace quorvel::movenet {

// A keypoint in 0..1 of the network's square input, from the top-left; score 0..1.
struct Keypoint {
    float y = 0.0f;
    float x = 0.0f;
    float score = 0.0f;
};

struct TensorShape { // batch 1, NHWC
    int h = 0;
    int w = 0;
    int c = 0;
    qint64 elements() const { return qint64(h) * w * c; }
    bool operator==(const TensorShape&) const = default;
};

enum class Activation { none, relu, relu6 };

struct Layer {
    enum class Kind { conv, depthwiseConv, add, resizeBilinear };
    Kind kind = Kind::conv;
    QString name;
    std::vector<int> inputs; // tensor ids
    int output = -1;         // tensor id

    // Convolutions. Filters keep TensorFlow's layout: [kh][kw][in][out] for conv,
    // [kh][kw][channels][multiplier] for depthwise.
    QString filter;
    QString bias; // empty: none
    int kernelH = 1, kernelW = 1;
    int strideH = 1, strideW = 1;
    int padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
    Activation activation = Activation::none;
};

// One elementwise step the graph applies to the image before the first convolution.
struct NormalisationStep {
    enum class Op { subtract, multiply, add, divide };
    Op op = Op::subtract;
    std::array<float, 3> value{}; // per channel (R, G, B)
};

class Network {
public:
    // Interprets the graph; throws ModelError for anything that is not this network.
    static Network fromGraph(Graph graph);

    const Graph& graph() const { return m_graph; }
    int inputSize() const { return m_inputSize; }
    const std::vector<NormalisationStep>& normalisation() const { return m_normalisation; }
    const std::vector<TensorShape>& tensors() const { return m_tensors; } // 0 = the input
    const std::vector<Layer>& layers() const { return m_layers; }         // in a valid order
    int keypointCount() const { return m_keypoints; }

    // The output heads, as tensor ids.
    int heatmapTensor() const { return m_heatmap; }
    int centerTensor() const { return m_center; }
    int regressTensor() const { return m_regress; }
    int offsetTensor() const { return m_offset; }

    // Computes only `keypoints` (ascending indices): the heads' last convolutions keep just
    // their channels. Nothing else changes, so these keypoints come out exactly as before,
    // for less work; decode leaves the others at zero. Throws ModelError when a head is not
    // made by a plain convolution of its own.
    void keepOnly(const std::vector<int>& keypoints);
    const std::vector<int>& keptKeypoints() const { return m_kept; }

    // Frees the weights once they have been copied into the engine.
    void releaseGraph() { m_graph = Graph(); }

    // The CenterNet decode on the four heads (NHWC, densely packed): keypointCount() of them,
    // those not kept at zero.
    std::vector<Keypoint> decode(const float* heatmap, const float* center, const float* regress,
                                 const float* offset) const;

private:
    Graph m_graph;
    int m_inputSize = 0;
    std::vector<NormalisationStep> m_normalisation;
    std::vector<TensorShape> m_tensors;
    std::vector<Layer> m_layers;
    int m_heatmap = -1, m_center = -1, m_regress = -1, m_offset = -1;
    int m_keypoints = 0;
    std::vector<int> m_kept; // the keypoints the heads compute, in their channel order
    int m_gridH = 0, m_gridW = 0;
    // Decode constants, read from the weights.
    std::vector<float> m_prior, m_gridY, m_gridX;
    std::array<float, 2> m_scale{};
    float m_distanceBias = 0.0f;
};

} // namespace quorvel::movenet
