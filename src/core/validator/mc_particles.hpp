// A simulated particle from an event's Monte Carlo table, and the particle categories by which
// efficiencies are reported. Identity of a particle is its key alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "event_model/hit.hpp"

namespace trelmon {

struct MCParticle {
    std::uint64_t key = 0;
    std::int32_t pid = 0;
    double p = 0.0;
    double pt = 0.0;
    double eta = 0.0;
    double phi = 0.0;
    std::int32_t charge = 0;
    std::vector<Hit> hits;
    bool isLong = false;
    bool isDown = false;
    bool hasVelo = true;
    bool hasUT = false;
    bool hasScifi = false;
    bool fromBeautyDecay = false;
    bool fromCharmDecay = false;
    bool fromStrangeDecay = false;
    bool over5GeV = false;
};

inline bool operator==(const MCParticle& a, const MCParticle& b) noexcept {
    return a.key == b.key;
}

// Strictly above 5 GeV in absolute momentum; NaN is not.
bool is_over_5gev(double p) noexcept;

using CategoryPredicate = bool (*)(const MCParticle&) noexcept;

struct Category {
    std::string_view label;
    CategoryPredicate predicate;
};

inline constexpr std::size_t kCategoryCount = 7;

// The categories in report order.
const std::array<Category, kCategoryCount>& categories() noexcept;

// The predicate of a label; a label outside the table selects no particle.
CategoryPredicate category_predicate(std::string_view label) noexcept;

}  // namespace trelmon

template <>
struct std::hash<trelmon::MCParticle> {
    std::size_t operator()(const trelmon::MCParticle& particle) const noexcept {
        return std::hash<std::uint64_t>{}(particle.key);
    }
};
