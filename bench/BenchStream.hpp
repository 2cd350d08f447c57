#pragma once
// One simulated box (in this process, on a loopback address of its own), paired, and the engine's session
// with its pipelines and a view on the current display, torn down in the order the stream window keeps
// (the decoder's thread puts into the view's slot: session and pipelines go before the view).
#include "bench/BenchSupport.hpp"
#include "boxsim/Box.hpp"
#include "engine/audio/AudioPipeline.hpp"
#include "engine/session/StreamSession.hpp"
#include "engine/video/VideoPipeline.hpp"
#include "engine/view/StreamView.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

#include <QRect>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace corvane::bench {

struct BenchStream {
    test::TempDir dir;
    std::string address = test::uniqueLoopbackAddress();
    std::shared_ptr<boxsim::Box> box;
    std::shared_ptr<stream::BoxHost> host;
    std::unique_ptr<stream::StreamView> view;
    std::shared_ptr<stream::StreamSession> session;
    std::shared_ptr<stream::VideoPipeline> pipeline;
    std::shared_ptr<stream::AudioPipeline> audio;

    explicit BenchStream(boxsim::Box::Options options) {
        options.address = address;
        options.streamMedia = true;
        ::setenv("CORVANE_BOX_ADDRESS", address.c_str(), 1);
        box = std::make_shared<boxsim::Box>(std::move(options));
        box->start();
        host = test::boxHostFor(address, dir.path());
        test::pairWithBox(*host, box);
    }
    ~BenchStream() {
        end();
        view.reset();
        box->stop();
        ::unsetenv("CORVANE_BOX_ADDRESS");
    }
    BenchStream(const BenchStream&) = delete;
    BenchStream& operator=(const BenchStream&) = delete;

    // Shows a new view of `size` and, once it draws (10 s at most; false otherwise), arms its first-picture
    // detection and starts it.
    bool openView(QSize size, std::function<void()> onFirstPicture = {}) {
        view = std::make_unique<stream::StreamView>(QRect(QPoint(0, 0), size));
        view->onFirstPicture = std::move(onFirstPicture);
        view->show();
        if (!waitFor([&] { return !view->grabFramebuffer().isNull(); }, 10)) return false;
        view->markOpened();
        view->start();
        return true;
    }
    // Makes the session for `config` with its video pipeline decoding into the view's slot and, when
    // `sound`, its sound pipeline; neither is started.
    void makeSession(const stream::StreamConfig& config, std::int64_t appID, bool sound) {
        session = std::make_shared<stream::StreamSession>(host, config, appID);
        pipeline = stream::VideoPipeline::make(config.codec, session);
        pipeline->setOnDecoded([slot = &view->slot()](const stream::DecodedFrame& frame) { slot->put(frame); });
        if (sound) audio = stream::AudioPipeline::make(session, config.audioChannels);
    }
    void end() {
        if (audio) audio->stop();
        if (session) session->stop(false);
        pipeline.reset();
        audio.reset();
        session.reset();
    }
};

}  // namespace corvane::bench
