#include "event_model/hit.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>

namespace trelmon {
namespace {

// Large enough for the longest fixed-notation double (about 1e308 written out in full).
constexpr std::size_t kFloatBuffer = 400;

bool format_non_finite(double value, std::string& out) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

// From 2^53 on every double is an integer, and fixed notation would spell out its exact binary
// value; the shortest digits that read back to it, padded with zeros, are what is wanted.
void append_large_integral(std::string& out, double value) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    int exponent = 0;
    const char* digits_end = text.data() + text.size();
    const char* exponent_start = text.data() + e + 1;
    if (*exponent_start == '+') {
        ++exponent_start;
    }
    std::from_chars(exponent_start, digits_end, exponent);
    int digits = 0;
    for (const char c : text.substr(0, e)) {
        if (c == '-' || c == '.') {
            if (c == '-') {
                out += c;
            }
            continue;
        }
        out += c;
        ++digits;
    }
    out.append(static_cast<std::size_t>(exponent + 1 - digits), '0');
}

void append_plain(std::string& out, double value) {
    if (format_non_finite(value, out)) {
        return;
    }
    if (std::fabs(value) >= 0x1p53) {
        append_large_integral(out, value);
        return;
    }
    char buffer[kFloatBuffer];
    auto result = std::to_chars(buffer, buffer + kFloatBuffer, value, std::chars_format::fixed);
    out.append(buffer, result.ptr);
}

// Scientific form without "+" or leading zeros in the exponent: 1e20, 1.5e-7.
void append_exponent_form(std::string& out, double value) {
    char buffer[64];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* end = result.ptr;
    const char* e = static_cast<const char*>(std::memchr(buffer, 'e', end - buffer));
    out.append(static_cast<const char*>(buffer), e + 1);
    const char* digits = e + 1;
    if (*digits == '-') {
        out += '-';
        ++digits;
    } else if (*digits == '+') {
        ++digits;
    }
    while (digits + 1 < end && *digits == '0') {
        ++digits;
    }
    out.append(digits, end);
}

void append_debug(std::string& out, double value) {
    if (format_non_finite(value, out)) {
        return;
    }
    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
        append_exponent_form(out, value);
        return;
    }
    const std::size_t start = out.size();
    append_plain(out, value);
    if (out.find('.', start) == std::string::npos) {
        out += ".0";
    }
}

void append_int(std::string& out, long long value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

}  // namespace

std::string format_plain_float(double value) {
    std::string out;
    append_plain(out, value);
    return out;
}

std::string format_debug_float(double value) {
    std::string out;
    append_debug(out, value);
    return out;
}

std::string hit_repr(const Hit& hit) {
    std::string out = "#";
    append_int(out, hit.id);
    out += " module ";
    append_int(out, hit.module_number);
    out += " {";
    append_plain(out, hit.x);
    out += ", ";
    append_plain(out, hit.y);
    out += ", ";
    append_plain(out, hit.z);
    if (hit.with_t) {
        out += ", ";
        append_plain(out, hit.t);
    }
    out += "}";
    return out;
}

std::string hit_debug(const Hit& hit) {
    std::string out = "Hit { id: ";
    append_int(out, hit.id);
    out += ", x: ";
    append_debug(out, hit.x);
    out += ", y: ";
    append_debug(out, hit.y);
    out += ", z: ";
    append_debug(out, hit.z);
    out += ", t: ";
    append_debug(out, hit.t);
    out += ", module_number: ";
    append_int(out, hit.module_number);
    out += hit.with_t ? ", with_t: true }" : ", with_t: false }";
    return out;
}

std::string hit_list_debug(std::span<const Hit> hits) {
    std::string out = "[";
    for (std::size_t i = 0; i < hits.size(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        out += hit_debug(hits[i]);
    }
    out += "]";
    return out;
}

}  // namespace trelmon
