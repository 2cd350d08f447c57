#include "app/updates/UpdateArchive.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

constexpr const char* kNotValid = "The downloaded update is not a valid Corvane app.";
constexpr std::size_t kMaxPathBytes = 4096;

struct Fd {
    int fd = -1;
    explicit Fd(int fd) : fd(fd) {}
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};

[[noreturn]] void refuse(const std::string& why) { throw UpdateArchive::NotValid(why); }

// Making `entry` failed with `error`. Where the entry itself is the cause (a name the file system refuses, one
// already there, a link or file in its way) the archive is refused; otherwise this computer could not write.
[[noreturn]] void cannotMake(const std::string& what, const std::string& entry, int error) {
    switch (error) {
    case EEXIST: case ELOOP: case ENOTDIR: case EISDIR: case ENAMETOOLONG: case EINVAL: case EILSEQ:
        refuse(what + " " + entry + ": " + std::strerror(error));
    default:
        throw UpdateArchive::CannotWrite(entry, error);
    }
}

// The entry's name as components; refuses absolute names, "..", and empty names. "." and empty pieces
// ("a//b", "./a") are dropped.
std::vector<std::string> componentsOf(const char* name) {
    if (!name || !*name) refuse("an entry without a name");
    const std::string text = name;
    if (text.size() > kMaxPathBytes) refuse("an entry name too long");
    if (text.front() == '/') refuse("an absolute entry name: " + text);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto slash = text.find('/', start);
        if (slash == std::string::npos) slash = text.size();
        const std::string piece = text.substr(start, slash - start);
        if (piece == "..") refuse("an entry name leading out: " + text);
        if (!piece.empty() && piece != ".") parts.push_back(piece);
        start = slash + 1;
    }
    if (parts.empty()) refuse("an entry without a name");
    return parts;
}

// A link target must stay inside the top-level folder: that folder is what gets installed, so a link
// reaching its parent would lead out of the app once it is in place. The system resolves a target through
// the links it passes, so ".." may only climb from the link's own folder (a real folder: entries are never
// written through links), before the target descends: "../lib/x" is fine, "a/../x" is refused, since "a" may
// be a link to anywhere inside and ".." then climbs from there. Every link obeying this resolves inside.
void checkLinkTarget(const std::vector<std::string>& linkParts, const char* target) {
    if (!target || !*target) refuse("a link without a target");
    const std::string text = target;
    if (text.size() > kMaxPathBytes || text.front() == '/') refuse("a link leading out: " + text);
    std::size_t depth = linkParts.size() - 1;  // the link's folder
    bool descended = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto slash = text.find('/', start);
        if (slash == std::string::npos) slash = text.size();
        const std::string piece = text.substr(start, slash - start);
        if (piece == "..") {
            if (descended) refuse("a link climbing through another entry: " + text);
            if (depth <= 1) refuse("a link leading out: " + text);
            --depth;
        } else if (!piece.empty() && piece != ".") {
            descended = true;
        }
        start = slash + 1;
    }
}

// Opens (creating as needed) the folders leading to the entry, never through a link.
Fd openParent(int root, const std::vector<std::string>& parts) {
    Fd current(::dup(root));
    if (current.fd < 0) refuse("cannot open the unpack folder");
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (::mkdirat(current.fd, parts[i].c_str(), 0755) != 0 && errno != EEXIST)
            cannotMake("cannot create folder", parts[i], errno);
        Fd next(::openat(current.fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.fd < 0) refuse("an entry written through a link or file: " + parts[i]);
        current = std::move(next);
    }
    return current;
}

void writeFile(archive* reader, int parent, const std::string& name, const std::string& entry, mode_t mode,
               std::uint64_t& total, const UpdateArchive::Limits& limits, const std::stop_token& stop) {
    Fd out(::openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (out.fd < 0) cannotMake("cannot create file", entry, errno);
    std::vector<char> block(256 * 1024);
    for (;;) {
        if (stop.stop_requested()) throw Error("cancelled");
        const la_ssize_t got = archive_read_data(reader, block.data(), block.size());
        if (got < 0) refuse(std::string("unreadable data: ") + archive_error_string(reader));
        if (got == 0) break;
        total += static_cast<std::uint64_t>(got);
        if (total > limits.maxBytes) refuse("more bytes than allowed");
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(got)) {
            const ssize_t wrote = ::write(out.fd, block.data() + done, static_cast<std::size_t>(got) - done);
            if (wrote < 0) {
                if (errno == EINTR) continue;
                throw UpdateArchive::CannotWrite(entry, errno);
            }
            done += static_cast<std::size_t>(wrote);
        }
    }
    // The mode given to openat passed through the umask; set it as the archive has it (already limited).
    ::fchmod(out.fd, mode);
}

} // namespace

UpdateArchive::NotValid::NotValid(std::string detail) : Error(kNotValid), detail(std::move(detail)) {}

UpdateArchive::CannotWrite::CannotWrite(std::string entry, int error)
    : Error("cannot write " + entry + ": " + std::strerror(error)), entry(std::move(entry)), error(error) {}

void UpdateArchive::extract(const std::filesystem::path& archivePath, const std::filesystem::path& folder,
                            const Limits& limits, std::stop_token stop) {
    Fd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0) refuse("cannot open the unpack folder");
    std::unique_ptr<archive, ReadFree> reader(archive_read_new());
    if (!reader) throw std::bad_alloc();
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), 256 * 1024) != ARCHIVE_OK)
        refuse(std::string("unreadable archive: ") + archive_error_string(reader.get()));

    std::uint64_t entries = 0;
    std::uint64_t total = 0;
    for (;;) {
        if (stop.stop_requested()) throw Error("cancelled");
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            refuse(std::string("unreadable archive: ") + archive_error_string(reader.get()));
        if (++entries > limits.maxEntries) refuse("more entries than allowed");

        const char* name = archive_entry_pathname_utf8(entry);
        if (!name) name = archive_entry_pathname(entry);
        const auto parts = componentsOf(name);
        if (archive_entry_hardlink(entry)) refuse("a hard link: " + std::string(name));
        const mode_t mode = archive_entry_mode(entry);
        if (mode & (S_ISUID | S_ISGID | S_ISVTX)) refuse("set-user-ID, set-group-ID or sticky bits: " + std::string(name));
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0 &&
            static_cast<std::uint64_t>(archive_entry_size(entry)) > limits.maxBytes - total)
            refuse("more bytes than allowed");

        const Fd parent = openParent(root.fd, parts);
        const std::string& last = parts.back();
        switch (archive_entry_filetype(entry)) {
        case AE_IFDIR: {
            if (::mkdirat(parent.fd, last.c_str(), 0755) != 0) {
                if (errno != EEXIST) cannotMake("cannot create folder", name, errno);
                struct stat st {};
                if (::fstatat(parent.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
                    refuse("cannot create folder " + std::string(name));
            }
            break;
        }
        case AE_IFREG:
            writeFile(reader.get(), parent.fd, last, name, (mode & 0755) | 0600, total, limits, stop);
            break;
        case AE_IFLNK: {
            const char* target = archive_entry_symlink_utf8(entry);
            if (!target) target = archive_entry_symlink(entry);
            checkLinkTarget(parts, target);
            if (::symlinkat(target, parent.fd, last.c_str()) != 0) cannotMake("cannot create link", name, errno);
            break;
        }
        default:
            refuse("a device, FIFO or socket: " + std::string(name));
        }
    }
}

} // namespace corvane
