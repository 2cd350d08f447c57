#include "engine/video/VideoDecoder.hpp"

#include <utility>

#include "engine/EngineLog.hpp"
#include "engine/Uptime.hpp"
#include "engine/video/AnnexB.hpp"

namespace corvane::stream {

namespace {

int h264Type(ByteView nal) { return nal[0] & 0x1F; }
int hevcType(ByteView nal) { return (nal[0] >> 1) & 0x3F; }

}  // namespace

VideoDecoder::VideoDecoder(StreamConfig::Codec codec, bool tenBit, std::size_t queueLimit, bool allowHardware)
    : codec(codec), tenBit(tenBit), queueLimit_(queueLimit), allowHardware_(allowHardware) {
    if (codec == StreamConfig::Codec::av1) throw Error::unsupported("AV1");
}

bool VideoDecoder::canDecode(StreamConfig::Codec codec) {
    if (codec == StreamConfig::Codec::av1) return false;
    return platform::VideoDecoderBackend::canDecode(codec == StreamConfig::Codec::h264 ? platform::VideoFormat::Codec::h264
                                                                                      : platform::VideoFormat::Codec::hevc);
}

VideoDecoder::~VideoDecoder() {
    // Pictures that come out while the session winds down belong to no one any more.
    *closing_ = true;
    session_.reset();
}

std::optional<platform::VideoFormat::ColorTags> VideoDecoder::hdrTags(const std::vector<Bytes>& sets) {
    for (const Bytes& set : sets) {
        if (set.empty() || (set[0] & 0x7E) != 0x42) continue;
        // Byte 3 follows the two header bytes and the byte with the VPS id, sub-layer count and nesting
        // flag: profile space, tier and general_profile_idc; 2 is Main 10.
        if (set.size() > 3 && (set[3] & 0x1F) == 2)
            return platform::VideoFormat::ColorTags{platform::VideoFormat::primariesBT2020,
                                                    platform::VideoFormat::transferPQ,
                                                    platform::VideoFormat::matrixBT2020};
        return std::nullopt;
    }
    return std::nullopt;
}

bool VideoDecoder::isParameterSet(ByteView nal) const {
    if (nal.empty()) return false;
    if (codec == StreamConfig::Codec::h264) {
        const int type = h264Type(nal);
        return type == 7 || type == 8;
    }
    const int type = hevcType(nal);
    return type >= 32 && type <= 34;
}

void VideoDecoder::decode(const VideoFrame& frame) {
    const std::vector<ByteView> units = AnnexB::nalUnitViews(frame.data);
    if (frame.isKeyframe) {
        std::vector<Bytes> sets;
        for (ByteView unit : units)
            if (isParameterSet(unit)) sets.emplace_back(unit.begin(), unit.end());
        if (!sets.empty() && sets != parameterSets_) configure(sets);
    }
    if (!session_ || !format_) return;

    // libavcodec reads Annex B itself, so the sample keeps start codes; the parameter sets went to the
    // session already and stay out of it. The room at the end lets the session hand it on uncopied.
    Bytes sample;
    sample.reserve(frame.data.size() + units.size() + platform::VideoDecoderBackend::paddingBytes);
    for (ByteView unit : units) {
        if (isParameterSet(unit)) continue;
        sample.insert(sample.end(), {0, 0, 0, 1});
        sample.insert(sample.end(), unit.begin(), unit.end());
    }
    if (sample.empty()) return;
    submit(std::move(sample), frame);
    noteHardware();
}

// libavcodec settles on hardware or software decoding only when the first picture's format is known, so
// the decoder line waits for that answer.
void VideoDecoder::noteHardware() {
    if (hardwareNoted_ || !session_ || !format_) return;
    const std::optional<bool> hardware = session_->usingHardware();
    if (!hardware) return;
    hardwareNoted_ = true;
    {
        std::lock_guard guard(lock_);
        stats_.hardware = *hardware;
    }
    const bool h264 = codec == StreamConfig::Codec::h264;
    EngineLog::write("video: decoder " + std::string(h264 ? "H.264" : "HEVC") + " " + std::to_string(format_->width()) +
                     "x" + std::to_string(format_->height()) + ", " + (*hardware ? "hardware" : "SOFTWARE"));
    if (tenBit) {
        const auto extensions = format_->extensions();
        const auto printed = [&](std::string platform::VideoFormat::ColorTags::*field) {
            return extensions ? (*extensions).*field : std::string("none");
        };
        EngineLog::write("video: stream colors: transfer " + printed(&platform::VideoFormat::ColorTags::transfer) +
                         ", primaries " + printed(&platform::VideoFormat::ColorTags::primaries) + ", matrix " +
                         printed(&platform::VideoFormat::ColorTags::matrix));
    }
}

void VideoDecoder::submit(Bytes sample, const VideoFrame& frame) {
    if (waitingForKeyframe_ && !frame.isKeyframe) {
        // Its references were dropped: decoding it would only show damage.
        std::lock_guard guard(lock_);
        ++stats_.dropped;
        return;
    }
    // What the picture needs of its frame; not the frame itself, whose access unit is already in `sample`.
    VideoFrame about;
    about.index = frame.index;
    about.firstPacketAt = frame.firstPacketAt;
    about.completedAt = frame.completedAt;
    about.hostProcessingMs = frame.hostProcessingMs;
    auto handler = [this, closing = closing_, about](int status, std::shared_ptr<const platform::PixelBuffer> image,
                                                     const platform::VideoDecoderBackend::Timing& timing) {
        if (!*closing) output(status, std::move(image), timing, about);
    };
    const auto queued = session_->decode(std::move(sample), frame.isKeyframe, std::move(handler));
    if (queued.status == 0) {
        waitingForKeyframe_ = false;
        if (queued.dropped > 0) {
            std::lock_guard guard(lock_);
            stats_.dropped += static_cast<std::int64_t>(queued.dropped);
        }
        return;
    }
    if (queued.status == platform::VideoDecoderBackend::busyStatus) {
        {
            std::lock_guard guard(lock_);
            ++stats_.dropped;
        }
        waitingForKeyframe_ = true;
        throw Error::behind();
    }
    {
        std::lock_guard guard(lock_);
        ++stats_.errors;
    }
    throw Error::decode(queued.status);
}

void VideoDecoder::output(int status, std::shared_ptr<const platform::PixelBuffer> image,
                          const platform::VideoDecoderBackend::Timing& timing, const VideoFrame& frame) {
    if (status != 0 || !image) {
        std::lock_guard guard(lock_);
        ++stats_.errors;
        return;
    }
    {
        std::lock_guard guard(lock_);
        ++stats_.decoded;
    }
    DecodedFrame decoded;
    decoded.image = std::move(image);
    decoded.frameIndex = frame.index;
    decoded.firstPacketAt = frame.firstPacketAt;
    decoded.decodedAt = uptimeSeconds();
    decoded.hostProcessingMs = frame.hostProcessingMs;
    decoded.assembledAt = frame.completedAt;
    decoded.queuedAt = timing.queuedAt;
    decoded.decodeStartedAt = timing.startedAt;
    decoded.queuedBehind = static_cast<int>(timing.waitingAhead);
    // Last, and through a copy: the owner may release the decoder from inside onFrame.
    const FrameHandler handler = onFrame;
    if (handler) handler(decoded);
}

void VideoDecoder::configure(const std::vector<Bytes>& sets) {
    const bool h264 = codec == StreamConfig::Codec::h264;
    std::vector<Bytes> ordered;
    const std::vector<int> order = h264 ? std::vector<int>{7, 8} : std::vector<int>{32, 33, 34};
    for (int type : order)
        for (const Bytes& set : sets)
            if (!set.empty() && (h264 ? h264Type(set) : hevcType(set)) == type) ordered.push_back(set);
    if (ordered.empty()) throw Error::noParameterSets();

    // Only a stream asked for as HDR is taken for HDR10 where it names no colours of its own.
    auto tags = h264 || !tenBit ? std::nullopt : hdrTags(ordered);
    auto made = platform::VideoFormat::make(h264 ? platform::VideoFormat::Codec::h264 : platform::VideoFormat::Codec::hevc,
                                            std::move(ordered), std::move(tags));
    if (made.status != 0 || !made.format) throw Error::formatDescription(made.status);
    platform::VideoFormat& format = *made.format;

    if (session_ && session_->canAcceptFormat(format)) {
        session_->replaceFormat(format);
        format_ = std::move(format);
        parameterSets_ = sets;
        return;
    }
    if (session_) {
        session_->waitForAsynchronousFrames();
        session_->invalidate();
        session_.reset();
    }

    platform::VideoDecoderBackend::Options options;
    options.allowHardware = allowHardware_;
    options.queueLimit = queueLimit_;
    auto created = platform::VideoDecoderBackend::create(format, options);
    if (!created.session) throw Error::session(created.status);
    session_ = std::move(created.session);
    waitingForKeyframe_ = false;
    hardwareNoted_ = false;
    const int width = format.width();
    const int height = format.height();
    format_ = std::move(format);
    parameterSets_ = sets;
    {
        std::lock_guard guard(lock_);
        stats_.hardware.reset();
        stats_.width = width;
        stats_.height = height;
    }
    noteHardware();
}

VideoDecoder::Stats VideoDecoder::stats() const {
    std::lock_guard guard(lock_);
    return stats_;
}

void VideoDecoder::flush() {
    if (!session_) return;
    session_->waitForAsynchronousFrames();
    noteHardware();
}

}  // namespace corvane::stream
