#pragma once

#include <benchmark/benchmark.h>

#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace Bench {

// Prints the usual table, then the time of every case named "<case><subject suffix>" divided by
// the time of "<case><baseline suffix>" measured in the same run, so that ratios survive a noisy
// machine better than absolute times.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::string_view subjectSuffix, std::string_view baselineSuffix, std::string title)
        : mSubjectSuffix(subjectSuffix), mBaselineSuffix(baselineSuffix), mTitle(std::move(title))
    {
    }

    void ReportRuns(std::vector<Run> const& runs) override
    {
        for (Run const& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                mTimes[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printRatios(std::ostream& out) const
    {
        out << '\n' << mTitle << '\n';
        for (auto const& [name, subjectTime] : mTimes) {
            auto const suffix = name.find(mSubjectSuffix);
            if (suffix == std::string::npos)
                continue;
            std::string baselineName = name;
            baselineName.replace(suffix, mSubjectSuffix.size(), mBaselineSuffix);
            auto const baseline = mTimes.find(baselineName);
            if (baseline == mTimes.end() || baseline->second <= 0.0)
                continue;
            std::string const caseName = name.substr(0, suffix) + name.substr(suffix + mSubjectSuffix.size());
            out << "  " << std::left << std::setw(56) << caseName << std::setprecision(3)
                << subjectTime / baseline->second << '\n';
        }
    }

private:
    std::string mSubjectSuffix;
    std::string mBaselineSuffix;
    std::string mTitle;
    std::map<std::string, double> mTimes;
};

// The body of a benchmark program's main once its cases are registered.
inline int runWithRatios(int argc, char** argv, RatioReporter& reporter)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios(std::cout);
    benchmark::Shutdown();
    return 0;
}

} // namespace Bench
