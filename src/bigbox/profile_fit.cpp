#include "bigbox/profile_fit.hpp"

#include <algorithm>
#include <cmath>

#include "order/chain_rng.hpp"

namespace kestrel::bigbox {
namespace {

// out[j] += amount * in[j]: the inner loop of every trial move, built for
// the wider vector unit too where the processor has one. The version is
// chosen by a plain test at run time, not by an ifunc: an ifunc's resolver
// runs while the program is being loaded, before a sanitizer's runtime has
// started, and crashes under ThreadSanitizer.
void add_scaled_baseline(double* out, const double* in, double amount, std::int64_t n) {
    for (std::int64_t j = 0; j < n; ++j) out[j] += amount * in[j];
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2,fma"))) void add_scaled_avx2(double* out, const double* in, double amount, std::int64_t n) {
    for (std::int64_t j = 0; j < n; ++j) out[j] += amount * in[j];
}

bool processor_has_avx2_fma() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
    }();
    return has;
}
#endif

void add_scaled(double* out, const double* in, double amount, std::int64_t n) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (processor_has_avx2_fma()) return add_scaled_avx2(out, in, amount, n);
#endif
    add_scaled_baseline(out, in, amount, n);
}

}  // namespace

Result<CurveFit> CurveFit::make(CurveData data, std::size_t n_pairs, std::size_t n_bins) {
    const std::size_t n = data.data.size();
    if (n < 2) return fail("a data set needs at least two points");
    if (data.weight.size() != n || data.factor.size() != n || data.baseline.size() != n)
        return fail("a data set's weights, factors and baseline need one value per point");
    for (double w : data.weight)
        if (!(w >= 0.0) || !std::isfinite(w)) return fail("data weights must be finite and not negative");
    if (!data.noise.empty() && data.noise.size() != n) return fail("a data set's noise needs one value per point");
    for (double sigma : data.noise)
        if (!(sigma >= 0.0) || !std::isfinite(sigma)) return fail("data noise must be finite and not negative");
    if (!data.q.empty()) return make_reciprocal(std::move(data), n_pairs, n_bins);
    if (data.profile.size() != n_pairs) return fail("a data set needs one profile per species pair");
    if (data.oversample == 0 || !(data.step > 0.0)) return fail("a data set needs a positive step");
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
    return finish(std::move(fit), std::move(data));
}

// The model and the data's own sum of squares, once a fit is set up for its kind of curve.
Result<CurveFit> CurveFit::finish(CurveFit fit, CurveData data) {
    const std::size_t n = data.data.size();
    fit.model_.assign(n, 0.0);
    fit.acc_.assign(n, 0.0);
    fit.data_ = std::move(data);
    for (std::size_t j = 0; j < n; ++j) fit.now_.dd += fit.data_.weight[j] * fit.data_.data[j] * fit.data_.data[j];
    if (!(fit.now_.dd > 0.0)) return fail("a data set is zero everywhere it is fitted");
    return fit;
}

Result<CurveFit> CurveFit::make_reciprocal(CurveData data, std::size_t n_pairs, std::size_t n_bins) {
    const std::size_t n = data.data.size();
    if (data.q.size() != n) return fail("a data set in Q needs one Q per point");
    if (data.pair_q.size() != n_pairs) return fail("a data set in Q needs one weight curve per species pair");
    for (const std::vector<double>& weights : data.pair_q)
        if (weights.size() != n) return fail("a data set in Q needs one pair weight per point");
    if (data.taper.size() != n_bins) return fail("a data set in Q needs one taper value per bin");
    if (!(data.bin > 0.0) || !std::isfinite(data.bin)) return fail("a data set in Q needs a positive bin width");
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isfinite(data.q[j]) || !std::isfinite(data.data[j]) || !std::isfinite(data.baseline[j]))
            return fail("data, Q and baseline must be finite");
        for (const std::vector<double>& weights : data.pair_q)
            if (!std::isfinite(weights[j])) return fail("pair weights must be finite");
    }
    CurveFit fit;
    fit.reciprocal_ = true;
    fit.n_bins_ = n_bins;
    fit.inverse_bins_ = 1.0 / static_cast<double>(n_bins);
    // An even grid of Q takes its sines by rotation, a few multiplications a point.
    const double step = (data.q.back() - data.q.front()) / static_cast<double>(n - 1);
    fit.even_q_ = step > 0.0;
    for (std::size_t j = 0; j < n && fit.even_q_; ++j)
        fit.even_q_ =
            std::fabs(data.q[j] - (data.q.front() + step * static_cast<double>(j))) <= 1e-9 * (1.0 + data.q.back());
    fit.bin_change_.assign(n_bins * n_pairs, 0.0);
    fit.sine_.assign(n, 0.0);
    fit.pair_change_.assign(n_pairs, std::vector<double>(n, 0.0));
    data.factor.assign(n, 1.0);
    return finish(std::move(fit), std::move(data));
}

void CurveFit::fill_sines(double r) {
    const std::vector<double>& q = data_.q;
    const std::size_t n = q.size();
    if (!even_q_) {
        for (std::size_t j = 0; j < n; ++j) sine_[j] = std::sin(q[j] * r);
        return;
    }
    // Blocks of eight points, each started afresh from its first point's
    // angle, so the rotation's rounding never builds up over more than a block.
    constexpr std::size_t kBlock = 8;
    const double step = (q.back() - q.front()) / static_cast<double>(n - 1);
    double turn_sin[kBlock], turn_cos[kBlock];
    for (std::size_t k = 0; k < kBlock; ++k) {
        turn_sin[k] = std::sin(static_cast<double>(k) * step * r);
        turn_cos[k] = std::cos(static_cast<double>(k) * step * r);
    }
    for (std::size_t start = 0; start < n; start += kBlock) {
        const double angle = (q.front() + step * static_cast<double>(start)) * r;
        const double s = std::sin(angle), c = std::cos(angle);
        const std::size_t end = std::min(n, start + kBlock);
        for (std::size_t j = start; j < end; ++j) sine_[j] = s * turn_cos[j - start] + c * turn_sin[j - start];
    }
}

void CurveFit::mark_change(std::size_t pair, std::size_t bin, double amount) {
    const std::size_t n_pairs = pair_change_.size();
    double* slot = bin_change_.data() + bin * n_pairs;
    bool seen = false;
    for (std::size_t p = 0; p < n_pairs; ++p) seen = seen || slot[p] != 0.0;
    if (!seen) changed_bins_.push_back(static_cast<std::uint32_t>(bin));
    slot[pair] += amount;
}

void CurveFit::transform_marked() {
    const std::size_t n_pairs = pair_change_.size(), n = acc_.size();
    for (std::vector<double>& change : pair_change_) std::fill(change.begin(), change.end(), 0.0);
    for (std::uint32_t bin : changed_bins_) {
        // A bin marked twice (its change cancelled on the way) is taken once: its slots are zeroed here.
        double* slot = bin_change_.data() + static_cast<std::size_t>(bin) * n_pairs;
        const double r = (static_cast<double>(bin) + 0.5) * data_.bin;
        bool filled = false;
        for (std::size_t p = 0; p < n_pairs; ++p) {
            if (slot[p] == 0.0) continue;
            if (!filled) fill_sines(r);
            filled = true;
            add_scaled(pair_change_[p].data(), sine_.data(), slot[p] * data_.taper[bin] / r,
                       static_cast<std::int64_t>(n));
            slot[p] = 0.0;
        }
    }
    changed_bins_.clear();
    for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t p = 0; p < n_pairs; ++p) sum += data_.pair_q[p][j] * pair_change_[p][j];
        acc_[j] = sum;
    }
    lo_ = 0;
    hi_ = n;
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

void CurveFit::resample(std::uint64_t seed) {
    if (data_.noise.empty()) return;
    order::ChainRng rng(seed);
    constexpr double kTwoPi = 6.283185307179586;
    now_.dd = 0.0;
    for (std::size_t j = 0; j < data_.data.size(); ++j) {
        // Box-Muller: one normal deviate from two uniform ones.
        const double u = 1.0 - rng.uniform(), v = rng.uniform();
        data_.data[j] += data_.noise[j] * std::sqrt(-2.0 * std::log(u)) * std::cos(kTwoPi * v);
        now_.dd += data_.weight[j] * data_.data[j] * data_.data[j];
    }
}

void CurveFit::refresh(const std::vector<std::int32_t>& counts) {
    std::fill(acc_.begin(), acc_.end(), 0.0);
    lo_ = acc_.size();
    hi_ = 0;
    for (std::size_t at = 0; at < counts.size(); ++at) {
        if (counts[at] == 0) continue;
        if (reciprocal_) mark_change(at / n_bins_, at % n_bins_, counts[at]);
        else add_column(phase_[at / n_bins_], at % n_bins_, counts[at]);
    }
    if (reciprocal_) transform_marked();
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
        if (reciprocal_) {
            mark_change(pair, bin, amount);
            continue;
        }
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
    if (reciprocal_) transform_marked();
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
