#pragma once

#include <filesystem>
#include <mutex>

namespace corvane {

// The downloaded archive and the unpack folder of one app update. Each is locked while it exists (so a
// start-up sweep of another instance leaves it alone), and both go when the update ends, whichever way it
// ends: also when the app quits while a step runs on the pool or waits for an event loop that has stopped.
// Pool steps run between enter() and leave(); the owner calls release() when the update is over or the
// manager goes. Thread-safe.
class UpdateScratch final {
public:
    UpdateScratch(std::filesystem::path archive, std::filesystem::path unpack)
        : archive_(std::move(archive)), unpack_(std::move(unpack)) {}
    ~UpdateScratch();
    UpdateScratch(const UpdateScratch&) = delete;
    UpdateScratch& operator=(const UpdateScratch&) = delete;

    const std::filesystem::path& archive() const { return archive_; }
    const std::filesystem::path& unpack() const { return unpack_; }

    // False once released: the step must not start.
    bool enter();
    // The last step out after release() removes both.
    void leave();
    // Locks the archive once it is in place; makes and locks the unpack folder. On a pool step.
    void lockArchive();
    void makeUnpackFolder();
    // Removes both now, or when the step still running leaves.
    void release();

private:
    void remove();  // with mutex_ held

    const std::filesystem::path archive_;
    const std::filesystem::path unpack_;
    std::mutex mutex_;
    int archiveLock_ = -1;
    int unpackLock_ = -1;
    int running_ = 0;
    bool released_ = false;
    bool removed_ = false;
};

} // namespace corvane
