#include "bigbox/profile_fit.hpp"

#include <algorithm>
#include <cmath>

namespace kestrel::bigbox {
namespace {

// out[j] += amount * in[j]: the inner loop of every trial move, built for
// the wider vector unit too where the processor has one.
__attribute__((target_clones("avx2,fma", "default"))) void add_scaled(double* out, const double* in, double amount,
                                                                      std::int64_t n) {
    for (std::int64_t j = 0; j < n; ++j) out[j] += amount * in[j];
}

}  // namespace

Result<CurveFit> CurveFit::make(CurveData data, std::size_t n_pairs, std::size_t n_bins) {
    const std::size_t n = data.data.size();
    if (n < 2) return fail("a data set needs at least two points");
    if (data.weight.size() != n || data.factor.size() != n || data.baseline.size() != n)
        return fail("a data set's weights, factors and baseline need one value per point");
    if (data.profile.size() != n_pairs) return fail("a data set needs one profile per species pair");
    if (data.oversample == 0 || !(data.step > 0.0)) return fail("a data set needs a positive step");
    for (double w : data.weight)
        if (!(w >= 0.0) || !std::isfinite(w)) return fail("data weights must be finite and not negative");
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isfinite(data.data[j]) || !std::isfinite(data.factor[j]) || !std::isfinite(data.baseline[j]))
            return fail("data, factors and baseline must be finite");
    CurveFit fit;
    const std::size_t m = data.oversample;
    fit.phase_.resize(n_pairs);
    for (std::size_t p = 0; p < n_pairs; ++p) {
        fit.phase_[p].resize(m);
        for (std::size_t q = 0; q < data.profile[p].size(); ++q) fit.phase_[p][q % m].push_back(data.profile[p][q]);
    }
    fit.n_bins_ = n_bins;
    fit.inverse_bins_ = 1.0 / static_cast<double>(n_bins);
    const std::int64_t over = static_cast<std::int64_t>(m);
    for (std::size_t bin = 0; bin < n_bins; ++bin) {
        const std::int64_t base = data.first * over - static_cast<std::int64_t>(bin) + data.centre;
        const std::int64_t phi = ((base % over) + over) % over;
        fit.phase_of_.push_back(static_cast<std::uint32_t>(phi));
        fit.start_of_.push_back((base - phi) / over);
    }
    fit.find_one_shape(data.profile);
    fit.merged_.assign(fit.one_shape_ ? n_bins : 0, 0.0);
    fit.model_.assign(n, 0.0);
    fit.acc_.assign(n, 0.0);
    fit.data_ = std::move(data);
    for (std::size_t j = 0; j < n; ++j) fit.now_.dd += fit.data_.weight[j] * fit.data_.data[j] * fit.data_.data[j];
    if (!(fit.now_.dd > 0.0)) return fail("a data set is zero everywhere it is fitted");
    return fit;
}

void CurveFit::find_one_shape(const std::vector<std::vector<double>>& profiles) {
    const auto largest = [](const std::vector<double>& v) {
        double top = 0.0;
        for (double x : v) top = std::max(top, std::fabs(x));
        return top;
    };
    shape_ = 0;
    for (std::size_t p = 0; p < profiles.size(); ++p)
        if (largest(profiles[p]) > largest(profiles[shape_])) shape_ = p;
    const std::vector<double>& shape = profiles[shape_];
    const double top = largest(shape);
    if (!(top > 0.0)) return;
    std::size_t peak = 0;
    while (std::fabs(shape[peak]) != top) ++peak;
    shape_times_.clear();
    for (const std::vector<double>& profile : profiles) {
        if (profile.size() != shape.size()) return;
        const double times = profile[peak] / shape[peak];
        for (std::size_t q = 0; q < shape.size(); ++q)
            if (std::fabs(profile[q] - times * shape[q]) > 1e-12 * top * std::max(1.0, std::fabs(times))) return;
        shape_times_.push_back(times);
    }
    one_shape_ = true;
}

void CurveFit::add_column(const std::vector<std::vector<double>>& phases, std::size_t bin, double amount) {
    const std::vector<double>& column = phases[phase_of_[bin]];
    const std::int64_t k0 = start_of_[bin];
    const std::int64_t n = static_cast<std::int64_t>(acc_.size());
    const std::int64_t begin = std::max<std::int64_t>(0, -k0);
    const std::int64_t end = std::min<std::int64_t>(n, static_cast<std::int64_t>(column.size()) - k0);
    if (begin >= end) return;
    add_scaled(acc_.data() + begin, column.data() + k0 + begin, amount, end - begin);
    lo_ = std::min(lo_, static_cast<std::size_t>(begin));
    hi_ = std::max(hi_, static_cast<std::size_t>(end));
}

void CurveFit::refresh(const std::vector<std::int32_t>& counts) {
    std::fill(acc_.begin(), acc_.end(), 0.0);
    lo_ = acc_.size();
    hi_ = 0;
    for (std::size_t at = 0; at < counts.size(); ++at)
        if (counts[at] != 0) add_column(phase_[at / n_bins_], at % n_bins_, counts[at]);
    now_.mm = now_.md = 0.0;
    for (std::size_t j = 0; j < model_.size(); ++j) {
        model_[j] = data_.baseline[j] + data_.factor[j] * acc_[j];
        acc_[j] = 0.0;
        now_.mm += data_.weight[j] * model_[j] * model_[j];
        now_.md += data_.weight[j] * model_[j] * data_.data[j];
    }
    lo_ = acc_.size();
    hi_ = 0;
}

Agreement CurveFit::trial(const PairState& state) {
    for (std::size_t j = lo_; j < hi_; ++j) acc_[j] = 0.0;
    lo_ = acc_.size();
    hi_ = 0;
    for (std::uint32_t at : state.touched()) {
        const std::int32_t amount = state.delta(at);
        if (amount == 0) continue;
        const std::size_t pair = pair_of(at), bin = at - pair * n_bins_;
        if (!one_shape_) {
            add_column(phase_[pair], bin, amount);
            continue;
        }
        if (merged_[bin] == 0.0) merged_bins_.push_back(static_cast<std::uint32_t>(bin));
        merged_[bin] += amount * shape_times_[pair];
    }
    for (std::uint32_t bin : merged_bins_) {
        // A sum that cancels to zero adds nothing.
        if (merged_[bin] != 0.0) add_column(phase_[shape_], bin, merged_[bin]);
        merged_[bin] = 0.0;
    }
    merged_bins_.clear();
    next_ = now_;
    for (std::size_t j = lo_; j < hi_; ++j) {
        const double change = data_.factor[j] * acc_[j];
        acc_[j] = change;
        const double w = data_.weight[j];
        next_.mm += w * change * (2.0 * model_[j] + change);
        next_.md += w * change * data_.data[j];
    }
    return next_;
}

void CurveFit::accept() {
    for (std::size_t j = lo_; j < hi_; ++j) {
        model_[j] += acc_[j];
        acc_[j] = 0.0;
    }
    lo_ = acc_.size();
    hi_ = 0;
    now_ = next_;
}

}  // namespace kestrel::bigbox
