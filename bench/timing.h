// Small timing helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

inline double now_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <class F> double time_passes(F pass, int n)
{
    double t0 = now_ms();
    for (int i = 0; i < n; i++)
        pass();
    return now_ms() - t0;
}

// Times `rounds` blocks of `passes` passes of each of two pass functions,
// alternating which goes first, so both see the same machine.
struct Race {
    double a_ms = 0, b_ms = 0;    // total time of each
    std::vector<double> ratios;   // per round: rate of a / rate of b
    double ratio() const { return b_ms / a_ms; }
};

template <class A, class B> Race race(A a, B b, int rounds, int passes)
{
    time_passes(a, passes); // warm up
    Race r;
    for (int i = 0; i < rounds; i++) {
        double ta, tb;
        if (i % 2) {
            ta = time_passes(a, passes);
            tb = time_passes(b, passes);
        } else {
            tb = time_passes(b, passes);
            ta = time_passes(a, passes);
        }
        r.a_ms += ta;
        r.b_ms += tb;
        r.ratios.push_back(tb / ta);
    }
    return r;
}
