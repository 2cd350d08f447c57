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

    // Takes the picture's planes into the textures. False when it cannot be drawn (a layout without a
    // shader, planes missing, rows shorter than their samples): nothing is drawn until the next upload.
    bool upload(const platform::PixelBuffer& picture);
    // Nothing to draw until the next upload.
    void forget() { ready_ = false; }
    // Black, and the last uploaded picture aspect-fitted into a target of `size` device pixels.
    void draw(QSize size);

    // Layers of images over the picture, each drawn by its own call: the one drawn later lies above.
    static constexpr int overlayLayers = 2;
    // The image laid over the picture in `layer`, premultiplied; a null image removes it.
    void setOverlay(int layer, const QImage& image);
    // Draws the overlay of `layer` at `area` (device pixels, origin top left) in a target of `size`, at
    // `opacity`.
    void drawOverlay(int layer, QSize size, const QRectF& area, float opacity);

private:
    enum class Kind { bgra, nv12, planar8, p010, planar16, overlay, count };
    QOpenGLShaderProgram* program(Kind kind);
    // Its chroma planes are half as wide as the picture, their coordinates shifted.
    static bool shiftsChroma(Kind kind);
    bool plane(int slot, const platform::PixelBuffer::Plane& source, unsigned int format, int bytesPerTexel);

    bool initialized_ = false;
    bool rowLength_ = true;  // the context can skip padding at the end of rows
    static constexpr std::size_t textureCount = 3 + overlayLayers;
    std::array<unsigned int, textureCount> textures_{};  // three planes, then the overlays
    std::array<QSize, textureCount> textureSizes_{};
    std::array<unsigned int, textureCount> textureFormats_{};
    std::array<std::unique_ptr<QOpenGLShaderProgram>, std::size_t(Kind::count)> programs_;
    std::array<bool, std::size_t(Kind::count)> programFailed_{};
    std::array<std::string, std::size_t(Kind::count)> programNumbers_;  // the constants each was made with
    std::array<int, std::size_t(Kind::count)> chromaShiftAt_{};        // each program's uniform location

    // The uploaded picture.
    bool ready_ = false;
    Kind kind_ = Kind::bgra;
    QSize pictureSize_;
    std::array<float, 9> matrix_{};
    std::array<float, 3> offset_{};
    float sampleScale_ = 1;
    platform::PixelBuffer::ColorSpace::Transfer transfer_ = platform::PixelBuffer::ColorSpace::Transfer::sdr;
    platform::PixelBuffer::ColorSpace::Primaries primaries_ = platform::PixelBuffer::ColorSpace::Primaries::bt709;
    std::string numbers_;  // the five above as the shader's constants and switches
    float chromaShift_ = 0;
    unsigned int firstPlaneFilter_ = 0;  // the first plane's sampling, as last set
    std::vector<std::uint8_t> chroma_;   // a planar picture's two chroma planes, interleaved

    std::array<QSize, overlayLayers> overlaySizes_{};
};

}  // namespace corvane::stream
