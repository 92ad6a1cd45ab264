"""Short-range order, and orderings chosen for it.

``warren_cowley`` measures the Warren–Cowley parameters of an ordered
structure; ``sqs`` arranges the partly occupied sites of a structure in a
supercell so that those parameters come as close to zero (a special
quasirandom structure, SQS) or to a given target as the cell allows.

For species A and B of one sublattice and neighbour shell s,

    α_AB(s) = 1 − P(B | A, s) / c_B,

with P(B | A, s) the fraction of the s-th neighbours of A sites that are B,
over all periodic images, and c_B the fraction of the sublattice's sites that
hold B. α is 0 for a random arrangement, negative where A and B attract and
positive where they avoid each other. Vacancies are a species of their own,
named "Va".
"""

from kestrel.ordering.results import VACANCY, ShortRangeOrder, SqsReport, SublatticeOrder
from kestrel.ordering.search import sqs, warren_cowley

__all__ = ["ShortRangeOrder", "SublatticeOrder", "SqsReport", "warren_cowley", "sqs", "VACANCY"]
