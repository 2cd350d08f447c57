#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace corvane {

// What one send to Windows carries, made from the chosen paths by walking them on disk (a blocking call:
// run it off the main thread). Folders are walked without following symbolic links; ".DS_Store" files are
// never sent. Whatever else does not go (a chosen item that is no longer there or has the name of an earlier
// one, a link, FIFO or device, a folder that cannot be read or lies too deep to be named) is in `leftOut`.
struct SendPlan {
    struct Entry {
        std::string rel;             // "/"-separated, from the top-level name down
        std::filesystem::path path;  // the file here
        std::int64_t size = 0;       // when the list was made; 0 when unreadable
    };
    struct LeftOut {
        enum class Why { gone, sameName, notFileOrFolder, unreadable };
        std::string rel;
        Why why;
    };

    std::vector<std::string> names;    // distinct top-level names of what is there, in the order given
    std::vector<std::string> folders;  // every folder to create, top-level ones included, parents first
    std::vector<Entry> entries;
    std::vector<LeftOut> leftOut;
    std::int64_t total = 1;  // the sum of the sizes, at least 1

    static SendPlan make(const std::vector<std::filesystem::path>& chosen);

    // "report.pdf" or "3 items".
    std::string what() const;
    // What the user reads about `leftOut`: "\"x\" is no longer there." or "\"x\" and 2 more could not be sent."
    std::string describeLeftOut() const;
    // The first item left out, as describeLeftOut names it (between its quotes).
    std::string leftOutName() const;
    // "is no longer there", "is not a file or folder", ...
    static std::string reason(LeftOut::Why why);
    // The name of the box's destination folder: its last non-empty component, "\" and "/" both separating;
    // "Windows" when it has none.
    static std::string folderName(const std::string& dest);
};

} // namespace corvane
