#include "posture/movenet/MoveNetEngine.h"

#include "posture/movenet/DnnlCompat.h"

#include <omp.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <unordered_map>

namespace quorvel::movenet {

namespace {

using dt = dnnl::memory::data_type;
using tag = dnnl::memory::format_tag;

constexpr std::size_t alignment = 64;

std::size_t alignUp(std::size_t n) {
    return (n + alignment - 1) / alignment * alignment;
}

// One primitive to run. A convolution can also add its result onto the tensor that
// already sits in its destination (a residual or pyramid add folded in as a sum post-op);
// that tensor is then gone, so this is only planned when nothing reads it afterwards.
struct Step {
    int layer = -1;
    int addLayer = -1;   // the add folded into this convolution, or -1
    int sumOperand = -1; // the tensor the result is added onto
};

struct Schedule {
    std::vector<Step> steps;
    std::vector<int> storage; // per tensor: the storage it lives in, -1 = never materialised
};

// Replays the schedule and checks that every tensor is still in its storage whenever it is
// read: an in-place add must not destroy anything that is read later.
bool isValid(const Network& net, const Schedule& s) {
    const auto& layers = net.layers();
    std::vector<int> owner(net.tensors().size(), -1); // storage -> tensor it holds
    owner[static_cast<std::size_t>(s.storage[0])] = 0;
    const auto readable = [&](int t) {
        const int st = s.storage[static_cast<std::size_t>(t)];
        return st >= 0 && owner[static_cast<std::size_t>(st)] == t;
    };
    for (const Step& step : s.steps) {
        const Layer& l = layers[static_cast<std::size_t>(step.layer)];
        for (int in : l.inputs) {
            if (!readable(in)) {
                return false;
            }
        }
        int out = l.output;
        if (step.addLayer >= 0) {
            if (!readable(step.sumOperand)) {
                return false;
            }
            out = layers[static_cast<std::size_t>(step.addLayer)].output;
        }
        owner[static_cast<std::size_t>(s.storage[static_cast<std::size_t>(out)])] = out;
    }
    for (int head :
         {net.heatmapTensor(), net.centerTensor(), net.regressTensor(), net.offsetTensor()}) {
        if (!readable(head)) {
            return false;
        }
    }
    return true;
}

// The number format of each tensor. In bf16 every tensor a layer reads is bf16. In int8 the
// input is s8, what a ReLU makes is u8, a sum of u8 is u8, a resampled tensor keeps its
// source's format, anything else is s8. The heads, which only the decode reads, stay float32.
std::vector<dt> tensorTypes(const Network& net, Precision precision) {
    std::vector<dt> types(net.tensors().size(), dt::f32);
    if (precision == Precision::bf16) {
        for (const Layer& l : net.layers()) {
            for (int in : l.inputs) {
                types[static_cast<std::size_t>(in)] = dt::bf16;
            }
        }
    } else if (precision == Precision::int8) {
        const auto type = [&](int t) -> dt& {
            return types[static_cast<std::size_t>(t)];
        };
        type(0) = dt::s8;
        for (const Layer& l : net.layers()) {
            switch (l.kind) {
            case Layer::Kind::conv:
            case Layer::Kind::depthwiseConv:
                type(l.output) = l.activation == Activation::none ? dt::s8 : dt::u8;
                break;
            case Layer::Kind::add:
                type(l.output) = std::all_of(l.inputs.begin(), l.inputs.end(),
                                             [&](int in) { return type(in) == dt::u8; })
                                     ? dt::u8
                                     : dt::s8;
                break;
            case Layer::Kind::resizeBilinear:
                type(l.output) = type(l.inputs[0]);
                break;
            }
        }
        for (int head :
             {net.heatmapTensor(), net.centerTensor(), net.regressTensor(), net.offsetTensor()}) {
            type(head) = dt::f32;
        }
    }
    return types;
}

// Per tensor: the real value of one integer step (1 for float tensors). A resampled tensor
// shares its source's scale, since interpolation stays within the source's range.
std::vector<float> tensorScales(const Network& net, const std::vector<dt>& types,
                                const TensorRanges* ranges) {
    std::vector<float> scales(types.size(), 1.0f);
    if (std::none_of(types.begin(), types.end(), [](dt t) { return t == dt::s8 || t == dt::u8; })) {
        return scales;
    }
    if (!ranges || ranges->size() != types.size()) {
        throw ModelError(QStringLiteral("int8 needs the range of every tensor"));
    }
    const auto scaleOf = [&](std::size_t t) {
        const float range = (*ranges)[t];
        if (types[t] == dt::f32 || !(range > 0.0f) || !std::isfinite(range)) {
            return 1.0f;
        }
        return range / (types[t] == dt::u8 ? 255.0f : 127.0f);
    };
    scales[0] = scaleOf(0);
    for (const Layer& l : net.layers()) {
        const auto out = static_cast<std::size_t>(l.output);
        scales[out] = l.kind == Layer::Kind::resizeBilinear && types[out] != dt::f32
                          ? scales[static_cast<std::size_t>(l.inputs[0])]
                          : scaleOf(out);
    }
    return scales;
}

// Each output channel's filter scaled to fill -127..127: the scale per channel. TensorFlow
// keeps the output channel last in both layouts, [kh][kw][in][out] and
// [kh][kw][channel][multiplier], so channel c is every `channels`-th value from c.
std::vector<float> filterScales(const std::vector<float>& filter, std::size_t channels) {
    std::vector<float> largest(channels, 0.0f);
    for (std::size_t i = 0; i < filter.size(); ++i) {
        largest[i % channels] = std::max(largest[i % channels], std::abs(filter[i]));
    }
    for (float& s : largest) {
        s = s > 0.0f ? s / 127.0f : 1.0f;
    }
    return largest;
}

Schedule planSchedule(const Network& net, const std::vector<dt>& types) {
    const auto& layers = net.layers();
    const std::size_t tensorCount = net.tensors().size();
    Schedule s;
    s.storage.resize(tensorCount);
    std::iota(s.storage.begin(), s.storage.end(), 0);
    for (std::size_t i = 0; i < layers.size(); ++i) {
        s.steps.push_back({static_cast<int>(i), -1, -1});
    }
    std::vector<int> producer(tensorCount, -1);
    std::vector<int> readers(tensorCount, 0);
    for (std::size_t i = 0; i < layers.size(); ++i) {
        producer[static_cast<std::size_t>(layers[i].output)] = static_cast<int>(i);
        for (int in : layers[i].inputs) {
            ++readers[static_cast<std::size_t>(in)];
        }
    }
    const std::vector<int> heads{net.heatmapTensor(), net.centerTensor(), net.regressTensor(),
                                 net.offsetTensor()};
    const auto isHead = [&](int t) {
        return std::find(heads.begin(), heads.end(), t) != heads.end();
    };

    for (std::size_t a = 0; a < layers.size(); ++a) {
        const Layer& add = layers[a];
        if (add.kind != Layer::Kind::add) {
            continue;
        }
        for (int which : {1, 0}) {
            const int y = add.inputs[static_cast<std::size_t>(which)];
            const int x = add.inputs[static_cast<std::size_t>(1 - which)];
            const int p = producer[static_cast<std::size_t>(y)];
            if (p < 0 || x == y || x == 0 || isHead(x) || isHead(y) ||
                types[static_cast<std::size_t>(x)] != types[static_cast<std::size_t>(add.output)] ||
                readers[static_cast<std::size_t>(y)] != 1 ||
                (layers[static_cast<std::size_t>(p)].kind != Layer::Kind::conv &&
                 layers[static_cast<std::size_t>(p)].kind != Layer::Kind::depthwiseConv)) {
                continue;
            }
            const std::vector<int>& convInputs = layers[static_cast<std::size_t>(p)].inputs;
            if (std::find(convInputs.begin(), convInputs.end(), x) != convInputs.end()) {
                continue; // it would write over its own input
            }
            // Move the convolution to the add's place, writing onto x's storage.
            Schedule trial = s;
            trial.steps.erase(std::remove_if(trial.steps.begin(), trial.steps.end(),
                                             [&](const Step& st) { return st.layer == p; }),
                              trial.steps.end());
            for (Step& st : trial.steps) {
                if (st.layer == static_cast<int>(a)) {
                    st = {p, static_cast<int>(a), x};
                }
            }
            trial.storage[static_cast<std::size_t>(y)] = -1;
            trial.storage[static_cast<std::size_t>(add.output)] =
                trial.storage[static_cast<std::size_t>(x)];
            if (isValid(net, trial)) {
                s = std::move(trial);
                break;
            }
        }
    }
    if (!isValid(net, s)) {
        throw ModelError(QStringLiteral("the network cannot be scheduled"));
    }
    return s;
}

// Where each storage of a schedule lives in the one shared buffer.
struct BufferPlan {
    std::vector<std::size_t> bytes;  // per storage; 0 = unused
    std::vector<std::size_t> offset; // per storage, into the buffer
    std::size_t total = 0;
};

// Each storage lives from its first write to its last read (step -1 is the caller writing
// the input; the step after the last is the decode reading the heads).
BufferPlan storageLifetimes(const Network& net, const Schedule& schedule,
                            const std::function<std::size_t(int)>& tensorBytes,
                            std::vector<int>& firstWrite, std::vector<int>& lastRead) {
    const auto& layers = net.layers();
    const std::size_t count = net.tensors().size();
    const int stepCount = static_cast<int>(schedule.steps.size());
    BufferPlan plan;
    plan.bytes.assign(count, 0);
    plan.offset.assign(count, 0);
    firstWrite.assign(count, stepCount + 1);
    lastRead.assign(count, -2);
    const auto touch = [&](int tensor, int step) {
        const auto i = static_cast<std::size_t>(schedule.storage[static_cast<std::size_t>(tensor)]);
        plan.bytes[i] = std::max(plan.bytes[i], alignUp(tensorBytes(tensor)));
        firstWrite[i] = std::min(firstWrite[i], step);
        lastRead[i] = std::max(lastRead[i], step);
    };
    touch(0, -1);
    for (int i = 0; i < stepCount; ++i) {
        const Step& step = schedule.steps[static_cast<std::size_t>(i)];
        const Layer& l = layers[static_cast<std::size_t>(step.layer)];
        for (int in : l.inputs) {
            touch(in, i);
        }
        touch(step.addLayer >= 0 ? layers[static_cast<std::size_t>(step.addLayer)].output
                                 : l.output,
              i);
    }
    for (int head :
         {net.heatmapTensor(), net.centerTensor(), net.regressTensor(), net.offsetTensor()}) {
        touch(head, stepCount);
    }
    return plan;
}

// Storages that are never alive at the same time share bytes: largest first, each at the
// lowest offset free during its whole life.
BufferPlan planBuffers(const Network& net, const Schedule& schedule,
                       const std::function<std::size_t(int)>& tensorBytes) {
    std::vector<int> firstWrite, lastRead;
    BufferPlan plan = storageLifetimes(net, schedule, tensorBytes, firstWrite, lastRead);
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < plan.bytes.size(); ++i) {
        if (plan.bytes[i] > 0) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return plan.bytes[a] > plan.bytes[b]; });
    std::vector<std::size_t> placed;
    for (std::size_t s : order) {
        std::vector<std::pair<std::size_t, std::size_t>> busy; // [begin, end) of live ones
        for (std::size_t p : placed) {
            if (firstWrite[p] <= lastRead[s] && firstWrite[s] <= lastRead[p]) {
                busy.push_back({plan.offset[p], plan.offset[p] + plan.bytes[p]});
            }
        }
        std::sort(busy.begin(), busy.end());
        std::size_t offset = 0;
        for (const auto& [begin, end] : busy) {
            if (offset + plan.bytes[s] <= begin) {
                break;
            }
            offset = std::max(offset, end);
        }
        plan.offset[s] = offset;
        plan.total = std::max(plan.total, offset + plan.bytes[s]);
        placed.push_back(s);
    }
    return plan;
}

bool isInteger(dt type) {
    return type == dt::s8 || type == dt::u8;
}

} // namespace

struct Engine::Private {
    int threads = 1;
    Precision precision = Precision::f32;
    dnnl::engine engine{dnnl::engine::kind::cpu, 0};
    dnnl::stream stream{engine};
    std::vector<TensorShape> shapes;
    std::vector<dt> types;
    std::vector<float> scales; // per tensor: the real value of one integer step
    std::vector<dnnl::memory> memories;
    std::vector<dnnl::primitive> primitives;
    std::vector<std::unordered_map<int, dnnl::memory>> args;
    std::vector<int> writes; // per primitive: the tensor it writes
    QStringList implementations;
    struct FreeDeleter {
        void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<std::byte, FreeDeleter> arena;
    std::size_t arenaBytes = 0;
    std::vector<std::size_t> tensorOffset; // bytes into the arena
    // Where the network's input is not float32: the float32 input the caller fills; the first
    // primitive converts it into the arena's input.
    std::unique_ptr<float, FreeDeleter> input;

    dnnl::memory::desc activationMd(int t) const {
        const TensorShape& s = shapes[static_cast<std::size_t>(t)];
        return {{1, s.c, s.h, s.w}, types[static_cast<std::size_t>(t)], tag::nhwc};
    }
    dnnl::memory memory(int t) const { return memories[static_cast<std::size_t>(t)]; }
    float scale(int t) const { return scales[static_cast<std::size_t>(t)]; }
    void add(dnnl::primitive primitive, const char* implementation,
             std::unordered_map<int, dnnl::memory> arguments, int written) {
        primitives.push_back(std::move(primitive));
        args.push_back(std::move(arguments));
        writes.push_back(written);
        implementations.append(QString::fromLatin1(implementation));
    }

    void allocate(const Network& net, const Schedule& schedule);
    void buildPrimitives(const Network& net, const Schedule& schedule);
    void buildInput();
    void buildConvolution(const Network& net, const Step& step);
    const dnnl::convolution_forward::primitive_desc&
    fastestConvolution(const std::vector<dnnl::convolution_forward::primitive_desc>& offered,
                       const dnnl::memory& userWeights, bool grouped,
                       const std::vector<float>& channelScales, dnnlcompat::Arguments& arguments);
    double timeRuns(const dnnl::primitive& primitive, const dnnlcompat::Arguments& arguments,
                    double enough);
    dnnl::memory weightsFor(const dnnl::convolution_forward::primitive_desc& pd, dnnl::memory user,
                            bool grouped, const std::vector<float>& channelScales);
    void buildAdd(const Layer& l);
    void buildResize(const Layer& l);
};

Engine::Engine(const Network& net, int threads, Precision precision, const TensorRanges* ranges)
    : d(std::make_unique<Private>()) {
    d->threads = std::max(1, threads);
    d->precision = precision;
    // Debian's oneDNN runs on OpenMP and sizes each primitive's work split by the thread
    // count in force when the primitive is created, so fix it first.
    omp_set_num_threads(d->threads);

    d->shapes = net.tensors();
    d->types = tensorTypes(net, precision);
    d->scales = tensorScales(net, d->types, ranges);
    const Schedule schedule = planSchedule(net, d->types);
    d->allocate(net, schedule);
    try {
        d->buildPrimitives(net, schedule);
    } catch (const dnnl::error& e) {
        // oneDNN only says it found no implementation: on a CPU without the instructions
        // for bf16 or int8, say so.
        if (precision == Precision::f32) {
            throw;
        }
        throw ModelError(QStringLiteral("this CPU (%1) cannot compute in %2 (%3)")
                             .arg(cpuIsaName(),
                                  QLatin1String(precision == Precision::bf16 ? "bf16" : "int8"),
                                  QString::fromLocal8Bit(e.what())));
    }
}

void Engine::Private::buildPrimitives(const Network& net, const Schedule& schedule) {
    buildInput();
    // The primitives, in schedule order.
    for (const Step& step : schedule.steps) {
        const Layer& l = net.layers()[static_cast<std::size_t>(step.layer)];
        switch (l.kind) {
        case Layer::Kind::conv:
        case Layer::Kind::depthwiseConv:
            buildConvolution(net, step);
            break;
        case Layer::Kind::add:
            buildAdd(l);
            break;
        case Layer::Kind::resizeBilinear:
            buildResize(l);
            break;
        }
    }
}

// The shared buffer, and a oneDNN memory for every tensor that is materialised.
void Engine::Private::allocate(const Network& net, const Schedule& schedule) {
    const BufferPlan plan =
        planBuffers(net, schedule, [&](int t) { return activationMd(t).get_size(); });
    arenaBytes = plan.total;
    arena.reset(
        static_cast<std::byte*>(std::aligned_alloc(alignment, std::max(arenaBytes, alignment))));
    if (!arena) {
        throw std::bad_alloc();
    }
    // Zeros, not whatever the allocator left: the kernels are timed on these tensors while
    // the engine is built, and stray denormal floats would make some runs slow.
    std::memset(arena.get(), 0, std::max(arenaBytes, alignment));
    tensorOffset.assign(shapes.size(), 0);
    memories.assign(shapes.size(), dnnl::memory());
    for (std::size_t t = 0; t < shapes.size(); ++t) {
        const int st = schedule.storage[t];
        if (st >= 0 && plan.bytes[static_cast<std::size_t>(st)] > 0) {
            tensorOffset[t] = plan.offset[static_cast<std::size_t>(st)];
            memories[t] = dnnl::memory(activationMd(static_cast<int>(t)), engine,
                                       arena.get() + tensorOffset[t]);
        }
    }
}

// Where the network reads bf16 or int8, the caller still writes float32; the first primitive
// converts it.
void Engine::Private::buildInput() {
    if (types[0] == dt::f32) {
        return;
    }
    const TensorShape& s = shapes[0];
    const dnnl::memory::desc userMd({1, s.c, s.h, s.w}, dt::f32, tag::nhwc);
    input.reset(static_cast<float*>(
        std::aligned_alloc(alignment, std::max(alignUp(userMd.get_size()), alignment))));
    if (!input) {
        throw std::bad_alloc();
    }
    const dnnl::memory user(userMd, engine, input.get());
    dnnl::primitive_attr attr;
    dnnlcompat::Arguments arguments{{DNNL_ARG_FROM, user}, {DNNL_ARG_TO, memory(0)}};
    if (isInteger(types[0])) {
        dnnlcompat::divideReorder(attr, 0, {scale(0)}, engine, arguments);
    }
    const dnnl::reorder::primitive_desc pd(user, memory(0), attr);
    add(dnnl::reorder(pd), pd.impl_info_str(), std::move(arguments), 0);
}

// A convolution with its bias, activation and any folded add, its weights reordered into
// the layout the kernel prefers. In int8 the kernel sums integer products; the output scale
// per channel takes the sum to the destination's scale, the bias is in the sum's units, and
// the activation and the add work in the destination's units.
void Engine::Private::buildConvolution(const Network& net, const Step& step) {
    const auto& layers = net.layers();
    const Layer& l = layers[static_cast<std::size_t>(step.layer)];
    const int out =
        step.addLayer >= 0 ? layers[static_cast<std::size_t>(step.addLayer)].output : l.output;
    const bool depthwise = l.kind == Layer::Kind::depthwiseConv;
    const TensorShape& in = shapes[static_cast<std::size_t>(l.inputs[0])];
    const TensorShape& o = shapes[static_cast<std::size_t>(l.output)];
    const ConstTensor& filter = net.graph().constant(l.filter);
    const dt srcType = types[static_cast<std::size_t>(l.inputs[0])];
    const bool int8 = isInteger(srcType);
    // TensorFlow keeps [kh][kw][in][out] (depthwise: [kh][kw][channel][multiplier]), which
    // oneDNN reads as hwio (hwigo).
    const int multiplier = depthwise ? static_cast<int>(filter.shape[3]) : 1;
    const dnnl::memory::dims wdims =
        depthwise ? dnnl::memory::dims{in.c, multiplier, 1, l.kernelH, l.kernelW}
                  : dnnl::memory::dims{o.c, in.c, l.kernelH, l.kernelW};
    const dnnl::memory::desc userWeightsMd(wdims, dt::f32, depthwise ? tag::hwigo : tag::hwio);
    const dnnl::memory::desc anyWeightsMd(wdims, int8 ? dt::s8 : srcType, tag::any);
    const dnnl::memory::desc biasMd({o.c}, dt::f32, tag::x);
    const dnnl::memory::dims strides{l.strideH, l.strideW};
    const dnnl::memory::dims padL{l.padTop, l.padLeft}, padR{l.padBottom, l.padRight};

    const std::vector<float> filterScale =
        int8 ? filterScales(filter.floats, static_cast<std::size_t>(o.c))
             : std::vector<float>(static_cast<std::size_t>(o.c), 1.0f);
    const float srcScale = scale(l.inputs[0]), dstScale = scale(out);
    dnnl::post_ops ops;
    if (l.activation == Activation::relu) {
        dnnlcompat::appendEltwise(ops, dnnl::algorithm::eltwise_relu, 0.0f, 0.0f);
    } else if (l.activation == Activation::relu6) {
        dnnlcompat::appendEltwise(ops, dnnl::algorithm::eltwise_clip, 0.0f, 6.0f / dstScale);
    }
    if (step.addLayer >= 0) {
        // dst = activation(conv) + dst: the residual in place
        ops.append_sum(scale(step.sumOperand) / dstScale);
    }
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);
    dnnlcompat::Arguments arguments;
    if (int8) {
        std::vector<float> outputScales(filterScale.size());
        for (std::size_t c = 0; c < outputScales.size(); ++c) {
            outputScales[c] = srcScale * filterScale[c] / dstScale;
        }
        dnnlcompat::scaleConvolution(attr, depthwise, outputScales, engine, arguments);
    }
    const auto offered = dnnlcompat::convolutions(engine, activationMd(l.inputs[0]), anyWeightsMd,
                                                  l.bias.isEmpty() ? dnnl::memory::desc() : biasMd,
                                                  activationMd(out), strides, padL, padR, attr, 2);

    arguments[DNNL_ARG_SRC] = memory(l.inputs[0]);
    arguments[DNNL_ARG_DST] = memory(out);
    if (!l.bias.isEmpty()) {
        dnnl::memory bias(biasMd, engine);
        const std::vector<float>& b = net.graph().constant(l.bias).floats;
        auto* to = static_cast<float*>(bias.get_data_handle());
        for (std::size_t c = 0; c < b.size(); ++c) {
            to[c] = int8 ? dnnlcompat::int8Bias(b[c], srcScale * filterScale[c], dstScale) : b[c];
        }
        arguments[DNNL_ARG_BIAS] = bias;
    }
    const dnnl::memory userWeights(userWeightsMd, engine, const_cast<float*>(filter.floats.data()));
    const std::vector<float> channelScales = int8 ? filterScale : std::vector<float>{};
    const auto& pd = fastestConvolution(offered, userWeights, depthwise, channelScales, arguments);
    add(dnnl::convolution_forward(pd), pd.impl_info_str(), std::move(arguments), out);
}

// oneDNN lists the kernels that can run a layer best first, by rules tuned on Intel's CPUs.
// Elsewhere the second can be the faster: on an AMD Zen 5, oneDNN 3.7's first choice for most
// of the model's 1x1 layers (brgconv_1x1) takes 20-40% longer than its second (jit_1x1), and
// the whole model 10% longer than under oneDNN 2.6; on AVX2, 3.x's first choice for a
// depthwise layer is slower than its jit kernel. So where the list offers a second kernel,
// both are run on the layer and the faster is kept. Both compute the same layer; they differ
// in speed only. Each kernel tried costs about 7 MB of peak memory and 60 ms of load time
// over the whole model, so a third is not. The kept kernel's weights, reordered for it, are
// left in `arguments`.
const dnnl::convolution_forward::primitive_desc& Engine::Private::fastestConvolution(
    const std::vector<dnnl::convolution_forward::primitive_desc>& offered,
    const dnnl::memory& userWeights, bool grouped, const std::vector<float>& channelScales,
    dnnlcompat::Arguments& arguments) {
    std::size_t fastest = 0;
    double fastestTime = 0.0;
    dnnl::memory fastestWeights;
    for (std::size_t i = 0; i < offered.size(); ++i) {
        const dnnl::memory weights = weightsFor(offered[i], userWeights, grouped, channelScales);
        if (offered.size() > 1) {
            arguments[DNNL_ARG_WEIGHTS] = weights;
            const double time = timeRuns(dnnl::convolution_forward(offered[i]), arguments,
                                         i == 0 ? 0.0 : 2.0 * fastestTime);
            if (i > 0 && time >= fastestTime) {
                continue;
            }
            fastestTime = time;
        }
        fastest = i;
        fastestWeights = weights;
    }
    // The faster kernel's weights, as reordered for its trial.
    arguments[DNNL_ARG_WEIGHTS] = fastestWeights;
    return offered[fastest];
}

// The shortest of two runs after one that warms the caches, in seconds: the one least
// disturbed by other work on the machine. A kernel whose first run already took longer than
// `enough` (when not 0) is not run again, and that first time is returned.
double Engine::Private::timeRuns(const dnnl::primitive& primitive,
                                 const dnnlcompat::Arguments& arguments, double enough) {
    double shortest = 0.0;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        primitive.execute(stream, arguments);
        stream.wait();
        const double time =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (run == 0 && enough > 0.0 && time > enough) {
            return time;
        }
        shortest = run == 1 ? time : std::min(shortest, time);
    }
    return shortest;
}

// The filter in the layout the convolution prefers; in int8, each output channel divided by
// its scale and rounded.
dnnl::memory Engine::Private::weightsFor(const dnnl::convolution_forward::primitive_desc& pd,
                                         dnnl::memory user, bool grouped,
                                         const std::vector<float>& channelScales) {
    dnnl::memory weights(pd.weights_desc(), engine);
    dnnl::primitive_attr quantise;
    dnnlcompat::Arguments arguments{{DNNL_ARG_FROM, user}, {DNNL_ARG_TO, weights}};
    if (!channelScales.empty()) {
        // The output channel is dimension 0 of (o, i, h, w), 0 and 1 of (g, o, i, h, w).
        dnnlcompat::divideReorder(quantise, grouped ? (1 << 0) | (1 << 1) : 1 << 0, channelScales,
                                  engine, arguments);
    }
    dnnl::reorder(dnnl::reorder::primitive_desc(user, weights, quantise))
        .execute(stream, arguments);
    stream.wait();
    return weights;
}

// An add that could not be folded into a convolution; in int8 each operand is brought to
// the sum's scale.
void Engine::Private::buildAdd(const Layer& l) {
    const int a = l.inputs[0], b = l.inputs[1];
    dnnl::primitive_attr attr;
    dnnlcompat::Arguments arguments{
        {DNNL_ARG_SRC_0, memory(a)}, {DNNL_ARG_SRC_1, memory(b)}, {DNNL_ARG_DST, memory(l.output)}};
    if (isInteger(types[static_cast<std::size_t>(a)])) {
        dnnlcompat::scaleAddOperand(attr, DNNL_ARG_SRC_0, scale(a) / scale(l.output), engine,
                                    arguments);
    }
    if (isInteger(types[static_cast<std::size_t>(b)])) {
        dnnlcompat::scaleAddOperand(attr, DNNL_ARG_SRC_1, scale(b) / scale(l.output), engine,
                                    arguments);
    }
    const auto pd =
        dnnlcompat::add(engine, activationMd(a), activationMd(b), activationMd(l.output), attr);
    add(dnnl::binary(pd), pd.impl_info_str(), std::move(arguments), l.output);
}

// oneDNN's linear resampling samples at half-pixel centres and clamps at the edges, as
// ResizeBilinear with half_pixel_centers does. It has no scales: in int8 the result keeps
// its source's.
void Engine::Private::buildResize(const Layer& l) {
    const int src = l.inputs[0];
    if (scale(src) != scale(l.output)) {
        throw ModelError(QStringLiteral("%1: a resampling cannot change the scale").arg(l.name));
    }
    const auto pd = dnnlcompat::resampling(engine, activationMd(src), activationMd(l.output));
    add(dnnl::resampling_forward(pd), pd.impl_info_str(),
        {{DNNL_ARG_SRC, memory(src)}, {DNNL_ARG_DST, memory(l.output)}}, l.output);
}

Engine::~Engine() = default;

float* Engine::input() {
    if (d->input) {
        return d->input.get();
    }
    return reinterpret_cast<float*>(d->arena.get() + d->tensorOffset[0]);
}

void Engine::run() {
    omp_set_num_threads(d->threads); // this thread's count, for any region sized at run time
    for (std::size_t i = 0; i < d->primitives.size(); ++i) {
        d->primitives[i].execute(d->stream, d->args[i]);
    }
    d->stream.wait();
}

void Engine::runMeasuring(TensorRanges& ranges) {
    if (d->precision != Precision::f32) {
        throw std::logic_error("tensor ranges are measured in float32");
    }
    ranges.resize(d->shapes.size(), 0.0f);
    const auto measure = [&](int t) {
        const float* v = tensor(t);
        const auto n = static_cast<std::size_t>(d->shapes[static_cast<std::size_t>(t)].elements());
        float& range = ranges[static_cast<std::size_t>(t)];
        for (std::size_t i = 0; i < n; ++i) {
            range = std::max(range, std::abs(v[i]));
        }
    };
    omp_set_num_threads(d->threads);
    measure(0);
    for (std::size_t i = 0; i < d->primitives.size(); ++i) {
        d->primitives[i].execute(d->stream, d->args[i]);
        d->stream.wait();
        measure(d->writes[i]);
    }
}

const float* Engine::tensor(int id) const {
    return reinterpret_cast<const float*>(d->arena.get() +
                                          d->tensorOffset[static_cast<std::size_t>(id)]);
}

QStringList Engine::implementations() const {
    return d->implementations;
}

std::size_t Engine::workspaceBytes() const {
    return d->arenaBytes;
}

int Engine::threads() const {
    return d->threads;
}

Precision Engine::precision() const {
    return d->precision;
}

bool Engine::hasNativeInt8() {
    const auto isa = static_cast<unsigned>(dnnl::get_effective_cpu_isa());
    const auto has = [&](dnnl::cpu_isa set) {
        const auto bits = static_cast<unsigned>(set);
        return (isa & bits) == bits;
    };
    return has(dnnl::cpu_isa::avx512_core_vnni) || has(dnnl::cpu_isa::avx2_vnni);
}

bool Engine::hasNativeBf16() {
    const auto isa = static_cast<unsigned>(dnnl::get_effective_cpu_isa());
    const auto bf16 = static_cast<unsigned>(dnnl::cpu_isa::avx512_core_bf16);
    return (isa & bf16) == bf16; // AMX includes it
}

QString Engine::cpuIsaName() {
    return dnnlcompat::isaName(dnnl::get_effective_cpu_isa());
}

} // namespace quorvel::movenet
