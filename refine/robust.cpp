// The median that every level, width and residual of the refinement is read
// by: a stick, a shadow or an outlier moves it far less than it moves a mean.
#include <algorithm>
#include <vector>

#include "refine/refine.h"

double Median(std::vector<double> values)
{
    return MedianInPlace(values.data(), values.size());
}

double MedianInPlace(double *values, size_t count)
{
    if (count == 0)
        return 0.0;
    const size_t mid = count / 2;
    std::nth_element(values, values + mid, values + count);
    return values[mid];
}
