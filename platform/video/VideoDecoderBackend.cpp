#include "platform/video/VideoDecoderBackend.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <pthread.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

#include "platform/realtime/TimeSlice.hpp"
#include "platform/video/ChromaWeave.hpp"
#include "platform/video/PictureConverter.hpp"

namespace corvane::platform {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool hasVaapiPath(const AVCodec* codec) {
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
        if (!config) return false;
        if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0 &&
            config->device_type == AV_HWDEVICE_TYPE_VAAPI)
            return true;
    }
}

}  // namespace

static_assert(VideoDecoderBackend::paddingBytes >= AV_INPUT_BUFFER_PADDING_SIZE);

namespace {

// The decoding threads' turns: as short as the view's main thread's.
constexpr std::chrono::microseconds decodeSlice{300};

}  // namespace

struct VideoDecoderBackend::Impl {
    struct Job {
        Bytes data;
        OutputHandler handler;
        std::optional<VideoFormat> format;  // set on the first unit after a format change
        bool keyframe = false;
        Timing timing;
    };

    struct Pending {
        OutputHandler handler;
        Timing timing;
    };

    // A picture handed out in the decoder's own buffers. Kept for reuse: once the pool holds the only
    // reference, its buffers go back to the decoder and the entry takes the next picture.
    struct Wrapped {
        AVFrame* frame = av_frame_alloc();
        std::vector<std::uint8_t> chroma;  // a 4:2:0 picture's Cb and Cr, woven
        std::optional<PixelBuffer> picture;
        Wrapped() = default;
        Wrapped(const Wrapped&) = delete;
        Wrapped& operator=(const Wrapped&) = delete;
        ~Wrapped() { av_frame_free(&frame); }
    };
    static constexpr std::size_t wrappedKept = 12;

    // The fallback conversion, shared by the deferred pictures of the session and run on whichever thread
    // first reads one of them.
    struct Fallback {
        std::mutex lock;
        PictureConverter converter;
    };

    // What libavcodec decodes on, as far as it has told.
    enum Hardware : int { unknown = -1, no = 0, yes = 1 };

    explicit Impl(Options options, VideoFormat format)
        : options(options), format(std::move(format)), decodingFormat(this->format) {}

    ~Impl() {
        avcodec_free_context(&context);
        av_buffer_unref(&device);
        av_packet_free(&packet);
        av_frame_free(&frame);
        av_frame_free(&transfer);
    }

    const Options options;

    // Shared between the owner's thread and "corvane.decode"; held only to copy, push or pop.
    mutable std::mutex lock;
    std::condition_variable changed;
    std::deque<Job> queue;
    bool stopping = false;
    bool working = false;  // the thread holds a unit it took from the queue
    VideoFormat format;    // the format the owner last gave
    std::thread thread;
    std::atomic<int> hardware{unknown};

    // The owner's thread only: parameter sets to pass in front of the next unit.
    std::optional<VideoFormat> formatToSend;

    // "corvane.decode" only (and create() before the thread starts).
    AVCodecContext* context = nullptr;
    AVBufferRef* device = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* transfer = nullptr;
    std::vector<std::shared_ptr<Wrapped>> wrapped;
    std::shared_ptr<Fallback> fallback;
    VideoFormat decodingFormat;
    std::map<std::int64_t, Pending> pending;  // units in the decoder, by the id carried as pts
    std::int64_t nextId = 0;

    int open(const VideoFormat& source, bool tryHardware);
    int send(Bytes data, std::int64_t id);
    // Opens the codec, answers `opened` with the status, and decodes until stopped when it opened. The
    // thread owns `opened`: create() may return, and drop what it holds, while set_value is still running.
    void run(std::promise<int> opened);
    void process(Job job);
    void receiveAll(std::int64_t current);
    void deliver(AVFrame* picture);
    std::shared_ptr<const PixelBuffer> output(AVFrame* picture);
    std::shared_ptr<const PixelBuffer> wrap(AVFrame* picture, PixelBuffer::Format format, PixelBuffer::ColorSpace color);
    std::shared_ptr<const PixelBuffer> deferred(AVFrame* picture);
    void finish(std::int64_t id, int status, std::shared_ptr<const PixelBuffer> image);
    void retire(std::int64_t current);
    void drain();
};

namespace {

AVPixelFormat pickFormat(AVCodecContext* context, const AVPixelFormat* formats) {
    // libavcodec asks again, without the hardware format, when that one fails to start: the last answer
    // is the one that holds.
    auto* impl = static_cast<VideoDecoderBackend::Impl*>(context->opaque);
    if (context->hw_device_ctx) {
        for (const AVPixelFormat* p = formats; *p != AV_PIX_FMT_NONE; ++p) {
            if (*p == AV_PIX_FMT_VAAPI) {
                impl->hardware = VideoDecoderBackend::Impl::yes;
                return *p;
            }
        }
    }
    // This stream has no hardware path: decode it in software.
    impl->hardware = VideoDecoderBackend::Impl::no;
    for (const AVPixelFormat* p = formats; *p != AV_PIX_FMT_NONE; ++p) {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*p);
        if (descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) == 0) return *p;
    }
    return AV_PIX_FMT_NONE;
}

AVCodecID codecID(VideoFormat::Codec codec) { return codec == VideoFormat::Codec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC; }

}  // namespace

bool VideoDecoderBackend::canDecode(VideoFormat::Codec codec) { return avcodec_find_decoder(codecID(codec)) != nullptr; }

int VideoDecoderBackend::Impl::open(const VideoFormat& source, bool tryHardware) {
    const AVCodec* codec = avcodec_find_decoder(codecID(source.codec()));
    if (!codec) return AVERROR_DECODER_NOT_FOUND;
    avcodec_free_context(&context);
    av_buffer_unref(&device);
    context = avcodec_alloc_context3(codec);
    if (!context) return AVERROR(ENOMEM);
    const Bytes sets = source.annexB();
    context->extradata = static_cast<std::uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context->extradata) return AVERROR(ENOMEM);
    std::memcpy(context->extradata, sets.data(), sets.size());
    context->extradata_size = static_cast<int>(sets.size());
    // Pictures leave as soon as they are decoded, and never before the decoder has a clean reference.
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
    context->opaque = this;
    context->get_format = pickFormat;
    // Later parameter sets in the stream itself may not claim more than a format may.
    context->max_pixels = VideoFormat::maxPixels;

    hardware = unknown;
    if (tryHardware && hasVaapiPath(codec) &&
        av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) == 0) {
        context->hw_device_ctx = av_buffer_ref(device);
        if (!context->hw_device_ctx) return AVERROR(ENOMEM);
        context->thread_count = 1;
    } else {
        // Slice threads add no delay; frame threads would hold pictures back by one frame per thread.
        context->thread_count = 0;
        context->thread_type = FF_THREAD_SLICE;
    }
    return avcodec_open2(context, codec, nullptr);
}

VideoDecoderBackend::Created VideoDecoderBackend::create(const VideoFormat& format, Options options) {
    if (options.queueLimit == 0) options.queueLimit = 1;
    auto impl = std::make_shared<Impl>(options, format);
    impl->packet = av_packet_alloc();
    impl->frame = av_frame_alloc();
    impl->transfer = av_frame_alloc();
    if (!impl->packet || !impl->frame || !impl->transfer) return Created{AVERROR(ENOMEM), nullptr};
    // The codec is opened on the thread that decodes, so that libavcodec's own threads start from it and
    // take its turns. The thread owns the state it touches, so it stays sound even when it must detach from
    // itself.
    std::promise<int> opened;
    std::future<int> answer = opened.get_future();
    impl->thread = std::thread([impl](std::promise<int> owned) { impl->run(std::move(owned)); }, std::move(opened));
    const int status = answer.get();
    if (status < 0) {
        impl->thread.join();
        return Created{status, nullptr};
    }
    return Created{0, std::unique_ptr<VideoDecoderBackend>(new VideoDecoderBackend(impl))};
}

VideoDecoderBackend::VideoDecoderBackend(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

VideoDecoderBackend::~VideoDecoderBackend() { invalidate(); }

std::optional<bool> VideoDecoderBackend::usingHardware() const {
    const int hardware = impl_->hardware;
    if (hardware == Impl::unknown) return std::nullopt;
    return hardware == Impl::yes;
}

VideoFormat VideoDecoderBackend::format() const {
    std::lock_guard guard(impl_->lock);
    return impl_->format;
}

bool VideoDecoderBackend::canAcceptFormat(const VideoFormat& next) const {
    std::lock_guard guard(impl_->lock);
    const VideoFormat& current = impl_->format;
    return next.codec() == current.codec() && next.width() == current.width() &&
           next.height() == current.height() && next.bitDepth() == current.bitDepth() &&
           next.chromaFormat() == current.chromaFormat();
}

void VideoDecoderBackend::replaceFormat(const VideoFormat& next) {
    {
        std::lock_guard guard(impl_->lock);
        impl_->format = next;
    }
    impl_->formatToSend = next;
}

namespace {

// Moves `format` onto a unit: its parameter sets go in front of the unit's bytes (libavcodec takes new sets
// only in front of a picture's own units). Rare enough (a change of the box's screen) to be worth the one
// extra copy.
void carry(std::optional<VideoFormat>& format, Bytes& data, std::optional<VideoFormat>& carried) {
    const Bytes sets = format->annexB();
    Bytes joined;
    joined.reserve(sets.size() + data.size() + VideoDecoderBackend::paddingBytes);
    joined.insert(joined.end(), sets.begin(), sets.end());
    joined.insert(joined.end(), data.begin(), data.end());
    data = std::move(joined);
    carried = std::move(format);
    format.reset();
}

}  // namespace

VideoDecoderBackend::Queued VideoDecoderBackend::decode(Bytes accessUnit, bool keyframe, OutputHandler handler) {
    Impl& impl = *impl_;
    Impl::Job job{std::move(accessUnit), std::move(handler), std::nullopt, keyframe, {}};
    std::deque<Impl::Job> dropped;  // let go of after the lock
    std::optional<VideoFormat> droppedFormat;
    {
        std::lock_guard guard(impl.lock);
        if (impl.stopping) return {AVERROR(EINVAL), 0};
        if (impl.queue.size() >= impl.options.queueLimit) {
            if (keyframe) {
                dropped.swap(impl.queue);
            } else {
                // The newest waiting keyframe behind the front one (the front may be in the decoder's hands
                // next; skipping to it gains nothing).
                auto newest = std::find_if(impl.queue.rbegin(), std::prev(impl.queue.rend()),
                                           [](const Impl::Job& waiting) { return waiting.keyframe; });
                if (newest == std::prev(impl.queue.rend())) return {busyStatus, 0};
                const auto keep = std::prev(newest.base());
                std::move(impl.queue.begin(), keep, std::back_inserter(dropped));
                impl.queue.erase(impl.queue.begin(), keep);
            }
            // A dropped unit may have carried new parameter sets: the unit that now leads carries them.
            for (Impl::Job& gone : dropped)
                if (gone.format) droppedFormat = std::move(gone.format);
            if (droppedFormat && !impl.queue.empty() && !impl.queue.front().format)
                carry(droppedFormat, impl.queue.front().data, impl.queue.front().format);
        }
        if (droppedFormat && !impl.formatToSend) impl.formatToSend = std::move(droppedFormat);
        if (impl.formatToSend) carry(impl.formatToSend, job.data, job.format);
        job.timing.queuedAt = steadySeconds();
        job.timing.waitingAhead = impl.queue.size();
        impl.queue.push_back(std::move(job));
    }
    impl.changed.notify_all();
    return {0, dropped.size()};
}

std::size_t VideoDecoderBackend::discardQueued() {
    std::deque<Impl::Job> dropped;
    {
        std::lock_guard guard(impl_->lock);
        dropped.swap(impl_->queue);
    }
    impl_->changed.notify_all();
    // A dropped unit may have carried new parameter sets; the next one carries them instead.
    for (Impl::Job& job : dropped)
        if (job.format && !impl_->formatToSend) impl_->formatToSend = std::move(job.format);
    return dropped.size();
}

void VideoDecoderBackend::waitForAsynchronousFrames() {
    Impl& impl = *impl_;
    if (std::this_thread::get_id() == impl.thread.get_id()) return;  // a handler asking: it cannot wait on itself
    std::unique_lock guard(impl.lock);
    impl.changed.wait(guard, [&] { return impl.stopping || (impl.queue.empty() && !impl.working); });
}

void VideoDecoderBackend::invalidate() {
    Impl& impl = *impl_;
    std::deque<Impl::Job> dropped;
    {
        std::lock_guard guard(impl.lock);
        impl.stopping = true;
        dropped.swap(impl.queue);
    }
    impl.changed.notify_all();
    if (!impl.thread.joinable()) return;
    if (impl.thread.get_id() == std::this_thread::get_id())
        impl.thread.detach();
    else
        impl.thread.join();
}

void VideoDecoderBackend::Impl::run(std::promise<int> opened) {
    pthread_setname_np(pthread_self(), "corvane.decode");
    // Woken by every unit, with a burst of work on the way to the screen, while the rasteriser fills the
    // cores: short turns let it (and the codec's threads, which start from it) in when it wakes rather than
    // after the turns of others.
    TimeSlice::shortenCallingThread(decodeSlice);
    int status = open(format, options.allowHardware);
    if (status < 0 && device) status = open(format, false);
    opened.set_value(status);  // create() goes on from here
    if (status < 0) return;
    for (;;) {
        Job job;
        {
            std::unique_lock guard(lock);
            changed.wait(guard, [&] { return stopping || !queue.empty(); });
            if (stopping) break;
            job = std::move(queue.front());
            queue.pop_front();
            working = true;
        }
        process(std::move(job));
        {
            std::lock_guard guard(lock);
            working = false;
        }
        changed.notify_all();
    }
    drain();
}

void VideoDecoderBackend::Impl::process(Job job) {
    if (job.format) decodingFormat = std::move(*job.format);
    const std::int64_t id = nextId++;
    job.timing.startedAt = steadySeconds();
    pending.emplace(id, Pending{std::move(job.handler), job.timing});
    const int status = send(std::move(job.data), id);
    if (status < 0 && status != AVERROR(EAGAIN)) finish(id, status, nullptr);
    receiveAll(id);
    retire(id);
}

// Hands the bytes to libavcodec in their own buffer: libavcodec keeps a reference instead of a copy.
int VideoDecoderBackend::Impl::send(Bytes data, std::int64_t id) {
    const std::size_t size = data.size();
    if (size > static_cast<std::size_t>(INT32_MAX) - paddingBytes) return AVERROR(EINVAL);
    data.resize(size + paddingBytes, 0);  // within the capacity when the caller left the room
    auto* owned = new Bytes(std::move(data));
    packet->buf = av_buffer_create(
        owned->data(), static_cast<int>(owned->size()),
        [](void* opaque, std::uint8_t*) { delete static_cast<Bytes*>(opaque); }, owned, 0);
    if (!packet->buf) {
        delete owned;
        return AVERROR(ENOMEM);
    }
    packet->data = owned->data();
    packet->size = static_cast<int>(size);
    packet->pts = id;
    const int status = avcodec_send_packet(context, packet);
    av_packet_unref(packet);
    return status;
}

void VideoDecoderBackend::Impl::receiveAll(std::int64_t current) {
    for (;;) {
        const int status = avcodec_receive_frame(context, frame);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
        if (status < 0) {
            // An error that surfaces here belongs to the unit just sent.
            finish(current, status, nullptr);
            return;
        }
        deliver(frame);
        av_frame_unref(frame);
    }
}

void VideoDecoderBackend::Impl::deliver(AVFrame* picture) {
    const std::int64_t id = picture->pts != AV_NOPTS_VALUE ? picture->pts : picture->best_effort_timestamp;
    if (pending.find(id) == pending.end()) return;  // its unit was already answered
    if (picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
        finish(id, AVERROR_INVALIDDATA, nullptr);
        return;
    }
    AVFrame* source = picture;
    if (picture->format == AV_PIX_FMT_VAAPI) {
        av_frame_unref(transfer);
        const int status = av_hwframe_transfer_data(transfer, picture, 0);
        if (status < 0) {
            finish(id, status, nullptr);
            return;
        }
        av_frame_copy_props(transfer, picture);
        source = transfer;
    }
    std::shared_ptr<const PixelBuffer> image = output(source);
    const int status = image ? 0 : AVERROR(ENOMEM);
    finish(id, status, std::move(image));
}

namespace {

// The layouts the view draws as they are, and whether a J format says full range.
std::optional<PixelBuffer::Format> drawnLayout(int format, bool& fullRange) {
    fullRange = format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ444P;
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: return PixelBuffer::Format::i420;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P: return PixelBuffer::Format::i444;
    case AV_PIX_FMT_NV12: return PixelBuffer::Format::nv12;
    case AV_PIX_FMT_P010LE: return PixelBuffer::Format::x420;
    case AV_PIX_FMT_YUV420P10LE: return PixelBuffer::Format::i010;
    default: return std::nullopt;
    }
}

// The matrix a picture signals, when it is one the view's conversion knows; a picture that names none takes
// the format's colour tags (an HDR stream's), else BT.601.
std::optional<PixelBuffer::ColorSpace::Matrix> matrixOf(const AVFrame& picture,
                                                        const std::optional<VideoFormat::ColorTags>& tags) {
    using Matrix = PixelBuffer::ColorSpace::Matrix;
    switch (picture.colorspace) {
    case AVCOL_SPC_BT709: return Matrix::bt709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return Matrix::bt601;
    case AVCOL_SPC_BT2020_NCL: return Matrix::bt2020;
    case AVCOL_SPC_UNSPECIFIED:
    case AVCOL_SPC_RESERVED:
        return tags && tags->matrix == VideoFormat::matrixBT2020 ? Matrix::bt2020 : Matrix::bt601;
    default: return std::nullopt;  // RGB, YCgCo, constant luminance and the rest: the fallback's
    }
}

// The transfer function a picture signals. Only PQ and HLG are drawn apart: every other curve (BT.709,
// BT.601, BT.2020, sRGB, plain gammas) is a standard screen's own. One that names none takes the format's
// colour tags, so it is high dynamic range only in a stream tagged HDR.
PixelBuffer::ColorSpace::Transfer transferOf(const AVFrame& picture,
                                             const std::optional<VideoFormat::ColorTags>& tags) {
    using Transfer = PixelBuffer::ColorSpace::Transfer;
    switch (picture.color_trc) {
    case AVCOL_TRC_SMPTE2084: return Transfer::pq;
    case AVCOL_TRC_ARIB_STD_B67: return Transfer::hlg;
    case AVCOL_TRC_UNSPECIFIED:
    case AVCOL_TRC_RESERVED:
    case AVCOL_TRC_RESERVED0:
        return tags && tags->transfer == VideoFormat::transferPQ ? Transfer::pq : Transfer::sdr;
    default: return Transfer::sdr;
    }
}

// BT.2020 primaries only where the picture (or, naming none, the format's tags) says so; the rest are shown
// as the screen's own.
PixelBuffer::ColorSpace::Primaries primariesOf(const AVFrame& picture,
                                               const std::optional<VideoFormat::ColorTags>& tags) {
    using Primaries = PixelBuffer::ColorSpace::Primaries;
    switch (picture.color_primaries) {
    case AVCOL_PRI_BT2020: return Primaries::bt2020;
    case AVCOL_PRI_UNSPECIFIED:
    case AVCOL_PRI_RESERVED:
    case AVCOL_PRI_RESERVED0:
        return tags && tags->primaries == VideoFormat::primariesBT2020 ? Primaries::bt2020 : Primaries::bt709;
    default: return Primaries::bt709;
    }
}

}  // namespace

std::shared_ptr<const PixelBuffer> VideoDecoderBackend::Impl::output(AVFrame* picture) {
    bool fullRange = false;
    const std::optional<PixelBuffer::Format> layout = drawnLayout(picture->format, fullRange);
    const auto& tags = decodingFormat.extensions();
    const auto matrix = matrixOf(*picture, tags);
    if (layout && matrix)
        return wrap(picture, *layout,
                    {*matrix, fullRange || picture->color_range == AVCOL_RANGE_JPEG, transferOf(*picture, tags),
                     primariesOf(*picture, tags)});
    return deferred(picture);
}

std::shared_ptr<const PixelBuffer> VideoDecoderBackend::Impl::wrap(AVFrame* picture, PixelBuffer::Format format,
                                                                 PixelBuffer::ColorSpace color) {
    const PixelBuffer::Layout shape = PixelBuffer::layout(format);
    std::array<PixelBuffer::Plane, 3> planes{};
    for (int p = 0; p < shape.planes; ++p) {
        const bool half = p > 0 && shape.subsampled;
        const int w = half ? (picture->width + 1) / 2 : picture->width;
        const int h = half ? (picture->height + 1) / 2 : picture->height;
        if (!picture->data[p] || picture->linesize[p] < w * shape.bytesPerSample[std::size_t(p)]) return nullptr;
        planes[std::size_t(p)] = {picture->data[p], picture->linesize[p], w, h};
    }
    // Entries nobody else holds give their buffers back to the decoder now, not when next used.
    std::shared_ptr<Wrapped> entry;
    for (auto& kept : wrapped) {
        if (kept.use_count() != 1) continue;
        // Pairs with the release in the last holder's let-go: its reads come before our reuse.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (kept->picture) {
            kept->picture.reset();
            av_frame_unref(kept->frame);
        }
        if (!entry) entry = kept;
    }
    if (!entry) {
        entry = std::make_shared<Wrapped>();
        if (wrapped.size() < wrappedKept) wrapped.push_back(entry);
    }
    if (!entry->frame) return nullptr;
    if (format == PixelBuffer::Format::i420) {
        // Handed out with Cb and Cr woven, as the view draws them: at large sizes the view's thread is what
        // limits the pictures shown a second, and the decoder's thread has time to spare between pictures.
        if (!weaveChroma(planes[1], planes[2], entry->chroma)) return nullptr;
        planes[1] = {entry->chroma.data(), 2 * planes[1].width, planes[1].width, planes[1].height};
        planes[2] = {};
        format = PixelBuffer::Format::nv12;
    }
    av_frame_move_ref(entry->frame, picture);
    entry->picture.emplace(format, entry->frame->width, entry->frame->height, planes,
                           PixelBuffer::layout(format).planes, color, nullptr);
    return std::shared_ptr<const PixelBuffer>(entry, &*entry->picture);
}

std::shared_ptr<const PixelBuffer> VideoDecoderBackend::Impl::deferred(AVFrame* picture) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
    const bool deep = descriptor && descriptor->comp[0].depth > 8;
    const PixelBuffer::Format target = deep ? PixelBuffer::Format::x420 : PixelBuffer::Format::bgra;
    const auto tags = decodingFormat.extensions();
    // The conversion keeps the matrix and makes video range; BGRA is shown as it is, so only the 10-bit
    // target keeps the picture's transfer and primaries.
    PixelBuffer::ColorSpace color;
    if (const auto matrix = matrixOf(*picture, tags)) color.matrix = *matrix;
    if (deep) {
        color.transfer = transferOf(*picture, tags);
        color.primaries = primariesOf(*picture, tags);
    }
    AVFrame* held = av_frame_alloc();
    if (!held) return nullptr;
    av_frame_move_ref(held, picture);
    std::shared_ptr<AVFrame> source(held, [](AVFrame* frame) { av_frame_free(&frame); });
    if (!fallback) fallback = std::make_shared<Fallback>();
    return PixelBuffer::deferred(target, held->width, held->height, color,
                                 [source, target, tags, fallback = fallback]() -> std::shared_ptr<const PixelBuffer> {
                                     std::lock_guard guard(fallback->lock);
                                     return fallback->converter.convert(*source, target, tags);
                                 });
}

void VideoDecoderBackend::Impl::finish(std::int64_t id, int status, std::shared_ptr<const PixelBuffer> image) {
    const auto found = pending.find(id);
    if (found == pending.end()) return;
    Pending answered = std::move(found->second);
    pending.erase(found);
    if (answered.handler) answered.handler(status, std::move(image), answered.timing);
}

void VideoDecoderBackend::Impl::retire(std::int64_t current) {
    // Units the decoder can no longer answer with a picture: it holds back at most its reorder depth.
    std::int64_t depth = context->has_b_frames;
    if ((context->active_thread_type & FF_THREAD_FRAME) != 0) depth += context->thread_count;
    while (!pending.empty() && pending.begin()->first <= current - depth)
        finish(pending.begin()->first, 0, nullptr);
}

void VideoDecoderBackend::Impl::drain() {
    if (avcodec_send_packet(context, nullptr) == 0) receiveAll(nextId);
    pending.clear();
}

}  // namespace corvane::platform
