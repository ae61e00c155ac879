#pragma once
// Order statistics of a series of measurements.
#include <vector>

class TSeries
{
public:
    void Add(double value) { FValues.push_back(value); }
    void Clear() { FValues.clear(); }
    bool Empty() const { return FValues.empty(); }
    std::size_t Count() const { return FValues.size(); }
    // Nearest-rank percentile (0 < p <= 100); 0 for an empty series.
    double Percentile(double p) const;
    double Median() const { return Percentile(50); }
    double P95() const { return Percentile(95); }
    double Max() const;

private:
    std::vector<double> FValues;
};
