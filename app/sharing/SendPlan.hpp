#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace corvane {

// What one send to Windows carries, made from the chosen paths by walking them on disk (a blocking call:
// run it off the main thread). Folders are walked without following symbolic links; links, sockets and
// the like inside them are left out, as are ".DS_Store" files. A chosen item that is no longer there is
// left out too and named in `vanished`.
struct SendPlan {
    struct Entry {
        std::string rel;             // "/"-separated, from the top-level name down
        std::filesystem::path path;  // the file here
        std::int64_t size = 0;       // when the list was made; 0 when unreadable
    };

    std::vector<std::string> names;    // distinct top-level names, in the order given
    std::vector<std::string> folders;  // every folder to create, top-level ones included, parents first
    std::vector<Entry> entries;
    std::vector<std::string> vanished;
    std::int64_t total = 1;  // the sum of the sizes, at least 1

    static SendPlan make(const std::vector<std::filesystem::path>& chosen);

    // "report.pdf" or "3 items".
    std::string what() const;
};

} // namespace corvane
