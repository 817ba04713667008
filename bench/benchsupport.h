#pragma once

// What every benchmark program of scripts/bench shares: timing with the subject and its baseline
// taking turns (so that both see the same load of a shared machine), and the results as one JSON
// object on standard output, which scripts/bench merges into its table. Progress goes to stderr.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Bench {

using Clock = std::chrono::steady_clock;

template <class Work>
double secondsOf(Work&& work)
{
    auto const start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        throw std::logic_error("median of no values");
    auto const middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Median seconds of the subject and of the baseline over `repetitions` turns each.
struct PairedTimes {
    double subject = 0.0;
    double baseline = 0.0;

    double ratio() const { return subject / baseline; }
};

// Runs subject and baseline in turns, starting with a different one each time, so that a burst of
// load from other programs does not fall on one side only. Each returns the seconds it measured.
template <class Subject, class Baseline>
PairedTimes measureInTurns(int repetitions, Subject&& subject, Baseline&& baseline)
{
    std::vector<double> subjectTimes;
    std::vector<double> baselineTimes;
    for (int turn = 0; turn < repetitions; ++turn) {
        if (turn % 2 == 0) {
            subjectTimes.push_back(subject());
            baselineTimes.push_back(baseline());
        } else {
            baselineTimes.push_back(baseline());
            subjectTimes.push_back(subject());
        }
    }
    return {median(subjectTimes), median(baselineTimes)};
}

// The same, timing each run whole.
template <class Subject, class Baseline>
PairedTimes timeInTurns(int repetitions, Subject&& subject, Baseline&& baseline)
{
    return measureInTurns(repetitions, [&] { return secondsOf(subject); }, [&] { return secondsOf(baseline); });
}

// Stops the program when both sides of a comparison did not do the same work.
inline void requireSameWork(bool same, std::string const& what)
{
    if (!same)
        throw std::runtime_error("unequal work: " + what);
}

inline void progress(std::string const& text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

// The figures of one program. An aim is written as "<= 3" or ">= 1"; figures without one are
// reported only.
class Results {
public:
    void add(std::string const& key, double value, std::string const& unit, std::string const& aim = {},
             std::string const& note = {})
    {
        nlohmann::json entry{{"value", value}, {"unit", unit}};
        if (!aim.empty()) {
            entry["aim"] = aim;
            entry["met"] = meets(value, aim);
        }
        if (!note.empty())
            entry["note"] = note;
        mFigures[key] = std::move(entry);
        progress(key + " = " + std::to_string(value) + " " + unit + (aim.empty() ? "" : " (aim " + aim + ")"));
    }

    void print() const { std::cout << mFigures.dump(1) << std::endl; }

private:
    static bool meets(double value, std::string const& aim)
    {
        double const bound = std::stod(aim.substr(2));
        return aim.starts_with("<=") ? value <= bound : value >= bound;
    }

    nlohmann::json mFigures = nlohmann::json::object();
};

// The body of a benchmark program's main: runs `body`, prints the results, and turns an exception
// into a one-line message and a failure status.
template <class Body>
int runBenchmark(char const* name, Body&& body)
{
    try {
        Results results;
        body(results);
        results.print();
        return 0;
    } catch (std::exception const& error) {
        std::fprintf(stderr, "%s: %s\n", name, error.what());
        return 1;
    }
}

} // namespace Bench
