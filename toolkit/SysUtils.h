// The runtime's general exception class and the number conversions the program shares.
#pragma once

#include <exception>
#include <string>

namespace SysUtils {

// Every failure the program reports is an Exception carrying a user-facing message.
class Exception : public std::exception {
public:
    explicit Exception(std::string Message) : FMessage(std::move(Message)) {}

    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

} // namespace SysUtils
