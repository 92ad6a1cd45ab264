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
    const Agreement& agreement() const { return now_; }
    const std::vector<double>& model() const { return model_; }
    double importance() const { return data_.importance; }

private:
    // acc_[j] += amount * column (pair, bin), over the points the column reaches.
    void add_column(std::size_t pair, std::size_t bin, double amount);

    CurveData data_;
    std::size_t n_bins_ = 0;
    // profile_p split by phase: phase_[p][phi][k] = profile_p[phi + k * oversample], so
    // each column is a contiguous stretch.
    std::vector<std::vector<std::vector<double>>> phase_;
    std::vector<double> model_;
    std::vector<double> acc_;  // the trial's change before the factor, over [lo_, hi_)
    std::size_t lo_ = 0, hi_ = 0;
    Agreement now_, next_;
};

}  // namespace kestrel::bigbox
