#include "platform/video/VideoDecoderBackend.hpp"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
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

#include "platform/video/PictureConverter.hpp"

namespace corvane::platform {

namespace {

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

struct VideoDecoderBackend::Impl {
    struct Job {
        Bytes data;
        OutputHandler handler;
        std::optional<VideoFormat> format;  // set on the first unit after a format change
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
    PictureConverter converter;
    VideoFormat decodingFormat;
    std::map<std::int64_t, OutputHandler> pending;  // units in the decoder, by the id carried as pts
    std::int64_t nextId = 0;

    int open(const VideoFormat& source, bool tryHardware);
    int send(Bytes data, std::int64_t id);
    void run();
    void process(Job job);
    void receiveAll(std::int64_t current);
    void deliver(AVFrame* picture);
    void finish(std::int64_t id, int status, std::shared_ptr<PixelBuffer> image);
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
    int status = impl->open(format, options.allowHardware);
    if (status < 0 && impl->device) status = impl->open(format, false);
    if (status < 0) return Created{status, nullptr};
    // The thread owns the state it touches, so it stays sound even when it must detach from itself.
    impl->thread = std::thread([impl] { impl->run(); });
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

int VideoDecoderBackend::decode(Bytes accessUnit, OutputHandler handler, bool evictWhenFull,
                                std::size_t* evicted) {
    Impl& impl = *impl_;
    std::deque<Impl::Job> dropped;
    {
        std::lock_guard guard(impl.lock);
        if (impl.stopping) return AVERROR(EINVAL);
        if (impl.queue.size() >= impl.options.queueLimit) {
            if (!evictWhenFull) return busyStatus;
            dropped.swap(impl.queue);
        }
    }
    if (evicted) *evicted = dropped.size();
    // A dropped unit may have carried new parameter sets; this one carries them instead.
    for (Impl::Job& job : dropped)
        if (job.format && !impl.formatToSend) impl.formatToSend = std::move(job.format);
    Impl::Job job{std::move(accessUnit), std::move(handler), std::nullopt};
    if (impl.formatToSend) {
        // libavcodec takes new parameter sets only in front of a picture's own units. Rare enough (a
        // change of the box's screen) to be worth the one extra copy.
        const Bytes sets = impl.formatToSend->annexB();
        Bytes joined;
        joined.reserve(sets.size() + job.data.size() + paddingBytes);
        joined.insert(joined.end(), sets.begin(), sets.end());
        joined.insert(joined.end(), job.data.begin(), job.data.end());
        job.data = std::move(joined);
        job.format = impl.formatToSend;
    }
    {
        // Only this thread adds units, so the room found above is still there.
        std::lock_guard guard(impl.lock);
        if (impl.stopping) return AVERROR(EINVAL);
        impl.queue.push_back(std::move(job));
    }
    impl.formatToSend.reset();
    impl.changed.notify_all();
    return 0;
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

void VideoDecoderBackend::Impl::run() {
    pthread_setname_np(pthread_self(), "corvane.decode");
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
    pending.emplace(id, std::move(job.handler));
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
    const AVFrame* source = picture;
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
    std::shared_ptr<PixelBuffer> image = converter.convert(*source, options.output, decodingFormat.extensions());
    const int status = image ? 0 : AVERROR(ENOMEM);
    finish(id, status, std::move(image));
}

void VideoDecoderBackend::Impl::finish(std::int64_t id, int status, std::shared_ptr<PixelBuffer> image) {
    const auto found = pending.find(id);
    if (found == pending.end()) return;
    OutputHandler handler = std::move(found->second);
    pending.erase(found);
    if (handler) handler(status, std::move(image));
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
