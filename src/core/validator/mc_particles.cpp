#include "validator/mc_particles.hpp"

#include <cmath>

namespace trelmon {

namespace {

bool not_electron(const MCParticle& m) noexcept {
    return m.pid != 11 && m.pid != -11;
}

bool velo(const MCParticle& m) noexcept {
    return m.hasVelo && not_electron(m);
}
bool long_(const MCParticle& m) noexcept {
    return m.isLong && not_electron(m);
}
bool long_over5(const MCParticle& m) noexcept {
    return m.isLong && m.over5GeV && not_electron(m);
}
bool long_strange(const MCParticle& m) noexcept {
    return m.isLong && m.fromStrangeDecay && not_electron(m);
}
bool long_strange_over5(const MCParticle& m) noexcept {
    return m.isLong && m.over5GeV && m.fromStrangeDecay && not_electron(m);
}
bool long_fromb(const MCParticle& m) noexcept {
    return m.isLong && m.fromBeautyDecay && not_electron(m);
}
bool long_fromb_over5(const MCParticle& m) noexcept {
    return m.isLong && m.over5GeV && m.fromBeautyDecay && not_electron(m);
}
bool nothing(const MCParticle&) noexcept {
    return false;
}

constexpr std::array<Category, kCategoryCount> kCategories{{
    {"velo", velo},
    {"long", long_},
    {"long>5GeV", long_over5},
    {"long_strange", long_strange},
    {"long_strange>5GeV", long_strange_over5},
    {"long_fromb", long_fromb},
    {"long_fromb>5GeV", long_fromb_over5},
}};

}  // namespace

bool is_over_5gev(double p) noexcept {
    return std::fabs(p) > 5000.0;
}

const std::array<Category, kCategoryCount>& categories() noexcept {
    return kCategories;
}

CategoryPredicate category_predicate(std::string_view label) noexcept {
    for (const Category& category : kCategories) {
        if (category.label == label) {
            return category.predicate;
        }
    }
    return nothing;
}

}  // namespace trelmon
