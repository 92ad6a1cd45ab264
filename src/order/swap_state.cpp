#include "order/swap_state.hpp"

#include <algorithm>
#include <cmath>

#include "order/pair_counts.hpp"

namespace kestrel::order {

SwapState::SwapState(const SublatticeProblem& problem, std::vector<std::uint8_t> species)
    : problem_(problem), m_(problem.n_species), n_shells_(problem.shells.n_shells()), species_(std::move(species)) {
    pairs_.assign(n_shells_ * m_ * m_, 0);
    row_.assign(n_shells_ * m_, 0);
    coordination_.resize(species_.size() * n_shells_);
    for (std::size_t i = 0; i < species_.size(); ++i)
        for (std::size_t s = 0; s < n_shells_; ++s)
            coordination_[i * n_shells_ + s] =
                static_cast<std::int32_t>(problem.shells.end(i, s) - problem.shells.begin(i, s));
    inverse_c_.resize(m_);
    for (std::size_t y = 0; y < m_; ++y)
        inverse_c_[y] = static_cast<double>(species_.size()) / static_cast<double>(problem.counts[y]);
    scale_.assign(n_shells_ * m_ * m_, 0.0);
    terms_.assign(n_shells_ * m_ * m_, 0.0);
    delta_.assign(n_shells_ * m_, 0);
    delta_z_.assign(n_shells_, 0);
    refresh();
}

double SwapState::scale_of(std::size_t s, std::size_t x, std::size_t y) const {
    const std::int64_t from_x = row_[s * m_ + x];
    return from_x == 0 ? 0.0 : inverse_c_[y] / static_cast<double>(from_x);
}

void SwapState::rescale(std::size_t s, std::size_t x) {
    for (std::size_t y = 0; y < m_; ++y) scale_[(s * m_ + x) * m_ + y] = scale_of(s, x, y);
}

double SwapState::term(std::size_t s, std::size_t x, std::size_t y, std::int64_t pairs, double scale) const {
    if (x > y) std::swap(x, y);
    const double alpha = 1.0 - static_cast<double>(pairs) * scale;
    return problem_.terms.weights[s] * std::fabs(alpha - problem_.terms.target[(s * m_ + x) * m_ + y]);
}

double SwapState::refresh() {
    const PairCounts counts = count_pairs(problem_.shells, species_, m_);
    pairs_ = counts.bonds;
    row_ = counts.row;
    objective_ = 0.0;
    for (std::size_t s = 0; s < n_shells_; ++s) {
        for (std::size_t x = 0; x < m_; ++x) rescale(s, x);
        for (std::size_t x = 0; x < m_; ++x)
            for (std::size_t y = x + 1; y < m_; ++y) {
                const std::size_t at = (s * m_ + x) * m_ + y;
                terms_[at] = terms_[(s * m_ + y) * m_ + x] = term(s, x, y, pairs_[at], scale_[at]);
                objective_ += terms_[at];
            }
    }
    return objective_;
}

double SwapState::trial(std::uint32_t i, std::uint32_t j) {
    i_ = i;
    j_ = j;
    const NeighborShells& shells = problem_.shells;
    const std::size_t a = species_[i], b = species_[j];
    std::fill(delta_.begin(), delta_.end(), 0);
    bool same_coordination = true;
    for (std::size_t s = 0; s < n_shells_; ++s) {
        std::int32_t* d = delta_.data() + s * m_;
        for (std::uint32_t t = shells.begin(i, s), end = shells.end(i, s); t < end; ++t) {
            const std::uint32_t k = shells.neighbor[t];
            if (k != j) --d[species_[k]];
        }
        for (std::uint32_t t = shells.begin(j, s), end = shells.end(j, s); t < end; ++t) {
            const std::uint32_t k = shells.neighbor[t];
            if (k != i) ++d[species_[k]];
        }
        delta_z_[s] = coordination_[j * n_shells_ + s] - coordination_[i * n_shells_ + s];
        same_coordination = same_coordination && delta_z_[s] == 0;
    }

    // With i taking b and j taking a, an a-t pair count moves by d[t] and a
    // b-t count by -d[t]; the a-b count by d[b] - d[a] (the i-j pair itself
    // stays an a-b pair).
    double change = 0.0;
    for (std::size_t s = 0; s < n_shells_; ++s) {
        const std::int32_t* d = delta_.data() + s * m_;
        const std::size_t base = s * m_ * m_;
        // Where i and j differ in coordination, the rows of a and b change
        // and with them the scales of every pair they start.
        const double row_a = static_cast<double>(row_[s * m_ + a] + delta_z_[s]);
        const double row_b = static_cast<double>(row_[s * m_ + b] - delta_z_[s]);
        const auto scale = [&](std::size_t x, std::size_t y) {
            if (x > y) std::swap(x, y);
            if (same_coordination || (x != a && x != b)) return scale_[base + x * m_ + y];
            const double row = x == a ? row_a : row_b;
            return row == 0.0 ? 0.0 : inverse_c_[y] / row;
        };
        for (std::size_t t = 0; t < m_; ++t) {
            if (t == a || t == b) continue;
            change += term(s, a, t, pairs_[base + a * m_ + t] + d[t], scale(a, t)) - terms_[base + a * m_ + t];
            change += term(s, b, t, pairs_[base + b * m_ + t] - d[t], scale(b, t)) - terms_[base + b * m_ + t];
        }
        change += term(s, a, b, pairs_[base + a * m_ + b] + d[b] - d[a], scale(a, b)) - terms_[base + a * m_ + b];
    }
    return change;
}

void SwapState::accept() {
    const std::size_t a = species_[i_], b = species_[j_];
    for (std::size_t s = 0; s < n_shells_; ++s) {
        const std::int32_t* d = delta_.data() + s * m_;
        const std::size_t base = s * m_ * m_;
        for (std::size_t t = 0; t < m_; ++t) {
            if (t == a || t == b) continue;
            pairs_[base + a * m_ + t] = pairs_[base + t * m_ + a] += d[t];
            pairs_[base + b * m_ + t] = pairs_[base + t * m_ + b] -= d[t];
        }
        pairs_[base + a * m_ + b] = pairs_[base + b * m_ + a] += d[b] - d[a];
        if (delta_z_[s] != 0) {
            row_[s * m_ + a] += delta_z_[s];
            row_[s * m_ + b] -= delta_z_[s];
            rescale(s, a);
            rescale(s, b);
        }
        // The terms of every pair a or b takes part in.
        for (std::size_t t = 0; t < m_; ++t)
            for (std::size_t x : {a, b}) {
                if (t == x) continue;
                const std::size_t lo = std::min(x, t), hi = std::max(x, t);
                const std::size_t at = base + lo * m_ + hi;
                const double value = term(s, lo, hi, pairs_[at], scale_[at]);
                objective_ += value - terms_[at];
                terms_[at] = terms_[base + hi * m_ + lo] = value;
            }
    }
    std::swap(species_[i_], species_[j_]);
}

}  // namespace kestrel::order
