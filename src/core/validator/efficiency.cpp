#include "validator/efficiency.hpp"

#include <cstdio>

namespace trelmon {

double clone_percentage(const Efficiency& efficiency) noexcept {
    if (efficiency.n_reco == 0) {
        return 0.0;
    }
    return static_cast<double>(efficiency.n_clones) * 100.0 /
           static_cast<double>(efficiency.n_reco);
}

double hit_eff_percentage(const Efficiency& efficiency) noexcept {
    if (efficiency.n_hiteff == 0) {
        return 0.0;
    }
    return efficiency.hiteff_sum * 100.0 / static_cast<double>(efficiency.n_hiteff);
}

std::string efficiency_line(const Efficiency& e) {
    std::string line = e.label;
    if (line.size() < 20) {
        line.append(20 - line.size(), ' ');
    }
    const char* format =
        " %6llu from %6llu (%5.1f%%, %5.1f%%) %4llu clones (%5.2f%%), purity: (%6.2f%%, "
        "%6.2f%%), hitEff: (%6.2f%%, %6.2f%%)";
    const auto print = [&](char* out, std::size_t size) {
        return std::snprintf(out, size, format, static_cast<unsigned long long>(e.n_reco),
                             static_cast<unsigned long long>(e.n_particles), e.recoeffT,
                             e.avg_recoeff, static_cast<unsigned long long>(e.n_clones),
                             clone_percentage(e), e.purityT, e.avg_purity, e.avg_hiteff,
                             hit_eff_percentage(e));
    };
    const int length = print(nullptr, 0);
    if (length > 0) {
        const std::size_t start = line.size();
        line.resize(start + static_cast<std::size_t>(length) + 1);
        print(line.data() + start, static_cast<std::size_t>(length) + 1);
        line.pop_back();
    }
    return line;
}

}  // namespace trelmon
