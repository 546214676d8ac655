#include "posture/movenet/MoveNetEngine.h"

#include <omp.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <cstdlib>
#include <numeric>
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

// The number format of each tensor: in bf16 every tensor a layer reads is bf16; the heads,
// which only the decode reads, stay float32.
std::vector<dt> tensorTypes(const Network& net, bool bf16) {
    std::vector<dt> types(net.tensors().size(), dt::f32);
    if (bf16) {
        for (const Layer& l : net.layers()) {
            for (int in : l.inputs) {
                types[static_cast<std::size_t>(in)] = dt::bf16;
            }
        }
    }
    return types;
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

} // namespace

struct Engine::Private {
    int threads = 1;
    Precision precision = Precision::f32;
    dnnl::engine engine{dnnl::engine::kind::cpu, 0};
    dnnl::stream stream{engine};
    std::vector<dnnl::primitive> primitives;
    std::vector<std::unordered_map<int, dnnl::memory>> args;
    QStringList implementations;
    struct FreeDeleter {
        void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<std::byte, FreeDeleter> arena;
    std::size_t arenaBytes = 0;
    std::vector<std::size_t> tensorOffset; // bytes into the arena
    // In bf16, the float32 input the caller fills; reordered into the arena's bf16 input.
    std::unique_ptr<float, FreeDeleter> input;
};

Engine::Engine(const Network& net, int threads, Precision precision)
    : d(std::make_unique<Private>()) {
    d->threads = std::max(1, threads);
    d->precision = precision;
    const bool bf16 = precision == Precision::bf16;
    // Debian's oneDNN runs on OpenMP and sizes each primitive's work split by the thread
    // count in force when the primitive is created, so fix it first.
    omp_set_num_threads(d->threads);

    const auto& layers = net.layers();
    const auto& shapes = net.tensors();
    const std::vector<dt> types = tensorTypes(net, bf16);
    const Schedule schedule = planSchedule(net, types);
    const std::vector<int> heads{net.heatmapTensor(), net.centerTensor(), net.regressTensor(),
                                 net.offsetTensor()};
    const auto activationMd = [&](int t) {
        const TensorShape& s = shapes[static_cast<std::size_t>(t)];
        return dnnl::memory::desc({1, s.c, s.h, s.w}, types[static_cast<std::size_t>(t)],
                                  tag::nhwc);
    };

    // Buffer plan: each storage lives from its first write to its last read; storages
    // that are never alive at the same time share bytes.
    const int stepCount = static_cast<int>(schedule.steps.size());
    std::vector<int> firstWrite(shapes.size(), stepCount + 1), lastRead(shapes.size(), -2);
    std::vector<std::size_t> storageBytes(shapes.size(), 0);
    const auto touch = [&](int tensor, int step) {
        const auto i = static_cast<std::size_t>(schedule.storage[static_cast<std::size_t>(tensor)]);
        storageBytes[i] = std::max(storageBytes[i], alignUp(activationMd(tensor).get_size()));
        firstWrite[i] = std::min(firstWrite[i], step);
        lastRead[i] = std::max(lastRead[i], step);
    };
    touch(0, -1); // the input is written before the first step
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
    for (int head : heads) {
        touch(head, stepCount); // read by the decode, after the last step
    }
    // Largest first, each at the lowest offset free during its whole life.
    std::vector<int> order;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        if (storageBytes[i] > 0) {
            order.push_back(static_cast<int>(i));
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return storageBytes[static_cast<std::size_t>(a)] >
               storageBytes[static_cast<std::size_t>(b)];
    });
    std::vector<std::size_t> storageOffset(shapes.size(), 0);
    std::vector<int> placed;
    for (int st : order) {
        const auto s = static_cast<std::size_t>(st);
        std::vector<std::pair<std::size_t, std::size_t>> busy; // [begin, end) of live ones
        for (int o : placed) {
            const auto p = static_cast<std::size_t>(o);
            if (firstWrite[p] <= lastRead[s] && firstWrite[s] <= lastRead[p]) {
                busy.push_back({storageOffset[p], storageOffset[p] + storageBytes[p]});
            }
        }
        std::sort(busy.begin(), busy.end());
        std::size_t offset = 0;
        for (const auto& [begin, end] : busy) {
            if (offset + storageBytes[s] <= begin) {
                break;
            }
            offset = std::max(offset, end);
        }
        storageOffset[s] = offset;
        d->arenaBytes = std::max(d->arenaBytes, offset + storageBytes[s]);
        placed.push_back(st);
    }
    d->arena.reset(
        static_cast<std::byte*>(std::aligned_alloc(alignment, std::max(d->arenaBytes, alignment))));
    if (!d->arena) {
        throw std::bad_alloc();
    }
    d->tensorOffset.assign(shapes.size(), 0);
    std::vector<dnnl::memory> memories(shapes.size());
    for (std::size_t t = 0; t < shapes.size(); ++t) {
        const int st = schedule.storage[t];
        if (st >= 0 && storageBytes[static_cast<std::size_t>(st)] > 0) {
            d->tensorOffset[t] = storageOffset[static_cast<std::size_t>(st)];
            memories[t] = dnnl::memory(activationMd(static_cast<int>(t)), d->engine,
                                       d->arena.get() + d->tensorOffset[t]);
        }
    }

    if (types[0] == dt::bf16) {
        // The caller writes float32; the first step turns it into the network's bf16 input.
        const TensorShape& s = shapes[0];
        const dnnl::memory::desc userMd({1, s.c, s.h, s.w}, dt::f32, tag::nhwc);
        d->input.reset(static_cast<float*>(
            std::aligned_alloc(alignment, std::max(alignUp(userMd.get_size()), alignment))));
        if (!d->input) {
            throw std::bad_alloc();
        }
        const dnnl::memory user(userMd, d->engine, d->input.get());
        const dnnl::reorder::primitive_desc pd(user, memories[0]);
        d->primitives.push_back(dnnl::reorder(pd));
        d->args.push_back({{DNNL_ARG_FROM, user}, {DNNL_ARG_TO, memories[0]}});
        d->implementations.append(QString::fromLatin1(pd.impl_info_str()));
    }

    // The primitives, in schedule order, with their weights in the layouts they prefer.
    const Graph& graph = net.graph();
    for (const Step& step : schedule.steps) {
        const Layer& l = layers[static_cast<std::size_t>(step.layer)];
        const int out =
            step.addLayer >= 0 ? layers[static_cast<std::size_t>(step.addLayer)].output : l.output;
        std::unordered_map<int, dnnl::memory> args;
        args[DNNL_ARG_DST] = memories[static_cast<std::size_t>(out)];
        switch (l.kind) {
        case Layer::Kind::conv:
        case Layer::Kind::depthwiseConv: {
            const bool depthwise = l.kind == Layer::Kind::depthwiseConv;
            const TensorShape& in = shapes[static_cast<std::size_t>(l.inputs[0])];
            const TensorShape& o = shapes[static_cast<std::size_t>(l.output)];
            const ConstTensor& filter = graph.constant(l.filter);
            const int kh = l.kernelH, kw = l.kernelW;
            // TensorFlow keeps [kh][kw][in][out] (depthwise: [kh][kw][channel][multiplier]),
            // which oneDNN reads as hwio (hwigo); the reorder below makes the kernel's layout.
            const int multiplier = depthwise ? static_cast<int>(filter.shape[3]) : 1;
            const dnnl::memory::dims wdims = depthwise
                                                 ? dnnl::memory::dims{in.c, multiplier, 1, kh, kw}
                                                 : dnnl::memory::dims{o.c, in.c, kh, kw};
            const dnnl::memory::desc userWeightsMd(wdims, dt::f32,
                                                   depthwise ? tag::hwigo : tag::hwio);
            // A layer computes in the format of what it reads.
            const dnnl::memory::desc anyWeightsMd(
                wdims, types[static_cast<std::size_t>(l.inputs[0])], tag::any);
            const dnnl::memory::desc biasMd({o.c}, dt::f32, tag::x);
            const dnnl::memory::desc srcMd = activationMd(l.inputs[0]);
            const dnnl::memory::desc dstMd = activationMd(out);
            const dnnl::memory::dims strides{l.strideH, l.strideW};
            const dnnl::memory::dims padL{l.padTop, l.padLeft}, padR{l.padBottom, l.padRight};
            const auto desc =
                l.bias.isEmpty()
                    ? dnnl::convolution_forward::desc(dnnl::prop_kind::forward_inference,
                                                      dnnl::algorithm::convolution_direct, srcMd,
                                                      anyWeightsMd, dstMd, strides, padL, padR)
                    : dnnl::convolution_forward::desc(
                          dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct,
                          srcMd, anyWeightsMd, biasMd, dstMd, strides, padL, padR);
            dnnl::post_ops ops;
            if (l.activation == Activation::relu) {
                ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_relu, 0.0f, 0.0f);
            } else if (l.activation == Activation::relu6) {
                ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_clip, 0.0f, 6.0f);
            }
            if (step.addLayer >= 0) {
                ops.append_sum(1.0f); // dst = activation(conv) + dst: the residual in place
            }
            dnnl::primitive_attr attr;
            attr.set_post_ops(ops);
            const dnnl::convolution_forward::primitive_desc pd(desc, attr, d->engine);
            dnnl::memory userWeights(userWeightsMd, d->engine,
                                     const_cast<float*>(filter.floats.data()));
            dnnl::memory weights(pd.weights_desc(), d->engine);
            dnnl::reorder(userWeights, weights).execute(d->stream, userWeights, weights);
            d->stream.wait();
            args[DNNL_ARG_SRC] = memories[static_cast<std::size_t>(l.inputs[0])];
            args[DNNL_ARG_WEIGHTS] = weights;
            if (!l.bias.isEmpty()) {
                dnnl::memory bias(biasMd, d->engine);
                const std::vector<float>& b = graph.constant(l.bias).floats;
                std::copy(b.begin(), b.end(), static_cast<float*>(bias.get_data_handle()));
                args[DNNL_ARG_BIAS] = bias;
            }
            d->primitives.push_back(dnnl::convolution_forward(pd));
            d->implementations.append(QString::fromLatin1(pd.impl_info_str()));
            break;
        }
        case Layer::Kind::add: {
            const dnnl::binary::desc desc(dnnl::algorithm::binary_add, activationMd(l.inputs[0]),
                                          activationMd(l.inputs[1]), activationMd(out));
            const dnnl::binary::primitive_desc pd(desc, d->engine);
            args[DNNL_ARG_SRC_0] = memories[static_cast<std::size_t>(l.inputs[0])];
            args[DNNL_ARG_SRC_1] = memories[static_cast<std::size_t>(l.inputs[1])];
            d->primitives.push_back(dnnl::binary(pd));
            d->implementations.append(QString::fromLatin1(pd.impl_info_str()));
            break;
        }
        case Layer::Kind::resizeBilinear: {
            // oneDNN's linear resampling samples at half-pixel centres and clamps at the
            // edges, as ResizeBilinear with half_pixel_centers does.
            const dnnl::resampling_forward::desc desc(dnnl::prop_kind::forward_inference,
                                                      dnnl::algorithm::resampling_linear,
                                                      activationMd(l.inputs[0]), activationMd(out));
            const dnnl::resampling_forward::primitive_desc pd(desc, d->engine);
            args[DNNL_ARG_SRC] = memories[static_cast<std::size_t>(l.inputs[0])];
            d->primitives.push_back(dnnl::resampling_forward(pd));
            d->implementations.append(QString::fromLatin1(pd.impl_info_str()));
            break;
        }
        }
        d->args.push_back(std::move(args));
    }
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

bool Engine::hasNativeBf16() {
    const auto isa = static_cast<unsigned>(dnnl::get_effective_cpu_isa());
    const auto bf16 = static_cast<unsigned>(dnnl::cpu_isa::avx512_core_bf16);
    return (isa & bf16) == bf16; // AMX includes it
}

QString Engine::cpuIsaName() {
    switch (dnnl::get_effective_cpu_isa()) {
    case dnnl::cpu_isa::all:
        return QStringLiteral("all");
    case dnnl::cpu_isa::sse41:
        return QStringLiteral("sse41");
    case dnnl::cpu_isa::avx:
        return QStringLiteral("avx");
    case dnnl::cpu_isa::avx2:
        return QStringLiteral("avx2");
    case dnnl::cpu_isa::avx2_vnni:
        return QStringLiteral("avx2_vnni");
    case dnnl::cpu_isa::avx512_mic:
        return QStringLiteral("avx512_mic");
    case dnnl::cpu_isa::avx512_mic_4ops:
        return QStringLiteral("avx512_mic_4ops");
    case dnnl::cpu_isa::avx512_core:
        return QStringLiteral("avx512_core");
    case dnnl::cpu_isa::avx512_core_vnni:
        return QStringLiteral("avx512_core_vnni");
    case dnnl::cpu_isa::avx512_core_bf16:
        return QStringLiteral("avx512_core_bf16");
    case dnnl::cpu_isa::avx512_core_amx:
        return QStringLiteral("avx512_core_amx");
    }
    return QStringLiteral("unknown");
}

} // namespace quorvel::movenet
