#pragma once

#include <exception>
#include <string>
#include <utility>

namespace corvane {

// Base of every error Corvane throws. what() is the text shown to the user or written to the log.
class Error : public std::exception {
public:
    explicit Error(std::string description = {}) : description_(std::move(description)) {}
    const char* what() const noexcept override { return description_.c_str(); }
    const std::string& description() const noexcept { return description_; }

private:
    std::string description_;
};

} // namespace corvane
