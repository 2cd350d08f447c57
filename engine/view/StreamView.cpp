#include "engine/view/StreamView.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <QScreen>
#include <QShowEvent>

#include "engine/EngineLog.hpp"
#include "engine/Uptime.hpp"

#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif
#ifndef GL_LUMINANCE_ALPHA
#define GL_LUMINANCE_ALPHA 0x190A
#endif

namespace corvane::stream {

namespace {

using platform::PixelBuffer;

constexpr int bgraTexture = 0;
constexpr int lumaTexture = 1;
constexpr int chromaTexture = 2;

// Old-style GLSL so one text serves desktop compatibility contexts and OpenGL ES 2 alike.
const char* const vertexShader = R"(
attribute vec2 position;
varying vec2 uv;
void main() {
    // Row 0 of the picture is its top.
    uv = vec2(position.x * 0.5 + 0.5, 0.5 - position.y * 0.5);
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

const char* const bgraFragmentShader = R"(
#ifdef GL_ES
precision mediump float;
#endif
uniform sampler2D picture;
varying vec2 uv;
void main() {
    // Bytes B, G, R, A arrive as r, g, b, a.
    gl_FragColor = vec4(texture2D(picture, uv).bgr, 1.0);
}
)";

// 10-bit 4:2:0 video range, BT.2020 primaries with the PQ transfer (HDR10), shown on an SDR target: each
// 16-bit sample arrives as two 8-bit channels (low byte, high byte); filtering is linear in both, so their
// weighted sum is the filtered sample. PQ light is mapped with the reference white (203 nits) at 1.0 and a
// soft shoulder above 0.8, converted to BT.709 primaries and encoded with a 2.2 gamma.
const char* const x420FragmentShader = R"(
#ifdef GL_ES
precision highp float;
#endif
uniform sampler2D luma;
uniform sampler2D chroma;
varying vec2 uv;

vec3 pqToNits(vec3 e) {
    vec3 p = pow(max(e, vec3(0.0)), vec3(1.0 / 78.84375));
    vec3 l = pow(max(p - vec3(0.8359375), vec3(0.0)) / (vec3(18.8515625) - 18.6875 * p),
                 vec3(1.0 / 0.1593017578125));
    return l * 10000.0;
}

float shoulder(float x) {
    return x <= 0.8 ? x : 0.8 + 0.2 * (1.0 - exp(-(x - 0.8) / 0.2));
}

void main() {
    vec4 l = texture2D(luma, uv);
    vec4 c = texture2D(chroma, uv);
    float y = (l.a * 65280.0 + l.r * 255.0) / 64.0;
    float cb = (c.g * 65280.0 + c.r * 255.0) / 64.0;
    float cr = (c.a * 65280.0 + c.b * 255.0) / 64.0;
    float Y = (y - 64.0) / 876.0;
    float U = (cb - 512.0) / 896.0;
    float V = (cr - 512.0) / 896.0;
    vec3 e = clamp(vec3(Y + 1.4746 * V, Y - 0.16455 * U - 0.57135 * V, Y + 1.8814 * U), 0.0, 1.0);
    vec3 x = pqToNits(e) / 203.0;
    vec3 rec709 = vec3( 1.6605 * x.r - 0.5876 * x.g - 0.0728 * x.b,
                       -0.1246 * x.r + 1.1329 * x.g - 0.0083 * x.b,
                       -0.0182 * x.r - 0.1006 * x.g + 1.1187 * x.b);
    rec709 = max(rec709, vec3(0.0));
    vec3 sdr = vec3(shoulder(rec709.r), shoulder(rec709.g), shoulder(rec709.b));
    gl_FragColor = vec4(pow(sdr, vec3(1.0 / 2.2)), 1.0);
}
)";

const GLfloat quad[] = {-1.f, -1.f, 1.f, -1.f, -1.f, 1.f, 1.f, 1.f};

// The five rows the brightness test reads.
std::array<int, 5> sampleRows(int h) { return {h / 5, 2 * h / 5, h / 2, 3 * h / 5, 4 * h / 5}; }

}  // namespace

StreamView::StreamView(QWidget* parent) : QOpenGLWidget(parent), clock_(uptimeSeconds) {
    secondStart = clock_();
    // Black where the picture is not, and no system background painted under the GL content.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    pacedTick.setSingleShot(true);
    pacedTick.setTimerType(Qt::PreciseTimer);
    connect(&pacedTick, &QTimer::timeout, this, [this] { runTick(); });
}

StreamView::StreamView(const QRect& frame, QWidget* parent) : StreamView(parent) { setGeometry(frame); }

StreamView::~StreamView() {
    stop();
    // The base class destroys the context after this object is gone; the hook must not run then.
    disconnect(contextConnection);
    if (isValid()) {
        makeCurrent();
        releaseGL();
        doneCurrent();
    }
}

void StreamView::setClock(std::function<double()> clock) {
    clock_ = std::move(clock);
    std::lock_guard guard(lock);
    secondStart = clock_();
}

void StreamView::markOpened() {
    openedAt = clock_();
    firstShownLogged = false;
    nonBlackSeen = false;
}

void StreamView::start() {
    if (running_) return;
    running_ = true;
    swapConnection = connect(this, &QOpenGLWidget::frameSwapped, this, &StreamView::onFrameSwapped);
    runTick();
}

void StreamView::stop() {
    if (!running_) return;
    running_ = false;
    disconnect(swapConnection);
    pacedTick.stop();
}

double StreamView::refreshInterval() const {
    const QScreen* shown = screen();
    const double rate = shown ? shown->refreshRate() : 0;
    return rate >= 20 && rate <= 500 ? 1.0 / rate : 1.0 / 60;
}

void StreamView::onFrameSwapped() {
    if (!running_) return;
    // Swaps come once per refresh with vsync; without it they come as fast as paints do, so a tick comes
    // no sooner than most of a refresh interval after the last.
    const double interval = refreshInterval();
    const double since = uptimeSeconds() - lastTickAt;
    if (since >= 0.75 * interval) {
        runTick();
        return;
    }
    pacedTick.start(std::max(1, static_cast<int>(std::ceil((interval - since) * 1000))));
}

void StreamView::runTick() {
    if (!running_) return;
    lastTickAt = uptimeSeconds();
    tick();
    const double interval = refreshInterval();
    if (uploadPending && isVisible()) {
        // The swap of this paint brings the next tick; the timer only stands in should no paint come.
        update();
        pacedTick.start(static_cast<int>(std::ceil(3 * interval * 1000)));
    } else {
        // Nothing to paint (or a hidden view): the timer keeps the refreshes, so the slot is still drained
        // and the rate still falls to 0.
        pacedTick.start(std::max(1, static_cast<int>(std::ceil(interval * 1000))));
    }
}

void StreamView::tick() {
    const double now = clock_();
    const std::optional<DecodedFrame> frame = slot_.next();

    bool fresh = false;
    {
        std::lock_guard guard(lock);
        if (frame && shownIndex != frame->frameIndex) {
            shownIndex = frame->frameIndex;
            fresh = true;
        }
    }

    if (fresh && frame->image && frame->image->plane(0).data) {
        if (frame->image->format() != PixelBuffer::Format::bgra) {
            showHDR(*frame);
        } else {
            hdrActive = false;
            current = frame;
            uploadPending = true;
        }

        if (openedAt) {
            const auto ms = static_cast<long long>((now - *openedAt) * 1000);
            if (!firstShownLogged) {
                firstShownLogged = true;
                EngineLog::write("video: first frame shown " + std::to_string(ms) + " ms after the window opened");
            }
            if (!nonBlackSeen) {
                const double luma = averageLuma(*frame->image);
                if (luma > 6.0) {
                    nonBlackSeen = true;
                    char line[160];
                    std::snprintf(line, sizeof line,
                                  "video: first non-black frame shown %lld ms after the window opened (brightness %.0f)",
                                  ms, luma);
                    EngineLog::write(line);
                    if (onFirstPicture) onFirstPicture();
                }
            }
        }

        // Each picture is presented once; whoever counts them (the overlay's frame counter) hears of it here.
        if (onPresented) onPresented(*frame);

        std::lock_guard guard(lock);
        shownThisSecond += 1;
        _shownTotal += 1;
        _decodeToShowMs = (now - frame->decodedAt) * 1000;
        const double d = (now - frame->firstPacketAt) * 1000;
        _packetToShowMs = _packetToShowMs == 0 ? d : 0.1 * d + 0.9 * _packetToShowMs;
        const double h = frame->hostProcessingMs;
        if (h > 0 && h < 1000) _hostMs = _hostMs == 0 ? h : 0.1 * h + 0.9 * _hostMs;
    }

    std::lock_guard guard(lock);
    if (now - secondStart >= 1.0) {
        _shownFPS = shownThisSecond;
        shownThisSecond = 0;
        secondStart = now;
    }
}

void StreamView::showHDR(const DecodedFrame& frame) {
    if (!hdrActive) {
        hdrActive = true;
        current.reset();
        uploadPending = true;
        EngineLog::write("video: showing HDR (10-bit) through the HDR display layer");
    }
    const PixelBuffer& picture = *frame.image;
    if (picture.format() != PixelBuffer::Format::x420 || picture.planeCount() != 2 || !picture.plane(1).data)
        return;
    current = frame;
    uploadPending = true;
}

double StreamView::averageLuma(const PixelBuffer& picture) {
    const PixelBuffer::Plane& plane = picture.plane(0);
    if (!plane.data) return 255;
    double sum = 0;
    int count = 0;
    if (picture.format() == PixelBuffer::Format::x420) {
        const int w = plane.width;
        const int h = plane.height;
        const int stride = plane.bytesPerRow / 2;
        // A row shorter than its samples cannot be read safely.
        if (w < 1 || stride < w) return 255;
        for (const int row : sampleRows(h)) {
            if (row < 0 || row >= h) continue;
            for (int x = 0; x < w; x += 16) {
                const std::size_t index = static_cast<std::size_t>(row) * static_cast<std::size_t>(stride) +
                                          static_cast<std::size_t>(x);
                sum += plane.data[index * 2 + 1];  // high byte of the little-endian sample
                ++count;
            }
        }
    } else if (picture.format() == PixelBuffer::Format::bgra) {
        const int w = plane.width;
        const int h = plane.height;
        if (plane.bytesPerRow < w * 4) return 255;
        for (const int row : sampleRows(h)) {
            if (row < 0 || row >= h) continue;
            for (int x = 0; x < w; x += 16) {
                const std::uint8_t* pixel = plane.data + static_cast<std::size_t>(row) * plane.bytesPerRow +
                                            static_cast<std::size_t>(x) * 4;
                sum += 0.114 * pixel[0] + 0.587 * pixel[1] + 0.299 * pixel[2];
                ++count;
            }
        }
    } else {
        return 255;
    }
    return count > 0 ? sum / count : 255;
}

int StreamView::shownFPS() const {
    std::lock_guard guard(lock);
    return _shownFPS;
}

int StreamView::shownTotal() const {
    std::lock_guard guard(lock);
    return _shownTotal;
}

StreamView::Latency StreamView::latencyMs() const {
    std::lock_guard guard(lock);
    return Latency{_decodeToShowMs, _packetToShowMs};
}

double StreamView::hostProcessingMs() const {
    std::lock_guard guard(lock);
    return _hostMs;
}

void StreamView::showEvent(QShowEvent* event) {
    QOpenGLWidget::showEvent(event);
    if (!focusWatched_) {
        focusWatched_ = true;
        watchFocusForPointer();
    }
}

// Drawing.

void StreamView::initializeGL() {
    initializeOpenGLFunctions();
    glGenTextures(3, textures);
    for (const unsigned int texture : textures) {
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    std::fill(std::begin(textureWidth), std::end(textureWidth), 0);
    std::fill(std::begin(textureHeight), std::end(textureHeight), 0);
    glReady = true;
    // The picture is uploaded again into the new context.
    uploadPending = current.has_value();
    // The context goes away when the widget moves to another window; its objects go with it.
    disconnect(contextConnection);
    contextConnection = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
        makeCurrent();
        releaseGL();
        doneCurrent();
    });
}

void StreamView::releaseGL() {
    if (!glReady) return;
    glDeleteTextures(3, textures);
    std::fill(std::begin(textures), std::end(textures), 0u);
    bgraProgram.reset();
    x420Program.reset();
    glReady = false;
    textureValid = false;
}

bool StreamView::ensurePrograms() {
    auto build = [](const char* fragment) {
        auto program = std::make_unique<QOpenGLShaderProgram>();
        program->addShaderFromSourceCode(QOpenGLShader::Vertex, vertexShader);
        program->addShaderFromSourceCode(QOpenGLShader::Fragment, fragment);
        program->bindAttributeLocation("position", 0);
        if (!program->link()) {
            EngineLog::write("video: shader failed: " + program->log().toStdString());
            program.reset();
        }
        return program;
    };
    if (!bgraProgram) bgraProgram = build(bgraFragmentShader);
    if (!x420Program) x420Program = build(x420FragmentShader);
    return bgraProgram && x420Program;
}

void StreamView::upload(const PixelBuffer& picture) {
    textureValid = false;
    const bool rowLength = !context()->isOpenGLES() || context()->format().majorVersion() >= 3;

    auto plane = [&](int slot, const PixelBuffer::Plane& source, GLenum format, int bytesPerTexel) {
        if (!source.data || source.width < 1 || source.height < 1 ||
            source.bytesPerRow < source.width * bytesPerTexel || source.bytesPerRow % bytesPerTexel != 0)
            return false;
        glBindTexture(GL_TEXTURE_2D, textures[slot]);
        if (textureWidth[slot] != source.width || textureHeight[slot] != source.height) {
            glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(format), source.width, source.height, 0, format,
                         GL_UNSIGNED_BYTE, nullptr);
            textureWidth[slot] = source.width;
            textureHeight[slot] = source.height;
        }
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        if (rowLength) {
            glPixelStorei(GL_UNPACK_ROW_LENGTH, source.bytesPerRow / bytesPerTexel);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, source.width, source.height, format, GL_UNSIGNED_BYTE,
                            source.data);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        } else {
            // OpenGL ES 2 cannot skip the rows' padding.
            for (int row = 0; row < source.height; ++row)
                glTexSubImage2D(GL_TEXTURE_2D, 0, 0, row, source.width, 1, format, GL_UNSIGNED_BYTE,
                                source.data + static_cast<std::size_t>(row) * source.bytesPerRow);
        }
        return true;
    };

    if (picture.format() == PixelBuffer::Format::bgra) {
        textureValid = plane(bgraTexture, picture.plane(0), GL_RGBA, 4);
    } else if (picture.planeCount() == 2) {
        textureValid = plane(lumaTexture, picture.plane(0), GL_LUMINANCE_ALPHA, 2) &&
                       plane(chromaTexture, picture.plane(1), GL_RGBA, 4);
    }
}

void StreamView::paintGL() {
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    if (!current || !current->image || !glReady || !ensurePrograms()) return;
    const PixelBuffer& picture = *current->image;
    if (uploadPending) {
        upload(picture);
        uploadPending = false;
    }
    if (!textureValid) return;

    // Aspect fit, centred, black bars.
    const double ratio = devicePixelRatioF();
    const double W = width() * ratio;
    const double H = height() * ratio;
    const double scale = std::min(W / picture.width(), H / picture.height());
    const double w = picture.width() * scale;
    const double h = picture.height() * scale;
    glViewport(static_cast<GLint>(std::lround((W - w) / 2)), static_cast<GLint>(std::lround((H - h) / 2)),
               static_cast<GLsizei>(std::lround(w)), static_cast<GLsizei>(std::lround(h)));

    QOpenGLShaderProgram* program = nullptr;
    if (picture.format() == PixelBuffer::Format::bgra) {
        program = bgraProgram.get();
        program->bind();
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, textures[bgraTexture]);
        program->setUniformValue("picture", 0);
    } else {
        program = x420Program.get();
        program->bind();
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, textures[lumaTexture]);
        glActiveTexture(GL_TEXTURE1);
        glBindTexture(GL_TEXTURE_2D, textures[chromaTexture]);
        glActiveTexture(GL_TEXTURE0);
        program->setUniformValue("luma", 0);
        program->setUniformValue("chroma", 1);
    }
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    program->enableAttributeArray(0);
    program->setAttributeArray(0, GL_FLOAT, quad, 2);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    program->disableAttributeArray(0);
    program->release();
}

}  // namespace corvane::stream
