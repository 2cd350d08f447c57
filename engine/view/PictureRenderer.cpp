#include "engine/view/PictureRenderer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <QRect>

#include "engine/EngineLog.hpp"
#include "platform/video/ChromaWeave.hpp"
#include "platform/video/ColorMatrix.hpp"

#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif
#ifndef GL_LUMINANCE
#define GL_LUMINANCE 0x1909
#endif
#ifndef GL_LUMINANCE_ALPHA
#define GL_LUMINANCE_ALPHA 0x190A
#endif

namespace corvane::stream {

namespace {

using platform::PixelBuffer;

// Old-style GLSL, so one text serves desktop compatibility contexts and OpenGL ES 2 alike. With SHIFTED,
// the chroma planes' coordinates too: worked out per corner and interpolated, not per pixel (a software
// rasteriser's cost).
const char* const vertexShader = R"(
attribute vec2 position;
varying vec2 uv;
#ifdef SHIFTED
uniform float chromaShift;
varying vec2 cuv;
#endif
void main() {
    // Row 0 of the picture is its top.
    uv = vec2(position.x * 0.5 + 0.5, 0.5 - position.y * 0.5);
#ifdef SHIFTED
    // 4:2:0 chroma samples sit on the even luma columns, not between them.
    cuv = vec2(uv.x + chromaShift, uv.y);
#endif
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

const char* const bgraShader = R"(
uniform sampler2D plane0;
varying vec2 uv;
void main() {
    // Bytes B, G, R, A arrive as r, g, b, a.
    gl_FragColor = vec4(texture2D(plane0, uv).bgr, 1.0);
}
)";

const char* const overlayShader = R"(
uniform sampler2D plane0;
uniform float opacity;
varying vec2 uv;
void main() {
    gl_FragColor = texture2D(plane0, uv) * opacity;  // premultiplied
}
)";

// Y'CbCr planes to colour. 8-bit samples arrive as fractions of 255. A 16-bit sample arrives as two 8-bit
// channels (low byte, high byte); filtering is linear in both, so their weighted sum is the filtered
// sample, and sampleScale makes it a fraction of the largest 10-bit code. toRgb, offset and sampleScale are
// constants written in front of this text, and so are the switches for the picture's colour (see
// colourText()):
// - PQ or HLG: the light is mapped with the reference white (203 nits; HLG as a 1000-nit screen shows it)
//   at 1.0 and a soft shoulder above 0.8, and encoded with a 2.2 gamma for a standard screen;
// - WIDE: BT.2020 primaries, converted to the screen's BT.709 in linear light (a standard-range picture
//   decoded and encoded again with BT.1886's 2.4 gamma, so greys stay as they are).
// Without either, the converted samples are the screen's own.
const char* const yuvShader = R"(
uniform sampler2D plane0;
uniform sampler2D plane1;
uniform sampler2D plane2;
varying vec2 uv;
#ifdef SHIFTED
varying vec2 cuv;
#else
#define cuv uv
#endif

float wide(vec2 lowHigh) {
    return (lowHigh.y * 65280.0 + lowHigh.x * 255.0) * sampleScale;
}

#ifdef WIDE
vec3 toBT709(vec3 x) {
    return vec3( 1.6605 * x.r - 0.5876 * x.g - 0.0728 * x.b,
                -0.1246 * x.r + 1.1329 * x.g - 0.0083 * x.b,
                -0.0182 * x.r - 0.1006 * x.g + 1.1187 * x.b);
}
#endif

#ifdef PQ
vec3 toNits(vec3 e) {
    vec3 p = pow(max(e, vec3(0.0)), vec3(1.0 / 78.84375));
    vec3 l = pow(max(p - vec3(0.8359375), vec3(0.0)) / (vec3(18.8515625) - 18.6875 * p),
                 vec3(1.0 / 0.1593017578125));
    return l * 10000.0;
}
#endif

#ifdef HLG
vec3 toNits(vec3 e) {
    // Scene light, then the system gamma (1.2) of a 1000-nit screen, by the luminance of the primaries.
    vec3 low = e * e / 3.0;
    vec3 high = (exp((e - vec3(0.55991073)) / 0.17883277) + vec3(0.28466892)) / 12.0;
    vec3 s = mix(low, high, step(vec3(0.5), e));
#ifdef WIDE
    float ys = dot(s, vec3(0.2627, 0.6780, 0.0593));
#else
    float ys = dot(s, vec3(0.2126, 0.7152, 0.0722));
#endif
    return 1000.0 * pow(max(ys, 0.0), 0.2) * s;
}
#endif

#if defined(PQ) || defined(HLG)
float shoulder(float x) {
    return x <= 0.8 ? x : 0.8 + 0.2 * (1.0 - exp(-(x - 0.8) / 0.2));
}
#endif

void main() {
    vec3 yuv;
#ifdef DEEP
    yuv.x = wide(texture2D(plane0, uv).ra);
#ifdef BIPLANAR
    vec4 c = texture2D(plane1, cuv);
    yuv.y = wide(c.rg);
    yuv.z = wide(c.ba);
#else
    yuv.y = wide(texture2D(plane1, cuv).ra);
    yuv.z = wide(texture2D(plane2, cuv).ra);
#endif
#else
    yuv.x = texture2D(plane0, uv).r;
#ifdef BIPLANAR
    vec4 c = texture2D(plane1, cuv);
    yuv.y = c.r;
    yuv.z = c.a;
#else
    yuv.y = texture2D(plane1, cuv).r;
    yuv.z = texture2D(plane2, cuv).r;
#endif
#endif
    vec3 rgb = toRgb * (yuv - offset);
#if defined(PQ) || defined(HLG) || defined(WIDE)
    // The curves below are defined on the range alone.
    rgb = clamp(rgb, 0.0, 1.0);
#endif
#if defined(PQ) || defined(HLG)
    vec3 x = toNits(rgb) / 203.0;
#ifdef WIDE
    x = max(toBT709(x), vec3(0.0));
#endif
    vec3 sdr = vec3(shoulder(x.r), shoulder(x.g), shoulder(x.b));
    gl_FragColor = vec4(pow(sdr, vec3(1.0 / 2.2)), 1.0);
#elif defined(WIDE)
    vec3 light = clamp(toBT709(pow(rgb, vec3(2.4))), 0.0, 1.0);
    gl_FragColor = vec4(pow(light, vec3(1.0 / 2.4)), 1.0);
#else
    // The window's fixed-point channels clamp it, as they would here.
    gl_FragColor = vec4(rgb, 1.0);
#endif
}
)";

const GLfloat quad[] = {-1.f, -1.f, 1.f, -1.f, -1.f, 1.f, 1.f, 1.f};

// A float as a GLSL literal, whatever the process's locale.
std::string literal(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string out(text, end);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

// The conversion's numbers as constants of the program, and its colour as switches: a software rasteriser
// runs the shader about a fifth faster than with the same numbers as uniforms. GLSL builds a mat3 column by
// column.
std::string colourText(const std::array<float, 9>& rows, const std::array<float, 3>& offset, float sampleScale,
                       PixelBuffer::ColorSpace::Transfer transfer, PixelBuffer::ColorSpace::Primaries primaries) {
    using Transfer = PixelBuffer::ColorSpace::Transfer;
    std::string text = transfer == Transfer::pq ? "#define PQ\n" : transfer == Transfer::hlg ? "#define HLG\n" : "";
    if (primaries == PixelBuffer::ColorSpace::Primaries::bt2020) text += "#define WIDE\n";
    text += "const mat3 toRgb = mat3(";
    for (int column = 0; column < 3; ++column)
        for (int row = 0; row < 3; ++row)
            text += literal(rows[std::size_t(row * 3 + column)]) + (column == 2 && row == 2 ? ");\n" : ", ");
    text += "const vec3 offset = vec3(" + literal(offset[0]) + ", " + literal(offset[1]) + ", " + literal(offset[2]) +
            ");\n";
    return text + "const float sampleScale = " + literal(sampleScale) + ";\n";
}

}  // namespace

PictureRenderer::PictureRenderer() = default;
PictureRenderer::~PictureRenderer() = default;

void PictureRenderer::initialize() {
    initializeOpenGLFunctions();
    const QOpenGLContext* context = QOpenGLContext::currentContext();
    rowLength_ = context && (!context->isOpenGLES() || context->format().majorVersion() >= 3);
    for (Picture& picture : pictures_) {
        picture = Picture{};
        for (Texture& texture : picture.planes) makeTexture(texture);
        picture.firstPlaneFilter = GL_LINEAR;
    }
    for (Texture& texture : overlays_) makeTexture(texture);
    shown_ = -1;
    programFailed_ = {};
    initialized_ = true;
}

void PictureRenderer::makeTexture(Texture& texture) {
    texture = Texture{};
    glGenTextures(1, &texture.name);
    glBindTexture(GL_TEXTURE_2D, texture.name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

void PictureRenderer::release() {
    if (!initialized_) return;
    for (Picture& picture : pictures_)
        for (Texture& texture : picture.planes) glDeleteTextures(1, &texture.name);
    for (Texture& texture : overlays_) glDeleteTextures(1, &texture.name);
    pictures_ = {};
    overlays_ = {};
    for (auto& program : programs_) program.reset();
    initialized_ = false;
    shown_ = -1;
    overlaySizes_ = {};
}

QOpenGLShaderProgram* PictureRenderer::program(Kind kind, const std::string& numbers) {
    auto& slot = programs_[std::size_t(kind)];
    const bool yuv = kind != Kind::bgra && kind != Kind::overlay;
    // A picture of another colour space needs a program of its own.
    if (yuv && programNumbers_[std::size_t(kind)] != numbers) {
        slot.reset();
        programFailed_[std::size_t(kind)] = false;
        programNumbers_[std::size_t(kind)] = numbers;
    }
    if (slot || programFailed_[std::size_t(kind)]) return slot.get();
    std::string fragment;
    switch (kind) {
    case Kind::bgra: fragment = bgraShader; break;
    case Kind::overlay: fragment = overlayShader; break;
    case Kind::nv12: fragment = std::string("#define BIPLANAR\n") + yuvShader; break;
    case Kind::planar8: fragment = yuvShader; break;
    case Kind::p010: fragment = std::string("#define DEEP\n#define BIPLANAR\n") + yuvShader; break;
    case Kind::planar16: fragment = std::string("#define DEEP\n") + yuvShader; break;
    case Kind::count: return nullptr;
    }
    // Full precision where the language has levels: 16-bit samples and the HDR curves need it.
    const std::string shifted = shiftsChroma(kind) ? "#define SHIFTED\n" : "";
    fragment = "#ifdef GL_ES\nprecision highp float;\n#endif\n" + shifted + (yuv ? numbers : std::string()) + fragment;
    auto made = std::make_unique<QOpenGLShaderProgram>();
    made->addShaderFromSourceCode(QOpenGLShader::Vertex, QByteArray::fromStdString(shifted + vertexShader));
    made->addShaderFromSourceCode(QOpenGLShader::Fragment, QByteArray::fromStdString(fragment));
    made->bindAttributeLocation("position", 0);
    if (!made->link()) {
        EngineLog::write("video: shader failed: " + made->log().toStdString());
        programFailed_[std::size_t(kind)] = true;
        return nullptr;
    }
    // Each plane's texture unit is its number, for the program's life.
    made->bind();
    for (const char* name : {"plane0", "plane1", "plane2"}) made->setUniformValue(name, name[5] - '0');
    made->release();
    chromaShiftAt_[std::size_t(kind)] = made->uniformLocation("chromaShift");
    slot = std::move(made);
    return slot.get();
}

bool PictureRenderer::shiftsChroma(Kind kind) { return kind == Kind::nv12 || kind == Kind::p010 || kind == Kind::planar16; }

bool PictureRenderer::plane(Texture& texture, const PixelBuffer::Plane& source, unsigned int format,
                            int bytesPerTexel) {
    if (!source.data || source.width < 1 || source.height < 1 || source.bytesPerRow < source.width * bytesPerTexel ||
        source.bytesPerRow % bytesPerTexel != 0)
        return false;
    glBindTexture(GL_TEXTURE_2D, texture.name);
    const QSize size(source.width, source.height);
    if (texture.size != size || texture.format != format) {
        glTexImage2D(GL_TEXTURE_2D, 0, GLint(format), source.width, source.height, 0, format, GL_UNSIGNED_BYTE, nullptr);
        texture.size = size;
        texture.format = format;
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    if (rowLength_) {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, source.bytesPerRow / bytesPerTexel);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, source.width, source.height, format, GL_UNSIGNED_BYTE, source.data);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    } else {
        // OpenGL ES 2 cannot skip the rows' padding.
        for (int row = 0; row < source.height; ++row)
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, row, source.width, 1, format, GL_UNSIGNED_BYTE,
                            source.data + static_cast<std::size_t>(row) * std::size_t(source.bytesPerRow));
    }
    return true;
}

bool PictureRenderer::upload(const PixelBuffer& picture) {
    shown_ = 0;
    return upload(picture, 0);
}

bool PictureRenderer::upload(const PixelBuffer& picture, int set) {
    if (set < 0 || set >= pictureSets) return false;
    Picture& to = pictures_[std::size_t(set)];
    to.ready = false;
    if (!initialized_) return false;
    using Format = PixelBuffer::Format;
    const Format format = picture.format();
    const PixelBuffer::Layout layout = PixelBuffer::layout(format);
    if (picture.planeCount() != layout.planes) return false;
    auto& planes = to.planes;
    bool ok = true;
    switch (format) {
    case Format::bgra:
        to.kind = Kind::bgra;
        ok = plane(planes[0], picture.plane(0), GL_RGBA, 4);
        break;
    case Format::nv12:
        to.kind = Kind::nv12;
        ok = plane(planes[0], picture.plane(0), GL_LUMINANCE, 1) &&
             plane(planes[1], picture.plane(1), GL_LUMINANCE_ALPHA, 2);
        break;
    case Format::i420:
        // Cb and Cr side by side in one texture: one filtered read for both in the shader, where two cost a
        // software rasteriser far more than weaving the two quarter-size planes here.
        to.kind = Kind::nv12;
        ok = plane(planes[0], picture.plane(0), GL_LUMINANCE, 1) &&
             platform::weaveChroma(picture.plane(1), picture.plane(2), to.chroma) &&
             plane(planes[1],
                   PixelBuffer::Plane{to.chroma.data(), 2 * picture.plane(1).width, picture.plane(1).width,
                                      picture.plane(1).height},
                   GL_LUMINANCE_ALPHA, 2);
        break;
    case Format::i444:
        to.kind = Kind::planar8;
        for (std::size_t p = 0; p < 3 && ok; ++p) ok = plane(planes[p], picture.plane(int(p)), GL_LUMINANCE, 1);
        break;
    case Format::x420:
        to.kind = Kind::p010;
        ok = plane(planes[0], picture.plane(0), GL_LUMINANCE_ALPHA, 2) && plane(planes[1], picture.plane(1), GL_RGBA, 4);
        break;
    case Format::i010:
        to.kind = Kind::planar16;
        for (std::size_t p = 0; p < 3 && ok; ++p) ok = plane(planes[p], picture.plane(int(p)), GL_LUMINANCE_ALPHA, 2);
        break;
    }
    if (!ok) return false;
    const bool tenBit = PixelBuffer::isTenBit(format);
    const PixelBuffer::ColorSpace& color = picture.colorSpace();
    const platform::ColorMatrix matrix = platform::ColorMatrix::of(color, tenBit ? 10 : 8);
    const float sampleScale = format == Format::x420 ? 1.0f / (64.0f * 1023.0f) : 1.0f / 1023.0f;
    if (to.numbers.empty() || matrix.rows != to.matrix || matrix.offset != to.offset || sampleScale != to.sampleScale ||
        color.transfer != to.transfer || color.primaries != to.primaries) {
        to.matrix = matrix.rows;
        to.offset = matrix.offset;
        to.sampleScale = sampleScale;
        to.transfer = color.transfer;
        to.primaries = color.primaries;
        to.numbers = colourText(to.matrix, to.offset, to.sampleScale, to.transfer, to.primaries);
    }
    to.chromaShift = layout.subsampled ? 0.5f / float(picture.width()) : 0.0f;
    to.size = QSize(picture.width(), picture.height());
    to.ready = true;
    return true;
}

void PictureRenderer::draw(QSize size) {
    Picture* const picture = shown_ >= 0 ? &pictures_[std::size_t(shown_)] : nullptr;
    QOpenGLShaderProgram* shader =
        picture && picture->ready && !picture->size.isEmpty() ? program(picture->kind, picture->numbers) : nullptr;
    const QSize pictureSize = shader ? picture->size : QSize(1, 1);
    // Aspect fit, centred, black bars.
    const double W = size.width(), H = size.height();
    const double scale = shader ? std::min(W / pictureSize.width(), H / pictureSize.height()) : 0;
    const double w = pictureSize.width() * scale, h = pictureSize.height() * scale;
    const QRect area(int(std::lround((W - w) / 2)), int(std::lround((H - h) / 2)), int(std::lround(w)),
                     int(std::lround(h)));
    // A picture that covers the whole target leaves nothing to clear: a clear is one more write of every
    // pixel, which a software rasteriser pays in full. It still clears one pixel: Mesa's software rasteriser
    // takes up a resized window's buffers at a clear, and a draw alone may land in the buffer of the old size.
    const bool covered = area == QRect(QPoint(0, 0), size);
    glViewport(0, 0, size.width(), size.height());
    glClearColor(0, 0, 0, 1);
    if (covered) {
        glEnable(GL_SCISSOR_TEST);
        glScissor(0, 0, 1, 1);
    }
    glClear(GL_COLOR_BUFFER_BIT);
    if (covered) glDisable(GL_SCISSOR_TEST);
    if (!shader) return;
    Picture& shown = *picture;
    glViewport(area.x(), area.y(), area.width(), area.height());

    // Shown pixel for pixel, every screen pixel sits on a texel's centre of the full-size plane: its nearest
    // texel is what filtering would give, for one read instead of four (a software rasteriser's main cost).
    const bool oneToOne = std::lround(w) == pictureSize.width() && std::lround(h) == pictureSize.height();
    const GLenum filter = oneToOne ? GL_NEAREST : GL_LINEAR;
    if (filter != shown.firstPlaneFilter) {
        glBindTexture(GL_TEXTURE_2D, shown.planes[0].name);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GLint(filter));
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GLint(filter));
        shown.firstPlaneFilter = filter;
    }

    shader->bind();
    const Kind kind = shown.kind;
    const std::size_t planes = kind == Kind::bgra ? 1 : kind == Kind::nv12 || kind == Kind::p010 ? 2 : 3;
    for (std::size_t p = 0; p < planes; ++p) {
        glActiveTexture(GLenum(GL_TEXTURE0 + p));
        glBindTexture(GL_TEXTURE_2D, shown.planes[p].name);
    }
    glActiveTexture(GL_TEXTURE0);
    if (shiftsChroma(kind)) shader->setUniformValue(chromaShiftAt_[std::size_t(kind)], shown.chromaShift);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    shader->enableAttributeArray(0);
    shader->setAttributeArray(0, GL_FLOAT, quad, 2);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    shader->disableAttributeArray(0);
    shader->release();
}

void PictureRenderer::setOverlay(int layer, const QImage& image) {
    if (layer < 0 || layer >= overlayLayers) return;
    QSize& shown = overlaySizes_[std::size_t(layer)];
    shown = QSize();
    if (!initialized_ || image.isNull()) return;
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    const PixelBuffer::Plane source{const_cast<std::uint8_t*>(rgba.constBits()), int(rgba.bytesPerLine()), rgba.width(),
                                    rgba.height()};
    if (plane(overlays_[std::size_t(layer)], source, GL_RGBA, 4)) shown = rgba.size();
}

void PictureRenderer::drawOverlay(int layer, QSize size, const QRectF& area, float opacity) {
    if (layer < 0 || layer >= overlayLayers || overlaySizes_[std::size_t(layer)].isEmpty() || area.isEmpty()) return;
    QOpenGLShaderProgram* shader = program(Kind::overlay);
    if (!shader) return;
    glViewport(GLint(std::lround(area.x())), GLint(std::lround(size.height() - area.y() - area.height())),
               GLsizei(std::lround(area.width())), GLsizei(std::lround(area.height())));
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    shader->bind();
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, overlays_[std::size_t(layer)].name);
    shader->setUniformValue("plane0", 0);
    shader->setUniformValue("opacity", std::clamp(opacity, 0.0f, 1.0f));
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    shader->enableAttributeArray(0);
    shader->setAttributeArray(0, GL_FLOAT, quad, 2);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    shader->disableAttributeArray(0);
    shader->release();
    glDisable(GL_BLEND);
}

}  // namespace corvane::stream
