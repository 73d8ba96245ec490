#include "toolkit/SysUtils.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace SysUtils {

namespace {

bool IsBlank(char C) {
    return C == ' ' || C == '\t';
}
bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

std::string_view TrimBlanks(std::string_view S) {
    while (!S.empty() && IsBlank(S.front()))
        S.remove_prefix(1);
    while (!S.empty() && IsBlank(S.back()))
        S.remove_suffix(1);
    return S;
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

// Checks the decimal-number grammar by hand, because std::from_chars also takes "inf", "nan"
// and other forms the program must refuse. On success returns the decimal exponent of the
// leading significant digit (saturated), which tells an overflow from an underflow when the
// value does not fit a double.
std::optional<std::int64_t> CheckFloatSyntax(std::string_view S) {
    std::size_t i = 0;
    if (i < S.size() && (S[i] == '+' || S[i] == '-'))
        ++i;
    std::int64_t intDigits = 0;   // digits before the point, after leading zeros
    std::int64_t leadingFrac = 0; // zeros after the point before the first significant digit
    bool significant = false, anyDigit = false;
    for (; i < S.size() && IsDigit(S[i]); ++i) {
        anyDigit = true;
        if (S[i] != '0')
            significant = true;
        if (significant && intDigits < 1000000)
            ++intDigits;
    }
    if (i < S.size() && S[i] == '.') {
        ++i;
        for (; i < S.size() && IsDigit(S[i]); ++i) {
            anyDigit = true;
            if (!significant && S[i] == '0' && leadingFrac < 1000000)
                ++leadingFrac;
            else
                significant = true;
        }
    }
    if (!anyDigit)
        return std::nullopt;
    std::int64_t exponent = 0;
    if (i < S.size() && (S[i] == 'e' || S[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < S.size() && (S[i] == '+' || S[i] == '-'))
            negative = S[i++] == '-';
        if (i >= S.size() || !IsDigit(S[i]))
            return std::nullopt;
        for (; i < S.size() && IsDigit(S[i]); ++i)
            if (exponent < 1000000)
                exponent = exponent * 10 + (S[i] - '0');
        if (negative)
            exponent = -exponent;
    }
    if (i != S.size())
        return std::nullopt;
    return intDigits > 0 ? intDigits - 1 + exponent : -(leadingFrac + 1) + exponent;
}

std::string SpecialText(double Value) {
    if (std::isnan(Value))
        return "NAN";
    return Value < 0 ? "-INF" : "INF";
}

// The 15 significant digits of |Value| (not zero, finite) and the decimal exponent of the
// first.
void SignificantDigits(double Value, std::string& Digits, int& Exponent) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(Value),
                                std::chars_format::scientific, 14);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    std::size_t e = text.find('e');
    Digits.clear();
    for (char c : text.substr(0, e))
        if (IsDigit(c))
            Digits += c;
    std::string_view exponentText = text.substr(e + 1);
    if (!exponentText.empty() && exponentText.front() == '+')
        exponentText.remove_prefix(1);
    Exponent = 0;
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), Exponent);
}

} // namespace

bool TryStrToFloat(const std::string& S, double& Value) {
    std::string_view text = TrimBlanks(S);
    std::optional<std::int64_t> magnitude = CheckFloatSyntax(text);
    if (!magnitude)
        return false;
    bool negative = text.front() == '-';
    if (text.front() == '+' || text.front() == '-')
        text.remove_prefix(1);
    double parsed = 0.0;
    auto result =
        std::from_chars(text.data(), text.data() + text.size(), parsed, std::chars_format::general);
    if (result.ptr != text.data() + text.size())
        return false;
    if (result.ec == std::errc::result_out_of_range) {
        if (*magnitude > 0)
            return false; // beyond the largest double
        parsed = 0.0;     // below the smallest denormal
    } else if (result.ec != std::errc()) {
        return false;
    }
    Value = negative ? -parsed : parsed;
    return true;
}

double StrToFloat(const std::string& S) {
    double value = 0.0;
    if (!TryStrToFloat(S, value))
        throw EConvertError("'" + S + "' is not a valid floating point value");
    return value;
}

std::optional<std::int64_t> ParseInteger(const std::string& S) {
    constexpr std::int64_t maxUnsigned = 0xFFFFFFFFLL;
    constexpr std::int64_t minSigned = -0x80000000LL;
    std::string_view text = TrimBlanks(S);
    std::size_t i = 0;
    std::int64_t value = 0;
    if (text.starts_with("0x") || text.starts_with("0X") || text.starts_with("$")) {
        i = text.front() == '$' ? 1 : 2;
        if (i == text.size())
            return std::nullopt;
        for (; i < text.size(); ++i) {
            int digit = HexDigit(text[i]);
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + digit;
            if (value > maxUnsigned)
                return std::nullopt;
        }
        return value;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return std::nullopt;
    for (; i < text.size(); ++i) {
        if (!IsDigit(text[i]))
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > maxUnsigned + 1)
            return std::nullopt; // stops the sum long before it could overflow
    }
    if (negative)
        value = -value;
    if (value < minSigned || value > maxUnsigned)
        return std::nullopt;
    return value;
}

std::int32_t StrToIntDef(const std::string& S, std::int32_t Default) {
    std::optional<std::int64_t> value = ParseInteger(S);
    if (!value)
        return Default;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(*value));
}

std::string FloatToStr(double Value) {
    if (!std::isfinite(Value))
        return SpecialText(Value);
    if (Value == 0.0)
        return "0";
    char buffer[64];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    std::size_t e = text.find('e');
    if (e == std::string::npos)
        return text;
    // "1e-05" -> "1E-5", "1e+20" -> "1E20"
    std::string exponent = text.substr(e + 1);
    bool negative = exponent.front() == '-';
    std::size_t firstDigit = exponent.find_first_not_of("+-0");
    return text.substr(0, e) + 'E' + (negative ? "-" : "") +
           (firstDigit == std::string::npos ? "0" : exponent.substr(firstDigit));
}

std::string FormatFloat(const std::string& Pattern, double Value) {
    std::size_t intZeros = Pattern.find_first_not_of('0');
    if (intZeros == std::string::npos)
        intZeros = Pattern.size();
    std::size_t decimals = 0;
    bool valid = intZeros > 0;
    if (valid && intZeros < Pattern.size()) {
        decimals = Pattern.size() - intZeros - 1;
        valid = Pattern[intZeros] == '.' && decimals > 0 &&
                Pattern.find_first_not_of('0', intZeros + 1) == std::string::npos;
    }
    if (!valid)
        throw Exception("Unsupported number format '" + Pattern + "'");
    if (!std::isfinite(Value))
        return SpecialText(Value);

    // Fixed-point digits of the 15-digit value: integer part and all its decimals.
    std::string intPart = "0", fraction;
    if (Value != 0.0) {
        std::string digits;
        int exponent = 0;
        SignificantDigits(Value, digits, exponent);
        if (exponent >= 0) {
            auto count = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() < count)
                digits.append(count - digits.size(), '0');
            intPart = digits.substr(0, count);
            fraction = digits.substr(count);
        } else {
            fraction = std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
        }
    }
    bool roundUp = fraction.size() > decimals && fraction[decimals] >= '5';
    if (fraction.size() < decimals)
        fraction.append(decimals - fraction.size(), '0');
    fraction.resize(decimals);

    std::string number = intPart + fraction;
    if (roundUp) {
        std::size_t i = number.size();
        while (i > 0 && number[i - 1] == '9')
            number[--i] = '0';
        if (i == 0)
            number.insert(number.begin(), '1');
        else
            ++number[i - 1];
    }
    std::string integerDigits = number.substr(0, number.size() - decimals);
    std::size_t firstNonZero = integerDigits.find_first_not_of('0');
    integerDigits.erase(0, std::min(firstNonZero, integerDigits.size()));
    if (integerDigits.size() < intZeros)
        integerDigits.insert(0, intZeros - integerDigits.size(), '0');

    bool isZero = number.find_first_not_of('0') == std::string::npos;
    std::string text = (Value < 0 && !isZero) ? "-" : "";
    text += integerDigits;
    if (decimals > 0)
        text += '.' + number.substr(number.size() - decimals);
    return text;
}

} // namespace SysUtils
