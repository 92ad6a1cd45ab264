// One measured curve and the model's agreement with it. The model is linear
// in the pair histograms: each histogram bin adds a fixed profile (its
// peak, as broadened and cut off by the instrument) around its distance, so
// a move changes the model by a few shifted profiles, and the agreement with
// one refined scale factor follows in closed form.
#pragma once

#include <cstdint>
#include <vector>

#include "base/error.hpp"
#include "bigbox/pair_state.hpp"

namespace kestrel::bigbox {

// A curve on the points r_j = (first + j) * step, j < data.size(), and what
// one ordered pair count adds to it. The model is
//   M_j = baseline_j + factor_j * sum_{pair p, bin b} counts_pb * profile_p[(first + j) * oversample - b + centre],
// where the histogram bin is step / oversample wide and profile_p[q] holds
// the pair's peak at the offset (q - centre - 1/2) bins from a bin's lower edge.
struct CurveData {
    std::int64_t first = 0;
    double step = 0.0;
    std::size_t oversample = 1;
    std::vector<double> data;
    std::vector<double> weight;  // per point, not negative
    std::vector<double> factor;
    std::vector<double> baseline;
    std::vector<std::vector<double>> profile;  // per species pair
    std::int64_t centre = 0;
    double importance = 1.0;  // this curve's share of the total cost
    // The data's uncertainty per point, or empty: with it each replica fits
    // the data plus its own draw of that noise (see CurveFit::resample).
    std::vector<double> noise;
    // A curve in Q instead (F(Q) or S(Q)), when `q` is not empty: one value
    // per point q_j, and the model
    //   M_j = baseline_j + sum_{pair p, bin b} counts_pb * pair_q[p][j] * taper_b * sin(q_j r_b) / r_b,
    // r_b the centre of bin b (of width `bin`), taper_b the window that
    // ends the sum smoothly. first, step, oversample, factor, profile and
    // centre play no part.
    std::vector<double> q;
    std::vector<std::vector<double>> pair_q;  // per species pair, per point
    std::vector<double> taper;                // per bin
    double bin = 0.0;
};

// The agreement of a scaled model with the data: Rw^2 = min_s sum w (s M - D)^2 / sum w D^2
// = 1 - (sum w M D)^2 / (sum w M^2 sum w D^2), the scale kept positive.
struct Agreement {
    double mm = 0.0, md = 0.0, dd = 0.0;
    double rw2() const {
        if (!(md > 0.0) || !(mm > 0.0) || !(dd > 0.0)) return 1.0;
        return std::max(0.0, 1.0 - md / mm * (md / dd));
    }
    double scale() const { return mm > 0.0 && md > 0.0 ? md / mm : 0.0; }
};

class CurveFit {
public:
    static Result<CurveFit> make(CurveData data, std::size_t n_pairs, std::size_t n_bins);
    // The model summed again from the histograms (and kept from now on).
    void refresh(const std::vector<std::int32_t>& counts);
    // The agreement if the last trial of `state` were made; kept for accept().
    Agreement trial(const PairState& state);
    void accept();
    // Adds to the data a normal draw of its noise from `seed` (nothing when
    // the curve has none), so that replicas fitted to such draws spread as
    // the data's noise spreads what they find. Call before refresh().
    void resample(std::uint64_t seed);
    const Agreement& agreement() const { return now_; }
    const std::vector<double>& model() const { return model_; }
    double importance() const { return data_.importance; }

private:
    // acc_[j] += amount * column (profile, bin), over the points the column reaches.
    void add_column(const std::vector<std::vector<double>>& phases, std::size_t bin, double amount);
    // Sets one_shape_ and shape_times_ when every profile is a multiple of the largest.
    void find_one_shape(const std::vector<std::vector<double>>& profiles);
    static Result<CurveFit> finish(CurveFit fit, CurveData data);
    static Result<CurveFit> make_reciprocal(CurveData data, std::size_t n_pairs, std::size_t n_bins);
    // In Q: notes a change of one pair's count at one bin; transform_marked()
    // then puts the model's change from every noted bin into acc_.
    void mark_change(std::size_t pair, std::size_t bin, double amount);
    void transform_marked();
    // sine_[j] = sin(q_j r) for all points.
    void fill_sines(double r);
    // The pair of a count index [pair * n_bins + bin], without a division.
    std::size_t pair_of(std::uint32_t at) const {
        std::size_t pair = static_cast<std::size_t>(static_cast<double>(at) * inverse_bins_);
        if (pair * n_bins_ > at) --pair;
        if ((pair + 1) * n_bins_ <= at) ++pair;
        return pair;
    }

    CurveData data_;
    std::size_t n_bins_ = 0;
    double inverse_bins_ = 0.0;
    // profile_p split by phase: phase_[p][phi][k] = profile_p[phi + k * oversample], so
    // each column is a contiguous stretch.
    std::vector<std::vector<std::vector<double>>> phase_;
    // Per bin, the phase of its column and the column's index at point 0.
    std::vector<std::uint32_t> phase_of_;
    std::vector<std::int64_t> start_of_;
    // When every pair's profile is one shape times a number (one peak width
    // for all), the changes of all pairs at one bin add up to one column.
    bool one_shape_ = false;
    std::size_t shape_ = 0;            // the pair whose profile is the shape
    std::vector<double> shape_times_;  // per pair
    std::vector<double> merged_;       // per bin, the trial's summed change
    std::vector<std::uint32_t> merged_bins_;
    // In Q: per bin and pair the trial's change, the bins it touches, the
    // sines of one bin, and per pair the change before its weights.
    bool reciprocal_ = false, even_q_ = false;
    std::vector<double> bin_change_;
    std::vector<std::uint32_t> changed_bins_;
    std::vector<double> sine_;
    std::vector<std::vector<double>> pair_change_;
    std::vector<double> model_;
    std::vector<double> acc_;  // the trial's change before the factor, over [lo_, hi_)
    std::size_t lo_ = 0, hi_ = 0;
    Agreement now_, next_;
};

}  // namespace kestrel::bigbox
