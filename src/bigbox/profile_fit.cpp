#include "bigbox/profile_fit.hpp"

#include <algorithm>
#include <cmath>

namespace kestrel::bigbox {

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
    fit.model_.assign(n, 0.0);
    fit.acc_.assign(n, 0.0);
    fit.data_ = std::move(data);
    for (std::size_t j = 0; j < n; ++j) fit.now_.dd += fit.data_.weight[j] * fit.data_.data[j] * fit.data_.data[j];
    if (!(fit.now_.dd > 0.0)) return fail("a data set is zero everywhere it is fitted");
    return fit;
}

void CurveFit::add_column(std::size_t pair, std::size_t bin, double amount) {
    const std::int64_t m = static_cast<std::int64_t>(data_.oversample);
    const std::int64_t base = data_.first * m - static_cast<std::int64_t>(bin) + data_.centre;
    const std::int64_t phi = ((base % m) + m) % m;
    const std::vector<double>& column = phase_[pair][static_cast<std::size_t>(phi)];
    const std::int64_t k0 = (base - phi) / m;  // column index at point 0
    const std::int64_t n = static_cast<std::int64_t>(acc_.size());
    const std::int64_t begin = std::max<std::int64_t>(0, -k0);
    const std::int64_t end = std::min<std::int64_t>(n, static_cast<std::int64_t>(column.size()) - k0);
    if (begin >= end) return;
    double* out = acc_.data();
    const double* in = column.data() + k0;
    for (std::int64_t j = begin; j < end; ++j) out[j] += amount * in[j];
    lo_ = std::min(lo_, static_cast<std::size_t>(begin));
    hi_ = std::max(hi_, static_cast<std::size_t>(end));
}

void CurveFit::refresh(const std::vector<std::int32_t>& counts) {
    std::fill(acc_.begin(), acc_.end(), 0.0);
    lo_ = acc_.size();
    hi_ = 0;
    for (std::size_t at = 0; at < counts.size(); ++at)
        if (counts[at] != 0) add_column(at / n_bins_, at % n_bins_, counts[at]);
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
        if (amount != 0) add_column(at / n_bins_, at % n_bins_, amount);
    }
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
