#include "posture/movenet/MoveNetGraph.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtEndian>
#include <cmath>
#include <cstring>

namespace quorvel::movenet {

namespace {

QByteArray readWholeFile(const QString& path) {
    QFile file(path);
    if (!file.exists()) {
        throw ModelError(QStringLiteral("%1 is missing").arg(QDir::toNativeSeparators(path)));
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw ModelError(QStringLiteral("%1 cannot be read: %2")
                             .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    // One read into a buffer of the file's size (readAll() grows and copies).
    QByteArray bytes(file.size(), Qt::Uninitialized);
    if (file.read(bytes.data(), bytes.size()) != bytes.size()) {
        throw ModelError(QStringLiteral("%1 cannot be read: %2")
                             .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return bytes;
}

std::vector<qint64> parseShape(const QJsonValue& value, const QString& what) {
    std::vector<qint64> shape;
    for (const QJsonValue& d : value.toArray()) {
        // Shapes come as numbers in the manifest and as decimal strings in tensor shapes.
        bool ok = true;
        const qint64 size = d.isString() ? d.toString().toLongLong(&ok)
                                         : (d.isDouble() ? static_cast<qint64>(d.toDouble()) : -2);
        if (!ok || size < -1) {
            throw ModelError(QStringLiteral("bad shape of %1").arg(what));
        }
        shape.push_back(size);
    }
    return shape;
}

std::vector<qint64> signatureShape(const QJsonObject& tensor, const QString& what) {
    QJsonArray dims;
    for (const QJsonValue& d : tensor.value("tensorShape").toObject().value("dim").toArray()) {
        dims.append(d.toObject().value("size").toString("-1"));
    }
    return parseShape(dims, what);
}

std::vector<GraphSignatureTensor> parseSignature(const QJsonObject& tensors) {
    std::vector<GraphSignatureTensor> result;
    for (auto it = tensors.begin(); it != tensors.end(); ++it) {
        const QJsonObject t = it.value().toObject();
        const NodeInput ref = parseNodeInput(t.value("name").toString(it.key()));
        result.push_back(
            {ref.node, ref.output, t.value("dtype").toString(), signatureShape(t, ref.node)});
    }
    return result;
}

// IEEE half precision to single, exactly.
float halfToFloat(quint16 h) {
    const quint32 sign = quint32(h & 0x8000u) << 16;
    quint32 exponent = (h >> 10) & 0x1fu;
    quint32 mantissa = h & 0x3ffu;
    quint32 bits = sign;
    if (exponent == 0x1fu) {
        bits |= 0x7f800000u | (mantissa << 13); // infinity, NaN
    } else if (exponent != 0) {
        bits |= ((exponent + 112u) << 23) | (mantissa << 13);
    } else if (mantissa != 0) { // subnormal: normalise
        exponent = 113;
        while (!(mantissa & 0x400u)) {
            mantissa <<= 1;
            --exponent;
        }
        bits |= (exponent << 23) | ((mantissa & 0x3ffu) << 13);
    }
    float f = 0.0f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

} // namespace

qint64 ConstTensor::elementCount() const {
    qint64 n = 1;
    for (qint64 d : shape) {
        n *= d;
    }
    return n;
}

NodeInput parseNodeInput(const QString& text) {
    const qsizetype colon = text.lastIndexOf(':');
    if (colon > 0) {
        bool ok = false;
        const int output = text.mid(colon + 1).toInt(&ok);
        if (ok && output >= 0) {
            return {text.left(colon), output};
        }
    }
    return {text, 0};
}

QString GraphNode::stringAttr(const QString& key) const {
    const QJsonValue v = attr.value(key).toObject().value("s");
    if (!v.isString()) {
        throw ModelError(QStringLiteral("node %1 lacks the text attribute %2").arg(name, key));
    }
    return QString::fromUtf8(QByteArray::fromBase64(v.toString().toLatin1()));
}

qint64 GraphNode::intAttr(const QString& key) const {
    const QJsonValue v = attr.value(key).toObject().value("i");
    bool ok = false;
    const qint64 value = v.toString().toLongLong(&ok);
    if (!ok) {
        throw ModelError(QStringLiteral("node %1 lacks the number attribute %2").arg(name, key));
    }
    return value;
}

bool GraphNode::boolAttr(const QString& key, bool fallback) const {
    const QJsonValue v = attr.value(key).toObject().value("b");
    return v.isBool() ? v.toBool() : fallback;
}

QString GraphNode::typeAttr(const QString& key) const {
    const QJsonValue v = attr.value(key).toObject().value("type");
    if (!v.isString()) {
        throw ModelError(QStringLiteral("node %1 lacks the type attribute %2").arg(name, key));
    }
    return v.toString();
}

std::vector<qint64> GraphNode::intListAttr(const QString& key) const {
    if (!attr.contains(key)) {
        throw ModelError(QStringLiteral("node %1 lacks the list attribute %2").arg(name, key));
    }
    std::vector<qint64> values;
    for (const QJsonValue& v :
         attr.value(key).toObject().value("list").toObject().value("i").toArray()) {
        bool ok = false;
        values.push_back(v.toString().toLongLong(&ok));
        if (!ok) {
            throw ModelError(QStringLiteral("node %1 has a malformed attribute %2").arg(name, key));
        }
    }
    return values;
}

QStringList GraphNode::stringListAttr(const QString& key) const {
    QStringList values;
    for (const QJsonValue& v :
         attr.value(key).toObject().value("list").toObject().value("s").toArray()) {
        values.append(QString::fromUtf8(QByteArray::fromBase64(v.toString().toLatin1())));
    }
    return values;
}

namespace {

// The model description's JSON, checked to be a TensorFlow.js graph model.
QJsonObject readModelDescription(const QString& dir, const QString& fileName) {
    const QString jsonPath = QDir(dir).filePath(fileName);
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(readWholeFile(jsonPath), &parseError);
    if (doc.isNull() || !doc.isObject()) {
        throw ModelError(QStringLiteral("%1 is not a valid model description (%2)")
                             .arg(QDir::toNativeSeparators(jsonPath), parseError.errorString()));
    }
    QJsonObject root = doc.object();
    if (root.value("format").toString() != "graph-model") {
        throw ModelError(QStringLiteral("%1 is not a TensorFlow.js graph model").arg(fileName));
    }
    return root;
}

GraphNode parseNode(const QJsonObject& o) {
    GraphNode n;
    n.name = o.value("name").toString();
    n.op = o.value("op").toString();
    n.attr = o.value("attr").toObject();
    for (const QJsonValue& in : o.value("input").toArray()) {
        const QString text = in.toString();
        if (!text.startsWith('^')) { // control dependencies carry no data
            n.inputs.push_back(parseNodeInput(text));
        }
    }
    return n;
}

// A weight group's shards, one after another: one byte stream holding its tensors back to
// back. Shards are plain file names in the model's folder.
QByteArray readShards(const QJsonObject& group, const QString& dir, const QString& fileName) {
    QByteArray bytes;
    const QJsonArray paths = group.value("paths").toArray();
    for (const QJsonValue& p : paths) {
        const QString shard = p.toString();
        if (shard.isEmpty() || shard.contains('/') || shard.contains('\\') ||
            shard.startsWith('.')) {
            throw ModelError(
                QStringLiteral("%1 names an unsafe weights file \"%2\"").arg(fileName, shard));
        }
        const QByteArray shardBytes = readWholeFile(QDir(dir).filePath(shard));
        bytes = paths.size() == 1 ? shardBytes : bytes + shardBytes;
    }
    return bytes;
}

// `count` little-endian float32 or float16 values (`elementSize` 4 or 2), all finite.
std::vector<float> decodeFloats(const char* data, qint64 count, qint64 elementSize,
                                const QString& name) {
    std::vector<float> floats(static_cast<std::size_t>(count));
    for (qint64 i = 0; i < count; ++i) {
        float f = 0.0f;
        if (elementSize == 2) {
            f = halfToFloat(qFromLittleEndian<quint16>(data + 2 * i));
        } else {
            const quint32 bits = qFromLittleEndian<quint32>(data + 4 * i);
            std::memcpy(&f, &bits, sizeof f);
        }
        if (!std::isfinite(f)) {
            throw ModelError(QStringLiteral("weight %1 holds a value that is not a finite number "
                                            "(corrupt weights file?)")
                                 .arg(name));
        }
        floats[static_cast<std::size_t>(i)] = f;
    }
    return floats;
}

// The tensor `w` describes, read from `bytes` at `offset`, which moves past it.
ConstTensor readTensor(const QJsonObject& w, const QByteArray& bytes, qint64& offset,
                       const QString& fileName) {
    const QString name = w.value("name").toString();
    ConstTensor t;
    t.shape = parseShape(w.value("shape"), name);
    const qint64 count = t.elementCount();
    const QString dtype = w.value("dtype").toString();
    const QJsonObject quantization = w.value("quantization").toObject();
    const QString storedAs =
        quantization.isEmpty() ? dtype : quantization.value("dtype").toString();
    const qint64 elementSize = storedAs == "float16" ? 2 : 4;
    if (!((dtype == "float32" && (storedAs == "float32" || storedAs == "float16")) ||
          (dtype == "int32" && storedAs == "int32"))) {
        throw ModelError(QStringLiteral("weight %1 is stored as %2 %3, which is not supported")
                             .arg(name, dtype, storedAs));
    }
    if (count < 0 || offset + count * elementSize > bytes.size()) {
        throw ModelError(
            QStringLiteral("the weights file is shorter than %1 describes (truncated?)")
                .arg(fileName));
    }
    const char* data = bytes.constData() + offset;
    offset += count * elementSize;
    if (dtype == "int32") {
        t.isInt = true;
        t.ints.resize(static_cast<std::size_t>(count));
        for (qint64 i = 0; i < count; ++i) {
            t.ints[static_cast<std::size_t>(i)] = qFromLittleEndian<qint32>(data + 4 * i);
        }
    } else {
        t.floats = decodeFloats(data, count, elementSize, name);
    }
    return t;
}

} // namespace

Graph Graph::load(const QString& dir, const QString& fileName) {
    const QJsonObject root = readModelDescription(dir, fileName);
    Graph g;
    g.readNodes(root.value("modelTopology").toObject(), fileName);
    const QJsonObject signature = root.value("signature").toObject();
    g.m_inputs = parseSignature(signature.value("inputs").toObject());
    g.m_outputs = parseSignature(signature.value("outputs").toObject());
    for (const QJsonValue& group : root.value("weightsManifest").toArray()) {
        g.readWeightGroup(group.toObject(), dir, fileName);
    }
    for (const GraphNode& n : g.m_nodes) {
        if (n.op == "Const" && !g.m_consts.contains(n.name)) {
            throw ModelError(QStringLiteral("the weights lack the constant %1").arg(n.name));
        }
    }
    return g;
}

void Graph::readNodes(const QJsonObject& topology, const QString& fileName) {
    for (const QJsonValue& v : topology.value("node").toArray()) {
        GraphNode n = parseNode(v.toObject());
        if (n.name.isEmpty() || n.op.isEmpty() || m_index.contains(n.name)) {
            throw ModelError(QStringLiteral("%1 holds a nameless or duplicate node").arg(fileName));
        }
        m_index.insert(n.name, static_cast<qsizetype>(m_nodes.size()));
        m_nodes.push_back(std::move(n));
    }
    if (m_nodes.empty()) {
        throw ModelError(QStringLiteral("%1 holds no graph").arg(fileName));
    }
    for (const GraphNode& n : m_nodes) {
        for (const NodeInput& in : n.inputs) {
            if (!m_index.contains(in.node)) {
                throw ModelError(
                    QStringLiteral("node %1 refers to the unknown node %2").arg(n.name, in.node));
            }
        }
    }
}

void Graph::readWeightGroup(const QJsonObject& group, const QString& dir, const QString& fileName) {
    const QByteArray bytes = readShards(group, dir, fileName);
    qint64 offset = 0;
    for (const QJsonValue& w : group.value("weights").toArray()) {
        const QString name = w.toObject().value("name").toString();
        m_consts.insert(name, readTensor(w.toObject(), bytes, offset, fileName));
    }
    if (offset != bytes.size()) {
        throw ModelError(QStringLiteral("the weights file is %1 bytes, %2 describes %3")
                             .arg(bytes.size())
                             .arg(fileName)
                             .arg(offset));
    }
}

const GraphNode* Graph::node(const QString& name) const {
    const auto it = m_index.constFind(name);
    return it == m_index.constEnd() ? nullptr : &m_nodes[static_cast<std::size_t>(*it)];
}

const GraphNode& Graph::requireNode(const QString& name) const {
    const GraphNode* n = node(name);
    if (!n) {
        throw ModelError(QStringLiteral("the graph has no node %1").arg(name));
    }
    return *n;
}

const ConstTensor& Graph::constant(const QString& name) const {
    const auto it = m_consts.constFind(name);
    if (it == m_consts.constEnd()) {
        throw ModelError(QStringLiteral("%1 is not a constant").arg(name));
    }
    return *it;
}

std::vector<const GraphNode*> Graph::consumers(const QString& name) const {
    std::vector<const GraphNode*> result;
    for (const GraphNode& n : m_nodes) {
        for (const NodeInput& in : n.inputs) {
            if (in.node == name) {
                result.push_back(&n);
                break;
            }
        }
    }
    return result;
}

} // namespace quorvel::movenet
