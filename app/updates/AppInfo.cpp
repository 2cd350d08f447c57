#include "app/updates/AppInfo.hpp"

#include <cstdlib>

#ifndef CORVANE_APP_VERSION
#define CORVANE_APP_VERSION ""
#endif
#ifndef CORVANE_APP_IDENTIFIER
#define CORVANE_APP_IDENTIFIER "org.corvane.Corvane"
#endif
#ifndef CORVANE_APP_UPDATE_FEED_URL
#define CORVANE_APP_UPDATE_FEED_URL ""
#endif
#ifndef CORVANE_APP_SOURCE_DIR
#define CORVANE_APP_SOURCE_DIR ""
#endif

namespace corvane {
namespace {

std::string fromEnvironment(const char* name, const char* compiled) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string(compiled);
}

} // namespace

AppInfo AppInfo::current() {
    AppInfo info;
    info.version = fromEnvironment("CORVANE_VERSION", CORVANE_APP_VERSION);
    if (info.version.empty()) info.version = "0";
    info.identifier = CORVANE_APP_IDENTIFIER;
    info.updateFeedURL = fromEnvironment("CORVANE_UPDATE_FEED_URL", CORVANE_APP_UPDATE_FEED_URL);
    info.sourceDir = fromEnvironment("CORVANE_SOURCE_DIR", CORVANE_APP_SOURCE_DIR);
    return info;
}

} // namespace corvane
