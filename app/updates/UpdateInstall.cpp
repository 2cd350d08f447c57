// Installing a newer application: downloaded, checked, unpacked and swapped in, or built from the source
// folder; then the new version is started once this one has quit.
#include "app/updates/UpdateManager.hpp"

#include "app/services/Folders.hpp"
#include "app/services/Log.hpp"
#include "app/services/Shell.hpp"
#include "app/services/StaleFiles.hpp"
#include "app/services/agent/Downloader.hpp"
#include "app/updates/FolderSwap.hpp"
#include "app/updates/InstallFolder.hpp"
#include "app/services/OnPool.hpp"
#include "app/updates/Relauncher.hpp"
#include "app/updates/UpdateScratch.hpp"
#include "app/updates/VersionSwitch.hpp"
#include "engine/Text.hpp"
#include "platform/crypto/Sha256.hpp"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

constexpr const char* kIntegrity = "The download did not pass its integrity check.";
constexpr const char* kUnchecked =
    "The update was not downloaded: it is offered over plain http without a digest to check it against.";
constexpr const char* kBuildFailed = "The build failed. Details are in build.log in the Corvane folder.";

std::string newUuid() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString(); }

// The downloaded archive's name in the temporary folder: kArchivePrefix, a new UUID, ".zip".
constexpr const char* kArchivePrefix = "corvane-update-";
std::string archiveName() { return kArchivePrefix + newUuid() + ".zip"; }
bool isArchiveName(std::string_view name) {
    return name.ends_with(".zip") && InstallFolder::madeName(name.substr(0, name.size() - 4), kArchivePrefix);
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

// Text for a log line: escaped as box text is, and cut short.
std::string forLog(const std::string& text) { return stream::text::forLog(text, 1000); }

std::string cannotReplace(const std::filesystem::path& folder, const std::string& reason) {
    return "Could not replace the app in " + folder.string() + ": " + reason;
}

std::string cannotSave(const std::filesystem::path& folder, const std::string& reason) {
    return "Could not save the update in " + folder.string() + ": " + reason;
}

// Why the app cannot update itself where it is installed and what the user can do: the update row's text, and
// the failure's when that is found only once the update starts.
std::string obstacleText(const InstallFolder::Obstacle& obstacle) {
    return obstacle.text() + " Install the new version the way you installed this one, or install Corvane in ~/.local, "
                             "where it updates itself.";
}

// Hands a value computed on a worker thread to the manager on the main thread, if it still exists.
void toMainThread(QPointer<UpdateManager> manager, std::function<void(UpdateManager&)> apply) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [manager, apply = std::move(apply)] {
            if (manager) apply(*manager);
        },
        Qt::QueuedConnection);
}

// The one folder at the top of the unpacked update, when it is an install folder of ours.
std::optional<std::filesystem::path> onlyInstallFolder(const std::filesystem::path& unpacked,
                                                       const std::string& identifier) {
    std::error_code error;
    std::vector<std::filesystem::path> top;
    for (std::filesystem::directory_iterator it(unpacked, error), end; !error && it != end; it.increment(error))
        top.push_back(it->path());
    if (error || top.size() != 1) return std::nullopt;
    if (!InstallFolder::isOurs(top.front(), identifier)) return std::nullopt;
    return top.front();
}

void writeAtomically(const std::filesystem::path& path, const std::string& text) {
    auto temporary = path;
    temporary += ".part-" + newUuid();
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) std::filesystem::remove(temporary, error);
}

} // namespace

std::optional<std::filesystem::path> UpdateManager::installFolder(const std::optional<std::filesystem::path>& bundle,
                                                                  const std::filesystem::path& program,
                                                                  const std::string& identifier) {
    return bundle ? bundle : InstallFolder::running(identifier, program);
}

std::optional<std::string> UpdateManager::obstacleRow(const std::optional<std::filesystem::path>& bundle,
                                                      const std::filesystem::path& program, const std::string& identifier) {
    const auto install = installFolder(bundle, program, identifier);
    if (!install) return obstacleText(InstallFolder::notInstalled(program));
    const auto obstacle = InstallFolder::obstacle(*install);
    if (!obstacle) return std::nullopt;
    return obstacleText(*obstacle);
}

std::filesystem::path UpdateManager::temporaryPath() const {
    std::error_code error;
    return temporaryFolder.empty() ? std::filesystem::temp_directory_path(error) : temporaryFolder;
}

std::filesystem::path UpdateManager::swapJournal() const {
    return (stateFolder.empty() ? Folders::logs() : stateFolder) / "update-swap";
}

std::filesystem::path UpdateManager::installJournal() const {
    return (stateFolder.empty() ? Folders::logs() : stateFolder) / "update-install";
}

QCoro::Task<> UpdateManager::tidyUp() {
    auto tidying = onPool(pool_, stop_.get_token(), [bundle = runningBundleOverride, program = runningProgram,
                                                     identifier = info_.identifier, swap = swapJournal(),
                                                     journal = installJournal(), temporary = temporaryPath()](std::stop_token) {
        const auto putBack = FolderSwap::repair(swap, [&](const std::filesystem::path& folder) {
            return InstallFolder::isOurs(folder, identifier);
        });
        if (putBack)
            Log::write("update: put the app back in " + forLog(putBack->string()) + " after an update cut short");
        std::vector<std::filesystem::path> installs;
        if (const auto installed = installFolder(bundle, program, identifier)) installs.push_back(*installed);
        if (const auto named = VersionSwitch::remembered(journal);
            named && std::find(installs.begin(), installs.end(), *named) == installs.end())
            installs.push_back(*named);
        int removed = 0;
        for (const auto& install : installs) {
            // Where the app cannot update itself, no update made anything to tidy.
            if (!InstallFolder::current(install, identifier) || InstallFolder::obstacle(install)) continue;
            if (const int unused = VersionSwitch::tidy(install, identifier); unused > 0)
                Log::write("update: removed " + std::to_string(unused) + " earlier version(s) or leftover(s) from " +
                           forLog(install.string()));
            // Beside the install folder, where an earlier release unpacked updates: only the names it gave them,
            // since that folder is the user's (the home folder, for ~/.local).
            removed += StaleFiles::sweep(install.parent_path(), [](std::string_view name) {
                return InstallFolder::madeName(name, InstallFolder::kUnpackPrefix);
            });
        }
        std::error_code ignored;
        std::filesystem::remove(journal, ignored);
        // What a write of the journal cut short left.
        auto part = journal;
        std::filesystem::remove(part += ".part", ignored);
        // The temporary folder is everyone's: only the names downloads of ours take there.
        removed += StaleFiles::sweep(temporary, [](std::string_view name) {
            return isArchiveName(name) || Downloader::isTemporaryName(name);
        });
        if (removed > 0) Log::write("update: removed " + std::to_string(removed) + " leftover(s) of updates cut short");
    });
    co_await tidying;
}

void UpdateManager::updateApp() {
    if (!canUpdateApp() || isBusy()) return;
    performAppUpdate(*appUpdate_);
}

void UpdateManager::advance(double value) {
    if (!std::isfinite(value)) return;
    const double next = std::min(value, 1.0);
    if (next >= progress_.value_or(0.0)) progress_ = next;
    else if (!progress_) progress_ = 0.0;
    publish();
}

QCoro::Task<> UpdateManager::performAppUpdate(AppUpdate update) {
    QPointer<UpdateManager> self(this);
    setProgress(0.0);
    std::exception_ptr error;
    std::filesystem::path app;
    try {
        if (update.source.kind == AppUpdate::Source::Kind::download) {
            setStatus(Status::updating("Downloading Corvane " + update.version + "..."));
            app = co_await downloadAndInstall(update.source.url, update.source.sha256);
        } else {
            setStatus(Status::updating("Building Corvane " + update.version + ". This takes about a minute."));
            app = co_await buildFromSource(update.source.url);
        }
        if (!self) co_return;
        progress_ = 1.0;
        setStatus(Status::updating("Restarting Corvane..."));
        if (prepareForUpdate) {
            co_await prepareForUpdate();
            if (!self) co_return;
        }
    } catch (...) {
        error = std::current_exception();
    }
    if (!self) co_return;
    if (!error) {
        relaunch(app);
        co_return;
    }
    std::string text;
    std::string detail;
    try {
        std::rethrow_exception(error);
    } catch (const UpdateError& e) {
        text = e.message;
        detail = e.detail;
    } catch (const UpdateArchive::NotValid& e) {
        text = e.what();
        detail = e.detail;
    } catch (...) {
        text = stream::text::messageOf(error);
    }
    Log::write("update: app update to " + forLog(update.version) + " failed: " + forLog(text) +
               (detail.empty() ? "" : " (" + forLog(detail) + ")"));
    progress_.reset();
    status_ = Status::failed(text);
    showResult_ = true;
    publish();
}

QCoro::Task<std::filesystem::path> UpdateManager::downloadAndInstall(std::string url, std::optional<std::string> sha256) {
    QPointer<UpdateManager> self(this);
    // Where the app lives decides everything else, so an app that is not installed (a build tree), or is
    // where it cannot update itself, is never downloaded for.
    const auto destination = installFolder(runningBundleOverride, runningProgram, info_.identifier);
    if (!destination) {
        appUpdateObstacle_ = obstacleText(InstallFolder::notInstalled(runningProgram));
        throw UpdateError(*appUpdateObstacle_, "the app does not run from bin/corvane of an install");
    }
    if (const auto obstacle = InstallFolder::obstacle(*destination)) {
        // Found since the check: the app's update buttons go off with this reason beside them.
        appUpdateObstacle_ = obstacleText(*obstacle);
        throw UpdateError(*appUpdateObstacle_, "refused before downloading");
    }
    const bool hasDigest = sha256 && !sha256->empty();
    // Over plain http anyone on the way could swap the archive; only the feed's digest can tell, so without
    // one nothing is fetched.
    if (!url.starts_with("https://") && !hasDigest) throw UpdateError(kUnchecked, "plain http: " + url);

    // Unpacked inside the install folder, on its file system, so that the version can be renamed into place.
    const auto scratch = std::make_shared<UpdateScratch>(
        temporaryPath() / archiveName(),
        *destination / InstallFolder::kVersions / (InstallFolder::kUnpackPrefix + newUuid()));
    scratch_ = scratch;
    const auto madeLib = std::make_shared<std::atomic<bool>>(false);
    // Each step on the pool runs inside the scratch's enter and leave, so that a quit in the middle still
    // removes what the update made once the step is over.
    const auto step = [scratch](auto work) {
        return [scratch, work](std::stop_token stop) {
            if (!scratch->enter()) throw UpdateError("cancelled");
            const auto leave = qScopeGuard([&] { scratch->leave(); });
            return work(stop);
        };
    };
    std::exception_ptr error;
    try {
        try {
            auto downloading = onPool(pool_, stop_.get_token(), step([url, scratch, self](std::stop_token stop) {
                // The archive goes once unpacked: no need to flush it to disk.
                Downloader::download(url, scratch->archive(), [self](std::optional<double> fraction) {
                    if (!fraction) return;
                    const double value = 0.85 * *fraction;
                    toMainThread(self, [value](UpdateManager& manager) { manager.advance(value); });
                }, stop, {}, true);
                scratch->lockArchive();
                return true;
            }));
            co_await downloading;
        } catch (const std::exception& e) {
            throw UpdateError(std::string("The download failed: ") + e.what());
        }
        if (!self) throw UpdateError("cancelled");
        setStatus(Status::updating("Installing the update..."));
        advance(0.9);

        if (hasDigest) {
            auto hashing = onPool(pool_, stop_.get_token(), step([scratch](std::stop_token stop) {
                return platform::Sha256::hex(platform::Sha256::ofFile(scratch->archive(), stop));
            }));
            const auto digest = co_await hashing;
            if (!self) throw UpdateError("cancelled");
            if (digest != lowerAscii(*sha256))
                throw UpdateError(kIntegrity, "the archive's SHA-256 is " + digest + ", the feed gives " + *sha256);
        }

        const auto identifier = info_.identifier;
        const auto limits = archiveLimits;
        const auto installed = *destination;
        const auto journal = installJournal();
        auto unpacking = onPool(pool_, stop_.get_token(), step([=](std::stop_token stop) {
            // Named first, so that the next start tidies the install folder whatever happens from here on.
            VersionSwitch::remember(journal, installed);
            madeLib->store(::access((installed / "lib").c_str(), F_OK) != 0);
            // Each failure names the folder the system refused to write in, and its reason.
            try {
                VersionSwitch::versionsOf(installed);
            } catch (const VersionSwitch::Failed& e) {
                throw UpdateError(cannotSave(e.folder, std::strerror(e.error)), e.what());
            }
            // This computer failing to write (a full disk) is no fault of the archive: the user reads which.
            const auto versions = scratch->unpack().parent_path();
            try {
                scratch->makeUnpackFolder();
                UpdateArchive::extract(scratch->archive(), scratch->unpack(), limits, stop);
            } catch (const UpdateArchive::CannotWrite& e) {
                throw UpdateError(cannotSave(versions, std::strerror(e.error)), e.what());
            } catch (const std::filesystem::filesystem_error& e) {
                throw UpdateError(cannotSave(versions, e.code().message()), e.what());
            }
            const auto found = onlyInstallFolder(scratch->unpack(), identifier);
            if (!found) throw UpdateArchive::NotValid("not exactly one install folder of ours");
            try {
                VersionSwitch::install(*found, installed);
            } catch (const VersionSwitch::Failed& e) {
                throw UpdateError(cannotReplace(e.folder, std::strerror(e.error)), e.what());
            }
            return true;
        }));
        co_await unpacking;
        if (!self) throw UpdateError("cancelled");
    } catch (...) {
        error = std::current_exception();
    }
    if (!self) throw UpdateError("cancelled");  // the manager's end released what the update made
    // The archive always goes, and so does the unpack folder; a prefix the update left as it was loses the
    // folders it made for versions.
    auto cleaning = onPool(pool_, {}, [scratch, madeLib, install = *destination](std::stop_token) {
        scratch->release();
        if (::rmdir((install / InstallFolder::kVersions).c_str()) == 0 && madeLib->load()) ::rmdir((install / "lib").c_str());
    });
    co_await cleaning;
    if (self && scratch_ == scratch) scratch_.reset();
    if (error) std::rethrow_exception(error);
    co_return *destination;
}

QCoro::Task<std::filesystem::path> UpdateManager::buildFromSource(std::filesystem::path folder) {
    QPointer<UpdateManager> self(this);
    folder = folder.lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    const auto script = folder / "build.sh";
    auto building = onPool(pool_, stop_.get_token(), [script, self, limit = buildTimeLimit](std::stop_token stop) {
        return Shell::runStreaming("/bin/bash", {script.string()}, limit, [self](const std::string& line) {
            if (const auto value = buildProgress(line))
                toMainThread(self, [value = *value](UpdateManager& manager) { manager.advance(value); });
        }, stop);
    });
    const auto result = co_await building;
    if (!self) throw UpdateError("cancelled");
    const auto identifier = info_.identifier;
    // The built app, or why there is none.
    using Built = std::pair<std::optional<std::filesystem::path>, std::string>;
    auto reading = onPool(pool_, stop_.get_token(), [folder, result, identifier](std::stop_token) -> Built {
        writeAtomically(folder.parent_path() / "build.log", result.stdout + "\n" + result.stderr);
        if (result.timedOut) return {std::nullopt, "the script ran past its time limit"};
        if (result.status != 0) return {std::nullopt, "the script ended with status " + std::to_string(result.status)};
        std::optional<std::string> path;
        std::size_t start = 0;
        const std::string& out = result.stdout;
        while (start < out.size()) {
            auto end = out.find('\n', start);
            if (end == std::string::npos) end = out.size();
            const std::string_view line(out.data() + start, end - start);
            if (line.starts_with("Built: ")) path = std::string(line.substr(7));
            start = end + 1;
        }
        if (!path) return {std::nullopt, "the script named nothing it built"};
        // The script names what it built; only an install folder of ours inside the source folder is started.
        std::error_code realError;
        std::error_code sourceError;
        const auto real = std::filesystem::canonical(*path, realError);
        const auto source = std::filesystem::canonical(folder, sourceError);
        if (realError || sourceError || !InstallFolder::isOurs(real, identifier))
            return {std::nullopt, *path + " is not an install folder of this app"};
        const auto inside = real.lexically_relative(source);
        if (inside.empty() || *inside.begin() == ".." || *inside.begin() == ".")
            return {std::nullopt, *path + " is not inside the source folder"};
        return {real, {}};
    });
    const Built built = co_await reading;
    if (!self) throw UpdateError("cancelled");
    if (!built.first) throw UpdateError(kBuildFailed, built.second);
    co_return *built.first;
}

void UpdateManager::relaunch(const std::filesystem::path& app) {
    // A helper that cannot start is no reason to keep running the old version: the user asked to restart.
    try {
        Relauncher::startAfterExit(app / InstallFolder::kProgram, {}, relaunchWaitPid);
    } catch (const std::exception& e) {
        Log::write("update: the new version will not start by itself: " + forLog(e.what()));
    }
    if (quit) quit();
    else QCoreApplication::quit();
}

} // namespace corvane
