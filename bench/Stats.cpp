#include "Stats.h"

#include <algorithm>
#include <cmath>

double TSeries::Percentile(double p) const
{
    if (FValues.empty())
        return 0;
    std::vector<double> sorted = FValues;
    std::sort(sorted.begin(), sorted.end());
    const double rank = std::ceil(p / 100.0 * double(sorted.size()));
    const std::size_t index = std::size_t(std::clamp(rank, 1.0, double(sorted.size()))) - 1;
    return sorted[index];
}

double TSeries::Max() const
{
    return FValues.empty() ? 0 : *std::max_element(FValues.begin(), FValues.end());
}
