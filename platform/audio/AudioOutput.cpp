#include "platform/audio/AudioOutput.hpp"

#include <cstring>
#include <stdexcept>

#include <SDL.h>
#include <pthread.h>

namespace corvane::platform {

AudioOutput::AudioOutput(int channels, Render render) : channels_(channels), render_(std::move(render)) {
    if (channels < 1 || channels > 8) throw std::invalid_argument("audio output: channel count outside 1...8");
    if (!render_) throw std::invalid_argument("audio output: no render callback");
}

AudioOutput::~AudioOutput() { stop(); }

void AudioOutput::start() {
    if (device_ != 0) return;
    named_ = false; // a new device pulls on a new thread
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        throw Error(std::string("audio output could not start: ") + SDL_GetError());

    SDL_AudioSpec want{};
    want.freq = sampleRate;
    want.format = AUDIO_F32SYS;
    want.channels = static_cast<Uint8>(channels_);
    want.samples = maxFramesPerRender;
    want.callback = &AudioOutput::callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts whatever the device wants, so the callback always sees our format.
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) {
        std::string reason = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        throw Error("audio output could not start: " + reason);
    }
    device_ = device;
    SDL_PauseAudioDevice(device, 0);
}

void AudioOutput::stop() {
    if (device_ == 0) return;
    // Closing waits for a callback in progress, so nothing renders after this.
    SDL_CloseAudioDevice(device_);
    device_ = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void AudioOutput::callback(void* self, std::uint8_t* stream, int bytes) {
    auto* output = static_cast<AudioOutput*>(self);
    if (!output->named_) {
        pthread_setname_np(pthread_self(), "corvane.audio");
        output->named_ = true;
        if (output->onThreadStart) output->onThreadStart();
    }
    const int frameBytes = static_cast<int>(sizeof(float)) * output->channels_;
    const int frames = bytes / frameBytes;
    // SDL hands over whole frames of our own format; a stray tail would only ever be silence.
    if (frames > 0) output->render_(reinterpret_cast<float*>(stream), frames);
    if (bytes > frames * frameBytes) std::memset(stream + frames * frameBytes, 0, bytes - frames * frameBytes);
}

} // namespace corvane::platform
