#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <QImage>
#include <QOpenGLFunctions>
#include <QRectF>
#include <QSize>

#include "platform/video/PixelBuffer.hpp"

class QOpenGLShaderProgram;

namespace corvane::stream {

// Draws decoded pictures with OpenGL. A picture's planes go up as textures just as the decoder wrote them,
// and a shader turns them into colour: Y'CbCr with the matrix and range the picture carries (4:2:0 chroma
// sited as H.264 and HEVC site it), BGRA as it is. Colour follows what the picture signals: PQ and HLG
// pictures (PixelBuffer::highDynamicRange) are tone-mapped for a standard screen, every other transfer is
// shown as the screen's own, and BT.2020 primaries are converted to the screen's BT.709. The picture is drawn
// aspect-fitted on black. It can also lay images over the picture at a given opacity (a panel fading away, a
// look kept over the picture), each in a layer of its own.
//
// Every call needs the renderer's context current; one renderer per context, made and released in it.
class PictureRenderer final : protected QOpenGLFunctions {
public:
    PictureRenderer();
    ~PictureRenderer();
    PictureRenderer(const PictureRenderer&) = delete;
    PictureRenderer& operator=(const PictureRenderer&) = delete;

    bool initialized() const { return initialized_; }
    void initialize();
    // Deletes the textures and programs; the context is about to go or change.
    void release();

    // Takes the picture's planes into the textures and draws it from now on. False when it cannot be drawn
    // (a layout without a shader, planes missing, rows shorter than their samples): nothing is drawn until
    // the next upload.
    bool upload(const platform::PixelBuffer& picture);

    // Two sets of picture textures, so that one can take the next picture while the other is drawn.
    static constexpr int pictureSets = 2;
    // Takes the picture's planes into `set`, which is not drawn meanwhile. It may run on another thread,
    // whose current context shares this one's textures, while this one draws the other set; never two
    // uploads at once. False as upload's.
    bool upload(const platform::PixelBuffer& picture, int set);
    // Draws `set`, as last uploaded, from now on (nothing when that upload failed).
    void show(int set) { shown_ = set; }
    int shown() const { return shown_; }
    // Nothing to draw until the next upload.
    void forget() { shown_ = -1; }
    // Black, and the shown picture aspect-fitted into a target of `size` device pixels.
    void draw(QSize size);

    // Layers of images over the picture, each drawn by its own call: the one drawn later lies above.
    static constexpr int overlayLayers = 2;
    // The image laid over the picture in `layer`, premultiplied; a null image removes it.
    void setOverlay(int layer, const QImage& image);
    // Draws the overlay of `layer` at `area` (device pixels, origin top left) in a target of `size`, at
    // `opacity`.
    void drawOverlay(int layer, QSize size, const QRectF& area, float opacity);
    // Blocks until what was drawn is in the frame buffer.
    void finish() { glFinish(); }

private:
    enum class Kind { bgra, nv12, planar8, p010, planar16, overlay, count };
    // A Y'CbCr program is made with the colour `numbers` of the picture it draws.
    QOpenGLShaderProgram* program(Kind kind, const std::string& numbers = {});
    // Its chroma planes are half as wide as the picture, their coordinates shifted.
    static bool shiftsChroma(Kind kind);
    // A texture and the size and format its storage was last given.
    struct Texture {
        unsigned int name = 0;
        QSize size;
        unsigned int format = 0;
    };
    bool plane(Texture& texture, const platform::PixelBuffer::Plane& source, unsigned int format, int bytesPerTexel);
    void makeTexture(Texture& texture);

    // One picture's planes and what drawing them needs.
    struct Picture {
        std::array<Texture, 3> planes{};
        unsigned int firstPlaneFilter = 0;  // the first plane's sampling, as last set
        bool ready = false;
        Kind kind = Kind::bgra;
        QSize size;
        std::array<float, 9> matrix{};
        std::array<float, 3> offset{};
        float sampleScale = 1;
        platform::PixelBuffer::ColorSpace::Transfer transfer = platform::PixelBuffer::ColorSpace::Transfer::sdr;
        platform::PixelBuffer::ColorSpace::Primaries primaries = platform::PixelBuffer::ColorSpace::Primaries::bt709;
        std::string numbers;  // the five above as the shader's constants and switches
        float chromaShift = 0;
        std::vector<std::uint8_t> chroma;  // a planar picture's two chroma planes, interleaved
    };

    bool initialized_ = false;
    bool rowLength_ = true;  // the context can skip padding at the end of rows
    std::array<Picture, pictureSets> pictures_{};
    int shown_ = -1;
    std::array<Texture, overlayLayers> overlays_{};
    std::array<std::unique_ptr<QOpenGLShaderProgram>, std::size_t(Kind::count)> programs_;
    std::array<bool, std::size_t(Kind::count)> programFailed_{};
    std::array<std::string, std::size_t(Kind::count)> programNumbers_;  // the constants each was made with
    std::array<int, std::size_t(Kind::count)> chromaShiftAt_{};        // each program's uniform location

    std::array<QSize, overlayLayers> overlaySizes_{};
};

}  // namespace corvane::stream
