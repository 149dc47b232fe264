// The median that every level, width and residual of the refinement is read
// by: a stick, a shadow or an outlier moves it far less than it moves a mean.
#include <algorithm>
#include <vector>

#include "refine/refine.h"

double Median(std::vector<double> values)
{
    return MedianInPlace(values.data(), values.size());
}

// Quickselect whose partitions do not branch on the values: every element is
// swapped into place and the boundary moves by the comparison's outcome, so
// the noisy levels of a profile cost no mispredicted jumps (which made
// std::nth_element a fifth of the refinement). A first partition puts the
// values below the pivot in front; when the middle lies beyond them a second
// one gathers those equal to it, which ends the search on flat, saturated
// windows and makes every round shrink the range. The value found is the
// order statistic itself, whichever way the ties and the pivots fall.
double MedianInPlace(double *values, size_t count)
{
    if (count == 0)
        return 0.0;
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
