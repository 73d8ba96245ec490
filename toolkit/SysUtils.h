// The runtime's general exception class and the number conversions the program shares.
//
// Every conversion here is independent of the C locale: '.' is always the decimal separator,
// whatever LC_NUMERIC says, so the settings file and the number fields read and write the same
// text on every machine.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
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

// A text that does not hold a number of the requested kind.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Decimal number: optional blanks (space, tab), an optional sign, digits with an optional '.'
// (at least one digit in all), an optional exponent (e or E, optional sign, digits), optional
// blanks. Nothing else: no "inf", "nan", hexadecimal floats or ',' separator. A value too large
// for a double is rejected; one too small for the smallest denormal reads as zero.
bool TryStrToFloat(const std::string& S, double& Value);

// As TryStrToFloat; raises EConvertError "'<S>' is not a valid floating point value".
double StrToFloat(const std::string& S);

// Integer as the settings file writes it: optional blanks, then either decimal with an optional
// sign, in [-2^31, 2^32 - 1] (so both signed and unsigned 32-bit fields fit), or hexadecimal
// with the prefix 0x, 0X or $ and at most the value 0xFFFFFFFF; optional blanks. The caller cuts
// the value to the width of its field. Anything else gives no value.
std::optional<std::int64_t> ParseInteger(const std::string& S);

// ParseInteger cut to 32 bits, two's complement ("4294967295" and "$FFFFFFFF" give -1);
// Default when the text is not an integer.
std::int32_t StrToIntDef(const std::string& S, std::int32_t Default);

// General format with up to 15 significant digits and no trailing zeros, the way printf's %.15g
// chooses between fixed and exponent form (exponent below -4, or 15 and above). The exponent is
// written with a capital E, a '-' only when negative and no leading zeros: 1e-20 gives "1E-20",
// 1e20 gives "1E20". Negative zero gives "0"; infinities and NaN give "INF", "-INF" and "NAN".
std::string FloatToStr(double Value);

// Fixed-point formatting by a pattern of zeros: "0", "0.0", "0.000000", ... The zeros before
// the point are the least number of integer digits, those after it the exact number of
// decimals. The value is taken to 15 significant digits and then rounded half away from zero,
// so 1.005 with "0.00" gives "1.01" rather than the "1.00" of its binary neighbour. A result
// that rounds to zero carries no sign. Raises Exception for any other pattern.
std::string FormatFloat(const std::string& Pattern, double Value);

} // namespace SysUtils
