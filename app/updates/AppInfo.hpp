#pragma once

#include <string>

namespace corvane {

// What the application knows about itself, compiled in from the build's options. The environment
// variables CORVANE_VERSION, CORVANE_UPDATE_FEED_URL and CORVANE_SOURCE_DIR replace the compiled-in values
// (tests, the demo). An empty text means the key is absent.
struct AppInfo {
    std::string version;        // the running version; "0" when none is known
    std::string identifier;     // the identifier an install folder's app-info.json must carry
    std::string updateFeedURL;  // "CorvaneUpdateFeedURL"
    std::string sourceDir;      // "CorvaneSourceDir"

    static AppInfo current();
    bool operator==(const AppInfo&) const = default;
};

} // namespace corvane
