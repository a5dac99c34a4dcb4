// Fraction-free elimination of the normal equations [A | b] (n × (n + 1)):
// upper triangular by Bareiss' steps, then a back substitution whose results
// are Cramer's numerators, all with exact divisions. The numbered invariants
// below are what make every division exact and bound every cell.
#pragma once

#include <vector>

#include "../covmat.hpp"

namespace tallix::covmat_detail {

// Bareiss' fraction-free elimination of an n × (n + c) matrix M, pivoting in
// its first n columns, leaves it upper triangular. Counting steps k from 0,
// with the rows in their final (swapped) order:
// 1. After step k, cell (i, j) with i, j > k is the minor of M on rows
//    0..k, i and columns 0..k, j. The step's product pivot·cell − lead·top is
//    that minor times the previous pivot (Sylvester's identity), so the
//    division by the previous pivot is exact and every cell stays an integer.
// 2. Pivot k is the leading principal minor of order k + 1; the last one is
//    det of the square part times the sign of the row swaps. A zero pivot is
//    replaced by the first row below with a nonzero entry in its column; when
//    there is none, the square part is singular.
// 3. Rows move whole, so a cell (i, j) only ever holds minors of order up to
//    min(i, j) + 1 ≤ min(j + 1, n), the bound each column is reserved for.
// Runs steps `first` onwards; returns the sign of the row swaps, or 0 when
// the square part is singular. `product` holds a step's product before its
// division.
int bareiss_eliminate(BigMatrix& m, BigInt& product, size_t first = 0);

// The same elimination of [A | b] with A symmetric and row r divided by 2^s_r
// (`stripped`), `product` and `lead` its scratch:
// 4. Until a row swap, cell (i, j) of the square part is 2^-(s_0+…+s_k+s_i)
//    times a minor of A, and its mirror (j, i) the same with s_j, since the
//    minors of a symmetric matrix are symmetric: (i, j) = (j, i) · 2^(s_j - s_i).
//    So only the cells on or above the diagonal and the right-hand column
//    are updated, each lead (i, k) taken from its mirror (k, i). A zero pivot
//    ends that: the cells below the diagonal are restored from their mirrors
//    and bareiss_eliminate goes on from there, swapping rows as it must.
// False when A is singular. Cells below the diagonal are left unspecified.
bool eliminate_normal_equations(BigMatrix& m, const std::vector<mp_bitcnt_t>& stripped,
                                BigInt& product, BigInt& lead);

// Back substitution without fractions on [U | c] as left by the elimination,
// with P = U[n-1][n-1] and x the solution of U·x = c:
// 5. Each row of [U | c] is a combination of rows of [A | b], so x solves
//    A·x = b too, and P·x_i = ±det(A_i), A_i being A with column i replaced
//    by b (Cramer's rule): an integer. From
//    Σ_j U[i][j]·x_j = c_i, U[i][i]·(P·x_i) = P·c_i − Σ_{j>i} U[i][j]·(P·x_j),
//    so the division by the pivot U[i][i] is exact.
// 6. c_i is replaced by P·x_i, from the last row up (where P·x_{n-1} is c_{n-1}
//    itself); the cell then holds a minor of order n, as reserved. `sum`
//    holds the numerator before its division.
void substitute_back(BigMatrix& m, BigInt& sum);

}  // namespace tallix::covmat_detail
