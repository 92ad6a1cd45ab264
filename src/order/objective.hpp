// What the search minimises: sum over shells s of w_s times the sum over
// species pairs a < b of |alpha_ab(s) - target_ab(s)|, per sublattice.
#pragma once

#include <vector>

#include "order/pair_counts.hpp"

namespace kestrel::order {

struct ObjectiveTerms {
    std::vector<double> weights;  // w_s, per shell
    std::vector<double> target;   // [(s * n_species + a) * n_species + b], symmetric
};

// The objective of one sublattice's counts, summed from scratch.
double objective(const PairCounts& counts, const ObjectiveTerms& terms);

}  // namespace kestrel::order
