#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <stdexcept>
#include <vector>

// Reading a TensorFlow.js graph model: the JSON topology and its weight shards.
namespace quorvel::movenet {

// Why a model could not be used; the text is shown to the user after a fixed prefix.
class ModelError : public std::runtime_error {
public:
    explicit ModelError(const QString& what) : std::runtime_error(what.toStdString()) {}
};

// A constant tensor from the weights: float tensors are dequantised to float32.
struct ConstTensor {
    std::vector<qint64> shape;
    bool isInt = false;
    std::vector<float> floats;
    std::vector<qint32> ints;

    qint64 elementCount() const;
};

// An input of a node: the producing node and which of its outputs ("name:1" is output 1).
struct NodeInput {
    QString node;
    int output = 0;
};

struct GraphNode {
    QString name;
    QString op;
    std::vector<NodeInput> inputs;
    QJsonObject attr;

    // Attribute readers; each throws ModelError when the attribute is missing or malformed.
    QString stringAttr(const QString& key) const; // base64 "s" decoded
    qint64 intAttr(const QString& key) const;     // "i", a decimal string
    bool boolAttr(const QString& key, bool fallback) const;
    QString typeAttr(const QString& key) const;                // "type", e.g. "DT_FLOAT"
    std::vector<qint64> intListAttr(const QString& key) const; // "list": {"i": [...]}
    QStringList stringListAttr(const QString& key) const;      // "list": {"s": [...]}
    bool hasAttr(const QString& key) const { return attr.contains(key); }
};

struct GraphSignatureTensor {
    QString node;
    int output = 0;
    QString dtype;
    std::vector<qint64> shape;
};

class Graph {
public:
    // Reads `<dir>/<fileName>` and the weight shards it names (in the same folder).
    static Graph load(const QString& dir, const QString& fileName);

    const std::vector<GraphNode>& nodes() const { return m_nodes; }
    const GraphNode* node(const QString& name) const;
    const GraphNode& requireNode(const QString& name) const;
    bool isConst(const QString& name) const { return m_consts.contains(name); }
    const ConstTensor& constant(const QString& name) const;
    // Adds a constant derived from the weights (or replaces one of that name).
    void setConstant(const QString& name, ConstTensor tensor) {
        m_consts.insert(name, std::move(tensor));
    }

    const std::vector<GraphSignatureTensor>& inputs() const { return m_inputs; }
    const std::vector<GraphSignatureTensor>& outputs() const { return m_outputs; }

    // Nodes that take `name`'s outputs as an input.
    std::vector<const GraphNode*> consumers(const QString& name) const;

private:
    // The topology's nodes, each named once, every input naming one of them.
    void readNodes(const QJsonObject& topology, const QString& fileName);
    // One group of the weights manifest: its shards hold exactly its tensors.
    void readWeightGroup(const QJsonObject& group, const QString& dir, const QString& fileName);

    std::vector<GraphNode> m_nodes;
    QHash<QString, qsizetype> m_index;
    QHash<QString, ConstTensor> m_consts;
    std::vector<GraphSignatureTensor> m_inputs;
    std::vector<GraphSignatureTensor> m_outputs;
};

NodeInput parseNodeInput(const QString& text);

} // namespace quorvel::movenet
