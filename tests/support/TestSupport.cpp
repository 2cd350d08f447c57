#include "tests/support/TestSupport.hpp"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

std::string uniqueLoopbackAddress() {
    static std::atomic<unsigned> counter{0};
    const unsigned pid = static_cast<unsigned>(getpid());
    const unsigned n = counter.fetch_add(1);
    // 127.P.P.N with P from the process id: distinct programs rarely collide, and never within one.
    const unsigned second = 1 + (pid >> 8) % 254;
    const unsigned third = pid % 256;
    const unsigned fourth = 2 + n % 250;
    return "127." + std::to_string(second) + "." + std::to_string(third) + "." + std::to_string(fourth);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string readWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeWhole(const std::filesystem::path& file, ByteView content) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

std::string hexOf(ByteView bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t b : bytes) out += {digits[b >> 4], digits[b & 15]};
    return out;
}

} // namespace corvane::test
