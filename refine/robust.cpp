// The median that every level, width and residual of the refinement is read
// by: a stick, a shadow or an outlier moves it far less than it moves a mean.
#include <algorithm>
#include <vector>

#include "refine/refine.h"

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + mid, values.end());
    return values[mid];
}
