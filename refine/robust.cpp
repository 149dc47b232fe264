// The median that every level, width and residual of the refinement is read
// by: a stick, a shadow or an outlier moves it far less than it moves a mean.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "refine/refine.h"

// Values the sorting network takes: most of the rim's level windows hold
// 12 to 16 samples.
const int kNetworkInputs = 16;
const int kNetworkPairs = 63;  // compare-exchanges of Batcher's network for 16

// Batcher's odd-even merge sort of kNetworkInputs values as its list of
// compare-exchanges, made while compiling: the pairs do not depend on the
// values, so a small window is sorted without a single jump on them, and
// with the list known the loop unrolls into minimum and maximum instructions
// on values kept in registers.
struct SortingNetwork {
    uint8_t low[kNetworkPairs];
    uint8_t high[kNetworkPairs];
};

static constexpr SortingNetwork MakeSortingNetwork()
{
    SortingNetwork network = {};
    int pair = 0;
    for (int p = 1; p < kNetworkInputs; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j + k < kNetworkInputs; j += 2 * k)
                for (int i = 0; i < std::min(k, kNetworkInputs - j - k); i++)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && pair < kNetworkPairs) {
                        network.low[pair] = static_cast<uint8_t>(i + j);
                        network.high[pair] = static_cast<uint8_t>(i + j + k);
                        pair++;
                    }
    return network;
}

static constexpr SortingNetwork kSortingNetwork = MakeSortingNetwork();
static_assert(kSortingNetwork.high[kNetworkPairs - 1] == kNetworkInputs - 2,
              "every pair listed: Batcher's network for 16 ends with (13, 14)");

// The middle of at most kNetworkInputs values, sorted among copies padded
// with infinity, which sorts above them all and so moves none of them.
static double NetworkMedian(const double *values, size_t count)
{
    double v[kNetworkInputs];
    for (size_t i = 0; i < kNetworkInputs; i++)
        v[i] = i < count ? values[i] : HUGE_VAL;
#pragma GCC unroll 64
    for (int c = 0; c < kNetworkPairs; c++) {
        const double a = v[kSortingNetwork.low[c]], b = v[kSortingNetwork.high[c]];
        v[kSortingNetwork.low[c]] = std::min(a, b);
        v[kSortingNetwork.high[c]] = std::max(a, b);
    }
    return v[count / 2];
}

double Median(std::vector<double> values)
{
    return MedianInPlace(values.data(), values.size());
}

// Small windows go through the sorting network; larger ones through a
// quickselect whose partitions do not branch on the values: every element is
// swapped into place and the boundary moves by the comparison's outcome, so
// the noisy levels of a profile cost no mispredicted jumps (which made
// std::nth_element a fifth of the refinement). A first partition puts the
// values below the pivot in front; when the middle lies beyond them a second
// one gathers those equal to it, which ends the search on flat, saturated
// windows and makes every round shrink the range. Either way the value found
// is the order statistic itself, whichever way the ties and pivots fall (the
// levels hold no NaN and no negative zero that could tell equal values apart).
double MedianInPlace(double *values, size_t count)
{
    if (count == 0)
        return 0.0;
    if (count <= static_cast<size_t>(kNetworkInputs))
        return NetworkMedian(values, count);
    const size_t mid = count / 2;
    size_t lo = 0, hi = count;
    while (hi - lo > 1) {
        // The middle one of the range's first, middle and last values.
        const double a = values[lo], b = values[lo + (hi - lo) / 2], c = values[hi - 1];
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        size_t below = lo;
        for (size_t i = lo; i < hi; i++) {
            const double v = values[i];
            values[i] = values[below];
            values[below] = v;
            below += v < pivot;
        }
        if (mid < below) {
            hi = below;
            continue;
        }
        size_t equal = below;
        for (size_t i = below; i < hi; i++) {
            const double v = values[i];
            values[i] = values[equal];
            values[equal] = v;
            equal += !(pivot < v);
        }
        if (mid < equal)
            return pivot;
        lo = equal;
    }
    return values[lo];
}
