#include "event_model/event.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_set>
#include <utility>

#include "core_errors.hpp"

namespace trelmon {
namespace {

// Distinct z values of one module in order of first appearance. 0.0 and -0.0 are one value, as
// are all NaNs; the first value met is the one kept. Modules hold a handful of z planes, so a
// short linear scan wins; a hash set takes over for pathological inputs.
class DistinctValues {
  public:
    explicit DistinctValues(std::vector<double>& values) : values_(values) {}

    void add(double value) {
        // Most modules hold one or two z planes whose hits come in random order: test both
        // without a branch on which one matches.
        if (values_.size() <= 2) {
            bool found = false;
            for (double known : values_) {
                found |= same(known, value);
            }
            if (found) {
                return;
            }
        } else if (same(values_[last_], value)) {
            return;
        }
        if (values_.size() <= kLinearLimit) {
            for (std::size_t i = 0; i < values_.size(); ++i) {
                if (same(values_[i], value)) {
                    last_ = i;
                    return;
                }
            }
            if (values_.size() == kLinearLimit) {
                for (double known : values_) {
                    seen_.insert(canonical(known));
                }
            }
        } else if (!seen_.insert(canonical(value)).second) {
            return;
        }
        if (values_.size() >= kLinearLimit) {
            seen_.insert(canonical(value));
        }
        last_ = values_.size();
        values_.push_back(value);
    }

  private:
    static constexpr std::size_t kLinearLimit = 16;

    static bool same(double a, double b) {
        return static_cast<bool>(static_cast<int>(a == b) | (static_cast<int>(std::isnan(a)) &
                                                             static_cast<int>(std::isnan(b))));
    }
    static std::uint64_t canonical(double value) {
        if (std::isnan(value)) {
            return std::bit_cast<std::uint64_t>(std::numeric_limits<double>::quiet_NaN());
        }
        return std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value);
    }

    std::vector<double>& values_;
    std::unordered_set<std::uint64_t> seen_;
    std::size_t last_ = 0;
};

void require_length(const char* name, std::size_t have, std::size_t need) {
    if (have < need) {
        throw Error(ErrorKind::Value,
                    "'" + std::string(name) + "' is " + std::to_string(need - have) +
                        " short: 'module_prefix_sum' lays out " + std::to_string(need) +
                        " hits but it holds " + std::to_string(have));
    }
}

}  // namespace

Event build_event(EventColumns columns) {
    const auto& prefix = columns.module_prefix_sum;
    if (prefix.size() < kNumberOfModules + 1) {
        throw Error(ErrorKind::Value,
                    "'module_prefix_sum' has " + std::to_string(prefix.size()) + " entries, " +
                        std::to_string(kNumberOfModules + 1 - prefix.size()) + " fewer than the " +
                        std::to_string(kNumberOfModules + 1) + " needed");
    }
    // Every position a module range reads must exist in the coordinate lists.
    std::size_t needed = prefix[kNumberOfModules];
    std::size_t hits_to_build = 0;
    for (std::size_t m = 0; m < kNumberOfModules; ++m) {
        if (prefix[m] < prefix[m + 1]) {
            needed = std::max(needed, prefix[m + 1]);
            hits_to_build += prefix[m + 1] - prefix[m];
        }
    }
    require_length("x", columns.x.size(), needed);
    require_length("y", columns.y.size(), needed);
    require_length("z", columns.z.size(), needed);
    if (columns.t) {
        require_length("t", columns.t->size(), needed);
    }

    Event event;
    event.description = std::move(columns.description);
    event.number_of_hits = prefix[kNumberOfModules];
    event.module_zs.resize(kNumberOfModules);

    auto hits = std::make_shared<HitList>();
    hits->reserve(hits_to_build);
    const bool with_t = columns.t.has_value();
    const double* xs = columns.x.data();
    const double* ys = columns.y.data();
    const double* zs_in = columns.z.data();
    const double* ts = with_t ? columns.t->data() : nullptr;
    for (std::size_t m = 0; m < kNumberOfModules; ++m) {
        DistinctValues zs(event.module_zs[m]);
        const auto module_number = static_cast<std::int32_t>(m);
        for (std::size_t i = prefix[m]; i < prefix[m + 1]; ++i) {
            zs.add(zs_in[i]);
            // Field by field: a braced record built from spilled scalars stalls on the reload.
            Hit& hit = hits->emplace_back();
            hit.id = static_cast<std::int32_t>(i);
            hit.x = xs[i];
            hit.y = ys[i];
            hit.z = zs_in[i];
            hit.t = ts != nullptr ? ts[i] : 0.0;
            hit.module_number = module_number;
            hit.with_t = with_t;
        }
    }
    event.hits = std::move(hits);

    event.modules.reserve(kNumberOfModules);
    for (std::size_t m = 0; m < kNumberOfModules; ++m) {
        const auto& zs = event.module_zs[m];
        const double z = zs.empty() ? std::numeric_limits<double>::quiet_NaN() : zs.front();
        event.modules.push_back(
            make_module(static_cast<std::uint32_t>(m), z, prefix[m], prefix[m + 1], event.hits));
    }
    event.module_prefix_sum = std::move(columns.module_prefix_sum);
    return event;
}

}  // namespace trelmon
