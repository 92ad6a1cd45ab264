#include "order/objective.hpp"

#include <cmath>

namespace kestrel::order {

double objective(const PairCounts& counts, const ObjectiveTerms& terms) {
    const std::size_t m = counts.n_species;
    double sum = 0.0;
    for (std::size_t s = 0; s < counts.n_shells; ++s)
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = a + 1; b < m; ++b)
                sum += terms.weights[s] * std::fabs(counts.alpha(s, a, b) - terms.target[(s * m + a) * m + b]);
    return sum;
}

}  // namespace kestrel::order
