#include "posture/movenet/MoveNetNetwork.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>

namespace quorvel::movenet {

namespace {

// ---------------------------------------------------------------------------------------
// The decode at the end of the graph, as the structure it must have. We run it in C++, so
// a graph whose tail differs in any way is refused rather than decoded wrongly.
//
// Inputs: "name" or "name:1" is another pattern node; "@role" is a network output (a head);
// "#role" is a float constant we read; "=values" is an int constant with exactly these values
// (G = grid width, K = keypoint count; "iota" = 0..K-1, "pairs" = 0,0,1,1,..., "zerosK").
struct PatternNode {
    const char* id;
    const char* op;
    std::vector<const char*> inputs;
    const char* attrs = ""; // "key=value;..." integer attributes
};

const std::vector<PatternNode>& decodePattern() {
    static const std::vector<PatternNode> pattern{
        {"out", "Identity", {"concat_1"}},
        {"concat_1", "ConcatV2", {"mul_2", "ExpandDims_8", "=3"}},
        // keypoint position: ((ky, kx) + offset) * scale
        {"mul_2", "Mul", {"ExpandDims_4", "#scale"}},
        {"ExpandDims_4", "ExpandDims", {"stack_5", "=0"}},
        {"stack_5", "Pack", {"add_6", "add_7"}, "axis=2"},
        {"add_6", "AddV2", {"Cast_6", "ExpandDims_2"}},
        {"add_7", "AddV2", {"Cast_7", "ExpandDims_3"}},
        {"ExpandDims_2", "ExpandDims", {"unstack_2", "=0"}},
        {"ExpandDims_3", "ExpandDims", {"unstack_2:1", "=0"}},
        {"unstack_2", "Unpack", {"GatherNd_2"}, "axis=1;num=2"},
        {"GatherNd_2", "GatherNd", {"Reshape_11", "=pairs"}},
        {"Reshape_11", "Reshape", {"GatherNd_1", "=K,K,-1"}},
        {"GatherNd_1", "GatherNd", {"@offset", "stack_3"}},
        {"stack_3", "Pack", {"=zerosK", "Reshape_9", "Reshape_10"}, "axis=1"},
        {"Reshape_9", "Reshape", {"floordiv_1", "=-1"}},
        {"Reshape_10", "Reshape", {"sub_7", "=-1"}},
        {"Cast_6", "Cast", {"floordiv_1"}},
        {"Cast_7", "Cast", {"sub_7"}},
        // keypoint cell (ky, kx): argmax of sigmoid(heatmap) / (distance to the regressed
        // position + bias)
        {"floordiv_1", "FloorDiv", {"ArgMax_1", "=G"}},
        {"sub_7", "Sub", {"ArgMax_1", "mul_1"}},
        {"mul_1", "Mul", {"floordiv_1", "=G"}},
        {"ArgMax_1", "ArgMax", {"Reshape_7", "=1"}},
        {"Reshape_7", "Reshape", {"truediv_3", "=1,-1,K"}},
        {"truediv_3", "RealDiv", {"Sigmoid", "add_5"}},
        {"Sigmoid", "Sigmoid", {"@heatmap"}},
        {"add_5", "AddV2", {"Sqrt_1", "#distanceBias"}},
        {"Sqrt_1", "Sqrt", {"add_4"}},
        {"add_4", "AddV2", {"sub_5", "sub_6"}},
        {"sub_5", "SquaredDifference", {"#gridY", "add_2"}},
        {"sub_6", "SquaredDifference", {"#gridX", "add_3"}},
        // regressed position: centre cell + regression at the centre
        {"add_2", "AddV2", {"Cast_4", "unstack_1"}},
        {"add_3", "AddV2", {"Cast_5", "unstack_1:1"}},
        {"unstack_1", "Unpack", {"Reshape_6"}, "axis=1;num=2"},
        {"Reshape_6", "Reshape", {"GatherNd", "=K,-1"}},
        {"GatherNd", "GatherNd", {"@regress", "stack_2"}},
        {"stack_2", "Pack", {"=0", "Reshape_4", "Reshape_5"}, "axis=1"},
        {"Reshape_4", "Reshape", {"floordiv", "=-1"}},
        {"Reshape_5", "Reshape", {"sub_4", "=-1"}},
        {"Cast_4", "Cast", {"floordiv"}},
        {"Cast_5", "Cast", {"sub_4"}},
        // centre cell (cy, cx): argmax of sigmoid(centre) * prior
        {"floordiv", "FloorDiv", {"ArgMax", "=G"}},
        {"sub_4", "Sub", {"ArgMax", "mul"}},
        {"mul", "Mul", {"floordiv", "=G"}},
        {"ArgMax", "ArgMax", {"Reshape_2", "=1"}},
        {"Reshape_2", "Reshape", {"truediv_2", "=1,-1,1"}},
        {"truediv_2", "Mul", {"Sigmoid_1", "#prior"}},
        {"Sigmoid_1", "Sigmoid", {"@center"}},
        // score: sigmoid(heatmap) at (ky, kx)
        {"ExpandDims_8", "ExpandDims", {"ExpandDims_7", "=-1"}},
        {"ExpandDims_7", "ExpandDims", {"ExpandDims_6", "=0"}},
        {"ExpandDims_6", "ExpandDims", {"GatherNd_3", "=0"}},
        {"GatherNd_3", "GatherNd", {"Sigmoid", "concat"}},
        {"concat", "ConcatV2", {"stack_3", "=iota", "=1"}},
    };
    return pattern;
}

ModelError decodeMismatch(const QString& detail) {
    return ModelError(
        QStringLiteral("the graph does not end in the MoveNet SinglePose decode (%1)").arg(detail));
}

class DecodeMatcher {
public:
    explicit DecodeMatcher(const Graph& graph) : m_graph(graph) {
        for (const PatternNode& p : decodePattern()) {
            m_pattern.insert(QString::fromLatin1(p.id), &p);
        }
    }

    void match(const QString& id, const NodeInput& ref) {
        const PatternNode& p = *m_pattern.value(id);
        if (m_bound.contains(id)) {
            if (m_bound.value(id) != ref.node) {
                throw decodeMismatch(QStringLiteral("%1 is not shared as expected").arg(ref.node));
            }
            return;
        }
        const GraphNode& n = m_graph.requireNode(ref.node);
        if (n.op != QLatin1String(p.op) || n.inputs.size() != p.inputs.size()) {
            throw decodeMismatch(
                QStringLiteral("node %1 is %2 with %3 inputs where %4 with %5 was expected")
                    .arg(n.name, n.op)
                    .arg(n.inputs.size())
                    .arg(QLatin1String(p.op))
                    .arg(p.inputs.size()));
        }
        for (const QString& pair : QString::fromLatin1(p.attrs).split(';', Qt::SkipEmptyParts)) {
            const QStringList kv = pair.split('=');
            if (n.intAttr(kv[0]) != kv[1].toLongLong()) {
                throw decodeMismatch(QStringLiteral("node %1 has %2 = %3, expected %4")
                                         .arg(n.name, kv[0])
                                         .arg(n.intAttr(kv[0]))
                                         .arg(kv[1]));
            }
        }
        m_bound.insert(id, n.name);
        m_decodeNodes.insert(n.name);
        for (std::size_t i = 0; i < p.inputs.size(); ++i) {
            const QString want = QString::fromLatin1(p.inputs[i]);
            const NodeInput& in = n.inputs[i];
            if (want.startsWith('@')) {
                if (m_graph.isConst(in.node) || in.output != 0) {
                    throw decodeMismatch(
                        QStringLiteral("%1 should read a network output").arg(n.name));
                }
                if (m_roles.contains(want) && m_roles.value(want) != in.node) {
                    throw decodeMismatch(
                        QStringLiteral("%1 reads two different tensors").arg(want));
                }
                m_roles.insert(want, in.node);
            } else if (want.startsWith('#') || want.startsWith('=')) {
                if (!m_graph.isConst(in.node)) {
                    throw decodeMismatch(
                        QStringLiteral("input %1 of %2 should be a constant").arg(i).arg(n.name));
                }
                m_decodeNodes.insert(in.node);
                if (want.startsWith('#')) {
                    if (m_roles.contains(want) && m_roles.value(want) != in.node) {
                        throw decodeMismatch(
                            QStringLiteral("%1 is two different constants").arg(want));
                    }
                    m_roles.insert(want, in.node);
                } else {
                    m_intChecks.push_back({in.node, want.mid(1)});
                }
            } else {
                const NodeInput wantRef = parseNodeInput(want);
                if (in.output != wantRef.output) {
                    throw decodeMismatch(
                        QStringLiteral("%1 reads the wrong output of %2").arg(n.name, in.node));
                }
                match(wantRef.node, in);
            }
        }
    }

    // The int constants, once the grid width and keypoint count are known.
    void checkIntConstants(int gridWidth, int keypoints) const {
        for (const auto& [node, values] : m_intChecks) {
            std::vector<qint64> expected;
            if (values == "iota" || values == "pairs" || values == "zerosK") {
                for (int k = 0; k < keypoints; ++k) {
                    expected.push_back(values == "zerosK" ? 0 : k);
                    if (values == "pairs") {
                        expected.push_back(k);
                    }
                }
            } else {
                for (const QString& token : values.split(',')) {
                    expected.push_back(token == "G"   ? gridWidth
                                       : token == "K" ? keypoints
                                                      : token.toLongLong());
                }
            }
            const ConstTensor& t = m_graph.constant(node);
            const bool same = t.isInt && t.ints.size() == expected.size() &&
                              std::equal(t.ints.begin(), t.ints.end(), expected.begin());
            if (!same) {
                throw decodeMismatch(QStringLiteral("constant %1 is not %2").arg(node, values));
            }
        }
    }

    QString role(const char* name) const { return m_roles.value(QString::fromLatin1(name)); }
    const QSet<QString>& decodeNodes() const { return m_decodeNodes; }

private:
    const Graph& m_graph;
    QHash<QString, const PatternNode*> m_pattern;
    QHash<QString, QString> m_bound; // pattern id -> graph node
    QHash<QString, QString> m_roles; // "@head" / "#constant" -> graph node
    QSet<QString> m_decodeNodes;
    std::vector<std::pair<QString, QString>> m_intChecks;
};

// ---------------------------------------------------------------------------------------
// The network part.

ModelError unsupported(const GraphNode& n, const QString& why) {
    return ModelError(QStringLiteral("node %1 (%2): %3").arg(n.name, n.op, why));
}

// The side of the model's one input, a square RGB image; the model has one output too.
int squareInputSize(const Graph& g) {
    if (g.inputs().size() != 1 || g.outputs().size() != 1) {
        throw ModelError(QStringLiteral("the model should have one input and one output"));
    }
    const GraphSignatureTensor& input = g.inputs().front();
    if (input.shape.size() != 4 || input.shape[0] != 1 || input.shape[3] != 3 ||
        input.shape[1] != input.shape[2] || input.shape[1] < 32 || input.shape[1] > 1024) {
        throw ModelError(QStringLiteral("the model's input should be one square RGB image"));
    }
    return static_cast<int>(input.shape[1]);
}

// Every node the heads depend on. The graph may hold nothing else but constants and the
// decode, and the heads may not depend on the decode.
QSet<QString> networkNodes(const Graph& g, const QStringList& heads,
                           const QSet<QString>& decodeNodes) {
    QSet<QString> needed;
    QStringList stack = heads;
    while (!stack.isEmpty()) {
        const QString name = stack.takeLast();
        if (needed.contains(name) || g.isConst(name)) {
            continue;
        }
        if (decodeNodes.contains(name)) {
            throw decodeMismatch(QStringLiteral("the heads depend on the decode"));
        }
        needed.insert(name);
        for (const NodeInput& in : g.requireNode(name).inputs) {
            stack.append(in.node);
        }
    }
    for (const GraphNode& n : g.nodes()) {
        if (n.op != "Const" && !needed.contains(n.name) && !decodeNodes.contains(n.name)) {
            throw decodeMismatch(
                QStringLiteral("node %1 (%2) is not part of it").arg(n.name, n.op));
        }
    }
    return needed;
}

// The `needed` nodes in an order that respects the dependencies and otherwise keeps the
// file's order (which is how the graph was meant to run).
std::vector<const GraphNode*> runOrder(const Graph& g, const QSet<QString>& needed) {
    std::vector<const GraphNode*> order;
    QSet<QString> done;
    while (static_cast<qsizetype>(order.size()) < needed.size()) {
        bool progressed = false;
        for (const GraphNode& n : g.nodes()) {
            if (!needed.contains(n.name) || done.contains(n.name)) {
                continue;
            }
            const bool ready =
                std::all_of(n.inputs.begin(), n.inputs.end(), [&](const NodeInput& in) {
                    return g.isConst(in.node) || done.contains(in.node);
                });
            if (ready) {
                order.push_back(&n);
                done.insert(n.name);
                progressed = true;
                break;
            }
        }
        if (!progressed) {
            throw ModelError(QStringLiteral("the graph has a cycle"));
        }
    }
    return order;
}

// What a graph node's output is while we walk the network: still the input image (with the
// normalisation steps applied so far), or a network tensor.
struct Value {
    bool isImage = false;
    int rank = 4;
    std::vector<NormalisationStep> steps;
    int tensor = -1;
};

// TensorFlow's SAME padding: the output is ceil(in / stride), and an odd total padding
// puts the extra row or column after (stride 2: 0 before, 1 after).
void samePadding(int in, int kernel, int stride, int& out, int& before, int& after) {
    out = (in + stride - 1) / stride;
    const int total = std::max((out - 1) * stride + kernel - in, 0);
    before = total / 2;
    after = total - before;
}

std::array<float, 3> perChannel(const GraphNode& n, const ConstTensor& t) {
    if (t.isInt || !(t.elementCount() == 1 || t.elementCount() == 3) ||
        (t.elementCount() == 3 && t.shape.back() != 3)) {
        throw unsupported(
            n, QStringLiteral("only a scalar or per-channel constant can be applied to the image"));
    }
    if (t.elementCount() == 1) {
        return {t.floats[0], t.floats[0], t.floats[0]};
    }
    return {t.floats[0], t.floats[1], t.floats[2]};
}

void checkConvAttrs(const GraphNode& n) {
    if (n.hasAttr("data_format") && n.stringAttr("data_format") != "NHWC") {
        throw unsupported(n, QStringLiteral("only NHWC data is supported"));
    }
    if (n.hasAttr("dilations")) {
        for (qint64 d : n.intListAttr("dilations")) {
            if (d != 1) {
                throw unsupported(n, QStringLiteral("dilated convolutions are not supported"));
            }
        }
    }
}

// A convolution's strides and padding, and the height and width of its output.
void readWindow(const GraphNode& n, const TensorShape& in, Layer& l, TensorShape& out) {
    const std::vector<qint64> strides = n.intListAttr("strides");
    if (strides.size() != 4 || strides[0] != 1 || strides[3] != 1 || strides[1] < 1 ||
        strides[2] < 1) {
        throw unsupported(n, QStringLiteral("unsupported strides"));
    }
    l.strideH = static_cast<int>(strides[1]);
    l.strideW = static_cast<int>(strides[2]);
    const QString padding = n.stringAttr("padding");
    if (padding == "SAME") {
        samePadding(in.h, l.kernelH, l.strideH, out.h, l.padTop, l.padBottom);
        samePadding(in.w, l.kernelW, l.strideW, out.w, l.padLeft, l.padRight);
    } else if (padding == "VALID") {
        out.h = (in.h - l.kernelH) / l.strideH + 1;
        out.w = (in.w - l.kernelW) / l.strideW + 1;
    } else {
        throw unsupported(n, QStringLiteral("padding %1").arg(padding));
    }
    if (out.h < 1 || out.w < 1) {
        throw unsupported(n, QStringLiteral("its output would be empty"));
    }
}

// Walks the network's nodes in run order and turns them into tensors and layers. Until a
// layer reads it, the input image only collects the normalisation steps applied to it.
class LayerBuilder {
public:
    LayerBuilder(const Graph& graph, const QString& inputNode, int inputSize)
        : m_graph(graph), m_inputNode(inputNode) {
        addTensor({inputSize, inputSize, 3});
    }

    void add(const GraphNode& n) {
        const QString& op = n.op;
        if (op == "Placeholder") {
            if (n.name != m_inputNode) {
                throw unsupported(n, QStringLiteral("an input that is not the model's"));
            }
            m_values.insert(n.name, Value{true, 4, {}, -1});
        } else if (op == "Cast" || op == "Unpack" || op == "ExpandDims" || op == "Squeeze" ||
                   op == "Identity") {
            addImageBookkeeping(n);
        } else if ((op == "Sub" || op == "Mul" || op == "AddV2" || op == "RealDiv") &&
                   n.inputs.size() == 2 && m_graph.isConst(n.inputs[1].node)) {
            addNormalisationStep(n);
        } else if (op == "_FusedConv2D" || op == "Conv2D" || op == "FusedDepthwiseConv2dNative" ||
                   op == "DepthwiseConv2dNative") {
            addConvolution(n);
        } else if (op == "AddV2") {
            addSum(n);
        } else if (op == "ResizeBilinear") {
            addResize(n);
        } else {
            throw unsupported(n, QStringLiteral("this operation is not supported"));
        }
    }

    // The tensor a head names; a head that is still the input image is not one.
    int headTensor(const QString& name) const {
        const Value v = m_values.value(name);
        if (v.isImage) {
            throw decodeMismatch(QStringLiteral("a head is the input image"));
        }
        return v.tensor;
    }

    const std::vector<NormalisationStep>& normalisation() const { return m_normalisation; }
    const std::vector<TensorShape>& tensors() const { return m_tensors; }
    std::vector<Layer>& layers() { return m_layers; }

private:
    // Type and batch-dimension bookkeeping on the image.
    void addImageBookkeeping(const GraphNode& n) {
        const QString& op = n.op;
        Value v = valueOf(n, 0);
        if (!v.isImage) {
            throw unsupported(n, QStringLiteral("only supported on the input image"));
        }
        if (op == "Cast" && n.typeAttr("DstT") != "DT_FLOAT") {
            throw unsupported(n, QStringLiteral("the image must become float"));
        }
        if (op == "Unpack" && (n.intAttr("axis") != 0 || n.intAttr("num") != 1 || v.rank != 4)) {
            throw unsupported(n, QStringLiteral("only the batch dimension can be unpacked"));
        }
        if (op == "Squeeze" &&
            (n.intListAttr("squeeze_dims") != std::vector<qint64>{0} || v.rank != 4)) {
            throw unsupported(n, QStringLiteral("only the batch dimension can be squeezed"));
        }
        if (op == "ExpandDims") {
            const ConstTensor& dim = constInput(n, 1);
            if (!dim.isInt || dim.ints.size() != 1 || dim.ints[0] != 0 || v.rank != 3) {
                throw unsupported(n, QStringLiteral("only a batch dimension can be added"));
            }
        }
        v.rank = op == "Unpack" || op == "Squeeze" ? 3 : op == "ExpandDims" ? 4 : v.rank;
        m_values.insert(n.name, v);
    }

    // A constant subtracted from, multiplied with, added to or divided into the image.
    void addNormalisationStep(const GraphNode& n) {
        Value v = valueOf(n, 0);
        if (!v.isImage) {
            throw unsupported(n, QStringLiteral("constants are only applied to the input image"));
        }
        const auto kind = n.op == "Sub"     ? NormalisationStep::Op::subtract
                          : n.op == "Mul"   ? NormalisationStep::Op::multiply
                          : n.op == "AddV2" ? NormalisationStep::Op::add
                                            : NormalisationStep::Op::divide;
        v.steps.push_back({kind, perChannel(n, constInput(n, 1))});
        m_values.insert(n.name, v);
    }

    void addConvolution(const GraphNode& n) {
        checkConvAttrs(n);
        const bool depthwise = n.op.contains("Depthwise");
        const int in = tensorOf(n, 0);
        const TensorShape s = m_tensors[static_cast<std::size_t>(in)];
        const ConstTensor& filter = constInput(n, 1);
        if (filter.isInt || filter.shape.size() != 4 || filter.shape[2] != s.c) {
            throw unsupported(n, QStringLiteral("its filter does not fit its input"));
        }
        Layer l;
        l.kind = depthwise ? Layer::Kind::depthwiseConv : Layer::Kind::conv;
        l.inputs = {in};
        l.filter = n.inputs[1].node;
        l.kernelH = static_cast<int>(filter.shape[0]);
        l.kernelW = static_cast<int>(filter.shape[1]);
        const int outC =
            static_cast<int>(depthwise ? filter.shape[2] * filter.shape[3] : filter.shape[3]);
        readFusedOps(n, outC, l);
        TensorShape o{0, 0, outC};
        readWindow(n, s, l, o);
        addLayer(n, std::move(l), o);
    }

    // The bias and the activation that a fused convolution applies to its `outC` channels.
    void readFusedOps(const GraphNode& n, int outC, Layer& l) const {
        QStringList fused = n.hasAttr("fused_ops") ? n.stringListAttr("fused_ops") : QStringList();
        if (n.op.startsWith("Fused") || n.op.startsWith("_Fused")) {
            if (fused.value(0) != "BiasAdd" || n.inputs.size() != 3) {
                throw unsupported(n,
                                  QStringLiteral("only a bias add and an activation can be fused"));
            }
            const ConstTensor& bias = constInput(n, 2);
            if (bias.isInt || bias.elementCount() != outC) {
                throw unsupported(n, QStringLiteral("its bias does not fit its output"));
            }
            l.bias = n.inputs[2].node;
            fused.removeFirst();
        } else if (n.inputs.size() != 2) {
            throw unsupported(n, QStringLiteral("unexpected inputs"));
        }
        if (fused.size() > 1 || (fused.size() == 1 && fused[0] != "Relu" && fused[0] != "Relu6")) {
            throw unsupported(n, QStringLiteral("fused operations %1").arg(fused.join(", ")));
        }
        l.activation = fused.isEmpty()      ? Activation::none
                       : fused[0] == "Relu" ? Activation::relu
                                            : Activation::relu6;
    }

    void addSum(const GraphNode& n) {
        Layer l;
        l.kind = Layer::Kind::add;
        l.inputs = {tensorOf(n, 0), tensorOf(n, 1)};
        const TensorShape s = m_tensors[static_cast<std::size_t>(l.inputs[0])];
        if (!(s == m_tensors[static_cast<std::size_t>(l.inputs[1])])) {
            throw unsupported(n, QStringLiteral("only tensors of the same shape can be added"));
        }
        addLayer(n, std::move(l), s);
    }

    void addResize(const GraphNode& n) {
        if (n.boolAttr("align_corners", false) || !n.boolAttr("half_pixel_centers", false)) {
            throw unsupported(
                n, QStringLiteral("only half-pixel centres without aligned corners are supported"));
        }
        const ConstTensor& size = constInput(n, 1);
        if (!size.isInt || size.ints.size() != 2 || size.ints[0] < 1 || size.ints[1] < 1) {
            throw unsupported(n, QStringLiteral("bad output size"));
        }
        Layer l;
        l.kind = Layer::Kind::resizeBilinear;
        l.inputs = {tensorOf(n, 0)};
        const TensorShape s = m_tensors[static_cast<std::size_t>(l.inputs[0])];
        addLayer(n, std::move(l), {size.ints[0], size.ints[1], s.c});
    }

    void addLayer(const GraphNode& n, Layer l, TensorShape output) {
        l.name = n.name;
        l.output = addTensor(output);
        m_values.insert(n.name, Value{false, 4, {}, l.output});
        m_layers.push_back(std::move(l));
    }

    int addTensor(TensorShape s) {
        m_tensors.push_back(s);
        return static_cast<int>(m_tensors.size()) - 1;
    }

    const Value& valueOf(const GraphNode& n, std::size_t i) const {
        const NodeInput& in = n.inputs.at(i);
        const auto found = m_values.constFind(in.node);
        if (in.output != 0 || found == m_values.constEnd()) {
            throw unsupported(
                n, QStringLiteral("input %1 is not a tensor this engine knows").arg(in.node));
        }
        return *found;
    }

    // The network tensor a layer reads; the first layer to read the image fixes the
    // normalisation.
    int tensorOf(const GraphNode& n, std::size_t i) {
        const Value& v = valueOf(n, i);
        if (!v.isImage) {
            return v.tensor;
        }
        if (v.rank != 4) {
            throw unsupported(n,
                              QStringLiteral("the image reaches it without its batch dimension"));
        }
        if (m_inputUsed) {
            const auto& a = m_normalisation;
            const bool same =
                a.size() == v.steps.size() &&
                std::equal(a.begin(), a.end(), v.steps.begin(), [](const auto& x, const auto& y) {
                    return x.op == y.op && x.value == y.value;
                });
            if (!same) {
                throw unsupported(n,
                                  QStringLiteral("the image is normalised in two different ways"));
            }
        }
        m_inputUsed = true;
        m_normalisation = v.steps;
        return 0;
    }

    const ConstTensor& constInput(const GraphNode& n, std::size_t i) const {
        if (i >= n.inputs.size() || !m_graph.isConst(n.inputs[i].node)) {
            throw unsupported(n, QStringLiteral("input %1 should be a constant").arg(i));
        }
        return m_graph.constant(n.inputs[i].node);
    }

    const Graph& m_graph;
    const QString m_inputNode;
    QHash<QString, Value> m_values;
    bool m_inputUsed = false;
    std::vector<NormalisationStep> m_normalisation;
    std::vector<TensorShape> m_tensors; // 0 = the input
    std::vector<Layer> m_layers;
};

// The constants the decode reads, for a heat map of `grid` cells.
struct DecodeConstants {
    std::vector<float> prior, gridY, gridX;
    std::array<float, 2> scale{};
    float distanceBias = 0.0f;
};

DecodeConstants readDecodeConstants(const Graph& g, const DecodeMatcher& matcher,
                                    const TensorShape& grid) {
    const auto floatConstant = [&](const char* role, std::vector<qint64> shape) {
        const ConstTensor& t = g.constant(matcher.role(role));
        if (t.isInt || t.shape != shape) {
            throw decodeMismatch(
                QStringLiteral("constant %1 has the wrong shape").arg(matcher.role(role)));
        }
        return t.floats;
    };
    DecodeConstants c;
    const std::vector<qint64> gridShape{grid.h, grid.w, 1};
    c.prior = floatConstant("#prior", gridShape);
    c.gridY = floatConstant("#gridY", gridShape);
    c.gridX = floatConstant("#gridX", gridShape);
    const std::vector<float> scale = floatConstant("#scale", {1, 1, 1, 2});
    c.scale = {scale[0], scale[1]};
    const ConstTensor& bias = g.constant(matcher.role("#distanceBias"));
    if (bias.isInt || bias.elementCount() != 1) {
        throw decodeMismatch(QStringLiteral("the distance bias is not one number"));
    }
    c.distanceBias = bias.floats[0];
    return c;
}

} // namespace

Network Network::fromGraph(Graph graph) {
    Network net;
    net.m_graph = std::move(graph);
    const Graph& g = net.m_graph;
    net.m_inputSize = squareInputSize(g);

    // The decode fixes which tensors are the heads; the network is what computes them.
    DecodeMatcher matcher(g);
    const GraphSignatureTensor& output = g.outputs().front();
    matcher.match(QStringLiteral("out"), NodeInput{output.node, output.output});
    const QStringList heads{matcher.role("@heatmap"), matcher.role("@center"),
                            matcher.role("@regress"), matcher.role("@offset")};
    LayerBuilder builder(g, g.inputs().front().node, net.m_inputSize);
    for (const GraphNode* n : runOrder(g, networkNodes(g, heads, matcher.decodeNodes()))) {
        builder.add(*n);
    }
    net.m_heatmap = builder.headTensor(heads[0]);
    net.m_center = builder.headTensor(heads[1]);
    net.m_regress = builder.headTensor(heads[2]);
    net.m_offset = builder.headTensor(heads[3]);
    net.m_normalisation = builder.normalisation();
    net.m_tensors = builder.tensors();
    net.m_layers = std::move(builder.layers());

    // The heads share one grid; the decode's constants must fit it.
    const TensorShape hm = net.m_tensors[static_cast<std::size_t>(net.m_heatmap)];
    net.m_gridH = hm.h;
    net.m_gridW = hm.w;
    net.m_keypoints = hm.c;
    net.m_kept.resize(static_cast<std::size_t>(hm.c));
    std::iota(net.m_kept.begin(), net.m_kept.end(), 0);
    const auto isGrid = [&](int tensor, int channels) {
        return net.m_tensors[static_cast<std::size_t>(tensor)] == TensorShape{hm.h, hm.w, channels};
    };
    if (hm.c < 7 || !isGrid(net.m_center, 1) || !isGrid(net.m_regress, 2 * hm.c) ||
        !isGrid(net.m_offset, 2 * hm.c)) {
        throw decodeMismatch(QStringLiteral("the heads' shapes do not match"));
    }
    matcher.checkIntConstants(hm.w, hm.c);
    DecodeConstants decode = readDecodeConstants(g, matcher, hm);
    net.m_prior = std::move(decode.prior);
    net.m_gridY = std::move(decode.gridY);
    net.m_gridX = std::move(decode.gridX);
    net.m_scale = decode.scale;
    net.m_distanceBias = decode.distanceBias;
    return net;
}

void Network::keepOnly(const std::vector<int>& keypoints) {
    if (keypoints.empty() || !std::is_sorted(keypoints.begin(), keypoints.end()) ||
        std::adjacent_find(keypoints.begin(), keypoints.end()) != keypoints.end() ||
        keypoints.front() < 0 || keypoints.back() >= m_keypoints ||
        m_kept.size() != std::size_t(m_keypoints)) {
        throw std::invalid_argument("keepOnly takes ascending keypoint indices, once");
    }
    // Heat map: one channel per keypoint; regression and offsets: two (y, x).
    for (const auto& [head, perKeypoint] :
         {std::pair{m_heatmap, 1}, {m_regress, 2}, {m_offset, 2}}) {
        const auto made = std::find_if(m_layers.begin(), m_layers.end(),
                                       [&](const Layer& l) { return l.output == head; });
        const bool readByOthers =
            std::any_of(m_layers.begin(), m_layers.end(), [&](const Layer& l) {
                return std::find(l.inputs.begin(), l.inputs.end(), head) != l.inputs.end();
            });
        if (made == m_layers.end() || made->kind != Layer::Kind::conv || readByOthers) {
            throw ModelError(QStringLiteral("a head is not made by a convolution of its own"));
        }
        std::vector<std::size_t> channels;
        for (int k : keypoints) {
            for (int i = 0; i < perKeypoint; ++i) {
                channels.push_back(static_cast<std::size_t>(k * perKeypoint + i));
            }
        }
        // Filters are [kh][kw][in][out], biases [out]: keep `channels` of the last axis.
        const auto slice = [&](const QString& name) {
            const ConstTensor& from = m_graph.constant(name);
            const auto outs = static_cast<std::size_t>(from.shape.back());
            ConstTensor kept = from;
            kept.shape.back() = static_cast<qint64>(channels.size());
            kept.floats.clear();
            for (std::size_t base = 0; base < from.floats.size(); base += outs) {
                for (std::size_t c : channels) {
                    kept.floats.push_back(from.floats[base + c]);
                }
            }
            const QString keptName = name + QStringLiteral("/kept");
            m_graph.setConstant(keptName, std::move(kept));
            return keptName;
        };
        made->filter = slice(made->filter);
        if (!made->bias.isEmpty()) {
            made->bias = slice(made->bias);
        }
        m_tensors[static_cast<std::size_t>(head)].c = static_cast<int>(channels.size());
    }
    m_kept = keypoints;
}

std::vector<Keypoint> Network::decode(const float* heatmap, const float* center,
                                      const float* regress, const float* offset) const {
    const auto sigmoid = [](float v) {
        return 1.0f / (1.0f + std::exp(-v));
    };
    const int cells = m_gridH * m_gridW;
    const int kept = static_cast<int>(m_kept.size());
    const int k2 = 2 * kept;

    // The centre of the body: the first cell with the highest prior-weighted centre score.
    int centre = 0;
    float best = -std::numeric_limits<float>::infinity();
    for (int i = 0; i < cells; ++i) {
        const float s = sigmoid(center[i]) * m_prior[static_cast<std::size_t>(i)];
        if (s > best) {
            best = s;
            centre = i;
        }
    }
    const float cy = static_cast<float>(centre / m_gridW);
    const float cx = static_cast<float>(centre % m_gridW);

    std::vector<float> heat(static_cast<std::size_t>(cells) * static_cast<std::size_t>(kept));
    for (std::size_t i = 0; i < heat.size(); ++i) {
        heat[i] = sigmoid(heatmap[i]);
    }
    std::vector<Keypoint> result(static_cast<std::size_t>(m_keypoints));
    for (int k = 0; k < kept; ++k) {
        // The cell of keypoint k: its heat map, weighed down by the distance to where the
        // centre's regression puts it.
        const float ry = cy + regress[centre * k2 + 2 * k];
        const float rx = cx + regress[centre * k2 + 2 * k + 1];
        int cell = 0;
        best = -std::numeric_limits<float>::infinity();
        for (int i = 0; i < cells; ++i) {
            const float dy = m_gridY[static_cast<std::size_t>(i)] - ry;
            const float dx = m_gridX[static_cast<std::size_t>(i)] - rx;
            const float s = heat[static_cast<std::size_t>(i * kept + k)] /
                            (std::sqrt(dy * dy + dx * dx) + m_distanceBias);
            if (s > best) {
                best = s;
                cell = i;
            }
        }
        const float ky = static_cast<float>(cell / m_gridW);
        const float kx = static_cast<float>(cell % m_gridW);
        Keypoint& kp = result[static_cast<std::size_t>(m_kept[static_cast<std::size_t>(k)])];
        kp.y = (ky + offset[cell * k2 + 2 * k]) * m_scale[0];
        kp.x = (kx + offset[cell * k2 + 2 * k + 1]) * m_scale[1];
        kp.score = heat[static_cast<std::size_t>(cell * kept + k)];
    }
    return result;
}

} // namespace quorvel::movenet
