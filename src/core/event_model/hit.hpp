// One measured point. Identity is the id alone: equality and hashing ignore every other field.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace trelmon {

struct Hit {
    std::int32_t id = 0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double t = 0.0;
    std::int32_t module_number = -1;
    bool with_t = false;
};

inline bool operator==(const Hit& a, const Hit& b) noexcept {
    return a.id == b.id;
}

// "#17 module 4 {1.5, -2, 310}": shortest round-trip decimals, never an exponent.
std::string hit_repr(const Hit& hit);
// "Hit { id: 7, x: 1.5, ... with_t: false }", the form used inside module and track reprs.
std::string hit_debug(const Hit& hit);
// "[Hit { ... }, Hit { ... }]"
std::string hit_list_debug(std::span<const Hit> hits);
// Float text forms shared by the reprs.
std::string format_plain_float(double value);
std::string format_debug_float(double value);

}  // namespace trelmon

template <>
struct std::hash<trelmon::Hit> {
    std::size_t operator()(const trelmon::Hit& hit) const noexcept {
        return std::hash<std::int32_t>{}(hit.id);
    }
};
