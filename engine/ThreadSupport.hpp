#pragma once

#include <thread>

namespace corvane::stream {

// Ends the wait for an engine thread when its owner goes away. Called from the thread itself (an owner
// released inside its own callback) it detaches instead of waiting for itself; the thread must then own
// everything it still touches.
inline void joinUnlessSelf(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

} // namespace corvane::stream
